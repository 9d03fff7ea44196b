#pragma once

#include <cstdint>
#include <string>

namespace platform {

// An exclusive lock on one file, taken at construction (never waiting) and
// held for the object's life: whoever else asks for it, another process of
// this machine or of one that shares the folder over the network, is
// refused until the holder ends, however it ends. The file is created when
// missing and never removed: removing it would let a second holder lock a
// new file of the same name.
class CFileLock {
 public:
  explicit CFileLock(const std::string& strPath);
  ~CFileLock();
  CFileLock(const CFileLock&) = delete;
  CFileLock& operator=(const CFileLock&) = delete;

  bool IsHeld() const { return m_bHeld; }
  // Not held because another holder has the lock (rather than because the
  // file cannot be made or opened: Error() then says why).
  bool HeldElsewhere() const { return m_bHeldElsewhere; }
  const std::string& Error() const { return m_strError; }
  const std::string& Path() const { return m_strPath; }

 private:
  bool m_bHeld = false;
  bool m_bHeldElsewhere = false;
  intptr_t m_native = -1;  // the open file the lock belongs to, closed by the destructor
  std::string m_strPath;
  std::string m_strError;
};

}  // namespace platform
