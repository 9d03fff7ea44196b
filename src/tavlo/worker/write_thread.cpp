#include "tavlo/worker/write_thread.h"

#include <chrono>
#include <list>
#include <utility>

#include "common/deadline.h"
#include "common/json_writer.h"
#include "common/phone_records.h"
#include "common/text.h"
#include "common/version.h"
#include "serial/port_discovery.h"
#include "tavlo/settings/writer_settings.h"

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

CWriteThread::CWriteThread(IWriterUi& ui, const WriterSettings& settings, CNumberSources& sources,
                           CWriteHistories& histories, uint8_t* pPacketBuffer)
    : m_tap(ui),
      m_ui(m_tap),
      m_settings(settings),
      m_histories(histories),
      m_numbers(settings, sources, histories, m_ui),
      m_sequence(m_ui, settings, pPacketBuffer, m_bStop, m_stopEvent),
      m_thread([this](const SMessage& msg) { OnThreadMessage(msg); }) {
  m_numbers.WatchStop(m_bStop);
}

CWriteThread::~CWriteThread() {
  RequestQuit();
}

bool CWriteThread::PostStart(int nPhoneLimit) {
  m_nPhoneLimit = nPhoneLimit;
  m_bStop = false;
  m_stopEvent.Consume();
  return m_thread.PostThreadMessage(kStartWriteMessage, 0, 0);
}

void CWriteThread::RequestStop() {
  m_bStop = true;
  m_stopEvent.Signal();
}

void CWriteThread::RequestQuit() {
  m_bQuit = true;
  RequestStop();
}

void CWriteThread::OnThreadMessage(const SMessage& msg) {
  if (msg.nId == kStartWriteMessage) OnStartWrite();
}

void CWriteThread::Pause(int nMs) {
  const CDeadline deadline(nMs);
  const platform::WaitHandle stop = m_stopEvent.Handle();
  while (!Stopping() && !deadline.Passed()) {
    WaitForWakeUp({&stop, 1}, true, deadline.LeftMs());
    DispatchOnePending();
  }
}

CWriteThread::EStep CWriteThread::PollWhile(const std::function<bool()>& fnWaiting) {
  for (;;) {
    const bool bWaiting = fnWaiting();
    // Served on every pass, the last too: a message posted before the look
    // (a Start pressed while the phone was leaving) is handled within the
    // run, not after it as a new one.
    DispatchOnePending();
    if (!bWaiting) return EStep::Next;
    if (Stopping()) return EStep::End;
    Pause(kPollMs);
  }
}

bool CWriteThread::FindGadgetPort() {
  std::list<SSerInfo> ports;
  try {
    ListSerialPorts(ports, false);
  } catch (const std::exception&) {
    return false;  // a failed system query counts as no phone yet
  }
  for (const SSerInfo& port : ports) {
    DispatchOnePending();
    if (port.m_strFriendly.find("Gadget") == std::string::npos) continue;
    // A "Gadget" name without a COM number cannot be opened: look further.
    const int nPort = GadgetComNumber(port.m_strFriendly);
    if (nPort < 1) continue;
    m_nComPort = nPort;
    m_strUsbPath = port.m_strUsbPath;
    return true;
  }
  return false;
}

bool CWriteThread::IsComPortPresent(int nPort) {
  return nPort >= 1 && nPort <= 255 && !DeviceOfComPort(nPort).empty();
}

bool CWriteThread::IsListRun() const {
  const WriterSettings& s = m_settings;
  for (InputType eType : {INPUT_CUSTOM, INPUT_FROM_FILE}) {
    if ((s.m_bWriteImei && s.m_nImeiInputType == eType) ||
        (s.m_bWriteMbsn && s.m_nMbsnInputType == eType) ||
        (s.m_bWritePsn && s.m_nPsnInputType == eType)) {
      return true;
    }
  }
  return false;
}

bool CWriteThread::IsSinglePhoneRun() const {
  const WriterSettings& s = m_settings;
  return (s.m_bWriteImei && s.m_nImeiInputType == INPUT_MANUAL) ||
         (s.m_bWriteMbsn && s.m_nMbsnInputType == INPUT_MANUAL) ||
         (s.m_bWritePsn && s.m_nPsnInputType == INPUT_MANUAL) || s.m_bWriteDdr || s.m_bWriteLcd;
}

void CWriteThread::OnStartWrite() {
  if (m_bBusy) return;
  // A ledger call waiting on its server ends at once on a Stop: the ledger
  // watches the stop event for the run (it stays signalled once set).
  struct SLendStop {
    CWriteHistories& histories;
    ~SLendStop() { histories.WatchLedgerStop(platform::kNoWaitHandle); }
  } lend{m_histories};
  m_histories.WatchLedgerStop(m_stopEvent.Handle());
  m_bSucceeded = false;
  m_bBusy = true;
  m_nRunWritten = 0;
  const Clock::time_point start = Clock::now();

  EStep eStep = EStep::Next;
  for (;;) {
    bool bNextPhone = false;
    eStep = PhoneCycle(&bNextPhone);
    if (eStep != EStep::Next || !bNextPhone) break;
    // A Stop that came while the last phone left ends the run here, before
    // numbers are drawn for a phone that will never be served.
    if (Stopping()) {
      eStep = EStep::End;
      break;
    }
  }
  if (eStep == EStep::Next) {
    // Refused: the numbers have told the operator and ended the run. A list
    // run may have known its port; the next run looks for the phone afresh.
    m_sequence.Close();
    m_nComPort = -1;
    ++m_nRunsEnded;
    return;
  }

  SettleNumbers();
  if (eStep == EStep::End && Stopping() && m_bPhoneOpened && !m_bSucceeded) {
    ++m_nPhonesStopped;
    SubmitRecord("stopped");
  }
  if (eStep == EStep::Fail && m_bPhoneOpened) SubmitRecord("failed");
  m_bPhoneOpened = false;
  if (eStep == EStep::Fail) {
    ++m_nPhonesFailed;
    m_strSummary = "Write Error!";
    m_ui.DisplayEchoText("Write failed!", kLogError);
    m_ui.SetStatus(kStateFailed);
    if (!Stopping()) Pause(kFailurePauseMs);
  }
  // End path.
  m_ui.PostWriteNotify(kNotifyRunOver);
  m_sequence.Close();
  m_bBusy = false;
  std::string strLine;
  if (m_bSucceeded) {
    const double dSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    strLine = FormatText("Write cost %0.2f s", dSeconds);
  } else if (Stopping()) {
    strLine = "Write Stop!";
  } else {
    strLine = m_strSummary;
  }
  m_nComPort = -1;
  m_ui.DisplayEchoText(strLine, kLogSummary);
  ++m_nRunsEnded;
}

void CWriteThread::SettleNumbers() {
  if (std::exchange(m_bKeepReserved, false)) return;
  if (!m_bNumbersSent) return m_numbers.ReleaseNumbers();
  // The phone may hold its numbers though it failed or was stopped after
  // the write-back went out: they are never handed out again.
  m_bNumbersSent = false;
  m_numbers.RecordNumbers();
}

// One phone. Returns Next with *pbNextPhone for another phone of a list
// run, Next alone when the numbers refused (the run is already over).
CWriteThread::EStep CWriteThread::PhoneCycle(bool* pbNextPhone) {
  m_strSummary.clear();
  m_bSucceeded = false;
  m_bPhoneOpened = false;
  m_tap.Clear();
  m_ui.ClearEcho();

  switch (m_numbers.PrepareNumbers(&m_bBusy)) {
    case EPrepareResult::Refused:
      return EStep::Next;
    case EPrepareResult::Exhausted:
      return EStep::Fail;
    case EPrepareResult::Ready:
      break;
  }
  m_ui.DisplayEchoText("Please plugin a new phone and power on!", kLogProgress);
  m_ui.SetStatus(kStateIdle);

  const bool bKnownPort = m_nComPort != -1;
  if (!bKnownPort) {
    if (PollWhile([this] { return !FindGadgetPort(); }) == EStep::End) return EStep::End;
    m_ui.DisplayEchoText(FormatText("Find the phone on COM%d, now open it", m_nComPort.load()),
                         kLogProgress);
  } else {
    if (PollWhile([this] { return !IsComPortPresent(m_nComPort); }) == EStep::End)
      return EStep::End;
    Pause(kSettleMs);
  }
  m_phoneStarted = std::chrono::system_clock::now();
  m_phoneStartedSteady = Clock::now();
  if (EStep e = OpenPort(); e != EStep::Next) return e;
  m_bPhoneOpened = true;

  if (Stopping()) return EStep::End;
  m_ui.DisplayEchoText("Open port OK!", kLogSuccess);
  m_ui.SetStatus(kStateIdle);
  if (Stopping()) return EStep::End;

  if (EStep e = WritePhone(); e != EStep::Next) return e;

  // A number written into a phone must never be handed out again: a history
  // line that did not reach the disk ends the run as a failure.
  std::string strError;
  m_bNumbersSent = false;
  if (!m_numbers.RecordNumbers(&strError)) {
    m_bKeepReserved = true;  // recorded by the next reservation or start
    return FailStep(m_ui, "Write history failed! " + strError);
  }

  // Counted before the banner turns: the window's count shows with it.
  ++m_nPhonesWritten;
  m_ui.DisplayEchoText("Write OK!", kLogWriteOk);
  m_ui.SetStatus(kStateDone);
  m_numbers.NotifyTypedKinds();
  m_bSucceeded = true;
  ++m_nRunWritten;
  SubmitRecord("passed");

  if (IsListRun()) {
    if (WaitPhoneGone() == EStep::End) return EStep::End;
    // The last phone of a limited run has left: the run is over before any
    // number is drawn for another.
    if (const int nLimit = m_nPhoneLimit; nLimit > 0 && m_nRunWritten >= nLimit) return EStep::End;
    m_sequence.Close();
    Pause(kNextPhoneMs);
    m_numbers.ClearNumberFields();
    *pbNextPhone = true;
    return EStep::Next;
  }
  if (IsSinglePhoneRun()) {
    m_ui.SetStatus(kStateDone);
    m_ui.PostWriteNotify(kNotifyRunOver);
    if (EStep e = WaitPhoneGone(); e != EStep::Next) return e;
    m_ui.SetStatus(kStateIdle);
    return EStep::End;
  }
  return EStep::Fail;
}

CWriteThread::EStep CWriteThread::WaitPhoneGone() {
  return PollWhile([this] { return m_sequence.IsPhoneConnected(); });
}

CWriteThread::EStep CWriteThread::OpenPort() {
  if (m_sequence.Open(m_nComPort)) return EStep::Next;
  m_ui.DisplayEchoText("Open port failed!", kLogError);
  m_ui.SetStatus(kStateFailed);
  for (int n = 0; n < kOpenRetries; ++n) {
    if (m_sequence.Reopen()) return EStep::Next;
    Pause(kOpenRetryMs);
  }
  return FailStep(m_ui, "reopen port failed!");
}

CWriteThread::EStep CWriteThread::WritePhone() {
  if (EStep e = m_sequence.Connect(); e != EStep::Next) return e;
  if (EStep e = m_sequence.UploadBootImage(); e != EStep::Next) return e;
  if (EStep e = m_sequence.EnterFactoryMode(); e != EStep::Next) return e;
  if (EStep e = m_sequence.ReadFactoryData(); e != EStep::Next) return e;
  if (EStep e = m_sequence.FillImage(m_numbers.Numbers()); e != EStep::Next) return e;

  // From here on the numbers may reach the phone: a crash must not free them.
  std::string strReserveError;
  m_histories.NotePhonePort(m_nComPort);
  if (!m_numbers.ReserveNumbers(&strReserveError))
    return FailStep(m_ui, "Write history failed! " + strReserveError);
  if (EStep e = m_sequence.WriteBack(&m_bNumbersSent); e != EStep::Next) return e;
  if (m_settings.m_bCheckImei && m_settings.m_bWriteImei) return m_sequence.CheckImei();
  return EStep::Next;
}

void CWriteThread::SubmitRecord(const char* pszResult) {
  const CRecordWriter* pRecords = PhoneRecords();
  if (!pRecords) return;
  const bool bPassed = std::string(pszResult) == "passed";
  const SPhoneNumbers& nums = m_numbers.Numbers();
  std::vector<std::string> imeis;
  if (m_settings.m_bWriteImei) {
    for (int i = 0; i < m_settings.m_nImeiCount && i < static_cast<int>(nums.m_strImei.size()); ++i)
      imeis.push_back(nums.m_strImei[static_cast<size_t>(i)]);
  }
  CJsonObject record;
  record.Add("tool", "tavlo")
      .Add("version", kProductVersion)
      .Add("station", pRecords->Station())
      .Add("port", FormatText("COM%d", m_nComPort.load()))
      .AddOrNull("usb_path", m_strUsbPath)
      .Add("started", IsoLocalTime(m_phoneStarted))
      .Add("ended", IsoLocalTime(std::chrono::system_clock::now()))
      .Add("seconds", std::chrono::duration<double>(Clock::now() - m_phoneStartedSteady).count())
      .Add("result", pszResult)
      .AddOrNull("failure", bPassed ? std::string() : m_tap.Failure())
      .AddOrNull("step", m_tap.Step())
      .Add("imei", imeis)
      .AddOrNull("mbsn", m_settings.m_bWriteMbsn ? nums.m_strMbsn : std::string())
      .AddOrNull("psn", m_settings.m_bWritePsn ? nums.m_strPsn : std::string())
      .AddOrNull("chip", m_settings.m_strChipset)
      .Add("checked", bPassed && m_settings.m_bCheckImei && m_settings.m_bWriteImei);
  SubmitPhoneRecord(record.Text());
}
