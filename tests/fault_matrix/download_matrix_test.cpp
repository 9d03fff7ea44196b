// The download tool's fault matrix: one row of the window against simulated
// phones, a fault at every step of a phone's download, then a clean phone
// that the same row must serve as usual.

#include <cstdlib>
#include <optional>

#include "common/op_log.h"
#include "download_station.h"
#include "matrix_support.h"
#include "quillport/ui/window_model.h"
#include "quillport/ui/window_texts.h"
#include "quillport/worker/worker_texts.h"
#include "serial/port_watcher.h"

namespace fault_matrix {
namespace {

constexpr int kCom = 61;
constexpr RowColor kWhite = Rgb(255, 255, 255);
constexpr size_t kImages = 4;
// What a partition-table or debug-flags step leads to when the phone is
// pulled there: both are passed over, and the next command cannot be sent.
constexpr char kFormatNotSent[] = "Send Format[CMD] command failed!";

struct SDownloadStep {
  const char* pszName;
  const char* pszMatch;  // the fault's match items
  // The row's failure text when the step's answer is refused; for the two
  // steps whose failure is only logged, that log line instead.
  const char* pszText;
  bool bPassedOver;
  bool bAckReply;  // answered by an acknowledgement (else by a data reply)
  // The stop flag is looked at between sending and waiting: a stop there
  // ends the phone before its wait could fail with the text.
  bool bStopBeforeWait = false;
};

constexpr SDownloadStep kSteps[] = {
    {"connect", "cmd=connect,nth=1", "Get connect[ACK] command failed!", false, true},
    {"table", "cmd=table", "Get SendDonwloadPartitionTable [ACK] command failed!", true, true},
    {"debug", "cmd=debug", "Get Send Debug Cmd [ACK] command failed!", true, true},
    {"format", "cmd=format", "Get Format[ACK] command failed!", false, true},
    {"attr", "cmd=attr", worker_text::kImageInfoFailed, false, false},
    {"start", "cmd=start,image=modem", "Get start[ACK] command failed!", false, true, true},
    {"data", "cmd=mid,image=modem,chunk=1", "Get data[ACK] command failed!", false, true},
    {"end", "cmd=end,image=modem", "Get end[ACK] command failed!", false, true},
    {"exec", "cmd=exec,nth=1", "Get exe[ACK] command failed!", false, true},
};

enum class EEnd { Fails, Passes, Stops };

struct SCase {
  const SDownloadStep* pStep;
  const SActionInfo* pAction;

  const SDownloadStep& Step() const { return *pStep; }
  const SActionInfo& Action() const { return *pAction; }

  std::string Fault() const {
    return std::string(pStep->pszMatch) + ",phone=1," + pAction->pszFault;
  }
  EEnd End() const {
    switch (pAction->eAction) {
      case EAction::Stop:
        return EEnd::Stops;
      case EAction::Garbage:
        return EEnd::Passes;
      case EAction::Unplug:
        return EEnd::Fails;
      case EAction::Code:
        // The answer to READ_IMAGE_ATTR is read as a data reply: an
        // acknowledgement there is four bytes of image information.
        if (!pStep->bAckReply) return EEnd::Passes;
        break;
      default:
        break;
    }
    return pStep->bPassedOver ? EEnd::Passes : EEnd::Fails;
  }
  std::string FailText() const {
    return pStep->bPassedOver ? std::string(kFormatNotSent) : std::string(pStep->pszText);
  }
};

void PrintTo(const SCase& c, std::ostream* pOut) {
  *pOut << c.Fault();
}

std::vector<SCase> AllCases() {
  std::vector<SCase> cases;
  for (const SDownloadStep& step : kSteps) {
    for (const SActionInfo& action : kActions) cases.push_back({&step, &action});
  }
  return cases;
}

// Records the row as it looked when its first phone ended.
class CRowHost final : public IWindowHost {
 public:
  void MessageBox(const std::string& strText) override { boxes.push_back(strText); }
  std::optional<std::string> ChoosePackageFile() override { return std::nullopt; }
  void Changed() override {
    if (!pWindow || firstEnd) return;
    const SRowView& row = pWindow->View().rows[0];
    if (row.nFailed > 0 || row.nPassed > 0) firstEnd = row;
  }

  const CQuillportWindow* pWindow = nullptr;
  std::optional<SRowView> firstEnd;
  std::vector<std::string> boxes;
};

class DownloadMatrix : public ::testing::TestWithParam<SCase> {
 protected:
  void SetUp() override {
    SetUpDownloadStation(m_base.Path(), m_ports.Path());
    setenv("PHONE_COM_MAP", m_base.File("com-ports.ini").c_str(), 1);
    WriteStationSettings(m_base.Path(), {0}, true, true);  // OPENDEBUG: the debug-flags step
    static constexpr STestImage kPackage[] = {{"PDL1", "pattern:9000:1"},
                                              {"PDL2", "pattern:20000:2"},
                                              {"modem", "pattern:100000:3"},
                                              {"boot", "pattern:30000:4"}};
    ASSERT_EQ(MakeTestPackage(m_strPackage, kPackage), "");
  }
  void TearDown() override {
    m_pPhones.reset();
    m_pWatcher.reset();  // first of the window's parts: it posts to the window
    m_pWindow.reset();
    while (DispatchOnePending()) {
    }
    g_bOpenDebug = false;
    unsetenv("PHONE_PORTS_DIR");
    unsetenv("PHONE_COM_MAP");
    m_leak.Expect();
  }

  CQuillportWindow& Open() {
    m_pWindow = std::make_unique<CQuillportWindow>(m_host, m_queue, m_base.Path());
    m_host.pWindow = m_pWindow.get();
    m_pWatcher = std::make_unique<CPortWatcher>([this](bool bArrived, const std::string& strCom) {
      m_queue.PostTask([this, bArrived, strCom] { m_pWindow->OnDeviceChange(bArrived, strCom); });
    });
    m_pWindow->SetTimeoutText("3000");  // the shortest choice
    m_pWindow->SetPackagePath(m_strPackage);
    return *m_pWindow;
  }

  const SRowView& Row() const { return m_pWindow->View().rows[0]; }
  bool Searching() const {
    return Row().statusBox.strText == window_text::kDetecting && m_pWindow->Worker(0).GetPort() < 0;
  }
  // The phones' reports and the row's port log, for a failure's message.
  std::string Trace() const {
    std::string str;
    for (const sim::SPhoneReport& rep : m_pPhones->Reports()) str += sim::SummaryLine(rep) + "\n";
    return str + ReadWholeFile(PortLogPath(kCom));
  }
  bool Pump(const std::function<bool()>& fnDone, std::chrono::milliseconds bound = 200s) {
    return PumpUntil(m_queue, fnDone, bound);
  }

  CTempDir m_base, m_ports;
  std::string m_strPackage = m_base.File("m_norq_total.bin");
  CRowHost m_host;
  CMessageQueue m_queue;
  CQueueBinding m_binding{m_queue};
  CLeakCheck m_leak;  // after the test's own queue: that one stays
  std::unique_ptr<CQuillportWindow> m_pWindow;
  std::unique_ptr<CPortWatcher> m_pWatcher;
  std::unique_ptr<CTwoPhones> m_pPhones;
};

TEST_P(DownloadMatrix, FaultyPhoneThenCleanPhoneOnTheSameRow) {
  const SCase& c = GetParam();
  const EEnd eEnd = c.End();
  CQuillportWindow& window = Open();
  window.OnStartAll();
  ASSERT_TRUE(m_host.boxes.empty()) << m_host.boxes.front();
  ASSERT_TRUE(Pump([&] { return Searching(); }));
  // The row waits for a phone: the threads it has now are all it may have between phones.
  const int nThreadsIdle = CountThreads();

  m_pPhones = std::make_unique<CTwoPhones>(m_ports.Path(), kCom, c.Fault(), 2000, m_queue);
  if (eEnd == EEnd::Stops) {
    ASSERT_TRUE(Pump([&] { return m_pPhones->Fired(); }, 60s)) << Trace();
    window.OnStopAll();
    EXPECT_FALSE(window.AnyBusy());
    EXPECT_EQ(Row().statusBox.strText, window_text::kStopped);
    EXPECT_EQ(Row().statusBox.bk, COLOR_IDLE);
    EXPECT_EQ(Row().stateBox.strText, window_text::kIdle);
    EXPECT_EQ(Row().progress.nPos, -1);
    EXPECT_EQ(Row().dot, kWhite);
    // The port was closed: the phone goes once the host let go of it. Only
    // then is the row started again, or it would take the same phone.
    ASSERT_TRUE(WaitUntil([&] { return m_pPhones->PhonesGone() >= 1; }, 30s));
    window.OnStartAll();
  }
  const int nPasses = eEnd == EEnd::Passes ? 2 : 1;
  ASSERT_TRUE(Pump([&] { return Row().nPassed == nPasses && m_pPhones->PhonesGone() == 2; }))
      << "passed " << Row().nPassed << ", failed " << Row().nFailed << ", status "
      << Row().statusBox.strText << "\n"
      << Trace();
  EXPECT_EQ(Row().nFailed, eEnd == EEnd::Fails ? 1 : 0);
  ASSERT_TRUE(m_pPhones->WaitDone(10s));

  // The first phone's end as the row showed it.
  if (eEnd != EEnd::Stops) {
    ASSERT_TRUE(m_host.firstEnd.has_value());
    const SRowView& first = *m_host.firstEnd;
    if (eEnd == EEnd::Fails) {
      EXPECT_EQ(first.statusBox.strText, c.FailText()) << Trace();
      EXPECT_EQ(first.statusBox.bk, COLOR_FAIL);
      EXPECT_EQ(first.statusBox.text, kWhite);
      EXPECT_EQ(first.stateBox.strText, window_text::kError);
      EXPECT_EQ(first.stateBox.bk, COLOR_FAIL);
      EXPECT_EQ(first.dot, COLOR_FAIL);
      EXPECT_EQ(first.progress.bk, COLOR_FAIL);
    } else {
      EXPECT_EQ(first.statusBox.strText, window_text::kDone);
      EXPECT_EQ(first.statusBox.bk, COLOR_PASS);
      EXPECT_EQ(first.stateBox.strText, window_text::kDone);
      EXPECT_EQ(first.dot, COLOR_PASS);
      EXPECT_EQ(first.progress.nPos, 100);
    }
  }

  // The port log carries the step's failure text, or the line of a step
  // that is passed over; a refused code also names itself.
  const std::string strLog = ReadWholeFile(PortLogPath(kCom));
  if (eEnd == EEnd::Fails) {
    EXPECT_NE(strLog.find(c.FailText()), std::string::npos) << strLog;
  }
  if ((eEnd == EEnd::Stops && !c.Step().bStopBeforeWait) || c.Step().bPassedOver ||
      (eEnd == EEnd::Fails && c.Action().eAction != EAction::Unplug)) {
    if (c.Action().eAction != EAction::Garbage) {
      EXPECT_NE(strLog.find(c.Step().pszText), std::string::npos) << c.Step().pszText;
    }
  }
  if (c.Action().eAction == EAction::Code && c.Step().bAckReply) {
    EXPECT_NE(strLog.find("[WaitForAck] rsp failed, code:9, VERIFY_ERROR"), std::string::npos);
  }
  if (c.Action().eAction == EAction::Garbage) {
    EXPECT_EQ(strLog.find("command failed!"), std::string::npos) << strLog;
  }

  // What the phones saw.
  const std::vector<sim::SPhoneReport> reps = m_pPhones->Reports();
  ASSERT_EQ(reps.size(), 2u);
  const sim::SPhoneReport& faulty = reps[0];
  EXPECT_TRUE(HasFault(faulty, c.Fault())) << sim::SummaryLine(faulty);
  switch (eEnd) {
    case EEnd::Fails:
      // Pulled by the fault itself, or at the row's probe after the failure.
      EXPECT_EQ(faulty.eOutcome, sim::EOutcome::Unplugged) << sim::SummaryLine(faulty);
      break;
    case EEnd::Passes:
      EXPECT_EQ(faulty.eOutcome, sim::EOutcome::PoweredOff) << sim::SummaryLine(faulty);
      EXPECT_EQ(faulty.images.size(), kImages);
      for (const sim::SImageRecord& image : faulty.images) EXPECT_TRUE(image.bEnded);
      if (c.Action().eAction == EAction::Garbage) ExpectGarbageSent(faulty, c.Fault());
      break;
    case EEnd::Stops:
      // A stop during a wait runs the failure handling, whose probe may
      // reach the phone (and pull it) before the row closes the port.
      EXPECT_TRUE(faulty.eOutcome == sim::EOutcome::HostClosed ||
                  faulty.eOutcome == sim::EOutcome::Unplugged)
          << sim::SummaryLine(faulty);
      break;
  }
  const sim::SPhoneReport& clean = reps[1];
  EXPECT_TRUE(clean.bPassed) << sim::SummaryLine(clean);
  EXPECT_EQ(clean.eOutcome, sim::EOutcome::PoweredOff);
  EXPECT_EQ(clean.images.size(), kImages);
  EXPECT_EQ(clean.strPartitionTable, "modem,boot");

  // Both phones gone, the row back to waiting: every port it opened is
  // closed again and no thread of a phone is left.
  m_pPhones->Release();
  ASSERT_TRUE(Pump([&] { return Searching(); }, 20s));
  EXPECT_EQ(OpenTerminals(), 0u) << "a phone's port is still open";
  EXPECT_TRUE(WaitUntil([&] { return CountThreads() == nThreadsIdle; }, 5s))
      << "threads now " << CountThreads() << ", idle " << nThreadsIdle;
  window.OnStopAll();
  EXPECT_EQ(Row().statusBox.strText, window_text::kStopped);
}

INSTANTIATE_TEST_SUITE_P(Steps, DownloadMatrix, ::testing::ValuesIn(AllCases()),
                         [](const ::testing::TestParamInfo<SCase>& info) {
                           return CaseName(info.param.Step(), info.param.Action());
                         });

}  // namespace
}  // namespace fault_matrix
