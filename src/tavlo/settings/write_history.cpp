#include "tavlo/settings/write_history.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <utility>

#include "common/message_queue.h"
#include "common/text.h"
#include "tavlo/settings/writer_settings.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kStampLength = 19;
// The longest line the writer writes is 275 characters (stamp, tab, a number
// of 254, CR); a longer one is damage and is skipped whole, so that no line
// costs more than this, and none is split into entries that were never written.
constexpr size_t kMaxLineLength = 1024;

// Closes the descriptor on every way out of Append.
class CFd {
 public:
  explicit CFd(int fd) : m_fd(fd) {}
  ~CFd() {
    if (m_fd >= 0) close(m_fd);
  }
  CFd(const CFd&) = delete;
  CFd& operator=(const CFd&) = delete;
  int Get() const { return m_fd; }
  // Closes now, so that a failing close is reported.
  bool Close() {
    const int fd = m_fd;
    m_fd = -1;
    return close(fd) == 0;
  }

 private:
  int m_fd;
};

bool Fail(const std::string& what, int nErr, std::string* pError) {
  if (pError) *pError = what + ": " + std::error_code(nErr, std::generic_category()).message();
  return false;
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// Makes a newly created file's name durable as well as its content.
void SyncFolder(const std::string& strFolder) {
  const int fd = open(strFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

}  // namespace

std::string FormatHistoryTime(const std::tm& t) {
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d_%02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1,
                t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
  return text;
}

std::string HistoryTimeStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return FormatHistoryTime(local);
}

namespace {

std::vector<HistoryEntry> ReadHistoryLines(const std::string& strPath, bool* pbOpened) {
  std::vector<HistoryEntry> entries;
  std::ifstream in(strPath, std::ios::binary);
  *pbOpened = static_cast<bool>(in);
  std::string line;
  bool bCut = false;
  while (ReadLineBounded(in, kMaxLineLength, ELongLine::kDrop, &line, &bCut)) {
    DispatchOnePending();
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (bCut || line.size() <= kStampLength || line[0] == '#') continue;
    // Taken apart by position; the separator is whatever character sits there.
    entries.push_back({line.substr(kStampLength + 1), line.substr(0, kStampLength)});
  }
  return entries;
}

}  // namespace

void CWriteHistory::Load() {
  bool bOpened = false;
  std::vector<HistoryEntry> entries = ReadHistoryLines(m_strPath, &bOpened);
  bool bPending = false;
  const std::vector<HistoryEntry> pending = ReadHistoryLines(PendingPath(), &bPending);
  if (!bOpened && !bPending) return;
  {
    std::lock_guard lock(m_mutex);
    m_entries = std::move(entries);
    m_numbers.clear();
    for (const HistoryEntry& e : m_entries) m_numbers.insert(e.m_strNumber);
  }
  // The last run ended between sending numbers to a phone and recording
  // them: they count as written.
  if (bPending) RecordReserved(pending, true, nullptr);
}

bool CWriteHistory::RecordReserved(const std::vector<HistoryEntry>& pending, bool bSkipKnown,
                                   std::string* pError) {
  bool bAllIn = true;
  for (const HistoryEntry& e : pending) {
    if (bSkipKnown && Contains(e.m_strNumber)) continue;
    bAllIn = Append(e.m_strNumber, e.m_strTime, bAllIn ? pError : nullptr) && bAllIn;
  }
  // The reservation goes only once all its numbers are in the history.
  if (bAllIn) ClearReserved();
  return bAllIn;
}

bool CWriteHistory::Reserve(const std::vector<std::string>& numbers, const std::string& strTime,
                            std::string* pError) {
  const std::string strPath = PendingPath();
  // A reservation left by a phone whose numbers could not be recorded is
  // recorded first; those numbers are used in memory already, so the
  // history may hold a line twice, which is harmless.
  bool bPending = false;
  const std::vector<HistoryEntry> pending = ReadHistoryLines(strPath, &bPending);
  if (!pending.empty() && !RecordReserved(pending, false, pError)) return false;
  const std::string folder = fs::path(strPath).parent_path().string();
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) return Fail("cannot create " + folder, ec.value(), pError);
  CFd fd(open(strPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (fd.Get() < 0) return Fail("cannot open " + strPath, errno, pError);
  std::string text;
  for (const std::string& strNumber : numbers) text += strTime + "\t" + strNumber + "\n";
  if (!WriteAll(fd.Get(), text)) return Fail("cannot write " + strPath, errno, pError);
  if (fsync(fd.Get()) != 0) return Fail("cannot flush " + strPath, errno, pError);
  if (!fd.Close()) return Fail("cannot close " + strPath, errno, pError);
  SyncFolder(folder);
  return true;
}

void CWriteHistory::ClearReserved() {
  unlink(PendingPath().c_str());
}

bool CWriteHistory::Append(const std::string& strNumber, const std::string& strTime,
                           std::string* pError) {
  std::lock_guard lock(m_mutex);
  m_entries.push_back({strNumber, strTime});
  m_numbers.insert(strNumber);

  const std::string folder = fs::path(m_strPath).parent_path().string();
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) return Fail("cannot create " + folder, ec.value(), pError);

  const bool bExisted = access(m_strPath.c_str(), F_OK) == 0;
  CFd fd(open(m_strPath.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (fd.Get() < 0) return Fail("cannot open " + m_strPath, errno, pError);

  std::string text = strTime + "\t" + strNumber + "\n";
  // A last line without its line break (cut short, or edited by hand) would
  // otherwise swallow this entry into it.
  struct stat st;
  char last = '\n';
  if (fstat(fd.Get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
      pread(fd.Get(), &last, 1, st.st_size - 1) == 1 && last != '\n') {
    text.insert(text.begin(), '\n');
  }
  if (!WriteAll(fd.Get(), text)) return Fail("cannot write " + m_strPath, errno, pError);
  if (fsync(fd.Get()) != 0) return Fail("cannot flush " + m_strPath, errno, pError);
  if (!fd.Close()) return Fail("cannot close " + m_strPath, errno, pError);
  if (!bExisted) SyncFolder(folder);
  return true;
}

bool CWriteHistory::Contains(const std::string& strNumber) const {
  std::lock_guard lock(m_mutex);
  return m_numbers.count(strNumber) != 0;
}

std::vector<HistoryEntry> CWriteHistory::Entries() const {
  std::lock_guard lock(m_mutex);
  return m_entries;
}

CWriteHistories::CWriteHistories(const std::string& strBaseFolder)
    : m_strDataDir(JoinPath(strBaseFolder, "data")),
      m_ImeiHistory(m_strDataDir + "/wimei.history"),
      m_MbsnHistory(m_strDataDir + "/wmbsn.history"),
      m_PsnHistory(m_strDataDir + "/wpsn.history") {}

void CWriteHistories::LoadAll() {
  m_ImeiHistory.Load();
  m_MbsnHistory.Load();
  m_PsnHistory.Load();
}

CWriteHistory& CWriteHistories::Of(HistoryKind kind) {
  return const_cast<CWriteHistory&>(std::as_const(*this).Of(kind));
}

const CWriteHistory& CWriteHistories::Of(HistoryKind kind) const {
  switch (kind) {
    case HistoryKind::Mbsn:
      return m_MbsnHistory;
    case HistoryKind::Psn:
      return m_PsnHistory;
    case HistoryKind::Imei:
      break;
  }
  return m_ImeiHistory;
}

bool CWriteHistories::ResetHistory(std::string* pError) {
  std::error_code ec;
  if (!fs::is_directory(m_strDataDir, ec)) return true;
  std::vector<fs::path> entries;
  for (fs::directory_iterator it(m_strDataDir, ec), end; !ec && it != end; it.increment(ec)) {
    entries.push_back(it->path());
  }
  if (ec) return Fail("cannot list " + m_strDataDir, ec.value(), pError);
  if (entries.empty()) return true;

  // The old histories are the only record of numbers already in phones: they
  // move to a dated folder beside "data" instead of being deleted.
  std::string strStamp = HistoryTimeStamp();
  std::replace(strStamp.begin(), strStamp.end(), ':', '-');  // a folder name on every system
  std::string strArchive = m_strDataDir + "_reset_" + strStamp;
  for (int n = 2; fs::exists(strArchive, ec); ++n) {
    strArchive = m_strDataDir + "_reset_" + strStamp + "_" + std::to_string(n);
  }
  fs::create_directory(strArchive, ec);
  if (ec) return Fail("cannot create " + strArchive, ec.value(), pError);
  bool bOk = true;
  for (const fs::path& entry : entries) {
    fs::rename(entry, fs::path(strArchive) / entry.filename(), ec);
    if (ec) bOk = Fail("cannot move " + entry.string(), ec.value(), pError);
  }
  SyncFolder(strArchive);
  SyncFolder(m_strDataDir);
  return bOk;
}
