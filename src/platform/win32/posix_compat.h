#pragma once

// The few POSIX file calls the shared code uses beyond what the Windows C
// runtime offers, given their POSIX meaning. The Windows build includes this
// ahead of every source file, so the shared code keeps one form.

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#ifndef O_CLOEXEC
#define O_CLOEXEC _O_NOINHERIT
#endif
#ifndef O_DIRECTORY
#define O_DIRECTORY 0  // a folder does not open as a file here, so its flush is skipped
#endif

#define LOCK_SH 1
#define LOCK_EX 2
#define LOCK_NB 4
#define LOCK_UN 8

#ifdef __cplusplus
extern "C++" {
// Reads at an offset without moving the descriptor's position.
ssize_t pread(int fd, void* pBuf, size_t nLen, off_t nOffset);
// Writes the descriptor's data through to the disk.
int fsync(int fd);
// A whole-file lock held through the descriptor, released when it closes.
int flock(int fd, int nOperation);
// mkdir as POSIX has it; the mode has no meaning here.
inline int mkdir(const char* pszPath, int /*nMode*/) {
  return _mkdir(pszPath);
}
// Mode bits do not keep anybody out here, as they keep no root out on
// POSIX; code that asks whether they bind the caller gets the same answer.
inline int getuid() {
  return 0;
}
inline int geteuid() {
  return 0;
}
// There is no user to change to; a read-only file stays read-only for all.
inline int setuid(int /*nUid*/) {
  return 0;
}
inline struct tm* localtime_r(const time_t* pTime, struct tm* pOut) {
  return localtime_s(pOut, pTime) == 0 ? pOut : nullptr;
}
}
#endif
