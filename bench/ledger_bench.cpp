// The shared ledger against the local histories: draw plus reserve plus
// record per phone (two IMEIs), median and p99, with one station and with
// four at once; draws per second from one range under contention; a draw
// with a million numbers of the range used. A private server with its
// writes synced, as in production. Usage: ledger_bench [PHONES]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "private_postgres.h"
#include "pty_phone.h"
#include "tavlo/ledger/ledger_schema.h"
#include "tavlo/ledger/pg_ledger.h"
#include "tavlo/numbers/number_pool.h"

namespace {

using Clock = std::chrono::steady_clock;

struct SStation {
  SStation(const std::string& strName, const std::string* pConnect)
      : histories(dir.Path()), pool(histories.ImeiHistory()) {
    if (pConnect) {
      pLedger = std::make_unique<CPgLedger>(SLedgerSettings{*pConnect, strName},
                                            dir.File("ledger.spool"));
      std::string strError;
      if (!pLedger->Open(&strError)) std::fprintf(stderr, "ledger: %s\n", strError.c_str());
      histories.UseLedger(pLedger.get());
    }
    pool.SetRange("35209900000000", "35209900******", true);
  }
  // One phone as the worker handles it: draw, reserve, record.
  double Phone() {
    const auto t0 = Clock::now();
    std::unordered_set<std::string> inUse;
    const std::string a = pool.GetUnused(&inUse);
    inUse.insert(a);
    const std::string b = pool.GetUnused(&inUse);
    CWriteHistory& h = histories.Of(HistoryKind::Imei);
    const std::string strTime = HistoryTimeStamp();
    h.Reserve({a, b}, strTime);
    h.Append(a, strTime);
    h.Append(b, strTime);
    h.ClearReserved();
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
  }
  CTempDir dir;
  CWriteHistories histories;
  std::unique_ptr<CPgLedger> pLedger;
  CNumberPool pool;
};

void Report(const char* pszWhat, std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  std::printf("| %s | %.2f ms | %.2f ms | %zu |\n", pszWhat, ms[ms.size() / 2],
              ms[std::min(ms.size() - 1, ms.size() * 99 / 100)], ms.size());
}

std::vector<double> PhonesAtOnce(int nStations, int nPhones, const std::string* pConnect) {
  std::vector<std::unique_ptr<SStation>> stations;
  for (int n = 0; n < nStations; ++n)
    stations.push_back(std::make_unique<SStation>("bench" + std::to_string(n), pConnect));
  std::vector<std::vector<double>> times(nStations);
  std::vector<std::thread> threads;
  for (int n = 0; n < nStations; ++n) {
    threads.emplace_back([&, n] {
      for (int i = 0; i < nPhones; ++i) times[n].push_back(stations[n]->Phone());
    });
  }
  for (std::thread& t : threads) t.join();
  std::vector<double> all;
  for (const auto& t : times) all.insert(all.end(), t.begin(), t.end());
  return all;
}

}  // namespace

int main(int argc, char** argv) {
  const int nPhones = argc > 1 ? std::atoi(argv[1]) : 300;
  CPrivatePostgres server(PG_BIN_DIR, LEDGER_SERVERS_DIR, true);
  std::string strError;
  if (!server.Start(&strError)) {
    std::fprintf(stderr, "ledger_bench: %s\n", strError.c_str());
    return 1;
  }
  const std::string strConnect = server.ConnectString();
  CPgConnection conn(strConnect);
  if (!conn.Connect(&strError) || !ApplyLedgerSchema(conn, nullptr, &strError)) {
    std::fprintf(stderr, "ledger_bench: %s\n", strError.c_str());
    return 1;
  }
  std::printf(
      "| per phone: draw 2 IMEIs, reserve, record | median | p99 | phones |\n|---|---|---|---|\n");
  Report("local histories only (fsync), one station", PhonesAtOnce(1, nPhones, nullptr));
  Report("local histories only (fsync), four stations", PhonesAtOnce(4, nPhones, nullptr));
  Report("ledger, one station", PhonesAtOnce(1, nPhones, &strConnect));
  Report("ledger, four stations at once", PhonesAtOnce(4, nPhones, &strConnect));

  // Draws alone, four connections on one range.
  {
    conn.Exec("TRUNCATE tavlo_number, tavlo_cursor, tavlo_free, tavlo_conflict");
    std::vector<std::unique_ptr<SStation>> stations;
    for (int n = 0; n < 4; ++n)
      stations.push_back(std::make_unique<SStation>("draw" + std::to_string(n), &strConnect));
    const auto t0 = Clock::now();
    std::vector<std::thread> threads;
    for (auto& s : stations) {
      threads.emplace_back([&s, nPhones] {
        for (int i = 0; i < nPhones; ++i) s->pool.GetUnused();
      });
    }
    for (std::thread& t : threads) t.join();
    const double dSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf("\ndraws per second, four stations on one range: %.0f\n", 4 * nPhones / dSeconds);
  }

  // A million numbers of one range used: by imports (the cursor has to
  // walk past them once), then by draws (the cursor is past them).
  {
    conn.Exec("TRUNCATE tavlo_number, tavlo_cursor, tavlo_free, tavlo_conflict");
    conn.Exec(
        "INSERT INTO tavlo_number(kind, number, state, station, stamp) "
        "SELECT 'mbsn', 'SN' || lpad(i::text, 8, '0'), 'written', 'import', "
        "'2026-01-01_00:00:00' FROM generate_series(0, 999999) i");
    conn.Exec("VACUUM ANALYZE tavlo_number");  // as autovacuum leaves a table at rest
    CTempDir dir;
    CWriteHistories histories(dir.Path());
    CPgLedger ledger(SLedgerSettings{strConnect, "million"}, dir.File("ledger.spool"));
    ledger.Open(&strError);
    histories.UseLedger(&ledger);
    CNumberPool pool(histories.MbsnHistory());
    pool.SetRange("SN00000000", "SN********", false);
    auto t0 = Clock::now();
    const std::string first = pool.GetUnused();
    const double dFirst = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    std::vector<double> later;
    for (int i = 0; i < 200; ++i) {
      t0 = Clock::now();
      pool.GetUnused();
      later.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    std::sort(later.begin(), later.end());
    std::printf(
        "1,000,000 used: first draw after an import (cursor walks past them) %.0f ms -> %s; "
        "later draws median %.2f ms, p99 %.2f ms\n",
        dFirst, first.c_str(), later[later.size() / 2], later[later.size() * 99 / 100]);
  }
  return 0;
}
