#include "platform/win32/wide_text.h"

#include <windows.h>

namespace platform {

std::wstring Utf8ToWide(const std::string& str) {
  if (str.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, str.data(),
                                    static_cast<int>(str.size()), nullptr, 0);
  if (n <= 0) return {};
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, str.data(), static_cast<int>(str.size()),
                      out.data(), n);
  return out;
}

std::string WideToUtf8(const std::wstring& str) {
  if (str.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, str.data(), static_cast<int>(str.size()), nullptr,
                                    0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, str.data(), static_cast<int>(str.size()), out.data(), n, nullptr,
                      nullptr);
  return out;
}

}  // namespace platform
