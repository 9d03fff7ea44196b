#include "gui/single_instance.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QLocalServer>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QWidget>
#include <atomic>
#include <memory>

namespace {

// The second copy is another process in real life; here a thread plays it,
// while the test's event loop serves the running copy's side.
bool RaiseFromAnotherThread(const QString& strSocket) {
  std::atomic<int> result{-1};
  std::unique_ptr<QThread> pThread(
      QThread::create([&] { result = gui::RaiseRunningCopy(strSocket) ? 1 : 0; }));
  pThread->start();
  const bool bEnded = QTest::qWaitFor([&] { return result >= 0; }, 10000);
  pThread->wait();
  return bEnded && result == 1;
}

class SingleInstanceTest : public ::testing::Test {
 protected:
  QTemporaryDir m_dir;
  QString m_strSocket = m_dir.filePath(QStringLiteral("tool.sock"));
};

TEST_F(SingleInstanceTest, ASecondCopyBringsTheWindowBackFromTheTaskBar) {
  QWidget window;
  window.showMinimized();
  gui::CInstanceServer server(m_strSocket, &window);
  ASSERT_TRUE(server.IsListening());
  EXPECT_TRUE(RaiseFromAnotherThread(m_strSocket));
  EXPECT_TRUE(window.isVisible());
  EXPECT_FALSE(window.isMinimized());
}

TEST_F(SingleInstanceTest, WithNoRunningWindowTheSecondCopyHearsNothing) {
  EXPECT_FALSE(gui::RaiseRunningCopy(m_strSocket, 500));
}

TEST_F(SingleInstanceTest, ASocketLeftByACopyThatDiedIsTakenOver) {
  {
    // A socket file with nobody behind it, as a crash leaves it.
    QLocalServer dead;
    dead.setSocketOptions(QLocalServer::UserAccessOption);
    ASSERT_TRUE(dead.listen(m_strSocket));
    dead.close();
    QFile(m_strSocket).open(QIODevice::WriteOnly);
  }
  QWidget window;
  gui::CInstanceServer server(m_strSocket, &window);
  EXPECT_TRUE(server.IsListening());
  EXPECT_TRUE(RaiseFromAnotherThread(m_strSocket));
}

}  // namespace
