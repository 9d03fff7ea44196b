#pragma once

#include <libpq-fe.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/deadline.h"
#include "platform/wait_handle.h"

// How long one call to the ledger server may take before the server counts
// as unreachable: a connect, a statement, a commit. Short, because a phone
// waits on it and a draw holds its source's cursor row meanwhile.
inline constexpr int kLedgerCallMs = 5000;
// The administrator's tool waits longer: a schema change or an export of
// a large ledger is one long statement.
inline constexpr int kLedgerToolCallMs = 10 * 60 * 1000;
// After a stop, everything the ledger still does (the cancel of the call the
// stop cut short, the release of what was drawn) fits in this, so that a
// stopped run ends at once even with a server that does not answer.
inline constexpr int kLedgerStopBudgetMs = 1000;
// The ledger's schema version this program works with (Ensure checks it);
// older ledgers are upgraded by `tavlo-ledger init`, never by a station.
inline constexpr int kLedgerSchemaVersion = 2;

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
//
// Every call is bounded: it waits on the connection's socket in one wait
// with the stop handle and the calling thread's queue (serving one entry
// per pass), and when the deadline passes or the stop comes it cancels the
// statement on the server, drops the connection and fails; LastError() then
// says why. The session also bounds itself on the server (statement, lock
// and idle-in-transaction time-outs), so that a station that stops
// answering cannot hold a cursor row for long; TCP links use keepalives and
// a user time-out.
class CPgConnection {
 public:
  // strConnect: a connection string or URI ("service=factory",
  // "host=/run/ledger dbname=ledger"); the password comes from the
  // password file or the environment, never from here. nCallMs bounds
  // every call (the tool for the ledger's administrator allows longer).
  explicit CPgConnection(std::string strConnect, int nCallMs = kLedgerCallMs)
      : m_strConnect(std::move(strConnect)), m_nCallMs(nCallMs) {}

  // A handle that is ready while a stop is requested (the worker's stop
  // event, left signalled until its next run): a call waiting when it gets
  // ready fails at once, and while it stays ready all calls together get
  // kLedgerStopBudgetMs.
  void WatchStop(platform::WaitHandle hStop) { m_hStop = hStop; }

  // Connects when not connected (or when the link was lost, which a server
  // restart shows only as a closed socket), checks the schema and prepares
  // every statement; false with the reason.
  bool Ensure(std::string* pError);
  // Connects without looking at the schema (for creating it).
  bool Connect(std::string* pError);
  bool Connected() const { return m_pConn && PQstatus(m_pConn.get()) == CONNECTION_OK; }

  // May a statement be sent again after the link broke under it? Only when
  // running it twice does no harm (an idempotent statement outside a
  // transaction; BEGIN always is): the link is then made again once and the
  // statement resent.
  enum class EResend { Never, OnceOnBrokenLink };
  // A plain command without parameters (transactions, schema).
  CPgResult Exec(const char* pszSql, EResend eResend = EResend::Never);
  // A prepared statement by name.
  CPgResult Run(const char* pszName, const std::vector<std::string>& params,
                EResend eResend = EResend::Never);
  // A statement with parameters that is not one of Statements() (the phone
  // records, whose table needs no ledger schema).
  CPgResult RunSql(const char* pszSql, const std::vector<std::string>& params,
                   EResend eResend = EResend::Never);
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
  enum class EWait { Ready, TimedOut, Stopped };

  // Sends with fnSend and waits for every result; the last one, or an empty
  // result when the call failed (the connection is then dropped).
  CPgResult Call(const std::function<int(PGconn*)>& fnSend, EResend eResend);
  CPgResult CallOnce(const std::function<int(PGconn*)>& fnSend);
  // The deadline of a call starting now; std::nullopt when a stop's budget
  // is spent (nothing may be sent).
  std::optional<CDeadline> CallDeadline();
  // One wait on the socket (for writing too with bWrite), the stop handle
  // and the queue, until the socket is ready or the deadline or a stop.
  EWait WaitSocket(bool bWrite, const CDeadline& deadline);
  // Gives up the call: cancels what runs on the server (bounded), drops
  // the connection and keeps the reason.
  void GiveUp(EWait eWhy, bool bCancel);
  void DropLink(const std::string& strWhy);
  // A link that looks good may have been closed by the server since the
  // last call: read what waits on it (never blocking) to know.
  bool StillOpen();
  bool Prepare(std::string* pError);

  const std::string m_strConnect;
  const int m_nCallMs;
  std::unique_ptr<PGconn, SFinish> m_pConn;
  bool m_bPrepared = false;
  platform::WaitHandle m_hStop = platform::kNoWaitHandle;
  std::optional<CDeadline> m_stopBudget;  // set while a seen stop lasts
  // Set when the server did not answer: until it passes, no connect is
  // tried, so that the outcomes of a phone reach the spool at once rather
  // than a deadline each.
  std::optional<CDeadline> m_silentUntil;
  bool m_bLinkBroke = false;  // the last call failed on a broken link
  std::string m_strFailure;   // why the connection was given up
};

// The value of a text[] parameter: every element double-quoted.
std::string PgTextArray(const std::vector<std::string>& items);
// True when the connection string names a password: refused, it belongs in
// the password file or the environment.
bool ConnectStringHasPassword(const std::string& strConnect);
