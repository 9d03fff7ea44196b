#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Keeps a second copy of a program from running: the first copy to take the
// lock named after the program holds it for its whole life; the operating
// system releases it when the process ends, however it ends.
class CInstanceLock {
 public:
  explicit CInstanceLock(const std::string& strName);
  ~CInstanceLock();
  CInstanceLock(const CInstanceLock&) = delete;
  CInstanceLock& operator=(const CInstanceLock&) = delete;

  // False when another copy holds the lock.
  bool IsHeld() const { return m_bHeld; }
  const std::string& Path() const { return m_strPath; }

 private:
  bool m_bHeld = false;
  intptr_t m_native = -1;  // the system's lock object, released by the destructor
  std::string m_strPath;
};

}  // namespace platform
