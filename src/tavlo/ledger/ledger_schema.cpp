#include "tavlo/ledger/ledger_schema.h"

#include <cstdlib>

#include "tavlo/ledger/pg_connection.h"

namespace {

// Index i holds the step from version i to version i + 1.
const char* const kSteps[] = {
    // 1: numbers by kind (the primary key makes a number one station's),
    // the cursors of the pools, and indexes for what a station asks often.
    "CREATE TABLE tavlo_number ("
    "  kind text NOT NULL CHECK (kind IN ('imei', 'mbsn', 'psn')),"
    "  number text COLLATE \"C\" NOT NULL,"
    "  state text NOT NULL CHECK (state IN ('claimed', 'reserved', 'written')),"
    "  station text NOT NULL,"
    "  com_port integer,"
    "  stamp text NOT NULL,"
    "  changed timestamptz NOT NULL DEFAULT now(),"
    "  PRIMARY KEY (kind, number));"
    "CREATE INDEX tavlo_number_open ON tavlo_number (station, kind) WHERE state <> 'written';"
    "CREATE INDEX tavlo_number_open_since ON tavlo_number (changed) WHERE state <> 'written';"
    "CREATE TABLE tavlo_cursor ("
    "  kind text NOT NULL,"
    "  source text NOT NULL,"
    "  position text NOT NULL,"
    "  PRIMARY KEY (kind, source));",
};
static_assert(sizeof kSteps / sizeof kSteps[0] == kLedgerSchemaVersion);

// Any fixed key: only schema changes take this lock.
constexpr const char* kLock = "SELECT pg_advisory_lock(7340716)";
constexpr const char* kUnlock = "SELECT pg_advisory_unlock(7340716)";

}  // namespace

bool ApplyLedgerSchema(CPgConnection& conn, int* pnVersion, std::string* pError) {
  auto fail = [&](const CPgResult& r) {
    if (pError) *pError = r.Error();
    conn.Exec("ROLLBACK");
    conn.Exec(kUnlock);
    return false;
  };
  if (CPgResult r = conn.Exec(kLock); !r.Ok()) return fail(r);
  if (CPgResult r = conn.Exec("CREATE TABLE IF NOT EXISTS tavlo_schema ("
                              "  version integer PRIMARY KEY,"
                              "  applied timestamptz NOT NULL DEFAULT now())");
      !r.Ok()) {
    return fail(r);
  }
  const CPgResult version = conn.Exec("SELECT coalesce(max(version), 0) FROM tavlo_schema");
  if (!version.Ok()) return fail(version);
  const int nFound = std::atoi(version.Text(0, 0).c_str());
  if (pnVersion) *pnVersion = nFound;
  for (int v = nFound; v < kLedgerSchemaVersion; ++v) {
    if (CPgResult r = conn.Exec("BEGIN"); !r.Ok()) return fail(r);
    if (CPgResult r = conn.Exec(kSteps[v]); !r.Ok()) return fail(r);
    const std::string strNote =
        "INSERT INTO tavlo_schema(version) VALUES (" + std::to_string(v + 1) + ")";
    if (CPgResult r = conn.Exec(strNote.c_str()); !r.Ok()) return fail(r);
    if (CPgResult r = conn.Exec("COMMIT"); !r.Ok()) return fail(r);
  }
  conn.Exec(kUnlock);
  return true;
}
