#include "tavlo/ui/win32/layout.h"

#include "platform/win32/wide_text.h"
#include "tavlo/ui/win32/tavlo_texts_en.h"

namespace tavlo_win32 {

HFONT MakeFont(const wchar_t* pszFace, int nPoints, bool bHeavy, BYTE nCharSet) {
  HDC hdc = GetDC(nullptr);
  const int nHeight = -MulDiv(nPoints, GetDeviceCaps(hdc, LOGPIXELSY), 72);
  ReleaseDC(nullptr, hdc);
  return CreateFontW(nHeight, 0, 0, 0, bHeavy ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE, nCharSet,
                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                     DEFAULT_PITCH | FF_DONTCARE, pszFace);
}

CDialogUnits::CDialogUnits(HFONT hFont) {
  HDC hdc = GetDC(nullptr);
  HGDIOBJ hOld = SelectObject(hdc, hFont);
  TEXTMETRICW tm{};
  GetTextMetricsW(hdc, &tm);
  // The average width as the dialog manager measures it: over the alphabet.
  static constexpr wchar_t kAlphabet[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  SIZE size{};
  if (GetTextExtentPoint32W(hdc, kAlphabet, 52, &size) && size.cx > 0) {
    m_nBaseX = (size.cx / 26 + 1) / 2;
  } else if (tm.tmAveCharWidth > 0) {
    m_nBaseX = tm.tmAveCharWidth;
  }
  if (tm.tmHeight > 0) m_nBaseY = tm.tmHeight;
  SelectObject(hdc, hOld);
  ReleaseDC(nullptr, hdc);
}

HWND MakeControl(HWND hParent, const CDialogUnits& units, const wchar_t* pszClass,
                 const std::wstring& wstrText, DWORD dwStyle, int nId, int x, int y, int w, int h,
                 HFONT hFont) {
  HWND hWnd = CreateWindowExW(0, pszClass, wstrText.c_str(), WS_CHILD | WS_VISIBLE | dwStyle,
                              units.X(x), units.Y(y), units.X(w), units.Y(h), hParent,
                              reinterpret_cast<HMENU>(static_cast<INT_PTR>(nId)),
                              GetModuleHandleW(nullptr), nullptr);
  if (hWnd && hFont) SendMessageW(hWnd, WM_SETFONT, reinterpret_cast<WPARAM>(hFont), FALSE);
  return hWnd;
}

std::wstring ShownLines(const gui::win32::CTextTable& texts, const std::string& strText) {
  std::string strShown;
  size_t nStart = 0;
  for (;;) {
    const size_t nEnd = strText.find('\n', nStart);
    if (nStart > 0) strShown += "\r\n";
    strShown += texts.Shown(strText.substr(nStart, nEnd - nStart));
    if (nEnd == std::string::npos) break;
    nStart = nEnd + 1;
  }
  return platform::Utf8ToWide(strShown);
}

const gui::win32::CTextTable& TavloTexts(const std::string& strLang) {
  static const gui::win32::CTextTable english(kTavloEnglish);
  static const gui::win32::CTextTable chinese;
  return gui::win32::WantsEnglish(strLang) ? english : chinese;
}

}  // namespace tavlo_win32
