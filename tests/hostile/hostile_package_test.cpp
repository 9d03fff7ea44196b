#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <fstream>

#include "allocation_probe.h"
#include "common/op_log.h"
#include "download_station.h"
#include "hostile_files.h"
#include "pty_phone.h"
#include "quillport/package/download_package.h"

namespace {

constexpr size_t kSmallHeap = 64 * 1024;

void PutU32(std::string& s, size_t nAt, uint32_t v) {
  for (size_t i = 0; i < 4; ++i) s[nAt + i] = static_cast<char>(v >> (8 * i));
}

class HostilePackageTest : public ::testing::Test {
 protected:
  void SetUp() override { InitLogFolders(m_dir.Path()); }

  // A valid package of PDL1, PDL2 and system, as the package writer makes it.
  std::string ValidPackage() {
    const std::string strPath = m_dir.File("valid_norq_total.bin");
    static constexpr STestImage kImages[] = {
        {"PDL1", "pattern:100"}, {"PDL2", "pattern:300"}, {"system", "pattern:5000"}};
    EXPECT_EQ(MakeTestPackage(strPath, kImages), "");
    return ReadWholeFile(strPath);
  }

  std::string Write(const std::string& strBytes) {
    const std::string strPath = m_dir.File("hostile_norq_total.bin");
    WriteBytes(strPath, strBytes);
    return strPath;
  }

  CTempDir m_dir;
};

TEST_F(HostilePackageTest, DirectoryCountsAreRefusedBeforeTheDirectoryIsAllocated) {
  const struct {
    const char* pszCase;
    uint32_t dwCount;
    size_t nFileSize;
    EPackFault eFault;
  } cases[] = {
      {"2^31 entries, negative as a signed count", 0x80000000u, 4096, EPackFault::kFewEntries},
      {"2^32 - 1 entries, -1 as a signed count", 0xFFFFFFFFu, 4096, EPackFault::kFewEntries},
      {"2^31 - 1 entries", 0x7FFFFFFFu, 4096, EPackFault::kTooManyEntries},
      {"one above the limit", kMaxPackNum + 1, 4096, EPackFault::kTooManyEntries},
      {"the limit, in a file far too short", kMaxPackNum, 64 * 1024, EPackFault::kDirectoryCut},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pszCase);
    std::string strBytes = Garbage(c.nFileSize, c.dwCount);
    PutU32(strBytes, 0, c.dwCount);
    const std::string strPath = Write(strBytes);

    SPackDirectory dir;
    const CAllocationProbe probe;
    EXPECT_EQ(ReadPackDirectory(strPath, &dir), c.eFault);
    EXPECT_LT(probe.LargestBlock(), kSmallHeap) << "the claimed directory was allocated";
    EXPECT_TRUE(dir.m_entries.empty());
    EXPECT_EQ(dir.m_nPackNum, static_cast<int32_t>(c.dwCount));
    std::string strBox;
    EXPECT_FALSE(LoadPackage(strPath, {}, &strBox));
    // A count of 2 or less is refused in the log alone, every other fault
    // with the tool's "file not valid" box.
    EXPECT_EQ(strBox, c.eFault == EPackFault::kFewEntries ? "" : "文件无效! " + strPath);
  }
}

TEST_F(HostilePackageTest, EntriesPointingOutsideTheFileAreRefused) {
  const std::string strValid = ValidPackage();
  const size_t nDirEnd = 4 + 3 * kPackEntrySize;
  const uint32_t dwDataLen = static_cast<uint32_t>(strValid.size() - nDirEnd);
  const struct {
    const char* pszCase;
    size_t nEntry;
    uint32_t dwOffset, dwSize;
  } cases[] = {
      {"starts past the end", 2, dwDataLen + 1, 0},
      {"ends one byte past the end", 2, 400, 5001},
      {"size of 4 GiB - 1", 0, 0, 0xFFFFFFFFu},
      {"offset and size wrap 32 bits", 1, 0xFFFFFFF0u, 0x20},
      {"absolute offset beyond 4 GiB", 0, 0xFFFFFFFFu, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pszCase);
    std::string strBytes = strValid;
    PutU32(strBytes, 4 + c.nEntry * kPackEntrySize, c.dwOffset);
    PutU32(strBytes, 4 + c.nEntry * kPackEntrySize + 4, c.dwSize);
    const std::string strPath = Write(strBytes);
    SPackDirectory dir;
    EXPECT_EQ(ReadPackDirectory(strPath, &dir), EPackFault::kEntryOutside);
    EXPECT_EQ(dir.m_nBadEntry, static_cast<int>(c.nEntry));
    EXPECT_EQ(DescribePackFault(EPackFault::kEntryOutside, dir),
              "entry " + std::to_string(c.nEntry) + " lies outside the file");
    std::string strBox;
    EXPECT_FALSE(LoadPackage(strPath, {}, &strBox));
    EXPECT_EQ(strBox, "文件无效! " + strPath);
  }
}

TEST_F(HostilePackageTest, NamesMustEndWithinTheirField) {
  const std::string strValid = ValidPackage();
  const size_t nName = offsetof(PackEntry, m_szName);
  const size_t nField = sizeof(PackEntry::m_szName);
  for (size_t nEntry : {0u, 2u}) {
    SCOPED_TRACE(nEntry);
    std::string strBytes = strValid;
    const size_t nAt = 4 + nEntry * kPackEntrySize + nName;
    strBytes.replace(nAt, nField, nField, 'N');
    std::string strBox;
    EXPECT_FALSE(LoadPackage(Write(strBytes), {}, &strBox));
    EXPECT_EQ(strBox, "文件无效! " + m_dir.File("hostile_norq_total.bin"));

    // The longest name that still ends within the field is taken.
    strBytes[nAt + nField - 1] = '\0';
    const std::shared_ptr<const CDownloadPackage> pPackage = LoadPackage(Write(strBytes), {});
    ASSERT_TRUE(pPackage);
    EXPECT_EQ(std::string(pPackage->Entries()[nEntry].m_szName), std::string(nField - 1, 'N'));
  }
}

TEST_F(HostilePackageTest, BinaryGarbageIsRefusedWithinBounds) {
  for (uint32_t nSeed = 1; nSeed <= 200; ++nSeed) {
    SCOPED_TRACE(nSeed);
    std::string strBytes = Garbage(1024 + nSeed * 331, nSeed);
    // Every fourth file claims a count the tool accepts, so that the entries
    // themselves are read and judged.
    if (nSeed % 4 == 0) PutU32(strBytes, 0, 3 + nSeed % 7);
    const std::string strPath = Write(strBytes);
    std::string strBox;
    const CAllocationProbe probe;
    EXPECT_FALSE(LoadPackage(strPath, {}, &strBox));
    EXPECT_LT(probe.PeakGrowth(), kSmallHeap);
    EXPECT_TRUE(strBox.empty() || strBox == "文件无效! " + strPath) << strBox;
  }
}

TEST_F(HostilePackageTest, NonUtf8PathsAreOpenedAndShownByteForByte) {
  const std::string strValid = ValidPackage();
  const std::string strPath = m_dir.File(kNonUtf8Name + "/" + kNonUtf8Name + "_norq_total.bin");
  WriteBytes(strPath, strValid);
  const std::shared_ptr<const CDownloadPackage> pPackage = LoadPackage(strPath, {});
  ASSERT_TRUE(pPackage);
  EXPECT_EQ(pPackage->Entries().size(), 3u);
  EXPECT_STREQ(pPackage->Entries()[2].m_szName, "system");

  const std::string strMissing = m_dir.File(kNonUtf8Name + "/gone\xFE.bin");
  std::string strBox;
  EXPECT_FALSE(LoadPackage(strMissing, {}, &strBox));
  EXPECT_EQ(strBox, "文件不存在! " + strMissing);
}

}  // namespace
