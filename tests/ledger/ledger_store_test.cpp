// The ledger store in one process: stations drawing at once, reservations,
// restart, the spool while the server is away, and the ledger tool.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "../tavlo_worker/recording_writer_ui.h"
#include "child_process.h"
#include "common/json_writer.h"
#include "common/phone_records.h"
#include "database/pg_records.h"
#include "ledger_fixture.h"
#include "pty_phone.h"
#include "sim_reports.h"
#include "tavlo/ledger/ledger_schema.h"
#include "tavlo/ledger/pg_ledger.h"
#include "tavlo/numbers/number_checks.h"
#include "tavlo/numbers/number_pool.h"
#include "tavlo/numbers/phone_numbers.h"

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

// Under CHECK_IMEI a 15-digit range draws through the ledger only numbers
// that pass their check: past a run of used ones, and through a stretch in
// which only the numbers failing their check are used (they must not make
// its free numbers look used).
TEST_F(LedgerStore, ACheckedRangeDrawsOnlyNumbersThatPassTheirCheck) {
  const std::string init = "352099001700000", mask = "3520990017*****";
  std::vector<std::string> passing, used;  // passing[p]: the one of counters 10p..10p+9
  for (int n = 0; n < 30000; ++n) {
    const std::string counter = std::to_string(100000 + n).substr(1);
    const std::string imei = init.substr(0, 10) + counter;
    const bool bPasses = IsImeiCheckDigitOk(imei);
    if (bPasses) passing.push_back(imei);
    if ((n < 20000 && bPasses && n / 10 != 1234) || (n >= 20000 && !bPasses)) used.push_back(imei);
  }
  ASSERT_EQ(passing.size(), 3000u);
  std::string strSql =
      "INSERT INTO tavlo_number(kind, number, state, station, stamp) SELECT 'imei', n, "
      "'written', 'import', '2026-01-01_00:00:00' FROM unnest(ARRAY[";
  for (size_t i = 0; i < used.size(); ++i) strSql += (i ? ",'" : "'") + used[i] + "'";
  ASSERT_TRUE(m_pLook->Exec((strSql + "]) n").c_str()).Ok());
  SStation s("a", Connect());
  std::string strError;
  ASSERT_TRUE(s.ledger.Open(&strError)) << strError;
  s.pool.SetRange(init, mask, true);
  EXPECT_EQ(s.pool.GetUnused(nullptr, true), passing[1234]);
  EXPECT_EQ(s.pool.GetUnused(nullptr, true), passing[2000]);
  EXPECT_EQ(s.pool.GetUnused(nullptr, true), passing[2001]);
}

// A typed number another station wrote is refused before any port, naming
// the station; started for rework, the phone is written again with it and
// it stays that station's written number, never freed by a release. One
// another station holds for a phone in progress is refused even so.
TEST_F(LedgerStore, ATypedNumberWrittenElsewhereIsTakenOnlyAsRework) {
  SStation a("a", Connect()), b("b", Connect());
  std::string strError;
  ASSERT_TRUE(a.ledger.Open(&strError)) << strError;
  ASSERT_TRUE(b.ledger.Open(&strError)) << strError;
  const std::string n1 = AppendImeiCheckDigit("35209900000001");
  const std::string n2 = AppendImeiCheckDigit("35209900000002");
  ASSERT_TRUE(a.histories.Of(HistoryKind::Imei).Reserve({n1}, HistoryTimeStamp(), &strError));
  ASSERT_TRUE(a.histories.AppendHistory(HistoryKind::Imei, n1, HistoryTimeStamp(), &strError));
  ASSERT_TRUE(a.ledger.Reserve(HistoryKind::Imei, {n2}, HistoryTimeStamp(), &strError));

  WriterSettings settings;
  settings.m_bWriteImei = true;
  CNumberSources sources(b.histories);
  CRecordingWriterUi ui;
  CPhoneNumbers numbers(settings, sources, b.histories, ui);
  std::atomic<bool> bBusy{true};
  ui.SetField(ENumberField::Imei1, n1);
  EXPECT_EQ(numbers.PrepareNumbers(&bBusy), EPrepareResult::Refused);
  ASSERT_EQ(ui.m_messages.size(), 1u);
  EXPECT_EQ(ui.m_messages[0].rfind(
                "IMEI " + n1 + " is already written (the shared ledger, station a, ", 0),
            0u)
      << ui.m_messages[0];

  settings.m_bRework = true;
  ASSERT_EQ(numbers.PrepareNumbers(&bBusy), EPrepareResult::Ready);
  ASSERT_TRUE(numbers.ReserveNumbers(&strError)) << strError;
  b.ledger.Release(HistoryKind::Imei);  // as a failure before the write-back would
  EXPECT_EQ(Rows("imei", "written").count(n1), 1u);
  ASSERT_TRUE(numbers.ReserveNumbers(&strError)) << strError;
  ASSERT_TRUE(numbers.RecordNumbers(&strError)) << strError;
  EXPECT_EQ(Rows("imei", "written")[n1], "a");
  EXPECT_NE(ReadWholeFile(b.dir.File("data/wimei.history")).find("#rework\t"), std::string::npos);

  ui.SetField(ENumberField::Imei1, n2);
  EXPECT_EQ(numbers.PrepareNumbers(&bBusy), EPrepareResult::Refused);
  ASSERT_EQ(ui.m_messages.size(), 2u);
  EXPECT_NE(ui.m_messages[1].find("held in the shared ledger by station a"), std::string::npos)
      << ui.m_messages[1];
  EXPECT_FALSE(b.ledger.ReserveRework(HistoryKind::Imei, {n2}, HistoryTimeStamp(), &strError));
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

// A number drawn and then released, by Release or by the start of the
// station that drew it, is the first the next draw of any station gets:
// numbers bought in ranges are never wasted.
TEST_F(LedgerStore, AReleasedNumberIsTheFirstDrawnAgain) {
  std::string strError;
  auto a = std::make_unique<SStation>("a", Connect());
  SStation b("b", Connect());
  ASSERT_TRUE(a->ledger.Open(&strError)) << strError;
  ASSERT_TRUE(b.ledger.Open(&strError)) << strError;
  a->pool.SetRange("35209900000000", "35209900******", true);
  b.pool.SetRange("35209900000000", "35209900******", true);
  const std::string n1 = a->pool.GetUnused(), n2 = a->pool.GetUnused();
  a->ledger.Release(HistoryKind::Imei);
  EXPECT_EQ(b.pool.GetUnused(), n1);
  EXPECT_EQ(b.pool.GetUnused(), n2);
  const std::string n3 = b.pool.GetUnused();
  EXPECT_EQ(std::set<std::string>({n1, n2, n3}).size(), 3u);
  // Left claimed by a station that died: freed by its next start.
  const std::string n4 = a->pool.GetUnused();
  a.reset();
  SStation again("a", Connect());
  ASSERT_TRUE(again.ledger.Open(&strError)) << strError;
  EXPECT_EQ(b.pool.GetUnused(), n4);

  // A list of three: each released draw gives the same first entry back.
  const std::vector<std::string> list = {"860000001000001", "860000001000002", "860000001000003"};
  again.pool.SetList(list);
  b.pool.SetList(list);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(again.pool.GetUnused(), list[0]);
    again.ledger.Release(HistoryKind::Imei);
  }
  EXPECT_EQ(b.pool.GetUnused(), list[0]);
  EXPECT_EQ(b.pool.GetUnused(), list[1]);
  EXPECT_EQ(b.pool.GetUnused(), list[2]);
  EXPECT_EQ(b.pool.GetUnused(), kNoNumber);
}

// A cursor or a free entry the ledger gives back that is no position of
// the pool, or not the pool's entry at that position, refuses the draw
// instead of indexing past the list or writing a foreign number.
TEST_F(LedgerStore, ADrawRefusesWhatTheLedgerGivesBackBadly) {
  std::string strError;
  SStation a("a", Connect());
  ASSERT_TRUE(a.ledger.Open(&strError)) << strError;
  const std::vector<std::string> list = {"860000001000001", "860000001000002", "860000001000003"};
  a.pool.SetList(list);
  ASSERT_EQ(a.pool.GetUnused(), list[0]);
  a.ledger.Release(HistoryKind::Imei);
  auto set = [&](const std::string& strSql) { ASSERT_TRUE(m_pLook->Exec(strSql.c_str()).Ok()); };
  set("DELETE FROM tavlo_free");
  for (const char* pszPos : {"3", "99999999999999999999", "x1", "01", "-1", ""}) {
    SCOPED_TRACE(pszPos);
    set(std::string("UPDATE tavlo_cursor SET position = '") + pszPos + "'");
    EXPECT_EQ(a.pool.GetUnused(), kNoLedger);
    EXPECT_TRUE(Rows("imei").empty());
  }
  set("UPDATE tavlo_cursor SET position = '1'");
  for (const char* pszFree : {"('imei', src, '0', '490154203237518')", "('imei', src, '7', 'x')"}) {
    SCOPED_TRACE(pszFree);
    set(std::string("INSERT INTO tavlo_free(kind, source, position, number) SELECT ") +
        std::string(pszFree).substr(1, std::string(pszFree).size() - 2) +
        " FROM (SELECT source AS src FROM tavlo_cursor) c");
    EXPECT_EQ(a.pool.GetUnused(), kNoLedger);
    EXPECT_TRUE(Rows("imei").empty());
    set("DELETE FROM tavlo_free");
  }
  EXPECT_EQ(a.pool.GetUnused(), list[1]);
  // A range's cursor is a counter of the mask's width.
  a.pool.SetRange("35209900000000", "35209900******", true);
  ASSERT_NE(a.pool.GetUnused(), kNoLedger);
  set("UPDATE tavlo_cursor SET position = '0000001' WHERE source LIKE 'range:%'");
  EXPECT_EQ(a.pool.GetUnused(), kNoLedger);
}

// A record that meets a number another station holds or wrote is a
// conflict: kept with both names, never freed by either station, counted
// by the tool; an import meeting one is the same. Written rows stay.
TEST_F(LedgerStore, AConflictIsKeptAndNeverReleased) {
  std::string strError;
  SStation a("a", Connect());
  SStation b("b", Connect());
  ASSERT_TRUE(a.ledger.Open(&strError)) << strError;
  ASSERT_TRUE(b.ledger.Open(&strError)) << strError;
  a.pool.SetRange("35209900000000", "35209900******", true);
  const std::string held = a.pool.GetUnused(), written = a.pool.GetUnused();
  ASSERT_TRUE(a.ledger.Record(HistoryKind::Imei, written, HistoryTimeStamp(), &strError));
  // b's spool, say, says both are in its phones.
  ASSERT_TRUE(b.ledger.Record(HistoryKind::Imei, held, HistoryTimeStamp(), &strError));
  ASSERT_TRUE(b.ledger.Record(HistoryKind::Imei, written, HistoryTimeStamp(), &strError));
  EXPECT_FALSE(fs::exists(b.ledger.SpoolPath())) << "a conflict is not spooled for ever";
  const CPgResult conflicts = m_pLook->Exec(
      "SELECT number, station, holder, holder_state FROM tavlo_conflict ORDER BY holder_state");
  ASSERT_EQ(conflicts.Rows(), 2);
  EXPECT_EQ(
      conflicts.Text(0, 0) + conflicts.Text(0, 1) + conflicts.Text(0, 2) + conflicts.Text(0, 3),
      held + "baclaimed");
  EXPECT_EQ(conflicts.Text(1, 0) + conflicts.Text(1, 3), written + "written");
  a.ledger.Release(HistoryKind::Imei);
  b.ledger.Release(HistoryKind::Imei);
  EXPECT_EQ(Rows("imei").count(held), 1u) << "a number in conflict is never freed";
  EXPECT_EQ(Rows("imei", "written").at(written), "a");

  CTempDir dir;
  std::ofstream(dir.File("wimei.history")) << "2026-03-01_08:00:00\t" << written << "\n";
  const std::string strOut = dir.File("tool.txt");
  auto tool = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {TAVLO_LEDGER_PATH, "--connect", Connect()});
    fs::remove(strOut);
    return CChild(args, dir.Path(), strOut).WaitExit(std::chrono::seconds(60)).value_or(-1);
  };
  ASSERT_EQ(tool({"import", dir.File("wimei.history"), "--station", "old-line"}), 0);
  const std::string out = ReadWholeFile(strOut);
  EXPECT_NE(out.find("1 numbers, 0 new, 1 in conflict"), std::string::npos) << out;
  EXPECT_NE(out.find("old-line"), std::string::npos) << out;
  EXPECT_NE(out.find("written by station a"), std::string::npos) << out;
  ASSERT_EQ(tool({"status"}), 0);
  EXPECT_NE(ReadWholeFile(strOut).find("conflicts: 3"), std::string::npos) << ReadWholeFile(strOut);
  // Not even the owner's own statement moves a written number back.
  EXPECT_FALSE(m_pLook->Exec("DELETE FROM tavlo_number WHERE state = 'written'").Ok());
  EXPECT_FALSE(m_pLook->Exec("UPDATE tavlo_number SET state = 'claimed'").Ok());
}

// The station's role does what a station does and no more: it works the
// ledger in a name it holds, and can neither delete nor rewrite a written
// number, act for another station, nor import or export.
TEST_F(LedgerStore, TheStationRoleWorksItsOwnNumbersOnly) {
  m_pLook->Exec("CREATE ROLE tavlo_station LOGIN");
  std::string strError;
  ASSERT_TRUE(m_pLook->Ensure(&strError)) << strError;
  ASSERT_TRUE(GrantStationRole(*m_pLook, "tavlo_station", &strError)) << strError;
  const std::string strStation = Connect() + " user=tavlo_station";
  SStation a("a", strStation);
  SStation b("b", Connect());
  ASSERT_TRUE(a.ledger.Open(&strError)) << strError;
  ASSERT_TRUE(b.ledger.Open(&strError)) << strError;
  a.pool.SetRange("35209900000000", "35209900******", true);
  const std::string n1 = a.pool.GetUnused(), n2 = a.pool.GetUnused();
  ASSERT_TRUE(a.ledger.Reserve(HistoryKind::Imei, {n1}, HistoryTimeStamp(), &strError)) << strError;
  ASSERT_TRUE(a.ledger.Record(HistoryKind::Imei, n1, HistoryTimeStamp(), &strError));
  EXPECT_FALSE(fs::exists(a.ledger.SpoolPath()));
  a.ledger.Release(HistoryKind::Imei);
  EXPECT_EQ(Rows("imei", "written").count(n1), 1u);
  EXPECT_EQ(Rows("imei").count(n2), 0u);
  b.pool.SetRange("35209900000000", "35209900******", true);
  const std::string nB = b.pool.GetUnused();
  EXPECT_EQ(nB, n2);

  CPgConnection role(strStation);
  ASSERT_TRUE(role.Ensure(&strError)) << strError;
  for (const char* pszSql :
       {"DELETE FROM tavlo_number", "UPDATE tavlo_number SET stamp = 'x' WHERE state = 'written'",
        "INSERT INTO tavlo_number(kind, number, state, station, stamp) "
        "VALUES ('imei', '1', 'written', 'a', 'x')",
        "SELECT stamp FROM tavlo_number", "DELETE FROM tavlo_free", "DROP TABLE tavlo_cursor",
        "CREATE TABLE tavlo_more (x integer)"}) {
    EXPECT_FALSE(role.Exec(pszSql).Ok()) << pszSql;
  }
  // b's number, in b's name, from a session that does not hold it.
  EXPECT_FALSE(role.Run("release", {"imei", "b"}).Ok());
  EXPECT_FALSE(role.Run("record", {"imei", nB, "b", "1", HistoryTimeStamp()}).Ok());
  EXPECT_EQ(Rows("imei", "claimed").at(nB), "b");
  EXPECT_FALSE(role.Run("export", {"imei"}).Ok());
  // A free name is taken by the first step in it (as after a connection
  // made again), and then held against a station starting under it.
  EXPECT_TRUE(role.Run("release", {"imei", "c"}).Ok());
  SStation c("c", Connect());
  EXPECT_FALSE(c.ledger.Open(&strError));
  EXPECT_NE(strError.find("another station named \"c\""), std::string::npos) << strError;
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

// The phone records go into their table through the records writer; while
// the server is away they wait in the spool, and go in after it, in order,
// before the next one. The files have every record either way.
TEST_F(LedgerStore, PhoneRecordsGoToTheirTableAndWaitInTheSpoolWhileTheServerIsAway) {
  ASSERT_TRUE(m_pLook->Exec("DROP TABLE IF EXISTS phone_records").Ok());
  CTempDir dir;
  const std::string spool = dir.File("records.spool");
  auto Record = [](int n) {
    return CJsonObject()
        .Add("tool", "tavlo")
        .Add("n", n)
        .Add("failure", "a \"quoted\" text")
        .Text();
  };
  std::string strError;
  {
    CRecordWriter records(dir.File("log/records"), "st");
    records.SetStore(std::make_unique<CPgRecordStore>(Connect(), "st", spool, "tavlo"));
    records.Submit(Record(1));
    records.Flush();
    ASSERT_TRUE(Server().Stop(&strError)) << strError;
    records.Submit(Record(2));
    records.Submit(Record(3));
    records.Flush();
    const std::string text = ReadWholeFile(spool);
    EXPECT_NE(text.find("\"n\":2"), std::string::npos) << text;
    EXPECT_LT(text.find("\"n\":2"), text.find("\"n\":3")) << "kept in order";
    ASSERT_TRUE(Server().Start(&strError)) << strError;
    records.Submit(Record(4));
    records.Flush();
  }
  EXPECT_FALSE(fs::exists(spool));
  ASSERT_TRUE(m_pLook->Connect(&strError)) << strError;
  const CPgResult rows = m_pLook->Exec(
      "SELECT station, record->>'n', record->>'failure' FROM phone_records ORDER BY id");
  ASSERT_TRUE(rows.Ok()) << rows.Error();
  ASSERT_EQ(rows.Rows(), 4);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(rows.Text(i, 0), "st");
    EXPECT_EQ(rows.Text(i, 1), std::to_string(i + 1));
    EXPECT_EQ(rows.Text(i, 2), "a \"quoted\" text");
  }
  std::string files;
  for (const auto& entry : fs::directory_iterator(dir.File("log/records")))
    files += ReadWholeFile(entry.path().string());
  EXPECT_EQ(std::count(files.begin(), files.end(), '\n'), 4) << files;
}

// A spool line a full disk cut short is ended before the next outcome is
// appended, so that the next one replays; a spool that is there but cannot
// be read is an error, never an empty spool.
TEST_F(LedgerStore, ASpoolSurvivesACutLineAndReportsWhatItCannotRead) {
  CTempDir dir;
  const std::string strSpool = dir.File("ledger.spool");
  std::ofstream(strSpool) << "imei\t3520990";  // the disk was full
  const std::string n1 = "352099001761481";
  std::string strError;
  CPgLedger away(SLedgerSettings{"host=/nonexistent dbname=ledger", "a"}, strSpool);
  ASSERT_TRUE(away.Record(HistoryKind::Imei, n1, "2026-01-01_00:00:01", &strError)) << strError;
  EXPECT_EQ(ReadWholeFile(strSpool).rfind("imei\t3520990\nimei\t" + n1 + "\t", 0), 0u)
      << ReadWholeFile(strSpool);

  CPgLedger back(SLedgerSettings{Connect(), "a"}, strSpool);
  ASSERT_TRUE(back.Open(&strError)) << strError;
  EXPECT_EQ(Rows("imei", "written"), (std::map<std::string, std::string>{{n1, "a"}}));
  EXPECT_FALSE(fs::exists(strSpool));

  fs::create_directories(strSpool + "/x");  // neither a file to read nor one to remove
  CPgLedger unreadable(SLedgerSettings{Connect(), "b"}, strSpool);
  EXPECT_FALSE(unreadable.Open(&strError));
  EXPECT_NE(strError.find(strSpool), std::string::npos) << strError;
}

// A station that has been on the ledger never starts without its [LEDGER]
// section (a save from a damaged file, a careless copy): its mark, or a
// spool, refuses the start until the mark is deleted on purpose.
TEST_F(LedgerStore, AStationOnceOnTheLedgerRefusesToStartWithoutIt) {
  CTempDir dir;
  fs::create_directories(dir.File("ini"));
  auto attach = [&](const std::string& strSection, std::string* pError) {
    std::ofstream(dir.File("ini/wimei.ini")) << "[GENERAL]\nISWIMEI=Yes\n" << strSection;
    CWriteHistories histories(dir.Path());
    std::unique_ptr<INumberLedger> pLedger;
    pError->clear();
    return AttachLedger(dir.Path(), histories, &pLedger, pError);
  };
  std::string strError;
  ASSERT_TRUE(attach("[LEDGER]\nCONNECT=" + Connect() + "\n", &strError)) << strError;
  EXPECT_TRUE(fs::exists(dir.File(kLedgerMarkFile)));
  EXPECT_FALSE(attach("", &strError));
  EXPECT_NE(strError.find("delete " + std::string(kLedgerMarkFile)), std::string::npos) << strError;

  fs::remove(dir.File(kLedgerMarkFile));
  std::ofstream(dir.File(kLedgerSpoolFile)) << "imei\t352099001761481\t2026-01-01_00:00:01\t5\n";
  EXPECT_FALSE(attach("", &strError)) << "the spool holds what the ledger has not recorded";
  EXPECT_NE(strError.find(kLedgerSpoolFile), std::string::npos) << strError;
  fs::remove(dir.File(kLedgerSpoolFile));
  EXPECT_TRUE(attach("", &strError)) << strError;
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
  EXPECT_NE(out.find("version 2 (was 2)"), std::string::npos) << out;
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

// A ledger of the last schema version upgrades with `tavlo-ledger init`,
// keeping its numbers; the numbers its releases lost are drawn again.
TEST_F(LedgerStore, AnOlderLedgerUpgradesWithInit) {
  m_pLook->Exec("DROP DATABASE IF EXISTS upgrade");
  ASSERT_TRUE(m_pLook->Exec("CREATE DATABASE upgrade").Ok());
  const std::string strOld = Connect() + " dbname=upgrade";
  CPgConnection old(strOld);
  std::string strError;
  int nFound = 0;
  ASSERT_TRUE(old.Connect(&strError)) << strError;
  ASSERT_TRUE(ApplyLedgerSchema(old, &nFound, &strError, kLedgerSchemaVersion - 1)) << strError;
  ASSERT_TRUE(old.Exec("INSERT INTO tavlo_number(kind, number, state, station, stamp) VALUES "
                       "('imei', '352099000000006', 'written', 'a', '2026-01-01_00:00:00')")
                  .Ok());
  // That version's releases left counters 1 and 2 behind the cursor.
  ASSERT_TRUE(old.Exec("INSERT INTO tavlo_cursor VALUES "
                       "('imei', 'range:35209900000000:35209900******', '000003')")
                  .Ok());
  SStation a("a", strOld);
  EXPECT_FALSE(a.ledger.Open(&strError)) << "a station never upgrades";
  EXPECT_NE(strError.find("tavlo-ledger init"), std::string::npos) << strError;

  CTempDir dir;
  const std::optional<int> rc =
      CChild({TAVLO_LEDGER_PATH, "--connect", strOld, "init"}, dir.Path(), dir.File("out.txt"))
          .WaitExit(std::chrono::seconds(60));
  const std::string out = ReadWholeFile(dir.File("out.txt"));
  ASSERT_EQ(rc, 0) << out;
  EXPECT_NE(out.find("version " + std::to_string(kLedgerSchemaVersion) + " (was " +
                     std::to_string(kLedgerSchemaVersion - 1) + ")"),
            std::string::npos)
      << out;
  ASSERT_TRUE(a.ledger.Open(&strError)) << strError;
  a.pool.SetRange("35209900000000", "35209900******", true);
  EXPECT_EQ(a.pool.GetUnused(), "352099000000014");
  a.ledger.Release(HistoryKind::Imei);
  EXPECT_EQ(a.pool.GetUnused(), "352099000000014");
  EXPECT_FALSE(old.Exec("DELETE FROM tavlo_number WHERE state = 'written'").Ok());
  old.Exec("ROLLBACK");
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
