#pragma once

#include <array>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/message_queue.h"
#include "tavlo/numbers/number_pool.h"
#include "tavlo/ui/setup_model.h"
#include "tavlo/ui/startup.h"
#include "tavlo/worker/write_thread.h"

// The writer's main window without a toolkit: the number fields, the write
// options, the log, the status banner and the buttons' handlers, and the
// write worker. A front end (the Qt window, the console) renders it and
// forwards its controls to it.
//
// Everything here runs on the window thread, whose message queue the model
// is given. The worker reaches the window only through that queue: its log
// lines, field reads and writes and message boxes are sent (the worker waits
// until the window thread ran them), its banner states and notifications
// are posted.

inline constexpr std::array<const char*, 3> kLcdInterfaces = {"dsi", "rgb", "mcu"};
inline constexpr int kStateOff = 0;  // the banner before the first run
// After the title while typed numbers already written are taken as rework.
inline constexpr const char* kReworkTitle = " (rework)";

// Colours are 0xRRGGBB.
struct SBannerLook {
  uint32_t bk;
  uint32_t text;
};
// Banner states 0 (off) to 4 (failed); the texts are writer_text::kBannerTexts.
inline constexpr SBannerLook kBannerLooks[] = {{0xE6E6D2, 0xB4B4A0},
                                               {0xFAFAFA, 0x000000},
                                               {0xDCCE23, 0x000000},
                                               {0x00DC00, 0xFFFFFF},
                                               {0xDC0000, 0xFFFFFF}};
inline constexpr int kBannerStates = static_cast<int>(std::size(kBannerLooks));
// The banner as every front end draws it: its colours and its (Chinese) text.
struct SBannerView {
  SBannerLook look;
  const char* pszText;
};
// The banner font: pixels high and wide, weight; the text's top is at half
// the banner's height less half the font's height.
inline constexpr int kBannerFontHeight = 50, kBannerFontWidth = 30, kBannerFontWeight = 900;
SBannerView BannerView(int nState);

// How a log line of a kind is drawn on the log's black background.
struct SLogLook {
  uint32_t colour;
  int nTwips;  // text height
};
inline SLogLook LogLook(int nKind) {
  switch (nKind) {
    case kLogSuccess:
      return {0x00FF00, 324};
    case kLogError:
      return {0xFF0000, 324};
    case -1:
      return {0xFF00FF, 324};
    default:
      return {0xFFFFFF, 256};
  }
}

struct SLogLine {
  std::string strText;
  int nKind = 0;
};

// What the model needs from the front end that hosts it.
class IWriterHost {
 public:
  virtual ~IWriterHost() = default;
  // An OK-only message box with the application title; returns when closed.
  virtual void MessageBox(const std::string& strText) = 0;
  // The DDR firmware file dialog; nullopt when cancelled.
  virtual std::optional<std::string> ChooseDdrFile() = 0;
  // Runs the Setup dialog modally; true when it ended with OK (which has
  // stored its entries through setup.OnOK).
  virtual bool RunSetup(CImeiSetup& setup) = 0;
  // The log gained a line or was emptied; the view already shows it.
  virtual void LogAppended(const SLogLine& line) = 0;
  virtual void LogCleared() = 0;
  // Anything else of the view changed; render when convenient.
  virtual void Changed() = 0;
  // Serves the window queue for at most nMs, returning once an entry ran:
  // one pass of the window's wait loops (Stop, Exit, the worker's end). A
  // toolkit front end overrides it to go on painting while it waits.
  virtual void ServeQueueWhileWaiting(CMessageQueue& queue, int nMs);
};

struct SFieldView {
  std::string strText;
  bool bEnabled = true;
  size_t nMaxLength = 0;
};

struct SWriterView {
  std::array<SFieldView, 6> fields;  // by ENumberField
  std::optional<ENumberField> focus;
  bool bFocusSelectsAll = false;  // the worker selected the field's text
  // Counts the program's moves of the focus, so that a front end moves its
  // own focus once per move and not at every render.
  int nFocusMoves = 0;

  bool bWriteImei = false, bWriteMbsn = false, bWritePsn = false;
  bool bWriteLcd = false, bWriteDdr = false, bCheckImei = true;
  bool bWriteBoxesEnabled = true;  // 1000, 1001, 1002, 1014, 1015

  int nLcdInterface = 0;  // index into kLcdInterfaces
  bool bLcdInterfaceEnabled = true;
  std::string strLcdName;
  bool bLcdNameEnabled = true;
  std::string strDdrPath;
  bool bDdrBrowseEnabled = true;
  std::string strImageDir;  // the hidden PDL path field

  std::vector<SLogLine> log;
  int nBanner = kStateOff;  // always 0..kBannerStates-1
  // Phones written and failed since the window opened, and the line that
  // shows them ("通过 3 失败 1"; its words are translated one by one).
  int nPassed = 0, nFailed = 0;
  std::string strCounts;

  bool bStartEnabled = true, bResetEnabled = true, bSetupEnabled = true, bExitEnabled = true;
  std::string strTitle;
  // strTitle in its two parts: the words a front end translates, then the
  // version and what follows it, shown as they are.
  std::string strTitleWords, strTitleRest;
};

class CTavloWindow {
 public:
  // The window's opening: fields, options, the worker, the pools. Call on the
  // window thread, with queue bound to it; app outlives the window.
  CTavloWindow(IWriterHost& host, CMessageQueue& queue, STavloApp& app);
  // Stops a run, then ends the worker while still serving its calls.
  ~CTavloWindow();
  CTavloWindow(const CTavloWindow&) = delete;
  CTavloWindow& operator=(const CTavloWindow&) = delete;

  const SWriterView& View() const { return m_view; }
  const CWriteThread& Worker() const { return *m_pWorker; }
  bool IsBusy() const { return m_pWorker && m_pWorker->IsBusy(); }

  // What the operator types or picks. IMEI fields take digits only; every
  // field keeps at most its limit.
  void SetFieldText(ENumberField eField, const std::string& strText);
  void SetFocus(ENumberField eField);
  void SetLcdName(const std::string& strName) { m_view.strLcdName = strName; }
  void SelectLcdInterface(int nIndex);
  // Started with --rework: typed numbers already written are written again
  // as rework (logged and recorded so) instead of refused; the title says so.
  void SetRework(bool bRework);
  // The version the title shows: a Windows build reads it from its own
  // version resource; the build's version until then.
  void SetProductVersion(const std::string& strVersion);
  // The DDR field is read-only to typing: the chooser, or the console's option, fills it.
  void SetDdrPath(const std::string& strPath) { m_view.strDdrPath = strPath; }

  // Check boxes. Write IMEI, MBSN and PSN exclude each other.
  void OnCheckImei(bool bChecked);
  void OnCheckMbsn(bool bChecked);
  void OnCheckPsn(bool bChecked);
  void OnCheckLcdName(bool bChecked);
  void OnCheckDdrFirmware(bool bChecked);
  void OnCheckImeiVerify(bool bChecked);

  // A list run ends by itself after this many phones written (0: goes on
  // until stopped), for unattended runs of a set size.
  void SetPhoneLimit(int nPhones) { m_nPhoneLimit = nPhones; }

  // Buttons.
  void OnStart();
  void OnStop();
  void OnButtonSetup();
  void OnResetHistory();
  void OnBtBrwsDdr();
  // Exit: stops the worker, saves the settings, waits until it is idle. The
  // front end ends the window afterwards.
  void OnClose();

  // Window message 0x465 from the worker; always 1.
  int OnWriteNotify(int nCode);

  // The worker's view of the window, for front ends that need to tell when
  // a run is over.
  int RunsEnded() const { return m_pWorker->RunsEnded(); }

 private:
  class CWorkerUi;

  SFieldView& Field(ENumberField eField) { return m_view.fields[static_cast<size_t>(eField)]; }
  void EnableInputs(bool bBusy);
  void DisableImeiFieldsAboveCount();
  void FocusFirstWriteField();
  void MoveFocus(ENumberField eField, bool bSelectAll = false);
  void AppendLog(const std::string& strText, int nKind);
  void ClearEcho();
  void SetStatus(int nState);
  void UpdateCounts();
  void SetTitle(const std::string& strRest);
  // Serves the window queue for at most nMs; returns early once something ran.
  void PumpFor(int nMs);
  void Changed() { m_host.Changed(); }

  IWriterHost& m_host;
  CMessageQueue& m_queue;
  STavloApp& m_app;
  WriterSettings& m_settings;
  CNumberSources m_sources;
  std::unique_ptr<CWorkerUi> m_pWorkerUi;
  SWriterView m_view;
  std::string m_strVersion;
  int m_nRunsPosted = 0;                    // starts the worker has been sent
  int m_nPhoneLimit = 0;                    // passed with every start
  std::unique_ptr<CWriteThread> m_pWorker;  // last: it calls into everything above
};

// "IMEI 工具 Release_v " and the version the program was built as.
std::string WriterTitle();
