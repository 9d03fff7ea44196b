// The quillport program itself: its window starts, one copy at a time, and
// ends cleanly on a signal.

#include <gtest/gtest.h>

#include <filesystem>

#include "program_fixture.h"

namespace {

class QuillportProgram : public CProgramTest {
 protected:
  QuillportProgram() : CProgramTest(QUILLPORT_PATH, "quillport") {}
};

TEST_F(QuillportProgram, ASecondCopyShowsTheFirstAndEndsAndASignalClosesTheWindow) {
  std::filesystem::create_directories(m_base.File("ini"));
  ASSERT_NO_FATAL_FAILURE(
      SecondCopyThenSignal({QStringLiteral("--simulate"), QStringLiteral("2")}));
  EXPECT_TRUE(std::filesystem::exists(m_base.File("log/portslog")));
  EXPECT_NE(ReadWholeFile(m_base.File("ini/download.ini")).find("[PORT_2]\nISUSED=Yes"),
            std::string::npos)
      << "the rows ticked for the simulated phones, saved at close";
}

TEST_F(QuillportProgram, BadUsageStillEndsWithTwo) {
  EXPECT_EQ(ExitCodeOf({QStringLiteral("--lang"), QStringLiteral("fr")}), 2);
}

}  // namespace
