// The file helpers that need nothing but a descriptor and stat, the same on
// both backends.
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cerrno>

#include "platform/append_file.h"

namespace platform {

bool IsRegularFile(const std::string& strPath) {
  struct stat st;
  if (stat(strPath.c_str(), &st) != 0) return false;
  if ((st.st_mode & S_IFMT) == S_IFREG) return true;
  errno = EINVAL;
  return false;
}

long ReadUpTo(int fd, void* pBuf, size_t nLen) {
  size_t nDone = 0;
  while (nDone < nLen) {
    // One read takes at most an unsigned count on Windows.
    const auto n = read(fd, static_cast<char*>(pBuf) + nDone, static_cast<unsigned>(nLen - nDone));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    nDone += static_cast<size_t>(n);
  }
  return static_cast<long>(nDone);
}

COwnedFd::~COwnedFd() {
  if (m_fd >= 0) close(m_fd);
}

}  // namespace platform
