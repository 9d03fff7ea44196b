#include "database/spool_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/append_file.h"

namespace {

bool SyncFolderOf(const std::string& strPath) {
  const std::string folder = std::filesystem::path(strPath).parent_path().string();
  const int fd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool bOk = fsync(fd) == 0;
  close(fd);
  return bOk;
}

bool SpoolFailed(const char* pszWhat, const std::string& strPath, int nErr, std::string* pError) {
  if (pError) *pError = std::string(pszWhat) + " " + strPath + ": " + std::strerror(nErr);
  return false;
}

}  // namespace

bool AppendSpoolLine(const std::string& strPath, const std::string& strLine, std::string* pError) {
  const int fd = platform::OpenInOwnFolder(strPath, O_RDWR | O_APPEND | O_CREAT);
  if (fd < 0) return SpoolFailed("cannot open", strPath, errno, pError);
  const off_t nSize = lseek(fd, 0, SEEK_END);
  std::string text = strLine;
  char last = '\n';
  if (nSize > 0 && pread(fd, &last, 1, nSize - 1) == 1 && last != '\n') text.insert(0, 1, '\n');
  int nErr = 0;
  if (const ssize_t n = write(fd, text.data(), text.size());
      n != static_cast<ssize_t>(text.size())) {
    nErr = n < 0 ? errno : ENOSPC;  // a short write: the disk is full
  } else if (fsync(fd) != 0) {
    nErr = errno;
  }
  if (nErr != 0 && nSize >= 0 && ftruncate(fd, nSize) == 0) fsync(fd);
  close(fd);
  if (nErr != 0) return SpoolFailed("cannot write", strPath, nErr, pError);
  if (nSize == 0) SyncFolderOf(strPath);
  return true;
}

bool ReadSpool(const std::string& strPath, std::string* pText, std::string* pError) {
  pText->clear();
  const int fd = open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return true;
    return SpoolFailed("cannot open", strPath, errno, pError);
  }
  char buf[8192];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int nErr = errno;
      close(fd);
      return SpoolFailed("cannot read", strPath, nErr, pError);
    }
    if (n == 0) break;
    pText->append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return true;
}

bool RemoveSpool(const std::string& strPath, std::string* pError) {
  if (unlink(strPath.c_str()) != 0 && errno != ENOENT)
    return SpoolFailed("cannot remove", strPath, errno, pError);
  SyncFolderOf(strPath);
  return true;
}
