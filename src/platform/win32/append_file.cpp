#include "platform/append_file.h"

#include <windows.h>

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

}  // namespace platform
