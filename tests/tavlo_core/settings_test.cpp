#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "common/ini_file.h"
#include "pty_phone.h"
#include "tavlo/numbers/number_pool.h"
#include "tavlo/settings/writer_settings.h"

namespace fs = std::filesystem;

namespace {

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(m_dir.File("ini"));
    fs::create_directories(m_dir.File("images"));
    std::ofstream(m_dir.File("images/boot_fact.bin")) << "boot";
  }
  void WriteIni(const std::string& name, const std::string& text) {
    std::ofstream(m_dir.File("ini/" + name), std::ios::binary) << text;
  }
  WriterSettings Load(const ChipList& chips = {}) {
    WriterSettings s;
    EXPECT_TRUE(LoadSettings(m_dir.Path(), chips, &s));
    return s;
  }
  CTempDir m_dir;
};

TEST_F(SettingsTest, NoSettingsFileGivesTheDefaultsAndSavesThem) {
  const WriterSettings s = Load();
  EXPECT_FALSE(s.m_bWriteImei || s.m_bWriteMbsn || s.m_bWritePsn || s.m_bWriteLcd ||
               s.m_bWriteDdr || s.m_bImei14Digits || s.m_bImeiAllSame);
  EXPECT_TRUE(s.m_bCheckImei);
  EXPECT_EQ(s.m_nMagicNumber, 0x66616374u);
  EXPECT_EQ(s.m_strChipset, "None");
  EXPECT_EQ(s.m_strFactName, "");
  EXPECT_EQ(s.m_strImageDir, m_dir.File("images"));
  EXPECT_EQ(s.m_nImeiCount, 1);
  for (InputType t : {s.m_nImeiInputType, s.m_nMbsnInputType, s.m_nPsnInputType}) {
    EXPECT_EQ(t, INPUT_MANUAL);
  }
  EXPECT_EQ(s.m_nMbsnLength, 16);
  EXPECT_EQ(s.m_nPsnLength, 20);
  EXPECT_EQ(s.m_strImeiFile, "None");
  EXPECT_EQ(s.m_strImeiMask15, "***************");

  ASSERT_TRUE(SaveSettings(m_dir.Path(), s));
  const std::string saved = ReadWholeFile(m_dir.File("ini/wimei.ini"));
  for (const char* line : {"[GENERAL]\nISWIMEI=No\n", "CHECK_IMEI=Yes\nMAGIC_NUMBER=0x66616374\n",
                           "CHIPSET=None\n[WIMEI]\nIMEINUM=1\nINPUTTYPE=0\n", "MBSNLEN=16\n",
                           "PSNLEN=20\n", "[LCD]\nNAME=\n[DDR]\nPATH=\n"}) {
    EXPECT_NE(saved.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(saved.find("[PDL]"), std::string::npos);
}

TEST_F(SettingsTest, OnlyTheExactWordYesIsTrue) {
  const std::pair<const char*, bool> cases[] = {{"Yes", true}, {"yes", false},  {"YES", false},
                                                {"1", false},  {"TRUE", false}, {"No", false}};
  for (auto [value, expected] : cases) {
    WriteIni("wimei.ini", std::string("[GENERAL]\nISWIMEI=") + value + "\nCHECK_IMEI=" + value +
                              "\n[WIMEI]\nISALLSAME=" + value + "\n");
    const WriterSettings s = Load();
    EXPECT_EQ(s.m_bWriteImei, expected) << value;
    EXPECT_EQ(bool(s.m_bCheckImei), expected) << value;
    EXPECT_EQ(s.m_bImeiAllSame, expected) << value;
  }
}

TEST_F(SettingsTest, MagicNumberNeedsLowerCaseHexPrefix) {
  constexpr uint32_t kPrevious = 0x1234;
  const std::pair<const char*, uint32_t> cases[] = {{"0x1", 1},
                                                    {"0x66616374", 0x66616374},
                                                    {"0xDeadBeef", 0xDEADBEEF},
                                                    {"0x123456789", 0x12345678},
                                                    {"0x12zz", 0x12},
                                                    {"12345678", kPrevious},
                                                    {"0X12", kPrevious},
                                                    {"0x", kPrevious},
                                                    {"0xg1", kPrevious}};
  for (auto [text, expected] : cases) {
    WriteIni("wimei.ini", std::string("[GENERAL]\nMAGIC_NUMBER=") + text + "\n");
    WriterSettings s;
    s.m_nMagicNumber = kPrevious;
    ASSERT_TRUE(LoadSettings(m_dir.Path(), {}, &s));
    EXPECT_EQ(s.m_nMagicNumber, expected) << text;
  }
  WriterSettings s;
  s.m_nMagicNumber = 1;
  ASSERT_TRUE(SaveSettings(m_dir.Path(), s));
  EXPECT_EQ(IniGetString("GENERAL", "MAGIC_NUMBER", "", m_dir.File("ini/wimei.ini")), "0x00000001");
}

TEST_F(SettingsTest, UnusableNumbersFallBackToTheirDefaults) {
  struct {
    const char* pszIni;
    int WriterSettings::*pField;
    int nExpected;
  } cases[] = {
      {"[WIMEI]\nIMEINUM=0", &WriterSettings::m_nImeiCount, 1},
      {"[WIMEI]\nIMEINUM=5", &WriterSettings::m_nImeiCount, 1},
      {"[WIMEI]\nIMEINUM=4", &WriterSettings::m_nImeiCount, 4},
      {"[WMBSN]\nMBSNLEN=0", &WriterSettings::m_nMbsnLength, 16},
      {"[WMBSN]\nMBSNLEN=255", &WriterSettings::m_nMbsnLength, 16},
      {"[WMBSN]\nMBSNLEN=254", &WriterSettings::m_nMbsnLength, 254},
      {"[WPSN]\nPSNLEN=abc", &WriterSettings::m_nPsnLength, 20},
      {"[WPSN]\nPSNLEN=3", &WriterSettings::m_nPsnLength, 3},
  };
  for (const auto& c : cases) {
    WriteIni("wimei.ini", std::string(c.pszIni) + "\n");
    EXPECT_EQ(Load().*c.pField, c.nExpected) << c.pszIni;
  }
  const std::pair<const char*, InputType> types[] = {
      {"0", INPUT_MANUAL}, {"1", INPUT_FROM_FILE}, {"2", INPUT_CUSTOM}, {"3", INPUT_MANUAL}};
  for (auto [value, expected] : types) {
    WriteIni("wimei.ini", std::string("[WPSN]\nINPUTTYPE=") + value + "\n");
    EXPECT_EQ(Load().m_nPsnInputType, expected) << value;
  }
}

TEST_F(SettingsTest, BootImageIsLookedForInThePdlPathFolder) {
  WriterSettings s;
  WriteIni("wimei.ini", "[PDL]\nPATH=fw\\boot\\\n[WIMEI]\nIMEINUM=3\n");
  EXPECT_FALSE(LoadSettings(m_dir.Path(), {}, &s));
  EXPECT_EQ(s.m_nImeiCount, 1) << "keys after the boot image test stay unread";

  fs::create_directories(m_dir.File("fw/boot"));
  std::ofstream(m_dir.File("fw/boot/boot_fact.bin")) << "boot";
  EXPECT_TRUE(LoadSettings(m_dir.Path(), {}, &s));
  EXPECT_EQ(s.m_strImageDir, m_dir.File("fw/boot"));
  EXPECT_EQ(s.m_nImeiCount, 3);
}

TEST_F(SettingsTest, ChipListEndsAtTheFirstMissingOrNoneName) {
  std::string many;
  for (int n = 1; n <= 300; ++n) {
    many += "[CHIP_" + std::to_string(n) + "]\nCHIPNAME=c" + std::to_string(n) + "\n";
  }
  struct {
    std::string strIni;
    size_t nCount;
    const char* pszLastFact;
  } cases[] = {
      {"[CHIP_1]\nCHIPNAME=a\nFACTNAME=fa\n[CHIP_2]\nCHIPNAME=b\n[CHIP_4]\nCHIPNAME=d\n", 2,
       "None"},
      {"[CHIP_1]\nCHIPNAME=a\nFACTNAME=fa\n[CHIP_2]\nCHIPNAME=None\n[CHIP_3]\nCHIPNAME=c\n", 1,
       "fa"},
      {"", 0, ""},
      {many, 255, "None"},
  };
  for (const auto& c : cases) {
    WriteIni("chipset.ini", c.strIni);
    const ChipList chips = LoadChipList(m_dir.Path());
    ASSERT_EQ(chips.size(), c.nCount);
    if (c.nCount) {
      EXPECT_EQ(chips.back().m_strFactName, c.pszLastFact);
    }
  }
}

TEST_F(SettingsTest, ChipsetTakesTheFirstMatchingChipsPartition) {
  const ChipList chips = {{"x1", "fact_a"}, {"X2", "fact_b"}, {"x2", "fact_c"}, {"x2", "fact_d"}};
  const std::pair<const char*, const char*> cases[] = {
      {"x2", "fact_c"}, {"X2", "fact_b"}, {"x3", ""}, {"None", ""}};
  for (auto [chipset, fact] : cases) {
    WriteIni("wimei.ini", std::string("[GENERAL]\nCHIPSET=") + chipset + "\n");
    EXPECT_EQ(Load(chips).m_strFactName, fact) << chipset;
  }
}

TEST_F(SettingsTest, SavedSettingsLoadBackUnchanged) {
  WriterSettings s;
  s.m_bWriteImei = s.m_bWriteDdr = s.m_bImei14Digits = true;
  s.m_bCheckImei = false;
  s.m_nMagicNumber = 0xABCDEF01;
  s.m_strChipset = "chipA";
  s.m_nImeiCount = 3;
  s.m_nImeiInputType = s.m_nPsnInputType = INPUT_CUSTOM;
  s.m_strImeiMask14 = "35209900******";
  s.m_nMbsnLength = 8;
  s.m_strMbsnFile = "/lists/mbsn.txt";
  s.m_strLcdName = "panel 7";
  ASSERT_TRUE(SaveSettings(m_dir.Path(), s));

  const WriterSettings back = Load({{"chipA", "factorydata2"}});
  EXPECT_EQ(back.m_nMagicNumber, 0xABCDEF01u);
  EXPECT_FALSE(back.m_bCheckImei);
  EXPECT_EQ(back.m_strFactName, "factorydata2");
  // A field lost on the way would be written back as its default.
  const std::string first = ReadWholeFile(m_dir.File("ini/wimei.ini"));
  ASSERT_TRUE(SaveSettings(m_dir.Path(), back));
  EXPECT_EQ(ReadWholeFile(m_dir.File("ini/wimei.ini")), first);

  fs::remove_all(m_dir.File("ini"));
  EXPECT_FALSE(SaveSettings(m_dir.Path(), back)) << "the ini folder is not created";
}

// A list path in double quotes, as the platform's own profile functions
// read it, and a ";" after a value that stays part of it.
TEST_F(SettingsTest, AQuotedListPathReadsWithoutItsQuotes) {
  const std::string strList = m_dir.File("imei list.txt");
  std::ofstream(strList) << "490154203237518\n";
  WriteIni("wimei.ini", "[WIMEI]\nINPUTTYPE=1\nFILEPATH=\"" + strList +
                            "\"\n[LCD]\nNAME=panel 7 ; the long one\n");
  const WriterSettings s = Load();
  EXPECT_EQ(s.m_strImeiFile, strList);
  EXPECT_EQ(s.m_strLcdName, "panel 7 ; the long one");
  CWriteHistories histories(m_dir.Path());
  CNumberSources sources(histories);
  sources.LoadImeiPool(s);
  EXPECT_EQ(sources.GetUnusedImei(true), "490154203237518");
}

// A settings file that is there but cannot be read (another user's file
// mode) is never rewritten from the keys the writer knows: its other
// sections, the ledger's among them, would be gone.
TEST_F(SettingsTest, ASaveNeverDropsASectionItCouldNotRead) {
  const std::string strIni = m_dir.File("ini/wimei.ini");
  const std::string strText = "[GENERAL]\nISWIMEI=Yes\n[LEDGER]\nCONNECT=host=ledgerhost\n";
  WriteIni("wimei.ini", strText);
  chmod(strIni.c_str(), 0);
  chmod(m_dir.File("ini").c_str(), 0777);  // the folder would take a rewritten file
  chmod(m_dir.Path().c_str(), 0755);
  // Root reads through file modes: the save runs in a child that gives up root.
  EXPECT_EXIT(
      {
        if (geteuid() == 0 && setuid(65534) != 0) _exit(3);
        _exit(SaveSettings(m_dir.Path(), WriterSettings{}) ? 1 : 7);
      },
      ::testing::ExitedWithCode(7), "");
  chmod(strIni.c_str(), 0644);
  EXPECT_EQ(ReadWholeFile(strIni), strText);
}

}  // namespace
