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
    counts.nAdded += static_cast<size_t>(r.Changed());
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
