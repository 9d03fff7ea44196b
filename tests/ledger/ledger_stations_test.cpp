// Writer stations as separate `tavlo --headless` processes on one ledger,
// each with its own simulated phones: numbers drawn at the same moment, a
// station killed at random moments, the server stopped in mid-run.
// NORQ_LEDGER_PHONES sets the phones per station (default 50).

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <random>
#include <thread>

#include "ledger_fixture.h"
#include "ledger_station.h"
#include "tavlo/ledger/ledger_schema.h"
#include "tavlo/numbers/number_checks.h"
#include "tavlo/numbers/phone_numbers.h"
#include "wait_until.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kRange =
    "INPUTTYPE=2\nIS14CHAR=Yes\nINITCODE14=35209900000000\n"
    "MASKCODE14=35209900******\n";

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

}  // namespace
