#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "allocation_probe.h"
#include "common/ini_file.h"
#include "common/op_log.h"
#include "hostile_files.h"
#include "pdl/pdl_link.h"
#include "pty_phone.h"
#include "quillport/package/download_config.h"
#include "quillport/package/download_package.h"
#include "tavlo/settings/writer_settings.h"

namespace {

constexpr size_t kMegabyte = 1024 * 1024;
constexpr size_t kLineLimit = 65536;  // what the reader holds of one line

class HostileIniTest : public ::testing::Test {
 protected:
  void SetUp() override { WriteBytes(m_dir.File("images/boot_fact.bin"), "boot"); }
  void TearDown() override { g_bOpenDebug = false; }
  std::string Base() const { return m_dir.Path(); }
  std::string Ini(const std::string& strName) const { return m_dir.File("ini/" + strName); }

  CTempDir m_dir;
  SDownloadSettings m_settings;
  PortSettings m_ports{};
};

TEST_F(HostileIniTest, HundredThousandSectionsAreReadOnceAndWithinBounds) {
  std::string strFiles, strChips, strJunk;
  for (int n = 1; n <= 3; ++n) {
    strFiles += "[FILE_" + std::to_string(n) + "]\nPATH=image" + std::to_string(n) + "\n";
  }
  for (int n = 1; n <= 300; ++n) {
    strChips += "[CHIP_" + std::to_string(n) + "]\nCHIPNAME=chip" + std::to_string(n) + "\n";
  }
  for (int n = 1; n <= 100000; ++n) strJunk += "[JUNK_" + std::to_string(n) + "]\nKEY=v\n";
  // The sections read last sit behind all the others.
  WriteBytes(Ini("filelist.ini"), strFiles + strJunk + "[FILE_PATH]\nIMG_PATH=/srv/p.bin\n");
  WriteBytes(Ini("chipset.ini"), strJunk + strChips);

  std::string strImg, strCfp;
  {
    const CAllocationProbe probe;
    ASSERT_TRUE(LoadFileListIni(Base(), &m_settings));
    LoadImagePath(Base(), &strImg, &strCfp);
    EXPECT_LT(probe.PeakGrowth(), 32 * kMegabyte);
  }
  ASSERT_EQ(m_settings.m_fileList.size(), 3u);
  EXPECT_EQ(m_settings.m_fileList[2].m_strPath, "image3");
  EXPECT_EQ(strImg, "/srv/p.bin");
  const ChipList chips = LoadChipList(Base());
  ASSERT_EQ(chips.size(), static_cast<size_t>(kMaxChips));
  EXPECT_EQ(chips.back().m_strChipName, "chip255");

  // A rewrite keeps every section.
  ASSERT_TRUE(SaveImagePath(Base(), "/srv/q.bin", ""));
  LoadImagePath(Base(), &strImg, &strCfp);
  EXPECT_EQ(strImg, "/srv/q.bin");
  EXPECT_EQ(IniGetString("JUNK_100000", "KEY", "gone", Ini("filelist.ini")), "v");
}

TEST_F(HostileIniTest, OneMegabyteLinesAreCutAndNeverSwallowTheNextLine) {
  const std::string strLong(kMegabyte, 'a');
  // Five lines of 1 MB: too large a file to be indexed, so it is scanned.
  WriteBytes(Ini("wimei.ini"),
             "[GENERAL]\nCHIPSET=" + strLong + "\nISWIMEI=Yes\n[WIMEI]\nFILEPATH=" + strLong +
                 "\nIMEINUM=3\n[LCD]\nNAME=" + strLong + "\n" + strLong + "\n" + strLong + "\n");
  // One line of 1 MB in a file that is indexed.
  WriteBytes(Ini("filelist.ini"),
             "[FILE_PATH]\nIMG_PATH=/" + strLong + "\n[CONFIGURE]\nISFORMAT=Yes\n");

  // The writer's text values are read up to 4095 characters.
  WriterSettings settings;
  {
    const CAllocationProbe probe;
    ASSERT_TRUE(LoadSettings(Base(), {}, &settings));
    EXPECT_LT(probe.LargestBlock(), kMegabyte / 4) << "a 1 MB line was held whole";
  }
  EXPECT_EQ(settings.m_strLcdName, std::string(4095, 'a'));
  EXPECT_EQ(settings.m_strChipset, std::string(4095, 'a'));
  EXPECT_EQ(settings.m_strImeiFile, std::string(4095, 'a'));
  EXPECT_TRUE(settings.m_bWriteImei);
  EXPECT_EQ(settings.m_nImeiCount, 3);

  // The download tool takes the path as far as a line is read, and the
  // package loader refuses it with its message.
  std::string strImg, strCfp;
  LoadImagePath(Base(), &strImg, &strCfp);
  EXPECT_EQ(strImg, "/" + std::string(kLineLimit - std::string("IMG_PATH=/").size(), 'a'));
  std::string strBox;
  EXPECT_FALSE(LoadPackage(strImg, {}, &strBox));
  EXPECT_EQ(strBox, "文件不存在! " + strImg);
  LoadFileListIni(Base(), &m_settings);
  EXPECT_TRUE(m_settings.m_bFormatFlash);
}

TEST_F(HostileIniTest, FilesWithLinesTooLongToKeepAreNotRewritten) {
  const struct {
    size_t nLength;
    bool bRewritten;
  } cases[] = {{kLineLimit, true}, {kLineLimit + 1, false}, {kMegabyte, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.nLength);
    const std::string strBefore = "[PORT_1]\nISUSED=Yes\n" + std::string(c.nLength, 'x') + "\n";
    WriteBytes(Ini("download.ini"), strBefore);
    EXPECT_EQ(IniWriteString("PORT_1", "PORTNB", "COM3", Ini("download.ini")), c.bRewritten);
    const std::string strAfter = ReadWholeFile(Ini("download.ini"));
    EXPECT_EQ(strAfter == strBefore, !c.bRewritten);
    EXPECT_NE(strAfter.find(std::string(c.nLength, 'x')), std::string::npos);
  }
}

TEST_F(HostileIniTest, BinaryGarbageGivesTheDefaults) {
  const std::string strGarbage = Garbage(256 * 1024, 7);
  for (const char* pszName : {"filelist.ini", "download.ini", "wimei.ini", "chipset.ini"}) {
    WriteBytes(Ini(pszName), strGarbage);
  }
  EXPECT_TRUE(LoadFileListIni(Base(), &m_settings));
  EXPECT_TRUE(m_settings.m_fileList.empty());
  EXPECT_FALSE(m_settings.m_bFormatFlash);
  EXPECT_EQ(m_settings.m_dwDebugFlags, 0u);
  EXPECT_TRUE(LoadDownloadIni(Base(), &m_ports));
  for (const PortSetting& port : m_ports) {
    EXPECT_FALSE(port.m_bUsed);
    EXPECT_EQ(port.m_strPortNb, "None");
  }
  EXPECT_TRUE(LoadChipList(Base()).empty());
  WriterSettings settings;
  ASSERT_TRUE(LoadSettings(Base(), {}, &settings));
  const WriterSettings defaults;
  EXPECT_EQ(settings.m_nImeiCount, defaults.m_nImeiCount);
  EXPECT_EQ(settings.m_nMbsnLength, defaults.m_nMbsnLength);
  EXPECT_EQ(settings.m_strImeiInit15, defaults.m_strImeiInit15);
  EXPECT_EQ(settings.m_strChipset, defaults.m_strChipset);
  EXPECT_TRUE(settings.m_bCheckImei);
  EXPECT_EQ(settings.m_nMagicNumber, 0x66616374u);
}

TEST_F(HostileIniTest, NonUtf8FoldersAndValuesRoundTripByteForByte) {
  const std::string strBase = m_dir.File(kNonUtf8Name);
  WriteBytes(strBase + "/images/boot_fact.bin", "boot");
  std::filesystem::create_directories(strBase + "/ini");
  const std::string strValue = "\xB0\xA1" + kNonUtf8Name + "\xFE";

  m_ports[4] = {true, strValue};
  ASSERT_TRUE(SaveDownloadIni(strBase, m_ports));
  m_ports[4] = {};
  ASSERT_TRUE(LoadDownloadIni(strBase, &m_ports));
  EXPECT_TRUE(m_ports[4].m_bUsed);
  EXPECT_EQ(m_ports[4].m_strPortNb, strValue);

  ASSERT_TRUE(SaveImagePath(strBase, strBase + "/" + strValue + ".bin", ""));
  std::string strImg, strCfp;
  LoadImagePath(strBase, &strImg, &strCfp);
  EXPECT_EQ(strImg, strBase + "/" + strValue + ".bin");

  WriterSettings settings;
  settings.m_strImeiFile = strValue;
  settings.m_strChipset = strValue;
  ASSERT_TRUE(SaveSettings(strBase, settings));
  WriterSettings loaded;
  ASSERT_TRUE(LoadSettings(strBase, {{strValue, "factory" + strValue}}, &loaded));
  EXPECT_EQ(loaded.m_strImeiFile, strValue);
  EXPECT_EQ(loaded.m_strFactName, "factory" + strValue);
}

}  // namespace
