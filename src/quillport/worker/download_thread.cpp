#include "quillport/worker/download_thread.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <list>
#include <new>

#include "common/json_writer.h"
#include "common/op_log.h"
#include "common/phone_records.h"
#include "common/text.h"
#include "common/version.h"
#include "quillport/worker/worker_texts.h"
#include "serial/port_discovery.h"

namespace {

using namespace worker_text;
using Clock = std::chrono::steady_clock;

constexpr int kPassMs = 100;  // upper bound of one pass of every worker wait
constexpr int kOpenRetries = 4;
constexpr int kBaudRate = 921600;
// Passes of the removal wait between two looks at whether the port is still listed.
constexpr int kListingPasses = 10;

// Serialises the rows' search for a free port with the opening of the port
// found, and every listing of the ports. One for the process, as the ports
// are: rows of any window would otherwise take the same free port.
std::mutex& PortSearchLock() {
  static std::mutex lock;
  return lock;
}

// Under the port lock, like the search: workers never enumerate at the same time.
bool PortListed(int nPort) {
  std::lock_guard lock(PortSearchLock());
  return nPort > 0 && !DeviceOfComPort(nPort).empty();
}

}  // namespace

CDownloadThread::CDownloadThread(IRowUi& ui, int nIndex)
    : m_stepTap(ui),
      m_ui(m_stepTap),
      m_nIndex(nIndex),
      m_thread([this](const SMessage& msg) { OnThreadMessage(msg); }) {}

CDownloadThread::~CDownloadThread() {
  // Quit first, then look at the block: a run that starts meanwhile sees the
  // quit flag, one already running is stopped here (see Run).
  m_bQuit = true;
  if (SStopBlock* pStop = m_pRunStop.load()) pStop->SetStop(true);
  m_wake.Signal();
}

void CDownloadThread::SetLinkPolicy(const SLinkPolicy& policy) {
  std::lock_guard lock(m_startMutex);
  m_startLinkPolicy = policy;
}

void CDownloadThread::SetPortChoice(int nPinned, std::vector<int> reserved) {
  std::lock_guard lock(m_startMutex);
  m_nStartPinned = nPinned;
  m_startReserved = std::move(reserved);
}

bool CDownloadThread::PostStart(int nRow, SStopBlock* pStopBlock,
                                std::shared_ptr<const CDownloadPackage> pPackage) {
  {
    std::lock_guard lock(m_startMutex);
    m_pStartPackage = std::move(pPackage);
  }
  return PostThreadMessage(kStartRunMessage, static_cast<uintptr_t>(nRow),
                           reinterpret_cast<intptr_t>(pStopBlock));
}

void CDownloadThread::SetPortRemoved() {
  m_bPortRemoved = true;
  m_wake.Signal();
}

void CDownloadThread::OnThreadMessage(const SMessage& msg) {
  if (msg.nId == kStartRunMessage) Run(reinterpret_cast<SStopBlock*>(msg.lParam));
}

bool CDownloadThread::Stopping() const {
  const SStopBlock* pStop = m_pRunStop;
  return m_bQuit || (pStop && pStop->IsStopping());
}

void CDownloadThread::WaitPass(int nMs, bool bPump) {
  const SStopBlock* pStop = m_pRunStop;
  const platform::WaitHandle wakes[] = {pStop ? pStop->stopEvent.Handle() : platform::kNoWaitHandle,
                                        bPump ? m_wake.Handle() : platform::kNoWaitHandle};
  WaitForWakeUp(wakes, bPump, nMs);
  if (bPump) m_wake.Consume();
}

std::string CDownloadThread::PortText() const {
  const int nPort = m_nPort;
  return nPort < 1 ? std::string(kPort) : FormatText("%s %d", kPort, nPort);
}

void CDownloadThread::Log(int nLevel, const char* pszFormat, ...) const {
  va_list args;
  va_start(args, pszFormat);
  WritePortLogV(m_nPort, nLevel, pszFormat, args);
  va_end(args);
}

CDownloadThread::EOutcome CDownloadThread::Fail(std::string& strFail, std::string strText) {
  Log(kLogAlways, "%s", strText.c_str());
  strFail = std::move(strText);
  // A wait cut short by the operator's stop fails as well and goes through
  // the failure handling, which then ends the run on the stop; the phone was
  // cut short by the stop, and counts as stopped, not failed.
  m_bFailedByStop = Stopping();
  return EOutcome::Failed;
}

void CDownloadThread::Notify(int32_t nType, const std::string& strMsg, bool bSend) {
  m_notify.m_nType = nType;
  m_notify.m_nIndex = m_nIndex;
  m_notify.m_strPort = nType == TYPE_UI_INIT ? std::string(kPort) : PortText();
  m_notify.m_strMsg = strMsg;
  m_notify.m_bByStop = nType == TYPE_UI_ERR && m_bFailedByStop;
  m_ui.Notify(m_notify, bSend);
  m_nLastProgress = -2;  // the window may have moved the bar itself
}

void CDownloadThread::SetProgress(int nPos) {
  // Only changes are passed on: a large image has thousands of packets but a
  // hundred positions.
  if (nPos == m_nLastProgress) return;
  m_nLastProgress = nPos;
  m_ui.SetProgressPos(nPos);
}

bool CDownloadThread::CheckGadgetPort() {
  std::string strComName;
  {
    std::lock_guard lock(PortSearchLock());
    std::list<SSerInfo> ports;
    ListSerialPorts(ports, true, m_port.Policy());
    const auto it = std::find_if(ports.begin(), ports.end(), [this](const SSerInfo& port) {
      // A port without a COM number in its name could never be matched to its
      // removal, and the row would wait for it for good.
      const int nCom = GadgetComNumber(port.m_strFriendly);
      if (port.m_strFriendly.find("Gadget") == std::string::npos || nCom <= 0) return false;
      // The COM number stays with the USB socket: a pinned row serves its
      // socket only, and the other rows leave that socket to it.
      if (m_nPinnedPort > 0) return nCom == m_nPinnedPort;
      return std::find(m_reservedPorts.begin(), m_reservedPorts.end(), nCom) ==
             m_reservedPorts.end();
    });
    if (it == ports.end()) return false;
    m_nPort = GadgetComNumber(it->m_strFriendly);
    strComName = it->m_strComName;
    m_strUsbPath = it->m_strUsbPath;
    // Opened before the lock goes: otherwise the next worker's busy test
    // can take the same free port in between, and a healthy phone fails
    // with "port open failed" on one of the two rows.
    m_port.uart_init(m_nPort, kBaudRate, 0);
    m_port.uart_open();
  }
  m_ui.SetBoxText(ERowBox::PortLabel, strComName);  // after the lock: the window may be slow
  return true;
}

void CDownloadThread::Run(SStopBlock* pStop) {
  if (m_bBusy || !pStop) return;
  m_pRunStop = pStop;
  if (m_bQuit) {
    m_pRunStop = nullptr;
    return;
  }
  m_bBusy = true;
  {
    std::lock_guard lock(m_startMutex);
    m_pPackage = m_pStartPackage;
    m_port.SetPolicy(m_startLinkPolicy.port);
    m_link.SetPolicy(m_startLinkPolicy);
    m_nPinnedPort = m_nStartPinned;
    m_reservedPorts = m_startReserved;
  }
  m_packList = m_pPackage ? m_pPackage->Entries() : std::vector<PackEntry>{};
  m_ui.EnableSharedControls(false);
  std::vector<uint8_t> packet;
  try {
    packet.resize(pdl::kPacketBufferSize);
  } catch (const std::bad_alloc&) {
    // Nothing can be sent without the buffer: the run ends with the row red.
    m_ui.SetBoxText(ERowBox::Status, kNoMemory);
    Log(kLogAlways, "%s", kNoMemory);
    Notify(TYPE_UI_ERR, kNoMemory, false);
    ReleasePackage();
    m_pRunStop = nullptr;
    m_bBusy = false;
    return;
  }
  m_port.SetStopBlock(pStop);
  m_notify = UiNotify{};

  std::string strFail;
  for (;;) {
    std::fill(packet.begin(), packet.end(), 0);
    m_link.SetPacketBuffer(packet.data());
    m_bPortRemoved = false;
    m_nPort = -1;
    strFail.clear();
    m_imageInfo.clear();
    Notify(TYPE_UI_INIT, "", true);
    m_ui.SetBoxBkColor(ERowBox::PortLabel, COLOR_IDLE);
    m_ui.SetBoxTextColor(ERowBox::PortLabel, COLOR_BLUE);
    m_ui.SetBoxText(ERowBox::PortLabel, kPort);
    m_ui.EnableRestart(false);

    m_bPhoneOpened = false;
    m_bFailedByStop = false;
    m_stepTap.ClearStep();
    EOutcome eOutcome = ServePhone(strFail);
    // A failure the stop flag caused is recorded as stopped, with its text.
    if (m_bPhoneOpened) SubmitRecord(m_bFailedByStop ? EOutcome::Stopped : eOutcome, strFail);
    // A phone whose port was opened is cut short by the stop: neither passed
    // nor failed, and it must not pass for a clean station either.
    if ((eOutcome == EOutcome::Stopped || m_bFailedByStop) && m_bPhoneOpened) ++m_nPhonesStopped;
    if (eOutcome == EOutcome::Passed) {
      Notify(TYPE_UI_PASS, "", true);
      m_bPassed = true;
      m_link.SendPowerOffCmd();
      WaitPass(kPassMs, false);
      eOutcome = WaitForRemoval();
      if (eOutcome == EOutcome::Stopped) break;
      m_port.uart_cleanup();
    } else if (eOutcome == EOutcome::Failed) {
      if (HandleFailure(strFail) == EOutcome::Stopped) break;
    } else {
      break;
    }
  }

  Log(0, "l_end m_nIndex:%d", m_nIndex.load());
  m_port.uart_cleanup();
  DispatchOnePending();
  Log(0, "com close finished!");
  m_ui.StopTimer();
  const bool bStop = pStop->IsStopping();
  if (m_bPassed && !bStop) {
    Log(0, "Post TYPE_UI_END m_nIndex:%d", m_nIndex.load());
    Notify(TYPE_UI_END, strFail, true);
  }
  m_link.SetPacketBuffer(nullptr);
  m_port.SetStopBlock(nullptr);
  ReleasePackage();
  if (bStop) {
    Notify(TYPE_UI_STOP, strFail, false);
    m_nPort = -1;
    m_pRunStop = nullptr;
    m_bBusy = false;
  } else {
    m_pRunStop = nullptr;
    m_bBusy = false;
    Notify(TYPE_UI_FINISH, "", false);
  }
}

void CDownloadThread::ReleasePackage() {
  // Before the row reads idle: a start posted after that brings its own.
  {
    std::lock_guard lock(m_startMutex);
    if (m_pStartPackage == m_pPackage) m_pStartPackage.reset();
  }
  m_pPackage.reset();
}

CDownloadThread::EOutcome CDownloadThread::ServePhone(std::string& strFail) {
  while (!CheckGadgetPort()) {
    strFail.clear();
    DispatchOnePending();
    if (Stopping()) return EOutcome::Stopped;
    WaitPass(kPassMs, true);
  }
  m_ui.SetBoxText(ERowBox::PortLabel, PortText());

  // The search made the first attempt under the port lock; four more follow.
  if (!m_port.IsOpen()) {
    strFail = kPortOpenFailed;
    Log(0, "m_nThreadIndex:%d", m_nIndex.load());
    Log(0, "%s", strFail.c_str());
    if (Stopping()) return EOutcome::Stopped;
    bool bOpen = false;
    for (int i = 0; i < kOpenRetries && !bOpen; ++i) {
      WaitPass(kPassMs, false);
      if (Stopping()) return EOutcome::Stopped;
      bOpen = m_port.uart_open();
    }
    if (!bOpen) return EOutcome::Failed;
    strFail.clear();
  }
  m_bPhoneOpened = true;
  m_phoneStarted = std::chrono::system_clock::now();
  m_phoneStartedSteady = Clock::now();
  if (Stopping()) return EOutcome::Stopped;

  m_ui.SetProgressBkColor(COLOR_IDLE);
  SetProgress(-1);
  m_ui.SetDotColor(COLOR_IDLE);
  for (ERowBox box : {ERowBox::Status, ERowBox::State}) {
    m_ui.SetBoxBkColor(box, COLOR_IDLE);
    m_ui.SetBoxText(box, kClosed);
  }
  m_ui.SetBoxBkColor(ERowBox::PortLabel, COLOR_IDLE);
  m_ui.SetBoxTextColor(ERowBox::PortLabel, COLOR_BLUE);
  m_ui.SetBoxText(ERowBox::PortLabel, PortText());

  if (!m_link.SendConnectCmd()) return Fail(strFail, "Send connect[CMD] command failed!");
  if (!m_link.WaitForAck(nullptr, kTimeout60s)) {
    return Fail(strFail, "Get connect[ACK] command failed!");
  }

  m_ui.StartTimer();
  m_ui.SetProgressBkColor(COLOR_BUSY);
  SetProgress(0);
  m_ui.SetDotColor(COLOR_BUSY);
  m_ui.SetBoxBkColor(ERowBox::Status, COLOR_BUSY);
  m_ui.SetBoxText(ERowBox::Status, kDownloading);
  m_ui.SetBoxBkColor(ERowBox::State, COLOR_BUSY);
  m_ui.SetBoxText(ERowBox::State, kConnected);
  Log(0, "--SendConnectCmd--ok");
  m_ui.SetBoxBkColor(ERowBox::PortLabel, COLOR_BUSY);
  m_ui.SetBoxText(ERowBox::PortLabel, PortText());
  if (Stopping()) return EOutcome::Stopped;

  return RunSequence(strFail);
}

CDownloadThread::EOutcome CDownloadThread::HandleFailure(const std::string& strFail) {
  Log(kLogAlways, "---go to err!---");
  m_bPassed = false;
  Log(kLogAlways, "Post TYPE_UI_ERR m_nIndex:%d", m_nIndex.load());
  DispatchOnePending();
  Notify(TYPE_UI_ERR, strFail, false);

  // A connect command that can still be written means the phone is still there.
  bool bFirst = true;
  while (m_link.SendConnectCmd()) {
    DispatchOnePending();
    if (bFirst) {
      Notify(TYPE_UI_DETECTED, strFail, false);
      Log(0, "Post TYPE_UI_DETECTED m_nIndex:%d", m_nIndex.load());
      bFirst = false;
    }
    if (Stopping()) return EOutcome::Stopped;
    WaitPass(kPassMs, true);
  }
  if (WaitForRemoval() == EOutcome::Stopped) return EOutcome::Stopped;

  Log(0, "l_err end! go to l_next! m_nThreadIndex:%d", m_nIndex.load());
  m_nPort = -1;
  m_port.uart_cleanup();
  DispatchOnePending();
  return EOutcome::Failed;
}

CDownloadThread::EOutcome CDownloadThread::WaitForRemoval() {
  bool bFirst = true;
  for (int nPass = 0; !m_bPortRemoved; ++nPass) {
    DispatchOnePending();
    if (bFirst) {
      Notify(TYPE_UI_DETECTED, "", true);
      bFirst = false;
    }
    if (Stopping()) return EOutcome::Stopped;
    // The window flags a removal only to a row whose port matches at that
    // moment: one that came before the search had set m_nPort, or that went
    // to another row holding the same number, would keep this row waiting
    // for good. A port no longer listed has gone as well.
    if (nPass % kListingPasses == 0 && !PortListed(m_nPort)) break;
    // The port is still open here: when it hangs up, this phone has gone,
    // even if the next one already sits on the same socket and name, which
    // a listing, or a watcher comparing listings, cannot tell apart.
    if (m_port.DeviceGone()) break;
    WaitPass(kPassMs, true);
  }
  return EOutcome::Passed;
}

void CDownloadThread::SubmitRecord(EOutcome eOutcome, const std::string& strFail) {
  const CRecordWriter* pRecords = PhoneRecords();
  if (!pRecords) return;
  const auto ended = std::chrono::system_clock::now();
  const double dSeconds =
      std::chrono::duration<double>(Clock::now() - m_phoneStartedSteady).count();
  const char* pszResult = eOutcome == EOutcome::Passed   ? "passed"
                          : eOutcome == EOutcome::Failed ? "failed"
                                                         : "stopped";
  std::string strImages = "[";
  for (const PackEntry& entry : m_packList) {
    if (strImages.size() > 1) strImages += ',';
    const std::string strName(entry.m_szName, strnlen(entry.m_szName, sizeof entry.m_szName));
    strImages += CJsonObject().Add("name", strName).Add("size", int64_t{entry.m_dwSize}).Text();
  }
  strImages += ']';
  const std::string strPackage =
      m_pPackage ? std::filesystem::path(m_pPackage->Path()).filename().string() : "";
  CJsonObject record;
  record.Add("tool", "quillport")
      .Add("version", kProductVersion)
      .Add("station", pRecords->Station())
      .Add("row", m_nIndex + 1)
      .Add("port", FormatText("COM%d", m_nPort.load()))
      .AddOrNull("usb_path", m_strUsbPath)
      .Add("started", IsoLocalTime(m_phoneStarted))
      .Add("ended", IsoLocalTime(ended))
      .Add("seconds", dSeconds)
      .Add("result", pszResult)
      .AddOrNull("failure", eOutcome == EOutcome::Passed ? std::string() : strFail)
      .AddOrNull("step", m_stepTap.Step())
      .AddOrNull("package", strPackage)
      .AddOrNull("package_sha256", m_pPackage ? m_pPackage->Sha256() : std::string())
      .AddRaw("images", strImages);
  SubmitPhoneRecord(record.Text());
}
