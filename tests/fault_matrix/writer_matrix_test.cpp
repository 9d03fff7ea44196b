// The writer's fault matrix: list runs of the window against simulated
// phones, a fault at every step of a phone's write, then a clean phone that
// the same run (or, after a failure ended it, the next run) must write.

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

#include "matrix_support.h"
#include "tavlo/numbers/number_checks.h"
#include "tavlo/ui/startup.h"
#include "tavlo/ui/writer_window.h"
#include "writer_station.h"

namespace fault_matrix {
namespace {

constexpr int kCom = 71;
constexpr char kNextPhone[] = "Please plugin a new phone and power on!";

struct SWriterStep {
  const char* pszName;
  const char* pszMatch;              // the fault's match items
  std::vector<const char*> failure;  // the step's failure lines, in order
};

const SWriterStep kSteps[] = {
    {"connect", "cmd=connect,nth=1", {"Get connect[ACK] command failed!"}},
    {"boot_start", "cmd=start,image=0x100100", {"WaitForAck Write boot_fact failed!"}},
    {"boot_data", "cmd=mid,image=0x100100,chunk=1", {"WaitForAck Write boot_fact failed!"}},
    {"boot_end", "cmd=end,image=0x100100", {"WaitForAck Write boot_fact failed!"}},
    {"boot_exec", "cmd=exec", {"WaitForAck boot_fact failed!"}},
    {"factmode", "cmd=factmode", {"WaitForAck SendFactModeCmd failed!"}},
    {"read", "cmd=read-part,nth=1", {"Read factorydata failed!", "GetFactoryData failed!"}},
    {"write_start", "cmd=start,image=norqfact", {"WaitForAck Write Flash partion failed!"}},
    {"write_data", "cmd=mid,image=norqfact", {"WaitForAck Write Flash partion failed!"}},
    {"write_end", "cmd=end,image=norqfact", {"WaitForAck Write Flash partion failed!"}},
    {"check", "cmd=read-part,nth=2", {"Read Flash partion failed!", "IMEI data check failed!"}},
};

enum class EEnd { Fails, Passes, Stops };

struct SCase {
  const SWriterStep* pStep;
  const SActionInfo* pAction;

  const SWriterStep& Step() const { return *pStep; }
  const SActionInfo& Action() const { return *pAction; }
  std::string Fault() const {
    return std::string(pStep->pszMatch) + ",phone=1," + pAction->pszFault;
  }
  EEnd End() const {
    if (pAction->eAction == EAction::Stop) return EEnd::Stops;
    // The writer skips stray bytes before every answer.
    return pAction->eAction == EAction::Garbage ? EEnd::Passes : EEnd::Fails;
  }
};

void PrintTo(const SCase& c, std::ostream* pOut) {
  *pOut << c.Fault();
}

std::vector<SCase> AllCases() {
  std::vector<SCase> cases;
  for (const SWriterStep& step : kSteps) {
    for (const SActionInfo& action : kActions) cases.push_back({&step, &action});
  }
  return cases;
}

// Keeps every log line the window showed, across the clearing at each phone.
class CLogHost final : public IWriterHost {
 public:
  void MessageBox(const std::string& strText) override { boxes.push_back(strText); }
  std::optional<std::string> ChooseDdrFile() override { return std::nullopt; }
  bool RunSetup(CImeiSetup&) override { return false; }
  void LogAppended(const SLogLine& line) override { all.push_back(line); }
  void LogCleared() override {}
  void Changed() override {}

  size_t Count(const std::string& strText, int nKind) const {
    return static_cast<size_t>(std::count_if(all.begin(), all.end(), [&](const SLogLine& line) {
      return line.strText == strText && line.nKind == nKind;
    }));
  }

  std::vector<std::string> boxes;
  std::vector<SLogLine> all;
};

std::string Imei(int n) {
  return AppendImeiCheckDigit("35209900" + std::to_string(200000 + n));
}

class WriterMatrix : public ::testing::TestWithParam<SCase> {
 protected:
  void SetUp() override {
    setenv("PHONE_PORTS_DIR", m_ports.Path().c_str(), 1);
    setenv("PHONE_COM_MAP", m_base.File("com-ports.ini").c_str(), 1);
    MakeWriterStation(m_base.Path(), 9000, "[CHIP_1]\nCHIPNAME=n7731\nFACTNAME=norqfact\n");
    std::string strImeis;
    for (int n = 1; n <= 8; ++n) strImeis += Imei(n) + "\n";
    WriteFile("imei.txt", strImeis);
    WriteFile("ini/wimei.ini",
              "[GENERAL]\nCHIPSET=n7731\nMAGIC_NUMBER=0x12345678\nISWIMEI=Yes\nCHECK_IMEI=Yes\n"
              "[WIMEI]\nIMEINUM=1\nINPUTTYPE=1\nFILEPATH=" +
                  m_base.File("imei.txt") + "\n");
    const std::string strName = "tavlo-matrix-" + std::to_string(getpid());
    ASSERT_EQ(StartTavlo(strName, m_base.Path(), &m_app), ETavloStart::Ok);
    // The program's state stays for the process (the phone records' thread).
    m_leak.emplace();
  }
  void TearDown() override {
    m_pPhones.reset();
    m_pWindow.reset();
    while (DispatchOnePending()) {
    }
    m_app = STavloApp{};
    unsetenv("PHONE_PORTS_DIR");
    unsetenv("PHONE_COM_MAP");
    if (m_leak) m_leak->Expect();
  }
  void WriteFile(const std::string& strName, const std::string& strText) {
    std::ofstream(m_base.File(strName), std::ios::binary | std::ios::trunc) << strText;
  }

  const SWriterView& View() const { return m_pWindow->View(); }
  const CWriteThread& Worker() const { return m_pWindow->Worker(); }
  // Between phones of a list run: the last phone has gone and the next cycle
  // has begun with the port closed.
  bool AwaitingPhone(int nWritten) const {
    return Worker().PhonesWritten() == nWritten && m_pPhones->PhonesGone() == 2 &&
           View().log.size() == 1 && View().log.front().strText == kNextPhone;
  }
  bool Pump(const std::function<bool()>& fnDone, std::chrono::milliseconds bound = 60s) {
    return PumpUntil(m_queue, fnDone, bound);
  }

  CTempDir m_base, m_ports;
  CLogHost m_host;
  CMessageQueue m_queue;
  CQueueBinding m_binding{m_queue};
  STavloApp m_app;
  std::optional<CLeakCheck> m_leak;  // after the test's own queue and program state
  std::unique_ptr<CTavloWindow> m_pWindow;
  std::unique_ptr<CTwoPhones> m_pPhones;
};

TEST_P(WriterMatrix, FaultyPhoneThenCleanPhone) {
  const SCase& c = GetParam();
  const EEnd eEnd = c.End();
  m_pWindow = std::make_unique<CTavloWindow>(m_host, m_queue, m_app);
  CTavloWindow& window = *m_pWindow;
  // The worker waits for runs: the threads it has now are all it may have between phones.
  const int nThreadsIdle = CountThreads();

  m_pPhones = std::make_unique<CTwoPhones>(m_ports.Path(), kCom, c.Fault(), 300, m_queue);
  window.OnStart();
  ASSERT_TRUE(m_host.boxes.empty()) << m_host.boxes.front();

  switch (eEnd) {
    case EEnd::Fails: {
      ASSERT_TRUE(Pump([&] { return window.RunsEnded() == 1; }));
      // The failed phone's log, in order: the step's lines, then the run's end.
      std::vector<SLogLine> want;
      for (const char* psz : c.Step().failure) want.push_back({psz, kLogError});
      want.push_back({"Write failed!", kLogError});
      want.push_back({"Write Error!", kLogSummary});
      const std::vector<SLogLine>& log = View().log;
      ASSERT_GE(log.size(), want.size());
      for (size_t i = 0; i < want.size(); ++i) {
        const SLogLine& got = log[log.size() - want.size() + i];
        EXPECT_EQ(got.strText, want[i].strText);
        EXPECT_EQ(got.nKind, want[i].nKind) << got.strText;
      }
      EXPECT_EQ(View().nBanner, kStateFailed);
      EXPECT_EQ(Worker().PhonesFailed(), 1);
      EXPECT_EQ(Worker().PhonesWritten(), 0);
      EXPECT_TRUE(View().bStartEnabled);
      break;
    }
    case EEnd::Stops: {
      ASSERT_TRUE(Pump([&] { return m_pPhones->Fired(); }));
      window.OnStop();
      ASSERT_EQ(window.RunsEnded(), 1);
      // The stop cuts the step short, the read-back too: the phone is
      // stopped, not written (its numbers, sent already, stay used).
      EXPECT_EQ(View().log.back().strText, "Write Stop!");
      EXPECT_EQ(Worker().PhonesWritten(), 0);
      EXPECT_EQ(View().log.back().nKind, kLogSummary);
      EXPECT_EQ(m_host.Count("Write failed!", kLogError), 0u);
      EXPECT_EQ(Worker().PhonesFailed(), 0);
      break;
    }
    case EEnd::Passes:
      break;
  }

  const int nWritten = eEnd == EEnd::Passes ? 2 : 1;
  if (eEnd != EEnd::Passes) {
    // The run is over and its port closed: the phone goes, and the next run
    // takes the clean one.
    ASSERT_TRUE(WaitUntil([&] { return m_pPhones->PhonesGone() >= 1; }, 30s));
    window.OnStart();
  }
  ASSERT_TRUE(Pump([&] { return AwaitingPhone(nWritten); }))
      << "written " << Worker().PhonesWritten() << ", failed " << Worker().PhonesFailed();
  EXPECT_EQ(Worker().PhonesFailed(), eEnd == EEnd::Fails ? 1 : 0);
  EXPECT_EQ(m_host.Count("Write OK!", kLogWriteOk), static_cast<size_t>(nWritten));
  if (eEnd == EEnd::Passes) {
    for (const SLogLine& line : m_host.all) EXPECT_NE(line.nKind, kLogError) << line.strText;
  }

  const std::vector<sim::SPhoneReport> reps = m_pPhones->Reports();
  ASSERT_EQ(reps.size(), 2u);
  const sim::SPhoneReport& faulty = reps[0];
  EXPECT_TRUE(HasFault(faulty, c.Fault())) << sim::SummaryLine(faulty);
  EXPECT_EQ(faulty.nHostOpens, 1);
  // A written phone leaves at the probe that follows it; one the fault
  // pulled leaves at once; any other goes once the run closed its port.
  const bool bPulled = c.Action().eAction == EAction::Unplug || eEnd == EEnd::Passes;
  EXPECT_EQ(faulty.eOutcome, bPulled ? sim::EOutcome::Unplugged : sim::EOutcome::HostClosed)
      << sim::SummaryLine(faulty);
  if (c.Action().eAction == EAction::Garbage) {
    ExpectGarbageSent(faulty, c.Fault());
    EXPECT_EQ(faulty.factoryWritten.size(), 16384u);
  }
  const sim::SPhoneReport& clean = reps[1];
  EXPECT_TRUE(clean.faultsFired.size() == 1 && clean.eOutcome == sim::EOutcome::Unplugged)
      << sim::SummaryLine(clean);  // only the probe that ends every written phone
  EXPECT_EQ(clean.nHostOpens, 1);
  EXPECT_EQ(clean.nErrorReplies, 0);
  EXPECT_EQ(clean.factoryWritten.size(), 16384u);

  // Both phones gone, the run waiting for the next: its port is closed and
  // no thread of a phone is left.
  m_pPhones->Release();
  EXPECT_EQ(OpenTerminals(), 0u) << "a phone's port is still open";
  EXPECT_TRUE(WaitUntil([&] { return CountThreads() == nThreadsIdle; }, 5s))
      << "threads now " << CountThreads() << ", idle " << nThreadsIdle;
  window.OnStop();
  EXPECT_EQ(View().log.back().strText, "Write Stop!");
}

INSTANTIATE_TEST_SUITE_P(Steps, WriterMatrix, ::testing::ValuesIn(AllCases()),
                         [](const ::testing::TestParamInfo<SCase>& info) {
                           return CaseName(info.param.Step(), info.param.Action());
                         });

}  // namespace
}  // namespace fault_matrix
