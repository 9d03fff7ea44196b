// The writer's Win32 windows under Wine with a display: the real main window
// and Setup dialog, driven through their controls' window messages as an
// operator's clicks and typing arrive, with every message box answered as it
// opens (a CBT hook sees it activate; nothing waits for time to pass).

#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "gui/win32/window_text.h"
#include "pty_phone.h"
#include "tavlo/ui/startup.h"
#include "tavlo/ui/win32/control_ids.h"
#include "tavlo/ui/win32/layout.h"
#include "tavlo/ui/win32/tavlo_frame.h"
#include "tavlo/ui/writer_texts.h"
#include "writer_station.h"

namespace {

constexpr UINT kWindowOpened = WM_APP + 7;

// Answers every message box of this thread with OK as soon as it opens,
// recording its text, and hands the Setup dialog to the test's script.
// Both run from a message posted to a hidden window of this thread, which
// the modal loops of the box or dialog dispatch.
class CModalAnswerer {
 public:
  CModalAnswerer() {
    s_pThis = this;
    WNDCLASSW wc{};
    wc.lpfnWndProc = &CModalAnswerer::HelperProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"TavloTestHelper";
    RegisterClassW(&wc);
    m_hHelper = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                wc.hInstance, nullptr);
    m_hHook = SetWindowsHookExW(WH_CBT, &CModalAnswerer::CbtProc, nullptr, GetCurrentThreadId());
  }
  ~CModalAnswerer() {
    UnhookWindowsHookEx(m_hHook);
    DestroyWindow(m_hHelper);
    s_pThis = nullptr;
  }

  std::vector<std::string> boxes;     // texts of the boxes answered, in order
  std::function<void(HWND)> fnSetup;  // runs while the Setup dialog is open
  std::vector<std::string> TakeBoxes() { return std::exchange(boxes, {}); }

 private:
  static LRESULT CALLBACK CbtProc(int nCode, WPARAM wParam, LPARAM lParam) {
    if (nCode == HCBT_ACTIVATE && s_pThis) {
      const HWND hWnd = reinterpret_cast<HWND>(wParam);
      // A window is activated again when a box over it closes: once is enough.
      if (s_pThis->m_seen.insert(hWnd).second)
        PostMessageW(s_pThis->m_hHelper, kWindowOpened, 0, reinterpret_cast<LPARAM>(hWnd));
    }
    return CallNextHookEx(nullptr, nCode, wParam, lParam);
  }

  static LRESULT CALLBACK HelperProc(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam) {
    if (nMsg != kWindowOpened || !s_pThis) return DefWindowProcW(hWnd, nMsg, wParam, lParam);
    const HWND hOpened = reinterpret_cast<HWND>(lParam);
    wchar_t szClass[64] = {};
    GetClassNameW(hOpened, szClass, 64);
    if (std::wstring(szClass) == kTavloSetupClass) {
      if (s_pThis->fnSetup) s_pThis->fnSetup(hOpened);
    } else if (std::wstring(szClass) == L"#32770") {
      s_pThis->boxes.push_back(BoxText(hOpened));
      PostMessageW(hOpened, WM_COMMAND, IDOK, 0);
    }
    return 0;
  }

  // A message box's text: its static with text (Windows numbers it 0xFFFF,
  // Wine otherwise; the icon's static has none).
  static std::string BoxText(HWND hBox) {
    std::string strText;
    EnumChildWindows(
        hBox,
        [](HWND hChild, LPARAM lParam) -> BOOL {
          wchar_t szClass[16] = {};
          GetClassNameW(hChild, szClass, 16);
          if (_wcsicmp(szClass, L"Static") != 0) return TRUE;
          std::string strChild = gui::win32::GetText(hChild);
          if (strChild.empty()) return TRUE;
          *reinterpret_cast<std::string*>(lParam) = std::move(strChild);
          return FALSE;
        },
        reinterpret_cast<LPARAM>(&strText));
    // The box shows line breaks as CR LF; the texts are compared with LF.
    std::erase(strText, '\r');
    return strText;
  }

  static inline CModalAnswerer* s_pThis = nullptr;
  HWND m_hHelper = nullptr;
  HHOOK m_hHook = nullptr;
  std::set<HWND> m_seen;
};

std::string Text(HWND hParent, int nId) {
  return gui::win32::GetText(GetDlgItem(hParent, nId));
}
bool Enabled(HWND hParent, int nId) {
  return IsWindowEnabled(GetDlgItem(hParent, nId)) != FALSE;
}
bool Checked(HWND hParent, int nId) {
  return SendMessageW(GetDlgItem(hParent, nId), BM_GETCHECK, 0, 0) == BST_CHECKED;
}
void Click(HWND hParent, int nId) {
  SendMessageW(GetDlgItem(hParent, nId), BM_CLICK, 0, 0);
}
void Type(HWND hParent, int nId, const std::string& strText) {
  gui::win32::SetText(GetDlgItem(hParent, nId), strText);  // WM_SETTEXT, then EN_CHANGE
}

class TavloWin32 : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { RegisterTavloWindowClasses(); }

  void Open(const std::string& strSettings, const std::string& strLang = "") {
    MakeWriterStation(m_base.Path(), 9000, "[CHIP_1]\nCHIPNAME=n7731\nFACTNAME=norqfact\n");
    std::ofstream(m_base.File("ini/wimei.ini"), std::ios::binary)
        << "[GENERAL]\nCHIPSET=n7731\nMAGIC_NUMBER=0x12345678\n"
        << strSettings;
    const std::string strName = "tavlo-win32-test-" + std::to_string(GetCurrentProcessId());
    ASSERT_EQ(StartTavlo(strName, m_base.Path(), &m_app), ETavloStart::Ok);
    m_pFrame = std::make_unique<CTavloFrame>(m_app, tavlo_win32::TavloTexts(strLang), strName);
    m_hWnd = m_pFrame->Handle();
    ShowWindow(m_hWnd, SW_SHOWNORMAL);
  }

  CTempDir m_base;
  STavloApp m_app;
  CModalAnswerer m_answerer;
  std::unique_ptr<CTavloFrame> m_pFrame;
  HWND m_hWnd = nullptr;
};

TEST_F(TavloWin32, OpensWithTheSettingsAndTheWriteBoxesExcludeEachOther) {
  Open("ISWIMEI=Yes\nISLCD=Yes\n[WIMEI]\nIMEINUM=2\n[LCD]\nNAME=panel7\n");
  EXPECT_EQ(gui::win32::GetText(m_hWnd).rfind(writer_text::kTitlePrefix, 0), 0u);
  EXPECT_EQ(Text(m_hWnd, tavlo_id::kBanner), writer_text::kBannerTexts[0]);
  EXPECT_EQ(Text(m_hWnd, tavlo_id::kStart), writer_text::kStart);
  EXPECT_EQ(Text(m_hWnd, tavlo_id::kCounts), "通过 0 失败 0");
  EXPECT_EQ(Text(m_hWnd, tavlo_id::kLcdName), "panel7");
  EXPECT_TRUE(Checked(m_hWnd, tavlo_id::kWriteImei));
  EXPECT_TRUE(Checked(m_hWnd, tavlo_id::kWriteLcd));
  EXPECT_TRUE(Checked(m_hWnd, tavlo_id::kCheckImei));
  // IMEINUM 2: fields 3 and 4 stay disabled.
  EXPECT_TRUE(Enabled(m_hWnd, tavlo_id::kFields[1]));
  EXPECT_FALSE(Enabled(m_hWnd, tavlo_id::kFields[2]));
  EXPECT_FALSE(Enabled(m_hWnd, tavlo_id::kFields[3]));

  // Typed text reaches the model, which keeps an IMEI's digits only.
  Type(m_hWnd, tavlo_id::kFields[0], "3520-9900");
  EXPECT_EQ(Text(m_hWnd, tavlo_id::kFields[0]), "35209900");
  EXPECT_EQ(m_pFrame->Model()->View().fields[0].strText, "35209900");

  // Write MBSN unticks Write IMEI and leaves the IMEI fields enabled.
  Click(m_hWnd, tavlo_id::kWriteMbsn);
  EXPECT_TRUE(Checked(m_hWnd, tavlo_id::kWriteMbsn));
  EXPECT_FALSE(Checked(m_hWnd, tavlo_id::kWriteImei));
  EXPECT_FALSE(m_app.settings.m_bWriteImei);
  EXPECT_TRUE(Enabled(m_hWnd, tavlo_id::kFields[0]));
  Click(m_hWnd, tavlo_id::kWriteImei);
  EXPECT_TRUE(Checked(m_hWnd, tavlo_id::kWriteImei));
  EXPECT_FALSE(Checked(m_hWnd, tavlo_id::kWriteMbsn));
  Click(m_hWnd, tavlo_id::kCheckImei);
  EXPECT_FALSE(m_app.settings.m_bCheckImei);

  SendMessageW(GetDlgItem(m_hWnd, tavlo_id::kLcdType), CB_SETCURSEL, 2, 0);
  SendMessageW(m_hWnd, WM_COMMAND, MAKEWPARAM(tavlo_id::kLcdType, CBN_SELCHANGE),
               reinterpret_cast<LPARAM>(GetDlgItem(m_hWnd, tavlo_id::kLcdType)));
  EXPECT_EQ(m_pFrame->Model()->View().nLcdInterface, 2);
  // The window is left only through Exit.
  SendMessageW(m_hWnd, WM_CLOSE, 0, 0);
  EXPECT_TRUE(IsWindow(m_hWnd));
}

TEST_F(TavloWin32, EnglishTextsWithLangEn) {
  Open("ISWIMEI=Yes\n", "en");
  EXPECT_EQ(gui::win32::GetText(m_hWnd).rfind("IMEI Tool Release_v ", 0), 0u);
  EXPECT_EQ(Text(m_hWnd, tavlo_id::kStart), "Start");
  EXPECT_EQ(Text(m_hWnd, tavlo_id::kBanner), "OFF");
  EXPECT_EQ(Text(m_hWnd, tavlo_id::kCounts), "passed 0 failed 0");
  // Message boxes too, line by line.
  Click(m_hWnd, tavlo_id::kResetHistory);
  const std::vector<std::string> boxes = m_answerer.TakeBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].find("重"), std::string::npos) << boxes[0];
}

TEST_F(TavloWin32, StartRefusalsAreOkOnlyBoxesAndStartStaysEnabled) {
  Open("ISWIMEI=No\nISDDR=No\n");
  Click(m_hWnd, tavlo_id::kStart);
  EXPECT_EQ(m_answerer.TakeBoxes(), std::vector<std::string>{writer_text::kNothingToWrite});
  // Write DDR with an empty DDR field.
  Click(m_hWnd, tavlo_id::kWriteDdr);
  Click(m_hWnd, tavlo_id::kStart);
  EXPECT_EQ(m_answerer.TakeBoxes(), std::vector<std::string>{writer_text::kDdrMissing});
  EXPECT_TRUE(Enabled(m_hWnd, tavlo_id::kStart));
  EXPECT_TRUE(Enabled(m_hWnd, tavlo_id::kSetup));
  EXPECT_FALSE(m_pFrame->Model()->IsBusy());
}

TEST_F(TavloWin32, SetupEnablesByInputTypeRefusesAMissingListAndStoresOnOk) {
  Open("ISWIMEI=Yes\n[WIMEI]\nIMEINUM=1\nINPUTTYPE=0\nFILEPATH=None\n");
  bool bRan = false;
  m_answerer.fnSetup = [&](HWND hSetup) {
    bRan = true;
    EXPECT_EQ(gui::win32::GetText(hSetup), writer_text::kSetup);
    EXPECT_TRUE(Checked(hSetup, tavlo_id::kSims[0]));
    EXPECT_TRUE(Checked(hSetup, tavlo_id::kTypes[0][0]));
    EXPECT_FALSE(Enabled(hSetup, tavlo_id::kFiles[0]));
    EXPECT_FALSE(Enabled(hSetup, tavlo_id::kInits[0]));
    EXPECT_FALSE(Enabled(hSetup, tavlo_id::kChipList));
    EXPECT_EQ(Text(hSetup, tavlo_id::kChipList), "n7731");

    // From a file: the list edit and its chooser, not the range.
    Click(hSetup, tavlo_id::kTypes[0][1]);
    EXPECT_TRUE(Checked(hSetup, tavlo_id::kTypes[0][1]));
    EXPECT_FALSE(Checked(hSetup, tavlo_id::kTypes[0][0]));
    EXPECT_TRUE(Enabled(hSetup, tavlo_id::kFiles[0]));
    EXPECT_TRUE(Enabled(hSetup, tavlo_id::kBrowses[0]));
    EXPECT_FALSE(Enabled(hSetup, tavlo_id::kImei14));
    // "None" is a path, of no file: refused, and the dialog stays.
    Click(hSetup, IDOK);
    EXPECT_EQ(m_answerer.TakeBoxes(), std::vector<std::string>{writer_text::kImeiListMissing});
    ASSERT_TRUE(IsWindow(hSetup));

    // Custom: the range and the 14-digit box; a bad mask is refused too.
    Click(hSetup, tavlo_id::kTypes[0][2]);
    EXPECT_FALSE(Enabled(hSetup, tavlo_id::kFiles[0]));
    EXPECT_TRUE(Enabled(hSetup, tavlo_id::kInits[0]));
    EXPECT_TRUE(Enabled(hSetup, tavlo_id::kImei14));
    Click(hSetup, tavlo_id::kImei14);
    Type(hSetup, tavlo_id::kInits[0], "35209900000000");
    Type(hSetup, tavlo_id::kMasks[0], "35209900******");
    Click(hSetup, tavlo_id::kSims[1]);
    EXPECT_TRUE(Checked(hSetup, tavlo_id::kSims[1]));
    Click(hSetup, IDOK);
    EXPECT_TRUE(m_answerer.TakeBoxes().empty());
    EXPECT_FALSE(IsWindow(hSetup));
  };
  Click(m_hWnd, tavlo_id::kSetup);
  ASSERT_TRUE(bRan);
  EXPECT_EQ(m_app.settings.m_nImeiInputType, INPUT_CUSTOM);
  EXPECT_TRUE(m_app.settings.m_bImei14Digits);
  EXPECT_EQ(m_app.settings.m_strImeiMask14, "35209900******");
  EXPECT_EQ(m_app.settings.m_nImeiCount, 2);
  // The new SIM count shows at once in the main window.
  EXPECT_TRUE(Enabled(m_hWnd, tavlo_id::kFields[1]));
  EXPECT_TRUE(IsWindowEnabled(m_hWnd));

  // Cancel stores nothing.
  m_answerer.fnSetup = [&](HWND hSetup) {
    Click(hSetup, tavlo_id::kTypes[0][0]);
    Click(hSetup, IDCANCEL);
  };
  Click(m_hWnd, tavlo_id::kSetup);
  EXPECT_EQ(m_app.settings.m_nImeiInputType, INPUT_CUSTOM);
}

}  // namespace
