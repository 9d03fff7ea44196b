// Writer stations as separate `tavlo --headless` processes on one ledger,
// each with its own simulated phones: numbers drawn at the same moment, a
// station killed at random moments, the server stopped in mid-run, and a
// server that stops answering (frozen, or behind a relay gone silent).
// NORQ_LEDGER_PHONES sets the phones per station (default 50).

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>
#include <thread>

#include "ledger_fixture.h"
#include "ledger_station.h"
#include "tavlo/ledger/pg_connection.h"
#include "tavlo/numbers/number_checks.h"
#include "tavlo/numbers/phone_numbers.h"
#include "tcp_relay.h"
#include "wait_until.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kRange =
    "INPUTTYPE=2\nIS14CHAR=Yes\nINITCODE14=35209900000000\n"
    "MASKCODE14=35209900******\n";

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A server that stops answering is given up within a call's deadline; the
// margin covers the pause before the next phone's draw and a busy machine.
constexpr milliseconds kGivenUpBound{kLedgerCallMs + 20000};
// Stop ends a run within two seconds while a ledger call waits; the margin
// covers the process's own end on a busy machine.
constexpr milliseconds kStopBound{4000};

int ElapsedMs(Clock::time_point since) {
  return static_cast<int>(std::chrono::duration_cast<milliseconds>(Clock::now() - since).count());
}

// The station's output since nFrom holds strText, within the bound.
bool WaitForOutput(const CLedgerStation& s, size_t nFrom, const std::string& strText,
                   milliseconds bound) {
  return WaitUntil(
      [&] {
        const std::string out = s.Output();
        return out.size() > nFrom && out.find(strText, nFrom) != std::string::npos;
      },
      bound);
}

// The server's processes stopped (SIGSTOP) as behind a dead switch port,
// and always continued again.
class CFrozenServer {
 public:
  explicit CFrozenServer(const CPrivatePostgres& server) {
    const std::vector<int> pids = server.Processes();
    if (pids.empty()) return;
    // The postmaster first, so that it starts no process after the look.
    Stop(pids[0]);
    for (int pid : server.Processes()) {
      if (pid != pids[0]) Stop(pid);
    }
  }
  ~CFrozenServer() { Thaw(); }
  CFrozenServer(const CFrozenServer&) = delete;
  CFrozenServer& operator=(const CFrozenServer&) = delete;
  bool Frozen() const { return !m_pids.empty(); }
  void Thaw() {
    for (int pid : m_pids) kill(pid, SIGCONT);
    m_pids.clear();
  }

 private:
  void Stop(int pid) {
    if (kill(pid, SIGSTOP) == 0) m_pids.push_back(pid);
  }
  std::vector<int> m_pids;
};

int PhonesPerStation() {
  const char* psz = std::getenv("NORQ_LEDGER_PHONES");
  return psz ? std::atoi(psz) : 50;
}

class LedgerStations : public LedgerFixture {
 protected:
  // Every IMEI of every phone: in one phone only, in one slot only, and in
  // the ledger as written by the station that wrote the phone; bExact: the
  // ledger holds these only (a station killed after a reservation keeps
  // numbers that may never have reached its phone).
  void ExpectLedgerIsThePhones(const std::vector<std::unique_ptr<CLedgerStation>>& stations,
                               bool bExact = true) {
    std::map<std::string, std::string> phoneOf;  // IMEI -> station
    for (size_t n = 0; n < stations.size(); ++n) {
      const std::string strName = "s" + std::to_string(n);
      for (const auto& imeis : stations[n]->Phones()) {
        for (const std::string& imei : imeis) {
          const auto [it, bNew] = phoneOf.emplace(imei, strName);
          EXPECT_TRUE(bNew) << imei << " reached phones of " << it->second << " and " << strName;
          EXPECT_TRUE(stations[n]->History().count(imei)) << imei << " not in the local history";
        }
      }
    }
    const auto written = Rows("imei", "written");
    if (bExact) {
      EXPECT_EQ(written, phoneOf);
    } else {
      for (const auto& [imei, strStation] : phoneOf) {
        const auto it = written.find(imei);
        EXPECT_TRUE(it != written.end() && it->second == strStation)
            << imei << " is in a phone of " << strStation << " but not written by it";
      }
    }
    EXPECT_EQ(Rows("imei").size(), written.size()) << "nothing left claimed or reserved";
  }

  // A station whose server stops answering after the first phone of a run
  // (fnSilence makes it silent and returns what makes it answer again when
  // it goes; fnDrawWaits, when set, tells that the next phone's draw waits
  // on the server). The next phone's draw fails within the deadline with
  // the ledger's line and no phone is written meanwhile; in a second run,
  // SIGTERM while that draw waits ends the run within two seconds; once the
  // server answers, the next run passes and the ledger holds the phones.
  template <typename FnSilence>
  void ExpectSilentServerCostsNoNumber(const std::string& strConnect, FnSilence fnSilence,
                                       const std::function<bool()>& fnDrawWaits = {}) {
    std::vector<std::unique_ptr<CLedgerStation>> stations;
    stations.push_back(std::make_unique<CLedgerStation>("s0", strConnect, kRange));
    CLedgerStation& s = *stations[0];
    // Starts a run and makes the server silent once its first phone is
    // written; returns when the second phone's cycle (its draw first) began.
    auto runUntilSilent = [&](size_t* pFrom, std::unique_ptr<CChild>* pRun) {
      *pFrom = s.Output().size();
      *pRun = s.Start({"--count", "3"});
      EXPECT_TRUE(WaitForOutput(s, *pFrom, "Write OK!", std::chrono::seconds(120))) << s.Output();
      auto silence = fnSilence();
      const size_t nWritten = s.Output().find("Write OK!", *pFrom);
      EXPECT_TRUE(WaitForOutput(s, nWritten, "----", kGivenUpBound)) << s.Output();
      return silence;
    };
    size_t nFrom = 0;
    std::unique_ptr<CChild> run;
    {
      auto silence = runUntilSilent(&nFrom, &run);
      const Clock::time_point drawn = Clock::now();
      EXPECT_TRUE(WaitForOutput(s, nFrom, kLedgerDownLine, kGivenUpBound)) << s.Output();
      std::printf("the silent server was given up after %d ms\n", ElapsedMs(drawn));
      EXPECT_EQ(run->WaitExit(std::chrono::seconds(30)), 1) << s.Output();
      EXPECT_EQ(s.Phones().size(), 1u) << "no phone written while the server was silent";
    }
    {
      auto silence = runUntilSilent(&nFrom, &run);
      if (fnDrawWaits) {
        EXPECT_TRUE(WaitUntil(fnDrawWaits, kGivenUpBound));
      }
      const Clock::time_point stop = Clock::now();
      run->Signal(SIGTERM);
      EXPECT_EQ(run->WaitExit(kStopBound), 1) << s.Output();
      std::printf("SIGTERM ended the run waiting in its draw after %d ms\n", ElapsedMs(stop));
      EXPECT_NE(s.Output().find("stopped while waiting for the ledger server", nFrom),
                std::string::npos)
          << s.Output().substr(nFrom);
      EXPECT_EQ(s.Phones().size(), 2u);
    }
    nFrom = s.Output().size();
    EXPECT_EQ(s.Run({"--count", "1"}), 0) << s.Output().substr(nFrom);
    EXPECT_EQ(s.Phones().size(), 3u);
    ExpectLedgerIsThePhones(stations);
  }

  // Four stations at once, each writing its phones with IMEIs drawn from
  // the same source.
  void RunFourStations(const std::string& strSource) {
    const int nPhones = PhonesPerStation();
    std::vector<std::unique_ptr<CLedgerStation>> stations;
    for (int n = 0; n < 4; ++n) {
      stations.push_back(
          std::make_unique<CLedgerStation>("s" + std::to_string(n), Connect(), strSource));
    }
    std::vector<std::unique_ptr<CChild>> runs;
    for (auto& s : stations) runs.push_back(s->Start({"--count", std::to_string(nPhones)}));
    for (size_t n = 0; n < runs.size(); ++n)
      EXPECT_EQ(runs[n]->WaitExit(std::chrono::seconds(500)), 0) << stations[n]->Output();
    size_t nWritten = 0;
    for (auto& s : stations) nWritten += s->Phones().size();
    EXPECT_EQ(nWritten, static_cast<size_t>(nPhones) * 4);
    ExpectLedgerIsThePhones(stations);
  }
};

TEST_F(LedgerStations, FourStationsDrawingFromOneRangeWriteDistinctNumbers) {
  RunFourStations(kRange);
}

TEST_F(LedgerStations, FourStationsDrawingFromOneListFileWriteDistinctNumbers) {
  CTempDir listDir;
  {
    std::ofstream list(listDir.File("imei.txt"));
    std::string counter = "000000";
    for (int i = 0; i < PhonesPerStation() * 4 * 2 + 8; ++i, IncrementCounter(&counter))
      list << MergeImei("86012300000000", "86012300******", counter) << "\n";
  }
  RunFourStations("INPUTTYPE=1\nFILEPATH=" + listDir.File("imei.txt") + "\n");
}

TEST_F(LedgerStations, StationsKilledAtRandomNeverRepeatOrLoseANumber) {
  const int nKills = std::getenv("NORQ_KILLS") ? std::atoi(std::getenv("NORQ_KILLS")) : 30;
  // A slow read-back keeps each write-back unrecorded for a while, so that
  // many kills land between the reservation and the outcome.
  std::vector<std::unique_ptr<CLedgerStation>> stations;
  for (int n = 0; n < 2; ++n) {
    stations.push_back(std::make_unique<CLedgerStation>(
        "s" + std::to_string(n), Connect(), kRange,
        std::vector<std::string>{"--fault", "cmd=read-part,nth=2,stall=250"}));
  }
  std::mt19937 rng(20261209);
  std::uniform_int_distribution<int> delay(0, 900);
  std::vector<std::unique_ptr<CChild>> runs;
  for (auto& s : stations) runs.push_back(s->Start({}));
  auto kill = [](CChild& run) {
    run.Signal(SIGKILL);
    run.WaitExit(std::chrono::seconds(30));
  };
  for (int k = 0; k < nKills; ++k) {
    std::this_thread::sleep_for(std::chrono::milliseconds(delay(rng)));
    const size_t n = static_cast<size_t>(k) % runs.size();
    kill(*runs[n]);
    runs[n] = stations[n]->Start({});
  }
  for (auto& run : runs) kill(*run);
  // A last clean run each, as the operator starts the station again: its
  // start settles what the last kill left. The phone of the killed run may
  // still be on its way out and fail the first try.
  for (auto& s : stations) {
    int rc = -1;
    for (int nTry = 0; nTry < 3 && rc != 0; ++nTry) rc = s->Run({"--count", "1"});
    EXPECT_EQ(rc, 0) << s->Output();
  }
  size_t nWritten = 0;
  for (auto& s : stations) nWritten += s->Phones().size();
  EXPECT_GE(nWritten, 2u);
  ExpectLedgerIsThePhones(stations, false);
  std::printf("%d kills, %zu phones written back\n", nKills, nWritten);
}

TEST_F(LedgerStations, ServerStoppedInMidRunRefusesSpoolsAndReplays) {
  // The read-back stalls, so that the server can go away between the
  // reservation and the outcome of a phone.
  std::vector<std::unique_ptr<CLedgerStation>> stations;
  stations.push_back(std::make_unique<CLedgerStation>(
      "s0", Connect(), kRange,
      std::vector<std::string>{"--fault", "cmd=read-part,nth=2,stall=1500"}));
  CLedgerStation& s = *stations[0];
  const std::unique_ptr<CChild> run = s.Start({"--count", "5"});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (Rows("imei", "reserved").empty() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_FALSE(Rows("imei", "reserved").empty()) << s.Output();
  std::string strError;
  ASSERT_TRUE(Server().Stop(&strError)) << strError;
  EXPECT_EQ(run->WaitExit(std::chrono::seconds(120)), 1) << s.Output();
  // The next phone's draw could not reach the ledger: failed, and said why.
  EXPECT_NE(s.Output().find(kMsgLedgerDown), std::string::npos) << s.Output();
  const auto phones = s.Phones();
  ASSERT_EQ(phones.size(), 1u) << s.Output();
  const std::string spool = ReadWholeFile(s.File("ledger.spool"));
  for (const std::string& imei : phones[0]) EXPECT_NE(spool.find(imei), std::string::npos) << spool;

  // Unreachable at start: refused, no phone touched.
  const size_t nReports = s.Reports();
  EXPECT_EQ(s.Run({"--count", "1"}, 60), 1);
  EXPECT_NE(s.Output().find("the shared ledger cannot be used"), std::string::npos);
  EXPECT_EQ(s.Reports(), nReports);

  ASSERT_TRUE(Server().Start(&strError)) << strError;
  EXPECT_EQ(s.Run({"--count", "2"}), 0) << s.Output();
  EXPECT_FALSE(fs::exists(s.File("ledger.spool")));
  EXPECT_EQ(s.Phones().size(), 3u);
  ExpectLedgerIsThePhones(stations);
}

// The server restarted while the second phone of a run is in the station
// (its factory mode answered late): the link the server closed is made
// again for the phone's reservation, and the phone passes.
TEST_F(LedgerStations, AServerRestartedBetweenTwoPhonesCostsNoPhone) {
  std::vector<std::unique_ptr<CLedgerStation>> stations;
  stations.push_back(std::make_unique<CLedgerStation>(
      "s0", Connect(), kRange,
      std::vector<std::string>{"--fault", "cmd=factmode,phone=2,stall=7000"}));
  CLedgerStation& s = *stations[0];
  const std::unique_ptr<CChild> run = s.Start({"--count", "2"});
  ASSERT_TRUE(WaitForOutput(s, 0, "Write OK!", std::chrono::seconds(120))) << s.Output();
  const size_t nSecond = s.Output().find("Write OK!");
  ASSERT_TRUE(WaitForOutput(s, nSecond, "Exec boot_fact OK!", std::chrono::seconds(60)))
      << s.Output();
  std::string strError;
  ASSERT_TRUE(Server().Stop(&strError)) << strError;
  ASSERT_TRUE(Server().Start(&strError)) << strError;
  EXPECT_EQ(run->WaitExit(std::chrono::seconds(120)), 0) << s.Output();
  EXPECT_EQ(s.Phones().size(), 2u);
  ExpectLedgerIsThePhones(stations);
}

// The server's processes frozen after the first phone, as behind a dead
// switch port; continued again before the next run.
TEST_F(LedgerStations, AFrozenServerFailsThePhoneWithinTheDeadlineAndStopEndsTheRun) {
  ExpectSilentServerCostsNoNumber(Connect(), [this] {
    auto pFrozen = std::make_unique<CFrozenServer>(Server());
    EXPECT_TRUE(pFrozen->Frozen());
    return pFrozen;
  });
}

// The station reaches its server over TCP through a relay that goes silent
// after the first phone, keeping the connection open: the same. The relay
// tells when the draw's first statement waits in it.
TEST_F(LedgerStations, ASilentTcpLinkFailsThePhoneWithinTheDeadlineAndStopEndsTheRun) {
  CTcpRelay relay(Server().Folder() + "/.s.PGSQL.5432");
  ASSERT_TRUE(relay.Listening());
  const std::string strConnect = "host=127.0.0.1 port=" + std::to_string(relay.Port()) +
                                 " sslmode=disable dbname=ledger user=tavlo";
  // The relay is silent while this lives.
  struct SSilence {
    explicit SSilence(CTcpRelay& r) : relay(r) { relay.Forward(false); }
    ~SSilence() { relay.Forward(true); }
    CTcpRelay& relay;
  };
  ExpectSilentServerCostsNoNumber(
      strConnect, [&relay] { return std::make_unique<SSilence>(relay); },
      [&relay] { return relay.HeldBytes() > 0; });
}

}  // namespace
