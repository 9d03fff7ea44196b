#include "common/ini_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include <filesystem>
#include <fstream>

#include "pty_phone.h"

namespace {

class IniFileTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& text) {
    std::ofstream(m_path, std::ios::binary) << text;
    return m_path;
  }
  CTempDir m_dir;
  std::string m_path = m_dir.File("settings.ini");
};

TEST_F(IniFileTest, ReadsMatchNamesWithoutCaseAndTrimValues) {
  Write("; a comment\n[Options]\n  TimeOut =  3000  \nname=a b = c\nEmpty=\n[other]\ntimeout=7\n");
  struct {
    const char *pszSection, *pszKey, *pszExpected;
  } cases[] = {
      {"options", "TIMEOUT", "3000"}, {"OPTIONS", "name", "a b = c"}, {"Options", "empty", ""},
      {"other", "TimeOut", "7"},      {"options", "missing", "dflt"}, {"missing", "timeout", "dflt"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IniGetString(c.pszSection, c.pszKey, "dflt", m_path), c.pszExpected)
        << c.pszSection << "/" << c.pszKey;
  }
  EXPECT_EQ(IniGetString("options", "timeout", "dflt", m_dir.File("absent.ini")), "dflt");
}

// As the platform's profile functions read them: one pair of enclosing
// double quotes goes, a ";" after a value is part of it.
TEST_F(IniFileTest, QuotesAroundAValueGoAndAnInlineCommentStays) {
  Write(
      "[s]\npath = \"D:\\lists\\imei.txt\"\nname=line1 ; optional\nhalf=\"open\n"
      "inner=a \"b\" c\nblanks=\"  x  \"\n");
  const std::pair<const char*, const char*> cases[] = {{"path", "D:\\lists\\imei.txt"},
                                                       {"name", "line1 ; optional"},
                                                       {"half", "\"open"},
                                                       {"inner", "a \"b\" c"},
                                                       {"blanks", "  x  "}};
  for (auto [key, expected] : cases) EXPECT_EQ(IniGetString("s", key, "", m_path), expected) << key;
  // A value in quotes of its own is written so that it reads back whole.
  ASSERT_TRUE(IniWriteString("s", "quoted", "\"x\"", m_path));
  EXPECT_EQ(IniGetString("s", "quoted", "", m_path), "\"x\"");
}

TEST_F(IniFileTest, IntegersTakeTheLeadingDigits) {
  Write("[s]\na=120000\nb=12abc\nc=abc\nd=\ne=-5\nf=99999999999\n");
  const std::pair<const char*, int> cases[] = {{"a", 120000}, {"b", 12}, {"c", 0},  {"d", 0},
                                               {"e", 0},      {"f", INT_MAX}, {"g", 42}};
  for (auto [key, expected] : cases) EXPECT_EQ(IniGetInt("s", key, 42, m_path), expected) << key;
}

TEST_F(IniFileTest, WriteReplacesInPlaceAndKeepsEverythingElse) {
  Write("; keep me\r\n[Run]\r\nA=1\r\n; inner comment\r\nB=2\r\n\r\n[Next]\r\nC=3\r\n");
  ASSERT_TRUE(IniWriteString("run", "a", "10", m_path));
  EXPECT_EQ(ReadWholeFile(m_path),
            "; keep me\r\n[Run]\r\na=10\r\n; inner comment\r\nB=2\r\n\r\n[Next]\r\nC=3\r\n");
}

TEST_F(IniFileTest, WriteAppendsToTheSectionOrAddsTheSection) {
  Write("[Run]\nA=1\n\n[Next]\nC=3\n");
  ASSERT_TRUE(IniWriteString("Run", "B", "2", m_path));
  ASSERT_TRUE(IniWriteString("New", "D", "4", m_path));
  EXPECT_EQ(ReadWholeFile(m_path), "[Run]\nA=1\nB=2\n\n[Next]\nC=3\n[New]\nD=4\n");
  EXPECT_EQ(IniGetString("new", "d", "", m_path), "4");
}

TEST_F(IniFileTest, WriteCreatesAMissingFileButNoFolder) {
  ASSERT_TRUE(IniWriteString("S", "K", "V", m_path));
  EXPECT_EQ(ReadWholeFile(m_path), "[S]\nK=V\n");
  const std::string inMissing = m_dir.File("nofolder/settings.ini");
  EXPECT_FALSE(IniWriteString("S", "K", "V", inMissing));
  EXPECT_FALSE(std::filesystem::exists(m_dir.File("nofolder")));
}

TEST_F(IniFileTest, LineBreaksCannotPlantLinesOfTheirOwn) {
  Write("[FILE_PATH]\nIMG_PATH=a.bin\n");
  EXPECT_FALSE(IniWriteString("FILE_PATH", "IMG_PATH", "x.bin\n[CONFIGURE]\nISFORMAT=Yes", m_path));
  EXPECT_FALSE(IniWriteString("FILE_PATH", "IMG\rPATH", "x.bin", m_path));
  EXPECT_EQ(ReadWholeFile(m_path), "[FILE_PATH]\nIMG_PATH=a.bin\n");
  EXPECT_EQ(IniGetString("CONFIGURE", "ISFORMAT", "No", m_path), "No");
}

TEST_F(IniFileTest, AStrayCarriageReturnEndsTheValueSoItCanBeWrittenBack) {
  Write(std::string("[PORT_1]\nPORTNB=COM5\r\0\0junk \nISUSED=Yes\n", 40));
  const std::string value = IniGetString("PORT_1", "PORTNB", "", m_path);
  EXPECT_EQ(value, "COM5");
  EXPECT_TRUE(IniWriteString("PORT_1", "PORTNB", value, m_path));
  EXPECT_EQ(IniGetString("PORT_1", "PORTNB", "", m_path), "COM5");
  EXPECT_EQ(IniGetString("PORT_1", "ISUSED", "", m_path), "Yes");
}

TEST_F(IniFileTest, FailedWriteLeavesTheOldFileWholeAndNoTemporary) {
  Write("[S]\nK=old\n");
  chmod(m_dir.Path().c_str(), 0555);  // the folder refuses the temporary file
  const bool bWritten = IniWriteString("S", "K", "new", m_path);
  chmod(m_dir.Path().c_str(), 0755);
  if (getuid() != 0) {
    EXPECT_FALSE(bWritten);
  }
  if (!bWritten) {
    EXPECT_EQ(ReadWholeFile(m_path), "[S]\nK=old\n");
  }
  int nFiles = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(m_dir.Path())) ++nFiles;
  EXPECT_EQ(nFiles, 1);
}

// A link planted by another user of the machine is a POSIX station's risk;
// the Windows build opens its files as before.
#ifndef _WIN32
TEST_F(IniFileTest, ASaveNeverWritesThroughALinkPlantedForIt) {
  CTempDir outside;
  const std::string strVictim = outside.File("victim.txt");
  std::ofstream(strVictim) << "keep\n";
  Write("[S]\nK=old\n");
  // The save's own temporary name, and the settings file itself.
  std::filesystem::create_symlink(strVictim, m_path + ".tmp" + std::to_string(getpid()));
  ASSERT_TRUE(IniWriteString("S", "K", "new", m_path));
  EXPECT_EQ(ReadWholeFile(strVictim), "keep\n");
  EXPECT_EQ(IniGetString("S", "K", "", m_path), "new");

  std::filesystem::remove(m_path);
  std::filesystem::create_symlink(strVictim, m_path);
  ASSERT_TRUE(IniWriteString("S", "K", "newer", m_path));
  EXPECT_EQ(ReadWholeFile(strVictim), "keep\n");
  EXPECT_FALSE(std::filesystem::is_symlink(m_path)) << "the link itself was replaced";
}
#endif

}  // namespace
