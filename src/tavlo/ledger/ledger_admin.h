#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "database/pg_connection.h"
#include "tavlo/settings/write_history.h"

// What `tavlo-ledger` does, one function per command, on a connection that
// Ensure has readied (ImportHistory, ExportHistory, PrintLedgerStatus).

// The kind a history file holds, by its name: "wimei.history" is IMEIs,
// "wmbsn.history" MBSNs, "wpsn.history" PSNs.
std::optional<HistoryKind> HistoryKindOfFile(const std::string& strPath);

struct SImportCounts {
  size_t nRead = 0;       // entries in the file
  size_t nAdded = 0;      // new to the ledger; the others were there already
  size_t nConflicts = 0;  // booked to another station: kept in tavlo_conflict
};
// Adds every number of the history file as written by strStation, keeping
// its time stamp; numbers the ledger has stay as they are, so that a second
// import changes nothing. One another station holds or wrote is a conflict:
// told on stderr with both stations' names and kept in tavlo_conflict.
bool ImportHistory(CPgConnection& conn, const std::string& strPath, HistoryKind eKind,
                   const std::string& strStation, SImportCounts* pCounts, std::string* pError);
// The kind's written numbers as history lines ("time stamp, tab, number"),
// in time stamp order.
bool ExportHistory(CPgConnection& conn, HistoryKind eKind, std::FILE* pOut, std::string* pError);
// Counts per kind and state, the stations seen, the conflicts, the oldest
// open number.
bool PrintLedgerStatus(CPgConnection& conn, std::FILE* pOut, std::string* pError);
