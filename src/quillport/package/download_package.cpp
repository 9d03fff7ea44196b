#include "quillport/package/download_package.h"

#include <utility>
#include <vector>

#include "common/digest.h"
#include "common/op_log.h"
#include "platform/append_file.h"

namespace {

// Once at load, so that every phone record names the bytes without reading
// the file again.
std::string FileSha256(const std::string& strPath) {
  const int fd = platform::OpenRegularForReading(strPath);
  if (fd < 0) return "";
  platform::COwnedFd owned(fd);
  CSha256 sha;
  std::vector<uint8_t> buf(1 << 20);
  for (;;) {
    const long n = platform::ReadUpTo(fd, buf.data(), buf.size());
    if (n < 0) return "";
    if (n == 0) break;
    sha.Update(std::span<const uint8_t>(buf.data(), static_cast<size_t>(n)));
  }
  return sha.FinishHex();
}

}  // namespace

CDownloadPackage::CDownloadPackage(std::string strPath, std::vector<PackEntry> entries,
                                   const SDownloadSettings& settings, std::string strSha256)
    : m_strPath(std::move(strPath)),
      m_entries(std::move(entries)),
      m_fileList(settings.m_fileList),
      m_bFormatFlash(settings.m_bFormatFlash),
      m_strSha256(std::move(strSha256)) {}

std::shared_ptr<const CDownloadPackage> LoadPackage(const std::string& strPath,
                                                    const SDownloadSettings& settings,
                                                    std::string* pstrBoxText) {
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
  if (eFault != EPackFault::kNone) return nullptr;
  return std::make_shared<const CDownloadPackage>(strPath, std::move(dir.m_entries), settings,
                                                  FileSha256(strPath));
}
