#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tavlo/ledger/ledger_attach.h"
#include "tavlo/ledger/pg_connection.h"
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

  // Connects, replays the spool and resolves what the last run of this
  // station left open: claimed numbers are freed, reserved ones (they may
  // be in a phone) count as written. False, with the reason, when the
  // ledger cannot be reached or used.
  bool Open(std::string* pError);

  std::optional<std::string> Draw(HistoryKind eKind, const SLedgerWalk& walk,
                                  std::string* pError) override;
  bool Reserve(HistoryKind eKind, const std::vector<std::string>& numbers,
               const std::string& strTime, std::string* pError) override;
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
  bool RecordLocked(const std::string& strKind, const std::string& strNumber,
                    const std::string& strTime, const std::string& strPort, std::string* pError);
  bool SpoolLocked(const std::string& strLine, std::string* pError);
  // Rolls back and passes the failure on.
  bool Abort(const std::string& strWhat, const CPgResult& r, std::string* pError);

  const std::string m_strStation;
  const std::string m_strSpool;
  std::mutex m_mutex;  // guards the connection, the spool file and the port
  CPgConnection m_conn;
  int m_nComPort = -1;
};
