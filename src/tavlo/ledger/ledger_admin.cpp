#include "tavlo/ledger/ledger_admin.h"

#include <filesystem>

#include "tavlo/ledger/pg_ledger.h"

std::optional<HistoryKind> HistoryKindOfFile(const std::string& strPath) {
  const std::string strName = std::filesystem::path(strPath).filename().string();
  if (strName == "wimei.history") return HistoryKind::Imei;
  if (strName == "wmbsn.history") return HistoryKind::Mbsn;
  if (strName == "wpsn.history") return HistoryKind::Psn;
  return std::nullopt;
}

namespace {

bool Failed(const std::string& strWhat, const CPgResult& r, CPgConnection& conn,
            std::string* pError) {
  if (pError) *pError = strWhat + ": " + (conn.Connected() ? r.Error() : conn.LastError());
  while (pError && !pError->empty() && pError->back() == '\n') pError->pop_back();
  conn.Exec("ROLLBACK");
  return false;
}

}  // namespace

bool ImportHistory(CPgConnection& conn, const std::string& strPath, HistoryKind eKind,
                   const std::string& strStation, SImportCounts* pCounts, std::string* pError) {
  if (!std::filesystem::is_regular_file(strPath)) {
    if (pError) *pError = "cannot read " + strPath;
    return false;
  }
  // Read as a station reads its history: damaged lines are skipped alike.
  const std::vector<HistoryEntry> entries = CWriteHistory::ReadFile(strPath);
  const std::string strKind = LedgerKindName(eKind);
  if (CPgResult r = conn.Exec("BEGIN"); !r.Ok()) return Failed("cannot import", r, conn, pError);
  SImportCounts counts;
  for (const HistoryEntry& e : entries) {
    ++counts.nRead;
    const CPgResult r = conn.Run("import", {strKind, e.m_strNumber, strStation, e.m_strTime});
    if (!r.Ok()) return Failed("cannot import " + e.m_strNumber, r, conn, pError);
    if (r.Changed() == 1) {
      ++counts.nAdded;
      continue;
    }
    const CPgResult holder = conn.Run("holder", {strKind, e.m_strNumber});
    if (!holder.Ok()) return Failed("cannot import " + e.m_strNumber, holder, conn, pError);
    if (holder.Rows() != 1) {
      return Failed("cannot import " + e.m_strNumber + ": the ledger neither took it nor has it",
                    CPgResult(), conn, pError);
    }
    const std::string strHolder = holder.Text(0, 0), strState = holder.Text(0, 1);
    if (strHolder == strStation && strState == "written") continue;  // imported before
    // Booked to another station (or held, unwritten, by a station of this
    // name): kept, so that no release ever frees it.
    const CPgResult noted = conn.Run(
        "conflict_add", {strKind, e.m_strNumber, strStation, strHolder, strState, e.m_strTime});
    if (!noted.Ok()) return Failed("cannot import " + e.m_strNumber, noted, conn, pError);
    std::fprintf(stderr,
                 "tavlo-ledger: conflict: %s %s of %s (station %s) is %s by station %s in the "
                 "ledger; kept in tavlo_conflict\n",
                 strKind.c_str(), e.m_strNumber.c_str(), strPath.c_str(), strStation.c_str(),
                 strState.c_str(), strHolder.c_str());
    ++counts.nConflicts;
  }
  if (CPgResult r = conn.Exec("COMMIT"); !r.Ok()) return Failed("cannot import", r, conn, pError);
  if (pCounts) *pCounts = counts;
  return true;
}

bool ExportHistory(CPgConnection& conn, HistoryKind eKind, std::FILE* pOut, std::string* pError) {
  const CPgResult r = conn.Run("export", {LedgerKindName(eKind)});
  if (!r.Ok()) return Failed("cannot export", r, conn, pError);
  for (int i = 0; i < r.Rows(); ++i)
    std::fprintf(pOut, "%s\t%s\n", r.Text(i, 0).c_str(), r.Text(i, 1).c_str());
  return true;
}

bool PrintLedgerStatus(CPgConnection& conn, std::FILE* pOut, std::string* pError) {
  const CPgResult counts = conn.Run("status_counts", {});
  if (!counts.Ok()) return Failed("cannot read the counts", counts, conn, pError);
  std::fprintf(pOut, "numbers:\n");
  if (counts.Rows() == 0) std::fprintf(pOut, "  none\n");
  for (int i = 0; i < counts.Rows(); ++i) {
    std::fprintf(pOut, "  %-5s %-9s %s\n", counts.Text(i, 0).c_str(), counts.Text(i, 1).c_str(),
                 counts.Text(i, 2).c_str());
  }
  const CPgResult stations = conn.Run("status_stations", {});
  if (!stations.Ok()) return Failed("cannot read the stations", stations, conn, pError);
  std::fprintf(pOut, "stations:\n");
  if (stations.Rows() == 0) std::fprintf(pOut, "  none\n");
  for (int i = 0; i < stations.Rows(); ++i) {
    std::fprintf(pOut, "  %s: %s numbers, last %s\n", stations.Text(i, 0).c_str(),
                 stations.Text(i, 1).c_str(), stations.Text(i, 2).c_str());
  }
  const CPgResult nConflicts = conn.Run("status_conflict_count", {});
  if (!nConflicts.Ok() || nConflicts.Rows() != 1)
    return Failed("cannot read the conflicts", nConflicts, conn, pError);
  std::fprintf(pOut, "conflicts: %s\n", nConflicts.Text(0, 0).c_str());
  const CPgResult conflicts = conn.Run("status_conflicts", {});
  if (!conflicts.Ok()) return Failed("cannot read the conflicts", conflicts, conn, pError);
  for (int i = 0; i < conflicts.Rows(); ++i) {
    std::fprintf(pOut, "  %s %s: in a phone of %s, %s by %s (noted %s)\n",
                 conflicts.Text(i, 0).c_str(), conflicts.Text(i, 1).c_str(),
                 conflicts.Text(i, 2).c_str(), conflicts.Text(i, 4).c_str(),
                 conflicts.Text(i, 3).c_str(), conflicts.Text(i, 5).c_str());
  }
  const CPgResult oldest = conn.Run("status_oldest", {});
  if (!oldest.Ok()) return Failed("cannot read the reservations", oldest, conn, pError);
  if (oldest.Rows() == 0) {
    std::fprintf(pOut, "oldest reservation: none\n");
  } else {
    std::fprintf(pOut, "oldest reservation: %s %s by %s since %s\n", oldest.Text(0, 0).c_str(),
                 oldest.Text(0, 1).c_str(), oldest.Text(0, 2).c_str(), oldest.Text(0, 3).c_str());
  }
  return true;
}
