#include "quillport/ui/win32/display_controls.h"

#include "platform/win32/wide_text.h"
#include "quillport/ui/row_drawing.h"

namespace {

// An off-screen copy of the paint area: the bar repaints at every position
// change, and drawing it band by band on the screen would flicker.
class CMemoryDc {
 public:
  CMemoryDc(HDC hTarget, const RECT& area)
      : m_hTarget(hTarget),
        m_area(area),
        m_hDc(CreateCompatibleDC(hTarget)),
        m_hBitmap(CreateCompatibleBitmap(hTarget, area.right - area.left, area.bottom - area.top)),
        m_hOld(SelectObject(m_hDc, m_hBitmap)) {
    SetWindowOrgEx(m_hDc, area.left, area.top, nullptr);
  }
  ~CMemoryDc() {
    BitBlt(m_hTarget, m_area.left, m_area.top, m_area.right - m_area.left,
           m_area.bottom - m_area.top, m_hDc, m_area.left, m_area.top, SRCCOPY);
    SelectObject(m_hDc, m_hOld);
    DeleteObject(m_hBitmap);
    DeleteDC(m_hDc);
  }
  CMemoryDc(const CMemoryDc&) = delete;
  CMemoryDc& operator=(const CMemoryDc&) = delete;
  HDC Dc() const { return m_hDc; }

 private:
  HDC m_hTarget;
  RECT m_area;
  HDC m_hDc;
  HBITMAP m_hBitmap;
  HGDIOBJ m_hOld;
};

void Fill(HDC hDc, const RECT& rect, RowColor clr) {
  HBRUSH hBrush = CreateSolidBrush(ToColorRef(clr));
  FillRect(hDc, &rect, hBrush);
  DeleteObject(hBrush);
}

void PaintProgress(HWND hWnd, HDC hPaint) {
  const auto* pLook =
      reinterpret_cast<const SProgressLook*>(GetWindowLongPtrW(hWnd, GWLP_USERDATA));
  RECT client;
  GetClientRect(hWnd, &client);
  CMemoryDc mem(hPaint, client);
  HDC hDc = mem.Dc();
  if (!pLook) return Fill(hDc, client, COLOR_BASE);
  const SProgressView& v = pLook->view;
  const SProgressDrawing drawing =
      DrawProgress(v.nPos, v.from, v.to, v.bk, v.percentText, client.right, true);
  Fill(hDc, client, drawing.bk);
  for (const SGradientBand& band : drawing.bands) {
    Fill(hDc, RECT{band.nLeft, 0, band.nRight, client.bottom + 1}, band.clr);
  }
  if (drawing.strPercent.empty()) return;
  HGDIOBJ hOldFont = pLook->hFont ? SelectObject(hDc, pLook->hFont) : nullptr;
  SetBkMode(hDc, TRANSPARENT);
  SetTextColor(hDc, ToColorRef(drawing.percentText));
  std::wstring wstr = platform::Utf8ToWide(drawing.strPercent);
  DrawTextW(hDc, wstr.c_str(), -1, &client, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
  if (hOldFont) SelectObject(hDc, hOldFont);
}

void PaintDot(HWND hWnd, HDC hDc) {
  const auto* pLook = reinterpret_cast<const SDotLook*>(GetWindowLongPtrW(hWnd, GWLP_USERDATA));
  RECT client;
  GetClientRect(hWnd, &client);
  FillRect(hDc, &client, GetSysColorBrush(COLOR_BTNFACE));
  if (!pLook) return;
  HBRUSH hBrush = CreateSolidBrush(ToColorRef(pLook->clr));
  HGDIOBJ hOld = SelectObject(hDc, hBrush);
  Ellipse(hDc, client.left, client.top, client.right, client.bottom);
  SelectObject(hDc, hOld);
  DeleteObject(hBrush);
  HGDIOBJ hOldFont = pLook->hFont ? SelectObject(hDc, pLook->hFont) : nullptr;
  SetBkMode(hDc, TRANSPARENT);
  RECT text = client;
  text.top += kDotNumberDrop;
  const std::wstring wstr = std::to_wstring(pLook->nNumber);
  DrawTextW(hDc, wstr.c_str(), -1, &text, DT_CENTER | DT_TOP | DT_SINGLELINE);
  if (hOldFont) SelectObject(hDc, hOldFont);
}

template <void (*Paint)(HWND, HDC)>
LRESULT CALLBACK DisplayProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  switch (uMsg) {
    case WM_ERASEBKGND:
      return 1;  // the paint covers every pixel
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC hDc = BeginPaint(hWnd, &ps);
      Paint(hWnd, hDc);
      EndPaint(hWnd, &ps);
      return 0;
    }
    default:
      return DefWindowProcW(hWnd, uMsg, wParam, lParam);
  }
}

}  // namespace

CBrushCache::~CBrushCache() {
  for (auto& [clr, hBrush] : m_brushes) DeleteObject(hBrush);
}

HBRUSH CBrushCache::Get(RowColor clr) {
  auto it = m_brushes.find(clr);
  if (it == m_brushes.end()) it = m_brushes.emplace(clr, CreateSolidBrush(ToColorRef(clr))).first;
  return it->second;
}

void RegisterDisplayClasses(HINSTANCE hInstance) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.hInstance = hInstance;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.lpfnWndProc = DisplayProc<PaintProgress>;
  wc.lpszClassName = kProgressClass;
  RegisterClassExW(&wc);  // a second registration fails harmlessly
  wc.lpfnWndProc = DisplayProc<PaintDot>;
  wc.lpszClassName = kDotClass;
  RegisterClassExW(&wc);
}
