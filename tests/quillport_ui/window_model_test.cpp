#include "quillport/ui/window_model.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <vector>

#include "common/op_log.h"
#include "download_station.h"
#include "pty_phone.h"
#include "quillport/ui/window_texts.h"

namespace {

class CFakeHost final : public IWindowHost {
 public:
  void MessageBox(const std::string& strText) override { boxes.push_back(strText); }
  std::optional<std::string> ChoosePackageFile() override {
    ++nDialogs;
    return chosen;
  }
  std::optional<std::string> ChooseCfpFile() override { return chosenCfp; }
  void Changed() override {
    ++nChanges;
    if (pView && !pView->strPackageCheck.empty()) checks.push_back(pView->strPackageCheck);
  }

  const SWindowView* pView = nullptr;
  std::vector<std::string> checks;  // the package check as each change showed it
  std::vector<std::string> boxes;
  std::optional<std::string> chosen, chosenCfp;
  int nDialogs = 0;
  int nChanges = 0;
};

class WindowModelTest : public ::testing::Test {
 protected:
  void SetUp() override { SetUpDownloadStation(m_base.Path(), m_ports.Path()); }

  std::string MakePackage() {
    static constexpr STestImage kImages[] = {
        {"PDL1", "pattern:8k"}, {"PDL2", "pattern:8k"}, {"modem", "pattern:8k"}};
    const std::string path = m_base.File("x_norq_total.bin");
    EXPECT_EQ(MakeTestPackage(path, kImages), "");
    return path;
  }

  CTempDir m_base, m_ports;
  CFakeHost m_host;
  CMessageQueue m_queue;
  CQueueBinding m_binding{m_queue};
};

TEST_F(WindowModelTest, OpensWithEightIdleRowsAndTheLongestTimeout) {
  WriteStationSettings(m_base.Path(), {2});
  CQuillportWindow window(m_host, m_queue, m_base.Path());
  const SWindowView& view = window.View();
  for (int i = 0; i < kPortRows; ++i) {
    const SRowView& row = view.rows[i];
    EXPECT_EQ(row.statusBox.strText, window_text::kClosed);
    EXPECT_EQ(row.stateBox.strText, window_text::kIdle);
    EXPECT_EQ(row.portLabel.strText, window_text::kPort);
    EXPECT_EQ(row.progress.nPos, -1);
    EXPECT_EQ(row.timer.Text(), "00:00:00");
    EXPECT_EQ(row.bChecked, i == 2);
    EXPECT_EQ(row.statusBox.bEnabled, i == 2);
  }
  EXPECT_TRUE(view.bStartAllEnabled);
  EXPECT_FALSE(view.bStopAllEnabled);
  EXPECT_EQ(window.TimeoutMs(), 120000);
}

TEST_F(WindowModelTest, APackagePathWhoseFileIsGoneComesUpEmpty) {
  std::ofstream(m_base.File("ini/filelist.ini"))
      << "[FILE_PATH]\nIMG_PATH=/nowhere/a_norq_total.bin\n";
  CQuillportWindow window(m_host, m_queue, m_base.Path());
  EXPECT_EQ(window.View().strPackPath, "");
}

TEST_F(WindowModelTest, StartAllWithoutAPackageAsksForOne) {
  CQuillportWindow window(m_host, m_queue, m_base.Path());
  window.OnStartAll();
  EXPECT_EQ(m_host.boxes, std::vector<std::string>{window_text::kChoosePackage});
  EXPECT_EQ(m_host.nDialogs, 1);
  EXPECT_TRUE(window.View().bStartAllEnabled);
}

TEST_F(WindowModelTest, StartAllWithNoRowTickedLoadsThePackageAndStartsNothing) {
  CQuillportWindow window(m_host, m_queue, m_base.Path());
  window.SetPackagePath(MakePackage());
  window.OnStartAll();
  EXPECT_TRUE(m_host.boxes.empty());
  ASSERT_TRUE(window.Package());
  EXPECT_EQ(window.Package()->Entries().size(), 3u);
  EXPECT_EQ(window.Package()->Path(), m_base.File("x_norq_total.bin"));
  EXPECT_FALSE(window.View().bStartAllEnabled);
  EXPECT_TRUE(window.View().bStopAllEnabled);
  EXPECT_FALSE(window.View().bCheckboxesEnabled) << "the port selection is locked";
  EXPECT_FALSE(window.AnyBusy());
  EXPECT_NE(ReadWholeFile(m_base.File("ini/filelist.ini")).find("IMG_PATH="), std::string::npos);
}

TEST_F(WindowModelTest, AFailedLoadSaysSoStartsNothingAndKeepsThePackageBefore) {
  CQuillportWindow window(m_host, m_queue, m_base.Path());
  window.SetPackagePath(MakePackage());
  window.OnStartAll();
  window.OnStopAll();
  const std::shared_ptr<const CDownloadPackage> pBefore = window.Package();
  ASSERT_TRUE(pBefore);

  const std::string strBad = m_base.File("bad_norq_total.bin");
  std::ofstream(strBad) << std::string(4096, 'x');
  window.SetPackagePath(strBad);
  window.OnStartAll();
  EXPECT_EQ(m_host.boxes,
            (std::vector<std::string>{"文件无效! " + strBad, "load " + strBad + " file failed!"}));
  EXPECT_TRUE(window.View().bStartAllEnabled);
  // Restart refuses it the same way, with its own last words.
  m_host.boxes.clear();
  window.OnRestart(0);
  EXPECT_EQ(m_host.boxes,
            (std::vector<std::string>{"文件无效! " + strBad,
                                      std::string(window_text::kLoadBinFailed) + " " + strBad}));
  EXPECT_EQ(window.Package(), pBefore);
  EXPECT_FALSE(window.AnyBusy());
}

TEST_F(WindowModelTest, APackageIsCheckedOnceWithItsProgressShownAndAChangedImageIsRefused) {
  static constexpr STestImage kImages[] = {
      {"PDL1", "pattern:8k"}, {"PDL2", "pattern:8k"}, {"system", "pattern:10M"}};
  const std::string strPath = m_base.File("big_norq_total.bin");
  ASSERT_EQ(MakeTestPackage(strPath, kImages), "");
  CQuillportWindow window(m_host, m_queue, m_base.Path());
  m_host.pView = &window.View();
  window.SetPackagePath(strPath);
  window.OnStartAll();
  window.OnStopAll();
  const std::shared_ptr<const CDownloadPackage> pBefore = window.Package();
  ASSERT_TRUE(pBefore);
  EXPECT_TRUE(m_host.boxes.empty());
  ASSERT_FALSE(m_host.checks.empty());
  EXPECT_EQ(m_host.checks.back(), "SHA-256 100%");
  EXPECT_EQ(window.View().strPackageCheck, "");
  // The same file again: its check is not made twice.
  m_host.checks.clear();
  window.OnStartAll();
  window.OnStopAll();
  EXPECT_TRUE(m_host.checks.empty());
  EXPECT_NE(window.Package(), pBefore);

  const std::shared_ptr<const CDownloadPackage> pGood = window.Package();
  const PackEntry& system = pGood->Entries()[2];
  {
    std::fstream file(strPath, std::ios::in | std::ios::out | std::ios::binary);
    file.seekg(system.m_dwOffset + 12345);
    const char c = static_cast<char>(file.get());
    file.seekp(system.m_dwOffset + 12345);
    file.put(static_cast<char>(~c));
  }
  std::filesystem::last_write_time(
      strPath, std::filesystem::last_write_time(strPath) + std::chrono::seconds(2));
  window.OnStartAll();
  EXPECT_EQ(m_host.boxes, (std::vector<std::string>{
                              "文件校验失败! " + strPath +
                                  ": image \"system\" does not match the SHA-256 stored for it",
                              "load " + strPath + " file failed!"}));
  EXPECT_EQ(window.Package(), pGood);
  EXPECT_FALSE(window.AnyBusy());
}

TEST_F(WindowModelTest, StopAllWithNothingRunningResetsTheTickedRows) {
  WriteStationSettings(m_base.Path(), {0, 5});
  CQuillportWindow window(m_host, m_queue, m_base.Path());
  window.OnStopAll();
  for (int i = 0; i < kPortRows; ++i) {
    const SRowView& row = window.View().rows[i];
    EXPECT_EQ(row.statusBox.strText, row.bChecked ? window_text::kStopped : window_text::kClosed);
    EXPECT_EQ(row.progress.nPos, -1);
  }
  EXPECT_TRUE(window.View().bStartAllEnabled);
  EXPECT_FALSE(window.View().bStopAllEnabled);
}

TEST_F(WindowModelTest, UncheckingARowDisablesItsControlsButNotLabelAndTimer) {
  WriteStationSettings(m_base.Path(), {1});
  CQuillportWindow window(m_host, m_queue, m_base.Path());
  window.OnPortCheck(1, false);
  const SRowView& row = window.View().rows[1];
  EXPECT_FALSE(row.stateBox.bEnabled);
  EXPECT_FALSE(row.statusBox.bEnabled);
  EXPECT_FALSE(row.bDotEnabled);
  EXPECT_FALSE(row.progress.bEnabled);
  EXPECT_FALSE(row.bRestartEnabled);
  EXPECT_TRUE(row.portLabel.bEnabled);
  window.OnClose();
  EXPECT_NE(ReadWholeFile(m_base.File("ini/download.ini")).find("[PORT_2]\nISUSED=No"),
            std::string::npos);
}

TEST_F(WindowModelTest, NotificationsPaintTheRowAsTheTableSays) {
  CQuillportWindow window(m_host, m_queue, m_base.Path());
  const SRowView& row = window.View().rows[3];
  auto notify = [&](int32_t nType, const std::string& strMsg = "") {
    window.OnUpdateMyData({nType, 3, "端口 12", strMsg});
  };
  notify(TYPE_UI_INIT);
  EXPECT_EQ(row.statusBox.strText, window_text::kDetecting);
  EXPECT_EQ(row.progress.from, Rgb(200, 100, 52));
  EXPECT_FALSE(row.bRestartEnabled);
  EXPECT_FALSE(row.timer.bReadOnly);

  notify(TYPE_UI_PASS);
  EXPECT_EQ(row.progress.nPos, 100);
  EXPECT_EQ(row.statusBox.bk, COLOR_PASS);
  EXPECT_EQ(row.portLabel.strText, "端口 12");
  EXPECT_EQ(row.nPassed, 1);

  notify(TYPE_UI_ERR, "端口打开失败!");
  EXPECT_EQ(row.statusBox.strText, "端口打开失败!");
  EXPECT_EQ(row.stateBox.strText, window_text::kError);
  EXPECT_EQ(row.dot, COLOR_FAIL);
  EXPECT_EQ(row.progress.nPos, 100) << "an error leaves the position";
  EXPECT_EQ(row.nFailed, 1);

  notify(TYPE_UI_DETECTED);
  EXPECT_EQ(row.portLabel.strText, window_text::kPort);
  EXPECT_EQ(row.timer.Text(), "00:00:00");

  notify(TYPE_UI_STOP);
  EXPECT_EQ(row.statusBox.strText, window_text::kStopped);
  EXPECT_EQ(row.progress.nPos, -1);
  EXPECT_TRUE(row.bRestartEnabled);

  notify(99);  // unknown types change nothing
  EXPECT_EQ(row.statusBox.strText, window_text::kStopped);
}

TEST_F(WindowModelTest, TheCfpRowTakesTheChosenPathAndClearsIt) {
  CQuillportWindow window(m_host, m_queue, m_base.Path());
  window.OnBrowseCfp();  // cancelled
  EXPECT_EQ(window.View().strCfpPath, "");
  m_host.chosenCfp = "/station/x.cfp";
  window.OnBrowseCfp();
  EXPECT_EQ(window.View().strCfpPath, "/station/x.cfp");
  window.OnClearCfp();
  EXPECT_EQ(window.View().strCfpPath, "");
  EXPECT_TRUE(m_host.boxes.empty());
}

TEST_F(WindowModelTest, TimerShowsHoursPastNinetyNine) {
  STimerView timer;
  timer.shown = std::chrono::hours(123) + std::chrono::minutes(4) + std::chrono::seconds(5);
  EXPECT_EQ(timer.Text(), "123:04:05");
}

TEST_F(WindowModelTest, DeviceChangesAreLoggedOnTheirPort) {
  CQuillportWindow window(m_host, m_queue, m_base.Path());
  window.OnDeviceChange(true, "COM14");
  window.OnDeviceChange(false, "COM14");
  window.OnDeviceChange(false, "ttyACM0");  // not a COM name: nothing
  EXPECT_EQ(ReadWholeFile(PortLogPath(14)), "--DEVICE ARRIVAL--\n--DEVICE REMOVE--\n");
}

}  // namespace
