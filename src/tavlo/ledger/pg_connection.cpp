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
      // Released positions, in the source's order (list indexes have no
      // leading zeros, range counters one width), before the cursor's.
      {"free_first",
       "SELECT position, number FROM tavlo_free WHERE kind = $1 AND source = $2 "
       "ORDER BY length(position), position LIMIT 64"},
      // Numbers sort bytewise (the column's collation), as the pools' ranges do.
      {"stretch_used",
       "SELECT count(*) FROM tavlo_number WHERE kind = $1 AND number BETWEEN $2 AND $3 "
       "AND length(number) = $4::integer"},
      {"taken", "SELECT number FROM tavlo_number WHERE kind = $1 AND number = ANY ($2::text[])"},
      // A station's name is its own while its session lasts: the lock ends
      // with the session, so a station that died leaves no stale claim on it.
      {"station_lock", "SELECT pg_try_advisory_lock(7340717, hashtext($1))"},
      {"claim", "SELECT tavlo_claim($1, $2, $3, $4, $5, $6)"},
      {"reserve", "SELECT tavlo_reserve($1, $2, $3, $4)"},
      {"reserve_rework", "SELECT tavlo_reserve_rework($1, $2, $3, $4)"},
      {"holder", "SELECT holder_state, holder, holder_stamp FROM tavlo_holder($1, $2)"},
      {"release", "SELECT tavlo_release($1, $2)"},
      {"record", "SELECT booked_to, booked_state FROM tavlo_record($1, $2, $3, $4::integer, $5)"},
      {"resolve", "SELECT tavlo_resolve($1)"},
      {"import",
       "INSERT INTO tavlo_number(kind, number, state, station, stamp) "
       "VALUES ($1, $2, 'written', $3, $4) ON CONFLICT DO NOTHING"},
      {"holder", "SELECT station, state FROM tavlo_number WHERE kind = $1 AND number = $2"},
      {"conflict_add",
       "INSERT INTO tavlo_conflict(kind, number, station, holder, holder_state, stamp) "
       "VALUES ($1, $2, $3, $4, $5, $6) ON CONFLICT DO NOTHING"},
      {"grant_station", "SELECT tavlo_grant_station($1)"},
      {"export",
       "SELECT stamp, number FROM tavlo_number WHERE kind = $1 AND state = 'written' "
       "ORDER BY stamp, number"},
      {"status_counts",
       "SELECT kind, state, count(*) FROM tavlo_number GROUP BY kind, state ORDER BY kind, state"},
      {"status_stations",
       "SELECT station, count(*), max(changed)::text FROM tavlo_number GROUP BY station "
       "ORDER BY station"},
      {"status_conflicts",
       "SELECT kind, number, station, holder, holder_state, noted::text FROM tavlo_conflict "
       "ORDER BY noted DESC, kind, number LIMIT 20"},
      {"status_conflict_count", "SELECT count(*) FROM tavlo_conflict"},
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
  if (!version.Ok() || version.Rows() != 1 ||
      std::atoi(version.Text(0, 0).c_str()) < kLedgerSchemaVersion) {
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
