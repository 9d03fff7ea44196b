#include "database/pg_connection.h"

#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>

#include "common/message_queue.h"
#include "common/text.h"

namespace {

// A cancel request is a connection of its own to the server, which libpq
// waits on without a bound: it is sent from a child process that is killed
// when it takes longer than this.
constexpr int kCancelMs = 500;

// Sends the cancel request within nMs at most.
void CancelWithin(PGconn* pConn, int nMs) {
  PGcancel* pCancel = PQgetCancel(pConn);
  if (!pCancel) return;
  const pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls after a fork: PQcancel is one.
    char szError[256];
    _exit(PQcancel(pCancel, szError, sizeof szError) ? 0 : 1);
  }
  PQfreeCancel(pCancel);
  if (pid < 0) return;
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  const platform::WaitHandle child[1] = {pidfd};
  if (pidfd < 0 || platform::WaitAny(child, nMs) != 0) kill(pid, SIGKILL);
  if (pidfd >= 0) close(pidfd);
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

std::string Trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

}  // namespace

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
      {"number_holder", "SELECT holder_state, holder, holder_stamp FROM tavlo_holder($1, $2)"},
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

std::optional<CDeadline> CPgConnection::CallDeadline() {
  const platform::WaitHandle stop[1] = {m_hStop};
  if (m_hStop == platform::kNoWaitHandle || platform::WaitAny(stop, 0) != 0) {
    m_stopBudget.reset();
    return CDeadline(m_nCallMs);
  }
  if (!m_stopBudget) m_stopBudget.emplace(kLedgerStopBudgetMs);
  if (m_stopBudget->Passed()) return std::nullopt;
  return CDeadline(std::min(m_nCallMs, m_stopBudget->LeftMs()));
}

CPgConnection::EWait CPgConnection::WaitSocket(bool bWrite, const CDeadline& deadline) {
  // A stop already seen is not waited for again: its budget bounds the call.
  const platform::WaitHandle stop = m_stopBudget ? platform::kNoWaitHandle : m_hStop;
  CMessageQueue* pQueue = CMessageQueue::Current();
  const std::array<platform::WaitHandle, 2> others = {
      stop, pQueue ? pQueue->WakeHandle() : platform::kNoWaitHandle};
  const platform::WaitHandle socket = PQsocket(m_pConn.get());
  if (socket < 0) return EWait::Ready;  // no socket (yet): libpq says what next
  for (;;) {
    if (deadline.Passed()) return EWait::TimedOut;
    const int nReady = platform::WaitSocketOrAny(socket, bWrite, others, deadline.LeftMs());
    if (nReady == 0 || nReady == platform::kWaitFailed) return EWait::Ready;
    if (nReady == 1) {
      m_stopBudget.emplace(kLedgerStopBudgetMs);
      return EWait::Stopped;
    }
    DispatchOnePending();
  }
}

void CPgConnection::DropLink(const std::string& strWhy) {
  m_strFailure = strWhy;
  m_pConn.reset();
  m_bPrepared = false;
}

void CPgConnection::GiveUp(EWait eWhy, bool bCancel) {
  const int nSeconds = m_nCallMs / 1000;
  // Within a stop's budget the call gave up for the stop, not the server.
  const std::string strWhy =
      eWhy == EWait::Stopped || m_stopBudget
          ? std::string("stopped while waiting for the ledger server")
          : FormatText("the ledger server did not answer within %d s", nSeconds > 0 ? nSeconds : 1);
  if (bCancel) {
    // A stop leaves the cancel what its budget has left, and the cancel is
    // worth sending only with some time for it.
    const int nMs = m_stopBudget ? std::min(kCancelMs, m_stopBudget->LeftMs()) : kCancelMs;
    if (nMs >= 50) CancelWithin(m_pConn.get(), nMs);
  }
  if (eWhy == EWait::TimedOut && !m_stopBudget) m_silentUntil.emplace(m_nCallMs);
  DropLink(strWhy);
}

bool CPgConnection::StillOpen() {
  if (!Connected()) return false;
  // Only a link with no transaction open is looked at: the server closes
  // such a one when it restarts, and nothing has been sent on it yet.
  if (PQtransactionStatus(m_pConn.get()) != PQTRANS_IDLE) return true;
  // The server's last words, then the end of the stream: a read or two.
  const platform::WaitHandle none[1] = {platform::kNoWaitHandle};
  for (int nRead = 0; nRead < 4; ++nRead) {
    if (platform::WaitSocketOrAny(PQsocket(m_pConn.get()), false, none, 0) != 0) return true;
    if (!PQconsumeInput(m_pConn.get()) || !Connected()) {
      DropLink(Trimmed(PQerrorMessage(m_pConn.get())));
      return false;
    }
  }
  return true;
}

bool CPgConnection::Connect(std::string* pError) {
  m_bPrepared = false;
  m_bLinkBroke = false;
  m_pConn.reset();
  std::optional<CDeadline> deadline = CallDeadline();
  if (!deadline) {
    m_strFailure = "stopped while waiting for the ledger server";
    if (pError) *pError = "cannot reach the ledger: " + m_strFailure;
    return false;
  }
  if (m_silentUntil && !m_silentUntil->Passed()) {
    if (pError) *pError = "cannot reach the ledger: " + m_strFailure;
    return false;
  }
  m_silentUntil.reset();
  // A TCP link that goes silent is given up by the kernel too: keepalives
  // and a user time-out as long as a call. Keys given in the connection
  // string override these.
  const std::string strUserTimeout = std::to_string(m_nCallMs);
  const char* keys[] = {
      "application_name", "keepalives",       "keepalives_idle", "keepalives_interval",
      "keepalives_count", "tcp_user_timeout", "dbname",          nullptr};
  const char* values[] = {"tavlo", "1", "5", "2", "2", strUserTimeout.c_str(), m_strConnect.c_str(),
                          nullptr};
  m_pConn.reset(PQconnectStartParams(keys, values, 1));
  if (!m_pConn || PQstatus(m_pConn.get()) == CONNECTION_BAD) {
    m_strFailure = m_pConn ? Trimmed(PQerrorMessage(m_pConn.get())) : "out of memory";
    if (pError) *pError = "cannot reach the ledger: " + m_strFailure;
    m_pConn.reset();
    return false;
  }
  // Server notices ("already exists, skipping") are no news to an operator.
  PQsetNoticeProcessor(
      m_pConn.get(), [](void*, const char*) {}, nullptr);
  // The socket may change from one poll to the next (another address).
  for (PostgresPollingStatusType e = PGRES_POLLING_WRITING; e != PGRES_POLLING_OK;) {
    if (e == PGRES_POLLING_FAILED) {
      m_strFailure = Trimmed(PQerrorMessage(m_pConn.get()));
      if (pError) *pError = "cannot reach the ledger: " + m_strFailure;
      m_pConn.reset();
      return false;
    }
    if (const EWait eWait = WaitSocket(e == PGRES_POLLING_WRITING, *deadline);
        eWait != EWait::Ready) {
      GiveUp(eWait, false);
      if (pError) *pError = "cannot reach the ledger: " + m_strFailure;
      return false;
    }
    e = PQconnectPoll(m_pConn.get());
  }
  PQsetnonblocking(m_pConn.get(), 1);
  // The server bounds the session too: a statement or a lock wait ends
  // before this station gives up on it, and a transaction left idle (a
  // station frozen inside a draw) ends before a station waiting behind it
  // on the cursor row gives up.
  std::string strLimits = FormatText(
      "SET statement_timeout = %d; SET lock_timeout = %d; "
      "SET idle_in_transaction_session_timeout = %d",
      m_nCallMs * 9 / 10, m_nCallMs * 4 / 5, m_nCallMs / 2);
  // A statement whose station has gone is ended as well.
  if (PQserverVersion(m_pConn.get()) >= 140000)
    strLimits += "; SET client_connection_check_interval = 1000";
  if (CPgResult r = Exec(strLimits.c_str()); !r.Ok()) {
    if (pError)
      *pError = "cannot reach the ledger: " + (m_pConn ? Trimmed(r.Error()) : m_strFailure);
    m_pConn.reset();
    return false;
  }
  m_strFailure.clear();
  return true;
}

bool CPgConnection::Prepare(std::string* pError) {
  for (const SStatement& st : Statements()) {
    const CPgResult r =
        Call([&](PGconn* p) { return PQsendPrepare(p, st.pszName, st.pszSql, 0, nullptr); },
             EResend::Never);
    if (!r.Ok()) {
      if (pError)
        *pError = std::string("cannot prepare ") + st.pszName + ": " +
                  (m_pConn ? Trimmed(r.Error()) : m_strFailure);
      m_pConn.reset();
      return false;
    }
  }
  return true;
}

bool CPgConnection::Ensure(std::string* pError) {
  if (m_bPrepared && StillOpen()) return true;
  if (!Connect(pError)) return false;
  const CPgResult version = Exec("SELECT coalesce(max(version), 0) FROM tavlo_schema");
  if (!m_pConn) {
    if (pError) *pError = "cannot reach the ledger: " + m_strFailure;
    return false;
  }
  if (!version.Ok() || version.Rows() != 1 ||
      std::atoi(version.Text(0, 0).c_str()) < kLedgerSchemaVersion) {
    if (pError) *pError = "the ledger has no current schema: run tavlo-ledger init";
    m_pConn.reset();
    return false;
  }
  if (!Prepare(pError)) return false;
  m_bPrepared = true;
  return true;
}

CPgResult CPgConnection::CallOnce(const std::function<int(PGconn*)>& fnSend) {
  m_bLinkBroke = false;
  if (!m_pConn) return CPgResult();
  const std::optional<CDeadline> deadline = CallDeadline();
  if (!deadline) {
    GiveUp(EWait::Stopped, false);
    return CPgResult();
  }
  PGconn* pConn = m_pConn.get();
  auto broken = [&] {
    m_bLinkBroke = true;
    DropLink(Trimmed(PQerrorMessage(pConn)));
    return CPgResult();
  };
  if (!fnSend(pConn)) return broken();
  // The statement leaves in full before its answer is awaited.
  for (int nFlush; (nFlush = PQflush(pConn)) != 0;) {
    if (nFlush < 0) return broken();
    if (const EWait e = WaitSocket(true, *deadline); e != EWait::Ready) {
      GiveUp(e, true);
      return CPgResult();
    }
    if (!PQconsumeInput(pConn)) return broken();
  }
  CPgResult last;
  for (;;) {
    while (PQisBusy(pConn)) {
      if (const EWait e = WaitSocket(false, *deadline); e != EWait::Ready) {
        GiveUp(e, true);
        return CPgResult();
      }
      if (!PQconsumeInput(pConn)) return broken();
    }
    PGresult* pResult = PQgetResult(pConn);
    if (!pResult) break;
    last = CPgResult(pResult);  // several statements in one text: the last one counts
  }
  if (!Connected()) return broken();
  return last;
}

CPgResult CPgConnection::Call(const std::function<int(PGconn*)>& fnSend, EResend eResend) {
  const bool bOutsideTransaction = m_pConn && PQtransactionStatus(m_pConn.get()) == PQTRANS_IDLE;
  CPgResult r = CallOnce(fnSend);
  if (!m_bLinkBroke || eResend != EResend::OnceOnBrokenLink || !bOutsideTransaction) return r;
  // A link found broken as the statement went out (a server restarted
  // while this one was idle): made again once, and the statement sent again.
  const std::string strFirst = m_strFailure;
  if (!Ensure(nullptr)) {
    m_strFailure = strFirst;
    return r;
  }
  return CallOnce(fnSend);
}

CPgResult CPgConnection::Exec(const char* pszSql, EResend eResend) {
  // The start of a transaction is always safe to send again.
  if (std::strcmp(pszSql, "BEGIN") == 0) eResend = EResend::OnceOnBrokenLink;
  return Call([pszSql](PGconn* p) { return PQsendQuery(p, pszSql); }, eResend);
}

CPgResult CPgConnection::Run(const char* pszName, const std::vector<std::string>& params,
                             EResend eResend) {
  std::vector<const char*> values;
  for (const std::string& p : params) values.push_back(p.c_str());
  return Call(
      [&](PGconn* p) {
        return PQsendQueryPrepared(p, pszName, static_cast<int>(values.size()), values.data(),
                                   nullptr, nullptr, 0);
      },
      eResend);
}

CPgResult CPgConnection::RunSql(const char* pszSql, const std::vector<std::string>& params,
                                EResend eResend) {
  std::vector<const char*> values;
  for (const std::string& p : params) values.push_back(p.c_str());
  return Call(
      [&](PGconn* p) {
        return PQsendQueryParams(p, pszSql, static_cast<int>(values.size()), nullptr, values.data(),
                                 nullptr, nullptr, 0);
      },
      eResend);
}

std::string CPgConnection::LastError() const {
  if (!m_pConn) return m_strFailure.empty() ? "not connected" : m_strFailure;
  return Trimmed(PQerrorMessage(m_pConn.get()));
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
