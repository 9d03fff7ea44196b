// The Setup dialog, driven through its widgets: what it shows, the enabled
// states by input type, the list-file choosers and OK's refusals.

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QRadioButton>

#include "modal_answerer.h"
#include "tavlo/numbers/number_checks.h"
#include "tavlo/ui/qt/imei_setup_dlg.h"
#include "tavlo/ui/setup_model.h"
#include "tavlo/ui/writer_texts.h"
#include "tavlo_gui_fixture.h"

namespace {

QString Text(const char* pszSource) {
  return QString::fromUtf8(pszSource);
}

class SetupDialog : public CTavloGuiTest {
 protected:
  void TearDown() override {
    m_pSetupDlg.reset();
    m_pSetup.reset();
    CTavloGuiTest::TearDown();
  }
  // The dialog over the settings of these wimei.ini lines, as Setup opens it.
  CImeiSetupDlg& OpenSetup(const std::string& strSettings, std::vector<std::string> ports = {}) {
    Start(strSettings);
    m_pSetup = std::make_unique<CImeiSetup>(m_app.settings, m_app.chips, std::move(ports));
    m_pSetupDlg = std::make_unique<CImeiSetupDlg>(*m_pSetup, nullptr);
    m_pSetupDlg->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(m_pSetupDlg.get()));
    return *m_pSetupDlg;
  }
  template <typename W>
  W* In(const char* pszName) const {
    W* pWidget = m_pSetupDlg->findChild<W*>(QString::fromLatin1(pszName));
    EXPECT_NE(pWidget, nullptr) << pszName;
    return pWidget;
  }
  void ClickIn(const char* pszName) {
    QTest::mouseClick(In<QAbstractButton>(pszName), Qt::LeftButton);
  }
  // Replaces an edit's text by typing.
  void Retype(const char* pszName, const std::string& strText) {
    auto* pEdit = In<QLineEdit>(pszName);
    pEdit->selectAll();
    QTest::keyClick(pEdit, Qt::Key_Delete);
    QTest::keyClicks(pEdit, QString::fromStdString(strText));
  }

  std::unique_ptr<CImeiSetup> m_pSetup;
  std::unique_ptr<CImeiSetupDlg> m_pSetupDlg;
};

TEST_F(SetupDialog, OpensFromTheSettingsWithTheListsDisabled) {
  CImeiSetupDlg& dlg = OpenSetup(
      "[WIMEI]\nIMEINUM=3\nISALLSAME=Yes\nINPUTTYPE=1\nFILEPATH=/lots/imei.txt\n"
      "[WMBSN]\nINPUTTYPE=2\nMBSNLEN=6\nINITCODE=MB0000\nMASKCODE=MB00**\n",
      {"Gadget Serial (COM9)", "Gadget Serial (COM12)"});
  EXPECT_EQ(dlg.windowTitle(), Text(writer_text::kSetup));
  EXPECT_TRUE(In<QRadioButton>("sim3")->isChecked());
  EXPECT_FALSE(In<QRadioButton>("sim1")->isChecked());
  EXPECT_TRUE(In<QCheckBox>("allSame")->isChecked());
  auto* pChips = In<QComboBox>("chipList");
  ASSERT_EQ(pChips->count(), 2);
  EXPECT_EQ(pChips->itemText(0), QStringLiteral("n7731"));
  EXPECT_EQ(pChips->currentText(), QStringLiteral("n9820"));
  EXPECT_FALSE(pChips->isEnabled());
  auto* pPorts = In<QComboBox>("portList");
  ASSERT_EQ(pPorts->count(), 2);
  EXPECT_EQ(pPorts->itemText(0), QStringLiteral("Gadget Serial (COM12)")) << "sorted";
  EXPECT_FALSE(pPorts->isEnabled());

  // IMEI from a file: its path and chooser only.
  EXPECT_TRUE(In<QRadioButton>("imeiFromFile")->isChecked());
  EXPECT_EQ(In<QLineEdit>("imeiFile")->text(), QStringLiteral("/lots/imei.txt"));
  EXPECT_TRUE(In<QLineEdit>("imeiFile")->isEnabled());
  EXPECT_TRUE(In<QPushButton>("imeiBrowse")->isEnabled());
  EXPECT_FALSE(In<QLineEdit>("imeiInit")->isEnabled());
  EXPECT_FALSE(In<QCheckBox>("imei14")->isEnabled());
  // MBSN generated: initial number and mask only.
  EXPECT_TRUE(In<QRadioButton>("mbsnCustom")->isChecked());
  EXPECT_FALSE(In<QPushButton>("mbsnBrowse")->isEnabled());
  EXPECT_TRUE(In<QLineEdit>("mbsnInit")->isEnabled());
  EXPECT_EQ(In<QLineEdit>("mbsnMask")->text(), QStringLiteral("MB00**"));
  // PSN typed: nothing.
  EXPECT_TRUE(In<QRadioButton>("psnManual")->isChecked());
  EXPECT_FALSE(In<QLineEdit>("psnFile")->isEnabled());
  EXPECT_FALSE(In<QLineEdit>("psnInit")->isEnabled());
  // The radio groups are independent of each other.
  EXPECT_NE(In<QRadioButton>("sim3")->group(), In<QRadioButton>("imeiFromFile")->group());
  Screenshot(&dlg, "tavlo-setup");

  // Typing keeps to the limits: digits for the IMEI's initial number, the
  // serial's length for its mask.
  ClickIn("imeiCustom");
  Retype("imeiInit", "35x20990010000001");
  EXPECT_EQ(In<QLineEdit>("imeiInit")->text(), QStringLiteral("352099001000000"));
  Retype("mbsnMask", "AB*12345");
  EXPECT_EQ(In<QLineEdit>("mbsnMask")->text(), QStringLiteral("AB*123"));
}

TEST_F(SetupDialog, ManualKeepsTheDisabledRangeTextAndOkStoresIt) {
  OpenSetup("[WIMEI]\nINPUTTYPE=2\nINITCODE15=352099001000000\nMASKCODE15=3520990010000**\n");
  Retype("imeiInit", "352099002000000");
  ClickIn("imeiManual");
  EXPECT_FALSE(In<QLineEdit>("imeiInit")->isEnabled());
  EXPECT_FALSE(In<QLineEdit>("imeiMask")->isEnabled());
  EXPECT_FALSE(In<QCheckBox>("imei14")->isEnabled());
  EXPECT_EQ(In<QLineEdit>("imeiInit")->text(), QStringLiteral("352099002000000"));
  EXPECT_EQ(In<QLineEdit>("imeiMask")->text(), QStringLiteral("3520990010000**"));
  CModalAnswerer answerer;
  ClickIn("ok");
  EXPECT_TRUE(answerer.Seen().empty());
  EXPECT_EQ(m_pSetupDlg->result(), QDialog::Accepted);
  EXPECT_EQ(m_app.settings.m_nImeiInputType, INPUT_MANUAL);
  EXPECT_EQ(m_app.settings.m_strImeiInit15, "352099002000000");
  EXPECT_EQ(m_app.settings.m_strImeiMask15, "3520990010000**");
}

TEST_F(SetupDialog, FifteenDigitsUnderTheFourteenDigitBoxAreRefused) {
  OpenSetup("[WIMEI]\nINPUTTYPE=2\nINITCODE15=352099001000000\nMASKCODE15=352099001000***\n");
  ClickIn("imei14");
  EXPECT_EQ(In<QLineEdit>("imeiInit")->text(), QStringLiteral("352099001000000"))
      << "the limit changes, not the text";
  CModalAnswerer answerer;
  ClickIn("ok");
  ASSERT_EQ(answerer.Seen().size(), 1u);
  EXPECT_EQ(answerer.Seen()[0].strText, Text("初始码值长度错误!"));
  EXPECT_TRUE(answerer.Seen()[0].bOkOnly);
  EXPECT_TRUE(m_pSetupDlg->isVisible()) << "the dialog stays open";
  EXPECT_EQ(In<QLineEdit>("imeiInit")->text(), QStringLiteral("352099001000000"));
  EXPECT_FALSE(m_app.settings.m_bImei14Digits) << "nothing stored";
  EXPECT_EQ(m_app.settings.m_strImeiInit14, "00000000000000");

  // Fourteen digits and a mask to match pass, into the 14-digit pair.
  Retype("imeiInit", "35209900100000");
  Retype("imeiMask", "35209900100***");
  ClickIn("ok");
  EXPECT_EQ(answerer.Seen().size(), 1u);
  EXPECT_EQ(m_pSetupDlg->result(), QDialog::Accepted);
  EXPECT_TRUE(m_app.settings.m_bImei14Digits);
  EXPECT_EQ(m_app.settings.m_strImeiInit14, "35209900100000");
  EXPECT_EQ(m_app.settings.m_strImeiInit15, "352099001000000");
}

TEST_F(SetupDialog, ChoosingAnMbsnListFileBringsTheStoredImeiMaskBack) {
  WriteFile("mbsn.txt", "MB0000000001\n");
  OpenSetup(
      "[WIMEI]\nINPUTTYPE=2\nINITCODE15=352099001000000\nMASKCODE15=3520990010000**\n"
      "[WMBSN]\nINPUTTYPE=1\n");
  Retype("imeiMask", "35209900100****");
  ASSERT_EQ(In<QLineEdit>("imeiMask")->text(), QStringLiteral("35209900100****"));
  const QString strList = QString::fromStdString(m_base.File("mbsn.txt"));
  CModalAnswerer answerer(CModalAnswerer::ChooseFile(strList));
  ClickIn("mbsnBrowse");
  ASSERT_EQ(answerer.Seen().size(), 1u);
  EXPECT_EQ(answerer.Seen()[0].nameFilters,
            (QStringList{QStringLiteral("Txt Files (*.txt)"), QStringLiteral("All Files (*.*)")}));
  EXPECT_EQ(In<QLineEdit>("mbsnFile")->text(), strList);
  EXPECT_EQ(In<QLineEdit>("imeiMask")->text(), QStringLiteral("3520990010000**"));
  ClickIn("ok");
  EXPECT_EQ(m_pSetupDlg->result(), QDialog::Accepted);
  EXPECT_EQ(m_app.settings.m_strMbsnFile, strList.toStdString());
}

TEST_F(SetupDialog, AListPathLeftAtNoneIsRefusedWhenNoSuchFileExists) {
  ASSERT_FALSE(std::filesystem::exists("None"));
  OpenSetup("[WIMEI]\nINPUTTYPE=1\n");
  EXPECT_EQ(In<QLineEdit>("imeiFile")->text(), QStringLiteral("None"));
  CModalAnswerer answerer;
  ClickIn("ok");
  ASSERT_EQ(answerer.Seen().size(), 1u);
  EXPECT_EQ(answerer.Seen()[0].strText, Text("IMEI号列表文件不存在!"));
  EXPECT_TRUE(m_pSetupDlg->isVisible());

  // Cancel stores nothing, whatever was changed.
  ClickIn("sim4");
  ClickIn("cancel");
  EXPECT_EQ(m_pSetupDlg->result(), QDialog::Rejected);
  EXPECT_EQ(m_app.settings.m_nImeiCount, 1);
}

TEST_F(SetupDialog, OkFromTheMainWindowEnablesTheFieldsOfTheNewSimCount) {
  Open("ISWIMEI=Yes\n");
  Plug(1, {});
  QStringList ports;
  CModalAnswerer answerer([&](QWidget* pDialog) {
    auto* pSetup = qobject_cast<CImeiSetupDlg*>(pDialog);
    if (!pSetup) return false;
    auto* pPorts = pSetup->findChild<QComboBox*>(QStringLiteral("portList"));
    for (int i = 0; i < pPorts->count(); ++i) ports << pPorts->itemText(i);
    QTest::mouseClick(pSetup->findChild<QRadioButton*>(QStringLiteral("sim3")), Qt::LeftButton);
    QTest::mouseClick(pSetup->findChild<QPushButton*>(QStringLiteral("ok")), Qt::LeftButton);
    return true;
  });
  ASSERT_FALSE(Find<QLineEdit>("imei2")->isEnabled());
  Click("setup");
  ASSERT_EQ(answerer.Seen().size(), 1u);
  EXPECT_EQ(answerer.Seen()[0].strObjectName, QStringLiteral("setupDialog"));
  EXPECT_EQ(ports, QStringList{QStringLiteral("Gadget Serial (COM41)")});
  EXPECT_EQ(m_app.settings.m_nImeiCount, 3);
  EXPECT_TRUE(Find<QLineEdit>("imei2")->isEnabled());
  EXPECT_TRUE(Find<QLineEdit>("imei3")->isEnabled());
  EXPECT_FALSE(Find<QLineEdit>("imei4")->isEnabled());
  EXPECT_EQ(m_pDlg->focusWidget(), Find<QLineEdit>("imei1"));
}

}  // namespace
