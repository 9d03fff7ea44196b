#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/message_queue.h"
#include "pdl/pdl_link.h"
#include "platform/wake_event.h"
#include "quillport/package/download_package.h"
#include "quillport/worker/image_list.h"
#include "quillport/worker/row_ui.h"
#include "serial/hst_port.h"
#include "serial/stop_block.h"

// The worker behind one port row: a thread with its own message queue that,
// once started, serves phone after phone on its row until the stop flag is
// set: wait for a free "Gadget Serial" port, open, connect, download every
// image of the package, power the phone off (or show the failure), wait until
// the phone is unplugged, start over.
//
// The window talks to it through the public methods below, from its own
// thread; the worker talks to the window only through its IRowUi.
class CDownloadThread {
 public:
  static constexpr uint32_t kStartRunMessage = 0x2B11;

  // ui must outlive the worker; nIndex is the row index 0..7.
  CDownloadThread(IRowUi& ui, int nIndex);
  // Ends a run in progress by setting the stop flag of the run's stop-flag
  // block (which stops every row sharing it), then joins the thread. The
  // block must outlive the worker, and the caller must not be the thread that
  // handles this worker's sent notifications unless it keeps handling them
  // meanwhile; stop the run and wait until IsBusy() is false first.
  ~CDownloadThread();
  CDownloadThread(const CDownloadThread&) = delete;
  CDownloadThread& operator=(const CDownloadThread&) = delete;

  // Before every start.
  void SetIndex(int nIndex) { m_nIndex = nIndex; }
  // Posts kStartRunMessage (wParam the row, lParam the block); the run
  // downloads pPackage, which it holds until it ends. A start that arrives
  // while a run is in progress is dropped.
  bool PostStart(int nRow, SStopBlock* pStopBlock,
                 std::shared_ptr<const CDownloadPackage> pPackage);
  // The link's policy for the next run; a run keeps the one it started with.
  void SetLinkPolicy(const SLinkPolicy& policy);
  // The ports the next run may take: nPinned > 0 serves COM<nPinned> only;
  // otherwise the first free phone port that is not in reserved (the ports
  // pinned to other rows). A run keeps the choice it started with.
  void SetPortChoice(int nPinned, std::vector<int> reserved);
  bool PostThreadMessage(uint32_t nId, uintptr_t wParam, intptr_t lParam) {
    return m_thread.PostThreadMessage(nId, wParam, lParam);
  }

  // The device monitor reported the port of GetPort() removed.
  void SetPortRemoved();
  // A port arrived: the search for a phone looks again at once.
  void WakePortSearch() { m_wake.Signal(); }

  bool IsBusy() const { return m_bBusy; }
  // COM number of the phone being served, -1 while none.
  int GetPort() const { return m_nPort; }
  bool HasPassed() const { return m_bPassed; }
  // Phones cut short by a stop after their port was opened, since the worker
  // was made.
  int PhonesStopped() const { return m_nPhonesStopped; }
  // The run's copy of the package directory, with the chunk lengths the last
  // reconciliation stored. Read it only while the worker is not busy.
  const std::vector<PackEntry>& PackList() const { return m_packList; }

 private:
  enum class EOutcome { Passed, Failed, Stopped };

  // Passes every call on to the row and keeps the last step shown in its
  // status box, which the phone's record names.
  class CStepTap final : public IRowUi {
   public:
    explicit CStepTap(IRowUi& ui) : m_ui(ui) {}
    void SetBoxBkColor(ERowBox box, RowColor clr) override { m_ui.SetBoxBkColor(box, clr); }
    void SetBoxTextColor(ERowBox box, RowColor clr) override { m_ui.SetBoxTextColor(box, clr); }
    void SetBoxText(ERowBox box, const std::string& strText) override {
      if (box == ERowBox::Status) m_strStep = strText;
      m_ui.SetBoxText(box, strText);
    }
    void SetProgressBkColor(RowColor clr) override { m_ui.SetProgressBkColor(clr); }
    void SetProgressPos(int nPos) override { m_ui.SetProgressPos(nPos); }
    void SetDotColor(RowColor clr) override { m_ui.SetDotColor(clr); }
    void StartTimer() override { m_ui.StartTimer(); }
    void StopTimer() override { m_ui.StopTimer(); }
    void EnableRestart(bool bEnable) override { m_ui.EnableRestart(bEnable); }
    void EnableSharedControls(bool bEnable) override { m_ui.EnableSharedControls(bEnable); }
    void Notify(const UiNotify& notify, bool bSend) override { m_ui.Notify(notify, bSend); }
    const std::string& Step() const { return m_strStep; }
    void ClearStep() { m_strStep.clear(); }

   private:
    IRowUi& m_ui;
    std::string m_strStep;
  };

  // Hands the phone's record to the station's records.
  void SubmitRecord(EOutcome eOutcome, const std::string& strFail);

  void OnThreadMessage(const SMessage& msg);
  void Run(SStopBlock* pStopBlock);
  // Lets go of the run's package, and of the start's when no other start
  // came since, so that a replaced package goes with the last run on it.
  void ReleasePackage();
  EOutcome ServePhone(std::string& strFail);
  EOutcome HandleFailure(const std::string& strFail);
  EOutcome WaitForRemoval();
  EOutcome RunSequence(std::string& strFail);
  EOutcome LoaderStage(const std::string& strPartitions, std::string& strFail);
  bool CheckGadgetPort();

  bool Stopping() const;
  // Waits up to nMs, ended early by the stop flag and, with bPump, by the
  // thread's queue and WakePortSearch / SetPortRemoved.
  void WaitPass(int nMs, bool bPump);
  void Notify(int32_t nType, const std::string& strMsg, bool bSend);
  std::string PortText() const;
  void Log(int nLevel, const char* pszFormat, ...) const __attribute__((format(printf, 3, 4)));
  EOutcome Fail(std::string& strFail, std::string strText);
  void SetProgress(int nPos);

  CStepTap m_stepTap;
  IRowUi& m_ui;  // the tap in front of the row

  std::atomic<bool> m_bBusy{false};         // written by the worker, read by the window
  std::atomic<int> m_nPort{-1};             // written by the worker, read by the window
  std::atomic<int> m_nIndex{0};             // written by the window before a start
  std::atomic<bool> m_bPortRemoved{false};  // set by the window, cleared by the worker
  std::atomic<bool> m_bPassed{true};        // written by the worker
  std::atomic<bool> m_bQuit{false};         // set once by the destructor
  std::atomic<int> m_nPhonesStopped{0};     // written by the worker, read by the window
  // The running run's block: set by the worker, read by the destructor.
  std::atomic<SStopBlock*> m_pRunStop{nullptr};
  platform::CWakeEvent m_wake;  // ends a port-search or removal wait pass early

  mutable std::mutex m_startMutex;  // guards m_pStartPackage and the start choices below
  // The package of the last start posted; the run takes it when it begins.
  // Null once that run ended.
  std::shared_ptr<const CDownloadPackage> m_pStartPackage;
  SLinkPolicy m_startLinkPolicy = DownloadLinkPolicy(0, 0);
  int m_nStartPinned = 0;
  std::vector<int> m_startReserved;

  // Worker thread only.
  CHstPort m_port{m_startLinkPolicy.port};
  CPdlLink m_link{m_port, m_startLinkPolicy, nullptr};
  std::vector<ImageInfo> m_imageInfo;
  int m_nPinnedPort = 0;                               // the run's pin, 0 when free to search
  std::vector<int> m_reservedPorts;                    // the run's ports pinned to other rows
  std::shared_ptr<const CDownloadPackage> m_pPackage;  // the run's package, null between runs
  // The run's own copy of the package's directory, whose chunk lengths the
  // reconciliation rewrites phone after phone.
  std::vector<PackEntry> m_packList;
  UiNotify m_notify;  // the row's notification record
  int m_nLastProgress = -2;
  bool m_bPhoneOpened = false;  // the current phone's port was opened
  bool m_bFailedByStop = false;  // the current phone's failure came from the stop flag
  // The current phone's: its port's USB path and when its port was opened.
  std::string m_strUsbPath;
  std::chrono::system_clock::time_point m_phoneStarted;
  std::chrono::steady_clock::time_point m_phoneStartedSteady;

  // Last: the thread starts after every member above exists and is joined
  // before any of them goes.
  CMessageThread m_thread;
};
