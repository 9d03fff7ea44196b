#pragma once

#include <QLocalServer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>

#include "platform/instance_lock.h"

namespace gui {

// One copy of a program at a time. The lock itself is the program's instance
// lock file; this is the channel beside it through which a second copy asks
// the running one to show its window. The socket is named after the program
// (the caller passes a path next to the lock file, so one user's copies meet
// and other users' do not).

// The running copy's side: answers each request by restoring the window,
// bringing it to the front and then its active modal dialog, if any.
class CInstanceServer final : public QObject {
  Q_OBJECT

 public:
  // Listens at strSocket; a socket left by a copy that died is replaced,
  // which is safe because the caller holds the instance lock.
  CInstanceServer(const QString& strSocket, QWidget* pWindow, QObject* pParent = nullptr);
  bool IsListening() const { return m_server.isListening(); }

 private:
  void OnConnection();

  QLocalServer m_server;
  QPointer<QWidget> m_pWindow;
};

// The second copy's side: true when the running copy answered that it showed
// its window within the time; false when nothing listens or nothing answered.
bool RaiseRunningCopy(const QString& strSocket, int nTimeoutMs = 3000);

// The socket of a program's copies: beside its instance lock.
QString InstanceSocket(const platform::CInstanceLock& lock);

}  // namespace gui
