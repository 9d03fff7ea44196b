#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "common/digest.h"
#include "common/op_log.h"
#include "pty_phone.h"
#include "quillport/package/download_config.h"
#include "quillport/package/download_package.h"
#include "quillport/package/pack_writer.h"

namespace {

struct SRun {
  int nStatus;
  std::string strOut;  // stdout and stderr
};

SRun RunPack(const std::string& strArgs) {
  const std::string strCmd = std::string(QUILLPORT_PACK_PATH) + " " + strArgs + " 2>&1";
  FILE* pPipe = popen(strCmd.c_str(), "r");
  SRun run{-1, {}};
  if (!pPipe) return run;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, pPipe)) > 0;) run.strOut.append(buf, n);
  const int nWait = pclose(pPipe);
  run.nStatus = WIFEXITED(nWait) ? WEXITSTATUS(nWait) : -1;
  return run;
}

class PackToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(m_dir.File("pdl1.bin"), std::ios::binary) << m_strPdl1;
    std::ofstream(m_dir.File("m.ini")) << "# loaders first\n"
                                          "[PDL1]\nfile = pdl1.bin\naddr = 0x80000000\nexec = yes\n"
                                          "[PDL2]\nfile = pattern:20k:3\nchunk=4224\nexec=yes\n"
                                          "; partitions\n"
                                          "[system]\nfile = pattern:1M:7\nchunk = 128k\n"
                                          "[modem]\nfile=pattern:3000\nby_addr=yes\naddr=4096\n";
  }
  std::string Package() const { return m_dir.File("a_norq_total.bin"); }

  CTempDir m_dir;
  const std::string m_strPdl1 = std::string(5000, '\x7E') + "end";
};

TEST_F(PackToolTest, CreateListVerifyAndLoad) {
  SRun run = RunPack("create " + m_dir.File("m.ini") + " -o " + Package());
  ASSERT_EQ(run.nStatus, 0) << run.strOut;

  run = RunPack("list " + Package());
  ASSERT_EQ(run.nStatus, 0) << run.strOut;
  EXPECT_NE(run.strOut.find("0     PDL1                   5220       5003     4096 0x80000000 No"
                            "      Yes"),
            std::string::npos)
      << run.strOut;
  EXPECT_NE(run.strOut.find("3     modem"), std::string::npos) << run.strOut;

  run = RunPack("verify " + Package());
  EXPECT_EQ(run.nStatus, 0) << run.strOut;

  const std::shared_ptr<const CDownloadPackage> pPackage = LoadPackage(Package(), {});
  ASSERT_TRUE(pPackage);
  const std::vector<PackEntry>& entries = pPackage->Entries();
  ASSERT_EQ(entries.size(), 4u);
  const std::string strBytes = ReadWholeFile(Package());
  const PackEntry& pdl1 = entries[0];
  EXPECT_EQ(strBytes.substr(pdl1.m_dwOffset, pdl1.m_dwSize), m_strPdl1);
  const uint32_t aSizes[] = {5003, 20 * 1024, 1 << 20, 3000};
  const uint32_t aChunks[] = {4096, 4224, 128 * 1024, 4096};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(entries[i].m_dwSize, aSizes[i]) << i;
    EXPECT_EQ(entries[i].m_dwPackLen, aChunks[i]) << i;
  }
  EXPECT_EQ(entries[3].m_dwOffset + entries[3].m_dwSize, strBytes.size());
  EXPECT_EQ(entries[3].m_bIsAddr, 1u);
  EXPECT_EQ(entries[3].m_dwAddr, 4096u);
  EXPECT_EQ(entries[1].m_bNeedExec, 1u);
  EXPECT_EQ(entries[2].m_bNeedExec, 0u);
}

TEST_F(PackToolTest, ImageDigestsAreStoredListedAndChecked) {
  ASSERT_EQ(RunPack("create " + m_dir.File("m.ini") + " -o " + Package()).nStatus, 0);
  const std::string strPdl1Sha =
      Sha256Hex({reinterpret_cast<const uint8_t*>(m_strPdl1.data()), m_strPdl1.size()});
  SRun run = RunPack("list " + Package());
  EXPECT_NE(run.strOut.find(" Yes  " + strPdl1Sha + "\n"), std::string::npos) << run.strOut;
  run = RunPack("verify " + Package());
  EXPECT_EQ(run.nStatus, 0) << run.strOut;
  EXPECT_NE(run.strOut.find("4 image digests match"), std::string::npos) << run.strOut;
  ASSERT_TRUE(LoadPackage(Package(), {}));

  // One byte of system changed, and the file's time with it.
  const auto changed = std::filesystem::last_write_time(Package()) + std::chrono::seconds(1);
  const PackEntry system = LoadPackage(Package(), {})->Entries()[2];
  {
    std::fstream file(Package(), std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(system.m_dwOffset + system.m_dwSize / 2);
    file.put('\x01');
  }
  std::filesystem::last_write_time(Package(), changed);
  run = RunPack("verify " + Package());
  EXPECT_EQ(run.nStatus, 1);
  EXPECT_NE(run.strOut.find("image 2 (system) does not match its SHA-256"), std::string::npos)
      << run.strOut;
  std::string strBox;
  EXPECT_FALSE(LoadPackage(Package(), {}, &strBox));
  EXPECT_EQ(strBox, "文件校验失败! " + Package() +
                        ": image \"system\" does not match the SHA-256 stored for it");

  // Without the marks (a package of an older build) it loads unchecked.
  std::string strBytes = ReadWholeFile(Package());
  for (size_t i = 0; i < 4; ++i) strBytes[4 + i * sizeof(PackEntry) + 16] = '\0';
  std::ofstream(Package(), std::ios::binary | std::ios::trunc) << strBytes;
  std::filesystem::last_write_time(Package(), changed + std::chrono::seconds(1));
  EXPECT_TRUE(LoadPackage(Package(), {}));
  run = RunPack("list " + Package());
  EXPECT_NE(run.strOut.find(" Yes  -\n"), std::string::npos) << run.strOut;
  EXPECT_NE(RunPack("verify " + Package()).strOut.find("0 image digests"), std::string::npos);
}

TEST_F(PackToolTest, FileListSectionsReadBackAsTheFileList) {
  ASSERT_EQ(RunPack("create " + m_dir.File("m.ini") + " -o " + Package()).nStatus, 0);
  const SRun run = RunPack("filelist " + Package());
  ASSERT_EQ(run.nStatus, 0) << run.strOut;
  mkdir(m_dir.File("ini").c_str(), 0755);
  std::ofstream(FileListIniPath(m_dir.Path())) << run.strOut;
  SDownloadSettings settings;
  ASSERT_TRUE(LoadFileListIni(m_dir.Path(), &settings));
  const std::vector<FileEntry>& files = settings.m_fileList;
  ASSERT_EQ(files.size(), 4u);
  EXPECT_EQ(files[0].m_strTitle, "PDL1");
  EXPECT_EQ(files[0].m_dwStartAddr, 0x80000000u);
  EXPECT_TRUE(files[0].m_bNeedExec);
  EXPECT_EQ(files[2].m_nPackLen, 128);
  EXPECT_EQ(files[2].m_strPartName, "system");
  EXPECT_TRUE(files[3].m_bIsAddr);
  EXPECT_EQ(files[3].m_dwStartAddr, 4096u);
  EXPECT_NE(run.strOut.find("[FILE_2]\nTITLE=PDL2\nPATH=PDL2.bin\nISSEL=Yes\nNEEDEXE=Yes\n"
                            "PACKLEN=4k\nISADDR=No\nSTARTADDR=0x00000000\nPARTNAME=PDL2\n"),
            std::string::npos)
      << run.strOut;
}

TEST_F(PackToolTest, ExitStatusForDamagedPackagesAndBadUsage) {
  ASSERT_EQ(RunPack("create " + m_dir.File("m.ini") + " -o " + Package()).nStatus, 0);
  std::filesystem::resize_file(Package(), std::filesystem::file_size(Package()) - 1);
  SRun run = RunPack("verify " + Package());
  EXPECT_EQ(run.nStatus, 1);
  EXPECT_NE(run.strOut.find("entry 3 lies outside the file"), std::string::npos) << run.strOut;
  EXPECT_EQ(RunPack("list " + Package()).nStatus, 1);
  EXPECT_EQ(RunPack("verify " + m_dir.File("none.bin")).nStatus, 1);

  for (const char* pszArgs : {"", "verify", "frobnicate x", "create m.ini", "list a b"}) {
    EXPECT_EQ(RunPack(pszArgs).nStatus, 2) << pszArgs;
  }
}

TEST_F(PackToolTest, BadManifestsWriteNoPackage) {
  struct {
    const char* pszManifest;
    const char* pszError;
  } const cases[] = {
      {"[PDL1]\nfile=pattern:1k\n[PDL2]\nfile=pattern:1k\n", "3 to 1024 images, not 2"},
      {"[PDL1]\nfile=pattern:1k\ncolour=red\n", "m.ini:3: unknown key \"colour\""},
      {"[PDL1]\nfile=pattern:1k\nchunk=0\n", "bad value for chunk"},
      {"[PDL1]\nfile=pattern:1k\naddr=0x100000000\n", "bad value for addr"},
      {"[a,b]\nfile=x\n", "without ','"},
      {"[PDL1]\nexec=yes\n", "[PDL1] has no file"},
      {"[A]\nfile=missing.bin\n[B]\nfile=pattern:1\n[C]\nfile=pattern:1\n", "no such file"},
      {"[A]\nfile=pattern:5G\n[B]\nfile=pattern:1\n[C]\nfile=pattern:1\n", "exceed the 4 GiB"},
  };
  for (const auto& c : cases) {
    std::ofstream(m_dir.File("m.ini")) << c.pszManifest;
    const SRun run = RunPack("create " + m_dir.File("m.ini") + " -o " + Package());
    EXPECT_EQ(run.nStatus, 1) << c.pszManifest;
    EXPECT_NE(run.strOut.find(c.pszError), std::string::npos) << run.strOut;
    EXPECT_FALSE(std::filesystem::exists(Package()));
    EXPECT_FALSE(std::filesystem::exists(Package() + ".part"));
  }
}

TEST(PackPatternTest, AnyRangeMatchesTheWholeAndSeedsDiffer) {
  std::vector<uint8_t> whole(1000), part(1000), other(1000);
  FillPattern(7, 0, whole.data(), whole.size());
  for (const auto& [nOffset, nLen] :
       {std::pair<size_t, size_t>{0, 1}, {3, 5}, {5, 100}, {13, 987}}) {
    FillPattern(7, nOffset, part.data(), nLen);
    EXPECT_EQ(0, std::memcmp(part.data(), whole.data() + nOffset, nLen)) << nOffset;
  }
  FillPattern(8, 0, other.data(), other.size());
  EXPECT_NE(whole, other);
}

TEST(PackPatternTest, ByteCountsAndSources) {
  for (const auto& [pszText, nValue] : {std::pair<const char*, uint64_t>{"4096", 4096},
                                        {"0x1000", 4096},
                                        {"128k", 131072},
                                        {"8M", 8 << 20},
                                        {"1g", 1 << 30}}) {
    uint64_t n = 0;
    EXPECT_TRUE(ParseByteCount(pszText, &n) && n == nValue) << pszText;
  }
  for (const char* pszBad :
       {"", "k", "12q", "0x10k", "-1", "4kk", "18446744073709551615k", "99999999999999999999"}) {
    uint64_t n = 0;
    EXPECT_FALSE(ParseByteCount(pszBad, &n)) << pszBad;
  }
  uint64_t nSize = 0, nSeed = 1;
  EXPECT_TRUE(ParsePatternSource("pattern:2M", &nSize, &nSeed) && nSize == 2u << 20 && nSeed == 0);
  EXPECT_TRUE(ParsePatternSource("pattern:10:0x99", &nSize, &nSeed) && nSeed == 0x99);
  EXPECT_FALSE(ParsePatternSource("pattern:10:x", &nSize, &nSeed));
  EXPECT_FALSE(ParsePatternSource("pattern:", &nSize, &nSeed));
}

}  // namespace
