#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "database/pg_connection.h"
#include "tavlo/ledger/ledger_attach.h"
#include "tavlo/settings/number_ledger.h"
#include "tavlo/settings/write_history.h"

// The [LEDGER] section of ini/wimei.ini.
struct SLedgerSettings {
  std::string strConnect;  // CONNECT: a connection string or "service=NAME"
  std::string strStation;  // STATION: this station's name in the ledger
};

// std::nullopt when the station keeps its own histories only (no CONNECT).
// The station's name defaults to the host name and the base folder.
std::optional<SLedgerSettings> ReadLedgerSettings(const std::string& strBase);

// A warning for the operator when CONNECT reaches the server over TCP with
// no sslmode (libpq would then accept a server without a certificate
// check, or no encryption at all); "" otherwise.
std::string LedgerTlsWarning(const std::string& strConnect);

// "imei", "mbsn", "psn": the kinds as the ledger names them.
const char* LedgerKindName(HistoryKind eKind);
std::optional<HistoryKind> LedgerKindOf(const std::string& strName);

// The ledger on the factory's database server, for one station. Outcomes
// that cannot reach the server go to the spool file (fsync'd) and are
// replayed, in order, before the next step that reaches it. Every call to
// the server is bounded (kLedgerCallMs) and ends at once on a watched stop;
// a link the server closed since the last step is made again once.
class CPgLedger final : public INumberLedger {
 public:
  CPgLedger(const SLedgerSettings& settings, std::string strSpoolPath);

  // Connects, takes the station's name for as long as the session lasts
  // (refused while another station runs under it), replays the spool and
  // resolves what the last run of this station left open: claimed numbers
  // are freed, reserved ones (they may be in a phone) count as written.
  // False, with the reason, when the ledger cannot be reached or used.
  bool Open(std::string* pError);

  std::optional<std::string> Draw(HistoryKind eKind, const SLedgerWalk& walk,
                                  std::string* pError) override;
  bool Reserve(HistoryKind eKind, const std::vector<std::string>& numbers,
               const std::string& strTime, std::string* pError) override;
  bool ReserveRework(HistoryKind eKind, const std::vector<std::string>& numbers,
                     const std::string& strTime, std::string* pError) override;
  bool FindHolder(HistoryKind eKind, const std::string& strNumber,
                  std::optional<SLedgerHolder>* pHolder, std::string* pError) override;
  void Release(HistoryKind eKind) override;
  bool Record(HistoryKind eKind, const std::string& strNumber, const std::string& strTime,
              std::string* pError) override;
  void SetComPort(int nPort) override;
  void WatchStop(platform::WaitHandle hStop) override;

  const std::string& Station() const { return m_strStation; }
  const std::string& SpoolPath() const { return m_strSpool; }

 private:
  // Connected, schema checked, spool replayed; false with the reason.
  bool ReadyLocked(std::string* pError);
  bool ReplaySpoolLocked(std::string* pError);
  // Moves *pPos past stretches of entries the ledger holds, counting them
  // a stretch at a time (walks with fnAdvance); ends near the first gap.
  bool SkipUsedStretchesLocked(const std::string& strKind, const SLedgerWalk& walk,
                               std::string* pPos, std::string* pError);
  // The first released position of the walk's source that this station
  // may take, claimed; "" when there is none, nullopt (rolled back) on a
  // failure or a free entry that is not the walk's.
  std::optional<std::string> DrawFreedLocked(const std::string& strKind, const SLedgerWalk& walk,
                                             const std::string& strTime, std::string* pError);
  // True when claimed, false when another way took it; nullopt on a failure.
  std::optional<bool> ClaimLocked(const std::string& strKind, const std::string& strNumber,
                                  const std::string& strTime, const std::string& strSource,
                                  const std::string& strPos, std::string* pError);
  bool RecordLocked(const std::string& strKind, const std::string& strNumber,
                    const std::string& strTime, const std::string& strPort, std::string* pError);
  bool SpoolLocked(const std::string& strLine, std::string* pError);
  // Reserve and ReserveRework: one statement a number, all in one
  // transaction; pszRefused ends the message for a number it refused.
  bool ReserveWith(const char* pszStatement, const char* pszRefused, HistoryKind eKind,
                   const std::vector<std::string>& numbers, const std::string& strTime,
                   std::string* pError);
  // Roll back and pass the failure on (Abort: with the server's reason).
  bool Abort(const std::string& strWhat, const CPgResult& r, std::string* pError);
  bool Refuse(const std::string& strWhy, std::string* pError);

  const std::string m_strStation;
  const std::string m_strSpool;
  std::mutex m_mutex;  // guards the connection, the spool file and the port
  CPgConnection m_conn;
  int m_nComPort = -1;
  // This connection's session holds the station's name lock.
  bool m_bNameHeld = false;
};
