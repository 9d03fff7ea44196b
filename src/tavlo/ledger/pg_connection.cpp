#include "tavlo/ledger/pg_connection.h"

#include <cstdlib>

#include "tavlo/ledger/ledger_schema.h"

const std::vector<CPgConnection::SStatement>& CPgConnection::Statements() {
  static const std::vector<SStatement> statements = {
      {"schema_version", "SELECT coalesce(max(version), 0) FROM tavlo_schema"},
      {"cursor_add",
       "INSERT INTO tavlo_cursor(kind, source, position) VALUES ($1, $2, $3) "
       "ON CONFLICT DO NOTHING"},
      {"cursor_lock",
       "SELECT position FROM tavlo_cursor WHERE kind = $1 AND source = $2 FOR UPDATE"},
      {"cursor_set", "UPDATE tavlo_cursor SET position = $3 WHERE kind = $1 AND source = $2"},
      // Numbers sort bytewise (the column's collation), as the pools' ranges do.
      {"stretch_used",
       "SELECT count(*) FROM tavlo_number WHERE kind = $1 AND number BETWEEN $2 AND $3 "
       "AND length(number) = $4::integer"},
      {"taken", "SELECT number FROM tavlo_number WHERE kind = $1 AND number = ANY ($2::text[])"},
      {"claim",
       "INSERT INTO tavlo_number(kind, number, state, station, stamp) "
       "VALUES ($1, $2, 'claimed', $3, $4) ON CONFLICT DO NOTHING"},
      // A number this station claimed, or one nobody holds; never one that
      // is written or another station's.
      {"reserve",
       "INSERT INTO tavlo_number(kind, number, state, station, stamp) "
       "VALUES ($1, $2, 'reserved', $3, $4) ON CONFLICT (kind, number) DO UPDATE "
       "SET state = 'reserved', stamp = excluded.stamp, changed = now() "
       "WHERE tavlo_number.station = excluded.station AND tavlo_number.state <> 'written' "
       "RETURNING number"},
      // A rework: as "reserve", and a written number, whoever wrote it, is
      // returned as it stands (it stays written; a release never frees it).
      {"reserve_rework",
       "INSERT INTO tavlo_number(kind, number, state, station, stamp) "
       "VALUES ($1, $2, 'reserved', $3, $4) ON CONFLICT (kind, number) DO UPDATE "
       "SET state = CASE WHEN tavlo_number.state = 'written' THEN 'written' ELSE 'reserved' END, "
       "stamp = CASE WHEN tavlo_number.state = 'written' THEN tavlo_number.stamp "
       "ELSE excluded.stamp END, changed = now() "
       "WHERE tavlo_number.station = excluded.station OR tavlo_number.state = 'written' "
       "RETURNING number"},
      {"holder", "SELECT state, station, stamp FROM tavlo_number WHERE kind = $1 AND number = $2"},
      {"release",
       "DELETE FROM tavlo_number WHERE kind = $1 AND station = $2 AND state <> 'written'"},
      // Idempotent, so that a spool replayed twice records once.
      {"record",
       "INSERT INTO tavlo_number(kind, number, state, station, com_port, stamp) "
       "VALUES ($1, $2, 'written', $3, $4::integer, $5) ON CONFLICT (kind, number) DO UPDATE "
       "SET state = 'written', com_port = excluded.com_port, stamp = excluded.stamp, "
       "changed = now() "
       "WHERE tavlo_number.station = excluded.station AND tavlo_number.state <> 'written'"},
      {"resolve_claimed", "DELETE FROM tavlo_number WHERE station = $1 AND state = 'claimed'"},
      {"resolve_reserved",
       "UPDATE tavlo_number SET state = 'written', changed = now() "
       "WHERE station = $1 AND state = 'reserved'"},
      {"import",
       "INSERT INTO tavlo_number(kind, number, state, station, stamp) "
       "VALUES ($1, $2, 'written', $3, $4) ON CONFLICT DO NOTHING"},
      {"export",
       "SELECT stamp, number FROM tavlo_number WHERE kind = $1 AND state = 'written' "
       "ORDER BY stamp, number"},
      {"status_counts",
       "SELECT kind, state, count(*) FROM tavlo_number GROUP BY kind, state ORDER BY kind, state"},
      {"status_stations",
       "SELECT station, count(*), max(changed)::text FROM tavlo_number GROUP BY station "
       "ORDER BY station"},
      {"status_oldest",
       "SELECT kind, number, station, changed::text FROM tavlo_number WHERE state <> 'written' "
       "ORDER BY changed LIMIT 1"},
  };
  return statements;
}

bool CPgConnection::Connect(std::string* pError) {
  m_bPrepared = false;
  // A short connect time-out: an unreachable ledger must refuse a phone
  // quickly. Keys given later in the connection string override it.
  const char* keys[] = {"connect_timeout", "application_name", "dbname", nullptr};
  const char* values[] = {"5", "tavlo", m_strConnect.c_str(), nullptr};
  m_pConn.reset(PQconnectdbParams(keys, values, 1));
  // Server notices ("already exists, skipping") are no news to an operator.
  if (m_pConn)
    PQsetNoticeProcessor(
        m_pConn.get(), [](void*, const char*) {}, nullptr);
  if (!Connected()) {
    if (pError) *pError = "cannot reach the ledger: " + LastError();
    m_pConn.reset();
    return false;
  }
  return true;
}

bool CPgConnection::Ensure(std::string* pError) {
  if (Connected() && m_bPrepared) return true;
  if (!Connect(pError)) return false;
  CPgResult version(PQexec(m_pConn.get(), "SELECT coalesce(max(version), 0) FROM tavlo_schema"));
  if (!version.Ok() || std::atoi(version.Text(0, 0).c_str()) < kLedgerSchemaVersion) {
    if (pError) *pError = "the ledger has no current schema: run tavlo-ledger init";
    m_pConn.reset();
    return false;
  }
  for (const SStatement& st : Statements()) {
    CPgResult r(PQprepare(m_pConn.get(), st.pszName, st.pszSql, 0, nullptr));
    if (!r.Ok()) {
      if (pError) *pError = std::string("cannot prepare ") + st.pszName + ": " + r.Error();
      m_pConn.reset();
      return false;
    }
  }
  m_bPrepared = true;
  return true;
}

CPgResult CPgConnection::Exec(const char* pszSql) {
  if (!m_pConn) return CPgResult();
  return CPgResult(PQexec(m_pConn.get(), pszSql));
}

CPgResult CPgConnection::Run(const char* pszName, const std::vector<std::string>& params) {
  if (!m_pConn) return CPgResult();
  std::vector<const char*> values;
  for (const std::string& p : params) values.push_back(p.c_str());
  return CPgResult(PQexecPrepared(m_pConn.get(), pszName, static_cast<int>(values.size()),
                                  values.data(), nullptr, nullptr, 0));
}

std::string CPgConnection::LastError() const {
  if (!m_pConn) return "not connected";
  std::string s = PQerrorMessage(m_pConn.get());
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

std::string PgTextArray(const std::vector<std::string>& items) {
  std::string out = "{";
  for (size_t i = 0; i < items.size(); ++i) {
    if (i) out += ',';
    out += '"';
    for (char c : items[i]) {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
    out += '"';
  }
  return out + "}";
}

bool ConnectStringHasPassword(const std::string& strConnect) {
  char* pszError = nullptr;
  PQconninfoOption* options = PQconninfoParse(strConnect.c_str(), &pszError);
  if (pszError) PQfreemem(pszError);
  if (!options) return false;
  bool bPassword = false;
  for (PQconninfoOption* o = options; o->keyword; ++o) {
    if (std::string(o->keyword) == "password" && o->val && *o->val) bPassword = true;
  }
  PQconninfoFree(options);
  return bPassword;
}
