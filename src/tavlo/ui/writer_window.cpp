#include "tavlo/ui/writer_window.h"

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "common/deadline.h"
#include "common/version.h"
#include "tavlo/factory/factory_data.h"
#include "tavlo/numbers/number_checks.h"
#include "tavlo/ui/writer_texts.h"

namespace {

// Upper bound of one pass of the window's wait loops.
constexpr int kWaitPassMs = 100;
// How long Stop gives a stopped run to show its summary line.
constexpr int kStopSettleMs = 1000;

constexpr std::array<ENumberField, 4> kImeiFields = {ENumberField::Imei1, ENumberField::Imei2,
                                                     ENumberField::Imei3, ENumberField::Imei4};

bool IsImeiField(ENumberField eField) {
  return eField <= ENumberField::Imei4;
}

}  // namespace

std::string WriterTitle() {
  return std::string(writer_text::kTitlePrefix) + kProductVersion;
}

SBannerView BannerView(int nState) {
  static_assert(std::size(writer_text::kBannerTexts) == std::size(kBannerLooks));
  if (nState < 0 || nState >= kBannerStates) nState = kStateOff;
  return {kBannerLooks[nState], writer_text::kBannerTexts[nState]};
}

// The window as the worker sees it. Every call is carried to the window
// thread; those that report back or show a box wait until it ran there.
class CTavloWindow::CWorkerUi final : public IWriterUi {
 public:
  explicit CWorkerUi(CTavloWindow& window) : m_window(window) {}

  void DisplayEchoText(const std::string& strText, int nKind) override {
    Send([&] {
      m_window.UpdateCounts();
      m_window.AppendLog(strText, nKind);
    });
  }
  void ClearEcho() override {
    Send([&] { m_window.ClearEcho(); });
  }
  void SetStatus(int nState) override {
    m_window.m_queue.PostTask([this, nState] { m_window.SetStatus(nState); });
  }
  void PostWriteNotify(int nCode) override {
    m_window.m_queue.PostTask([this, nCode] { m_window.OnWriteNotify(nCode); });
  }
  std::string GetFieldText(ENumberField eField) override {
    std::string strText;
    Send([&] { strText = m_window.Field(eField).strText; });
    return strText;
  }
  // Text set by the program is not cut to the field's typing limit.
  void SetFieldText(ENumberField eField, const std::string& strText) override {
    Send([&] {
      m_window.Field(eField).strText = strText;
      m_window.Changed();
    });
  }
  void FocusAndSelectField(ENumberField eField) override {
    Send([&] {
      m_window.MoveFocus(eField, true);
      m_window.Changed();
    });
  }
  void ShowMessage(const std::string& strText) override {
    Send([&] { m_window.m_host.MessageBox(strText); });
  }
  std::string GetLcdInterface() override {
    std::string strText;
    Send([&] { strText = kLcdInterfaces[static_cast<size_t>(m_window.m_view.nLcdInterface)]; });
    return strText;
  }
  std::string GetLcdName() override {
    std::string strText;
    Send([&] { strText = m_window.m_view.strLcdName; });
    return strText;
  }
  std::string GetDdrPath() override {
    std::string strText;
    Send([&] { strText = m_window.m_view.strDdrPath; });
    return strText;
  }

 private:
  template <typename F>
  void Send(F fnTask) {
    m_window.m_queue.Send(fnTask);
  }

  CTavloWindow& m_window;
};

CTavloWindow::CTavloWindow(IWriterHost& host, CMessageQueue& queue, STavloApp& app)
    : m_host(host),
      m_queue(queue),
      m_app(app),
      m_settings(app.settings),
      m_sources(*app.pHistories),
      m_pWorkerUi(std::make_unique<CWorkerUi>(*this)) {
  const WriterSettings& s = m_settings;
  for (ENumberField eField : kImeiFields) Field(eField).nMaxLength = kImeiLength;
  DisableImeiFieldsAboveCount();
  m_view.bWriteImei = s.m_bWriteImei;
  m_view.bWriteMbsn = s.m_bWriteMbsn;
  m_view.bWritePsn = s.m_bWritePsn;
  m_view.bWriteLcd = s.m_bWriteLcd;
  m_view.bWriteDdr = s.m_bWriteDdr;
  FocusFirstWriteField();
  Field(ENumberField::Mbsn).nMaxLength = static_cast<size_t>(s.m_nMbsnLength);
  Field(ENumberField::Psn).nMaxLength = static_cast<size_t>(s.m_nPsnLength);
  m_view.strLcdName = s.m_strLcdName;
  m_view.strDdrPath = s.m_strDdrPath;
  m_pWorker = std::make_unique<CWriteThread>(*m_pWorkerUi, m_settings, m_sources, *app.pHistories,
                                             app.packet.data());
  m_sources.LoadPools(s);
  m_view.nLcdInterface = 0;
  m_strVersion = kProductVersion;
  SetTitle(m_strVersion);
  UpdateCounts();
  m_view.strImageDir = s.m_strImageDir;
  m_view.bCheckImei = s.m_bCheckImei;
}

CTavloWindow::~CTavloWindow() {
  if (std::unique_ptr<CWriteThread> pWorker = std::move(m_pWorker)) {
    pWorker->RequestQuit();
    // The worker may be waiting for this thread to run one of its calls:
    // it is ended on another thread while this one keeps serving them.
    std::atomic<bool> bGone{false};
    std::thread reaper([&] {
      pWorker.reset();
      bGone = true;
      m_queue.PostTask([] {});  // ends the wait below at once
    });
    while (!bGone) PumpFor(kWaitPassMs);
    reaper.join();
  }
  // Posted banner states and notifications refer to this window.
  SMessage dropped;
  while (m_queue.Take(&dropped) != CMessageQueue::ETaken::Nothing) {
  }
}

void CTavloWindow::PumpFor(int nMs) {
  m_host.ServeQueueWhileWaiting(m_queue, nMs);
}

void IWriterHost::ServeQueueWhileWaiting(CMessageQueue& queue, int nMs) {
  ServeQueueFor(queue, nMs);
}

void CTavloWindow::SetFieldText(ENumberField eField, const std::string& strText) {
  SFieldView& field = Field(eField);
  std::string text = strText;
  if (IsImeiField(eField)) std::erase_if(text, [](char c) { return c < '0' || c > '9'; });
  if (text.size() > field.nMaxLength) text.resize(field.nMaxLength);
  field.strText = std::move(text);
  m_view.bFocusSelectsAll = false;
  Changed();
}

void CTavloWindow::SetFocus(ENumberField eField) {
  MoveFocus(eField);
  Changed();
}

void CTavloWindow::MoveFocus(ENumberField eField, bool bSelectAll) {
  m_view.focus = eField;
  m_view.bFocusSelectsAll = bSelectAll;
  ++m_view.nFocusMoves;
}

void CTavloWindow::SetRework(bool bRework) {
  m_settings.m_bRework = bRework;
  SetTitle(m_strVersion + (bRework ? kReworkTitle : ""));
  Changed();
}

void CTavloWindow::SetProductVersion(const std::string& strVersion) {
  m_strVersion = strVersion;
  SetTitle(m_strVersion + (m_settings.m_bRework ? kReworkTitle : ""));
  Changed();
}

void CTavloWindow::SetTitle(const std::string& strRest) {
  m_view.strTitleWords = writer_text::kTitlePrefix;
  m_view.strTitleRest = strRest;
  m_view.strTitle = m_view.strTitleWords + strRest;
}

void CTavloWindow::UpdateCounts() {
  // The worker counts a phone before it reports the phone's banner state,
  // so these are current whenever the banner changes.
  if (m_pWorker) {
    m_view.nPassed = m_pWorker->PhonesWritten();
    m_view.nFailed = m_pWorker->PhonesFailed();
  }
  m_view.strCounts = std::string(writer_text::kPassed) + " " + std::to_string(m_view.nPassed) +
                     " " + writer_text::kFailed + " " + std::to_string(m_view.nFailed);
}

void CTavloWindow::SelectLcdInterface(int nIndex) {
  if (nIndex >= 0 && nIndex < static_cast<int>(kLcdInterfaces.size())) {
    m_view.nLcdInterface = nIndex;
    Changed();
  }
}

void CTavloWindow::DisableImeiFieldsAboveCount() {
  for (int n = m_settings.m_nImeiCount; n < 4; ++n) Field(ImeiField(n)).bEnabled = false;
}

void CTavloWindow::FocusFirstWriteField() {
  const WriterSettings& s = m_settings;
  if (s.m_bWriteImei) {
    MoveFocus(ENumberField::Imei1);
  } else if (s.m_bWriteMbsn) {
    MoveFocus(ENumberField::Mbsn);
  } else if (s.m_bWritePsn) {
    MoveFocus(ENumberField::Psn);
  } else {
    return;
  }
  Changed();
}

void CTavloWindow::EnableInputs(bool bBusy) {
  const bool bEnable = !bBusy;
  m_view.bStartEnabled = bEnable;
  m_view.bLcdInterfaceEnabled = bEnable;
  m_view.bDdrBrowseEnabled = bEnable;
  for (int n = 0; n < m_settings.m_nImeiCount && n < 4; ++n) Field(ImeiField(n)).bEnabled = bEnable;
  Field(ENumberField::Mbsn).bEnabled = bEnable;
  Field(ENumberField::Psn).bEnabled = bEnable;
  m_view.bLcdNameEnabled = bEnable;
  m_view.bResetEnabled = bEnable;
  m_view.bSetupEnabled = bEnable;
  m_view.bExitEnabled = bEnable;
  m_view.bWriteBoxesEnabled = bEnable;
  Changed();
}

void CTavloWindow::AppendLog(const std::string& strText, int nKind) {
  m_view.log.push_back({strText, nKind});
  m_host.LogAppended(m_view.log.back());
}

void CTavloWindow::ClearEcho() {
  m_view.log.clear();
  m_host.LogCleared();
}

void CTavloWindow::SetStatus(int nState) {
  UpdateCounts();
  if (nState >= 0 && nState < kBannerStates) m_view.nBanner = nState;
  Changed();
}

void CTavloWindow::OnCheckImei(bool bChecked) {
  for (ENumberField eField : kImeiFields) Field(eField).bEnabled = false;
  for (int n = 0; n < m_settings.m_nImeiCount && n < 4; ++n)
    Field(ImeiField(n)).bEnabled = bChecked;
  m_view.bWriteImei = bChecked;
  m_settings.m_bWriteImei = bChecked;
  if (bChecked) {
    MoveFocus(ENumberField::Imei1);
    m_view.bWriteMbsn = m_view.bWritePsn = false;
    m_settings.m_bWriteMbsn = m_settings.m_bWritePsn = false;
  }
  Changed();
}

void CTavloWindow::OnCheckMbsn(bool bChecked) {
  Field(ENumberField::Mbsn).bEnabled = bChecked;
  m_view.bWriteMbsn = bChecked;
  m_settings.m_bWriteMbsn = bChecked;
  if (bChecked) {
    MoveFocus(ENumberField::Mbsn);
    m_view.bWriteImei = m_view.bWritePsn = false;
    m_settings.m_bWriteImei = m_settings.m_bWritePsn = false;
  }
  Changed();
}

void CTavloWindow::OnCheckPsn(bool bChecked) {
  Field(ENumberField::Psn).bEnabled = bChecked;
  m_view.bWritePsn = bChecked;
  m_settings.m_bWritePsn = bChecked;
  if (bChecked) {
    MoveFocus(ENumberField::Psn);
    m_view.bWriteImei = m_view.bWriteMbsn = false;
    m_settings.m_bWriteImei = m_settings.m_bWriteMbsn = false;
  }
  Changed();
}

void CTavloWindow::OnCheckLcdName(bool bChecked) {
  m_view.bWriteLcd = m_settings.m_bWriteLcd = bChecked;
  Changed();
}

void CTavloWindow::OnCheckDdrFirmware(bool bChecked) {
  m_view.bWriteDdr = m_settings.m_bWriteDdr = bChecked;
  Changed();
}

void CTavloWindow::OnCheckImeiVerify(bool bChecked) {
  m_view.bCheckImei = bChecked;
  m_settings.m_bCheckImei = bChecked;  // live: a running worker reads it
  Changed();
}

void CTavloWindow::OnStart() {
  ClearEcho();
  if (IsBusy()) return m_host.MessageBox(writer_text::kRunning);
  FocusFirstWriteField();
  const WriterSettings& s = m_settings;
  // A phone would go through the boot upload and a write-back for nothing.
  if (!s.m_bWriteImei && !s.m_bWriteMbsn && !s.m_bWritePsn && !s.m_bWriteLcd && !s.m_bWriteDdr)
    return m_host.MessageBox(writer_text::kNothingToWrite);
  if (s.m_bWriteDdr) {
    struct stat st;
    if (stat(m_view.strDdrPath.c_str(), &st) != 0)
      return m_host.MessageBox(writer_text::kDdrMissing);
    // A FIFO or a device would hold the worker in its open.
    if (!S_ISREG(st.st_mode))
      return m_host.MessageBox(std::string(writer_text::kNotAFile) + "\n" + m_view.strDdrPath);
    // Firmware too large for its area is refused before any phone is touched.
    if (static_cast<uint64_t>(st.st_size) > kDdrAreaSize)
      return m_host.MessageBox(writer_text::kDdrTooLarge);
  }
  // A list that is not a regular file gave no numbers, and would not give any.
  for (const auto& [bFromFile, strFile] :
       {std::pair{s.m_bWriteImei && s.m_nImeiInputType == INPUT_FROM_FILE, s.m_strImeiFile},
        std::pair{s.m_bWriteMbsn && s.m_nMbsnInputType == INPUT_FROM_FILE, s.m_strMbsnFile},
        std::pair{s.m_bWritePsn && s.m_nPsnInputType == INPUT_FROM_FILE, s.m_strPsnFile}}) {
    struct stat st;
    if (bFromFile && stat(strFile.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
      return m_host.MessageBox(std::string(writer_text::kNotAFile) + "\n" + strFile);
  }
  if (s.m_bWriteLcd &&
      !LcdNameFits(kLcdInterfaces[static_cast<size_t>(m_view.nLcdInterface)], m_view.strLcdName)) {
    return m_host.MessageBox(writer_text::kLcdNameTooLong);
  }
  // Drawn numbers go into emptied fields.
  if (s.m_nImeiInputType != INPUT_MANUAL) {
    for (ENumberField eField : kImeiFields) Field(eField).strText.clear();
  }
  if (s.m_nMbsnInputType != INPUT_MANUAL) Field(ENumberField::Mbsn).strText.clear();
  if (s.m_nPsnInputType != INPUT_MANUAL) Field(ENumberField::Psn).strText.clear();
  if (!m_pWorker) {
    m_pWorker = std::make_unique<CWriteThread>(*m_pWorkerUi, m_settings, m_sources,
                                               *m_app.pHistories, m_app.packet.data());
  }
  if (m_pWorker->PostStart(m_nPhoneLimit)) ++m_nRunsPosted;
  EnableInputs(true);
}

void CTavloWindow::OnStop() {
  if (m_pWorker) {
    m_pWorker->RequestStop();
    while (m_pWorker->IsBusy()) PumpFor(kWaitPassMs);
    // The summary line comes after the worker stops reporting busy: it is
    // served here, so that the log is complete when Stop returns.
    const CDeadline settle(kStopSettleMs);
    while (m_pWorker->RunsEnded() < m_nRunsPosted && !settle.Passed()) PumpFor(kWaitPassMs);
  }
  FocusFirstWriteField();
  EnableInputs(false);
}

void CTavloWindow::OnButtonSetup() {
  if (IsBusy()) return;
  CImeiSetup setup(m_settings, m_app.chips, GadgetPortNames());
  if (m_host.RunSetup(setup)) {
    for (ENumberField eField : kImeiFields) Field(eField).bEnabled = true;
    DisableImeiFieldsAboveCount();
    m_sources.LoadPools(m_settings);
  }
  FocusFirstWriteField();
  Changed();
}

void CTavloWindow::OnResetHistory() {
  std::string strError;
  if (m_app.pHistories->ResetHistory(&strError)) {
    const bool bLedger = m_app.pHistories->ImeiHistory().Ledger() != nullptr;
    m_host.MessageBox(std::string(kMsgResetDone) + "\n" + kMsgRestartTool + "\n" +
                      writer_text::kResetOffersAgain +
                      (bLedger ? std::string("\n") + kMsgLedgerKept : std::string()));
  } else {
    m_host.MessageBox(std::string(writer_text::kResetFailed) + "\n" + strError);
  }
}

void CTavloWindow::OnBtBrwsDdr() {
  if (std::optional<std::string> path = m_host.ChooseDdrFile()) {
    SetDdrPath(*path);
    Changed();
  }
}

void CTavloWindow::OnClose() {
  if (m_pWorker) m_pWorker->RequestQuit();
  if (!SaveSettings(m_app.strBase, m_settings)) {
    m_host.MessageBox(std::string(writer_text::kSaveFailed) + "\n" +
                      JoinPath(m_app.strBase, kSettingsFile));
  }
  while (IsBusy()) PumpFor(kWaitPassMs);
}

int CTavloWindow::OnWriteNotify(int nCode) {
  UpdateCounts();
  switch (nCode) {
    case kNotifyRunOver:
      EnableInputs(false);  // the worker's focus and selection stay
      return 1;
    case kNotifyImeiTyped:
      for (int n = 0; n < m_settings.m_nImeiCount && n < 4; ++n) {
        Field(ImeiField(n)).strText.clear();
        Field(ImeiField(n)).bEnabled = true;
      }
      MoveFocus(ENumberField::Imei1);
      break;
    // Cleared as the IMEIs are: left in, Start (the default button) would
    // write the last phone's number into the next one.
    case kNotifyMbsnTyped:
      Field(ENumberField::Mbsn).strText.clear();
      Field(ENumberField::Mbsn).bEnabled = true;
      MoveFocus(ENumberField::Mbsn);
      break;
    case kNotifyPsnTyped:
      Field(ENumberField::Psn).strText.clear();
      Field(ENumberField::Psn).bEnabled = true;
      MoveFocus(ENumberField::Psn);
      break;
    default:
      return 1;
  }
  Changed();
  return 1;
}
