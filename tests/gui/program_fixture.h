#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QProcess>
#include <QTest>
#include <filesystem>
#include <string>

#include "pty_phone.h"

// Two copies of one windowed program, run offscreen in a base folder of
// their own with a private lock and socket folder, so that a copy running
// on this machine is not seen. Copies still running at the end are killed.
class CProgramTest : public ::testing::Test {
 protected:
  CProgramTest(const char* pszProgramPath, std::string strName)
      : m_strProgramPath(pszProgramPath), m_strName(std::move(strName)) {}

  void SetUp() override {
    std::filesystem::create_directories(m_runtime.Path());
    chmod(m_runtime.Path().c_str(), 0700);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), QString::fromStdString(m_runtime.Path()));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    for (QProcess* pCopy : {&m_first, &m_second}) {
      pCopy->setProcessEnvironment(env);
      pCopy->setWorkingDirectory(QString::fromStdString(m_base.Path()));
      pCopy->setProgram(QString::fromStdString(m_strProgramPath));
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

  // Starts the first copy with args and waits until it answers; a second
  // copy then hands over to it and ends with 0 while the first runs on; a
  // signal then ends the first copy as its window would, with 0. Checks
  // what comes after on the station are the caller's.
  void SecondCopyThenSignal(const QStringList& args) {
    m_first.setArguments(args);
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
    EXPECT_FALSE(std::filesystem::exists(Socket()));
  }

  // The first copy run with args to its end: its exit code, -1 when it did
  // not end in time.
  int ExitCodeOf(const QStringList& args) {
    m_first.setArguments(args);
    m_first.start();
    return m_first.waitForFinished(30000) ? m_first.exitCode() : -1;
  }

  // Where the running copy listens for a second one.
  std::string Socket() const { return m_runtime.File(m_strName + ".sock"); }

  const std::string m_strProgramPath, m_strName;
  CTempDir m_base, m_runtime;
  QProcess m_first, m_second;
};
