// The writer's main window: what it shows at start, what its boxes and
// buttons do, runs on simulated phones as the window shows them, and Exit.

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <sstream>

#include "modal_answerer.h"
#include "tavlo/numbers/number_checks.h"
#include "tavlo/numbers/phone_numbers.h"
#include "tavlo/settings/write_history.h"
#include "tavlo/ui/writer_texts.h"
#include "tavlo_gui_fixture.h"

namespace {

using TavloWindow = CTavloGuiTest;

constexpr const char* kImeiFields[] = {"imei1", "imei2", "imei3", "imei4"};

QString Text(const char* pszSource) {
  return QString::fromUtf8(pszSource);
}

std::string Imei(int n) {
  return AppendImeiCheckDigit("35209900" + std::to_string(100000 + n));
}

// Every value of the settings that wimei.ini keeps, one per line.
std::string Kept(const WriterSettings& s) {
  std::ostringstream out;
  out << s.m_bWriteImei << s.m_bWriteMbsn << s.m_bWritePsn << s.m_bWriteLcd << s.m_bWriteDdr
      << s.m_bCheckImei.Get() << "\n"
      << s.m_nMagicNumber << "\n"
      << s.m_strChipset << "\n"
      << s.m_nImeiCount << s.m_nImeiInputType << s.m_bImei14Digits << s.m_bImeiAllSame << "\n"
      << s.m_strImeiFile << "\n"
      << s.m_strImeiInit15 << " " << s.m_strImeiMask15 << " " << s.m_strImeiInit14 << " "
      << s.m_strImeiMask14 << "\n"
      << s.m_nMbsnLength << " " << s.m_nMbsnInputType << " " << s.m_strMbsnFile << " "
      << s.m_strMbsnInit << " " << s.m_strMbsnMask << "\n"
      << s.m_nPsnLength << " " << s.m_nPsnInputType << " " << s.m_strPsnFile << " "
      << s.m_strPsnInit << " " << s.m_strPsnMask << "\n"
      << s.m_strLcdName << "\n"
      << s.m_strDdrPath << "\n";
  return out.str();
}

TEST_F(TavloWindow, OpensWithTheDefaultSettingsLook) {
  CTavloDlg& dlg = Open("");
  EXPECT_EQ(dlg.windowTitle(), QStringLiteral("IMEI 工具 Release_v 1.0.1"));
  EXPECT_EQ(dlg.minimumSize(), dlg.maximumSize()) << "fixed size";
  EXPECT_FALSE(dlg.windowFlags() & Qt::WindowCloseButtonHint);
  // One SIM: only IMEI 1 takes a number.
  EXPECT_TRUE(Find<QLineEdit>("imei1")->isEnabled());
  for (const char* pszField : {"imei2", "imei3", "imei4"}) {
    EXPECT_FALSE(Find<QLineEdit>(pszField)->isEnabled()) << pszField;
  }
  EXPECT_EQ(Banner()->Status(), 0);
  EXPECT_EQ(Banner()->Text(), Text("关 闭"));
  EXPECT_EQ(Banner()->BkColor(), QColor(230, 230, 210));
  EXPECT_EQ(Banner()->TextColor(), QColor(180, 180, 160));
  auto* pLcdType = Find<QComboBox>("lcdType");
  ASSERT_EQ(pLcdType->count(), 3);
  EXPECT_EQ(pLcdType->itemText(0), QStringLiteral("dsi"));
  EXPECT_EQ(pLcdType->itemText(2), QStringLiteral("mcu"));
  EXPECT_EQ(pLcdType->currentIndex(), 0);
  EXPECT_TRUE(Find<QLineEdit>("ddrPath")->isReadOnly());
  EXPECT_FALSE(Find<QLineEdit>("pdlPath")->isVisible());
  EXPECT_EQ(Find<QLineEdit>("pdlPath")->text(),
            QString::fromStdString(m_app.settings.m_strImageDir));
  EXPECT_TRUE(Find<QCheckBox>("checkImei")->isChecked());
  EXPECT_EQ(Find<QCheckBox>("writeImei")->text(), Text(writer_text::kWriteImei));
  EXPECT_EQ(Find<QGroupBox>("params")->title(), Text(writer_text::kParams));
  const struct {
    const char* pszName;
    const char* pszCaption;
  } buttons[] = {{"start", writer_text::kStart},
                 {"stop", writer_text::kStop},
                 {"resetHistory", writer_text::kResetHistory},
                 {"setup", writer_text::kSetup},
                 {"exit", writer_text::kExit}};
  for (const auto& button : buttons) {
    auto* pButton = Find<QPushButton>(button.pszName);
    EXPECT_EQ(pButton->text(), Text(button.pszCaption));
    EXPECT_EQ(pButton->font().pointSize(), 16);
    EXPECT_TRUE(pButton->font().bold());
    EXPECT_TRUE(dlg.rect().contains(pButton->geometry())) << button.pszName;
  }
  EXPECT_TRUE(dlg.rect().contains(Banner()->geometry()));
  EXPECT_EQ(Find<QTextEdit>("log")->palette().color(QPalette::Base), QColor(Qt::black));
  Screenshot(&dlg, "tavlo-idle");

  // Only Exit leaves the window.
  dlg.close();
  QTest::keyClick(&dlg, Qt::Key_Escape);
  EXPECT_TRUE(dlg.isVisible());
  EXPECT_NE(dlg.Model(), nullptr);
}

TEST_F(TavloWindow, FieldsTakeWhatTheirLimitsAllow) {
  Open("[WMBSN]\nMBSNLEN=6\n[WPSN]\nPSNLEN=4\n");
  auto* pImei = Find<QLineEdit>("imei1");
  QTest::keyClicks(pImei, "35a2099-0012345678901");
  EXPECT_EQ(pImei->text(), QStringLiteral("352099001234567")) << "digits only, at most 15";
  EXPECT_EQ(m_pDlg->Model()->View().fields[0].strText, "352099001234567");
  auto* pMbsn = Find<QLineEdit>("mbsn");
  QTest::keyClicks(pMbsn, "MB-12345");
  EXPECT_EQ(pMbsn->text(), QStringLiteral("MB-123"));
  auto* pPsn = Find<QLineEdit>("psn");
  QTest::keyClicks(pPsn, "P9876");
  EXPECT_EQ(pPsn->text(), QStringLiteral("P987"));
}

TEST_F(TavloWindow, WriteBoxesExcludeEachOtherButLeaveTheImeiFieldsEnabled) {
  Open("ISWIMEI=Yes\n[WIMEI]\nIMEINUM=2\n");
  auto* pWriteImei = Find<QCheckBox>("writeImei");
  auto* pWriteMbsn = Find<QCheckBox>("writeMbsn");
  ASSERT_TRUE(pWriteImei->isChecked());
  QTest::mouseClick(pWriteMbsn, Qt::LeftButton);
  EXPECT_TRUE(pWriteMbsn->isChecked());
  EXPECT_FALSE(pWriteImei->isChecked());
  EXPECT_FALSE(m_app.settings.m_bWriteImei);
  EXPECT_TRUE(m_app.settings.m_bWriteMbsn);
  EXPECT_TRUE(Find<QLineEdit>("imei1")->isEnabled());
  EXPECT_TRUE(Find<QLineEdit>("imei2")->isEnabled());
  EXPECT_TRUE(Find<QLineEdit>("mbsn")->isEnabled());

  // Write IMEI again takes the other two back and enables its fields only.
  QTest::mouseClick(Find<QCheckBox>("writePsn"), Qt::LeftButton);
  QTest::mouseClick(pWriteImei, Qt::LeftButton);
  EXPECT_TRUE(pWriteImei->isChecked());
  EXPECT_FALSE(pWriteMbsn->isChecked());
  EXPECT_FALSE(Find<QCheckBox>("writePsn")->isChecked());
  EXPECT_FALSE(m_app.settings.m_bWritePsn);
  EXPECT_TRUE(Find<QLineEdit>("imei2")->isEnabled());
  EXPECT_FALSE(Find<QLineEdit>("imei3")->isEnabled());
  EXPECT_EQ(m_pDlg->focusWidget(), Find<QLineEdit>("imei1"));

  // Unticking Write IMEI disables its fields.
  QTest::mouseClick(pWriteImei, Qt::LeftButton);
  EXPECT_FALSE(Find<QLineEdit>("imei1")->isEnabled());
  EXPECT_FALSE(m_app.settings.m_bWriteImei);
}

TEST_F(TavloWindow, StartWithWriteDdrAndAnEmptyDdrFieldIsRefused) {
  Open("ISDDR=Yes\n");
  EXPECT_TRUE(Find<QCheckBox>("writeDdr")->isChecked());
  EXPECT_TRUE(Find<QLineEdit>("ddrPath")->text().isEmpty());
  CModalAnswerer answerer;
  Click("start");
  ASSERT_EQ(answerer.Seen().size(), 1u);
  EXPECT_EQ(answerer.Seen()[0].strText, Text("DDR文件不存在"));
  EXPECT_TRUE(answerer.Seen()[0].bOkOnly);
  EXPECT_TRUE(Find<QPushButton>("start")->isEnabled()) << "nothing started";
  EXPECT_FALSE(m_pDlg->Model()->IsBusy());
}

TEST_F(TavloWindow, TheDdrChooserFillsTheFieldButNotTheSettings) {
  WriteFile("ddr.bin", std::string(100, 'd'));
  Open("");
  const QString strDdr = QString::fromStdString(m_base.File("ddr.bin"));
  CModalAnswerer answerer(CModalAnswerer::ChooseFile(strDdr));
  Click("browseDdr");
  ASSERT_EQ(answerer.Seen().size(), 1u);
  EXPECT_EQ(answerer.Seen()[0].nameFilters, QStringList{QStringLiteral("Txt Files (*.bin)")});
  EXPECT_EQ(Find<QLineEdit>("ddrPath")->text(), strDdr);
  EXPECT_EQ(m_app.settings.m_strDdrPath, "");
}

TEST_F(TavloWindow, AnInvalidTypedImeiIsRefusedWithTheFieldSelected) {
  Open("ISWIMEI=Yes\n");
  Plug(1, {});
  auto* pImei = Find<QLineEdit>("imei1");
  const std::string strShort = Imei(1).substr(0, 14);
  QTest::keyClicks(pImei, QString::fromStdString(strShort));
  CModalAnswerer answerer;
  Click("start");
  // The worker's box holds it until answered; the run then ends refused.
  ASSERT_TRUE(WaitFor([&] {
    return !answerer.Seen().empty() && Find<QPushButton>("start")->isEnabled() &&
           m_pDlg->focusWidget() == pImei && pImei->hasSelectedText();
  }));
  ASSERT_EQ(answerer.Seen().size(), 1u);
  EXPECT_EQ(answerer.Seen()[0].strText, Text(kMsgBadImei));
  EXPECT_EQ(answerer.Seen()[0].strTitle, QApplication::applicationName());
  EXPECT_EQ(pImei->selectedText(), QString::fromStdString(strShort));
  EXPECT_TRUE(pImei->isEnabled());
  m_pSocket->Stop();
  EXPECT_EQ(m_pSocket->Report().nHostOpens, 0) << "no port was touched";
}

TEST_F(TavloWindow, AnExitAskedForWhileTheWorkersBoxIsOpenWaitsUntilItIsClosed) {
  CTavloDlg& dlg = Open("ISWIMEI=Yes\n");
  QTest::keyClicks(Find<QLineEdit>("imei1"), QStringLiteral("12345"));
  // A signal arrives while the box holds the worker.
  CModalAnswerer answerer([&](QWidget*) {
    dlg.ExitStoppingRun();
    EXPECT_TRUE(dlg.isVisible());
    return false;
  });
  Click("start");
  ASSERT_TRUE(WaitFor([&] { return !dlg.isVisible(); }));
  ASSERT_EQ(answerer.Seen().size(), 1u);
  EXPECT_EQ(answerer.Seen()[0].strText, Text(kMsgBadImei));
  EXPECT_EQ(dlg.Model(), nullptr);
  EXPECT_NE(ReadWholeFile(m_base.File("ini/wimei.ini")).find("ISWMBSN=No"), std::string::npos)
      << "left through Exit: the settings were saved";
}

TEST_F(TavloWindow, AListRunShowsEachStepAndEndsDone) {
  std::string imeiList;
  for (int n = 1; n <= 4; ++n) imeiList += Imei(n) + "\n";
  WriteFile("imei.txt", imeiList);
  Open("ISWIMEI=Yes\n[WIMEI]\nINPUTTYPE=1\nFILEPATH=" + m_base.File("imei.txt") + "\n");
  // Paced, so that the writing state lasts long enough to be seen; the
  // phone leaves when probed after its write.
  Plug(1, {{"rate", "40000"}, {"fault", "cmd=connect,nth=2,unplug"}});
  Click("start");
  EXPECT_FALSE(Find<QPushButton>("start")->isEnabled());
  EXPECT_FALSE(Find<QPushButton>("exit")->isEnabled());
  EXPECT_FALSE(Find<QPushButton>("setup")->isEnabled());
  EXPECT_TRUE(Find<QPushButton>("stop")->isEnabled());
  EXPECT_FALSE(Find<QLineEdit>("imei1")->isEnabled());
  ASSERT_TRUE(WaitFor([&] { return Banner()->Status() == 2; }));
  EXPECT_EQ(Banner()->Text(), Text("正在写入..."));
  EXPECT_EQ(Banner()->BkColor(), QColor(220, 206, 35));
  Screenshot(m_pDlg.get(), "tavlo-writing");

  ASSERT_TRUE(WaitFor([&] { return Banner()->Status() == 3 && LogHas("Write OK!"); }));
  EXPECT_EQ(Banner()->Text(), Text("完 成"));
  EXPECT_EQ(Banner()->BkColor(), QColor(0, 220, 0));
  EXPECT_EQ(Banner()->TextColor(), QColor(Qt::white));
  EXPECT_EQ(Find<QLabel>("counts")->text(), Text("通过") + " 1 " + Text("失败") + " 0");
  const std::vector<SShownLine> log = Log();
  ASSERT_GE(log.size(), 2u);
  // Progress and the closing line are white, steps that passed green and larger.
  for (const SShownLine& line : log) {
    SCOPED_TRACE(line.strText.toStdString());
    if (line.strText == QStringLiteral("Open port OK!") ||
        line.strText == QStringLiteral("Check IMEI OK!")) {
      EXPECT_EQ(line.colour, QColor(0, 255, 0));
      EXPECT_DOUBLE_EQ(line.dPoints, 16.2);
    }
    if (line.strText == QStringLiteral("Reading factorydata...") ||
        line.strText == QStringLiteral("Write OK!")) {
      EXPECT_EQ(line.colour, QColor(Qt::white));
      EXPECT_DOUBLE_EQ(line.dPoints, 12.8);
    }
  }
  EXPECT_EQ(log.back().strText, QStringLiteral("Write OK!"));
  Screenshot(m_pDlg.get(), "tavlo-done");

  Click("stop");
  EXPECT_TRUE(Find<QPushButton>("start")->isEnabled());
  EXPECT_TRUE(Find<QPushButton>("exit")->isEnabled());
  EXPECT_FALSE(m_pDlg->Model()->IsBusy());
  EXPECT_EQ(m_pDlg->Model()->Worker().PhonesWritten(), 1);
  EXPECT_NE(ReadWholeFile(m_base.File("data/wimei.history")).find(Imei(1)), std::string::npos);
}

TEST_F(TavloWindow, AFailedPhoneTurnsTheBannerRed) {
  Open("ISWIMEI=Yes\n");
  QTest::keyClicks(Find<QLineEdit>("imei1"), QString::fromStdString(Imei(7)));
  Plug(1, {{"fault", "cmd=mid,nth=1,code=9"}});
  Click("start");
  ASSERT_TRUE(WaitFor([&] { return m_pDlg->Model()->RunsEnded() == 1; }));
  QTest::qWait(50);  // the banner's last state is posted
  EXPECT_EQ(Banner()->Status(), 4);
  EXPECT_EQ(Banner()->Text(), Text("失 败"));
  EXPECT_EQ(Banner()->BkColor(), QColor(220, 0, 0));
  bool bFailedLine = false;
  for (const SShownLine& line : Log()) {
    if (line.strText != QStringLiteral("Write failed!")) continue;
    bFailedLine = true;
    EXPECT_EQ(line.colour, QColor(255, 0, 0));
    EXPECT_DOUBLE_EQ(line.dPoints, 16.2);
  }
  EXPECT_TRUE(bFailedLine);
  EXPECT_EQ(Log().back().strText, QStringLiteral("Write Error!"));
  EXPECT_TRUE(Find<QPushButton>("start")->isEnabled());
  Screenshot(m_pDlg.get(), "tavlo-failed");
}

TEST_F(TavloWindow, TypedImeisAreClearedForTheNextPhoneInTheirFieldsOnly) {
  Open("ISWIMEI=Yes\n[WIMEI]\nIMEINUM=2\n");
  QTest::keyClicks(Find<QLineEdit>("imei1"), QString::fromStdString(Imei(1)));
  QTest::keyClicks(Find<QLineEdit>("imei2"), QString::fromStdString(Imei(2)));
  Plug(1, {{"fault", "cmd=connect,nth=2,unplug"}});
  Click("start");
  ASSERT_TRUE(WaitFor([&] { return m_pDlg->Model()->RunsEnded() == 1; }));
  EXPECT_EQ(m_pDlg->Model()->Worker().PhonesWritten(), 1);
  // Code 1 of the worker's notification: fields 1 and 2 cleared and enabled.
  ASSERT_TRUE(WaitFor([&] { return Find<QLineEdit>("imei1")->text().isEmpty(); }));
  EXPECT_TRUE(Find<QLineEdit>("imei2")->text().isEmpty());
  EXPECT_TRUE(Find<QLineEdit>("imei1")->isEnabled());
  EXPECT_TRUE(Find<QLineEdit>("imei2")->isEnabled());
  EXPECT_FALSE(Find<QLineEdit>("imei3")->isEnabled());
  EXPECT_FALSE(Find<QLineEdit>("imei4")->isEnabled());
  EXPECT_EQ(m_pDlg->focusWidget(), Find<QLineEdit>("imei1"));
  const std::string history = ReadWholeFile(m_base.File("data/wimei.history"));
  EXPECT_NE(history.find(Imei(2)), std::string::npos);
}

TEST_F(TavloWindow, ResetHistoryEmptiesTheDataFolderAndAsksForARestart) {
  Open("");
  std::filesystem::create_directories(m_base.File("data"));
  WriteFile("data/wimei.history", "2024-01-01_00:00:00\t" + Imei(3) + "\n");
  CModalAnswerer answerer;
  Click("resetHistory");
  ASSERT_EQ(answerer.Seen().size(), 1u);
  EXPECT_EQ(
      answerer.Seen()[0].strText,
      Text("重置成功!\n请重启IMEI工具!\n重启后, 已归档的号码会再次分配, 除非更改号码范围或列表!"));
  EXPECT_FALSE(std::filesystem::exists(m_base.File("data/wimei.history")));
}

TEST_F(TavloWindow, ExitSavesTheSettingsWhichLoadBackTheSame) {
  CTavloDlg& dlg = Open(
      "ISWIMEI=Yes\nISLCD=Yes\n[WIMEI]\nIMEINUM=3\nINPUTTYPE=2\nINITCODE15=352099001000000\n"
      "MASKCODE15=3520990010000**\n[WMBSN]\nMBSNLEN=12\n[LCD]\nNAME=panel7\n");
  QTest::mouseClick(Find<QCheckBox>("writePsn"), Qt::LeftButton);
  QTest::mouseClick(Find<QCheckBox>("checkImei"), Qt::LeftButton);
  QTest::mouseClick(Find<QCheckBox>("writeDdr"), Qt::LeftButton);
  Click("exit");
  EXPECT_FALSE(dlg.isVisible());
  EXPECT_EQ(dlg.result(), QDialog::Accepted);
  EXPECT_EQ(dlg.Model(), nullptr) << "the worker has ended";

  const std::string saved = ReadWholeFile(m_base.File("ini/wimei.ini"));
  for (const char* pszLine :
       {"MAGIC_NUMBER=0x0badc0de", "CHIPSET=n9820", "ISWIMEI=No", "ISWPSN=Yes", "ISDDR=Yes",
        "ISLCD=Yes", "CHECK_IMEI=No", "IMEINUM=3", "INPUTTYPE=2", "MASKCODE15=3520990010000**",
        "MBSNLEN=12", "NAME=panel7"}) {
    EXPECT_NE(saved.find(std::string(pszLine) + "\n"), std::string::npos) << pszLine << "\n"
                                                                          << saved;
  }
  // The file loads back to the settings the window left.
  WriterSettings loaded;
  ASSERT_TRUE(LoadSettings(m_base.Path(), m_app.chips, &loaded));
  EXPECT_EQ(Kept(loaded), Kept(m_app.settings));
  EXPECT_TRUE(loaded.m_bWritePsn);
  EXPECT_FALSE(loaded.m_bCheckImei);
  EXPECT_EQ(loaded.m_nMagicNumber, 0x0badc0deu);
}

}  // namespace
