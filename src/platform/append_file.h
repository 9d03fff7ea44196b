#pragma once

#include <cstddef>
#include <string>

namespace platform {

// Appends the bytes to the file (created when missing) in one write that
// lands whole at the end, even with other threads and processes appending
// to the same file at once. False when the file cannot be opened or written;
// a symbolic link in the file's place is never followed.
bool AppendToFile(const std::string& strPath, const void* pData, size_t nLen);

// Opens a file for writing as open(2) does (nFlags without O_CLOEXEC, which
// is added), but never through a symbolic link planted in its place: a link
// there fails the open (ELOOP) instead of carrying the write elsewhere.
// Returns the descriptor, or -1 with errno.
int OpenNoFollow(const std::string& strPath, int nFlags, int nMode = 0644);

// The same for a file of the station's own folders (the histories, their
// reservations, the spool in data/): the folder that holds it must not be a
// symbolic link either, so that a planted data/ link cannot send the
// station's records elsewhere.
int OpenInOwnFolder(const std::string& strPath, int nFlags, int nMode = 0644);

// Opens an existing regular file for reading. Anything else (a FIFO, a
// device, a folder) fails with EINVAL without being waited on: opening a FIFO
// for reading would block until someone writes to it. Returns the
// descriptor, or -1 with errno.
int OpenRegularForReading(const std::string& strPath);

// Whether the path names a regular file (through links), without opening it.
bool IsRegularFile(const std::string& strPath);

// Reads into pBuf until nLen bytes have come or the file has ended: the
// count read, or -1 on an error.
long ReadUpTo(int fd, void* pBuf, size_t nLen);

// A descriptor closed when it goes.
class COwnedFd {
 public:
  explicit COwnedFd(int fd) : m_fd(fd) {}
  ~COwnedFd();
  COwnedFd(const COwnedFd&) = delete;
  COwnedFd& operator=(const COwnedFd&) = delete;
  int Get() const { return m_fd; }

 private:
  int m_fd;
};

}  // namespace platform
