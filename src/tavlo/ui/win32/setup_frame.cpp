#include "tavlo/ui/win32/setup_frame.h"

#include <commdlg.h>

#include "gui/win32/message_box.h"
#include "gui/win32/message_loop.h"
#include "gui/win32/window_text.h"
#include "platform/win32/wide_text.h"
#include "tavlo/ui/setup_layout.h"
#include "tavlo/ui/win32/control_ids.h"
#include "tavlo/ui/win32/layout.h"
#include "tavlo/ui/writer_texts.h"

using namespace tavlo_win32;

namespace {

using namespace setup_layout;

constexpr DWORD kEditStyle = WS_BORDER | ES_AUTOHSCROLL | WS_TABSTOP;

void SetCheck(HWND hButton, bool bChecked) {
  const bool bShown = SendMessageW(hButton, BM_GETCHECK, 0, 0) == BST_CHECKED;
  if (bShown != bChecked)
    SendMessageW(hButton, BM_SETCHECK, bChecked ? BST_CHECKED : BST_UNCHECKED, 0);
}

void Enable(HWND hWnd, bool bEnabled) {
  if ((IsWindowEnabled(hWnd) != FALSE) != bEnabled) EnableWindow(hWnd, bEnabled);
}

}  // namespace

void RegisterSetupWindowClass() {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpfnWndProc = &CSetupFrame::WndProc;
  wc.lpszClassName = kTavloSetupClass;
  RegisterClassExW(&wc);
}

CSetupFrame::CSetupFrame(CImeiSetup& setup, HWND hOwner, const gui::win32::CTextTable& texts,
                         std::string strCaption)
    : m_setup(setup), m_hOwner(hOwner), m_texts(texts), m_strCaption(std::move(strCaption)) {
  m_hDialogFont = MakeFont(L"System", kDialogPoints, false, DEFAULT_CHARSET);
  m_hCaptionFont = MakeFont(L"Arial", kCaptionPoints, false, DEFAULT_CHARSET);
}

CSetupFrame::~CSetupFrame() {
  if (m_hWnd) DestroyWindow(m_hWnd);
  DeleteObject(m_hDialogFont);
  DeleteObject(m_hCaptionFont);
}

std::wstring CSetupFrame::Shown(const std::string& strText) const {
  return ShownLines(m_texts, strText);
}

bool CSetupFrame::Run(CMessageQueue& queue, const std::function<void()>& fnServed) {
  const CDialogUnits units(m_hDialogFont);
  RECT rc{0, 0, units.X(kDialogWidth), units.Y(kDialogHeight)};
  const DWORD dwStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU;
  AdjustWindowRectEx(&rc, dwStyle, FALSE, WS_EX_DLGMODALFRAME);
  RECT owner{};
  GetWindowRect(m_hOwner, &owner);
  const int w = rc.right - rc.left, h = rc.bottom - rc.top;
  m_hWnd = CreateWindowExW(WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT, kTavloSetupClass,
                           Shown(writer_text::kSetup).c_str(), dwStyle,
                           (owner.left + owner.right - w) / 2, (owner.top + owner.bottom - h) / 2,
                           w, h, m_hOwner, nullptr, GetModuleHandleW(nullptr), this);
  if (!m_hWnd) return false;
  Build();
  Render();
  EnableWindow(m_hOwner, FALSE);
  ShowWindow(m_hWnd, SW_SHOWNORMAL);
  gui::win32::RunMessageLoop(m_hWnd, queue, fnServed);
  // Enabled before the dialog is gone, so that the owner takes the activation.
  EnableWindow(m_hOwner, TRUE);
  SetActiveWindow(m_hOwner);
  return m_bOk;
}

void CSetupFrame::Build() {
  const CDialogUnits units(m_hDialogFont);
  HWND h = m_hWnd;
  HFONT c = m_hCaptionFont, f = m_hDialogFont;
  MakeControl(h, units, L"BUTTON", Shown(writer_text::kSimCount), BS_GROUPBOX, 1059, 7, 7, 170, 62,
              c);
  for (int i = 0; i < 4; ++i) {
    MakeControl(h, units, L"BUTTON", Shown(writer_text::kSimCounts[i]),
                BS_RADIOBUTTON | WS_TABSTOP | (i == 0 ? WS_GROUP : 0), tavlo_id::kSims[i],
                16 + 80 * (i % 2), 20 + 16 * (i / 2), 72, 12, c);
  }
  MakeControl(h, units, L"BUTTON", Shown(writer_text::kAllSame), BS_CHECKBOX | WS_TABSTOP,
              tavlo_id::kAllSame, 16, 52, 150, 12, c);
  MakeControl(h, units, L"BUTTON", Shown(writer_text::kChip), BS_GROUPBOX, 1063, 184, 7, 86, 62, c);
  HWND hChips = MakeControl(h, units, L"COMBOBOX", L"", CBS_DROPDOWNLIST | WS_VSCROLL,
                            tavlo_id::kChipList, 192, 24, 70, 80, f);
  MakeControl(h, units, L"BUTTON", Shown(writer_text::kPorts), BS_GROUPBOX, 1064, 276, 7, 87, 62,
              c);
  HWND hPorts = MakeControl(h, units, L"COMBOBOX", L"", CBS_DROPDOWN | WS_VSCROLL,
                            tavlo_id::kPortList, 284, 24, 72, 80, f);

  // Filled once, as the dialog opens; both lists only show.
  const SSetupView& view = m_setup.View();
  for (const std::string& strChip : view.chipNames) {
    SendMessageW(hChips, CB_ADDSTRING, 0,
                 reinterpret_cast<LPARAM>(platform::Utf8ToWide(strChip).c_str()));
  }
  SendMessageW(hChips, CB_SETCURSEL, static_cast<WPARAM>(view.nChip), 0);
  for (const std::string& strPort : view.ports) {
    SendMessageW(hPorts, CB_ADDSTRING, 0,
                 reinterpret_cast<LPARAM>(platform::Utf8ToWide(strPort).c_str()));
  }
  EnableWindow(hChips, FALSE);
  EnableWindow(hPorts, FALSE);

  static constexpr const char* kTitles[] = {writer_text::kImei, writer_text::kMbsn,
                                            writer_text::kPsn};
  static constexpr const char* kTypeTexts[] = {writer_text::kManual, writer_text::kFromFile,
                                               writer_text::kCustom};
  static constexpr int kGroups[] = {1060, 1061, 1062};
  static constexpr int kInitLabels[] = {1065, 1067, 1069}, kMaskLabels[] = {1066, 1068, 1070};
  for (size_t k = 0; k < 3; ++k) {
    const int nTop = kKindTops[k];
    MakeControl(h, units, L"BUTTON", Shown(kTitles[k]), BS_GROUPBOX, kGroups[k], 7, nTop, 356,
                kKindHeight, c);
    for (int t = 0; t < 3; ++t) {
      MakeControl(h, units, L"BUTTON", Shown(kTypeTexts[t]),
                  BS_RADIOBUTTON | WS_TABSTOP | (t == 0 ? WS_GROUP : 0), tavlo_id::kTypes[k][t],
                  16 + 72 * t, nTop + kTypeRow, 68, 12, c);
    }
    if (k == 0) {
      MakeControl(h, units, L"BUTTON", Shown(writer_text::kCustom14), BS_CHECKBOX | WS_TABSTOP,
                  tavlo_id::kImei14, 236, nTop + kTypeRow, 120, 12, c);
    }
    MakeControl(h, units, L"EDIT", L"", kEditStyle | ES_READONLY, tavlo_id::kFiles[k], 16,
                nTop + kFileRow, 276, kEditHeight, f);
    MakeControl(h, units, L"BUTTON", Shown(writer_text::kChoose), BS_PUSHBUTTON | WS_TABSTOP,
                tavlo_id::kBrowses[k], 298, nTop + kFileRow, 56, kEditHeight, c);
    const int nRange = nTop + kRangeRow;
    MakeControl(h, units, L"STATIC", Shown(writer_text::kInitCode), SS_LEFT, kInitLabels[k], 16,
                nRange + 2, 40, 10, c);
    // The IMEI's initial number takes digits only; masks also take "*".
    MakeControl(h, units, L"EDIT", L"", kEditStyle | (k == 0 ? ES_NUMBER : 0), tavlo_id::kInits[k],
                58, nRange, 120, kEditHeight, f);
    MakeControl(h, units, L"STATIC", Shown(writer_text::kMask), SS_LEFT, kMaskLabels[k], 190,
                nRange + 2, 30, 10, c);
    MakeControl(h, units, L"EDIT", L"", kEditStyle, tavlo_id::kMasks[k], 222, nRange, 132,
                kEditHeight, f);
  }
  MakeControl(h, units, L"BUTTON", Shown(writer_text::kOk), BS_DEFPUSHBUTTON | WS_TABSTOP, IDOK,
              232, 304, 62, 16, c);
  MakeControl(h, units, L"BUTTON", Shown(writer_text::kCancel), BS_PUSHBUTTON | WS_TABSTOP,
              IDCANCEL, 301, 304, 62, 16, c);
}

LRESULT CALLBACK CSetupFrame::WndProc(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam) {
  if (nMsg == WM_NCCREATE) {
    auto* pCreate = reinterpret_cast<CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(pCreate->lpCreateParams));
    reinterpret_cast<CSetupFrame*>(pCreate->lpCreateParams)->m_hWnd = hWnd;
  }
  auto* pFrame = reinterpret_cast<CSetupFrame*>(GetWindowLongPtrW(hWnd, GWLP_USERDATA));
  if (!pFrame) return DefWindowProcW(hWnd, nMsg, wParam, lParam);
  return pFrame->OnMessage(nMsg, wParam, lParam);
}

LRESULT CSetupFrame::OnMessage(UINT nMsg, WPARAM wParam, LPARAM lParam) {
  switch (nMsg) {
    case WM_COMMAND:
      OnCommand(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
      return 0;
    case WM_CLOSE:
      DestroyWindow(m_hWnd);  // as Cancel
      return 0;
    case WM_DESTROY:
      EnableWindow(m_hOwner, TRUE);
      SetWindowLongPtrW(m_hWnd, GWLP_USERDATA, 0);
      m_hWnd = nullptr;
      return 0;
    default:
      return DefWindowProcW(m_hWnd, nMsg, wParam, lParam);
  }
}

void CSetupFrame::OnCommand(int nId, int nCode, HWND hControl) {
  for (ESourceKind eKind : kSourceKinds) {
    const size_t k = static_cast<size_t>(eKind);
    if (nId == tavlo_id::kInits[k] || nId == tavlo_id::kMasks[k]) {
      if (nCode != EN_CHANGE || m_bRendering) return;
      const std::string strText = gui::win32::GetText(hControl);
      if (nId == tavlo_id::kInits[k]) {
        m_setup.SetInitText(eKind, strText);
      } else {
        m_setup.SetMaskText(eKind, strText);
      }
      return Render();
    }
    if (nCode != BN_CLICKED) continue;
    for (int t = 0; t < 3; ++t) {
      if (nId == tavlo_id::kTypes[k][t]) {
        m_setup.OnRadioInputType(eKind, static_cast<InputType>(t));
        return Render();
      }
    }
    if (nId == tavlo_id::kBrowses[k]) return ChooseListFile(eKind);
  }
  if (nCode != BN_CLICKED) return;
  const bool bTicked = hControl && SendMessageW(hControl, BM_GETCHECK, 0, 0) != BST_CHECKED;
  for (int i = 0; i < 4; ++i) {
    if (nId == tavlo_id::kSims[i]) {
      m_setup.OnRadioSim(i + 1);
      return Render();
    }
  }
  switch (nId) {
    case tavlo_id::kAllSame:
      m_setup.OnCheckAllSame(bTicked);
      return Render();
    case tavlo_id::kImei14:
      m_setup.OnCheck14Char(bTicked);
      return Render();
    case IDOK:
      return OnOK();
    case IDCANCEL:
      DestroyWindow(m_hWnd);
      return;
    default:
      return;
  }
}

void CSetupFrame::ChooseListFile(ESourceKind eKind) {
  const SSourceView& source = m_setup.View().sources[static_cast<size_t>(eKind)];
  wchar_t szFile[MAX_PATH] = {};
  wcsncpy(szFile, platform::Utf8ToWide(source.strFile).c_str(), MAX_PATH - 1);
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = m_hWnd;
  ofn.lpstrFilter = L"Txt Files (*.txt)\0*.txt\0All Files (*.*)\0*.*\0";
  ofn.lpstrFile = szFile;
  ofn.nMaxFile = MAX_PATH;
  ofn.Flags = OFN_HIDEREADONLY | OFN_FILEMUSTEXIST | OFN_EXPLORER;
  if (GetOpenFileNameW(&ofn)) m_setup.OnChooseListFile(eKind, platform::WideToUtf8(szFile));
  Render();
}

void CSetupFrame::OnOK() {
  std::string strMessage;
  if (!m_setup.OnOK(&strMessage)) {
    gui::win32::ShowMessage(m_hWnd, platform::WideToUtf8(Shown(strMessage)), m_strCaption);
    return;
  }
  m_bOk = true;
  DestroyWindow(m_hWnd);
}

void CSetupFrame::Render() {
  if (!m_hWnd) return;
  const SSetupView& view = m_setup.View();
  m_bRendering = true;
  for (int i = 0; i < 4; ++i) SetCheck(Item(tavlo_id::kSims[i]), view.nSimCount == i + 1);
  SetCheck(Item(tavlo_id::kAllSame), view.bAllSame);
  SetCheck(Item(tavlo_id::kImei14), view.b14Digits);
  Enable(Item(tavlo_id::kImei14), view.b14DigitsEnabled);
  for (ESourceKind eKind : kSourceKinds) {
    const size_t k = static_cast<size_t>(eKind);
    const SSourceView& source = view.sources[k];
    for (int t = 0; t < 3; ++t) SetCheck(Item(tavlo_id::kTypes[k][t]), source.eInputType == t);
    gui::win32::SetTextIfChanged(Item(tavlo_id::kFiles[k]), platform::Utf8ToWide(source.strFile));
    Enable(Item(tavlo_id::kFiles[k]), source.bFileEnabled);
    Enable(Item(tavlo_id::kBrowses[k]), source.bFileEnabled);
    for (const auto& [nId, strText] : {std::pair{tavlo_id::kInits[k], &source.strInit},
                                       std::pair{tavlo_id::kMasks[k], &source.strMask}}) {
      HWND hEdit = Item(nId);
      // The limit applies to typing; text already there stays as it is.
      SendMessageW(hEdit, EM_LIMITTEXT, source.nInitMaskLimit, 0);
      gui::win32::SetTextIfChanged(hEdit, platform::Utf8ToWide(*strText));
      Enable(hEdit, source.bInitMaskEnabled);
    }
  }
  m_bRendering = false;
}
