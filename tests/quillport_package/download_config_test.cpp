#include "quillport/package/download_config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "common/op_log.h"
#include "pdl/pdl_link.h"
#include "pty_phone.h"

namespace {

class DownloadConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir(m_base.File("ini").c_str(), 0755);
    InitLogFolders(m_base.Path());
    g_bOpenDebug = false;
  }
  void TearDown() override { g_bOpenDebug = false; }

  void WriteIni(const std::string& strName, const std::string& strText) {
    std::ofstream(m_base.File("ini/" + strName)) << strText;
  }

  CTempDir m_base;
  SDownloadSettings m_settings;
  PortSettings m_ports{};
};

TEST_F(DownloadConfigTest, FileSectionValuesFollowTheParseRules) {
  struct {
    const char* pszBody;  // lines of [FILE_1] after PATH=img.bin
    FileEntry expected;
  } const cases[] = {
      {"TITLE=Modem\nISSEL=Yes\nNEEDEXE=Yes\nPACKLEN=128k\nISADDR=Yes\nSTARTADDR=0x1A2B\n"
       "PARTNAME=modem\n",
       {"Modem", "img.bin", true, true, 128, 0x1A2B, "modem", true}},
      {"", {"None", "img.bin", false, false, 4, 0, "None", false}},
      {"ISSEL=yes\nNEEDEXE=YES\nISADDR=Yes \n",
       {"None", "img.bin", false, false, 4, 0, "None", true}},
      {"PACKLEN=256\nSTARTADDR=1A2B\n", {"None", "img.bin", false, false, 256, 0, "None", false}},
      {"PACKLEN=k4\nSTARTADDR=None\n", {"None", "img.bin", false, false, 0, 0, "None", false}},
      {"PACKLEN=-8k\nSTARTADDR=0X1A\n", {"None", "img.bin", false, false, -8, 0, "None", false}},
      {"PACKLEN=99999999999k\nSTARTADDR=0x123456789\n",
       {"None", "img.bin", false, false, INT32_MAX, 0x12345678, "None", false}},
      {"STARTADDR=0xfeedBEEF\n", {"None", "img.bin", false, false, 4, 0xFEEDBEEF, "None", false}},
      {"STARTADDR=0x12zz\n", {"None", "img.bin", false, false, 4, 0x12, "None", false}},
  };
  for (const auto& c : cases) {
    WriteIni("filelist.ini", std::string("[FILE_1]\nPATH=img.bin\n") + c.pszBody);
    ASSERT_TRUE(LoadFileListIni(m_base.Path(), &m_settings));
    ASSERT_EQ(m_settings.m_fileList.size(), 1u) << c.pszBody;
    const FileEntry& e = m_settings.m_fileList[0];
    SCOPED_TRACE(c.pszBody);
    EXPECT_EQ(e.m_strTitle, c.expected.m_strTitle);
    EXPECT_EQ(e.m_strPath, c.expected.m_strPath);
    EXPECT_EQ(e.m_bSelected, c.expected.m_bSelected);
    EXPECT_EQ(e.m_bNeedExec, c.expected.m_bNeedExec);
    EXPECT_EQ(e.m_nPackLen, c.expected.m_nPackLen);
    EXPECT_EQ(e.m_dwStartAddr, c.expected.m_dwStartAddr);
    EXPECT_EQ(e.m_strPartName, c.expected.m_strPartName);
    EXPECT_EQ(e.m_bIsAddr, c.expected.m_bIsAddr);
  }
}

TEST_F(DownloadConfigTest, SwitchesAndDebugBits) {
  struct {
    const char* pszIni;
    bool bFormat, bDebug;
    uint32_t dwFlags;
  } const cases[] = {
      {"", false, false, 0},
      {"[CONFIGURE]\nISFORMAT=Yes\nOPENDEBUG=Yes\n", true, true, 0},
      {"[configure]\nisformat=yes\nOPENDEBUG=No\n", false, false, 0},
      {"[DEBUG_LEVEL]\nPDL_DBG_PDL=1\nPDL_DBG_RW_CHECK=2\n", false, false, 0x01},
      {"[DEBUG_LEVEL]\nPDL_DBG_USB_SERIAL=1\nPDL_DBG_PDL_VERBOSE=1\n", false, false, 0x24},
      {"[DEBUG_LEVEL]\nPDL_DBG_PDL=1\nPDL_DBG_USB_EP0=1\nPDL_DBG_USB_SERIAL=1\nPDL_DBG_RW_CHECK=1\n"
       "PDL_DBG_FACTORY_PART=1\nPDL_DBG_PDL_VERBOSE=1\n",
       false, false, 0x3F},
      {"[DEBUG_LEVEL]\nPDL_DBG_RW_CHECK=0\nPDL_DBG_FACTORY_PART=1\n", false, false, 0x10},
  };
  for (const auto& c : cases) {
    WriteIni("filelist.ini", c.pszIni);
    ASSERT_TRUE(LoadFileListIni(m_base.Path(), &m_settings));
    EXPECT_EQ(m_settings.m_bFormatFlash, c.bFormat) << c.pszIni;
    EXPECT_EQ(g_bOpenDebug, c.bDebug) << c.pszIni;
    EXPECT_EQ(m_settings.m_dwDebugFlags, c.dwFlags) << c.pszIni;
  }
}

TEST_F(DownloadConfigTest, FileListEndsAtTheFirstMissingPathOrAfter255) {
  std::string strGap = "[FILE_1]\nPATH=a\n[FILE_2]\nPATH=b\n[FILE_4]\nPATH=d\n";
  std::string strNone = "[FILE_1]\nPATH=a\n[FILE_2]\nPATH=None\n[FILE_3]\nPATH=c\n";
  std::string strFull;
  for (int n = 1; n <= 256; ++n) strFull += "[FILE_" + std::to_string(n) + "]\nPATH=p\n";
  for (const auto& [strIni, nCount] : {std::pair{strGap, 2u}, {strNone, 1u}, {strFull, 255u}}) {
    WriteIni("filelist.ini", strIni);
    ASSERT_TRUE(LoadFileListIni(m_base.Path(), &m_settings));
    EXPECT_EQ(m_settings.m_fileList.size(), nCount);
  }
  remove(m_base.File("ini/filelist.ini").c_str());
  ASSERT_TRUE(LoadFileListIni(m_base.Path(), &m_settings));
  EXPECT_TRUE(m_settings.m_fileList.empty());
}

TEST_F(DownloadConfigTest, PortRowsAreInUseForAnythingButExactlyNo) {
  WriteIni("download.ini",
           "[PORT_1]\nISUSED=Yes\nPORTNB=COM3\n[PORT_2]\nISUSED=No\n[PORT_3]\nISUSED=no\n"
           "[PORT_4]\nISUSED=\n[PORT_5]\nISUSED=NO\n[PORT_6]\nPORTNB=x\n");
  ASSERT_TRUE(LoadDownloadIni(m_base.Path(), &m_ports));
  const bool used[kPortRows] = {true, false, true, true, true, false, false, false};
  for (int i = 0; i < kPortRows; ++i) EXPECT_EQ(m_ports[i].m_bUsed, used[i]) << i;
  EXPECT_EQ(m_ports[0].m_strPortNb, "COM3");
  EXPECT_EQ(m_ports[1].m_strPortNb, "None");
  EXPECT_EQ(m_ports[5].m_strPortNb, "x");
}

TEST_F(DownloadConfigTest, SavedPortRowsReadBackTheSame) {
  WriteIni("download.ini", "; rows\n[PORT_4]\nISUSED=no\nEXTRA=kept\n");
  for (int i = 0; i < kPortRows; ++i) {
    m_ports[i] = {i % 3 == 0, "nb" + std::to_string(i)};
  }
  const auto saved = m_ports;
  ASSERT_TRUE(SaveDownloadIni(m_base.Path(), m_ports));
  m_ports = {};
  ASSERT_TRUE(LoadDownloadIni(m_base.Path(), &m_ports));
  for (int i = 0; i < kPortRows; ++i) {
    EXPECT_EQ(m_ports[i].m_bUsed, saved[i].m_bUsed) << i;
    EXPECT_EQ(m_ports[i].m_strPortNb, saved[i].m_strPortNb) << i;
  }
  const std::string strText = ReadWholeFile(DownloadIniPath(m_base.Path()));
  EXPECT_NE(strText.find("[PORT_4]\nISUSED=Yes\nEXTRA=kept\nPORTNB=nb3\n"), std::string::npos)
      << strText;
  EXPECT_NE(strText.find("[PORT_2]\nISUSED=No\nPORTNB=nb1\n"), std::string::npos) << strText;
}

TEST_F(DownloadConfigTest, PackagePathRoundTripAndLogLines) {
  g_bOpenDebug = true;
  std::string strImg = "stale", strCfp = "stale";
  LoadImagePath(m_base.Path(), &strImg, &strCfp);
  EXPECT_EQ(strImg, "");
  EXPECT_EQ(strCfp, "");

  ASSERT_TRUE(SaveImagePath(m_base.Path(), "/pk/a_norq_total.bin", "/pk/x.cfp"));
  strCfp = "kept?";
  LoadImagePath(m_base.Path(), &strImg, &strCfp);
  EXPECT_EQ(strImg, "/pk/a_norq_total.bin");
  EXPECT_EQ(strCfp, "") << "the cfp path is never stored";
  EXPECT_EQ(ReadWholeFile(FileListIniPath(m_base.Path())),
            "[FILE_PATH]\nIMG_PATH=/pk/a_norq_total.bin\n");

  const std::string strIni = m_base.File("ini/filelist.ini");
  EXPECT_EQ(ReadWholeFile(OperateLogPath()),
            "GetPath szIniPath:" + strIni + ", szCurDir:" + m_base.Path() + "\n" +
                "GetPath cfppath:, imgpath:\n"
                "SavePath ret img:1\n"
                "GetPath szIniPath:" +
                strIni + ", szCurDir:" + m_base.Path() + "\n" +
                "GetPath cfppath:, imgpath:/pk/a_norq_total.bin\n");
}

TEST_F(DownloadConfigTest, UnwritablePackagePathsAreReportedAndLeaveTheFileAlone) {
  g_bOpenDebug = true;
  ASSERT_TRUE(SaveImagePath(m_base.Path(), "/pk/good.bin", ""));
  // A line break would plant a [CONFIGURE] section of its own in the file.
  EXPECT_FALSE(SaveImagePath(m_base.Path(), "/pk/x.bin\n[CONFIGURE]\nISFORMAT=Yes", ""));
  EXPECT_EQ(ReadWholeFile(FileListIniPath(m_base.Path())), "[FILE_PATH]\nIMG_PATH=/pk/good.bin\n");
  CTempDir noIniFolder;
  EXPECT_FALSE(SaveImagePath(noIniFolder.Path(), "/pk/good.bin", ""));
  EXPECT_EQ(ReadWholeFile(OperateLogPath()),
            "SavePath ret img:1\nSavePath ret img:0\nSavePath ret img:0\n");
}

}  // namespace
