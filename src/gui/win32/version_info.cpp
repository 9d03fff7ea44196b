#include "gui/win32/version_info.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "platform/win32/wide_text.h"

namespace gui::win32 {

std::string ProductVersionOf(const std::wstring& wstrFile) {
  DWORD dwIgnored = 0;
  const DWORD nSize = GetFileVersionInfoSizeW(wstrFile.c_str(), &dwIgnored);
  if (nSize == 0) return {};
  std::vector<unsigned char> block(nSize);
  if (!GetFileVersionInfoW(wstrFile.c_str(), 0, nSize, block.data())) return {};
  struct SLangCodePage {
    WORD wLanguage, wCodePage;
  };
  SLangCodePage* pTranslation = nullptr;
  UINT nLen = 0;
  if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                      reinterpret_cast<void**>(&pTranslation), &nLen) ||
      nLen < sizeof(SLangCodePage)) {
    return {};
  }
  wchar_t szQuery[64];
  std::swprintf(szQuery, 64, L"\\StringFileInfo\\%04x%04x\\ProductVersion", pTranslation->wLanguage,
                pTranslation->wCodePage);
  wchar_t* pszValue = nullptr;
  if (!VerQueryValueW(block.data(), szQuery, reinterpret_cast<void**>(&pszValue), &nLen) ||
      nLen == 0) {
    return {};
  }
  std::string strVersion = platform::WideToUtf8(std::wstring(pszValue));
  std::replace(strVersion.begin(), strVersion.end(), ',', '.');
  return strVersion;
}

std::string OwnProductVersion() {
  wchar_t szPath[MAX_PATH * 2] = {};
  const DWORD n = GetModuleFileNameW(nullptr, szPath, MAX_PATH * 2);
  if (n == 0 || n >= MAX_PATH * 2) return {};
  return ProductVersionOf(szPath);
}

}  // namespace gui::win32
