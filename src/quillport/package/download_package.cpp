#include "quillport/package/download_package.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "common/digest.h"
#include "common/op_log.h"

namespace {

// Large reads keep the pass near the disk's and the digest's speed.
constexpr size_t kCheckPiece = 4 << 20;

// The checks made, by path: a file whose stamp (size, modification time,
// the file itself) is the same is not read again (a package can be
// gigabytes, and it is loaded at every start).
class CCheckCache {
 public:
  bool Find(const std::string& strPath, const SFileStamp& stamp, SPackageCheck* pCheck) {
    std::lock_guard lock(m_mutex);
    const auto it = m_checks.find(strPath);
    if (it == m_checks.end() || !(it->second.stamp == stamp)) return false;
    *pCheck = it->second;
    return true;
  }
  void Keep(const std::string& strPath, const SPackageCheck& check) {
    std::lock_guard lock(m_mutex);
    m_checks[strPath] = check;
  }

 private:
  std::mutex m_mutex;  // guards m_checks: windows and tests load from several threads
  std::map<std::string, SPackageCheck> m_checks;
};

CCheckCache& CheckCache() {
  static CCheckCache cache;
  return cache;
}

std::string NameOf(const PackEntry& entry) {
  return entry.m_szName;  // terminated within its field: the directory read checks it
}

}  // namespace

// One sequential pass: the whole file into one digest and each image's
// range into its own, so that images may lie in any order or overlap.
SPackageCheck CheckPackageBytes(const CPackFile& file, const SPackDirectory& dir,
                                const PackageProgress& fnProgress) {
  SPackageCheck check;
  check.stamp = dir.m_stamp;
  struct SImage {
    size_t nEntry;
    uint64_t nStart, nEnd;
    std::string strWant;
    CSha256 sha;
  };
  std::vector<SImage> images;
  for (size_t i = 0; i < dir.m_entries.size(); ++i) {
    const PackEntry& e = dir.m_entries[i];
    std::string strWant = EntryDigest(e);
    if (strWant.empty()) continue;
    images.push_back(
        {i, e.m_dwOffset, uint64_t{e.m_dwOffset} + e.m_dwSize, std::move(strWant), {}});
  }
  CSha256 whole;
  const uint64_t nSize = dir.m_nFileSize;
  std::vector<uint8_t> buf(static_cast<size_t>(std::min<uint64_t>(kCheckPiece, nSize)));
  int nLastPercent = -1;
  for (uint64_t nAt = 0; nAt < nSize;) {
    const size_t nWant = static_cast<size_t>(std::min<uint64_t>(buf.size(), nSize - nAt));
    const size_t nGot = file.ReadAt(buf.data(), nWant, nAt);
    // Every byte goes into two digests, the whole file's and its image's:
    // the whole file's on a second thread, so that the pass takes about the
    // time of one digest where a second core is free.
    std::thread wholeDigest([&] { whole.Update({buf.data(), nGot}); });
    for (SImage& image : images) {
      const uint64_t nFrom = std::max(nAt, image.nStart);
      const uint64_t nTo = std::min(nAt + nGot, image.nEnd);
      if (nFrom < nTo) {
        image.sha.Update({buf.data() + (nFrom - nAt), static_cast<size_t>(nTo - nFrom)});
      }
    }
    wholeDigest.join();
    nAt += nGot;
    if (nGot < nWant) {
      check.bCut = true;
      return check;
    }
    const int nPercent = static_cast<int>(nAt * 100 / nSize);
    if (fnProgress && nPercent != nLastPercent) fnProgress(nPercent);
    nLastPercent = nPercent;
  }
  check.strSha256 = whole.FinishHex();
  for (SImage& image : images) {
    if (image.sha.FinishHex() != image.strWant) {
      check.nBadEntry = static_cast<int>(image.nEntry);
      break;
    }
  }
  return check;
}

CDownloadPackage::CDownloadPackage(std::string strPath, std::vector<PackEntry> entries,
                                   const SDownloadSettings& settings, std::string strSha256,
                                   std::shared_ptr<const CPackFile> pFile)
    : m_strPath(std::move(strPath)),
      m_entries(std::move(entries)),
      m_fileList(settings.m_fileList),
      m_bFormatFlash(settings.m_bFormatFlash),
      m_strSha256(std::move(strSha256)),
      m_pFile(std::move(pFile)) {}

std::shared_ptr<const CDownloadPackage> LoadPackage(const std::string& strPath,
                                                    const SDownloadSettings& settings,
                                                    std::string* pstrBoxText,
                                                    const PackageProgress& fnProgress) {
  std::string strBox;
  SPackDirectory dir;
  std::unique_ptr<CPackFile> pFile;
  const EPackFault eFault = ReadPackDirectory(strPath, &dir, &pFile);
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
  if (eFault != EPackFault::kNone) {
    if (pstrBoxText) *pstrBoxText = strBox;
    return nullptr;
  }

  SPackageCheck check;
  if (!CheckCache().Find(strPath, dir.m_stamp, &check)) {
    check = CheckPackageBytes(*pFile, dir, fnProgress);
    if (!check.bCut) CheckCache().Keep(strPath, check);
  }
  size_t nWithDigest = 0;
  for (const PackEntry& entry : dir.m_entries) {
    if (!EntryDigest(entry).empty()) ++nWithDigest;
  }
  if (check.bCut) {
    WriteOperateLog("%s file is not valid!", strPath.c_str());
    WriteOperateLog("LoadPackage: the file ended before its %llu bytes",
                    static_cast<unsigned long long>(dir.m_nFileSize));
    strBox = "文件无效! " + strPath;
  } else if (check.nBadEntry >= 0) {
    const std::string strName = NameOf(dir.m_entries[static_cast<size_t>(check.nBadEntry)]);
    WriteOperateLog("%s image %s does not match its SHA-256!", strPath.c_str(), strName.c_str());
    strBox = "文件校验失败! " + strPath + ": image \"" + strName +
             "\" does not match the SHA-256 stored for it";
  } else if (nWithDigest == 0) {
    WriteOperateLog("%s carries no image digests; its images are not checked", strPath.c_str());
  } else {
    for (const PackEntry& entry : dir.m_entries) {
      if (EntryDigest(entry).empty()) {
        WriteOperateLog("%s image %s carries no digest", strPath.c_str(), NameOf(entry).c_str());
      }
    }
  }
  if (pstrBoxText) *pstrBoxText = strBox;
  if (!strBox.empty()) return nullptr;
  return std::make_shared<const CDownloadPackage>(strPath, std::move(dir.m_entries), settings,
                                                  std::move(check.strSha256), std::move(pFile));
}
