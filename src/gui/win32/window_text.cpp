#include "gui/win32/window_text.h"

#include "platform/win32/wide_text.h"

namespace gui::win32 {

void SetText(HWND hWnd, const std::string& strText) {
  SetWindowTextW(hWnd, platform::Utf8ToWide(strText).c_str());
}

void SetTextIfChanged(HWND hWnd, const std::wstring& wstrText) {
  if (GetWideText(hWnd) != wstrText) SetWindowTextW(hWnd, wstrText.c_str());
}

std::wstring GetWideText(HWND hWnd) {
  const int n = GetWindowTextLengthW(hWnd);
  std::wstring wstr(static_cast<size_t>(n) + 1, L'\0');
  const int nGot = GetWindowTextW(hWnd, wstr.data(), n + 1);
  wstr.resize(static_cast<size_t>(nGot > 0 ? nGot : 0));
  return wstr;
}

std::string GetText(HWND hWnd) {
  return platform::WideToUtf8(GetWideText(hWnd));
}

}  // namespace gui::win32
