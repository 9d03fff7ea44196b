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
#include "tavlo/numbers/number_checks.h"
#include "tavlo/numbers/phone_numbers.h"

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

}  // namespace
