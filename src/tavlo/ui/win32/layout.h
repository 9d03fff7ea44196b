#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "gui/win32/text_table.h"

// The writer's windows are laid out in the dialog units of their templates,
// measured on the window's font, so that the layout grows with the font:
// a horizontal unit is a quarter of the font's average character width, a
// vertical unit an eighth of its height.
namespace tavlo_win32 {

// A font of nPoints points at the screen's resolution; bHeavy for the big
// buttons. Owned by the caller (DeleteObject).
HFONT MakeFont(const wchar_t* pszFace, int nPoints, bool bHeavy, BYTE nCharSet);

class CDialogUnits {
 public:
  explicit CDialogUnits(HFONT hFont);
  int X(int n) const { return MulDiv(n, m_nBaseX, 4); }
  int Y(int n) const { return MulDiv(n, m_nBaseY, 8); }

 private:
  int m_nBaseX = 6, m_nBaseY = 13;
};

// A child control at a rectangle in dialog units, with the given font.
HWND MakeControl(HWND hParent, const CDialogUnits& units, const wchar_t* pszClass,
                 const std::wstring& wstrText, DWORD dwStyle, int nId, int x, int y, int w, int h,
                 HFONT hFont);

// 0xRRGGBB as the system's COLORREF.
inline COLORREF Rgb(uint32_t clr) {
  return RGB(clr >> 16 & 0xFF, clr >> 8 & 0xFF, clr & 0xFF);
}

// A text of the writer in the window's language, as UTF-16; multi-line
// messages are translated line by line and shown with CR LF.
std::wstring ShownLines(const gui::win32::CTextTable& texts, const std::string& strText);

// The writer's texts for --lang (English for "en", else the Chinese source).
const gui::win32::CTextTable& TavloTexts(const std::string& strLang);

}  // namespace tavlo_win32
