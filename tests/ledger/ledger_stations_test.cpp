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

#include "database/pg_connection.h"
#include "ledger_fixture.h"
#include "ledger_station.h"
#include "tavlo/ledger/ledger_schema.h"
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

// A list of three, three runs stopped after their draw (no phone came):
// each gave its number back, so the next three phones get exactly those.
TEST_F(LedgerStations, NumbersOfStoppedRunsGoToTheNextPhones) {
  CTempDir listDir;
  std::ofstream(listDir.File("imei.txt")) << "860123000000017\n860123000000025\n860123000000033\n";
  const std::string strSource =
      "INPUTTYPE=1\nISALLSAME=Yes\nFILEPATH=" + listDir.File("imei.txt") + "\n";
  CLedgerStation idle("idle", Connect(), strSource, {}, false);
  for (int n = 0; n < 3; ++n) {
    const std::unique_ptr<CChild> run = idle.Start({});
    ASSERT_TRUE(
        WaitUntil([&] { return Rows("imei", "claimed").size() == 1; }, std::chrono::seconds(60)))
        << idle.Output();
    run->Signal(SIGTERM);
    ASSERT_TRUE(run->WaitExit(std::chrono::seconds(30))) << idle.Output();
    EXPECT_TRUE(Rows("imei").empty()) << "released at the stop";
  }
  CLedgerStation line("line", Connect(), strSource);
  line.Run({"--count", "3"});
  std::set<std::string> written;
  for (const auto& imeis : line.Phones()) written.insert(imeis.at(0));
  EXPECT_EQ(written,
            std::set<std::string>({"860123000000017", "860123000000025", "860123000000033"}))
      << line.Output();
  EXPECT_EQ(line.Phones().size(), 3u);
}

// Two stations under one name would free and take each other's numbers:
// the second is refused at start and touches no phone, until the first ends.
TEST_F(LedgerStations, ASecondStationOfTheSameNameIsRefusedAtStart) {
  CLedgerStation first("line1", Connect(), kRange), second("line1", Connect(), kRange);
  const std::unique_ptr<CChild> run = first.Start({});
  ASSERT_TRUE(WaitUntil([&] { return !Rows("imei").empty(); }, std::chrono::seconds(60)))
      << first.Output();
  EXPECT_EQ(second.Run({"--count", "1"}, 60), 1);
  EXPECT_NE(second.Output().find("another station named \"line1\" is on the ledger now"),
            std::string::npos)
      << second.Output();
  EXPECT_EQ(second.Reports(), 0u);
  run->Signal(SIGTERM);
  ASSERT_TRUE(run->WaitExit(std::chrono::seconds(60))) << first.Output();
  EXPECT_EQ(second.Run({"--count", "1"}), 0) << second.Output();
  EXPECT_EQ(second.Phones().size(), 1u);
}

// The ledger over TLS on the loopback address, with a CA made here: the
// station that checks the server's certificate against that CA writes its
// phones in the station role; one given another CA is refused at start; one
// with no sslmode works but is warned.
TEST_F(LedgerStations, OverTlsTheCertificateIsCheckedAtStart) {
  CTempDir certs;
  std::string out;
  const std::string kKey = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
  ASSERT_EQ(RunIn(certs.Path(),
                  "sh -c \"openssl req -x509 " + kKey +
                      " -keyout ca.key -out ca.crt -subj /CN=ledger-ca -days 2"
                      " && openssl req -x509 " +
                      kKey +
                      " -keyout other.key -out other.crt -subj /CN=other-ca -days 2"
                      " && openssl req " +
                      kKey +
                      " -keyout server.key -out server.csr -subj /CN=127.0.0.1"
                      " && echo subjectAltName=IP:127.0.0.1 > san.ext"
                      " && openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key"
                      " -CAcreateserial -out server.crt -days 2 -extfile san.ext\"",
                  &out),
            0)
      << out;
  CPrivatePostgres server(PG_BIN_DIR, LEDGER_SERVERS_DIR);
  std::string strError;
  ASSERT_TRUE(server.UseTls(certs.File("server.crt"), certs.File("server.key"), &strError))
      << strError;
  ASSERT_TRUE(server.Start(&strError)) << strError;
  CPgConnection owner(server.ConnectString());
  int nFound = 0;
  ASSERT_TRUE(owner.Connect(&strError)) << strError;
  ASSERT_TRUE(ApplyLedgerSchema(owner, &nFound, &strError)) << strError;
  ASSERT_TRUE(owner.Exec("CREATE ROLE tavlo_station LOGIN").Ok());
  ASSERT_TRUE(owner.Ensure(&strError)) << strError;
  ASSERT_TRUE(GrantStationRole(owner, "tavlo_station", &strError)) << strError;
  const std::string strTcp = server.TcpConnectString() + " user=tavlo_station";

  CLedgerStation good("tls", strTcp + " sslmode=verify-full sslrootcert=" + certs.File("ca.crt"),
                      kRange);
  EXPECT_EQ(good.Run({"--count", "2"}), 0) << good.Output();
  EXPECT_EQ(good.Output().find("sslmode"), std::string::npos) << good.Output();
  std::set<std::string> phones;
  for (const auto& imeis : good.Phones()) phones.insert(imeis.begin(), imeis.end());
  EXPECT_EQ(phones.size(), 2 * CLedgerStation::kImeis);
  const CPgResult written =
      owner.Exec("SELECT number FROM tavlo_number WHERE state = 'written' AND station = 'tls'");
  std::set<std::string> inLedger;
  for (int i = 0; i < written.Rows(); ++i) inLedger.insert(written.Text(i, 0));
  EXPECT_EQ(inLedger, phones);

  CLedgerStation other(
      "other", strTcp + " sslmode=verify-full sslrootcert=" + certs.File("other.crt"), kRange);
  EXPECT_EQ(other.Run({"--count", "1"}, 60), 1);
  EXPECT_NE(other.Output().find("the shared ledger cannot be used"), std::string::npos)
      << other.Output();
  EXPECT_EQ(other.Reports(), 0u);

  CLedgerStation plain("plain", strTcp, kRange);
  EXPECT_EQ(plain.Run({"--count", "1"}), 0) << plain.Output();
  EXPECT_NE(plain.Output().find("no sslmode"), std::string::npos) << plain.Output();
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
