#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QProcess>
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

  // Where the running copy listens for a second one.
  std::string Socket() const { return m_runtime.File(m_strName + ".sock"); }

  const std::string m_strProgramPath, m_strName;
  CTempDir m_base, m_runtime;
  QProcess m_first, m_second;
};
