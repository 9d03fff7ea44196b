#include "gui/single_instance.h"

#include <QApplication>
#include <QLocalSocket>
#include <filesystem>

namespace gui {

namespace {

constexpr char kRaise[] = "raise\n";
constexpr char kRaised[] = "raised\n";

void BringToFront(QWidget* pWindow) {
  if (pWindow->isMinimized()) pWindow->showNormal();
  pWindow->show();
  pWindow->raise();
  pWindow->activateWindow();
  // The last active pop-up: a message box or file dialog open over the window.
  if (QWidget* pModal = QApplication::activeModalWidget(); pModal && pModal != pWindow) {
    pModal->raise();
    pModal->activateWindow();
  }
}

}  // namespace

CInstanceServer::CInstanceServer(const QString& strSocket, QWidget* pWindow, QObject* pParent)
    : QObject(pParent), m_pWindow(pWindow) {
  m_server.setSocketOptions(QLocalServer::UserAccessOption);
  if (!m_server.listen(strSocket)) {
    QLocalServer::removeServer(strSocket);
    m_server.listen(strSocket);
  }
  connect(&m_server, &QLocalServer::newConnection, this, &CInstanceServer::OnConnection);
}

void CInstanceServer::OnConnection() {
  while (QLocalSocket* pClient = m_server.nextPendingConnection()) {
    connect(pClient, &QLocalSocket::disconnected, pClient, &QObject::deleteLater);
    connect(pClient, &QLocalSocket::readyRead, this, [this, pClient] {
      if (!pClient->canReadLine()) return;
      if (pClient->readLine() != kRaise || !m_pWindow) return pClient->disconnectFromServer();
      BringToFront(m_pWindow);
      pClient->write(kRaised);
      pClient->flush();
    });
  }
}

bool RaiseRunningCopy(const QString& strSocket, int nTimeoutMs) {
  QLocalSocket socket;
  socket.connectToServer(strSocket);
  if (!socket.waitForConnected(nTimeoutMs)) return false;
  socket.write(kRaise);
  if (!socket.waitForBytesWritten(nTimeoutMs)) return false;
  while (!socket.canReadLine()) {
    if (!socket.waitForReadyRead(nTimeoutMs)) return false;
  }
  return socket.readLine() == kRaised;
}

QString InstanceSocket(const platform::CInstanceLock& lock) {
  return QString::fromStdString(
      std::filesystem::path(lock.Path()).replace_extension(".sock").string());
}

}  // namespace gui
