// The tavlo program itself: its window starts, one copy at a time, and a
// signal leaves it as Exit does.

#include <gtest/gtest.h>

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
  ASSERT_NO_FATAL_FAILURE(SecondCopyThenSignal({QStringLiteral("--simulate"), QStringLiteral("1"),
                                                QStringLiteral("--lang"), QStringLiteral("en")}));
  const std::string saved = ReadWholeFile(m_base.File("ini/wimei.ini"));
  EXPECT_NE(saved.find("MAGIC_NUMBER=0x00001234\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("[WPSN]\nPSNLEN=20\n"), std::string::npos) << saved;
}

TEST_F(TavloProgram, BadUsageStillEndsWithTwo) {
  EXPECT_EQ(ExitCodeOf({QStringLiteral("--lang"), QStringLiteral("fr")}), 2);
}

}  // namespace
