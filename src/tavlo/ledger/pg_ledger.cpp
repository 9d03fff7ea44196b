#include "tavlo/ledger/pg_ledger.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unordered_set>

#include "common/ini_file.h"
#include "common/text.h"
#include "platform/append_file.h"
#include "tavlo/settings/writer_settings.h"

namespace {

constexpr size_t kFirstBatch = 32;
// A draw past a long run of used entries asks about this many at once.
constexpr size_t kMaxBatch = 4096;

bool SyncFolderOf(const std::string& strPath) {
  const std::string folder = std::filesystem::path(strPath).parent_path().string();
  const int fd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool bOk = fsync(fd) == 0;
  close(fd);
  return bOk;
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
  if (pError) *pError = strWhat + ": " + (m_conn.Connected() ? r.Error() : m_conn.LastError());
  while (pError && !pError->empty() && pError->back() == '\n') pError->pop_back();
  m_conn.Exec("ROLLBACK");
  return false;
}

bool CPgLedger::Open(std::string* pError) {
  std::lock_guard lock(m_mutex);
  if (!ReadyLocked(pError)) return false;
  if (CPgResult r = m_conn.Run("resolve_claimed", {m_strStation}); !r.Ok())
    return Abort("cannot free the numbers left claimed", r, pError);
  if (CPgResult r = m_conn.Run("resolve_reserved", {m_strStation}); !r.Ok())
    return Abort("cannot keep the numbers left reserved", r, pError);
  return true;
}

bool CPgLedger::ReadyLocked(std::string* pError) {
  return m_conn.Ensure(pError) && ReplaySpoolLocked(pError);
}

bool CPgLedger::ReplaySpoolLocked(std::string* pError) {
  std::ifstream in(m_strSpool);
  if (!in) return true;
  for (std::string line; std::getline(in, line);) {
    const std::vector<std::string> f = SplitTabs(line);
    if (f.size() != 4) continue;  // a line a crash cut short never counted
    if (!RecordLocked(f[0], f[1], f[2], f[3], pError)) return false;
  }
  // Every line is in: a replay cut short by a crash before this point runs
  // again at the next step, and records nothing twice.
  std::filesystem::remove(m_strSpool);
  SyncFolderOf(m_strSpool);
  return true;
}

bool CPgLedger::RecordLocked(const std::string& strKind, const std::string& strNumber,
                             const std::string& strTime, const std::string& strPort,
                             std::string* pError) {
  const CPgResult r = m_conn.Run("record", {strKind, strNumber, m_strStation, strPort, strTime});
  if (!r.Ok()) return Abort("cannot record " + strNumber, r, pError);
  return true;
}

bool CPgLedger::SpoolLocked(const std::string& strLine, std::string* pError) {
  const int fd = platform::OpenInOwnFolder(m_strSpool, O_WRONLY | O_APPEND | O_CREAT);
  if (fd < 0) {
    if (pError) *pError = "cannot open " + m_strSpool;
    return false;
  }
  const bool bNew = lseek(fd, 0, SEEK_END) == 0;
  const bool bOk =
      write(fd, strLine.data(), strLine.size()) == static_cast<ssize_t>(strLine.size()) &&
      fsync(fd) == 0;
  close(fd);
  if (bOk && bNew) SyncFolderOf(m_strSpool);
  if (!bOk && pError) *pError = "cannot write " + m_strSpool;
  return bOk;
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
  if (!cursor.Ok() || cursor.Rows() != 1) {
    Abort("cannot draw", cursor, pError);
    return std::nullopt;
  }
  std::string strPos = cursor.Text(0, 0);
  const std::string strTime = HistoryTimeStamp();
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
      const CPgResult claim = m_conn.Run("claim", {strKind, strNumber, m_strStation, strTime});
      if (!claim.Ok()) {
        Abort("cannot claim " + strNumber, claim, pError);
        return std::nullopt;
      }
      if (claim.Changed() != 1) continue;  // typed or imported elsewhere meanwhile
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
    if (!r.Ok() || r.Rows() != 1) return Abort("cannot draw", r, pError);
    if (std::strtoull(r.Text(0, 0).c_str(), nullptr, 10) < nSpan) {
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

bool CPgLedger::Reserve(HistoryKind eKind, const std::vector<std::string>& numbers,
                        const std::string& strTime, std::string* pError) {
  std::lock_guard lock(m_mutex);
  if (!ReadyLocked(pError)) return false;
  const std::string strKind = LedgerKindName(eKind);
  if (CPgResult r = m_conn.Exec("BEGIN"); !r.Ok()) return Abort("cannot reserve", r, pError);
  for (const std::string& strNumber : numbers) {
    const CPgResult r = m_conn.Run("reserve", {strKind, strNumber, m_strStation, strTime});
    if (!r.Ok()) return Abort("cannot reserve " + strNumber, r, pError);
    if (r.Rows() != 1) {
      if (pError) *pError = strNumber + " is already used in the ledger";
      m_conn.Exec("ROLLBACK");
      return false;
    }
  }
  if (CPgResult r = m_conn.Exec("COMMIT"); !r.Ok()) return Abort("cannot reserve", r, pError);
  return true;
}

void CPgLedger::Release(HistoryKind eKind) {
  std::lock_guard lock(m_mutex);
  // The spool first: a number it holds must never look free, not even for
  // the moment between this delete and its replay.
  if (!ReadyLocked(nullptr)) return;
  m_conn.Run("release", {LedgerKindName(eKind), m_strStation});
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

bool AttachLedger(const std::string& strBase, CWriteHistories& histories,
                  std::unique_ptr<INumberLedger>* pOwner, std::string* pError) {
  const std::optional<SLedgerSettings> settings = ReadLedgerSettings(strBase);
  if (!settings) return true;
  if (ConnectStringHasPassword(settings->strConnect)) {
    if (pError) *pError = "the ledger's password belongs in .pgpass or PGPASSWORD, not wimei.ini";
    return false;
  }
  // Beside data/, so that Reset History never archives what is not yet in
  // the ledger.
  auto pLedger = std::make_unique<CPgLedger>(*settings, JoinPath(strBase, "ledger.spool"));
  std::string strError;
  if (!pLedger->Open(&strError)) {
    if (pError) *pError = "the shared ledger cannot be used: " + strError;
    return false;
  }
  histories.UseLedger(pLedger.get());
  *pOwner = std::move(pLedger);
  return true;
}
