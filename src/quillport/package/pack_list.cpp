#include "quillport/package/pack_list.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>

#include "common/text.h"

static_assert(std::endian::native == std::endian::little,
              "the directory is read straight into PackEntry records");

CPackFile::CPackFile(const std::string& strPath)
    : m_fd(open(strPath.c_str(), O_RDONLY | O_CLOEXEC)) {}

CPackFile::~CPackFile() {
  if (m_fd >= 0) close(m_fd);
}

namespace {

// Nanoseconds where the system keeps them, whole seconds elsewhere.
template <typename TStat>
int64_t ModifiedNs(const TStat& st) {
  if constexpr (requires { st.st_mtim.tv_nsec; }) {
    return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  } else {
    return static_cast<int64_t>(st.st_mtime) * 1000000000;
  }
}
template <typename TStat>
int64_t ChangedNs(const TStat& st) {
  if constexpr (requires { st.st_ctim.tv_nsec; }) {
    return static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  } else {
    return static_cast<int64_t>(st.st_ctime) * 1000000000;
  }
}

}  // namespace

bool CPackFile::Stamp(SFileStamp* pStamp) const {
  struct stat st {};
  if (m_fd < 0 || fstat(m_fd, &st) != 0) return false;
  pStamp->m_nSize = static_cast<uint64_t>(st.st_size);
  pStamp->m_nModifiedNs = ModifiedNs(st);
  pStamp->m_nFileId = static_cast<uint64_t>(st.st_ino);
  pStamp->m_nChangedNs = ChangedNs(st);
  return true;
}

std::string EntryDigest(const PackEntry& entry) {
  constexpr size_t nMark = sizeof kDigestMark - 1;
  static_assert(nMark + kDigestHexLen <= sizeof entry.m_reserved);
  if (std::memcmp(entry.m_reserved, kDigestMark, nMark) != 0) return {};
  std::string strHex(reinterpret_cast<const char*>(entry.m_reserved) + nMark, kDigestHexLen);
  const bool bHex = std::all_of(strHex.begin(), strHex.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
  });
  // A damaged mark still means the package claimed a digest: one that can
  // never match is refused like a wrong one.
  return bHex ? strHex : std::string(kDigestHexLen, '?');
}

void SetEntryDigest(PackEntry* pEntry, const std::string& strHex) {
  constexpr size_t nMark = sizeof kDigestMark - 1;
  std::memset(pEntry->m_reserved, 0, sizeof pEntry->m_reserved);
  std::memcpy(pEntry->m_reserved, kDigestMark, nMark);
  std::memcpy(pEntry->m_reserved + nMark, strHex.data(), std::min(strHex.size(), kDigestHexLen));
}

size_t CPackFile::ReadAt(void* pBuf, size_t nLen, uint64_t nOffset) const {
  auto* p = static_cast<uint8_t*>(pBuf);
  size_t nGot = 0;
  while (nGot < nLen) {
    const ssize_t n = pread(m_fd, p + nGot, nLen - nGot, static_cast<off_t>(nOffset + nGot));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    nGot += static_cast<size_t>(n);
  }
  return nGot;
}

EPackFault ReadPackDirectory(const std::string& strPath, SPackDirectory* pDir,
                             std::unique_ptr<CPackFile>* ppFile) {
  *pDir = SPackDirectory{};
  struct stat st {};
  if (stat(strPath.c_str(), &st) != 0) return EPackFault::kMissing;
  pDir->m_nFileSize = static_cast<uint64_t>(st.st_size);
  // A folder opens on Linux but cannot be read, and a pipe would block.
  if (!S_ISREG(st.st_mode)) return EPackFault::kOpenFailed;
  if (pDir->m_nFileSize < kMinPackageFileSize) return EPackFault::kTooSmall;
  auto pFile = std::make_unique<CPackFile>(strPath);
  const CPackFile& file = *pFile;
  if (!file.IsOpen()) return EPackFault::kOpenFailed;
  // What was opened may differ from what the path showed a moment ago.
  if (!file.Stamp(&pDir->m_stamp)) return EPackFault::kOpenFailed;
  pDir->m_nFileSize = pDir->m_stamp.m_nSize;
  if (pDir->m_nFileSize < kMinPackageFileSize) return EPackFault::kTooSmall;

  uint8_t abCount[4];
  if (file.ReadAt(abCount, sizeof abCount, 0) != sizeof abCount) return EPackFault::kDirectoryCut;
  std::memcpy(&pDir->m_nPackNum, abCount, sizeof abCount);
  const int32_t nPackNum = pDir->m_nPackNum;
  if (nPackNum < kMinPackNum) return EPackFault::kFewEntries;
  if (nPackNum > kMaxPackNum) return EPackFault::kTooManyEntries;

  const uint64_t nDirEnd = 4 + static_cast<uint64_t>(nPackNum) * kPackEntrySize;
  if (nDirEnd > pDir->m_nFileSize) return EPackFault::kDirectoryCut;
  std::vector<PackEntry> entries(static_cast<size_t>(nPackNum));
  if (file.ReadAt(entries.data(), nDirEnd - 4, 4) != nDirEnd - 4) return EPackFault::kDirectoryCut;

  // Consumers seek to m_dwOffset and read m_dwSize bytes with 32-bit arithmetic.
  const uint64_t nLimit = std::min<uint64_t>(pDir->m_nFileSize, UINT32_MAX);
  for (size_t i = 0; i < entries.size(); ++i) {
    PackEntry& entry = entries[i];
    const uint64_t nStart = nDirEnd + entry.m_dwOffset;
    if (nStart + entry.m_dwSize > nLimit) {
      pDir->m_nBadEntry = static_cast<int>(i);
      return EPackFault::kEntryOutside;
    }
    if (std::memchr(entry.m_szName, '\0', sizeof entry.m_szName) == nullptr) {
      pDir->m_nBadEntry = static_cast<int>(i);
      return EPackFault::kNameUnterminated;
    }
    entry.m_dwOffset = static_cast<uint32_t>(nStart);
  }
  pDir->m_entries = std::move(entries);
  if (ppFile) *ppFile = std::move(pFile);
  return EPackFault::kNone;
}

std::string DescribePackFault(EPackFault eFault, const SPackDirectory& dir) {
  switch (eFault) {
    case EPackFault::kNone:
      return "valid";
    case EPackFault::kMissing:
      return "file does not exist";
    case EPackFault::kTooSmall:
      return FormatText("file of %llu bytes is below %llu bytes",
                        static_cast<unsigned long long>(dir.m_nFileSize),
                        static_cast<unsigned long long>(kMinPackageFileSize));
    case EPackFault::kOpenFailed:
      return "file cannot be opened for reading";
    case EPackFault::kFewEntries:
      return FormatText("directory count %d is below %d", dir.m_nPackNum, kMinPackNum);
    case EPackFault::kTooManyEntries:
      return FormatText("directory count %d is above %d", dir.m_nPackNum, kMaxPackNum);
    case EPackFault::kDirectoryCut:
      return FormatText("directory of %d entries does not fit a file of %llu bytes", dir.m_nPackNum,
                        static_cast<unsigned long long>(dir.m_nFileSize));
    case EPackFault::kEntryOutside:
      return FormatText("entry %d lies outside the file", dir.m_nBadEntry);
    case EPackFault::kNameUnterminated:
      return FormatText("entry %d has no terminated name", dir.m_nBadEntry);
  }
  return "unknown fault";
}
