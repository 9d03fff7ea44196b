#include "tavlo/worker/write_thread.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <list>
#include <utility>
#include <vector>

#include "common/deadline.h"
#include "common/text.h"
#include "serial/port_discovery.h"
#include "tavlo/settings/writer_settings.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kFactoryPartition = "factorydata";

}  // namespace

CWriteThread::CWriteThread(IWriterUi& ui, const WriterSettings& settings, CNumberSources& sources,
                           CWriteHistories& histories, uint8_t* pPacketBuffer)
    : m_ui(ui),
      m_settings(settings),
      m_histories(histories),
      m_pPacket(pPacketBuffer),
      m_numbers(settings, sources, histories, ui),
      m_link(EToolFlavor::Writer, pPacketBuffer),
      m_thread([this](const SMessage& msg) { OnThreadMessage(msg); }) {}

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

void CWriteThread::Log(int nKind, const char* pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  const std::string strText = FormatTextV(pszFormat, args);
  va_end(args);
  m_ui.DisplayEchoText(strText, nKind);
}

CWriteThread::EStep CWriteThread::FailWith(const char* pszLine) {
  m_ui.DisplayEchoText(pszLine, kLogError);
  m_ui.SetStatus(kStateFailed);
  return EStep::Fail;
}

void CWriteThread::WaitPass(int nMs) {
  platform::WaitHandle wakes[2] = {m_stopEvent.Handle(), platform::kNoWaitHandle};
  if (CMessageQueue* pQueue = CMessageQueue::Current()) wakes[1] = pQueue->WakeHandle();
  platform::WaitAny(wakes, nMs);
}

void CWriteThread::Pause(int nMs) {
  const CDeadline deadline(nMs);
  while (!Stopping() && !deadline.Passed()) {
    WaitPass(deadline.LeftMs());
    DispatchOnePending();
  }
}

CWriteThread::EStep CWriteThread::PollWhile(const std::function<bool()>& fnWaiting) {
  while (fnWaiting()) {
    DispatchOnePending();
    if (Stopping()) return EStep::End;
    WaitPass(kPollMs);
  }
  return EStep::Next;
}

bool CWriteThread::FindGadgetPort() {
  std::list<SSerInfo> ports;
  try {
    ListSerialPorts(ports, false, EToolFlavor::Writer);
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
    return true;
  }
  return false;
}

bool CWriteThread::IsComPortPresent(int nPort) {
  return nPort >= 1 && nPort <= 255 && !DeviceOfComPort(nPort).empty();
}

bool CWriteThread::IsPhoneConnected() {
  return m_link.SendConnectCmd();
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
    m_link.uart_cleanup();
    m_nComPort = -1;
    ++m_nRunsEnded;
    return;
  }

  SettleNumbers();
  if (eStep == EStep::End && Stopping() && m_bPhoneOpened && !m_bSucceeded) ++m_nPhonesStopped;
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
  m_pBootFile.reset();
  m_link.uart_cleanup();
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
    Log(kLogProgress, "Find the phone on COM%d, now open it", m_nComPort.load());
  } else {
    if (PollWhile([this] { return !IsComPortPresent(m_nComPort); }) == EStep::End)
      return EStep::End;
    Pause(kSettleMs);
  }
  if (EStep e = OpenPort(); e != EStep::Next) return e;
  m_bPhoneOpened = true;

  if (Stopping()) return EStep::End;
  m_ui.DisplayEchoText("Open port OK!", kLogSuccess);
  m_ui.SetStatus(kStateIdle);
  if (Stopping()) return EStep::End;

  if (!m_link.SendConnectCmd()) return FailWith("Send connect[CMD] command failed!");
  if (!m_link.WaitForAck()) return FailWith("Get connect[ACK] command failed!");
  if (Stopping()) return EStep::End;

  if (EStep e = UploadBootImage(); e != EStep::Next) return e;

  if (!m_link.SendFactModeCmd()) return FailWith("SendFactModeCmd failed!");
  if (!m_link.WaitForAck()) return FailWith("WaitForAck SendFactModeCmd failed!");
  m_ui.DisplayEchoText("Set SET_FACTMODE cmd OK!", kLogSuccess);
  m_ui.SetStatus(kStateWriting);
  if (Stopping()) return EStep::End;

  if (!GetFactoryData()) return FailWith("GetFactoryData failed!");
  if (Stopping()) return EStep::End;

  const WriterSettings& s = m_settings;
  const SPhoneNumbers& nums = m_numbers.Numbers();
  // The fill operations refuse texts of the wrong length; the numbers passed
  // their checks, so a refusal here is a fault that must not reach the phone.
  if (s.m_bWriteImei && !FillImeiArea(Image(), nums.m_strImei[0], nums.m_strImei[1],
                                      nums.m_strImei[2], nums.m_strImei[3])) {
    return FailWith("Fill IMEI area failed!");
  }
  if (s.m_bWriteMbsn && !FillMbsnArea(Image(), nums.m_strMbsn, s.m_nMbsnLength))
    return FailWith("Fill MBSN area failed!");
  if (s.m_bWritePsn && !FillPsnArea(Image(), nums.m_strPsn, s.m_nPsnLength))
    return FailWith("Fill PSN area failed!");
  const SLcdDdrInput lcd{s.m_nMagicNumber, m_ui.GetLcdInterface(), m_ui.GetLcdName(),
                         m_ui.GetDdrPath()};
  switch (FillLcdDdrBlock(Image(), s.m_bWriteLcd, s.m_bWriteDdr, lcd)) {
    case LcdDdrResult::Ok:
      break;
    case LcdDdrResult::DdrFileMissing:
      m_ui.DisplayEchoText(kDdrMissingLine, kLogProgress);
      break;
    case LcdDdrResult::LcdNameTooLong:
      return FailWith("LCD name too long!");
    case LcdDdrResult::DdrFileTooLarge:
      return FailWith("DDR file too large!");
  }

  // From here on the numbers may reach the phone: a crash must not free them.
  std::string strReserveError;
  m_histories.NotePhonePort(m_nComPort);
  if (!m_numbers.ReserveNumbers(&strReserveError)) {
    const std::string strLine = "Write history failed! " + strReserveError;
    return FailWith(strLine.c_str());
  }
  if (EStep e = WriteBack(); e != EStep::Next) return e;

  if (s.m_bCheckImei && s.m_bWriteImei) {
    if (!CheckImei()) return FailWith("IMEI data check failed!");
    m_ui.DisplayEchoText("Check IMEI OK!", kLogSuccess);
  }

  // A number written into a phone must never be handed out again: a history
  // line that did not reach the disk ends the run as a failure.
  std::string strError;
  m_bNumbersSent = false;
  if (!m_numbers.RecordNumbers(&strError)) {
    m_bKeepReserved = true;  // recorded by the next reservation or start
    const std::string strLine = "Write history failed! " + strError;
    return FailWith(strLine.c_str());
  }

  m_ui.DisplayEchoText("Write OK!", kLogWriteOk);
  m_ui.SetStatus(kStateDone);
  m_numbers.NotifyTypedKinds();
  m_bSucceeded = true;
  ++m_nPhonesWritten;
  ++m_nRunWritten;

  if (IsListRun()) {
    if (WaitPhoneGone() == EStep::End) return EStep::End;
    // The last phone of a limited run has left: the run is over before any
    // number is drawn for another.
    if (const int nLimit = m_nPhoneLimit; nLimit > 0 && m_nRunWritten >= nLimit) return EStep::End;
    m_link.uart_cleanup();
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
  return PollWhile([this] { return IsPhoneConnected(); });
}

CWriteThread::EStep CWriteThread::OpenPort() {
  m_link.uart_init(m_nComPort, kBaudRate, 0);
  if (m_link.uart_open()) return EStep::Next;
  m_ui.DisplayEchoText("Open port failed!", kLogError);
  m_ui.SetStatus(kStateFailed);
  for (int n = 0; n < kOpenRetries; ++n) {
    if (m_link.uart_open()) return EStep::Next;
    Pause(kOpenRetryMs);
  }
  return FailWith("reopen port failed!");
}

CWriteThread::EStep CWriteThread::UploadBootImage() {
  const std::string strPath = JoinPath(m_settings.m_strImageDir, kBootImageName);
  m_pBootFile.reset(std::fopen(strPath.c_str(), "rb"));
  if (!m_pBootFile) return FailWith("Open boot_fact failed!");
  std::FILE* pFile = m_pBootFile.get();
  long nFileSize = -1;
  if (std::fseek(pFile, 0, SEEK_END) == 0) nFileSize = std::ftell(pFile);
  if (nFileSize < 0 || nFileSize > INT32_MAX || std::fseek(pFile, 0, SEEK_SET) != 0) {
    m_pBootFile.reset();
    return FailWith("Open boot_fact failed!");
  }
  const uint32_t nSize = static_cast<uint32_t>(nFileSize);

  m_ui.DisplayEchoText("Start to write boot_fact", kLogProgress);
  m_ui.SetStatus(kStateWriting);
  if (Stopping()) return EStep::End;

  auto fail = [this](const char* pszLine) {
    m_pBootFile.reset();
    return FailWith(pszLine);
  };
  if (!m_link.SendStartDataCmd(kBootAddress, nullptr, nSize, false))
    return fail("SendStartDataCmd Write boot_fact failed!");
  if (!m_link.WaitForAck()) return fail("WaitForAck Write boot_fact failed!");
  if (Stopping()) return EStep::End;

  uint32_t nChunk = kBootChunk, nSent = 0;
  bool bLast = false;
  for (;;) {
    DispatchOnePending();
    if (Stopping()) return EStep::End;
    const size_t n = std::fread(m_pPacket + pdl::kPayloadOffset, 1, nChunk, pFile);
    // A file that shrank under the upload would never reach its announced
    // size: a short read is a failure rather than an endless loop.
    if (n < std::min(nChunk, nSize - nSent)) return fail("Read boot_fact failed!");
    if (n > 0) {
      if (!m_link.SendMidDataCmd(m_pPacket, static_cast<uint32_t>(n)))
        return fail("SendMidDataCmd Write boot_fact failed!");
      if (!m_link.WaitForAck()) return fail("WaitForAck Write boot_fact failed!");
    }
    nSent += static_cast<uint32_t>(n);
    Log(kLogProgress, "Write boot_fact %d bytes of %d bytes ...", static_cast<int>(nSent),
        static_cast<int>(nSize));
    if (bLast) break;
    if (nSize - nSent < nChunk) {
      nChunk = nSize - nSent;
      bLast = true;
    }
  }
  m_pBootFile.reset();

  if (Stopping()) return EStep::End;
  if (!m_link.SendEndDataCmd()) return FailWith("SendEndDataCmd Write boot_fact failed!");
  if (!m_link.WaitForAck()) return FailWith("WaitForAck Write boot_fact failed!");
  m_ui.DisplayEchoText("Write boot_fact OK!", kLogSuccess);
  m_ui.SetStatus(kStateWriting);
  if (Stopping()) return EStep::End;

  if (!m_link.SendExecDataCmd()) return FailWith("Exec boot_fact failed!");
  if (!m_link.WaitForAck()) return FailWith("WaitForAck boot_fact failed!");
  m_ui.DisplayEchoText("Exec boot_fact OK!", kLogSuccess);
  m_ui.SetStatus(kStateWriting);
  return EStep::Next;
}

CWriteThread::EStep CWriteThread::WriteBack() {
  m_ui.DisplayEchoText("Writting data to Flash ...", kLogProgress);
  if (!m_link.SendStartDataCmd(0, m_settings.m_strFactName.c_str(), kFactoryDataSize, true))
    return FailWith("SendStartDataCmd Write Flash partion failed!");
  if (!m_link.WaitForAck()) return FailWith("WaitForAck Write Flash partion failed!");
  if (Stopping()) return EStep::End;
  // The packet is built in place: its header goes right in front of the image.
  m_bNumbersSent = true;
  if (!m_link.SendMidDataCmd(m_pPacket + kImageOffset - pdl::kPayloadOffset, kFactoryDataSize))
    return FailWith("SendMidDataCmd Write Flash partion failed!");
  if (!m_link.WaitForAck()) return FailWith("WaitForAck Write Flash partion failed!");
  if (Stopping()) return EStep::End;
  if (!m_link.SendEndDataCmd()) return FailWith("SendEndDataCmd Write Flash partion failed!");
  if (!m_link.WaitForAck()) return FailWith("WaitForAck Write Flash partion failed!");
  if (Stopping()) return EStep::End;
  m_ui.DisplayEchoText("Write Flash partion OK!", kLogSuccess);
  return EStep::Next;
}

bool CWriteThread::GetFactoryData() {
  m_ui.DisplayEchoText("Reading factorydata...", kLogProgress);
  if (!m_link.SendReadPartionCmd(kFactoryPartition)) {
    m_ui.DisplayEchoText("Send Read factorydata cmd failed!", kLogError);
    return false;
  }
  uint32_t nLen = 0;
  // A short reply would leave the previous phone's bytes in the image, and
  // they would be written into this phone: only a whole partition will do.
  if (!m_link.RecvPartionData(m_pPacket + kImageOffset, kFactoryDataSize, &nLen) ||
      nLen != kFactoryDataSize) {
    m_ui.DisplayEchoText("Read factorydata failed!", kLogError);
    return false;
  }
  return true;
}

bool CWriteThread::CheckImei() {
  m_ui.DisplayEchoText("Reading data from Flash partion...", kLogProgress);
  if (!m_link.SendReadPartionCmd(m_settings.m_strFactName.c_str())) {
    m_ui.DisplayEchoText("Read Flash partion failed!", kLogError);
    m_ui.SetStatus(kStateFailed);
    return false;
  }
  std::vector<uint8_t> readBack(kFactoryDataSize, 0);
  uint32_t nLen = 0;
  if (!m_link.RecvPartionData(readBack.data(), kFactoryDataSize, &nLen) ||
      nLen != kFactoryDataSize) {
    m_ui.DisplayEchoText("Read Flash partion failed!", kLogError);
    m_ui.SetStatus(kStateFailed);
    return false;
  }
  m_ui.DisplayEchoText("Read Flash partion OK!", kLogSuccess);
  return ImeiAreaMatches(Image(), std::span<const uint8_t, kFactoryDataSize>(readBack));
}
