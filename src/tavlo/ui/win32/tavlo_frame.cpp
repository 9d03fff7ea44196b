#include "tavlo/ui/win32/tavlo_frame.h"

#include <commdlg.h>
#include <richedit.h>

#include "gui/win32/message_box.h"
#include "gui/win32/message_loop.h"
#include "gui/win32/single_instance.h"
#include "gui/win32/window_text.h"
#include "platform/win32/wide_text.h"
#include "tavlo/ui/win32/control_ids.h"
#include "tavlo/ui/win32/layout.h"
#include "tavlo/ui/win32/setup_frame.h"
#include "tavlo/ui/writer_texts.h"

using namespace tavlo_win32;

namespace {

constexpr UINT kRenderMessage = WM_APP + 1;

// Template 102, in dialog units of the dialog font.
constexpr int kDialogWidth = 661, kDialogHeight = 481;
constexpr int kDialogPoints = 9, kButtonPoints = 16;
constexpr int kLabelLeft[2] = {16, 256}, kEditLeft[2] = {52, 292};
constexpr int kLabelWidth = 34, kEditWidth = 140, kEditHeight = 14;
constexpr int kButtonLeft = 510, kButtonWidth = 144, kButtonHeight = 48, kButtonPitch = 54;

constexpr DWORD kCheckStyle = BS_CHECKBOX | WS_TABSTOP;  // the model decides the state
constexpr DWORD kEditStyle = WS_BORDER | ES_AUTOHSCROLL | WS_TABSTOP;

bool IsChecked(HWND hButton) {
  return SendMessageW(hButton, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void SetCheck(HWND hButton, bool bChecked) {
  if (IsChecked(hButton) != bChecked)
    SendMessageW(hButton, BM_SETCHECK, bChecked ? BST_CHECKED : BST_UNCHECKED, 0);
}

void Enable(HWND hWnd, bool bEnabled) {
  if ((IsWindowEnabled(hWnd) != FALSE) != bEnabled) EnableWindow(hWnd, bEnabled);
}

// The banner: fills itself with its state's background and draws its window
// text (the state's text, as the main window set it) heavy and centred.
LRESULT CALLBACK BannerProc(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam) {
  if (nMsg == WM_PAINT) {
    PAINTSTRUCT ps;
    HDC hdc = BeginPaint(hWnd, &ps);
    RECT rc;
    GetClientRect(hWnd, &rc);
    const SBannerView banner = BannerView(static_cast<int>(GetWindowLongPtrW(hWnd, GWLP_USERDATA)));
    HBRUSH hBrush = CreateSolidBrush(Rgb(banner.look.bk));
    FillRect(hdc, &rc, hBrush);
    DeleteObject(hBrush);
    HFONT hFont = CreateFontW(kBannerFontHeight, kBannerFontWidth, 0, 0, kBannerFontWeight, FALSE,
                              FALSE, FALSE, GB2312_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                              DEFAULT_QUALITY, DEFAULT_PITCH, L"");
    HGDIOBJ hOld = SelectObject(hdc, hFont);
    SetBkMode(hdc, TRANSPARENT);
    SetTextColor(hdc, Rgb(banner.look.text));
    const std::wstring wstrText = gui::win32::GetWideText(hWnd);
    RECT line = rc;
    line.top = (rc.bottom - rc.top) / 2 - kBannerFontHeight / 2;
    DrawTextW(hdc, wstrText.c_str(), static_cast<int>(wstrText.size()), &line,
              DT_CENTER | DT_TOP | DT_SINGLELINE | DT_NOPREFIX);
    SelectObject(hdc, hOld);
    DeleteObject(hFont);
    EndPaint(hWnd, &ps);
    return 0;
  }
  if (nMsg == WM_ERASEBKGND) return 1;
  return DefWindowProcW(hWnd, nMsg, wParam, lParam);
}

}  // namespace

void RegisterTavloWindowClasses() {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.hIcon = LoadIconW(wc.hInstance, MAKEINTRESOURCEW(128));
  if (!wc.hIcon) wc.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
  wc.lpfnWndProc = &CTavloFrame::WndProc;
  wc.lpszClassName = kTavloWindowClass;
  RegisterClassExW(&wc);
  wc.lpfnWndProc = BannerProc;
  wc.lpszClassName = kTavloBannerClass;
  wc.hbrBackground = nullptr;
  RegisterClassExW(&wc);
  RegisterSetupWindowClass();
}

CTavloFrame::CTavloFrame(STavloApp& app, const gui::win32::CTextTable& texts,
                         std::string strProgram)
    : m_texts(texts), m_strProgram(std::move(strProgram)) {
  m_hRichEdit = LoadLibraryW(L"riched20.dll");
  m_hDialogFont = MakeFont(L"SimSun", kDialogPoints, false, GB2312_CHARSET);
  m_hButtonFont = MakeFont(L"SimHei", kButtonPoints, true, GB2312_CHARSET);
  const CDialogUnits units(m_hDialogFont);
  RECT rc{0, 0, units.X(kDialogWidth), units.Y(kDialogHeight)};
  const DWORD dwStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
  AdjustWindowRectEx(&rc, dwStyle, FALSE, 0);
  m_hWnd = CreateWindowExW(WS_EX_CONTROLPARENT, kTavloWindowClass, L"", dwStyle, CW_USEDEFAULT,
                           CW_USEDEFAULT, rc.right - rc.left, rc.bottom - rc.top, nullptr, nullptr,
                           GetModuleHandleW(nullptr), this);
  gui::win32::MarkMainWindow(m_hWnd, m_strProgram);
  Build();

  // The about box is on the system menu; the window is left only by Exit.
  HMENU hMenu = GetSystemMenu(m_hWnd, FALSE);
  AppendMenuW(hMenu, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(hMenu, MF_STRING, tavlo_id::kAboutCommand, Shown(writer_text::kAboutMenu).c_str());
  EnableMenuItem(hMenu, SC_CLOSE, MF_BYCOMMAND | MF_GRAYED);

  m_pModel = std::make_unique<CTavloWindow>(static_cast<IWriterHost&>(*this), m_queue, app);
  const SWriterView& view = m_pModel->View();
  for (size_t i = 0; i < view.fields.size(); ++i) {
    SendMessageW(Item(tavlo_id::kFields[i]), EM_LIMITTEXT, view.fields[i].nMaxLength, 0);
  }
  if (!view.strImageDir.empty()) gui::win32::SetText(Item(tavlo_id::kPdlPath), view.strImageDir);
  Render();
}

CTavloFrame::~CTavloFrame() {
  Shutdown();
  if (m_hWnd) DestroyWindow(m_hWnd);
  DeleteObject(m_hDialogFont);
  DeleteObject(m_hButtonFont);
  // The rich edit library stays loaded: a later window of this process uses it.
}

std::wstring CTavloFrame::Shown(const std::string& strText) const {
  return ShownLines(m_texts, strText);
}

void CTavloFrame::Build() {
  const CDialogUnits units(m_hDialogFont);
  HWND h = m_hWnd;
  HFONT f = m_hDialogFont;
  MakeControl(h, units, L"BUTTON", Shown(writer_text::kParams), BS_GROUPBOX, tavlo_id::kParams, 7,
              4, 496, 148, f);
  struct SBox {
    const char* pszText;
    int nId, nLeft, nWidth;
  };
  for (const SBox& box : {SBox{writer_text::kWriteImei, tavlo_id::kWriteImei, 16, 62},
                          SBox{writer_text::kWriteMbsn, tavlo_id::kWriteMbsn, 84, 62},
                          SBox{writer_text::kWritePsn, tavlo_id::kWritePsn, 152, 58},
                          SBox{writer_text::kWriteLcd, tavlo_id::kWriteLcd, 216, 84},
                          SBox{writer_text::kWriteDdr, tavlo_id::kWriteDdr, 306, 58},
                          SBox{writer_text::kCheckImei, tavlo_id::kCheckImei, 420, 76}}) {
    MakeControl(h, units, L"BUTTON", Shown(box.pszText), kCheckStyle, box.nId, box.nLeft, 16,
                box.nWidth, 12, f);
  }
  const std::wstring labels[] = {L"IMEI 1",
                                 L"IMEI 2",
                                 L"IMEI 3",
                                 L"IMEI 4",
                                 Shown(writer_text::kMbsn),
                                 Shown(writer_text::kPsn)};
  static constexpr int kRowTops[] = {36, 36, 58, 58, 84, 84};
  for (size_t i = 0; i < 6; ++i) {
    const int nColumn = static_cast<int>(i % 2), nTop = kRowTops[i];
    MakeControl(h, units, L"STATIC", labels[i], SS_LEFT, -1, kLabelLeft[nColumn], nTop + 2,
                kLabelWidth, 10, f);
    MakeControl(h, units, L"EDIT", L"", kEditStyle | (i < 4 ? ES_NUMBER : 0), tavlo_id::kFields[i],
                kEditLeft[nColumn], nTop, kEditWidth, kEditHeight, f);
  }
  MakeControl(h, units, L"STATIC", L"LCD", SS_LEFT, -1, 16, 110, kLabelWidth, 10, f);
  HWND hLcd = MakeControl(h, units, L"COMBOBOX", L"", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP,
                          tavlo_id::kLcdType, 52, 108, 50, 80, f);
  for (const char* pszName : kLcdInterfaces) {
    SendMessageW(hLcd, CB_ADDSTRING, 0,
                 reinterpret_cast<LPARAM>(platform::Utf8ToWide(pszName).c_str()));
  }
  MakeControl(h, units, L"EDIT", L"", kEditStyle, tavlo_id::kLcdName, 108, 108, 84, kEditHeight, f);
  MakeControl(h, units, L"STATIC", L"", SS_RIGHT, tavlo_id::kCounts, 300, 110, 194, 10, f);
  MakeControl(h, units, L"STATIC", L"DDR", SS_LEFT, -1, 16, 132, kLabelWidth, 10, f);
  MakeControl(h, units, L"EDIT", L"", kEditStyle | ES_READONLY, tavlo_id::kDdrPath, 52, 130, 380,
              kEditHeight, f);
  MakeControl(h, units, L"BUTTON", Shown(writer_text::kChoose), BS_PUSHBUTTON | WS_TABSTOP,
              tavlo_id::kBrowseDdr, 438, 130, 56, kEditHeight, f);
  // The image folder handed to the worker; never shown.
  ShowWindow(MakeControl(h, units, L"EDIT", L"", ES_READONLY, tavlo_id::kPdlPath, 52, 150, 200,
                         kEditHeight, f),
             SW_HIDE);

  m_pictureRect = {units.X(kButtonLeft), units.Y(4), units.X(kButtonLeft + kButtonWidth),
                   units.Y(4 + 112)};

  HWND hLog = MakeControl(h, units, RICHEDIT_CLASSW, L"",
                          WS_BORDER | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL,
                          tavlo_id::kLog, 7, 158, 496, 236, f);
  SendMessageW(hLog, EM_SETBKGNDCOLOR, 0, RGB(0, 0, 0));
  MakeControl(h, units, kTavloBannerClass, L"", 0, tavlo_id::kBanner, 7, 400, 647, 74, nullptr);

  int nTop = 124;
  for (const auto& [pszText, nId] : {std::pair{writer_text::kStart, tavlo_id::kStart},
                                     std::pair{writer_text::kStop, tavlo_id::kStop},
                                     std::pair{writer_text::kResetHistory, tavlo_id::kResetHistory},
                                     std::pair{writer_text::kSetup, tavlo_id::kSetup},
                                     std::pair{writer_text::kExit, tavlo_id::kExit}}) {
    const DWORD dwKind = nId == tavlo_id::kStart ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON;
    MakeControl(h, units, L"BUTTON", Shown(pszText), dwKind | WS_TABSTOP, nId, kButtonLeft, nTop,
                kButtonWidth, kButtonHeight, m_hButtonFont);
    nTop += kButtonPitch;
  }
}

void CTavloFrame::Run() {
  ShowWindow(m_hWnd, SW_SHOWNORMAL);
  UpdateWindow(m_hWnd);
  gui::win32::RunMessageLoop(m_hWnd, m_queue, [this] { Render(); });
}

LRESULT CALLBACK CTavloFrame::WndProc(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam) {
  if (nMsg == WM_NCCREATE) {
    auto* pCreate = reinterpret_cast<CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(pCreate->lpCreateParams));
    reinterpret_cast<CTavloFrame*>(pCreate->lpCreateParams)->m_hWnd = hWnd;
  }
  auto* pFrame = reinterpret_cast<CTavloFrame*>(GetWindowLongPtrW(hWnd, GWLP_USERDATA));
  if (!pFrame) return DefWindowProcW(hWnd, nMsg, wParam, lParam);
  return pFrame->OnMessage(nMsg, wParam, lParam);
}

LRESULT CTavloFrame::OnMessage(UINT nMsg, WPARAM wParam, LPARAM lParam) {
  switch (nMsg) {
    case WM_COMMAND:
      OnCommand(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
      return 0;
    case kRenderMessage:
      m_bRenderPosted = false;
      Render();
      return 0;
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == tavlo_id::kAboutCommand) {
        gui::win32::ShowMessage(m_hWnd, m_texts.Shown(writer_text::kAboutText),
                                m_texts.Shown(writer_text::kAboutTitle));
        return 0;
      }
      if ((wParam & 0xFFF0) == SC_CLOSE && !m_bLeaving) return 0;
      break;
    case WM_CLOSE:
      if (!m_bLeaving) return 0;  // only Exit leaves: it saves the settings
      break;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC hdc = BeginPaint(m_hWnd, &ps);
      PaintPicture(hdc);
      EndPaint(m_hWnd, &ps);
      return 0;
    }
    case WM_DESTROY:
      gui::win32::UnmarkMainWindow(m_hWnd, m_strProgram);
      SetWindowLongPtrW(m_hWnd, GWLP_USERDATA, 0);
      m_hWnd = nullptr;
      return 0;
    default:
      break;
  }
  return DefWindowProcW(m_hWnd, nMsg, wParam, lParam);
}

// The picture at the top right: a phone with its IMEI label.
void CTavloFrame::PaintPicture(HDC hdc) {
  const RECT& r = m_pictureRect;
  HBRUSH hBack = CreateSolidBrush(RGB(236, 240, 246));
  FillRect(hdc, &r, hBack);
  DeleteObject(hBack);
  const int h = (r.bottom - r.top) * 86 / 100, w = h * 52 / 100;
  const int left = (r.left + r.right - w) / 2, top = (r.top + r.bottom - h) / 2;
  HBRUSH hBody = CreateSolidBrush(RGB(58, 64, 76));
  HPEN hPen = CreatePen(PS_SOLID, 2, RGB(40, 44, 52));
  HGDIOBJ hOldBrush = SelectObject(hdc, hBody), hOldPen = SelectObject(hdc, hPen);
  RoundRect(hdc, left, top, left + w, top + h, w / 7, w / 7);
  RECT screen{left + w / 12, top + h / 10, left + w - w / 12, top + h - h / 6};
  HBRUSH hGlass = CreateSolidBrush(RGB(50, 120, 195));
  FillRect(hdc, &screen, hGlass);
  DeleteObject(hGlass);
  SetBkMode(hdc, TRANSPARENT);
  SetTextColor(hdc, RGB(255, 255, 255));
  HGDIOBJ hOldFont = SelectObject(hdc, m_hDialogFont);
  DrawTextW(hdc, L"IMEI", 4, &screen, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
  SelectObject(hdc, hOldFont);
  SelectObject(hdc, hOldBrush);
  SelectObject(hdc, hOldPen);
  DeleteObject(hBody);
  DeleteObject(hPen);
}

void CTavloFrame::OnCommand(int nId, int nCode, HWND hControl) {
  if (!m_pModel) return;
  CTavloWindow& model = *m_pModel;
  for (size_t i = 0; i < 6; ++i) {
    if (nId == tavlo_id::kFields[i]) {
      if (nCode == EN_CHANGE && !m_bRendering) {
        model.SetFieldText(static_cast<ENumberField>(i), gui::win32::GetText(hControl));
        Render();
      }
      return;
    }
  }
  if (nId == tavlo_id::kLcdName) {
    if (nCode == EN_CHANGE && !m_bRendering) model.SetLcdName(gui::win32::GetText(hControl));
    return;
  }
  if (nId == tavlo_id::kLcdType) {
    if (nCode == CBN_SELCHANGE) {
      model.SelectLcdInterface(static_cast<int>(SendMessageW(hControl, CB_GETCURSEL, 0, 0)));
      Render();
    }
    return;
  }
  if (nCode != BN_CLICKED) return;
  // A check box's click asks for the state it does not show.
  const bool bTicked = hControl && !IsChecked(hControl);
  switch (nId) {
    case tavlo_id::kWriteImei:
      model.OnCheckImei(bTicked);
      break;
    case tavlo_id::kWriteMbsn:
      model.OnCheckMbsn(bTicked);
      break;
    case tavlo_id::kWritePsn:
      model.OnCheckPsn(bTicked);
      break;
    case tavlo_id::kWriteLcd:
      model.OnCheckLcdName(bTicked);
      break;
    case tavlo_id::kWriteDdr:
      model.OnCheckDdrFirmware(bTicked);
      break;
    case tavlo_id::kCheckImei:
      model.OnCheckImeiVerify(bTicked);
      break;
    case tavlo_id::kBrowseDdr:
      model.OnBtBrwsDdr();
      break;
    case tavlo_id::kStart:
    case IDOK:  // Enter: Start is the default button
      if (IsWindowEnabled(Item(tavlo_id::kStart))) model.OnStart();
      break;
    case tavlo_id::kStop:
      model.OnStop();
      break;
    case tavlo_id::kResetHistory:
      model.OnResetHistory();
      break;
    case tavlo_id::kSetup:
      model.OnButtonSetup();
      break;
    case tavlo_id::kExit:
      return OnExit();
    default:
      return;
  }
  Render();
}

void CTavloFrame::OnExit() {
  if (!m_pModel) return;
  m_pModel->OnClose();
  Shutdown();
  m_bLeaving = true;
  DestroyWindow(m_hWnd);  // ends Run()
}

void CTavloFrame::Shutdown() {
  if (!m_pModel) return;
  // The model's end stops a run and joins the worker while this window goes
  // on serving its calls.
  if (m_pModel->IsBusy()) m_pModel->OnStop();
  m_pModel.reset();
}

void CTavloFrame::MessageBox(const std::string& strText) {
  gui::win32::ShowMessage(m_hWnd, platform::WideToUtf8(Shown(strText)), m_strProgram);
}

std::optional<std::string> CTavloFrame::ChooseDdrFile() {
  wchar_t szFile[MAX_PATH] = {};
  const std::wstring wstrCurrent = gui::win32::GetWideText(Item(tavlo_id::kDdrPath));
  wcsncpy(szFile, wstrCurrent.c_str(), MAX_PATH - 1);
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = m_hWnd;
  ofn.lpstrFilter = L"Txt Files (*.bin)\0*.bin\0";
  ofn.lpstrFile = szFile;
  ofn.nMaxFile = MAX_PATH;
  ofn.Flags = OFN_HIDEREADONLY | OFN_FILEMUSTEXIST | OFN_EXPLORER;
  if (!GetOpenFileNameW(&ofn)) return std::nullopt;
  return platform::WideToUtf8(szFile);
}

bool CTavloFrame::RunSetup(CImeiSetup& setup) {
  CSetupFrame dialog(setup, m_hWnd, m_texts, m_strProgram);
  return dialog.Run(m_queue, [this] { Render(); });
}

void CTavloFrame::LogAppended(const SLogLine& line) {
  HWND hLog = Item(tavlo_id::kLog);
  const SLogLook look = LogLook(line.nKind);
  const LRESULT nEnd = GetWindowTextLengthW(hLog);
  SendMessageW(hLog, EM_SETSEL, nEnd, nEnd);
  CHARFORMAT2W format{};
  format.cbSize = sizeof format;
  format.dwMask = CFM_COLOR | CFM_SIZE | CFM_FACE | CFM_BOLD | CFM_ITALIC | CFM_UNDERLINE;
  format.yHeight = look.nTwips;
  format.crTextColor = Rgb(look.colour);
  wcscpy(format.szFaceName, L"System");
  SendMessageW(hLog, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
  const std::wstring wstrLine = Shown(line.strText) + L"\r\n";
  SendMessageW(hLog, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(wstrLine.c_str()));
  PostMessageW(hLog, WM_VSCROLL, SB_BOTTOM, 0);
}

void CTavloFrame::LogCleared() {
  SetWindowTextW(Item(tavlo_id::kLog), L"");
}

void CTavloFrame::Changed() {
  if (m_bRenderPosted || !m_hWnd) return;
  m_bRenderPosted = PostMessageW(m_hWnd, kRenderMessage, 0, 0) != FALSE;
}

void CTavloFrame::ServeQueueWhileWaiting(CMessageQueue& queue, int nMs) {
  gui::win32::ServeWhileWaiting(queue, nMs);
}

void CTavloFrame::Render() {
  if (!m_pModel || !m_hWnd) return;
  const SWriterView& view = m_pModel->View();
  m_bRendering = true;
  for (size_t i = 0; i < view.fields.size(); ++i) {
    HWND hField = Item(tavlo_id::kFields[i]);
    gui::win32::SetTextIfChanged(hField, platform::Utf8ToWide(view.fields[i].strText));
    Enable(hField, view.fields[i].bEnabled);
  }
  for (const auto& [nId, bChecked] : {std::pair{tavlo_id::kWriteImei, view.bWriteImei},
                                      std::pair{tavlo_id::kWriteMbsn, view.bWriteMbsn},
                                      std::pair{tavlo_id::kWritePsn, view.bWritePsn},
                                      std::pair{tavlo_id::kWriteLcd, view.bWriteLcd},
                                      std::pair{tavlo_id::kWriteDdr, view.bWriteDdr}}) {
    SetCheck(Item(nId), bChecked);
    Enable(Item(nId), view.bWriteBoxesEnabled);
  }
  SetCheck(Item(tavlo_id::kCheckImei), view.bCheckImei);
  HWND hLcd = Item(tavlo_id::kLcdType);
  if (SendMessageW(hLcd, CB_GETCURSEL, 0, 0) != view.nLcdInterface)
    SendMessageW(hLcd, CB_SETCURSEL, view.nLcdInterface, 0);
  Enable(hLcd, view.bLcdInterfaceEnabled);
  gui::win32::SetTextIfChanged(Item(tavlo_id::kLcdName), platform::Utf8ToWide(view.strLcdName));
  Enable(Item(tavlo_id::kLcdName), view.bLcdNameEnabled);
  gui::win32::SetTextIfChanged(Item(tavlo_id::kDdrPath), platform::Utf8ToWide(view.strDdrPath));
  Enable(Item(tavlo_id::kBrowseDdr), view.bDdrBrowseEnabled);
  gui::win32::SetTextIfChanged(Item(tavlo_id::kCounts), Shown(view.strCounts));

  // The banner's window text is its state's text: what it draws, and what
  // a test or an accessibility tool reads.
  HWND hBanner = Item(tavlo_id::kBanner);
  const LONG_PTR nShownState = GetWindowLongPtrW(hBanner, GWLP_USERDATA);
  const std::wstring wstrBanner = Shown(BannerView(view.nBanner).pszText);
  if (nShownState != view.nBanner || gui::win32::GetWideText(hBanner) != wstrBanner) {
    SetWindowLongPtrW(hBanner, GWLP_USERDATA, view.nBanner);
    SetWindowTextW(hBanner, wstrBanner.c_str());
    InvalidateRect(hBanner, nullptr, FALSE);
  }
  Enable(Item(tavlo_id::kStart), view.bStartEnabled);
  Enable(Item(tavlo_id::kResetHistory), view.bResetEnabled);
  Enable(Item(tavlo_id::kSetup), view.bSetupEnabled);
  Enable(Item(tavlo_id::kExit), view.bExitEnabled);
  // The title's words are translated, the version that follows them is not.
  gui::win32::SetTextIfChanged(m_hWnd,
                               Shown(view.strTitleWords) + platform::Utf8ToWide(view.strTitleRest));
  m_bRendering = false;

  if (view.nFocusMoves != m_nFocusMovesShown && view.focus) {
    HWND hField = Item(tavlo_id::kFields[static_cast<size_t>(*view.focus)]);
    // A field disabled for a run takes the focus once the run has enabled it.
    if (IsWindowEnabled(hField)) {
      m_nFocusMovesShown = view.nFocusMoves;
      SetFocus(hField);
      if (view.bFocusSelectsAll) SendMessageW(hField, EM_SETSEL, 0, -1);
    }
  }
}
