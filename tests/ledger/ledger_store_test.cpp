// The ledger store in one process: stations drawing at once, reservations,
// restart, the spool while the server is away, and the ledger tool.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "child_process.h"
#include "ledger_fixture.h"
#include "pty_phone.h"
#include "sim_reports.h"
#include "tavlo/ledger/pg_ledger.h"
#include "tavlo/numbers/number_pool.h"

namespace {

namespace fs = std::filesystem;

// A station in one process: its own folder, histories and connection.
struct SStation {
  SStation(const std::string& strName, const std::string& strConnect)
      : histories(dir.Path()),
        ledger(SLedgerSettings{strConnect, strName}, dir.File("ledger.spool")),
        pool(histories.ImeiHistory()) {
    histories.UseLedger(&ledger);
  }
  CTempDir dir;
  CWriteHistories histories;
  CPgLedger ledger;
  CNumberPool pool;
};

using LedgerStore = LedgerFixture;

// Four stations, each with its own connection, draw from one range and
// from one list at the same moment: every number goes to one station.
TEST_F(LedgerStore, StationsDrawingAtOnceNeverGetTheSameNumber) {
  constexpr int kStations = 4;
  constexpr int kDraws = 60;
  std::vector<std::unique_ptr<SStation>> stations;
  std::vector<std::string> list;
  for (int i = 0; i < kStations * kDraws / 2; ++i)
    list.push_back("86000000" + std::to_string(1000000 + i));
  for (int n = 0; n < kStations; ++n) {
    stations.push_back(std::make_unique<SStation>("s" + std::to_string(n), Connect()));
    std::string strError;
    ASSERT_TRUE(stations.back()->ledger.Open(&strError)) << strError;
  }
  for (const bool bRange : {true, false}) {
    std::vector<std::vector<std::string>> drawn(kStations);
    std::vector<std::thread> threads;
    for (int n = 0; n < kStations; ++n) {
      SStation& s = *stations[n];
      if (bRange) {
        s.pool.SetRange("35209900000000", "35209900******", true);
      } else {
        s.pool.SetList(list);
      }
      threads.emplace_back([&s, &out = drawn[n]] {
        for (int i = 0; i < kDraws; ++i) {
          const std::string strNumber = s.pool.GetUnused();
          if (strNumber == kNoNumber) break;
          out.push_back(strNumber);
        }
      });
    }
    for (std::thread& t : threads) t.join();
    std::set<std::string> all;
    size_t nDrawn = 0;
    for (const auto& numbers : drawn) {
      nDrawn += numbers.size();
      all.insert(numbers.begin(), numbers.end());
    }
    const size_t nExpected = bRange ? kStations * kDraws : list.size();
    EXPECT_EQ(nDrawn, nExpected) << (bRange ? "range" : "list");
    EXPECT_EQ(all.size(), nDrawn) << "a number was drawn twice";
    if (!bRange) {
      EXPECT_EQ(all, std::set<std::string>(list.begin(), list.end()));
    }
    const auto rows = Rows("imei", "claimed");
    for (int n = 0; n < kStations; ++n) {
      for (const std::string& strNumber : drawn[n]) {
        auto it = rows.find(strNumber);
        ASSERT_NE(it, rows.end()) << strNumber;
        EXPECT_EQ(it->second, "s" + std::to_string(n));
      }
    }
  }
}

// A long run of used numbers is passed a stretch at a time, and a single
// free number inside it is still found: first the gap, then past the run.
TEST_F(LedgerStore, ARangeDrawFindsTheGapsInALongRunOfUsedNumbers) {
  ASSERT_TRUE(m_pLook
                  ->Exec("INSERT INTO tavlo_number(kind, number, state, station, stamp) "
                         "SELECT 'mbsn', 'SN' || lpad(i::text, 5, '0'), 'written', 'import', "
                         "'2026-01-01_00:00:00' FROM generate_series(0, 19999) i "
                         "WHERE i NOT IN (12345, 17000)")
                  .Ok());
  SStation s("a", Connect());
  std::string strError;
  ASSERT_TRUE(s.ledger.Open(&strError)) << strError;
  CNumberPool pool(s.histories.MbsnHistory());
  pool.SetRange("SN00000", "SN*****", false);
  EXPECT_EQ(pool.GetUnused(), "SN12345");
  EXPECT_EQ(pool.GetUnused(), "SN17000");
  EXPECT_EQ(pool.GetUnused(), "SN20000");
  // The last entries of the range: drawn, then the range is used up.
  ASSERT_TRUE(m_pLook
                  ->Exec("INSERT INTO tavlo_number(kind, number, state, station, stamp) "
                         "SELECT 'mbsn', 'SN' || lpad(i::text, 5, '0'), 'written', 'import', "
                         "'2026-01-01_00:00:00' FROM generate_series(20001, 99997) i")
                  .Ok());
  EXPECT_EQ(pool.GetUnused(), "SN99998");
  EXPECT_EQ(pool.GetUnused(), "SN99999");
  EXPECT_EQ(pool.GetUnused(), kNoNumber);
  EXPECT_EQ(Rows("mbsn", "claimed").size(), 5u);
}

// A reservation is one station's; a restart frees what was only drawn and
// keeps what may be in a phone.
TEST_F(LedgerStore, ReservationsBelongToOneStationAndSurviveARestart) {
  std::string strError;
  auto a = std::make_unique<SStation>("a", Connect());
  SStation b("b", Connect());
  ASSERT_TRUE(a->ledger.Open(&strError)) << strError;
  ASSERT_TRUE(b.ledger.Open(&strError)) << strError;
  a->pool.SetRange("35209900000000", "35209900******", true);
  const std::string n1 = a->pool.GetUnused(), n2 = a->pool.GetUnused(), n3 = a->pool.GetUnused();
  ASSERT_EQ(std::set<std::string>({n1, n2, n3}).size(), 3u);

  EXPECT_FALSE(b.ledger.Reserve(HistoryKind::Imei, {n1}, HistoryTimeStamp(), &strError));
  EXPECT_NE(strError.find(n1), std::string::npos) << strError;
  ASSERT_TRUE(a->histories.Of(HistoryKind::Imei).Reserve({n1}, HistoryTimeStamp(), &strError))
      << strError;
  EXPECT_EQ(Rows("imei", "reserved").count(n1), 1u);
  a->histories.NotePhonePort(7);
  ASSERT_TRUE(a->histories.AppendHistory(HistoryKind::Imei, n1, HistoryTimeStamp(), &strError));
  EXPECT_EQ(Rows("imei", "written").count(n1), 1u);
  const CPgResult port = m_pLook->Exec("SELECT com_port FROM tavlo_number WHERE state = 'written'");
  ASSERT_EQ(port.Rows(), 1);
  EXPECT_EQ(port.Text(0, 0), "7");
  EXPECT_TRUE(a->histories.ImeiHistory().Contains(n1)) << "the local history is kept too";

  // n3 went towards a phone, n2 was only drawn; then the station dies.
  ASSERT_TRUE(a->ledger.Reserve(HistoryKind::Imei, {n3}, HistoryTimeStamp(), &strError));
  a.reset();
  SStation again("a", Connect());
  ASSERT_TRUE(again.ledger.Open(&strError)) << strError;
  const auto written = Rows("imei", "written");
  EXPECT_EQ(written.count(n3), 1u) << "a reserved number may be in a phone";
  EXPECT_EQ(Rows("imei").count(n2), 0u) << "a number only drawn is free again";
  EXPECT_TRUE(b.ledger.Reserve(HistoryKind::Imei, {n2}, HistoryTimeStamp(), &strError)) << strError;
  // Released before the write-back: free for the next station.
  b.ledger.Release(HistoryKind::Imei);
  EXPECT_EQ(Rows("imei").count(n2), 0u);
}

// With the server away: reservations and draws refuse, outcomes go to the
// spool, which is replayed in order once the server is back, and a replay
// repeated after a crash records nothing twice.
TEST_F(LedgerStore, OutcomesWaitInTheSpoolWhileTheServerIsAway) {
  std::string strError;
  SStation a("a", Connect());
  ASSERT_TRUE(a.ledger.Open(&strError)) << strError;
  a.pool.SetRange("35209900000000", "35209900******", true);
  const std::string n1 = a.pool.GetUnused(), n2 = a.pool.GetUnused();
  ASSERT_TRUE(a.ledger.Reserve(HistoryKind::Imei, {n1, n2}, HistoryTimeStamp(), &strError));

  ASSERT_TRUE(Server().Stop(&strError)) << strError;
  EXPECT_FALSE(
      a.ledger.Reserve(HistoryKind::Imei, {"352099001761481"}, HistoryTimeStamp(), &strError));
  EXPECT_EQ(a.pool.GetUnused(), kNoLedger);
  ASSERT_TRUE(a.ledger.Record(HistoryKind::Imei, n1, "2026-01-01_00:00:01", &strError));
  ASSERT_TRUE(a.ledger.Record(HistoryKind::Imei, n2, "2026-01-01_00:00:02", &strError));
  a.ledger.Release(HistoryKind::Imei);  // must not free what the spool holds
  const std::string spool = ReadWholeFile(a.ledger.SpoolPath());
  EXPECT_NE(spool.find(n1), std::string::npos);
  EXPECT_LT(spool.find(n1), spool.find(n2)) << "kept in order";

  ASSERT_TRUE(Server().Start(&strError)) << strError;
  EXPECT_EQ(Rows("imei", "reserved").size(), 2u) << "nothing freed while away";
  a.ledger.Release(HistoryKind::Imei);  // the next step replays first
  EXPECT_FALSE(fs::exists(a.ledger.SpoolPath()));
  const auto written = Rows("imei", "written");
  EXPECT_EQ(written.size(), 2u);
  EXPECT_TRUE(written.count(n1) && written.count(n2));

  // A crash between replaying and removing the spool: the replay runs again.
  std::ofstream(a.ledger.SpoolPath()) << spool;
  ASSERT_TRUE(a.ledger.Open(&strError)) << strError;
  EXPECT_EQ(Rows("imei").size(), 2u);
  const CPgResult stamp =
      m_pLook->Exec(("SELECT stamp FROM tavlo_number WHERE number = '" + n2 + "'").c_str());
  ASSERT_EQ(stamp.Rows(), 1);
  EXPECT_EQ(stamp.Text(0, 0), "2026-01-01_00:00:02");
}

// A server restarted between two steps closed the station's link while it
// was idle: every next step (draw, reserve, record, release) makes the link
// again and passes, so a restart costs no phone.
TEST_F(LedgerStore, EveryStepAfterAServerRestartPasses) {
  std::string strError;
  SStation a("a", Connect());
  ASSERT_TRUE(a.ledger.Open(&strError)) << strError;
  a.pool.SetRange("35209900000000", "35209900******", true);
  const std::string n1 = a.pool.GetUnused();
  auto restart = [] {
    std::string strWhy;
    ASSERT_TRUE(Server().Stop(&strWhy)) << strWhy;
    ASSERT_TRUE(Server().Start(&strWhy)) << strWhy;
  };
  restart();
  const std::string n2 = a.pool.GetUnused();
  EXPECT_NE(n2, kNoLedger);
  EXPECT_NE(n2, n1);
  restart();
  EXPECT_TRUE(a.ledger.Reserve(HistoryKind::Imei, {n1}, HistoryTimeStamp(), &strError)) << strError;
  restart();
  EXPECT_TRUE(a.ledger.Record(HistoryKind::Imei, n1, HistoryTimeStamp(), &strError)) << strError;
  EXPECT_FALSE(fs::exists(a.ledger.SpoolPath())) << "recorded, not kept for later";
  EXPECT_EQ(Rows("imei", "written").count(n1), 1u);
  restart();
  a.ledger.Release(HistoryKind::Imei);
  EXPECT_EQ(Rows("imei").count(n2), 0u) << "released";
}

// A station that froze inside a draw (its transaction idle, the cursor rows
// locked) is cut off by the server before the lock wait of another
// station's draw from the same source gives up: that draw passes.
TEST_F(LedgerStore, AStationFrozenInsideADrawHoldsTheCursorOnlyBriefly) {
  std::string strError;
  SStation a("a", Connect()), b("b", Connect());
  ASSERT_TRUE(a.ledger.Open(&strError)) << strError;
  ASSERT_TRUE(b.ledger.Open(&strError)) << strError;
  a.pool.SetRange("35209900000000", "35209900******", true);
  b.pool.SetRange("35209900000000", "35209900******", true);
  const std::string n1 = a.pool.GetUnused();
  CPgConnection frozen(Connect());
  ASSERT_TRUE(frozen.Ensure(&strError)) << strError;
  ASSERT_TRUE(frozen.Exec("BEGIN").Ok());
  ASSERT_TRUE(frozen.Exec("SELECT * FROM tavlo_cursor FOR UPDATE").Ok());
  const auto start = std::chrono::steady_clock::now();
  const std::string n2 = b.pool.GetUnused();
  EXPECT_NE(n2, kNoLedger);
  EXPECT_NE(n2, n1);
  std::printf("the draw waited %d ms for the frozen station's cursor lock\n",
              static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now() - start)
                                   .count()));
  EXPECT_FALSE(frozen.Exec("COMMIT").Ok()) << "the frozen station's session was ended";
}

// tavlo-ledger: init twice is harmless, an import twice gives the same
// ledger, and an export gives back the history's lines.
TEST_F(LedgerStore, ToolImportsTwiceToTheSameLedgerAndExportsTheLines) {
  CTempDir dir;
  const std::string lines =
      "2026-03-01_08:00:00\t352099001761481\n"
      "2026-03-01_08:00:05\t352099001761499\n"
      "2026-03-02_09:30:00\t490154203237518\n";
  std::ofstream(dir.File("wimei.history")) << lines << "# a comment\n";
  std::ofstream(dir.File("wpsn.history")) << "2026-03-01_08:00:00\tPSN0001\n";
  auto tool = [&](const std::string& strArgs, std::string* pOut) {
    const std::string strOut = dir.File("tool.txt");
    fs::remove(strOut);
    std::vector<std::string> args = {TAVLO_LEDGER_PATH, "--connect", Connect()};
    std::istringstream words(strArgs);
    for (std::string w; words >> w;) args.push_back(w);
    const std::optional<int> status =
        CChild(args, dir.Path(), strOut).WaitExit(std::chrono::seconds(60));
    *pOut = ReadWholeFile(strOut);
    return status.value_or(-1);
  };
  std::string out;
  ASSERT_EQ(tool("init", &out), 0) << out;
  EXPECT_NE(out.find("version 1 (was 1)"), std::string::npos) << out;
  const std::string files = dir.File("wimei.history") + " " + dir.File("wpsn.history");
  ASSERT_EQ(tool("import " + files, &out), 0) << out;
  EXPECT_NE(out.find("3 numbers, 3 new"), std::string::npos) << out;
  const CPgResult first = m_pLook->Exec("SELECT * FROM tavlo_number ORDER BY kind, number");
  ASSERT_EQ(tool("import " + files, &out), 0) << out;
  EXPECT_NE(out.find("3 numbers, 0 new"), std::string::npos) << out;
  const CPgResult second = m_pLook->Exec("SELECT * FROM tavlo_number ORDER BY kind, number");
  ASSERT_EQ(first.Rows(), 4);
  ASSERT_EQ(second.Rows(), first.Rows());
  for (int i = 0; i < first.Rows(); ++i) {
    for (int c = 0; c < 7; ++c) EXPECT_EQ(first.Text(i, c), second.Text(i, c));
  }
  ASSERT_EQ(tool("export imei", &out), 0) << out;
  EXPECT_EQ(out, lines);
  ASSERT_EQ(tool("status", &out), 0) << out;
  EXPECT_NE(out.find("imei  written   3"), std::string::npos) << out;
  EXPECT_NE(out.find("import: 4 numbers"), std::string::npos) << out;
  EXPECT_NE(out.find("oldest reservation: none"), std::string::npos) << out;
  EXPECT_EQ(tool("import " + dir.File("tool.txt"), &out), 1) << "not a history file";
}

// The [LEDGER] section decides: none keeps the station on its histories, a
// password in it or a ledger out of reach refuses the start.
TEST_F(LedgerStore, TheSettingsSectionChoosesTheLedgerAndRefusesAPassword) {
  struct SCase {
    std::string strSection;
    bool bStarts;
    bool bLedger;
    const char* pszMessage;
  };
  const std::vector<SCase> cases = {
      {"", true, false, ""},
      {"[LEDGER]\nCONNECT=" + Connect() + "\nSTATION=line1\n", true, true, ""},
      {"[LEDGER]\nCONNECT=" + Connect() + " password=secret\n", false, false, ".pgpass"},
      {"[LEDGER]\nCONNECT=host=/nonexistent dbname=ledger\n", false, false, "cannot be used"},
  };
  for (const SCase& c : cases) {
    SCOPED_TRACE(c.strSection);
    CTempDir dir;
    fs::create_directories(dir.File("ini"));
    std::ofstream(dir.File("ini/wimei.ini")) << "[GENERAL]\nISWIMEI=Yes\n" << c.strSection;
    CWriteHistories histories(dir.Path());
    std::unique_ptr<INumberLedger> pLedger;
    std::string strError;
    EXPECT_EQ(AttachLedger(dir.Path(), histories, &pLedger, &strError), c.bStarts) << strError;
    EXPECT_NE(strError.find(c.pszMessage), std::string::npos) << strError;
    EXPECT_EQ(pLedger != nullptr, c.bLedger);
    EXPECT_EQ(histories.ImeiHistory().Ledger() != nullptr, c.bLedger);
    EXPECT_EQ(histories.PsnHistory().Ledger(), histories.ImeiHistory().Ledger());
    if (c.bLedger) {
      EXPECT_EQ(static_cast<CPgLedger&>(*pLedger).Station(), "line1");
    }
  }
}

}  // namespace
