#include "platform/append_file.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <mutex>

#include "platform/win32/wide_text.h"

namespace platform {
namespace {

// Wine does not make append-only writes atomic, so the threads of this
// process (every port worker writes its log from its own thread) also take
// turns; other processes rely on the system alone.
std::mutex g_appendMutex;

}  // namespace

bool AppendToFile(const std::string& strPath, const void* pData, size_t nLen) {
  // Append-only access makes the system put every write at the end of the
  // file as one step; the C library's O_APPEND seeks first and then writes,
  // so two writers at once can overwrite each other's line.
  HANDLE h = CreateFileW(Utf8ToWide(strPath).c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD dwDone = 0;
  std::unique_lock lock(g_appendMutex);
  const BOOL bOk = WriteFile(h, pData, static_cast<DWORD>(nLen), &dwDone, nullptr);
  lock.unlock();
  CloseHandle(h);
  return bOk && dwDone == nLen;
}

// A link planted by another user is no concern here: creating one takes a
// privilege that station users do not have, so the files open as before.
int OpenNoFollow(const std::string& strPath, int nFlags, int nMode) {
  return open(strPath.c_str(), nFlags | O_CLOEXEC, nMode);
}

int OpenInOwnFolder(const std::string& strPath, int nFlags, int nMode) {
  return OpenNoFollow(strPath, nFlags, nMode);
}

int OpenRegularForReading(const std::string& strPath) {
  // A device name ("COM1", "NUL") opens as a character device: refused.
  if (!IsRegularFile(strPath)) return -1;
  const int fd = open(strPath.c_str(), O_RDONLY | O_BINARY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || (st.st_mode & S_IFMT) != S_IFREG) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  return fd;
}

}  // namespace platform
