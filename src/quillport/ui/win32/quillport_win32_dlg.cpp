#include "quillport/ui/win32/quillport_win32_dlg.h"

#include <commctrl.h>
#include <commdlg.h>

#include "gui/win32/message_box.h"
#include "gui/win32/message_loop.h"
#include "gui/win32/single_instance.h"
#include "gui/win32/version_info.h"
#include "gui/win32/window_text.h"
#include "platform/win32/wide_text.h"
#include "quillport/ui/row_drawing.h"
#include "quillport/ui/win32/quillport_texts_en.h"
#include "quillport/ui/window_layout.h"
#include "quillport/ui/window_texts.h"
#include "serial/port_watcher.h"

namespace {

constexpr wchar_t kWindowClass[] = L"NorqQuillportDlg";
constexpr UINT kRenderMessage = WM_APP + 1;
constexpr UINT_PTR kTickTimer = 1;
constexpr UINT kTickMs = 1000;
constexpr UINT_PTR kTimerSubclass = 1;

using namespace window_layout;
constexpr RowColor kBannerText = Rgb(0, 0, 255), kTipText = Rgb(255, 0, 0);

HFONT MakeFont(int nPoints) {
  HDC hScreen = GetDC(nullptr);
  const int nHeight = -MulDiv(nPoints, GetDeviceCaps(hScreen, LOGPIXELSY), 72);
  ReleaseDC(nullptr, hScreen);
  return CreateFontW(nHeight, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, GB2312_CHARSET,
                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                     DEFAULT_PITCH | FF_DONTCARE, L"宋体");
}

// The timer box counts on the model's clock; the operator cannot type into it.
LRESULT CALLBACK TimerBoxProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, UINT_PTR,
                              DWORD_PTR) {
  if (uMsg == WM_KEYDOWN || uMsg == WM_KEYUP || uMsg == WM_CHAR || uMsg == WM_PASTE) {
    if (uMsg == WM_KEYDOWN && (wParam == VK_ESCAPE || wParam == VK_RETURN)) {
      return DefSubclassProc(hWnd, uMsg, wParam, lParam);  // the dialog's keys
    }
    return 0;
  }
  return DefSubclassProc(hWnd, uMsg, wParam, lParam);
}

void Enable(HWND hWnd, bool bEnable) {
  if ((IsWindowEnabled(hWnd) != FALSE) != bEnable) EnableWindow(hWnd, bEnable);
}

void Check(HWND hWnd, bool bChecked) {
  const WPARAM state = bChecked ? BST_CHECKED : BST_UNCHECKED;
  if (static_cast<WPARAM>(SendMessageW(hWnd, BM_GETCHECK, 0, 0)) != state) {
    SendMessageW(hWnd, BM_SETCHECK, state, 0);
  }
}

}  // namespace

CQuillportWin32Dlg::CQuillportWin32Dlg(HINSTANCE hInstance, const SOptions& options)
    : m_hInstance(hInstance), m_options(options) {
  if (gui::win32::WantsEnglish(options.strLang))
    m_texts = gui::win32::CTextTable(kQuillportEnglish);
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&icc);
  RegisterDisplayClasses(hInstance);
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = hInstance;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
  wc.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
  wc.lpszClassName = kWindowClass;
  wc.cbWndExtra = DLGWINDOWEXTRA;
  RegisterClassExW(&wc);

  m_hDialogFont = MakeFont(kDialogPoints);
  m_hRowFont = MakeFont(kRowPoints);
  m_hBannerFont = MakeFont(kBannerPoints);
  m_hTipFont = MakeFont(kTipPoints);
  // Dialog base units of the dialog font, as the system derives them.
  HDC hDc = GetDC(nullptr);
  HGDIOBJ hOld = SelectObject(hDc, m_hDialogFont);
  TEXTMETRICW tm{};
  GetTextMetricsW(hDc, &tm);
  SIZE size{};
  GetTextExtentPoint32W(hDc, L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz", 52, &size);
  SelectObject(hDc, hOld);
  ReleaseDC(nullptr, hDc);
  m_nBaseX = std::max(1, static_cast<int>((size.cx / 26 + 1) / 2));
  m_nBaseY = std::max(1, static_cast<int>(tm.tmHeight));

  RECT frame{0, 0, MulDiv(kDialogWidth, m_nBaseX, 4), MulDiv(kDialogHeight, m_nBaseY, 8)};
  const DWORD dwStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
  AdjustWindowRectEx(&frame, dwStyle, FALSE, WS_EX_CONTROLPARENT);
  m_hWnd = CreateWindowExW(WS_EX_CONTROLPARENT, kWindowClass, Title().c_str(), dwStyle,
                           CW_USEDEFAULT, CW_USEDEFAULT, frame.right - frame.left,
                           frame.bottom - frame.top, nullptr, nullptr, hInstance, this);
  Build();
  gui::win32::MarkMainWindow(m_hWnd, m_options.strInstance);
  HMENU hSystem = GetSystemMenu(m_hWnd, FALSE);
  AppendMenuW(hSystem, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(hSystem, MF_STRING, kAboutCommand, m_texts.ShownWide(window_text::kAbout).c_str());

  m_pModel = std::make_unique<CQuillportWindow>(static_cast<IWindowHost&>(*this), m_queue,
                                                m_options.strBase);
  m_pWatcher = std::make_unique<CPortWatcher>([this](bool bArrived, const std::string& strCom) {
    m_queue.PostTask([this, bArrived, strCom] {
      if (m_pModel) m_pModel->OnDeviceChange(bArrived, strCom);
    });
  });
  SetTimer(m_hWnd, kTickTimer, kTickMs, nullptr);
  Render();
  ShowWindow(m_hWnd, SW_SHOWNORMAL);
  UpdateWindow(m_hWnd);
}

namespace {
// The window whose modal boxes the activation hook of this thread hands on.
thread_local CQuillportWin32Dlg* t_pAnswering = nullptr;
}  // namespace

void CQuillportWin32Dlg::SetModalAnswerer(std::function<void(HWND hModal)> fnAnswer) {
  m_fnAnswer = std::move(fnAnswer);
  if (!m_hModalHook) {
    t_pAnswering = this;
    m_hModalHook = SetWindowsHookExW(WH_CBT, ModalHook, nullptr, GetCurrentThreadId());
  }
}

LRESULT CALLBACK CQuillportWin32Dlg::ModalHook(int nCode, WPARAM wParam, LPARAM lParam) {
  CQuillportWin32Dlg* pThis = t_pAnswering;
  HWND hActivated = reinterpret_cast<HWND>(wParam);
  wchar_t szClass[16] = {};
  if (nCode == HCBT_ACTIVATE && pThis && pThis->m_fnAnswer && hActivated != pThis->m_hWnd &&
      hActivated != pThis->m_hAnswered && GetClassNameW(hActivated, szClass, 16) &&
      std::wstring(szClass) == L"#32770") {
    pThis->m_hAnswered = hActivated;
    pThis->m_fnAnswer(hActivated);
  }
  return CallNextHookEx(nullptr, nCode, wParam, lParam);
}

CQuillportWin32Dlg::~CQuillportWin32Dlg() {
  if (m_hModalHook) UnhookWindowsHookEx(m_hModalHook);
  if (t_pAnswering == this) t_pAnswering = nullptr;
  Shutdown();
  if (m_hWnd && IsWindow(m_hWnd)) DestroyWindow(m_hWnd);
  for (HFONT hFont : {m_hDialogFont, m_hRowFont, m_hBannerFont, m_hTipFont}) DeleteObject(hFont);
}

std::wstring CQuillportWin32Dlg::Title() const {
  return m_texts.ShownWide(window_text::kTitle) + L"_v " +
         platform::Utf8ToWide(gui::win32::OwnProductVersion());
}

HWND CQuillportWin32Dlg::Make(const wchar_t* pszClass, const std::string& strText, DWORD dwStyle,
                              int nId, int nLeft, int nTop, int nWidth, int nHeight, HFONT hFont,
                              DWORD dwExStyle) {
  HWND h = CreateWindowExW(
      dwExStyle, pszClass, m_texts.ShownWide(strText).c_str(), WS_CHILD | WS_VISIBLE | dwStyle,
      MulDiv(nLeft, m_nBaseX, 4), MulDiv(nTop, m_nBaseY, 8), MulDiv(nWidth, m_nBaseX, 4),
      MulDiv(nHeight, m_nBaseY, 8), m_hWnd, reinterpret_cast<HMENU>(static_cast<INT_PTR>(nId)),
      m_hInstance, nullptr);
  SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(hFont), FALSE);
  return h;
}

void CQuillportWin32Dlg::Build() {
  const DWORD dwBox = ES_READONLY | ES_AUTOHSCROLL | WS_BORDER;
  Make(L"BUTTON", window_text::kSettings, BS_GROUPBOX, 1171, 7, 3, 689, 70, m_hDialogFont);
  Make(L"STATIC", window_text::kSelectBin, 0, 1170, 16, 18, 52, 10, m_hDialogFont);
  m_hPackPath = Make(L"EDIT", "", dwBox, kPackPathId, 70, 16, 380, 14, m_hDialogFont);
  m_hBrowse = Make(L"BUTTON", window_text::kLoad, BS_PUSHBUTTON | WS_TABSTOP, kBrowseId, 456, 16,
                   50, 14, m_hDialogFont);
  // Display only: filelist.ini decides.
  m_hFormatFlash = Make(L"BUTTON", window_text::kFormatAll, BS_AUTOCHECKBOX | WS_DISABLED,
                        kFormatFlashId, 16, 53, 70, 12, m_hDialogFont);
  Make(L"STATIC", window_text::kTimeoutCaption, 0, 1172, 100, 55, 50, 10, m_hDialogFont);
  m_hTimeout = Make(L"COMBOBOX", "", CBS_DROPDOWN | WS_VSCROLL | WS_DISABLED, kTimeoutId, 152, 52,
                    60, 200, m_hDialogFont);
  for (int nMs : CQuillportWindow::kTimeouts) {
    SendMessageW(m_hTimeout, CB_ADDSTRING, 0,
                 reinterpret_cast<LPARAM>(std::to_wstring(nMs).c_str()));
  }
  SendMessageW(m_hTimeout, CB_SETCURSEL, CQuillportWindow::kTimeouts.size() - 1, 0);
  m_hStartAll = Make(L"BUTTON", window_text::kStartAll, BS_DEFPUSHBUTTON | WS_TABSTOP, kStartAllId,
                     540, 14, 70, 52, m_hDialogFont);
  m_hStopAll = Make(L"BUTTON", window_text::kStopAll, BS_PUSHBUTTON | WS_TABSTOP, kStopAllId, 618,
                    14, 70, 52, m_hDialogFont);

  for (int i = 0; i < kPortRows; ++i) {
    SRow& row = m_rows[i];
    const int nTop = kFirstRowTop + kRowPitch * i;
    auto cell = [&](SColumn c, const wchar_t* pszClass, const std::string& strText, DWORD dwStyle,
                    int nId, HFONT hFont, DWORD dwEx = 0) {
      return Make(pszClass, strText, dwStyle, nId, c.nLeft, nTop, c.nWidth, kRowHeight, hFont,
                  dwEx);
    };
    row.hCheck = cell(kCheckColumn, L"BUTTON", "", BS_AUTOCHECKBOX | WS_TABSTOP, kCheckId + i,
                      m_hDialogFont);
    row.hPortLabel =
        cell(kPortColumn, L"EDIT", window_text::kPort, dwBox, kPortLabelId + i, m_hRowFont);
    row.progress.hFont = m_hRowFont;
    row.hProgress = cell(kProgressColumn, kProgressClass, "", 0, kProgressId + i, m_hRowFont);
    SetWindowLongPtrW(row.hProgress, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&row.progress));
    row.hState = cell(kStateColumn, L"EDIT", window_text::kIdle, dwBox, StateBoxId(i), m_hRowFont);
    row.hStatus =
        cell(kStatusColumn, L"EDIT", window_text::kClosed, dwBox, kStatusId + i, m_hRowFont);
    row.hTimer = cell(kTimerColumn, L"EDIT", "00:00:00", dwBox, kTimerId + i, m_hDialogFont);
    SetWindowSubclass(row.hTimer, TimerBoxProc, kTimerSubclass, 0);
    // A round dot as wide as its column, centred on the row.
    row.dot.nNumber = i + 1;
    row.dot.hFont = m_hDialogFont;
    const int nSide =
        std::min(MulDiv(kDotColumn.nWidth, m_nBaseX, 4), MulDiv(kRowHeight + 2, m_nBaseY, 8));
    const int nCentreX = MulDiv(kDotColumn.nLeft * 2 + kDotColumn.nWidth, m_nBaseX, 8);
    const int nCentreY = MulDiv(nTop * 2 + kRowHeight, m_nBaseY, 16);
    row.hDot = CreateWindowExW(WS_EX_CLIENTEDGE, kDotClass, L"AAA", WS_CHILD | WS_VISIBLE,
                               nCentreX - nSide / 2, nCentreY - nSide / 2, nSide, nSide, m_hWnd,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(kDotId + i)),
                               m_hInstance, nullptr);
    SetWindowLongPtrW(row.hDot, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&row.dot));
    row.hRestart = cell(kRestartColumn, L"BUTTON", window_text::kDownload,
                        BS_PUSHBUTTON | WS_TABSTOP, kRestartId + i, m_hDialogFont);
  }
  Make(L"STATIC", window_text::kBanner, SS_CENTER, kBannerId, (kDialogWidth - kBannerWidth) / 2,
       kBannerTop, kBannerWidth, kBannerHeight, m_hBannerFont);
  Make(L"STATIC", window_text::kTip, SS_CENTER, kTipId, (kDialogWidth - kTipWidth) / 2, kTipTop,
       kTipWidth, kTipHeight, m_hTipFont);
}

LRESULT CALLBACK CQuillportWin32Dlg::WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam,
                                                LPARAM lParam) {
  if (uMsg == WM_NCCREATE) {
    auto* pCreate = reinterpret_cast<CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(pCreate->lpCreateParams));
    reinterpret_cast<CQuillportWin32Dlg*>(pCreate->lpCreateParams)->m_hWnd = hWnd;
  }
  auto* pThis = reinterpret_cast<CQuillportWin32Dlg*>(GetWindowLongPtrW(hWnd, GWLP_USERDATA));
  if (!pThis) return DefWindowProcW(hWnd, uMsg, wParam, lParam);
  return pThis->Handle(uMsg, wParam, lParam);
}

LRESULT CQuillportWin32Dlg::Handle(UINT uMsg, WPARAM wParam, LPARAM lParam) {
  switch (uMsg) {
    case WM_COMMAND:
      OnCommand(LOWORD(wParam), HIWORD(wParam));
      return 0;
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == kAboutCommand) {
        MessageBox(window_text::kAboutText);
        return 0;
      }
      break;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT: {
      HWND hControl = reinterpret_cast<HWND>(lParam);
      HDC hDc = reinterpret_cast<HDC>(wParam);
      const int nId = GetDlgCtrlID(hControl);
      if (nId == kBannerId || nId == kTipId) {
        SetTextColor(hDc, ToColorRef(nId == kBannerId ? kBannerText : kTipText));
        SetBkMode(hDc, TRANSPARENT);
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
      }
      if (const SBoxView* pBox = BoxOf(hControl)) {
        SetTextColor(hDc, ToColorRef(pBox->text));
        SetBkColor(hDc, ToColorRef(pBox->bk));
        return reinterpret_cast<LRESULT>(m_brushes.Get(pBox->bk));
      }
      // Labels and check boxes on the dialog's own face.
      SetBkColor(hDc, GetSysColor(COLOR_BTNFACE));
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    }
    case WM_TIMER:
      if (wParam == kTickTimer) RenderTimers();
      return 0;
    case kRenderMessage:
      m_bRenderPosted = false;
      Render();
      return 0;
    case WM_CLOSE:
      Close(true);
      return 0;
    case WM_DESTROY:
      KillTimer(m_hWnd, kTickTimer);
      // The message loop ends when the window is gone; no quit message is
      // left behind for a later window of the same thread.
      gui::win32::UnmarkMainWindow(m_hWnd, m_options.strInstance);
      return 0;
    default:
      break;
  }
  return DefWindowProcW(m_hWnd, uMsg, wParam, lParam);
}

void CQuillportWin32Dlg::OnCommand(int nId, int nCode) {
  if (nCode != BN_CLICKED && nId != IDCANCEL) return;
  if (nId == kStartAllId) return Handle([](CQuillportWindow& m) { m.OnStartAll(); });
  if (nId == kStopAllId) return Handle([](CQuillportWindow& m) { m.OnStopAll(); });
  if (nId == kBrowseId) return Handle([](CQuillportWindow& m) { m.OnBrowsePackage(); });
  // Escape ends the window without saving the port selection.
  if (nId == IDCANCEL) return Close(false);
  if (nId >= kRestartId && nId < kRestartId + kPortRows) {
    return Handle([nId](CQuillportWindow& m) { m.OnRestart(nId - kRestartId); });
  }
  if (nId >= kCheckId && nId < kCheckId + kPortRows) {
    const int nRow = nId - kCheckId;
    const bool bChecked = SendMessageW(m_rows[nRow].hCheck, BM_GETCHECK, 0, 0) == BST_CHECKED;
    return Handle([nRow, bChecked](CQuillportWindow& m) { m.OnPortCheck(nRow, bChecked); });
  }
}

void CQuillportWin32Dlg::TakeControlValues() {
  // The controls' values into the model before a handler, as the dialog's
  // data exchange does: the time-out box may have been set by its messages.
  m_pModel->SetTimeoutText(gui::win32::GetText(m_hTimeout));
}

template <typename F>
void CQuillportWin32Dlg::Handle(F fnHandler) {
  if (!m_pModel) return;
  ++m_nHandlerDepth;
  TakeControlValues();
  fnHandler(*m_pModel);
  --m_nHandlerDepth;
  Render();  // the click's effect shows at once
  if (m_nHandlerDepth == 0 && m_bCloseAsked) {
    m_bCloseAsked = false;
    PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
  }
}

void CQuillportWin32Dlg::Close(bool bSave) {
  if (m_nHandlerDepth > 0) {
    m_bCloseAsked = true;
    return;
  }
  if (m_pModel) {
    ++m_nHandlerDepth;
    if (bSave) m_pModel->OnClose();
    Shutdown();
    --m_nHandlerDepth;
  }
  DestroyWindow(m_hWnd);
}

void CQuillportWin32Dlg::Shutdown() {
  if (!m_pModel) return;
  m_pWatcher.reset();
  if (m_pModel->AnyBusy()) m_pModel->OnStopAll();
  m_pModel.reset();
}

int CQuillportWin32Dlg::Run() {
  return gui::win32::RunMessageLoop(m_hWnd, m_queue, nullptr);
}

const SBoxView* CQuillportWin32Dlg::BoxOf(HWND hControl) const {
  if (!m_pModel) return nullptr;
  for (int i = 0; i < kPortRows; ++i) {
    const SRowView& view = m_pModel->View().rows[i];
    if (hControl == m_rows[i].hPortLabel) return &view.portLabel;
    if (hControl == m_rows[i].hState) return &view.stateBox;
    if (hControl == m_rows[i].hStatus) return &view.statusBox;
  }
  return nullptr;
}

void CQuillportWin32Dlg::MessageBox(const std::string& strText) {
  gui::win32::ShowMessage(m_hWnd, m_texts.Shown(strText), m_options.strInstance);
  m_hAnswered = nullptr;
}

std::optional<std::string> CQuillportWin32Dlg::ChoosePackageFile() {
  static constexpr wchar_t kFilter[] = L"Bin Files (*_norq_total.bin)\0*_norq_total.bin\0";
  std::wstring wstrFile(MAX_PATH * 4, L'\0');
  const std::wstring wstrCurrent =
      m_pModel ? platform::Utf8ToWide(m_pModel->View().strPackPath) : std::wstring();
  wstrCurrent.copy(wstrFile.data(), std::min(wstrCurrent.size(), wstrFile.size() - 1));
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = m_hWnd;
  ofn.lpstrFilter = kFilter;
  ofn.lpstrFile = wstrFile.data();
  ofn.nMaxFile = static_cast<DWORD>(wstrFile.size());
  // The base folder stays the current directory: the logs are written there.
  ofn.Flags = OFN_HIDEREADONLY | OFN_EXPLORER | OFN_NOCHANGEDIR | OFN_PATHMUSTEXIST;
  const BOOL bChosen = GetOpenFileNameW(&ofn);
  m_hAnswered = nullptr;
  if (!bChosen) return std::nullopt;
  return platform::WideToUtf8(std::wstring(wstrFile.c_str()));
}

void CQuillportWin32Dlg::Changed() {
  if (m_bRenderPosted || !m_hWnd) return;
  m_bRenderPosted = PostMessageW(m_hWnd, kRenderMessage, 0, 0) != FALSE;
}

void CQuillportWin32Dlg::ServeQueueWhileWaiting(CMessageQueue& queue, int nMs) {
  gui::win32::ServeWhileWaiting(queue, nMs);
}

void CQuillportWin32Dlg::Render() {
  if (!m_pModel) return;
  const SWindowView& view = m_pModel->View();
  gui::win32::SetTextIfChanged(m_hPackPath, platform::Utf8ToWide(view.strPackPath));
  Enable(m_hBrowse, view.bBrowseEnabled);
  Enable(m_hStartAll, view.bStartAllEnabled);
  Enable(m_hStopAll, view.bStopAllEnabled);
  Check(m_hFormatFlash, view.bFormatFlash);
  const std::wstring wstrTimeout = platform::Utf8ToWide(view.strTimeout);
  if (gui::win32::GetWideText(m_hTimeout) != wstrTimeout) {
    const LRESULT nItem = SendMessageW(m_hTimeout, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                       reinterpret_cast<LPARAM>(wstrTimeout.c_str()));
    if (nItem != CB_ERR) SendMessageW(m_hTimeout, CB_SETCURSEL, static_cast<WPARAM>(nItem), 0);
  }
  for (int i = 0; i < kPortRows; ++i) {
    SRow& row = m_rows[i];
    const SRowView& v = view.rows[i];
    Enable(row.hCheck, view.bCheckboxesEnabled);
    Check(row.hCheck, v.bChecked);
    struct SBoxPair {
      HWND h;
      const SBoxView* pView;
      std::string strShown;
    };
    // The state box also carries the row's passed / failed count.
    const std::string strState =
        StateWithCounts(m_texts.Shown(v.stateBox.strText), v.nPassed, v.nFailed);
    const SBoxPair boxes[] = {{row.hPortLabel, &v.portLabel, m_texts.Shown(v.portLabel.strText)},
                              {row.hState, &v.stateBox, strState},
                              {row.hStatus, &v.statusBox, m_texts.Shown(v.statusBox.strText)}};
    for (size_t b = 0; b < std::size(boxes); ++b) {
      const SBoxPair& box = boxes[b];
      gui::win32::SetTextIfChanged(box.h, platform::Utf8ToWide(box.strShown));
      Enable(box.h, box.pView->bEnabled);
      const std::pair<RowColor, RowColor> colors{box.pView->bk, box.pView->text};
      if (row.boxColors[b] != colors) {
        row.boxColors[b] = colors;
        InvalidateRect(box.h, nullptr, TRUE);  // the colours come with the repaint
      }
    }
    const SProgressView& p = v.progress;
    const SProgressView& shown = row.progress.view;
    if (p.nPos != shown.nPos || p.bk != shown.bk || p.from != shown.from || p.to != shown.to ||
        p.percentText != shown.percentText) {
      row.progress.view = p;
      InvalidateRect(row.hProgress, nullptr, FALSE);
    }
    Enable(row.hProgress, p.bEnabled);
    if (row.dot.clr != v.dot) {
      row.dot.clr = v.dot;
      InvalidateRect(row.hDot, nullptr, FALSE);
    }
    Enable(row.hDot, v.bDotEnabled);
    Enable(row.hRestart, v.bRestartEnabled);
    SendMessageW(row.hTimer, EM_SETREADONLY, v.timer.bReadOnly, 0);
  }
  RenderTimers();
}

void CQuillportWin32Dlg::RenderTimers() {
  if (!m_pModel) return;
  for (int i = 0; i < kPortRows; ++i) {
    gui::win32::SetTextIfChanged(m_rows[i].hTimer,
                                 platform::Utf8ToWide(m_pModel->View().rows[i].timer.Text()));
  }
}
