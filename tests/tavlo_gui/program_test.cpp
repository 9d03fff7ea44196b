// The tavlo program itself: its window starts, one copy at a time, and a
// signal leaves it as Exit does.

#include <gtest/gtest.h>

#include <QTest>
#include <filesystem>
#include <fstream>

#include "program_fixture.h"
#include "writer_station.h"

namespace {

class TavloProgram : public CProgramTest {
 protected:
  TavloProgram() : CProgramTest(TAVLO_PATH, "tavlo") {}
  void SetUp() override {
    CProgramTest::SetUp();
    MakeWriterStation(m_base.Path(), 5000);
    std::ofstream(m_base.File("ini/wimei.ini")) << "[GENERAL]\nCHIPSET=c\nMAGIC_NUMBER=0x1234\n";
  }
};

TEST_F(TavloProgram, ASecondCopyShowsTheFirstAndASignalLeavesAsExitDoes) {
  m_first.setArguments({QStringLiteral("--simulate"), QStringLiteral("1"), QStringLiteral("--lang"),
                        QStringLiteral("en")});
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
  const std::string saved = ReadWholeFile(m_base.File("ini/wimei.ini"));
  EXPECT_NE(saved.find("MAGIC_NUMBER=0x00001234\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("[WPSN]\nPSNLEN=20\n"), std::string::npos) << saved;
  EXPECT_FALSE(std::filesystem::exists(Socket()));
}

TEST_F(TavloProgram, BadUsageStillEndsWithTwo) {
  m_first.setArguments({QStringLiteral("--lang"), QStringLiteral("fr")});
  m_first.start();
  ASSERT_TRUE(m_first.waitForFinished(30000));
  EXPECT_EQ(m_first.exitCode(), 2);
}

}  // namespace
