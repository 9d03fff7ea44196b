#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <QPushButton>
#include <QString>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "pty_phone.h"
#include "sim/sim_config.h"
#include "sim/sim_phone.h"
#include "tavlo/ui/qt/color_wnd.h"
#include "tavlo/ui/qt/tavlo_dlg.h"
#include "tavlo/ui/startup.h"
#include "writer_station.h"

// A generous bound for a phone's write under sanitizers.
inline constexpr int kLongWaitMs = 60000;

// The writer's window over an app started in a base folder of its own, with
// simulated phones in a private ports folder.
class CTavloGuiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("PHONE_PORTS_DIR", m_ports.Path().c_str(), 1);
    setenv("PHONE_COM_MAP", m_base.File("com-ports.ini").c_str(), 1);
    MakeWriterStation(m_base.Path(), 9000,
                      "[CHIP_1]\nCHIPNAME=n7731\nFACTNAME=norqfact\n"
                      "[CHIP_2]\nCHIPNAME=n9820\nFACTNAME=norqfact\n");
  }
  void TearDown() override {
    m_pDlg.reset();
    m_pSocket.reset();
    unsetenv("PHONE_PORTS_DIR");
    unsetenv("PHONE_COM_MAP");
  }

  void WriteFile(const std::string& strName, const std::string& strText) {
    std::ofstream(m_base.File(strName), std::ios::binary | std::ios::trunc) << strText;
  }

  // Starts the app with these wimei.ini lines (the GENERAL section is open)
  // without a window.
  void Start(const std::string& strSettings) {
    WriteFile("ini/wimei.ini", "[GENERAL]\nCHIPSET=n9820\nMAGIC_NUMBER=0xBADC0DE\n" + strSettings);
    const std::string strName = "tavlo-gui-test-" + std::to_string(getpid());
    ASSERT_EQ(StartTavlo(strName, m_base.Path(), &m_app), ETavloStart::Ok);
  }
  // Starts the app and opens the window.
  CTavloDlg& Open(const std::string& strSettings) {
    Start(strSettings);
    m_pDlg = std::make_unique<CTavloDlg>(m_app);
    m_pDlg->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(m_pDlg.get()));
    return *m_pDlg;
  }

  // One socket serving nPhones phones that behave as the settings say
  // (key=value, as the simulator's profile files).
  void Plug(int nPhones, const std::vector<std::pair<std::string, std::string>>& settings) {
    sim::SPhoneConfig phone;
    for (const auto& [key, value] : settings) {
      std::string strError;
      ASSERT_TRUE(sim::ApplySetting(phone, key, value, &strError)) << strError;
    }
    m_pSocket = std::make_unique<sim::CSimSocket>(sim::SSocketOptions{.strPortsDir = m_ports.Path(),
                                                                      .nCom = 41,
                                                                      .nPhones = nPhones,
                                                                      .nReplugDelayMs = 200,
                                                                      .phone = phone});
    ASSERT_TRUE(m_pSocket->Start());
  }

  template <typename W>
  W* Find(const char* pszName) const {
    W* pWidget = m_pDlg->findChild<W*>(QString::fromLatin1(pszName));
    EXPECT_NE(pWidget, nullptr) << pszName;
    return pWidget;
  }
  void Click(const char* pszButton) {
    QTest::mouseClick(Find<QPushButton>(pszButton), Qt::LeftButton);
  }
  tavlo::CColorWnd* Banner() const { return Find<tavlo::CColorWnd>("banner"); }

  // The log's lines as shown, each with its colour and size in points.
  struct SShownLine {
    QString strText;
    QColor colour;
    double dPoints = 0;
  };
  std::vector<SShownLine> Log() const {
    std::vector<SShownLine> lines;
    const QTextDocument* pDoc = Find<QTextEdit>("log")->document();
    for (QTextBlock block = pDoc->begin(); block.isValid(); block = block.next()) {
      if (block.text().isEmpty()) continue;
      const QTextCharFormat format = block.begin().fragment().charFormat();
      lines.push_back({block.text(), format.foreground().color(), format.fontPointSize()});
    }
    return lines;
  }
  bool LogHas(const char* pszText) const {
    for (const SShownLine& line : Log()) {
      if (line.strText == QString::fromUtf8(pszText)) return true;
    }
    return false;
  }

  bool WaitFor(const std::function<bool()>& fnDone, int nTimeoutMs = kLongWaitMs) {
    return QTest::qWaitFor(fnDone, nTimeoutMs);
  }

  // A picture of the window under the build folder, for people to look at.
  void Screenshot(QWidget* pWidget, const char* pszName) {
    std::filesystem::create_directories(SCREENSHOT_DIR);
    const std::string strPath = std::string(SCREENSHOT_DIR) + "/" + pszName + ".png";
    EXPECT_TRUE(pWidget->grab().save(QString::fromStdString(strPath))) << strPath;
  }

  CTempDir m_base, m_ports;
  std::unique_ptr<sim::CSimSocket> m_pSocket;
  STavloApp m_app;
  std::unique_ptr<CTavloDlg> m_pDlg;  // last: gone before what it uses
};

// Readable texts in the failure messages.
inline void PrintTo(const QString& str, std::ostream* pOut) {
  *pOut << str.toStdString();
}
