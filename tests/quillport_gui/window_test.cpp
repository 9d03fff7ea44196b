// The main window: what it shows at start, what its buttons do, and rows
// served by simulated phones.

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>

#include "gui_fixture.h"
#include "modal_answerer.h"
#include "quillport/ui/window_texts.h"

namespace {

using QuillportWindow = CQuillportGuiTest;

constexpr int kLongWaitMs = 90000;  // a generous bound for downloads under sanitizers

QString Text(const char* pszSource) {
  return QString::fromUtf8(pszSource);
}

TEST_F(QuillportWindow, OpensWithEightRowsInTheInitialLook) {
  WriteStationSettings(m_base.Path(), {0, 2});
  CQuillportDlg& dlg = Open();
  EXPECT_EQ(dlg.windowTitle(), QStringLiteral("下载工具_v 1.0.1"));
  EXPECT_EQ(dlg.minimumSize(), dlg.maximumSize()) << "fixed size";
  for (int i = 0; i < kPortRows; ++i) {
    SCOPED_TRACE(i);
    const bool bUsed = i == 0 || i == 2;
    EXPECT_EQ(Row<QCheckBox>(i, "check")->isChecked(), bUsed);
    auto* pStatus = Row<CColorEdit>(i, "status");
    EXPECT_EQ(pStatus->text(), Text(window_text::kClosed));
    EXPECT_EQ(pStatus->BkColor(), Qrgb(COLOR_BASE));
    EXPECT_EQ(pStatus->TextColor(), Qrgb(COLOR_BLUE));
    EXPECT_EQ(pStatus->isEnabled(), bUsed);
    EXPECT_EQ(StateText(i), Text(window_text::kIdle));
    EXPECT_EQ(Row<CColorEdit>(i, "port")->text(), Text(window_text::kPort));
    EXPECT_EQ(Row<CGradientProgressCtrl>(i, "progress")->Pos(), -1);
    EXPECT_EQ(Row<CTimerEdit>(i, "timer")->text(), QStringLiteral("00:00:00"));
    EXPECT_EQ(Row<CColorWnd>(i, "dot")->Color(), Qrgb(COLOR_BASE));
    EXPECT_EQ(Row<QPushButton>(i, "restart")->text(), Text(window_text::kDownload));
    // Every row lies below the one before it, inside the window.
    if (i > 0) {
      EXPECT_GT(Row<CColorEdit>(i, "status")->y(),
                Row<CColorEdit>(i - 1, "status")->geometry().bottom());
    }
    EXPECT_TRUE(dlg.rect().contains(Row<QPushButton>(i, "restart")->geometry()));
  }
  EXPECT_TRUE(Find<QPushButton>("startAll")->isEnabled());
  EXPECT_FALSE(Find<QPushButton>("stopAll")->isEnabled());
  EXPECT_EQ(Find<QPushButton>("startAll")->text(), Text(window_text::kStartAll));
  EXPECT_EQ(Find<QPushButton>("stopAll")->text(), Text(window_text::kStopAll));
  EXPECT_FALSE(Find<QCheckBox>("formatFlash")->isEnabled());
  EXPECT_EQ(Find<QComboBox>("timeout")->currentText(), QStringLiteral("120000"));
  EXPECT_EQ(Find<QComboBox>("timeout")->count(), 14);
  for (const char* pszHidden : {"cfpPath", "cfpBrowse", "cfpClear", "key"}) {
    EXPECT_FALSE(Find<QWidget>(QString::fromLatin1(pszHidden))->isVisible()) << pszHidden;
  }
  EXPECT_EQ(Find<QLabel>("banner")->text(), Text(window_text::kBanner));
  EXPECT_EQ(Find<QLabel>("tip")->text(), Text(window_text::kTip));
  EXPECT_TRUE(dlg.rect().contains(Find<QLabel>("tip")->geometry()));
  Screenshot("quillport-idle");
}

TEST_F(QuillportWindow, StartAllWithNoRowTickedStartsNothingAndSwapsTheButtons) {
  CQuillportDlg& dlg = Open();
  dlg.Model()->SetPackagePath(MakePackage());
  CModalAnswerer answerer;
  Click("startAll");
  EXPECT_TRUE(answerer.Seen().empty());
  EXPECT_FALSE(Find<QPushButton>("startAll")->isEnabled());
  EXPECT_TRUE(Find<QPushButton>("stopAll")->isEnabled());
  EXPECT_FALSE(Row<QCheckBox>(0, "check")->isEnabled()) << "the port selection is locked";
  EXPECT_FALSE(dlg.Model()->AnyBusy());
  Click("stopAll");
  EXPECT_TRUE(Find<QPushButton>("startAll")->isEnabled());
  EXPECT_TRUE(Row<QCheckBox>(0, "check")->isEnabled());
}

TEST_F(QuillportWindow, StartAllWithoutAPackageAsksForOneAndOffersTheFileDialog) {
  Open();
  CModalAnswerer answerer;
  Click("startAll");
  ASSERT_EQ(answerer.Seen().size(), 2u);
  const CModalAnswerer::SSeen& box = answerer.Seen()[0];
  EXPECT_EQ(box.strClass, QStringLiteral("QMessageBox"));
  EXPECT_EQ(box.strText, Text(window_text::kChoosePackage));
  EXPECT_EQ(box.strTitle, QApplication::applicationName());
  EXPECT_TRUE(box.bOkOnly);
  const CModalAnswerer::SSeen& files = answerer.Seen()[1];
  EXPECT_EQ(files.strObjectName, QStringLiteral("packageFileDialog"));
  EXPECT_EQ(files.nameFilters, QStringList{QStringLiteral("Bin Files (*_norq_total.bin)")});
  EXPECT_TRUE(Find<QPushButton>("startAll")->isEnabled()) << "nothing started";
}

TEST_F(QuillportWindow, BrowseLoadsTheChosenPackageAndShowsItsPath) {
  Open();
  const QString strPackage = QString::fromStdString(MakePackage());
  CModalAnswerer answerer(CModalAnswerer::ChooseFile(strPackage));
  Click("browse");
  ASSERT_EQ(answerer.Seen().size(), 1u) << "no message box: the package loaded";
  EXPECT_EQ(Find<QLineEdit>("packagePath")->text(), strPackage);
  ASSERT_TRUE(m_pDlg->Model()->Package());
  EXPECT_EQ(m_pDlg->Model()->Package()->Entries().size(), 5u);
}

TEST_F(QuillportWindow, UntickingARowDisablesItsControlsButNotItsLabelAndTimer) {
  WriteStationSettings(m_base.Path(), {1});
  Open();
  QTest::mouseClick(Row<QCheckBox>(1, "check"), Qt::LeftButton);
  EXPECT_FALSE(Row<QCheckBox>(1, "check")->isChecked());
  for (const char* pszPart : {"state", "status", "dot", "progress", "restart"}) {
    EXPECT_FALSE(Row<QWidget>(1, pszPart)->isEnabled()) << pszPart;
  }
  for (const char* pszPart : {"port", "timer"}) {
    EXPECT_TRUE(Row<QWidget>(1, pszPart)->isEnabled()) << pszPart;
  }
  QTest::mouseClick(Row<QCheckBox>(1, "check"), Qt::LeftButton);
  EXPECT_TRUE(Row<QWidget>(1, "status")->isEnabled());
}

TEST_F(QuillportWindow, APassedPhoneTurnsItsRowGreenAndAFailedOneRed) {
  // The passed phone stays listed after power-off, so its row stays green
  // until it goes; the failed one keeps answering the probes.
  Plug(61, {{"power-off-ms", "60000"}});
  Plug(62, {{"fault", "cmd=mid,image=system,chunk=2,code=9"}});
  WriteStationSettings(m_base.Path(), {0, 1});
  CQuillportDlg& dlg = Open();
  dlg.Model()->SetPackagePath(MakePackage());
  Click("startAll");
  int nPassed = -1, nFailed = -1;
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        for (int i : {0, 1}) {
          if (StatusText(i) == Text(window_text::kDone)) nPassed = i;
          if (StateText(i).startsWith(Text(window_text::kError))) nFailed = i;
        }
        return nPassed >= 0 && nFailed >= 0;
      },
      kLongWaitMs));
  dlg.Render();  // what a batch may still hold
  Screenshot("quillport-passed-failed");

  // The state box carries the row's passed / failed count.
  EXPECT_EQ(StateText(nPassed), Text(window_text::kDone) + QStringLiteral("  1 / 0"));
  EXPECT_EQ(StateText(nFailed), Text(window_text::kError) + QStringLiteral("  0 / 1"));
  EXPECT_EQ(Row<CColorEdit>(nPassed, "status")->BkColor(), Qrgb(COLOR_PASS));
  EXPECT_EQ(Row<CColorWnd>(nPassed, "dot")->Color(), Qrgb(COLOR_PASS));
  EXPECT_EQ(Row<CGradientProgressCtrl>(nPassed, "progress")->Pos(), 100);

  EXPECT_EQ(StatusText(nFailed), QStringLiteral("Get data[ACK] command failed!"));
  EXPECT_EQ(Row<CColorEdit>(nFailed, "status")->BkColor(), Qrgb(COLOR_FAIL));
  EXPECT_EQ(Row<CColorEdit>(nFailed, "status")->TextColor(), QColor(Qt::white));
  EXPECT_EQ(Row<CColorWnd>(nFailed, "dot")->Color(), Qrgb(COLOR_FAIL));
  EXPECT_TRUE(Row<QPushButton>(nFailed, "restart")->isEnabled());

  Click("stopAll");
  EXPECT_FALSE(dlg.Model()->AnyBusy());
  for (int i : {0, 1}) {
    EXPECT_EQ(StatusText(i), Text(window_text::kStopped));
    EXPECT_EQ(Row<CGradientProgressCtrl>(i, "progress")->Pos(), -1);
  }
  EXPECT_EQ(StatusText(2), Text(window_text::kClosed)) << "unticked rows keep their look";
  EXPECT_TRUE(Find<QPushButton>("startAll")->isEnabled());
}

// Slow phones: every ticked row is mid-transfer when the test acts.
class QuillportWindowDownloading : public CQuillportGuiTest {
 protected:
  void StartSlowDownloads() {
    Plug(71, {{"rate", "150000"}});
    Plug(72, {{"rate", "150000"}});
    WriteStationSettings(m_base.Path(), {0, 1});
    // Qt starts threads of its own the first time a window shows: a window
    // opened and closed first has them counted.
    Open();
    m_pDlg.reset();
    m_nThreadsBefore = CountThreads();
    CQuillportDlg& dlg = Open();
    dlg.Model()->SetPackagePath(MakePackage());
    Click("startAll");
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
          return Row<CGradientProgressCtrl>(0, "progress")->Pos() > 0 &&
                 Row<CGradientProgressCtrl>(1, "progress")->Pos() > 0 &&
                 StateText(0).contains(QStringLiteral(" of ")) &&
                 StateText(1).contains(QStringLiteral(" of "));
        },
        kLongWaitMs));
  }
  // Workers and port monitors gone: everything the window started has ended.
  void ExpectWorkersJoined() {
    EXPECT_TRUE(QTest::qWaitFor([] { return CountThreads("port-monitor") == 0; }, 5000))
        << "a port is still open";
    EXPECT_TRUE(QTest::qWaitFor([&] { return CountThreads() <= m_nThreadsBefore; }, 5000))
        << CountThreads() << " threads, " << m_nThreadsBefore << " before";
  }
  int m_nThreadsBefore = 0;
};

TEST_F(QuillportWindowDownloading, StopAllResetsTheTickedRowsToStopped) {
  StartSlowDownloads();
  Screenshot("quillport-downloading");
  EXPECT_EQ(Row<CColorWnd>(0, "dot")->Color(), Qrgb(COLOR_BUSY));
  // The timer box ticks with the model's clock while the phone runs.
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return Row<CTimerEdit>(0, "timer")->text() != QStringLiteral("00:00:00"); }, 5000));
  Click("stopAll");
  EXPECT_EQ(Row<CTimerEdit>(0, "timer")->text().toStdString(),
            m_pDlg->Model()->View().rows[0].timer.Text());
  EXPECT_FALSE(m_pDlg->Model()->AnyBusy());
  for (int i : {0, 1}) {
    EXPECT_EQ(StatusText(i), Text(window_text::kStopped));
    EXPECT_EQ(Row<CGradientProgressCtrl>(i, "progress")->Pos(), -1);
    EXPECT_TRUE(Row<QPushButton>(i, "restart")->isEnabled());
  }
}

TEST_F(QuillportWindowDownloading, ClosingSavesTheSelectionAndEndsTheWorkersCleanly) {
  StartSlowDownloads();
  std::filesystem::remove(m_base.File("ini/download.ini"));
  EXPECT_TRUE(m_pDlg->close());
  EXPECT_EQ(m_pDlg->Model(), nullptr);
  EXPECT_NE(ReadWholeFile(m_base.File("ini/download.ini")).find("[PORT_2]\nISUSED=Yes"),
            std::string::npos);
  ExpectWorkersJoined();
}

TEST_F(QuillportWindowDownloading, EscapeStopsTheRowsAsCleanlyAsClosing) {
  StartSlowDownloads();
  std::filesystem::remove(m_base.File("ini/download.ini"));
  QTest::keyClick(m_pDlg.get(), Qt::Key_Escape);
  EXPECT_FALSE(m_pDlg->isVisible());
  EXPECT_EQ(m_pDlg->Model(), nullptr);
  EXPECT_FALSE(std::filesystem::exists(m_base.File("ini/download.ini")))
      << "Escape leaves the port selection unsaved";
  ExpectWorkersJoined();
}

}  // namespace
