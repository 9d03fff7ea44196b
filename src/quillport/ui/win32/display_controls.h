#pragma once

#include <windows.h>

#include <map>

#include "quillport/ui/window_model.h"

// The rows' display controls drawn with GDI: the gradient progress bar and
// the numbered row dot are window classes of their own; the coloured boxes
// are read-only edits coloured through WM_CTLCOLORSTATIC with brushes from
// a CBrushCache.

// Solid brushes by colour, made once and deleted with the cache.
class CBrushCache {
 public:
  CBrushCache() = default;
  ~CBrushCache();
  CBrushCache(const CBrushCache&) = delete;
  CBrushCache& operator=(const CBrushCache&) = delete;
  HBRUSH Get(RowColor clr);

 private:
  std::map<RowColor, HBRUSH> m_brushes;
};

inline COLORREF ToColorRef(RowColor clr) {
  return RGB(clr >> 16 & 0xFF, clr >> 8 & 0xFF, clr & 0xFF);
}

// What a gradient bar and a dot draw; the window keeps one per control and
// hands its address to the control (GWLP_USERDATA).
struct SProgressLook {
  SProgressView view;
  HFONT hFont = nullptr;
};
struct SDotLook {
  RowColor clr = COLOR_BASE;
  int nNumber = 0;
  HFONT hFont = nullptr;
};

// Class names of the two controls, registered once per process.
inline constexpr wchar_t kProgressClass[] = L"NorqGradientProgress";
inline constexpr wchar_t kDotClass[] = L"NorqColorWnd";
void RegisterDisplayClasses(HINSTANCE hInstance);
