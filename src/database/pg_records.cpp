#include "database/pg_records.h"

#include <cstdio>
#include <vector>

#include "database/spool_file.h"

namespace {

constexpr const char* kCreateTable =
    "CREATE TABLE IF NOT EXISTS phone_records (id bigserial PRIMARY KEY, station text NOT NULL, "
    "recorded_at timestamptz NOT NULL DEFAULT now(), record jsonb NOT NULL)";
constexpr const char* kInsert =
    "INSERT INTO phone_records (station, record) VALUES ($1, $2::jsonb)";

std::string ReasonOf(const CPgConnection& conn, const CPgResult& r) {
  std::string strWhy = conn.Connected() ? r.Error() : conn.LastError();
  while (!strWhy.empty() && (strWhy.back() == '\n' || strWhy.back() == ' ')) strWhy.pop_back();
  return strWhy.empty() ? "the server gave no answer" : strWhy;
}

}  // namespace

CPgRecordStore::CPgRecordStore(std::string strConnect, std::string strStation,
                               std::string strSpoolPath, const char* pszTool)
    : m_conn(std::move(strConnect)),
      m_strStation(std::move(strStation)),
      m_strSpool(std::move(strSpoolPath)),
      m_pszTool(pszTool) {
  m_conn.WatchStop(m_ending.Handle());
}

void CPgRecordStore::Hurry() {
  m_ending.Signal();
}

bool CPgRecordStore::Ready(std::string* pError) {
  if (!m_conn.Connected()) {
    if (!m_conn.Connect(pError)) return false;
    if (CPgResult r = m_conn.Exec(kCreateTable); !r.Ok()) {
      if (pError) *pError = "cannot make the table phone_records: " + ReasonOf(m_conn, r);
      return false;
    }
  }
  std::string text;
  if (!ReadSpool(m_strSpool, &text, pError)) return false;
  if (text.empty()) return true;
  // All or nothing: a replay cut short runs again whole, and puts no record
  // in twice.
  if (CPgResult r = m_conn.Exec("BEGIN"); !r.Ok()) {
    if (pError) *pError = "cannot replay the spool: " + ReasonOf(m_conn, r);
    return false;
  }
  for (size_t nAt = 0, nEnd; (nEnd = text.find('\n', nAt)) != std::string::npos; nAt = nEnd + 1) {
    // Only whole lines count: one cut short by a crash is a damaged record.
    const std::string strLine = text.substr(nAt, nEnd - nAt);
    if (strLine.empty()) continue;
    if (CPgResult r = m_conn.RunSql(kInsert, {m_strStation, strLine}); !r.Ok()) {
      if (pError) *pError = "cannot replay the spool: " + ReasonOf(m_conn, r);
      m_conn.Exec("ROLLBACK");
      return false;
    }
  }
  if (CPgResult r = m_conn.Exec("COMMIT"); !r.Ok()) {
    if (pError) *pError = "cannot replay the spool: " + ReasonOf(m_conn, r);
    return false;
  }
  return RemoveSpool(m_strSpool, pError);
}

bool CPgRecordStore::Insert(const std::string& strRecord, std::string* pError) {
  const CPgResult r = m_conn.RunSql(kInsert, {m_strStation, strRecord});
  if (r.Ok()) return true;
  if (pError) *pError = "cannot store the record: " + ReasonOf(m_conn, r);
  return false;
}

void CPgRecordStore::Store(const std::string& strRecord) {
  std::string strWhy;
  if (Ready(&strWhy) && Insert(strRecord, &strWhy)) return;
  std::fprintf(stderr, "%s: records: %s; kept in %s\n", m_pszTool, strWhy.c_str(),
               m_strSpool.c_str());
  std::string strError;
  if (!AppendSpoolLine(m_strSpool, strRecord + "\n", &strError)) {
    std::fprintf(stderr, "%s: records: %s; the record is in its file only\n", m_pszTool,
                 strError.c_str());
  }
}
