#pragma once

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QPushButton>
#include <QString>
#include <QTest>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "download_station.h"
#include "pty_phone.h"
#include "quillport/ui/qt/color_edit.h"
#include "quillport/ui/qt/color_wnd.h"
#include "quillport/ui/qt/gradient_progress_ctrl.h"
#include "quillport/ui/qt/quillport_dlg.h"
#include "quillport/ui/qt/timer_edit.h"
#include "sim/sim_phone.h"

// The download tool's window in a base folder of its own, with simulated
// phones in a private ports folder.
class CQuillportGuiTest : public ::testing::Test {
 protected:
  void SetUp() override { SetUpDownloadStation(m_base.Path(), m_ports.Path()); }
  void TearDown() override {
    m_pDlg.reset();
    m_sockets.clear();
    unsetenv("PHONE_PORTS_DIR");
  }

  // A small package: the two loaders and three partition images.
  std::string MakePackage() {
    const std::string strPath = m_base.File("t_norq_total.bin");
    EXPECT_EQ(MakeTestPackage(strPath, kSmallPackage), "");
    return strPath;
  }

  // One socket serving one phone that behaves as the settings say
  // (key=value, as the simulator's profile files).
  void Plug(int nCom, const std::vector<std::pair<std::string, std::string>>& settings = {}) {
    sim::SPhoneConfig phone;
    for (const auto& [key, value] : settings) {
      std::string strError;
      ASSERT_TRUE(sim::ApplySetting(phone, key, value, &strError)) << strError;
    }
    sim::SSocketOptions opt;
    opt.strPortsDir = m_ports.Path();
    opt.nCom = nCom;
    opt.nPhones = 1;
    opt.phone = phone;
    m_sockets.push_back(std::make_unique<sim::CSimSocket>(opt));
    std::string strError;
    ASSERT_TRUE(m_sockets.back()->Start(&strError)) << strError;
  }

  CQuillportDlg& Open() {
    m_pDlg = std::make_unique<CQuillportDlg>(m_base.Path());
    m_pDlg->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(m_pDlg.get()));
    return *m_pDlg;
  }

  template <typename W>
  W* Find(const QString& strName) const {
    W* pWidget = m_pDlg->findChild<W*>(strName);
    EXPECT_NE(pWidget, nullptr) << strName.toStdString();
    return pWidget;
  }
  template <typename W>
  W* Row(int nRow, const char* pszPart) const {
    return Find<W>(QStringLiteral("row%1.%2").arg(nRow).arg(QLatin1String(pszPart)));
  }
  QString StatusText(int nRow) const { return Row<CColorEdit>(nRow, "status")->text(); }
  QString StateText(int nRow) const { return Row<CColorEdit>(nRow, "state")->text(); }

  void Click(const char* pszButton) {
    QTest::mouseClick(Find<QPushButton>(QString::fromLatin1(pszButton)), Qt::LeftButton);
  }

  // A picture of the window under the build folder, for people to look at.
  void Screenshot(const char* pszName) {
    std::filesystem::create_directories(SCREENSHOT_DIR);
    const std::string strPath = std::string(SCREENSHOT_DIR) + "/" + pszName + ".png";
    EXPECT_TRUE(m_pDlg->grab().save(QString::fromStdString(strPath))) << strPath;
  }

  CTempDir m_base, m_ports;
  std::vector<std::unique_ptr<sim::CSimSocket>> m_sockets;
  std::unique_ptr<CQuillportDlg> m_pDlg;
};

// Readable texts in the failure messages.
inline void PrintTo(const QString& str, std::ostream* pOut) {
  *pOut << str.toStdString();
}

inline QColor Qrgb(RowColor clr) {
  return QColor(static_cast<int>(clr >> 16 & 0xFF), static_cast<int>(clr >> 8 & 0xFF),
                static_cast<int>(clr & 0xFF));
}
