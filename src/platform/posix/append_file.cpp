#include "platform/append_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

bool AppendToFile(const std::string& strPath, const void* pData, size_t nLen) {
  // O_APPEND moves to the end and writes as one step for every writer.
  const int fd = OpenNoFollow(strPath, O_WRONLY | O_APPEND | O_CREAT);
  if (fd < 0) return false;
  const ssize_t n = write(fd, pData, nLen);
  close(fd);
  return n == static_cast<ssize_t>(nLen);
}

int OpenNoFollow(const std::string& strPath, int nFlags, int nMode) {
  return open(strPath.c_str(), nFlags | O_NOFOLLOW | O_CLOEXEC, nMode);
}

int OpenInOwnFolder(const std::string& strPath, int nFlags, int nMode) {
  const size_t nSlash = strPath.find_last_of('/');
  const std::string strFolder = nSlash == std::string::npos ? "."
                                : nSlash == 0               ? "/"
                                                            : strPath.substr(0, nSlash);
  const std::string strName = nSlash == std::string::npos ? strPath : strPath.substr(nSlash + 1);
  // The file is opened relative to the folder opened here, so that the
  // folder cannot be swapped for a link between the check and the open.
  const int dirFd = open(strFolder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dirFd < 0) return -1;
  const int fd = openat(dirFd, strName.c_str(), nFlags | O_NOFOLLOW | O_CLOEXEC, nMode);
  const int nErr = errno;
  close(dirFd);
  errno = nErr;
  return fd;
}

int OpenRegularForReading(const std::string& strPath) {
  // Asked first, so that a device is never opened (an open can act on one);
  // the open does not wait, and what it opened is asked again.
  if (!IsRegularFile(strPath)) return -1;
  const int fd = open(strPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  // Reads of a regular file never wait; the flag is dropped all the same
  // for those who hand the descriptor on.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

}  // namespace platform
