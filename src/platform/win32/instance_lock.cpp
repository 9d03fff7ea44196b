#include "platform/instance_lock.h"

#include <windows.h>

#include "platform/win32/wide_text.h"

namespace platform {

CInstanceLock::CInstanceLock(const std::string& strName) {
  // A named semaphore in the session's namespace: the first copy creates it,
  // a later one finds it there. The system deletes it with its last handle,
  // so a copy that crashed leaves nothing behind.
  const std::wstring wstrObject = L"Local\\norq-" + Utf8ToWide(strName);
  wchar_t szTemp[MAX_PATH + 1] = {};
  const DWORD n = GetTempPathW(MAX_PATH + 1, szTemp);
  m_strPath = WideToUtf8(std::wstring(szTemp, n)) + strName + ".lock";
  HANDLE h = CreateSemaphoreW(nullptr, 1, 1, wstrObject.c_str());
  if (!h) return;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(h);
    return;
  }
  m_native = reinterpret_cast<intptr_t>(h);
  m_bHeld = true;
}

CInstanceLock::~CInstanceLock() {
  if (m_bHeld) CloseHandle(reinterpret_cast<HANDLE>(m_native));
}

}  // namespace platform
