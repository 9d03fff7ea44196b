// The console front end as an operator's script runs it.

#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "child_process.h"
#include "json_reader.h"
#include "pty_phone.h"
#include "tavlo/numbers/number_checks.h"
#include "tavlo/numbers/phone_numbers.h"
#include "tavlo/ui/writer_texts.h"
#include "wait_until.h"
#include "writer_station.h"

namespace {

using namespace std::chrono_literals;

// Runs tavlo in a folder of its own; the folder also holds its single-copy
// lock, so that tests running side by side are not each other's second copy.
int RunTavloIn(const std::string& strDir, const std::string& strArgs, std::string* pOut) {
  return RunIn(strDir, std::string(TAVLO_PATH) + " " + strArgs, pOut);
}

class TavloHeadless : public ::testing::Test {
 protected:
  void SetUp() override { MakeWriterStation(m_dir.Path(), 5000); }
  void TearDown() override { unsetenv("PHONE_PORTS_DIR"); }
  void Settings(const std::string& strText) {
    std::ofstream(m_dir.File("ini/wimei.ini")) << "[GENERAL]\nCHIPSET=c\n" << strText;
  }
  // One simulated phone after another in a simulator process of its own,
  // which keeps a report of each; tavlo finds them through the ports folder.
  void StartSimulator(const std::vector<std::string>& options) {
    std::vector<std::string> args = {PDL_PHONE_SIM_PATH, "--ports-dir",       m_ports.Path(),
                                     "--continuous",     "--replug-delay-ms", "100",
                                     "--quiet",          "--report-dir",      m_reports.Path()};
    args.insert(args.end(), options.begin(), options.end());
    m_pSim = std::make_unique<CChild>(args, m_dir.Path(), m_dir.File("sim.txt"));
    ASSERT_TRUE(m_pSim->Started());
    setenv("PHONE_PORTS_DIR", m_ports.Path().c_str(), 1);
  }
  // The reports of the phones that have left, once the simulator has ended.
  std::vector<std::string> StopSimulator() {
    m_pSim->Signal(SIGTERM);
    EXPECT_EQ(m_pSim->WaitExit(10s), 0);
    std::vector<std::string> reports;
    for (const auto& entry : std::filesystem::directory_iterator(m_reports.Path()))
      reports.push_back(ReadWholeFile(entry.path()));
    return reports;
  }
  CTempDir m_dir, m_ports, m_reports;
  std::unique_ptr<CChild> m_pSim;
};

TEST_F(TavloHeadless, GeneratorRunWritesCountPhonesAndTheHistoryGrows) {
  Settings(
      "ISWIMEI=Yes\n[WIMEI]\nINPUTTYPE=2\nIS14CHAR=Yes\nINITCODE14=35209900000000\n"
      "MASKCODE14=352099000000**\n");
  std::string out;
  ASSERT_EQ(RunTavloIn(m_dir.Path(), "--headless --simulate 1 --count 2", &out), 0) << out;
  EXPECT_NE(out.find("tavlo: 2 phone(s) written, 0 failed"), std::string::npos) << out;
  EXPECT_NE(out.find("[完 成]"), std::string::npos) << out;
  EXPECT_NE(out.find("Write OK!"), std::string::npos);
  const std::string history = ReadWholeFile(m_dir.File("data/wimei.history"));
  EXPECT_NE(history.find("\t" + AppendImeiCheckDigit("35209900000001") + "\n"), std::string::npos)
      << history;
  EXPECT_EQ(history.find(AppendImeiCheckDigit("35209900000002")), std::string::npos);
  EXPECT_EQ(ReadWholeFile(m_dir.File("ini/wimei.ini")).find("ISWMBSN"), std::string::npos)
      << "the console leaves the settings file as it found it";
}

TEST_F(TavloHeadless, JsonStreamOfATwoPhoneRunAndARecordOfEachPhone) {
  Settings(
      "ISWIMEI=Yes\n[WIMEI]\nINPUTTYPE=2\nIS14CHAR=Yes\nINITCODE14=35209900000000\n"
      "MASKCODE14=352099000000**\n");
  std::string out;
  // Standard error apart: the stream on standard output must parse whole.
  ASSERT_EQ(RunIn(m_dir.Path(),
                  "sh -c '" + std::string(TAVLO_PATH) +
                      " --headless --json --simulate 1 --count 2 > json.txt 2> err.txt'",
                  &out),
            0)
      << ReadWholeFile(m_dir.File("err.txt"));
  const std::string stream = ReadWholeFile(m_dir.File("json.txt"));
  const std::optional<std::vector<SJson>> events = ParseJsonLines(stream);
  ASSERT_TRUE(events) << stream;
  std::vector<const SJson*> phones;
  int nWriting = 0;
  for (const SJson& e : *events) {
    if (e["event"].s == "phone") phones.push_back(&e["record"]);
    if (e["event"].s == "state" && e["state"].s == "writing") ++nWriting;
    EXPECT_TRUE(e["event"].s == "phone" || e["event"].s == "state" || e["event"].s == "log" ||
                e["event"].s == "summary")
        << e["event"].s;
  }
  EXPECT_GE(nWriting, 2);
  ASSERT_EQ(events->back()["event"].s, "summary");
  EXPECT_EQ(events->back()["written"].d, 2);
  EXPECT_EQ(events->back()["exit"].d, 0);
  ASSERT_EQ(phones.size(), 2u);
  const std::vector<std::string> imeis = {AppendImeiCheckDigit("35209900000000"),
                                          AppendImeiCheckDigit("35209900000001")};
  for (size_t i = 0; i < phones.size(); ++i) {
    const SJson& r = *phones[i];
    EXPECT_EQ(r["tool"].s, "tavlo");
    EXPECT_EQ(r["result"].s, "passed");
    EXPECT_TRUE(r["failure"].IsNull());
    ASSERT_EQ(r["imei"].items.size(), 1u);
    EXPECT_EQ(r["imei"].items[0].s, imeis[i]);
    EXPECT_TRUE(r["mbsn"].IsNull() && r["psn"].IsNull()) << "not written";
    EXPECT_EQ(r["chip"].s, "c");
    EXPECT_TRUE(r["checked"].b);
  }

  // The day's records file holds the same two records.
  std::string records;
  for (const auto& entry : std::filesystem::directory_iterator(m_dir.File("log/records")))
    records += ReadWholeFile(entry.path().string());
  const std::optional<std::vector<SJson>> lines = ParseJsonLines(records);
  ASSERT_TRUE(lines) << records;
  ASSERT_EQ(lines->size(), 2u);
  for (const SJson& r : *lines) {
    for (const char* pszField :
         {"tool", "version", "station", "port", "usb_path", "started", "ended", "seconds", "result",
          "failure", "step", "imei", "mbsn", "psn", "chip", "checked"})
      EXPECT_TRUE(r.Has(pszField)) << pszField;
  }
  EXPECT_EQ((*lines)[1]["imei"].items[0].s, imeis[1]);
}

TEST_F(TavloHeadless, TypedNumbersServeOnePhoneAndBadOnesAreRefused) {
  Settings("ISWMBSN=Yes\n");
  const std::string imei = AppendImeiCheckDigit("35209900000077");
  std::string out;
  EXPECT_EQ(RunTavloIn(m_dir.Path(), "--headless --simulate 1 --imei1 " + imei, &out), 0) << out;
  EXPECT_NE(out.find("tavlo: 1 phone(s) written, 0 failed"), std::string::npos) << out;
  EXPECT_NE(ReadWholeFile(m_dir.File("data/wimei.history")).find(imei), std::string::npos);

  EXPECT_EQ(RunTavloIn(m_dir.Path(), "--headless --simulate 1 --imei1 " + imei.substr(1), &out), 1);
  EXPECT_NE(out.find("请输入有效的IMEI号码!"), std::string::npos) << out;
}

TEST_F(TavloHeadless, BadUsageEndsWithTwo) {
  Settings("");
  std::string out;
  EXPECT_EQ(RunTavloIn(m_dir.Path(), "--headless --imei1 1 --psn 2", &out), 2) << out;
  EXPECT_EQ(RunTavloIn(m_dir.Path(), "--headless --lcd-type vga", &out), 2) << out;
  EXPECT_EQ(RunTavloIn(m_dir.Path(), "--headless --count 0", &out), 2) << out;
  Settings("[WIMEI]\nINPUTTYPE=1\n");
  EXPECT_EQ(RunTavloIn(m_dir.Path(), "--headless --imei1 1", &out), 2) << out;
}

TEST_F(TavloHeadless, MissingBootImageEndsTheStart) {
  Settings("");
  std::filesystem::remove(m_dir.File("images/boot_fact.bin"));
  std::string out;
  EXPECT_EQ(RunTavloIn(m_dir.Path(), "--headless", &out), 1);
  EXPECT_NE(out.find("boot_fact.bin不存在"), std::string::npos) << out;
}

TEST_F(TavloHeadless, RefusedRunsSendNothingToThePhone) {
  const std::string imei = AppendImeiCheckDigit("35209900000011");
  std::string wrongCheckDigit = imei;
  wrongCheckDigit.back() = wrongCheckDigit.back() == '9' ? '0' : wrongCheckDigit.back() + 1;
  const std::string twoSims = "ISWIMEI=Yes\nCHECK_IMEI=Yes\n[WIMEI]\nIMEINUM=2\n";
  struct {
    const char* pszWhat;
    std::string strSettings, strArgs;
    const char* pszBox;
  } cases[] = {
      {"slot 2, wrong check digit", twoSims, "--imei1 " + imei + " --imei2 " + wrongCheckDigit,
       kMsgBadImei},
      {"slot 2, wrong length", twoSims, "--imei1 " + imei + " --imei2 " + imei.substr(1),
       kMsgBadImei},
      {"slot 2, empty", twoSims, "--imei1 " + imei, kMsgBadImei},
      {"slot 1, wrong check digit", twoSims, "--imei1 " + wrongCheckDigit + " --imei2 " + imei,
       kMsgBadImei},
      {"nothing switched on", "", "", writer_text::kNothingToWrite},
  };
  StartSimulator({});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pszWhat);
    Settings(c.strSettings);
    std::string out;
    EXPECT_EQ(RunTavloIn(m_dir.Path(), "--headless " + c.strArgs, &out), 1) << out;
    EXPECT_NE(out.find(std::string("[message] ") + c.pszBox), std::string::npos) << out;
    EXPECT_FALSE(std::filesystem::exists(m_dir.File("data/wimei.history")));
  }
  // The phone plugged in all along saw no open and no packet.
  const std::vector<std::string> reports = StopSimulator();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("\"host_opens\": 0,"), std::string::npos) << reports[0];
  EXPECT_NE(reports[0].find("\"commands\": [\n  ]"), std::string::npos) << reports[0];
}

// With CHECK_IMEI on (the default) a list IMEI whose last digit is not its
// check digit is passed over like any invalid line, never written.
TEST_F(TavloHeadless, ListImeisThatFailTheirCheckDigitAreNeverWritten) {
  const std::string good = AppendImeiCheckDigit("35209900000002");
  std::string typo = AppendImeiCheckDigit("35209900000001");
  typo[9] = typo[9] == '9' ? '0' : typo[9] + 1;  // one digit mistyped
  ASSERT_FALSE(IsImeiCheckDigitOk(typo));
  std::ofstream(m_dir.File("imei.txt")) << typo << "\n" << good << "\n";
  Settings("ISWIMEI=Yes\n[WIMEI]\nINPUTTYPE=1\nFILEPATH=" + m_dir.File("imei.txt") + "\n");
  std::string out;
  ASSERT_EQ(RunTavloIn(m_dir.Path(), "--headless --simulate 1 --count 1", &out), 0) << out;
  const std::string history = ReadWholeFile(m_dir.File("data/wimei.history"));
  EXPECT_NE(history.find("\t" + good + "\n"), std::string::npos) << history;
  EXPECT_EQ(history.find(typo), std::string::npos) << history;
}

// A typed PSN already written is refused before any phone is touched, naming
// where it was written; --rework writes it again and records it as rework.
TEST_F(TavloHeadless, ATypedNumberAlreadyWrittenIsWrittenAgainOnlyAsRework) {
  Settings("ISWPSN=Yes\n[WPSN]\nPSNLEN=6\n");
  std::string out;
  ASSERT_EQ(RunTavloIn(m_dir.Path(), "--headless --simulate 1 --psn PSN001", &out), 0) << out;
  const std::string strFirst = ReadWholeFile(m_dir.File("data/wpsn.history"));
  ASSERT_EQ(strFirst.size(), 27u) << strFirst;
  ASSERT_EQ(RunTavloIn(m_dir.Path(), "--headless --simulate 1 --rework --psn PSN001", &out), 0)
      << out;
  EXPECT_NE(out.find("Rework: PSN PSN001 is already written ("), std::string::npos) << out;
  const std::string strHistory = ReadWholeFile(m_dir.File("data/wpsn.history"));
  ASSERT_EQ(strHistory.size(), 27u + 8 + 2 * 27) << strHistory;
  const std::string strStamp = strHistory.substr(27 + 8, 19);
  EXPECT_EQ(strHistory, strFirst + "#rework\t" + strStamp + "\tPSN001\n" + strStamp + "\tPSN001\n");

  StartSimulator({});
  EXPECT_EQ(RunTavloIn(m_dir.Path(), "--headless --psn PSN001", &out), 1) << out;
  EXPECT_NE(out.find("[message] PSN PSN001 is already written ("), std::string::npos) << out;
  EXPECT_NE(out.find("data/wpsn.history, " + strFirst.substr(0, 19) + "): not written again"),
            std::string::npos)
      << out;
  EXPECT_EQ(ReadWholeFile(m_dir.File("data/wpsn.history")), strHistory);
  const std::vector<std::string> reports = StopSimulator();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("\"host_opens\": 0,"), std::string::npos) << reports[0];
}

// An MBSN length whose field would run into the PSN field ends the start.
TEST_F(TavloHeadless, AnMbsnLengthThatRunsIntoThePsnFieldEndsTheStart) {
  Settings("ISWMBSN=Yes\n[WMBSN]\nMBSNLEN=50\n");
  std::string out;
  EXPECT_EQ(
      RunTavloIn(m_dir.Path(), "--headless --simulate 1 --mbsn " + std::string(50, 'M'), &out), 1);
  EXPECT_NE(out.find("tavlo: MBSNLEN=50 in ini/wimei.ini is too long"), std::string::npos) << out;
  EXPECT_EQ(out.find("phone(s) written"), std::string::npos) << out;
  Settings("ISWMBSN=Yes\n[WMBSN]\nMBSNLEN=49\n");
  EXPECT_EQ(
      RunTavloIn(m_dir.Path(), "--headless --simulate 1 --mbsn " + std::string(49, 'M'), &out), 0)
      << out;
}

TEST_F(TavloHeadless, CountEndsTheRunBeforeNumbersForTheNextPhoneAreDrawn) {
  // Exactly the numbers of the phones asked for: a run that went on to one
  // more phone would find the list used up and fail.
  std::ofstream(m_dir.File("imei.txt")) << AppendImeiCheckDigit("35209900000001") << "\n"
                                        << AppendImeiCheckDigit("35209900000002") << "\n";
  Settings("ISWIMEI=Yes\n[WIMEI]\nINPUTTYPE=1\nFILEPATH=" + m_dir.File("imei.txt") + "\n");
  for (int nRun = 0; nRun < 22; ++nRun) {
    const int nCount = nRun < 2 ? 2 : 1;
    SCOPED_TRACE(nRun);
    std::filesystem::remove_all(m_dir.File("data"));
    if (nCount == 1) {  // the list's first number is used: its second is the last one left
      std::filesystem::create_directories(m_dir.File("data"));
      std::ofstream(m_dir.File("data/wimei.history"))
          << "2024-01-01_00:00:00\t" << AppendImeiCheckDigit("35209900000001") << "\n";
    }
    std::string out;
    ASSERT_EQ(
        RunTavloIn(m_dir.Path(), "--headless --simulate 1 --count " + std::to_string(nCount), &out),
        0)
        << out;
    EXPECT_NE(
        out.find("tavlo: " + std::to_string(nCount) + " phone(s) written, 0 failed, 0 stopped"),
        std::string::npos)
        << out;
    EXPECT_EQ(out.find("[message]"), std::string::npos) << out;
  }
}

TEST_F(TavloHeadless, APhoneCutShortByAStopIsNoSuccess) {
  Settings("ISWIMEI=Yes\n");
  // The phone holds the answer to the boot image's last packet for a while.
  StartSimulator({"--fault", "cmd=mid,nth=2,stall=1500"});
  CChild tavlo({TAVLO_PATH, "--headless", "--imei1", AppendImeiCheckDigit("35209900000077")},
               m_dir.Path(), m_dir.File("out.txt"), {"XDG_RUNTIME_DIR=" + m_dir.Path()});
  const bool bInside = WaitForText(m_dir.File("out.txt"), "Write boot_fact 4096 bytes", 30s);
  tavlo.Signal(SIGTERM);
  EXPECT_EQ(tavlo.WaitExit(30s), 1);
  const std::string out = ReadWholeFile(m_dir.File("out.txt"));
  ASSERT_TRUE(bInside) << out;
  EXPECT_NE(out.find("tavlo: 0 phone(s) written, 0 failed, 1 stopped"), std::string::npos) << out;
  EXPECT_NE(out.find("Write Stop!"), std::string::npos) << out;
}

constexpr char kHundredGenerated[] =
    "ISWIMEI=Yes\n[WIMEI]\nINPUTTYPE=2\nIS14CHAR=Yes\nINITCODE14=35209900000000\n"
    "MASKCODE14=352099000000**\n";

// A second copy on the same station folder, as another user or another PC
// on a shared folder starts one: its own runtime folder (so the per-user
// guard does not see the first) and its own phone. It is refused before it
// touches the phone; the first copy goes on and writes its own.
TEST_F(TavloHeadless, ASecondCopyOnTheStationFolderIsRefusedAndTouchesNoPhone) {
  Settings(kHundredGenerated);
  CTempDir firstRuntime, secondRuntime, secondPorts, secondReports;
  CChild first({TAVLO_PATH, "--headless", "--count", "1"}, m_dir.Path(), m_dir.File("first.txt"),
               {"XDG_RUNTIME_DIR=" + firstRuntime.Path(), "PHONE_PORTS_DIR=" + m_ports.Path()});
  ASSERT_TRUE(WaitForText(m_dir.File("first.txt"), "Please plugin a new phone", 30s))
      << ReadWholeFile(m_dir.File("first.txt"));

  CChild secondSim({PDL_PHONE_SIM_PATH, "--ports-dir", secondPorts.Path(), "--continuous",
                    "--quiet", "--report-dir", secondReports.Path()},
                   m_dir.Path(), m_dir.File("sim2.txt"));
  ASSERT_TRUE(WaitUntil([&] { return !std::filesystem::is_empty(secondPorts.Path()); }, 30s))
      << "the second copy's phone is plugged in";
  CChild second(
      {TAVLO_PATH, "--headless", "--count", "1"}, m_dir.Path(), m_dir.File("second.txt"),
      {"XDG_RUNTIME_DIR=" + secondRuntime.Path(), "PHONE_PORTS_DIR=" + secondPorts.Path()});
  EXPECT_EQ(second.WaitExit(30s), 1);
  const std::string strSecond = ReadWholeFile(m_dir.File("second.txt"));
  EXPECT_NE(strSecond.find("another copy of tavlo is using this station folder"), std::string::npos)
      << strSecond;
  secondSim.Signal(SIGTERM);
  ASSERT_EQ(secondSim.WaitExit(10s), 0);
  std::vector<std::string> reports;
  for (const auto& entry : std::filesystem::directory_iterator(secondReports.Path()))
    reports.push_back(ReadWholeFile(entry.path()));
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("\"host_opens\": 0,"), std::string::npos) << reports[0];

  // The phone leaves when probed after its write, as the operator unplugs it.
  StartSimulator({"--fault", "cmd=connect,nth=2,unplug", "--unplug-on-close-ms", "100"});
  EXPECT_EQ(first.WaitExit(60s), 0);
  EXPECT_NE(ReadWholeFile(m_dir.File("first.txt")).find("tavlo: 1 phone(s) written, 0 failed"),
            std::string::npos)
      << ReadWholeFile(m_dir.File("first.txt"));
}

// "Write history failed!" after the write-back: the number may be in the
// phone. Its reservation outlives a later run stopped while it waits and a
// restart that still cannot write; once the history can be written, the
// number is recorded and never handed out again.
TEST_F(TavloHeadless, ANumberWhoseHistoryLineFailedIsNeverHandedOutAgain) {
  Settings(kHundredGenerated);
  const std::string strFirst = AppendImeiCheckDigit("35209900000000");
  const std::string strNext = AppendImeiCheckDigit("35209900000001");
  // A folder in the history's place: every append fails, for root as well.
  std::filesystem::create_directories(m_dir.File("data/wimei.history"));
  std::string out;
  EXPECT_EQ(RunTavloIn(m_dir.Path(), "--headless --simulate 1 --count 1", &out), 1) << out;
  EXPECT_NE(out.find("Write history failed!"), std::string::npos) << out;
  ASSERT_NE(ReadWholeFile(m_dir.File("data/wimei.history.pending")).find(strFirst),
            std::string::npos);

  CChild stopped({TAVLO_PATH, "--headless"}, m_dir.Path(), m_dir.File("stopped.txt"),
                 {"XDG_RUNTIME_DIR=" + m_dir.Path(), "PHONE_PORTS_DIR=" + m_ports.Path()});
  ASSERT_TRUE(WaitForText(m_dir.File("stopped.txt"), "Please plugin a new phone", 30s))
      << ReadWholeFile(m_dir.File("stopped.txt"));
  stopped.Signal(SIGTERM);
  EXPECT_EQ(stopped.WaitExit(30s), 1);

  std::filesystem::remove(m_dir.File("data/wimei.history"));
  ASSERT_EQ(RunTavloIn(m_dir.Path(), "--headless --simulate 1 --count 1", &out), 0) << out;
  const std::string history = ReadWholeFile(m_dir.File("data/wimei.history"));
  EXPECT_NE(history.find("\t" + strFirst + "\n"), std::string::npos) << history;
  EXPECT_EQ(history.find(strFirst), history.rfind(strFirst)) << "recorded once, written once";
  EXPECT_NE(history.find("\t" + strNext + "\n"), std::string::npos) << history;
}

TEST_F(TavloHeadless, AStopSignalDuringStartUpStopsTheRunNotTheProcess) {
  Settings("ISWIMEI=Yes\n");
  for (const char* pszSignal : {"SIGTERM", "SIGINT"}) {
    SCOPED_TRACE(pszSignal);
    CChild tavlo({TAVLO_PATH, "--headless", "--simulate", "1", "--imei1",
                  AppendImeiCheckDigit("35209900000078")},
                 m_dir.Path(), m_dir.File("out.txt"), {"XDG_RUNTIME_DIR=" + m_dir.Path()});
    // The simulated phones' threads are the first to start: the signal comes
    // while the rest of start-up is still to do.
    ASSERT_TRUE(WaitUntil([&] { return tavlo.ThreadCount() != 1; }, 30s));
    tavlo.Signal(std::string(pszSignal) == "SIGTERM" ? SIGTERM : SIGINT);
    const std::optional<int> rc = tavlo.WaitExit(30s);
    ASSERT_TRUE(rc);
    EXPECT_TRUE(*rc == 0 || *rc == 1) << "ended by the signal: " << *rc << "\n"
                                      << ReadWholeFile(m_dir.File("out.txt"));
  }
}

}  // namespace
