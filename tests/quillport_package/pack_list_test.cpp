#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "common/digest.h"
#include "common/op_log.h"
#include "pty_phone.h"
#include "quillport/package/download_package.h"

namespace {

struct STestImage {
  std::string strName;
  std::string strData;
  uint32_t dwPackLen = 4096, dwAddr = 0, bIsAddr = 0, bNeedExec = 0;
};

void PutU32(std::string& s, size_t nAt, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[nAt + i] = static_cast<char>(v >> (8 * i));
}

// The on-disk layout written field by field, independently of PackEntry.
std::string BuildPackage(const std::vector<STestImage>& images) {
  std::string s(4 + images.size() * 1304, '\0');
  PutU32(s, 0, static_cast<uint32_t>(images.size()));
  uint32_t dwData = 0;
  for (size_t i = 0; i < images.size(); ++i) {
    const STestImage& im = images[i];
    const size_t e = 4 + i * 1304;
    PutU32(s, e + 0, dwData);
    PutU32(s, e + 4, static_cast<uint32_t>(im.strData.size()));
    PutU32(s, e + 8, im.dwPackLen);
    PutU32(s, e + 12, im.dwAddr);
    s[e + 16] = static_cast<char>(0xA0 + i);  // unread bytes are still copied
    s.replace(e + 144, im.strName.size(), im.strName);
    PutU32(s, e + 1296, im.bIsAddr);
    PutU32(s, e + 1300, im.bNeedExec);
    dwData += static_cast<uint32_t>(im.strData.size());
  }
  for (const STestImage& im : images) s += im.strData;
  return s;
}

std::vector<STestImage> ThreeImages() {
  return {{"PDL1", std::string(100, '1'), 4096, 0x80000000, 0, 1},
          {"PDL2", std::string(300, '2'), 4224, 0x80100000, 0, 1},
          {"system", std::string(5000, 's'), 128, 0x1000, 1, 0}};
}

class PackListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitLogFolders(m_dir.Path());
    g_bOpenDebug = true;
  }
  void TearDown() override { g_bOpenDebug = false; }

  std::string Write(const std::string& strBytes, const std::string& strName = "a_norq_total.bin") {
    const std::string strPath = m_dir.File(strName);
    std::ofstream(strPath, std::ios::binary) << strBytes;
    return strPath;
  }

  CTempDir m_dir;
};

TEST_F(PackListTest, ValidPackageLoadsWithAbsoluteOffsets) {
  const auto images = ThreeImages();
  const std::string strBytes = BuildPackage(images);
  const std::string strPath = Write(strBytes);
  SDownloadSettings settings;
  settings.m_bFormatFlash = true;
  settings.m_fileList.resize(3);
  std::string strBox = "x";
  const std::shared_ptr<const CDownloadPackage> pPackage = LoadPackage(strPath, settings, &strBox);
  ASSERT_TRUE(pPackage);
  EXPECT_EQ(strBox, "");
  EXPECT_EQ(pPackage->Path(), strPath);
  EXPECT_TRUE(pPackage->FormatFlash());
  EXPECT_EQ(pPackage->FileList().size(), 3u);
  ASSERT_EQ(pPackage->Entries().size(), 3u);
  uint32_t dwExpected = 4 + 3 * 1304;  // a stored offset of 0 is the first byte after the directory
  for (size_t i = 0; i < images.size(); ++i) {
    const PackEntry& e = pPackage->Entries()[i];
    SCOPED_TRACE(images[i].strName);
    EXPECT_EQ(e.m_dwOffset, dwExpected);
    EXPECT_EQ(strBytes.substr(e.m_dwOffset, e.m_dwSize), images[i].strData);
    EXPECT_STREQ(e.m_szName, images[i].strName.c_str());
    EXPECT_EQ(e.m_dwPackLen, images[i].dwPackLen);
    EXPECT_EQ(e.m_dwAddr, images[i].dwAddr);
    EXPECT_EQ(e.m_bIsAddr, images[i].bIsAddr);
    EXPECT_EQ(e.m_bNeedExec, images[i].bNeedExec);
    EXPECT_EQ(e.m_reserved[0], 0xA0 + i);
    dwExpected += e.m_dwSize;
  }
  EXPECT_EQ(pPackage->Sha256(),
            Sha256Hex({reinterpret_cast<const uint8_t*>(strBytes.data()), strBytes.size()}));
  EXPECT_EQ(ReadWholeFile(OperateLogPath()),
            strPath + " carries no image digests; its images are not checked\n")
      << "a good load without digests says so, and nothing else";
}

TEST_F(PackListTest, RefusedFilesAreToldAndGiveNoPackage) {
  const std::string strFile = m_dir.File("a_norq_total.bin");
  auto withCount = [](int32_t n) {
    std::string s = BuildPackage(ThreeImages());
    PutU32(s, 0, static_cast<uint32_t>(n));
    return s;
  };
  auto withEntry = [](size_t nIndex, size_t nField, uint32_t v) {
    std::string s = BuildPackage(ThreeImages());
    PutU32(s, 4 + nIndex * 1304 + nField, v);
    return s;
  };
  std::string strUnterminated = BuildPackage(ThreeImages());
  std::memset(&strUnterminated[4 + 1304 + 144], 'N', 1152);
  std::string strSmallCount(1024, '\0');
  PutU32(strSmallCount, 0, 2);
  const std::string strNotValid = strFile + " file is not valid!";

  struct {
    const char* pszCase;
    std::function<void()> fnMake;
    std::string strBox;  // text after the path is appended
    std::string strLog;  // operation log, "" for none
  } const cases[] = {
      {"missing file", [] {}, "文件不存在! ", ""},
      {"1023 bytes", [&] { Write(std::string(1023, '\x05')); }, "文件无效! ", strNotValid + "\n"},
      {"1024 bytes, count 2", [&] { Write(strSmallCount); }, "", "nPackNum <= 2 nPackNum:2!!\n"},
      {"count 0", [&] { Write(withCount(0)); }, "", "nPackNum <= 2 nPackNum:0!!\n"},
      {"count -1", [&] { Write(withCount(-1)); }, "", "nPackNum <= 2 nPackNum:-1!!\n"},
      {"count INT_MIN", [&] { Write(withCount(INT_MIN)); }, "",
       "nPackNum <= 2 nPackNum:-2147483648!!\n"},
      {"a folder", [&] { mkdir(strFile.c_str(), 0755); }, "文件打开失败! ", ""},
      {"count 2^31-1", [&] { Write(withCount(INT_MAX)); }, "文件无效! ",
       strNotValid + "\nLoadPackage: directory count 2147483647 is above 1024\n"},
      {"directory longer than the file", [&] { Write(withCount(10)); }, "文件无效! ",
       strNotValid + "\nLoadPackage: directory of 10 entries does not fit a file of 9316 bytes\n"},
      {"offset wraps 32 bits", [&] { Write(withEntry(2, 0, 0xFFFFFF00)); }, "文件无效! ",
       strNotValid + "\nLoadPackage: entry 2 lies outside the file\n"},
      {"size one past the end", [&] { Write(withEntry(1, 4, 5301)); }, "文件无效! ",
       strNotValid + "\nLoadPackage: entry 1 lies outside the file\n"},
      {"name without NUL", [&] { Write(strUnterminated); }, "文件无效! ",
       strNotValid + "\nLoadPackage: entry 1 has no terminated name\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pszCase);
    std::filesystem::remove_all(strFile);
    std::filesystem::remove(OperateLogPath());
    c.fnMake();
    std::string strBox = "stale";
    EXPECT_FALSE(LoadPackage(strFile, {}, &strBox));
    EXPECT_EQ(strBox, c.strBox.empty() ? "" : c.strBox + strFile);
    EXPECT_EQ(ReadWholeFile(OperateLogPath()), c.strLog);
  }
}

}  // namespace
