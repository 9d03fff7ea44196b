// tavlo-ledger: creates or upgrades the shared ledger's schema, imports
// station histories into it, exports them back and reports what it holds.
// The connection comes from --connect, or from [LEDGER] CONNECT in
// ini/wimei.ini of the current folder.

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>
#include <vector>

#include "common/program_options.h"
#include "tavlo/ledger/ledger_admin.h"
#include "tavlo/ledger/ledger_schema.h"
#include "tavlo/ledger/pg_ledger.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

int Fail(const std::string& strWhy) {
  std::fprintf(stderr, "tavlo-ledger: %s\n", strWhy.c_str());
  return kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app("The shared number ledger of the writer stations", "tavlo-ledger");
  AddVersionFlag(app, "tavlo-ledger");
  std::string strConnect;
  app.add_option("--connect", strConnect,
                 "connection string (default: [LEDGER] CONNECT of ini/wimei.ini)");
  app.require_subcommand(1);
  CLI::App* pInit = app.add_subcommand("init", "create the schema, or upgrade it");
  std::string strStationRole;
  pInit->add_option("--station-role", strStationRole,
                    "an existing role to give the stations' rights (and no more)");
  CLI::App* pImport = app.add_subcommand("import", "add w*.history files (again: no change)");
  std::vector<std::string> files;
  std::string strStation = "import";
  pImport->add_option("FILE", files, "wimei.history, wmbsn.history or wpsn.history")->required();
  pImport->add_option("--station", strStation, "the station the numbers are booked to");
  CLI::App* pExport = app.add_subcommand("export", "print one kind as history lines");
  std::string strKind = "imei";
  pExport->add_option("KIND", strKind, "imei, mbsn or psn")
      ->check(CLI::IsMember({"imei", "mbsn", "psn"}));
  app.add_subcommand("status", "counts per kind and state, stations, oldest reservation");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int rc = app.exit(e);
    return rc == 0 ? kExitOk : kExitUsage;
  }

  if (strConnect.empty()) {
    const std::optional<SLedgerSettings> settings = ReadLedgerSettings(".");
    if (!settings) return Fail("no --connect and no [LEDGER] CONNECT in ini/wimei.ini");
    strConnect = settings->strConnect;
  }
  if (ConnectStringHasPassword(strConnect))
    return Fail("a password belongs in .pgpass or PGPASSWORD, not on the command line");
  CPgConnection conn(strConnect, kLedgerToolCallMs);
  std::string strError;
  const std::string strCommand = app.get_subcommands().front()->get_name();
  if (strCommand == "init") {
    int nFound = 0;
    if (!conn.Connect(&strError) || !ApplyLedgerSchema(conn, &nFound, &strError))
      return Fail(strError);
    std::printf("ledger schema version %d (was %d)\n", kLedgerSchemaVersion, nFound);
    if (!strStationRole.empty()) {
      if (!conn.Ensure(&strError) || !GrantStationRole(conn, strStationRole, &strError))
        return Fail(strError);
      std::printf("role %s: draws, reserves, records and releases its own numbers only\n",
                  strStationRole.c_str());
    }
    return kExitOk;
  }
  if (!conn.Ensure(&strError)) return Fail(strError);
  if (strCommand == "import") {
    for (const std::string& strFile : files) {
      const std::optional<HistoryKind> kind = HistoryKindOfFile(strFile);
      if (!kind) return Fail(strFile + ": not a wimei, wmbsn or wpsn history");
      SImportCounts counts;
      if (!ImportHistory(conn, strFile, *kind, strStation, &counts, &strError))
        return Fail(strError);
      std::printf("%s: %zu numbers, %zu new, %zu in conflict\n", strFile.c_str(), counts.nRead,
                  counts.nAdded, counts.nConflicts);
    }
    return kExitOk;
  }
  if (strCommand == "export") {
    return ExportHistory(conn, *LedgerKindOf(strKind), stdout, &strError) ? kExitOk
                                                                          : Fail(strError);
  }
  return PrintLedgerStatus(conn, stdout, &strError) ? kExitOk : Fail(strError);
}
