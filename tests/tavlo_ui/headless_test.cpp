// The console front end as an operator's script runs it.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "pty_phone.h"
#include "tavlo/numbers/number_checks.h"

namespace {

// Runs tavlo in a folder of its own; the folder also holds its single-copy
// lock, so that tests running side by side are not each other's second copy.
int RunIn(const std::string& strDir, const std::string& strArgs, std::string* pOut) {
  const std::string cmd = "cd '" + strDir + "' && XDG_RUNTIME_DIR='" + strDir + "' " + TAVLO_PATH +
                          " " + strArgs + " > out.txt 2>&1";
  const int rc = std::system(cmd.c_str());
  *pOut = ReadWholeFile(strDir + "/out.txt");
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

class TavloHeadless : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(m_dir.File("ini"));
    std::filesystem::create_directories(m_dir.File("images"));
    std::ofstream(m_dir.File("images/boot_fact.bin")) << std::string(5000, 'b');
    std::ofstream(m_dir.File("ini/chipset.ini")) << "[CHIP_1]\nCHIPNAME=c\nFACTNAME=factorydata\n";
  }
  void Settings(const std::string& strText) {
    std::ofstream(m_dir.File("ini/wimei.ini")) << "[GENERAL]\nCHIPSET=c\n" << strText;
  }
  CTempDir m_dir;
};

TEST_F(TavloHeadless, GeneratorRunWritesCountPhonesAndTheHistoryGrows) {
  Settings(
      "ISWIMEI=Yes\n[WIMEI]\nINPUTTYPE=2\nIS14CHAR=Yes\nINITCODE14=35209900000000\n"
      "MASKCODE14=352099000000**\n");
  std::string out;
  ASSERT_EQ(RunIn(m_dir.Path(), "--headless --simulate 1 --count 2", &out), 0) << out;
  EXPECT_NE(out.find("tavlo: 2 phone(s) written, 0 failed"), std::string::npos) << out;
  EXPECT_NE(out.find("[完 成]"), std::string::npos) << out;
  EXPECT_NE(out.find("Write OK!"), std::string::npos);
  const std::string history = ReadWholeFile(m_dir.File("data/wimei.history"));
  EXPECT_NE(history.find("\t" + AppendImeiCheckDigit("35209900000001") + "\n"), std::string::npos)
      << history;
  EXPECT_EQ(history.find(AppendImeiCheckDigit("35209900000002")), std::string::npos);
  EXPECT_EQ(ReadWholeFile(m_dir.File("ini/wimei.ini")).find("ISWMBSN"), std::string::npos)
      << "the console leaves the settings file as it found it";
}

TEST_F(TavloHeadless, TypedNumbersServeOnePhoneAndBadOnesAreRefused) {
  Settings("ISWMBSN=Yes\n");
  const std::string imei = AppendImeiCheckDigit("35209900000077");
  std::string out;
  EXPECT_EQ(RunIn(m_dir.Path(), "--headless --simulate 1 --imei1 " + imei, &out), 0) << out;
  EXPECT_NE(out.find("tavlo: 1 phone(s) written, 0 failed"), std::string::npos) << out;
  EXPECT_NE(ReadWholeFile(m_dir.File("data/wimei.history")).find(imei), std::string::npos);

  EXPECT_EQ(RunIn(m_dir.Path(), "--headless --simulate 1 --imei1 " + imei.substr(1), &out), 1);
  EXPECT_NE(out.find("请输入有效的IMEI号码!"), std::string::npos) << out;
}

TEST_F(TavloHeadless, BadUsageEndsWithTwo) {
  Settings("");
  std::string out;
  EXPECT_EQ(RunIn(m_dir.Path(), "--headless --imei1 1 --psn 2", &out), 2) << out;
  EXPECT_EQ(RunIn(m_dir.Path(), "--headless --lcd-type vga", &out), 2) << out;
  EXPECT_EQ(RunIn(m_dir.Path(), "--headless --count 0", &out), 2) << out;
  Settings("[WIMEI]\nINPUTTYPE=1\n");
  EXPECT_EQ(RunIn(m_dir.Path(), "--headless --imei1 1", &out), 2) << out;
}

TEST_F(TavloHeadless, MissingBootImageEndsTheStart) {
  Settings("");
  std::filesystem::remove(m_dir.File("images/boot_fact.bin"));
  std::string out;
  EXPECT_EQ(RunIn(m_dir.Path(), "--headless", &out), 1);
  EXPECT_NE(out.find("boot_fact.bin不存在"), std::string::npos) << out;
}

}  // namespace
