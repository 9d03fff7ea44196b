#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "common/message_queue.h"
#include "platform/wake_event.h"
#include "tavlo/numbers/phone_numbers.h"
#include "tavlo/worker/write_sequence.h"
#include "tavlo/worker/writer_ui.h"

// The writer's single worker: a thread with its own queue that, on
// WM_START_WRITE, serves one phone (every number typed) or phone after phone
// (numbers from lists or the generator) until stopped. The thread draws the
// numbers, finds and opens the port, keeps the history and waits for the
// phone to leave; what is said to the phone is CWriteSequence's. It reports
// through IWriterUi only.
class CWriteThread {
 public:
  static constexpr uint32_t kStartWriteMessage = 0x2B11;  // WM_START_WRITE
  static constexpr int kPollMs = 200;
  static constexpr int kSettleMs = 2000;
  static constexpr int kOpenRetries = 4;
  static constexpr int kOpenRetryMs = 100;
  static constexpr int kNextPhoneMs = 1000;
  static constexpr int kFailurePauseMs = 2000;

  // Everything passed must outlive the worker; pPacketBuffer has
  // pdl::kPacketBufferSize bytes and is used only during runs.
  CWriteThread(IWriterUi& ui, const WriterSettings& settings, CNumberSources& sources,
               CWriteHistories& histories, uint8_t* pPacketBuffer);
  // Requests quit and stop, then joins the thread. A message box of the run
  // must be answerable meanwhile.
  ~CWriteThread();
  CWriteThread(const CWriteThread&) = delete;
  CWriteThread& operator=(const CWriteThread&) = delete;

  // Posts WM_START_WRITE (wParam 0, lParam 0). The stop request is cleared
  // here, on the window's thread, rather than when the worker takes the
  // message, so that a Stop pressed right after Start is never lost. A list
  // run ends by itself once nPhoneLimit phones are written (0: no limit),
  // before any number is drawn for the next one.
  bool PostStart(int nPhoneLimit = 0);
  void RequestStop();
  void RequestQuit();
  bool IsBusy() const { return m_bBusy; }
  bool HasSucceeded() const { return m_bSucceeded; }
  int ComPort() const { return m_nComPort; }

  // Counted since the worker was made: phones written (history included),
  // phones failed, phones cut short by Stop after their port was opened, and
  // runs over (each run's summary line shown).
  int PhonesWritten() const { return m_nPhonesWritten; }
  int PhonesFailed() const { return m_nPhonesFailed; }
  int PhonesStopped() const { return m_nPhonesStopped; }
  int RunsEnded() const { return m_nRunsEnded; }

 private:
  using EStep = EWriteStep;

  // Passes every call on to the window and keeps what the phone's record
  // names: the last step begun (progress line) and the failure line.
  class CRecordTap final : public IWriterUi {
   public:
    explicit CRecordTap(IWriterUi& ui) : m_ui(ui) {}
    void DisplayEchoText(const std::string& strText, int nKind) override {
      if (nKind == kLogProgress) m_strStep = strText;
      if (nKind == kLogError) m_strFailure = strText;
      m_ui.DisplayEchoText(strText, nKind);
    }
    void PostWriteNotify(int nCode) override { m_ui.PostWriteNotify(nCode); }
    std::string GetFieldText(ENumberField eField) override { return m_ui.GetFieldText(eField); }
    void SetFieldText(ENumberField eField, const std::string& strText) override {
      m_ui.SetFieldText(eField, strText);
    }
    void FocusAndSelectField(ENumberField eField) override { m_ui.FocusAndSelectField(eField); }
    void ShowMessage(const std::string& strText) override { m_ui.ShowMessage(strText); }
    void SetStatus(int nState) override { m_ui.SetStatus(nState); }
    void ClearEcho() override { m_ui.ClearEcho(); }
    std::string GetLcdInterface() override { return m_ui.GetLcdInterface(); }
    std::string GetLcdName() override { return m_ui.GetLcdName(); }
    std::string GetDdrPath() override { return m_ui.GetDdrPath(); }

    const std::string& Step() const { return m_strStep; }
    const std::string& Failure() const { return m_strFailure; }
    void Clear() {
      m_strStep.clear();
      m_strFailure.clear();
    }

   private:
    IWriterUi& m_ui;
    std::string m_strStep, m_strFailure;
  };

  // Hands the current phone's record to the station's records.
  void SubmitRecord(const char* pszResult);

  void OnThreadMessage(const SMessage& msg);
  void OnStartWrite();
  EStep PhoneCycle(bool* pbNextPhone);
  // The steps over the link, from connect to the write-back's check.
  EStep WritePhone();
  EStep OpenPort();
  EStep WaitPhoneGone();
  bool FindGadgetPort();
  static bool IsComPortPresent(int nPort);
  bool IsListRun() const;
  bool IsSinglePhoneRun() const;
  // At the end of a run that did not record its phone's numbers.
  void SettleNumbers();

  bool Stopping() const { return m_bStop; }
  // A fixed pause that services the queue and ends early only on a stop.
  void Pause(int nMs);
  // Polls every kPollMs, servicing the queue, while fnWaiting holds; End
  // when a stop came first.
  EStep PollWhile(const std::function<bool()>& fnWaiting);

  CRecordTap m_tap;
  IWriterUi& m_ui;  // the tap in front of the window
  const WriterSettings& m_settings;
  CWriteHistories& m_histories;

  std::atomic<bool> m_bStop{false};       // set by the window, cleared by the worker at run start
  std::atomic<bool> m_bQuit{false};       // set by the window with m_bStop; not read by the run
  std::atomic<bool> m_bBusy{false};       // written by the worker, read by the window
  std::atomic<bool> m_bSucceeded{false};  // written by the worker, read by the window
  std::atomic<int> m_nComPort{-1};        // written by the worker, read by the window
  std::atomic<int> m_nPhonesWritten{0};   // written by the worker, read by the window
  std::atomic<int> m_nPhonesFailed{0};    // written by the worker, read by the window
  std::atomic<int> m_nPhonesStopped{0};   // written by the worker, read by the window
  std::atomic<int> m_nPhoneLimit{0};      // written by the window before a start
  std::atomic<int> m_nRunsEnded{0};       // written by the worker, read by the window
  // Signalled by RequestStop, ends waits at once; stays signalled until the
  // next PostStart, so that a wait begun after the stop ends at once too.
  platform::CWakeEvent m_stopEvent;

  // Worker thread only.
  CPhoneNumbers m_numbers;
  CWriteSequence m_sequence;
  std::string m_strSummary;
  bool m_bNumbersSent = false;   // the write-back of unrecorded numbers went out
  bool m_bKeepReserved = false;  // recording failed: the reservation must stay
  bool m_bPhoneOpened = false;   // the current phone's port was opened
  int m_nRunWritten = 0;         // phones written in this run
  // The current phone's: its port's USB path and when its port was opened.
  std::string m_strUsbPath;
  std::chrono::system_clock::time_point m_phoneStarted;
  std::chrono::steady_clock::time_point m_phoneStartedSteady;

  // Last: the thread starts after every member above exists and is joined
  // before any of them goes.
  CMessageThread m_thread;
};
