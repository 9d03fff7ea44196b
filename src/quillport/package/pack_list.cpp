#include "quillport/package/pack_list.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>

#include "common/op_log.h"
#include "common/text.h"

static_assert(std::endian::native == std::endian::little,
              "the directory is read straight into PackEntry records");

std::vector<PackEntry> g_PackList;
std::mutex g_portLock;

namespace {

class CReadFd {
 public:
  explicit CReadFd(const std::string& strPath)
      : m_fd(open(strPath.c_str(), O_RDONLY | O_CLOEXEC)) {}
  ~CReadFd() {
    if (m_fd >= 0) close(m_fd);
  }
  CReadFd(const CReadFd&) = delete;
  CReadFd& operator=(const CReadFd&) = delete;
  int Get() const { return m_fd; }

 private:
  int m_fd;
};

// Reads exactly nLen bytes at nOffset; false on a short read or an error.
bool ReadAt(int fd, void* pBuf, size_t nLen, off_t nOffset) {
  auto* p = static_cast<uint8_t*>(pBuf);
  while (nLen > 0) {
    const ssize_t n = pread(fd, p, nLen, nOffset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    nLen -= static_cast<size_t>(n);
    nOffset += n;
  }
  return true;
}

}  // namespace

EPackFault ReadPackDirectory(const std::string& strPath, SPackDirectory* pDir) {
  *pDir = SPackDirectory{};
  struct stat st {};
  if (stat(strPath.c_str(), &st) != 0) return EPackFault::kMissing;
  pDir->m_nFileSize = static_cast<uint64_t>(st.st_size);
  // A folder opens on Linux but cannot be read, and a pipe would block.
  if (!S_ISREG(st.st_mode)) return EPackFault::kOpenFailed;
  if (pDir->m_nFileSize < kMinPackageFileSize) return EPackFault::kTooSmall;
  CReadFd file(strPath);
  if (file.Get() < 0) return EPackFault::kOpenFailed;

  uint8_t abCount[4];
  if (!ReadAt(file.Get(), abCount, sizeof abCount, 0)) return EPackFault::kDirectoryCut;
  std::memcpy(&pDir->m_nPackNum, abCount, sizeof abCount);
  const int32_t nPackNum = pDir->m_nPackNum;
  if (nPackNum < kMinPackNum) return EPackFault::kFewEntries;
  if (nPackNum > kMaxPackNum) return EPackFault::kTooManyEntries;

  const uint64_t nDirEnd = 4 + static_cast<uint64_t>(nPackNum) * kPackEntrySize;
  if (nDirEnd > pDir->m_nFileSize) return EPackFault::kDirectoryCut;
  std::vector<PackEntry> entries(static_cast<size_t>(nPackNum));
  if (!ReadAt(file.Get(), entries.data(), nDirEnd - 4, 4)) return EPackFault::kDirectoryCut;

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

bool LoadPackage(const std::string& strPath, std::string* pstrBoxText) {
  std::string strBox;
  SPackDirectory dir;
  const EPackFault eFault = ReadPackDirectory(strPath, &dir);
  switch (eFault) {
    case EPackFault::kNone:
      break;
    case EPackFault::kMissing:
      strBox = "文件不存在! " + strPath;
      break;
    case EPackFault::kOpenFailed:
      strBox = "文件打开失败! " + strPath;
      break;
    case EPackFault::kFewEntries:
      WriteOperateLog("nPackNum <= 2 nPackNum:%d!!", dir.m_nPackNum);
      break;
    case EPackFault::kTooSmall:
      WriteOperateLog("%s file is not valid!", strPath.c_str());
      strBox = "文件无效! " + strPath;
      break;
    default:
      // Damaged or hostile directories: refused like a file that is too small,
      // with the reason in the log.
      WriteOperateLog("%s file is not valid!", strPath.c_str());
      WriteOperateLog("LoadPackage: %s", DescribePackFault(eFault, dir).c_str());
      strBox = "文件无效! " + strPath;
      break;
  }
  if (pstrBoxText) *pstrBoxText = strBox;
  if (eFault != EPackFault::kNone) return false;

  // The reconciliation writes chunk lengths under the port lock; never let it
  // write into a list being replaced.
  std::lock_guard lock(g_portLock);
  g_PackList = std::move(dir.m_entries);
  return true;
}
