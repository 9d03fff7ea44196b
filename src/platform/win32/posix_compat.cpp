#include "platform/win32/posix_compat.h"

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

HANDLE HandleOf(int fd) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

int SetErrno(DWORD err) {
  errno = err == ERROR_LOCK_VIOLATION ? EWOULDBLOCK : err == ERROR_INVALID_HANDLE ? EBADF : EIO;
  return -1;
}

}  // namespace

ssize_t pread(int fd, void* pBuf, size_t nLen, off_t nOffset) {
  HANDLE h = HandleOf(fd);
  if (h == INVALID_HANDLE_VALUE) return SetErrno(ERROR_INVALID_HANDLE);
  OVERLAPPED ov{};
  const unsigned long long nAt = static_cast<unsigned long long>(nOffset);
  ov.Offset = static_cast<DWORD>(nAt);
  ov.OffsetHigh = static_cast<DWORD>(nAt >> 32);
  DWORD dwRead = 0;
  const DWORD dwWant = nLen > 0x40000000 ? 0x40000000 : static_cast<DWORD>(nLen);
  if (!ReadFile(h, pBuf, dwWant, &dwRead, &ov)) {
    const DWORD err = GetLastError();
    if (err == ERROR_HANDLE_EOF) return 0;
    return SetErrno(err);
  }
  return static_cast<ssize_t>(dwRead);
}

int fsync(int fd) {
  HANDLE h = HandleOf(fd);
  if (h == INVALID_HANDLE_VALUE) return SetErrno(ERROR_INVALID_HANDLE);
  return FlushFileBuffers(h) ? 0 : SetErrno(GetLastError());
}

int flock(int fd, int nOperation) {
  HANDLE h = HandleOf(fd);
  if (h == INVALID_HANDLE_VALUE) return SetErrno(ERROR_INVALID_HANDLE);
  OVERLAPPED ov{};
  if (nOperation & LOCK_UN) {
    return UnlockFileEx(h, 0, MAXDWORD, MAXDWORD, &ov) ? 0 : SetErrno(GetLastError());
  }
  DWORD dwFlags = 0;
  if (nOperation & LOCK_EX) dwFlags |= LOCKFILE_EXCLUSIVE_LOCK;
  if (nOperation & LOCK_NB) dwFlags |= LOCKFILE_FAIL_IMMEDIATELY;
  return LockFileEx(h, dwFlags, 0, MAXDWORD, MAXDWORD, &ov) ? 0 : SetErrno(GetLastError());
}

namespace {

// Every file opens in binary mode, as on POSIX: text mode would turn each
// "\n" written into "\r\n" and back when read. The standard streams too, so
// that what a program prints can be saved as a file byte for byte.
int UseBinaryFiles() {
  _fmode = _O_BINARY;
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  return 1;
}

}  // namespace

// Set before main() runs; the link keeps this object in every program (see
// the top CMakeLists.txt).
extern "C" {
int norq_binary_files = UseBinaryFiles();
}
