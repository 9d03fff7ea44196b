#include "quillport/ui/window_model.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "common/op_log.h"
#include "quillport/ui/window_texts.h"
#include "serial/hst_port.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr RowColor kWhite = Rgb(255, 255, 255);
constexpr int kNoPendingPos = -1000;
// Upper bound of one pass of the window's wait loops.
constexpr int kWaitPassMs = 100;

std::string NumberedPort(int nPort) {
  return nPort < 1 ? std::string(window_text::kPort)
                   : std::string(window_text::kPort) + " " + std::to_string(nPort);
}

}  // namespace

std::string PortLabelShown(const SRowView& row) {
  if (row.strPin.empty() || row.portLabel.strText != window_text::kPort) {
    return row.portLabel.strText;
  }
  return row.portLabel.strText + " → " + row.strPin;
}

std::chrono::seconds STimerView::Elapsed() const {
  const auto d = bRunning ? Clock::now() - started : shown;
  return std::chrono::duration_cast<std::chrono::seconds>(d);
}

std::string STimerView::Text() const {
  const long long s = Elapsed().count();
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
  return buf;
}

// A row's controls as its worker sees them. Every call is carried to the
// window thread as a task on its queue, in the order made; progress positions
// are coalesced so that a busy window never holds a worker up per packet.
class CQuillportWindow::CRowUi final : public IRowUi {
 public:
  CRowUi(CQuillportWindow& window, int nRow) : m_window(window), m_nRow(nRow) {}

  void SetBoxBkColor(ERowBox box, RowColor clr) override {
    Post([=](CQuillportWindow& w, int n) { w.Box(n, box).bk = clr; });
  }
  void SetBoxTextColor(ERowBox box, RowColor clr) override {
    Post([=](CQuillportWindow& w, int n) { w.Box(n, box).text = clr; });
  }
  void SetBoxText(ERowBox box, const std::string& strText) override {
    Post([=](CQuillportWindow& w, int n) { w.Box(n, box).strText = strText; });
  }
  void SetProgressBkColor(RowColor clr) override {
    Post([=](CQuillportWindow& w, int n) { w.m_view.rows[n].progress.bk = clr; });
  }
  void SetProgressPos(int nPos) override {
    if (m_nPendingPos.exchange(nPos) != kNoPendingPos) return;  // a task is on its way
    Post([this](CQuillportWindow& w, int n) {
      w.m_view.rows[n].progress.nPos = m_nPendingPos.exchange(kNoPendingPos);
    });
  }
  void SetDotColor(RowColor clr) override {
    Post([=](CQuillportWindow& w, int n) { w.m_view.rows[n].dot = clr; });
  }
  void StartTimer() override {
    Post([](CQuillportWindow& w, int n) {
      STimerView& t = w.m_view.rows[n].timer;
      t.bRunning = true;
      t.started = Clock::now();
    });
  }
  void StopTimer() override {
    Post([](CQuillportWindow& w, int n) { Stop(w.m_view.rows[n].timer); });
  }
  void EnableRestart(bool bEnable) override {
    Post([=](CQuillportWindow& w, int n) { w.m_view.rows[n].bRestartEnabled = bEnable; });
  }
  void EnableSharedControls(bool bEnable) override {
    Post([=](CQuillportWindow& w, int) { w.m_view.bBrowseEnabled = bEnable; });
  }
  void Notify(const UiNotify& notify, bool bSend) override {
    auto task = [this, notify] { m_window.OnUpdateMyData(notify); };
    if (bSend) {
      m_window.m_queue.Send(task);
    } else {
      m_window.m_queue.PostTask(task);
    }
  }

  static void Stop(STimerView& t) {
    if (t.bRunning) t.shown = Clock::now() - t.started;
    t.bRunning = false;
  }

 private:
  template <typename F>
  void Post(F fnChange) {
    m_window.m_queue.PostTask([this, fnChange] {
      fnChange(m_window, m_nRow);
      m_window.Changed();
    });
  }

  CQuillportWindow& m_window;
  const int m_nRow;
  // The latest position not yet shown, or kNoPendingPos; written by the
  // worker, taken by the window thread.
  std::atomic<int> m_nPendingPos{kNoPendingPos};

  friend class CQuillportWindow;
};

CQuillportWindow::CQuillportWindow(IWindowHost& host, CMessageQueue& queue,
                                   std::string strBaseFolder)
    : m_host(host), m_queue(queue), m_strBase(std::move(strBaseFolder)) {
  // Both loaders start from defaults when their file is missing.
  LoadDownloadIni(m_strBase, &m_ports);
  LoadFileListIni(m_strBase, &m_settings);
  for (int i = 0; i < kPortRows; ++i) {
    SRowView& row = m_view.rows[i];
    row.statusBox.strText = window_text::kClosed;
    row.portLabel.strText = window_text::kPort;
    row.stateBox.strText = window_text::kIdle;
    row.bChecked = m_ports[i].m_bUsed;
    row.strPin = m_ports[i].m_strPortNb == "None" ? "" : m_ports[i].m_strPortNb;
    EnableRowControls(i, row.bChecked);
  }
  LoadImagePath(m_strBase, &m_view.strPackPath, &m_view.strCfpPath);
  std::error_code ec;
  if (!std::filesystem::exists(m_view.strPackPath, ec)) m_view.strPackPath.clear();
  if (!std::filesystem::exists(m_view.strCfpPath, ec)) m_view.strCfpPath.clear();
  ApplyLock(false);
  for (int i = 0; i < kPortRows; ++i) {
    m_rowUi[i] = std::make_unique<CRowUi>(*this, i);
    m_workers[i] = std::make_unique<CDownloadThread>(*m_rowUi[i], i);
  }
  m_view.strTimeout = std::to_string(kTimeouts.back());
  ReadTimeout();
  m_view.bFormatFlash = m_settings.m_bFormatFlash;
}

CQuillportWindow::~CQuillportWindow() {
  m_stop.SetStop(true);
  while (AnyBusy()) PumpFor(kWaitPassMs);
  // What is still queued (row updates, device changes) refers to the workers
  // and their row adapters: run it while they exist.
  auto drain = [this] {
    SMessage dropped;
    while (m_queue.Take(&dropped) != CMessageQueue::ETaken::Nothing) {
    }
  };
  drain();
  for (auto& pWorker : m_workers) pWorker.reset();
  drain();
}

SBoxView& CQuillportWindow::Box(int nRow, ERowBox box) {
  SRowView& row = m_view.rows[nRow];
  switch (box) {
    case ERowBox::Status:
      return row.statusBox;
    case ERowBox::State:
      return row.stateBox;
    case ERowBox::PortLabel:
      break;
  }
  return row.portLabel;
}

bool CQuillportWindow::AnyBusy() const {
  for (const auto& pWorker : m_workers) {
    if (pWorker && pWorker->IsBusy()) return true;
  }
  return false;
}

void IWindowHost::ServeQueueWhileWaiting(CMessageQueue& queue, int nMs) {
  ServeQueueFor(queue, nMs);
}

void CQuillportWindow::ReadTimeout() {
  m_nTimeoutMs = std::atoi(m_view.strTimeout.c_str());
  // Rows that run keep the policy they started with.
  const SLinkPolicy policy = DownloadLinkPolicy(m_nTimeoutMs, m_settings.m_dwDebugFlags);
  for (const auto& pWorker : m_workers) pWorker->SetLinkPolicy(policy);
}

void CQuillportWindow::SavePortSelection() {
  for (int i = 0; i < kPortRows; ++i) m_ports[i].m_bUsed = m_view.rows[i].bChecked;
  SaveDownloadIni(m_strBase, m_ports);
}

bool CQuillportWindow::LoadChosenPackage(const std::string& strFailText) {
  // The check of a large package takes a while: it runs beside the window
  // thread, which goes on serving its queue and shows how far it has come.
  std::string strBox;
  std::shared_ptr<const CDownloadPackage> pPackage;
  std::atomic<int> nPercent{-1};
  std::atomic<bool> bDone{false};
  m_bLoading = true;
  std::thread loader([&] {
    const auto fnProgress = [&](int n) {
      if (nPercent.exchange(n) != n) m_queue.PostTask([] {});  // wakes the window
    };
    pPackage = LoadPackage(m_view.strPackPath, m_settings, &strBox, fnProgress);
    bDone = true;
    m_queue.PostTask([] {});
  });
  for (bool bFinished = false; !bFinished;) {
    PumpFor(kWaitPassMs);
    bFinished = bDone;  // first: a finished check has shown its last step
    const int n = nPercent;
    std::string strCheck = n < 0 ? std::string() : "SHA-256 " + std::to_string(n) + "%";
    if (strCheck != m_view.strPackageCheck) {
      m_view.strPackageCheck = std::move(strCheck);
      Changed();
    }
  }
  loader.join();
  m_bLoading = false;
  m_view.strPackageCheck.clear();
  if (!pPackage) {
    if (!strBox.empty()) m_host.MessageBox(strBox);
    m_host.MessageBox(strFailText);
    return false;
  }
  m_pPackage = std::move(pPackage);
  return true;
}

void CQuillportWindow::SetPortPin(int nRow, const std::string& strPortNb) {
  if (nRow < 0 || nRow >= kPortRows) return;
  m_ports[nRow].m_strPortNb = strPortNb;
  m_view.rows[nRow].strPin = strPortNb == "None" ? "" : strPortNb;
  Changed();
}

std::string CQuillportWindow::PinConflict(int nRow) const {
  std::array<int, kPortRows> pins{};
  for (int i = 0; i < kPortRows; ++i) {
    if (i != nRow && !m_view.rows[i].bChecked) continue;
    pins[i] = PinnedComNumber(m_ports[i].m_strPortNb);
    if (pins[i] < 0) {
      return "Row " + std::to_string(i + 1) + ": PORTNB=" + m_ports[i].m_strPortNb +
             " in ini/download.ini names no port; write COM<number>, or None to take the first "
             "free port.";
    }
    for (int j = 0; j < i; ++j) {
      if (pins[i] > 0 && pins[j] == pins[i]) {
        return "Rows " + std::to_string(j + 1) + " and " + std::to_string(i + 1) +
               " are both pinned to COM" + std::to_string(pins[i]) +
               " (PORTNB in ini/download.ini); pin each row to its own port.";
      }
    }
  }
  return "";
}

void CQuillportWindow::StartRow(int nRow) {
  // The other rows' pins as they are now: a row that takes the first free
  // port leaves a socket pinned to another row to that row.
  std::vector<int> reserved;
  for (int i = 0; i < kPortRows; ++i) {
    const int nPin = PinnedComNumber(m_ports[i].m_strPortNb);
    if (i != nRow && nPin > 0 && m_view.rows[i].bChecked) reserved.push_back(nPin);
  }
  m_workers[nRow]->SetPortChoice(PinnedComNumber(m_ports[nRow].m_strPortNb), std::move(reserved));
  m_workers[nRow]->SetIndex(nRow);
  m_workers[nRow]->PostStart(nRow, &m_stop, m_pPackage);
  EnableRestart(true, false, nRow);
}

void CQuillportWindow::ApplyLock(bool bLock) {
  // Locked: checkboxes and Format flash box disabled. Unlocked: checkboxes
  // enabled; the Format flash box stays as it is (display only).
  m_view.bCheckboxesEnabled = !bLock;
}

void CQuillportWindow::EnableRestart(bool bOneRow, bool bEnable, int nRow) {
  if (!bOneRow) {
    for (SRowView& row : m_view.rows) row.bRestartEnabled = bEnable;
  } else if (nRow >= 0 && nRow < kPortRows) {
    m_view.rows[nRow].bRestartEnabled = bEnable;
  }
}

void CQuillportWindow::EnableRowControls(int nRow, bool bEnable) {
  SRowView& row = m_view.rows[nRow];
  row.stateBox.bEnabled = row.statusBox.bEnabled = bEnable;
  row.bDotEnabled = row.progress.bEnabled = row.bRestartEnabled = bEnable;
}

void CQuillportWindow::ResetRow(int nRow, const std::string& strStatus) {
  SRowView& row = m_view.rows[nRow];
  row.progress.bk = COLOR_IDLE;
  row.progress.nPos = -1;
  row.statusBox = {strStatus, COLOR_IDLE, COLOR_BLUE, row.statusBox.bEnabled};
  row.stateBox = {window_text::kIdle, COLOR_IDLE, COLOR_BLUE, row.stateBox.bEnabled};
  row.portLabel = {NumberedPort(m_workers[nRow] ? m_workers[nRow]->GetPort() : -1), kWhite,
                   COLOR_BLUE, row.portLabel.bEnabled};
  row.timer = STimerView{};
  row.dot = kWhite;
}

void CQuillportWindow::OnStartAll() {
  if (m_bLoading) return;
  if (AnyBusy()) return m_host.MessageBox(window_text::kDownloading);
  if (m_view.strPackPath.empty()) {
    m_host.MessageBox(window_text::kChoosePackage);
    return OnBrowsePackage();
  }
  if (const std::string strConflict = PinConflict(-1); !strConflict.empty()) {
    return m_host.MessageBox(strConflict);
  }
  ReadTimeout();
  SavePortSelection();
  SaveImagePath(m_strBase, m_view.strPackPath, m_view.strCfpPath);
  m_bLock = true;
  ApplyLock(true);
  if (!LoadChosenPackage("load " + m_view.strPackPath + " file failed!")) return Changed();
  m_stop.SetStop(false);
  for (int i = 0; i < kPortRows; ++i) {
    if (m_view.rows[i].bChecked) StartRow(i);
  }
  m_view.bStartAllEnabled = false;
  m_view.bStopAllEnabled = true;
  Changed();
}

void CQuillportWindow::OnRestart(int nRow) {
  if (m_bLoading) return;
  if (nRow < 0 || nRow >= kPortRows) return;
  if (m_view.strPackPath.empty()) return m_host.MessageBox(window_text::kChoosePackage);
  if (const std::string strConflict = PinConflict(nRow); !strConflict.empty()) {
    return m_host.MessageBox(strConflict);
  }
  ReadTimeout();
  SavePortSelection();
  m_bLock = true;
  ApplyLock(true);
  // Rows that are running keep the package they started with.
  if (!LoadChosenPackage(std::string(window_text::kLoadBinFailed) + " " + m_view.strPackPath)) {
    return Changed();
  }
  if (m_view.rows[nRow].bChecked) ResetRow(nRow, window_text::kIdle);
  if (m_workers[nRow]->IsBusy()) {
    m_host.MessageBox(window_text::kDownloading);
    EnableRestart(true, true, nRow);
  } else {
    m_stop.SetStop(false);
    StartRow(nRow);
  }
  m_view.bStartAllEnabled = false;
  m_view.bStopAllEnabled = true;
  m_view.bBrowseEnabled = false;
  Changed();
}

void CQuillportWindow::OnStopAll() {
  m_stop.SetStop(true);
  for (int i = 0; i < kPortRows; ++i) {
    if (!m_view.rows[i].bChecked) continue;
    while (m_workers[i]->IsBusy()) PumpFor(kWaitPassMs);
  }
  m_view.bStartAllEnabled = true;
  m_view.bStopAllEnabled = false;
  m_view.bCheckboxesEnabled = true;
  for (int i = 0; i < kPortRows; ++i) {
    if (!m_view.rows[i].bChecked) continue;
    ResetRow(i, window_text::kStopped);
    EnableRestart(true, true, i);
  }
  m_view.bBrowseEnabled = true;
  m_view.bCfpEnabled = true;
  Changed();
}

void CQuillportWindow::OnBrowsePackage() {
  if (m_bLoading) return;
  if (AnyBusy()) return m_host.MessageBox(window_text::kDownloading);
  if (std::optional<std::string> path = m_host.ChoosePackageFile()) {
    m_view.strPackPath = *path;
    SaveImagePath(m_strBase, m_view.strPackPath, m_view.strCfpPath);
    if (!LoadChosenPackage("load " + m_view.strPackPath + " file failed!")) return Changed();
  }
  SaveImagePath(m_strBase, m_view.strPackPath, m_view.strCfpPath);
  Changed();
}

void CQuillportWindow::OnBrowseCfp() {
  if (AnyBusy()) return m_host.MessageBox(window_text::kDownloading);
  if (std::optional<std::string> path = m_host.ChooseCfpFile()) {
    m_view.strCfpPath = *path;
    Changed();
  }
}

void CQuillportWindow::OnClearCfp() {
  m_view.strCfpPath.clear();
  SaveImagePath(m_strBase, m_view.strPackPath, m_view.strCfpPath);
  Changed();
}

void CQuillportWindow::OnPortCheck(int nRow, bool bChecked) {
  if (nRow < 0 || nRow >= kPortRows || !m_view.bCheckboxesEnabled) return;
  m_view.rows[nRow].bChecked = bChecked;
  EnableRowControls(nRow, bChecked);
  Changed();
}

void CQuillportWindow::OnKey() {
  if (AnyBusy()) return m_host.MessageBox(window_text::kDownloading);
  m_bLock = !m_bLock;
  ApplyLock(m_bLock);
  Changed();
}

void CQuillportWindow::OnClose() {
  SavePortSelection();
}

void CQuillportWindow::OnDeviceChange(bool bArrived, const std::string& strComName) {
  int n = 0;
  if (std::sscanf(strComName.c_str(), "COM%d", &n) != 1) n = 0;
  if (bArrived) {
    if (n > 0) WritePortLog(n, kLogAlways, "--DEVICE ARRIVAL--");
    // A worker searching for a free phone port looks again at once.
    for (auto& pWorker : m_workers) {
      if (pWorker) pWorker->WakePortSearch();
    }
    return;
  }
  if (n <= 0) return;
  WritePortLog(n, kLogAlways, "--DEVICE REMOVE--");
  for (int i = 0; i < kPortRows; ++i) {
    if (m_view.rows[i].bChecked && m_workers[i] && m_workers[i]->GetPort() == n) {
      m_workers[i]->SetPortRemoved();
      break;
    }
  }
}

namespace {

// The green "done" look shared by a passed phone and a passed run.
void PaintDone(SRowView& row, RowColor text, bool bRestart) {
  row.progress = {100, COLOR_PASS, Rgb(0, 180, 0), Rgb(0, 255, 0), text, row.progress.bEnabled};
  row.dot = COLOR_PASS;
  row.statusBox = {window_text::kDone, COLOR_PASS, text, row.statusBox.bEnabled};
  row.stateBox = {window_text::kDone, COLOR_PASS, text, row.stateBox.bEnabled};
  if (row.timer.bRunning) row.timer.shown = std::chrono::steady_clock::now() - row.timer.started;
  row.timer.bRunning = false;
  row.timer.bReadOnly = true;
  row.bRestartEnabled = bRestart;
}

}  // namespace

int CQuillportWindow::OnUpdateMyData(const UiNotify& notify) {
  WriteOperateLog("[OnUpdateMyData] type:%d", notify.m_nType);
  const int i = notify.m_nIndex;
  if (i < 0 || i >= kPortRows) return 1;
  SRowView& row = m_view.rows[i];
  auto portFrom = [&](RowColor bk, RowColor text) {
    row.portLabel.bk = bk;
    row.portLabel.text = text;
    if (!notify.m_strPort.empty()) row.portLabel.strText = notify.m_strPort;
  };
  switch (notify.m_nType) {
    case TYPE_UI_INIT:
      row.progress = {-1,         COLOR_IDLE,           Rgb(200, 100, 52), Rgb(255, 128, 64),
                      COLOR_BLUE, row.progress.bEnabled};
      row.dot = COLOR_IDLE;
      row.statusBox = {window_text::kDetecting, COLOR_IDLE, COLOR_BLUE, row.statusBox.bEnabled};
      row.stateBox = {window_text::kIdle, COLOR_IDLE, COLOR_BLUE, row.stateBox.bEnabled};
      row.timer = STimerView{};
      row.timer.bReadOnly = false;
      row.bRestartEnabled = false;
      break;
    case TYPE_UI_STOP:
      row.progress.bk = COLOR_IDLE;
      row.progress.nPos = -1;
      row.dot = kWhite;
      row.statusBox = {window_text::kStopped, COLOR_IDLE, COLOR_BLUE, row.statusBox.bEnabled};
      row.stateBox = {window_text::kIdle, COLOR_IDLE, COLOR_BLUE, row.stateBox.bEnabled};
      row.portLabel.bk = COLOR_IDLE;
      row.portLabel.strText = window_text::kPort;
      CRowUi::Stop(row.timer);
      row.timer.bReadOnly = true;
      row.bRestartEnabled = true;
      // Counted by the worker before it posted this.
      if (m_workers[i]) row.nStopped = m_workers[i]->PhonesStopped();
      break;
    case TYPE_UI_END:  // the run's last phone passed: blue texts, restart allowed
      PaintDone(row, COLOR_BLUE, true);
      portFrom(COLOR_BASE, COLOR_BLUE);
      break;
    case TYPE_UI_PASS:  // a phone passed: white texts, the worker goes on
      PaintDone(row, kWhite, false);
      portFrom(COLOR_PASS, kWhite);
      ++row.nPassed;
      break;
    case TYPE_UI_ERR: {
      // The row's own COM port log: the number in "端口 N".
      WritePortLog(m_workers[i] ? std::max(m_workers[i]->GetPort(), 0) : 0, kLogAlways,
                   "TYPE_UI_ERR com:%s, index:%d", notify.m_strPort.c_str(), i);
      row.progress.percentText = kWhite;
      row.progress.from = Rgb(180, 0, 0);
      row.progress.to = Rgb(255, 0, 0);
      row.progress.bk = COLOR_FAIL;
      row.dot = COLOR_FAIL;
      row.statusBox = {notify.m_strMsg, COLOR_FAIL, kWhite, row.statusBox.bEnabled};
      row.stateBox = {window_text::kError, COLOR_FAIL, kWhite, row.stateBox.bEnabled};
      portFrom(COLOR_FAIL, kWhite);
      CRowUi::Stop(row.timer);
      row.bRestartEnabled = true;
      if (!notify.m_bByStop) ++row.nFailed;  // else counted stopped by the worker
      break;
    }
    case TYPE_UI_DETECTED:
      row.portLabel.strText = window_text::kPort;
      row.timer = STimerView{};
      row.timer.bReadOnly = false;
      row.bRestartEnabled = true;
      break;
    case TYPE_UI_FINISH:
      m_view.bBrowseEnabled = true;
      m_view.bCfpEnabled = false;
      break;
    default:
      return 1;
  }
  Changed();
  return 1;
}
