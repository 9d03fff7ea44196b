#include "platform/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>

namespace platform {

CInstanceLock::CInstanceLock(const std::string& strName) {
  // The user's runtime folder, else a per-user name in /tmp.
  const char* pszRuntime = std::getenv("XDG_RUNTIME_DIR");
  m_strPath = pszRuntime && *pszRuntime
                  ? std::string(pszRuntime) + "/" + strName + ".lock"
                  : "/tmp/" + strName + "-" + std::to_string(getuid()) + ".lock";
  const int fd = open(m_strPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return;
  }
  m_native = fd;
  m_bHeld = true;
}

CInstanceLock::~CInstanceLock() {
  if (m_bHeld) close(static_cast<int>(m_native));
}

}  // namespace platform
