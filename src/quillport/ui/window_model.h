#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "common/message_queue.h"
#include "quillport/package/download_config.h"
#include "quillport/package/download_package.h"
#include "quillport/worker/download_thread.h"
#include "quillport/worker/row_ui.h"
#include "serial/stop_block.h"

// The download tool's main window without a toolkit: the eight rows' display
// state, the buttons' enabled states, the handlers of the window's buttons and
// messages, and the eight workers. A front end (the Qt window, the console)
// renders it and forwards its buttons to it.
//
// Everything here runs on the window thread, whose message queue the model is
// given. Workers reach their rows only through that queue: row-control calls
// are posted to it (progress positions coalesced), sent notifications wait
// until the window thread has handled them.

// What the model needs from the front end that hosts it.
class IWindowHost {
 public:
  virtual ~IWindowHost() = default;
  // An OK-only message box with the application title; returns when closed.
  virtual void MessageBox(const std::string& strText) = 0;
  // The package file dialog; nullopt when cancelled.
  virtual std::optional<std::string> ChoosePackageFile() = 0;
  // The cfp file dialog; nullopt when cancelled. Hosts without the cfp row
  // keep this one.
  virtual std::optional<std::string> ChooseCfpFile() { return std::nullopt; }
  // The display state changed; render when convenient.
  virtual void Changed() = 0;
  // Serves the window queue for at most nMs, returning once an entry ran:
  // one pass of the window's wait loops. A toolkit front end overrides it to
  // go on painting while Stop all or the window's end waits for the workers.
  virtual void ServeQueueWhileWaiting(CMessageQueue& queue, int nMs);
};

// One text box of a row.
struct SBoxView {
  std::string strText;
  RowColor bk = COLOR_BASE;
  RowColor text = COLOR_BLUE;
  bool bEnabled = true;
};

struct SProgressView {
  int nPos = -1;  // -1: empty bar
  RowColor bk = COLOR_BASE;
  RowColor from = Rgb(0, 255, 0);
  RowColor to = Rgb(128, 255, 128);
  RowColor percentText = COLOR_BLUE;
  bool bEnabled = true;
};

// The elapsed-time counter: counts while running, keeps its value when stopped.
struct STimerView {
  bool bRunning = false;
  std::chrono::steady_clock::time_point started{};
  std::chrono::steady_clock::duration shown{};
  bool bReadOnly = true;

  std::chrono::seconds Elapsed() const;
  std::string Text() const;  // "hh:mm:ss", more hour digits past 99 hours
};

struct SRowView {
  bool bChecked = false;
  SBoxView portLabel, stateBox, statusBox;
  SProgressView progress;
  STimerView timer;
  RowColor dot = COLOR_BASE;
  bool bDotEnabled = true;
  bool bRestartEnabled = true;
  // Phones that ended on this row since the program started; stopped ones
  // were cut short by a stop after their port was opened.
  int nPassed = 0;
  int nFailed = 0;
  int nStopped = 0;
  // The COM port the row is pinned to (PORTNB), as the row shows it; empty
  // when the row takes the first free phone port.
  std::string strPin;
};

// The port label as a front end shows it: while a pinned row has no phone
// port of its own on the label, the label names the pin ("端口 → COM5").
std::string PortLabelShown(const SRowView& row);

struct SWindowView {
  std::array<SRowView, kPortRows> rows;
  std::string strPackPath, strCfpPath;
  std::string strTimeout = "120000";
  bool bFormatFlash = false;
  bool bStartAllEnabled = true, bStopAllEnabled = false;
  bool bBrowseEnabled = true, bCfpEnabled = false;
  bool bCheckboxesEnabled = true;
  // While a package being loaded has its images checked: "SHA-256 40%",
  // shown beside the package path; empty otherwise.
  std::string strPackageCheck;
};

class CQuillportWindow {
 public:
  // The time-out choices of the window, the last one the default.
  static constexpr std::array<int, 14> kTimeouts = {
      3000, 4000, 5000, 6000, 7000, 8000, 9000, 10000, 12000, 15000, 18000, 20000, 60000, 120000};

  // Runs the window's start: the settings files of strBaseFolder, rows,
  // paths, workers, the time-out setting. Call on the window thread, with
  // queue bound to it.
  CQuillportWindow(IWindowHost& host, CMessageQueue& queue, std::string strBaseFolder);
  // Stops every run cooperatively, waits for the workers to go idle while
  // serving their notifications, then ends and joins them.
  ~CQuillportWindow();
  CQuillportWindow(const CQuillportWindow&) = delete;
  CQuillportWindow& operator=(const CQuillportWindow&) = delete;

  const SWindowView& View() const { return m_view; }
  // The operator's time-out the next started rows get.
  int TimeoutMs() const { return m_nTimeoutMs; }

  // Button and control handlers.
  void OnStartAll();
  void OnStopAll();
  void OnRestart(int nRow);
  void OnBrowsePackage();
  // The cfp row's Browse and X buttons (hidden in the window's layout).
  void OnBrowseCfp();
  void OnClearCfp();
  void OnPortCheck(int nRow, bool bChecked);
  void OnKey();
  void SetTimeoutText(const std::string& strText) { m_view.strTimeout = strText; }
  void SetPackagePath(const std::string& strPath) { m_view.strPackPath = strPath; }
  // Pins the row to a port ("COM5") or frees it ("None"), as PORTNB of
  // ini/download.ini does; saved with the port selection.
  void SetPortPin(int nRow, const std::string& strPortNb);
  // The window's close: saves the port selection.
  void OnClose();

  // A serial port arrived or was removed ("COM<n>").
  void OnDeviceChange(bool bArrived, const std::string& strComName);
  // A worker's notification (window message 0x479).
  int OnUpdateMyData(const UiNotify& notify);

  bool AnyBusy() const;
  const CDownloadThread& Worker(int nRow) const { return *m_workers[nRow]; }
  // The package the next start hands out; null until one loaded.
  const std::shared_ptr<const CDownloadPackage>& Package() const { return m_pPackage; }

 private:
  class CRowUi;
  friend class CRowUi;

  void SavePortSelection();
  // Loads the chosen package for the runs started next. A refusal shows the
  // load's own box, if any, then strFailText, and keeps the package before.
  bool LoadChosenPackage(const std::string& strFailText);
  void StartRow(int nRow);
  // Why the checked rows, with nRow, cannot start on their pins: a PORTNB
  // that names no port, or two rows pinned to one port. Empty when they can.
  std::string PinConflict(int nRow) const;
  void ApplyLock(bool bLock);
  void EnableRestart(bool bOneRow, bool bEnable, int nRow);
  void ResetRow(int nRow, const std::string& strStatus);
  void EnableRowControls(int nRow, bool bEnable);
  // Takes the operator's time-out from the view into the rows' next runs.
  void ReadTimeout();
  // Serves the window queue for at most nMs: the wait loops of Stop all and
  // of the destructor, which must keep answering the workers' sent notices.
  void PumpFor(int nMs) { m_host.ServeQueueWhileWaiting(m_queue, nMs); }
  SBoxView& Box(int nRow, ERowBox box);
  void Changed() { m_host.Changed(); }

  IWindowHost& m_host;
  CMessageQueue& m_queue;
  const std::string m_strBase;
  int m_nTimeoutMs = 0;  // the operator's time-out the rows start with
  SWindowView m_view;
  SDownloadSettings m_settings;  // ini/filelist.ini
  PortSettings m_ports;          // ini/download.ini
  std::shared_ptr<const CDownloadPackage> m_pPackage;
  bool m_bLock = false;  // the port-selection lock
  bool m_bLoading = false;  // a package load serves the queue: its buttons wait
  SStopBlock m_stop;
  std::array<std::unique_ptr<CRowUi>, kPortRows> m_rowUi;
  std::array<std::unique_ptr<CDownloadThread>, kPortRows> m_workers;
};
