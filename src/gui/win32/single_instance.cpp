#include "gui/win32/single_instance.h"

#include "platform/win32/wide_text.h"

namespace gui::win32 {

void MarkMainWindow(HWND hWnd, const std::string& strInstance) {
  SetPropW(hWnd, platform::Utf8ToWide(strInstance).c_str(), reinterpret_cast<HANDLE>(1));
}

void UnmarkMainWindow(HWND hWnd, const std::string& strInstance) {
  RemovePropW(hWnd, platform::Utf8ToWide(strInstance).c_str());
}

bool RaiseRunningCopy(const std::string& strInstance) {
  const std::wstring wstrName = platform::Utf8ToWide(strInstance);
  for (HWND h = GetWindow(GetDesktopWindow(), GW_CHILD); h && IsWindow(h);
       h = GetWindow(h, GW_HWNDNEXT)) {
    if (!GetPropW(h, wstrName.c_str())) continue;
    if (IsIconic(h)) ShowWindow(h, SW_RESTORE);
    SetForegroundWindow(h);
    SetForegroundWindow(GetLastActivePopup(h));
    return true;
  }
  return false;
}

}  // namespace gui::win32
