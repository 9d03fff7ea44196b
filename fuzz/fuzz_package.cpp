// The package loader on arbitrary files: every directory it accepts must
// describe images inside the file with terminated names, and LoadPackage must
// load exactly the accepted directories whose stored image digests all match
// the images' bytes.

#include <unistd.h>

#include <cstring>
#include <span>

#include "common/digest.h"
#include "fuzz_support.h"
#include "quillport/package/download_package.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  static const CFuzzFolder folder;
  static const std::string strPath = folder.File("fuzz_norq_total.bin");
  // A new file each run: rewritten in place with the same size within one
  // tick of the clock, it would keep its stamp and the loader's check cache
  // would answer for the previous input.
  unlink(strPath.c_str());
  WriteFuzzFile(strPath, pData, nSize);

  SPackDirectory dir;
  const EPackFault eFault = ReadPackDirectory(strPath, &dir);
  FUZZ_CHECK(!DescribePackFault(eFault, dir).empty());
  bool bDigestsMatch = true;
  if (eFault == EPackFault::kNone) {
    const uint64_t nDirEnd = 4 + uint64_t{dir.m_entries.size()} * kPackEntrySize;
    FUZZ_CHECK(dir.m_entries.size() == static_cast<size_t>(dir.m_nPackNum));
    FUZZ_CHECK(dir.m_nPackNum >= kMinPackNum && dir.m_nPackNum <= kMaxPackNum);
    for (const PackEntry& entry : dir.m_entries) {
      FUZZ_CHECK(entry.m_dwOffset >= nDirEnd);
      FUZZ_CHECK(uint64_t{entry.m_dwOffset} + entry.m_dwSize <= nSize);
      FUZZ_CHECK(std::memchr(entry.m_szName, '\0', sizeof entry.m_szName) != nullptr);
      const std::string strDigest = EntryDigest(entry);
      if (!strDigest.empty() &&
          strDigest != Sha256Hex(std::span(pData + entry.m_dwOffset, entry.m_dwSize))) {
        bDigestsMatch = false;
      }
    }
  } else {
    FUZZ_CHECK(dir.m_entries.empty());
  }

  std::string strBox;
  const std::shared_ptr<const CDownloadPackage> pPackage = LoadPackage(strPath, {}, &strBox);
  FUZZ_CHECK((pPackage != nullptr) == (eFault == EPackFault::kNone && bDigestsMatch));
  FUZZ_CHECK((pPackage != nullptr) == strBox.empty() || eFault == EPackFault::kFewEntries);
  if (pPackage) {
    const std::vector<PackEntry>& entries = pPackage->Entries();
    FUZZ_CHECK(entries.size() == dir.m_entries.size());
    FUZZ_CHECK(std::memcmp(entries.data(), dir.m_entries.data(),
                           dir.m_entries.size() * sizeof(PackEntry)) == 0);
  }
  return 0;
}
