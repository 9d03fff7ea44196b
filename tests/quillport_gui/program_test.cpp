// The quillport program itself: its window starts, one copy at a time, and
// ends cleanly on a signal.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QProcess>
#include <QTest>
#include <filesystem>

#include "pty_phone.h"

namespace {

class QuillportProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(m_runtime.Path());
    chmod(m_runtime.Path().c_str(), 0700);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // A private lock and socket folder: a copy running on this machine is not seen.
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), QString::fromStdString(m_runtime.Path()));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    for (QProcess* pCopy : {&m_first, &m_second}) {
      pCopy->setProcessEnvironment(env);
      pCopy->setWorkingDirectory(QString::fromStdString(m_base.Path()));
      pCopy->setProgram(QStringLiteral(QUILLPORT_PATH));
      pCopy->setProcessChannelMode(QProcess::MergedChannels);
    }
  }
  void TearDown() override {
    for (QProcess* pCopy : {&m_first, &m_second}) {
      if (pCopy->state() != QProcess::NotRunning) {
        pCopy->kill();
        pCopy->waitForFinished();
      }
    }
  }

  std::string Socket() const { return m_runtime.File("quillport.sock"); }

  CTempDir m_base, m_runtime;
  QProcess m_first, m_second;
};

TEST_F(QuillportProgram, ASecondCopyShowsTheFirstAndEndsAndASignalClosesTheWindow) {
  std::filesystem::create_directories(m_base.File("ini"));
  m_first.setArguments({QStringLiteral("--simulate"), QStringLiteral("2")});
  m_first.start();
  ASSERT_TRUE(m_first.waitForStarted());
  // The window answers once it is up.
  ASSERT_TRUE(QTest::qWaitFor([&] { return std::filesystem::exists(Socket()); }, 30000))
      << m_first.readAll().toStdString();

  m_second.start();
  ASSERT_TRUE(m_second.waitForFinished(30000));
  EXPECT_EQ(m_second.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(m_second.exitCode(), 0) << m_second.readAll().toStdString();
  EXPECT_EQ(m_first.state(), QProcess::Running);

  m_first.terminate();
  ASSERT_TRUE(m_first.waitForFinished(30000));
  EXPECT_EQ(m_first.exitStatus(), QProcess::NormalExit) << "ended by the window, not the signal";
  EXPECT_EQ(m_first.exitCode(), 0) << m_first.readAll().toStdString();
  EXPECT_TRUE(std::filesystem::exists(m_base.File("log/portslog")));
  EXPECT_NE(ReadWholeFile(m_base.File("ini/download.ini")).find("[PORT_2]\nISUSED=Yes"),
            std::string::npos)
      << "the rows ticked for the simulated phones, saved at close";
  EXPECT_FALSE(std::filesystem::exists(Socket()));
}

TEST_F(QuillportProgram, BadUsageStillEndsWithTwo) {
  m_first.setArguments({QStringLiteral("--lang"), QStringLiteral("fr")});
  m_first.start();
  ASSERT_TRUE(m_first.waitForFinished(30000));
  EXPECT_EQ(m_first.exitCode(), 2);
}

}  // namespace
