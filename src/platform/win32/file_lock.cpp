#include "platform/file_lock.h"

#include <windows.h>

#include "platform/win32/wide_text.h"

namespace platform {

CFileLock::CFileLock(const std::string& strPath) : m_strPath(strPath) {
  // Opened with no sharing at all: every other open of the file, local or
  // over a network share, fails until this handle is closed.
  HANDLE h = CreateFileW(Utf8ToWide(strPath).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD err = GetLastError();
    m_bHeldElsewhere = err == ERROR_SHARING_VIOLATION || err == ERROR_LOCK_VIOLATION;
    m_strError = "system error " + std::to_string(err);
    return;
  }
  m_native = reinterpret_cast<intptr_t>(h);
  m_bHeld = true;
}

CFileLock::~CFileLock() {
  if (m_bHeld) CloseHandle(reinterpret_cast<HANDLE>(m_native));
}

}  // namespace platform
