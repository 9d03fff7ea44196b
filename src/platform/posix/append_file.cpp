#include "platform/append_file.h"

#include <fcntl.h>
#include <unistd.h>

namespace platform {

bool AppendToFile(const std::string& strPath, const void* pData, size_t nLen) {
  // O_APPEND moves to the end and writes as one step for every writer.
  const int fd = open(strPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const ssize_t n = write(fd, pData, nLen);
  close(fd);
  return n == static_cast<ssize_t>(nLen);
}

}  // namespace platform
