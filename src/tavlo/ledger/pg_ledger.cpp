#include "tavlo/ledger/pg_ledger.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unordered_set>

#include "common/ini_file.h"
#include "common/text.h"
#include "database/spool_file.h"
#include "platform/append_file.h"
#include "tavlo/settings/writer_settings.h"

namespace {

constexpr size_t kFirstBatch = 32;
// A draw past a long run of used entries asks about this many at once.
constexpr size_t kMaxBatch = 4096;

// A value of one row and one column, as a statement that always answers
// one row gives it; nullopt for anything else.
std::optional<std::string> OneValue(const CPgResult& r, int nCol = 0) {
  if (!r.Ok() || r.Rows() != 1 || r.IsNull(0, nCol)) return std::nullopt;
  return r.Text(0, nCol);
}

std::optional<bool> BoolOf(const CPgResult& r) {
  const std::optional<std::string> v = OneValue(r);
  if (v == "t") return true;
  if (v == "f") return false;
  return std::nullopt;
}

std::optional<uint64_t> CountOf(const CPgResult& r) {
  const std::optional<std::string> v = OneValue(r);
  if (!v || v->empty() || v->size() > 19 ||
      !std::all_of(v->begin(), v->end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  return std::strtoull(v->c_str(), nullptr, 10);
}

bool IsPositionOf(const SLedgerWalk& walk, const std::string& strPos) {
  return !walk.fnIsPosition || walk.fnIsPosition(strPos);
}

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  std::string field;
  std::istringstream in(line);
  while (std::getline(in, field, '\t')) fields.push_back(field);
  return fields;
}

}  // namespace

std::optional<SLedgerSettings> ReadLedgerSettings(const std::string& strBase) {
  const std::string strIni = JoinPath(strBase, "ini/wimei.ini");
  SLedgerSettings s;
  s.strConnect = IniGetString("LEDGER", "CONNECT", "", strIni);
  if (s.strConnect.empty()) return std::nullopt;
  char szHost[256] = {};
  gethostname(szHost, sizeof szHost - 1);
  std::error_code ec;
  const std::string strFolder = std::filesystem::absolute(strBase, ec).lexically_normal().string();
  s.strStation = IniGetString("LEDGER", "STATION", std::string(szHost) + ":" + strFolder, strIni);
  return s;
}

std::string LedgerTlsWarning(const std::string& strConnect) {
  if (const char* psz = std::getenv("PGSSLMODE"); psz && *psz) return "";
  char* pszError = nullptr;
  PQconninfoOption* options = PQconninfoParse(strConnect.c_str(), &pszError);
  if (pszError) PQfreemem(pszError);
  if (!options) return "";
  std::string strHost, strSslMode;
  for (PQconninfoOption* o = options; o->keyword; ++o) {
    const std::string strKey = o->keyword;
    const std::string strValue = o->val ? o->val : "";
    if (strKey == "sslmode") strSslMode = strValue;
    // A host that is no socket folder, or an address, is reached over TCP.
    if ((strKey == "host" || strKey == "hostaddr") && !strValue.empty() && strValue[0] != '/' &&
        strValue[0] != '@' && strHost.empty()) {
      strHost = strValue;
    }
  }
  PQconninfoFree(options);
  if (strHost.empty() || !strSslMode.empty()) return "";
  return "CONNECT names the server " + strHost +
         " but no sslmode: claims may go unencrypted to whatever answers there; add "
         "sslmode=verify-full sslrootcert=<the factory's CA certificate>";
}

const char* LedgerKindName(HistoryKind eKind) {
  switch (eKind) {
    case HistoryKind::Mbsn:
      return "mbsn";
    case HistoryKind::Psn:
      return "psn";
    case HistoryKind::Imei:
      break;
  }
  return "imei";
}

std::optional<HistoryKind> LedgerKindOf(const std::string& strName) {
  for (HistoryKind k : {HistoryKind::Imei, HistoryKind::Mbsn, HistoryKind::Psn}) {
    if (strName == LedgerKindName(k)) return k;
  }
  return std::nullopt;
}

CPgLedger::CPgLedger(const SLedgerSettings& settings, std::string strSpoolPath)
    : m_strStation(settings.strStation),
      m_strSpool(std::move(strSpoolPath)),
      m_conn(settings.strConnect) {}

bool CPgLedger::Abort(const std::string& strWhat, const CPgResult& r, std::string* pError) {
  std::string strWhy = m_conn.Connected() ? r.Error() : m_conn.LastError();
  while (!strWhy.empty() && (strWhy.back() == '\n' || strWhy.back() == ' ')) strWhy.pop_back();
  if (strWhy.empty()) strWhy = "the ledger gave no answer";
  return Refuse(strWhat + ": " + strWhy, pError);
}

bool CPgLedger::Refuse(const std::string& strWhy, std::string* pError) {
  if (pError) *pError = strWhy;
  m_conn.Exec("ROLLBACK");
  // The session may be a new one by the next step: its name lock is asked
  // for again (taking a lock this session holds already is harmless).
  m_bNameHeld = false;
  return false;
}

bool CPgLedger::Open(std::string* pError) {
  std::lock_guard lock(m_mutex);
  if (!ReadyLocked(pError)) return false;
  // Idempotent: sent again over a link made again.
  if (CPgResult r = m_conn.Run("resolve", {m_strStation}, CPgConnection::EResend::OnceOnBrokenLink);
      !r.Ok())
    return Abort("cannot settle what the last run left open", r, pError);
  return true;
}

bool CPgLedger::ReadyLocked(std::string* pError) {
  if (!m_conn.Connected()) m_bNameHeld = false;
  if (!m_conn.Ensure(pError)) return false;
  if (!m_bNameHeld) {
    // Before the spool: its records are made in the station's name.
    const CPgResult r = m_conn.Run("station_lock", {m_strStation});
    const std::optional<bool> held = BoolOf(r);
    if (!held) return Abort("cannot take the station name " + m_strStation, r, pError);
    if (!*held) {
      return Refuse("another station named \"" + m_strStation +
                        "\" is on the ledger now: give every station a STATION name of its own "
                        "in [LEDGER] of ini/wimei.ini",
                    pError);
    }
    m_bNameHeld = true;
  }
  return ReplaySpoolLocked(pError);
}

bool CPgLedger::ReplaySpoolLocked(std::string* pError) {
  std::string text;
  if (!ReadSpool(m_strSpool, &text, pError)) return false;
  for (size_t nAt = 0, nEnd; (nEnd = text.find('\n', nAt)) != std::string::npos; nAt = nEnd + 1) {
    // Only whole lines count: a line without its line break was cut short
    // (a crash, a full disk), its Record failed, and the phone's number
    // stays reserved in the ledger instead.
    const std::vector<std::string> f = SplitTabs(text.substr(nAt, nEnd - nAt));
    if (f.size() != 4) continue;
    if (!RecordLocked(f[0], f[1], f[2], f[3], pError)) return false;
  }
  // Every line is in: a replay cut short by a crash before this point runs
  // again at the next step, and records nothing twice.
  return RemoveSpool(m_strSpool, pError);
}

bool CPgLedger::RecordLocked(const std::string& strKind, const std::string& strNumber,
                             const std::string& strTime, const std::string& strPort,
                             std::string* pError) {
  // Idempotent: sent again over a link made again after a server restart.
  const CPgResult r = m_conn.Run("record", {strKind, strNumber, m_strStation, strPort, strTime},
                                 CPgConnection::EResend::OnceOnBrokenLink);
  if (!r.Ok()) return Abort("cannot record " + strNumber, r, pError);
  const std::optional<std::string> bookedTo = OneValue(r, 0), state = OneValue(r, 1);
  if (!bookedTo || !state) return Refuse("cannot record " + strNumber + ": no answer", pError);
  if (*bookedTo != m_strStation) {
    // Kept in the ledger's conflicts, where neither station's release can
    // free it; recorded as far as it can be, so never spooled again.
    std::fprintf(stderr,
                 "tavlo: ledger: conflict: %s %s is in a phone of station %s but the ledger has it "
                 "%s by station %s; kept in tavlo_conflict\n",
                 strKind.c_str(), strNumber.c_str(), m_strStation.c_str(), state->c_str(),
                 bookedTo->c_str());
  }
  return true;
}

bool CPgLedger::SpoolLocked(const std::string& strLine, std::string* pError) {
  return AppendSpoolLine(m_strSpool, strLine, pError);
}

std::optional<std::string> CPgLedger::Draw(HistoryKind eKind, const SLedgerWalk& walk,
                                           std::string* pError) {
  std::lock_guard lock(m_mutex);
  if (!ReadyLocked(pError)) return std::nullopt;
  const std::string strKind = LedgerKindName(eKind);
  // The cursor's row lock orders the stations drawing from one source; the
  // primary key still refuses a number another way took meanwhile.
  if (CPgResult r = m_conn.Exec("BEGIN"); !r.Ok()) {
    Abort("cannot draw", r, pError);
    return std::nullopt;
  }
  if (CPgResult r = m_conn.Run("cursor_add", {strKind, walk.strSource, walk.strFirst}); !r.Ok()) {
    Abort("cannot draw", r, pError);
    return std::nullopt;
  }
  const CPgResult cursor = m_conn.Run("cursor_lock", {strKind, walk.strSource});
  if (!cursor.Ok()) {
    Abort("cannot draw", cursor, pError);
    return std::nullopt;
  }
  const std::optional<std::string> cursorPos = OneValue(cursor);
  if (!cursorPos) {
    Refuse("cannot draw: the ledger has no cursor for " + walk.strSource, pError);
    return std::nullopt;
  }
  std::string strPos = *cursorPos;
  if (!IsPositionOf(walk, strPos)) {
    Refuse("cannot draw: the ledger's cursor for " + walk.strSource + " is \"" + strPos +
               "\", no position of this pool; the draw is refused",
           pError);
    return std::nullopt;
  }
  const std::string strTime = HistoryTimeStamp();
  // A released number comes before any the cursor has not passed yet.
  const std::optional<std::string> freed = DrawFreedLocked(strKind, walk, strTime, pError);
  if (!freed) return std::nullopt;
  if (!freed->empty()) {
    if (CPgResult commit = m_conn.Exec("COMMIT"); !commit.Ok()) {
      Abort("cannot claim " + *freed, commit, pError);
      return std::nullopt;
    }
    return freed;
  }
  size_t nBatch = kFirstBatch;
  for (;;) {
    if (walk.fnAdvance && !SkipUsedStretchesLocked(strKind, walk, &strPos, pError)) {
      return std::nullopt;
    }
    std::vector<std::pair<std::string, std::string>> batch;  // position, number
    bool bEnd = false;
    std::string strNext = strPos;
    while (batch.size() < nBatch) {
      batch.emplace_back(strNext, walk.fnEntry(strNext));
      if (!walk.fnStep(&strNext)) {
        bEnd = true;
        break;
      }
    }
    std::vector<std::string> numbers;
    for (const auto& b : batch) numbers.push_back(b.second);
    const CPgResult taken = m_conn.Run("taken", {strKind, PgTextArray(numbers)});
    if (!taken.Ok()) {
      Abort("cannot draw", taken, pError);
      return std::nullopt;
    }
    std::unordered_set<std::string> used;
    for (int i = 0; i < taken.Rows(); ++i) used.insert(taken.Text(i, 0));
    for (size_t i = 0; i < batch.size(); ++i) {
      const std::string& strNumber = batch[i].second;
      if (used.count(strNumber) || walk.fnSkip(strNumber)) continue;
      const std::optional<bool> claimed =
          ClaimLocked(strKind, strNumber, strTime, walk.strSource, batch[i].first, pError);
      if (!claimed) return std::nullopt;
      if (!*claimed) continue;  // typed or imported elsewhere meanwhile
      // Every entry before this one is used: the next draw starts after it.
      std::string strAfter = batch[i].first;
      if (!walk.fnStep(&strAfter)) strAfter = batch[i].first;
      const CPgResult set = m_conn.Run("cursor_set", {strKind, walk.strSource, strAfter});
      if (!set.Ok()) {
        Abort("cannot claim " + strNumber, set, pError);
        return std::nullopt;
      }
      if (CPgResult commit = m_conn.Exec("COMMIT"); !commit.Ok()) {
        Abort("cannot claim " + strNumber, commit, pError);
        return std::nullopt;
      }
      return strNumber;
    }
    if (bEnd) {
      // Used up: the cursor rests on the last entry, so that a later draw
      // asks about one entry only.
      const CPgResult set = m_conn.Run("cursor_set", {strKind, walk.strSource, batch.back().first});
      if (!set.Ok()) {
        Abort("cannot draw", set, pError);
        return std::nullopt;
      }
      if (CPgResult commit = m_conn.Exec("COMMIT"); !commit.Ok()) {
        Abort("cannot draw", commit, pError);
        return std::nullopt;
      }
      return std::string();
    }
    strPos = strNext;
    nBatch = std::min(nBatch * 2, kMaxBatch);
  }
}

bool CPgLedger::SkipUsedStretchesLocked(const std::string& strKind, const SLedgerWalk& walk,
                                        std::string* pPos, std::string* pError) {
  const std::string strLength = std::to_string(walk.fnEntry(*pPos).size());
  // Gallops over full stretches, doubling, and halves on one with a gap.
  // A stretch counts as full when the ledger holds as many numbers between
  // its ends as it has entries; a number of another shape between them can
  // only make free entries look used, never a used one free, and every
  // claim is still refused by the primary key when the number is taken.
  uint64_t nSpan = kMaxBatch;
  constexpr uint64_t kMaxSpan = uint64_t{1} << 24;
  while (nSpan >= kFirstBatch) {
    std::string strEnd = *pPos;
    if (!walk.fnAdvance(&strEnd, nSpan - 1)) {
      nSpan /= 2;
      continue;
    }
    const CPgResult r =
        m_conn.Run("stretch_used", {strKind, walk.fnEntry(*pPos), walk.fnEntry(strEnd), strLength});
    if (!r.Ok()) return Abort("cannot draw", r, pError);
    const std::optional<uint64_t> nUsed = CountOf(r);
    if (!nUsed) return Refuse("cannot draw: the ledger gave no count of used numbers", pError);
    if (*nUsed < nSpan) {
      nSpan /= 2;
      continue;
    }
    std::string strNext = strEnd;
    if (!walk.fnStep(&strNext)) {
      *pPos = strEnd;  // the last entry: the probe below finds the walk used up
      return true;
    }
    *pPos = strNext;
    nSpan = std::min(nSpan * 2, kMaxSpan);
  }
  return true;
}

std::optional<bool> CPgLedger::ClaimLocked(const std::string& strKind, const std::string& strNumber,
                                           const std::string& strTime, const std::string& strSource,
                                           const std::string& strPos, std::string* pError) {
  const CPgResult claim =
      m_conn.Run("claim", {strKind, strNumber, m_strStation, strTime, strSource, strPos});
  const std::optional<bool> claimed = BoolOf(claim);
  if (!claimed) Abort("cannot claim " + strNumber, claim, pError);
  return claimed;
}

std::optional<std::string> CPgLedger::DrawFreedLocked(const std::string& strKind,
                                                      const SLedgerWalk& walk,
                                                      const std::string& strTime,
                                                      std::string* pError) {
  const CPgResult freed = m_conn.Run("free_first", {strKind, walk.strSource});
  if (!freed.Ok()) {
    Abort("cannot draw", freed, pError);
    return std::nullopt;
  }
  for (int i = 0; i < freed.Rows(); ++i) {
    const std::string strPos = freed.Text(i, 0), strNumber = freed.Text(i, 1);
    if (!IsPositionOf(walk, strPos) || walk.fnEntry(strPos) != strNumber) {
      Refuse("cannot draw: the ledger offers " + strNumber + " at \"" + strPos + "\" of " +
                 walk.strSource + ", which is not this pool's entry there; the draw is refused",
             pError);
      return std::nullopt;
    }
    if (walk.fnSkip(strNumber)) continue;  // left for another station
    // The claim takes the position off the free ones, whoever holds it now.
    const std::optional<bool> claimed =
        ClaimLocked(strKind, strNumber, strTime, walk.strSource, strPos, pError);
    if (!claimed) return std::nullopt;
    if (*claimed) return strNumber;
  }
  return std::string();
}

bool CPgLedger::Reserve(HistoryKind eKind, const std::vector<std::string>& numbers,
                        const std::string& strTime, std::string* pError) {
  return ReserveWith("reserve", " is already used in the ledger", eKind, numbers, strTime, pError);
}

bool CPgLedger::ReserveRework(HistoryKind eKind, const std::vector<std::string>& numbers,
                              const std::string& strTime, std::string* pError) {
  return ReserveWith("reserve_rework", " is held by another station for a phone being written",
                     eKind, numbers, strTime, pError);
}

bool CPgLedger::ReserveWith(const char* pszStatement, const char* pszRefused, HistoryKind eKind,
                            const std::vector<std::string>& numbers, const std::string& strTime,
                            std::string* pError) {
  std::lock_guard lock(m_mutex);
  if (!ReadyLocked(pError)) return false;
  const std::string strKind = LedgerKindName(eKind);
  if (CPgResult r = m_conn.Exec("BEGIN"); !r.Ok()) return Abort("cannot reserve", r, pError);
  for (const std::string& strNumber : numbers) {
    const CPgResult r = m_conn.Run(pszStatement, {strKind, strNumber, m_strStation, strTime});
    const std::optional<bool> reserved = BoolOf(r);
    if (!reserved) return Abort("cannot reserve " + strNumber, r, pError);
    if (!*reserved) {
      if (pError) *pError = strNumber + pszRefused;
      m_conn.Exec("ROLLBACK");
      return false;
    }
  }
  if (CPgResult r = m_conn.Exec("COMMIT"); !r.Ok()) return Abort("cannot reserve", r, pError);
  return true;
}

bool CPgLedger::FindHolder(HistoryKind eKind, const std::string& strNumber,
                           std::optional<SLedgerHolder>* pHolder, std::string* pError) {
  std::lock_guard lock(m_mutex);
  if (!ReadyLocked(pError)) return false;
  const CPgResult r = m_conn.Run("number_holder", {LedgerKindName(eKind), strNumber});
  if (!r.Ok()) return Abort("cannot look up " + strNumber, r, pError);
  pHolder->reset();
  if (r.Rows() == 1) *pHolder = SLedgerHolder{r.Text(0, 0), r.Text(0, 1), r.Text(0, 2)};
  return true;
}

void CPgLedger::Release(HistoryKind eKind) {
  std::lock_guard lock(m_mutex);
  // The spool first: a number it holds must never look free, not even for
  // the moment between this delete and its replay.
  if (!ReadyLocked(nullptr)) return;
  if (CPgResult r = m_conn.Run("release", {LedgerKindName(eKind), m_strStation},
                               CPgConnection::EResend::OnceOnBrokenLink);
      !r.Ok())
    Abort("cannot release", r, nullptr);
}

bool CPgLedger::Record(HistoryKind eKind, const std::string& strNumber, const std::string& strTime,
                       std::string* pError) {
  std::lock_guard lock(m_mutex);
  const std::string strKind = LedgerKindName(eKind);
  const std::string strPort = std::to_string(m_nComPort);
  std::string strWhy;
  if (ReadyLocked(&strWhy) && RecordLocked(strKind, strNumber, strTime, strPort, &strWhy))
    return true;
  std::fprintf(stderr, "tavlo: ledger: %s; %s kept in %s\n", strWhy.c_str(), strNumber.c_str(),
               m_strSpool.c_str());
  return SpoolLocked(strKind + "\t" + strNumber + "\t" + strTime + "\t" + strPort + "\n", pError);
}

void CPgLedger::SetComPort(int nPort) {
  std::lock_guard lock(m_mutex);
  m_nComPort = nPort;
}

void CPgLedger::WatchStop(platform::WaitHandle hStop) {
  std::lock_guard lock(m_mutex);
  m_conn.WatchStop(hStop);
}

bool AttachLedger(const std::string& strBase, CWriteHistories& histories,
                  std::unique_ptr<INumberLedger>* pOwner, std::string* pError) {
  const std::optional<SLedgerSettings> settings = ReadLedgerSettings(strBase);
  if (!settings) return CheckNeverOnLedger(strBase, pError);
  if (ConnectStringHasPassword(settings->strConnect)) {
    if (pError) *pError = "the ledger's password belongs in .pgpass or PGPASSWORD, not wimei.ini";
    return false;
  }
  if (const std::string strWarning = LedgerTlsWarning(settings->strConnect); !strWarning.empty())
    std::fprintf(stderr, "tavlo: ledger: %s\n", strWarning.c_str());
  // Beside data/, so that Reset History never archives what is not yet in
  // the ledger.
  auto pLedger = std::make_unique<CPgLedger>(*settings, JoinPath(strBase, kLedgerSpoolFile));
  std::string strError;
  if (!pLedger->Open(&strError) || !MarkOnLedger(strBase, &strError)) {
    if (pError) *pError = "the shared ledger cannot be used: " + strError;
    return false;
  }
  histories.UseLedger(pLedger.get());
  *pOwner = std::move(pLedger);
  return true;
}
