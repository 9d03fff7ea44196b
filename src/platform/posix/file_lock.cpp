#include "platform/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {

namespace {

// A lock of the open file itself, not of the process: it conflicts with every
// other open of the file, this process's own included, and reaches the
// server of a network file system. Older kernels lack it: flock instead.
int LockWhole(int fd) {
#ifdef F_OFD_SETLK
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  if (fcntl(fd, F_OFD_SETLK, &lock) == 0) return 0;
  if (errno != EINVAL) return -1;
#endif
  return flock(fd, LOCK_EX | LOCK_NB);
}

}  // namespace

CFileLock::CFileLock(const std::string& strPath) : m_strPath(strPath) {
  const int fd = open(strPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    m_strError = std::strerror(errno);
    return;
  }
  if (LockWhole(fd) != 0) {
    m_bHeldElsewhere = errno == EAGAIN || errno == EACCES || errno == EWOULDBLOCK;
    m_strError = std::strerror(errno);
    close(fd);
    return;
  }
  m_native = fd;
  m_bHeld = true;
}

CFileLock::~CFileLock() {
  if (m_bHeld) close(static_cast<int>(m_native));
}

}  // namespace platform
