// The quillport program itself: its window starts, one copy at a time, and
// ends cleanly on a signal.

#include <gtest/gtest.h>

#include <QTest>
#include <filesystem>

#include "program_fixture.h"

namespace {

class QuillportProgram : public CProgramTest {
 protected:
  QuillportProgram() : CProgramTest(QUILLPORT_PATH, "quillport") {}
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
