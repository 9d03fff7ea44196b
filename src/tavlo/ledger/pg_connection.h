#pragma once

#include <libpq-fe.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

// One result of a statement; frees itself.
class CPgResult {
 public:
  explicit CPgResult(PGresult* p = nullptr) : m_p(p) {}
  bool Ok() const {
    const ExecStatusType e = m_p ? PQresultStatus(m_p.get()) : PGRES_FATAL_ERROR;
    return e == PGRES_COMMAND_OK || e == PGRES_TUPLES_OK;
  }
  int Rows() const { return m_p ? PQntuples(m_p.get()) : 0; }
  // Rows a command changed (INSERT, UPDATE, DELETE).
  int Changed() const { return m_p ? std::atoi(PQcmdTuples(m_p.get())) : 0; }
  // "" for a row or column the result does not have: a server's short
  // answer is the caller's error to report, never a crash.
  std::string Text(int nRow, int nCol) const {
    const char* psz = m_p ? PQgetvalue(m_p.get(), nRow, nCol) : nullptr;
    return psz ? psz : "";
  }
  bool IsNull(int nRow, int nCol) const { return PQgetisnull(m_p.get(), nRow, nCol) != 0; }
  std::string Error() const {
    return m_p ? PQresultErrorMessage(m_p.get()) : "no result from the ledger server";
  }

 private:
  struct SClear {
    void operator()(PGresult* p) const { PQclear(p); }
  };
  std::unique_ptr<PGresult, SClear> m_p;
};

// A connection to the ledger server and its prepared statements. Every
// statement takes its values as parameters: no SQL is ever built from text
// an operator typed. Not thread safe: the owner serialises calls.
class CPgConnection {
 public:
  // strConnect: a connection string or URI ("service=factory",
  // "host=/run/ledger dbname=ledger"); the password comes from the
  // password file or the environment, never from here.
  explicit CPgConnection(std::string strConnect) : m_strConnect(std::move(strConnect)) {}

  // Connects when not connected (or when the link was lost), checks the
  // schema and prepares every statement; false with the reason.
  bool Ensure(std::string* pError);
  // Connects without looking at the schema (for creating it).
  bool Connect(std::string* pError);
  bool Connected() const { return m_pConn && PQstatus(m_pConn.get()) == CONNECTION_OK; }
  // A plain command without parameters (transactions, schema).
  CPgResult Exec(const char* pszSql);
  // A prepared statement by name.
  CPgResult Run(const char* pszName, const std::vector<std::string>& params);
  std::string LastError() const;

  // The statements every connection has, by name and text.
  struct SStatement {
    const char* pszName;
    const char* pszSql;
  };
  static const std::vector<SStatement>& Statements();

 private:
  struct SFinish {
    void operator()(PGconn* p) const { PQfinish(p); }
  };
  const std::string m_strConnect;
  std::unique_ptr<PGconn, SFinish> m_pConn;
  bool m_bPrepared = false;
};

// The value of a text[] parameter: every element double-quoted.
std::string PgTextArray(const std::vector<std::string>& items);
// True when the connection string names a password: refused, it belongs in
// the password file or the environment.
bool ConnectStringHasPassword(const std::string& strConnect);
