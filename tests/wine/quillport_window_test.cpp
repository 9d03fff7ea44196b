// The download tool's Win32 window in this process, under Wine with a
// display: the operator's controls are worked through their window messages
// and the window's answers read back from its controls. Message boxes and
// the file dialog are answered as they open (handed to the test
// by the window's activation hook: the answer is posted to the box before
// its loop runs), so no test guesses how long anything takes.

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "common/version.h"
#include "gui/win32/window_text.h"
#include "pty_phone.h"
#include "quillport/ui/row_drawing.h"
#include "quillport/ui/win32/quillport_win32_dlg.h"

namespace {

using Dlg = CQuillportWin32Dlg;
// A message box's text: 0xFFFF on Windows, 100 in Wine's template.
constexpr int kMessageTextIds[] = {0xFFFF, 100};
constexpr int kFileNameCombo = 0x47C, kFileNameEdit = 0x480;  // cmb13, edt1

class QuillportWindowTest : public ::testing::Test {
 protected:
  void Open(const std::string& strLang = {}) {
    m_pDlg = std::make_unique<Dlg>(GetModuleHandleW(nullptr),
                                   Dlg::SOptions{m_base.Path(), "quillport_window_tests", strLang});
    m_pDlg->SetModalAnswerer([this](HWND hModal) { Answer(hModal); });
  }

  // A message box is read and closed with OK; the file dialog gets the next
  // of m_files typed into its name box, then OK.
  void Answer(HWND hModal) {
    HWND hName = GetDlgItem(hModal, kFileNameCombo);
    if (!hName) hName = GetDlgItem(hModal, kFileNameEdit);
    if (hName) {
      m_boxes.push_back("<file dialog>");
      gui::win32::SetText(hName, m_strFile);
    } else {
      std::string strText = "<no text>";
      for (int nId : kMessageTextIds) {
        if (HWND hText = GetDlgItem(hModal, nId)) strText = gui::win32::GetText(hText);
        if (strText != "<no text>") break;
      }
      m_boxes.push_back(strText);
    }
    // Closed whatever it is, so that a wrong box fails the test, never hangs it.
    PostMessageW(hModal, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(hModal, IDOK)));
  }

  HWND Item(int nId) const { return GetDlgItem(m_pDlg->Handle(), nId); }
  std::string Text(int nId) const { return gui::win32::GetText(Item(nId)); }
  void Click(int nId) { SendMessageW(Item(nId), BM_CLICK, 0, 0); }
  bool Enabled(int nId) const { return IsWindowEnabled(Item(nId)) != FALSE; }

  CTempDir m_base;
  std::unique_ptr<Dlg> m_pDlg;
  std::vector<std::string> m_boxes;
  std::string m_strFile;
};

TEST_F(QuillportWindowTest, RestartWithoutAPackageAsksForOneAndStartsNothing) {
  Open();
  Click(Dlg::kCheckId);
  Click(Dlg::kRestartId);
  ASSERT_EQ(m_boxes.size(), 1u);
  EXPECT_EQ(m_boxes[0], "请选择下载文件!");
  EXPECT_TRUE(Enabled(Dlg::kStartAllId));
  EXPECT_FALSE(Enabled(Dlg::kStopAllId));
  EXPECT_TRUE(Enabled(Dlg::kRestartId));
}

TEST_F(QuillportWindowTest, RowsFollowTheirBoxesAndStartTakesTheTimeoutBox) {
  Open();
  // No download.ini: every row starts unticked, its boxes disabled.
  EXPECT_EQ(SendMessageW(Item(Dlg::kCheckId), BM_GETCHECK, 0, 0), BST_UNCHECKED);
  EXPECT_FALSE(Enabled(Dlg::StateBoxId(0)));
  Click(Dlg::kCheckId);
  EXPECT_EQ(SendMessageW(Item(Dlg::kCheckId), BM_GETCHECK, 0, 0), BST_CHECKED);
  for (int nId : {Dlg::StateBoxId(0), Dlg::kStatusId, Dlg::kRestartId, Dlg::kProgressId}) {
    EXPECT_TRUE(Enabled(nId)) << nId;
  }
  EXPECT_FALSE(Enabled(Dlg::StateBoxId(1)));
  EXPECT_TRUE(Enabled(Dlg::kPortLabelId + 1));  // the port label and timer stay enabled
  EXPECT_EQ(Text(Dlg::kStatusId), "关闭");
  EXPECT_EQ(Text(Dlg::kTimerId), "00:00:00");

  SendMessageW(Item(Dlg::kTimeoutId), CB_SETCURSEL, 0, 0);  // "3000"
  m_pDlg->Model()->SetPackagePath(m_base.File("gone_norq_total.bin"));
  Click(Dlg::kStartAllId);
  // The loader's own box, then the window's.
  ASSERT_EQ(m_boxes.size(), 2u);
  EXPECT_EQ(m_boxes[1], "load " + m_base.File("gone_norq_total.bin") + " file failed!");
  EXPECT_EQ(m_pDlg->Model()->TimeoutMs(), 3000);
  // A failed load at Start all keeps the selection locked.
  EXPECT_FALSE(Enabled(Dlg::kCheckId));
}

TEST_F(QuillportWindowTest, TitleFromTheVersionResourceAndEnglishOnRequest) {
  Open();
  EXPECT_EQ(gui::win32::GetText(m_pDlg->Handle()), std::string("下载工具_v ") + kProductVersion);
  EXPECT_EQ(Text(Dlg::kStartAllId), "全部开始");
  m_pDlg.reset();
  Open("en");
  EXPECT_EQ(gui::win32::GetText(m_pDlg->Handle()),
            std::string("Download tool_v ") + kProductVersion);
  EXPECT_EQ(Text(Dlg::kStartAllId), "Start all");
  EXPECT_EQ(Text(Dlg::kStatusId), "Closed");
}

// What every front end paints for a progress bar.
TEST(RowDrawing, BandsFillWidthAndPercentage) {
  const SProgressDrawing empty =
      DrawProgress(-1, Rgb(0, 255, 0), Rgb(128, 255, 128), COLOR_IDLE, COLOR_BLUE, 224, true);
  EXPECT_TRUE(empty.bands.empty());
  EXPECT_TRUE(empty.strPercent.empty());
  EXPECT_EQ(empty.bk, COLOR_IDLE);

  const SProgressDrawing full =
      DrawProgress(100, Rgb(0, 255, 0), Rgb(128, 255, 128), COLOR_BASE, COLOR_BLUE, 300, true);
  ASSERT_EQ(full.bands.size(), 128u);
  EXPECT_EQ(full.bands.back().nRight, 300);
  EXPECT_EQ(full.bands.front().clr, Rgb(0, 255, 0));
  EXPECT_EQ(full.strPercent, "100%");

  // Position 0 still colours the first band; the orange pair has 55 bands.
  const SProgressDrawing start =
      DrawProgress(0, Rgb(200, 100, 52), Rgb(255, 128, 64), COLOR_BASE, COLOR_BLUE, 550, true);
  ASSERT_EQ(start.bands.size(), 1u);
  EXPECT_EQ(start.bands[0].nRight, 10);  // 550 / 55
  EXPECT_EQ(start.strPercent, "0%");
  const SProgressDrawing half =
      DrawProgress(50, Rgb(200, 100, 52), Rgb(255, 128, 64), COLOR_BASE, COLOR_BLUE, 550, false);
  EXPECT_EQ(half.bands.back().nRight, 280);  // the first boundary past 275
  EXPECT_TRUE(half.strPercent.empty());
}

}  // namespace
