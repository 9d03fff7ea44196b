#include "tavlo/settings/write_history.h"

#include <fcntl.h>
#include <sys/stat.h>
#if defined(__linux__)
#include <sys/mman.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <utility>

#include "common/message_queue.h"
#include "common/text.h"
#include "platform/append_file.h"
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

// An editor may leave blanks, a tab or a CR after a number: no part of it.
std::string_view WithoutTrailingBlanks(std::string_view text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
    text.remove_suffix(1);
  return text;
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

// Calls fnEntry(line) for every line of the file that holds an entry: its
// line ending, CR and trailing blanks and tabs removed (and a UTF-8
// byte-order mark before the first line), longer than the stamp and not a
// comment. A line is read as an operator reads it: this can only make more
// numbers count as used.
// A line longer than kMaxLineLength is damage: skipped whole, and never held,
// so that what a load keeps grows with the entries, not with the damage.
// False when the file cannot be opened.
template <typename Fn>
bool ForEachEntryOfFile(const std::string& strPath, Fn&& fnEntry) {
  const int fd = open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const CFd file(fd);
  size_t nLines = 0;
  auto line = [&](std::string_view text) {
    // The window thread loads the histories: keep its queue served.
    if (++nLines % 65536 == 0) DispatchOnePending();
    text = WithoutTrailingBlanks(text);
    if (text.size() > kStampLength && text[0] != '#') fnEntry(text);
  };
  char buf[32768];
  std::string carry;  // the start of a line cut by the end of buf
  bool bDropping = false, bFirstRead = true;
  for (;;) {
    const ssize_t nRead = read(fd, buf, sizeof buf);
    if (nRead < 0 && errno == EINTR) continue;
    if (nRead <= 0) break;
    const auto n = static_cast<size_t>(nRead);
    size_t nStart = 0;
    if (std::exchange(bFirstRead, false) && n >= 3 && std::memcmp(buf, "\xEF\xBB\xBF", 3) == 0)
      nStart = 3;
    for (size_t nAt = nStart; nAt < n;) {
      const auto* pNewline = static_cast<const char*>(std::memchr(buf + nAt, '\n', n - nAt));
      const size_t nEnd = pNewline ? static_cast<size_t>(pNewline - buf) : n;
      const std::string_view piece(buf + nAt, nEnd - nAt);
      if (!bDropping) {
        if (carry.size() + piece.size() > kMaxLineLength) {
          bDropping = true;
          carry.clear();
        } else if (!pNewline) {
          carry.append(piece);
        } else if (carry.empty()) {
          line(piece);
        } else {
          carry.append(piece);
          line(carry);
          carry.clear();
        }
      }
      if (pNewline) bDropping = false;
      nAt = nEnd + 1;
    }
  }
  if (!bDropping && !carry.empty()) line(carry);
  return true;
}

std::vector<HistoryEntry> ReadHistoryLines(const std::string& strPath, bool* pbOpened) {
  std::vector<HistoryEntry> entries;
  *pbOpened = ForEachEntryOfFile(strPath, [&](std::string_view text) {
    // Taken apart by position; the separator is whatever character sits there.
    entries.push_back(
        {std::string(text.substr(kStampLength + 1)), std::string(text.substr(0, kStampLength))});
  });
  return entries;
}

// Numbers are short: a multiply per 8-byte word (the last word overlapping
// the one before) and a final mix cost a few nanoseconds, where the general
// string hash took an eighth of a load. The final mix spreads every byte
// over both halves: the low bits pick the slot, the high ones make the tag.
// The load's large buffers in 2 MiB pages where the system allows it: one
// page fault and one TLB entry per 2 MiB instead of per 4 KiB, for buffers
// filled once and then probed at random. Only a hint.
void PreferLargePages(const void* pData, size_t nBytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr uintptr_t kLarge = uintptr_t{2} << 20;
  const auto nAt = reinterpret_cast<uintptr_t>(pData);
  const uintptr_t nBegin = (nAt + kLarge - 1) & ~(kLarge - 1);
  const uintptr_t nEnd = (nAt + nBytes) & ~(kLarge - 1);
  if (nEnd > nBegin) madvise(reinterpret_cast<void*>(nBegin), nEnd - nBegin, MADV_HUGEPAGE);
#else
  (void)pData;
  (void)nBytes;
#endif
}

// Makes room for nNeeded elements by doubling, as the container would,
// each new block in large pages where allowed. The buffers grow with the
// entries kept, never with the size of the file.
template <typename TContainer>
void GrowInLargePages(TContainer& c, size_t nNeeded) {
  if (nNeeded <= c.capacity()) return;
  // The new block is advised before the old content is copied into it, so
  // that the copy's page faults already bring large pages.
  TContainer grown;
  grown.reserve(std::max(nNeeded, c.capacity() * 2));
  PreferLargePages(grown.data(), grown.capacity() * sizeof(*grown.data()));
  grown.insert(grown.end(), c.begin(), c.end());
  c.swap(grown);
}

size_t HashOf(std::string_view number) {
  constexpr uint64_t kMul = 0xBF58476D1CE4E5B9ULL;
  const auto mix = [](uint64_t h, uint64_t w) {
    h = (h ^ w) * kMul;
    return h ^ (h >> 31);
  };
  const auto word = [](const char* p) {
    uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
  };
  const char* p = number.data();
  const size_t n = number.size();
  uint64_t h = 0x9E3779B97F4A7C15ULL ^ n;
  if (n >= 8) {
    for (size_t i = 0; i + 8 < n; i += 8) h = mix(h, word(p + i));
    h = mix(h, word(p + n - 8));
  } else {
    uint64_t w = 0;
    for (size_t i = 0; i < n; ++i) w = w << 8 | static_cast<unsigned char>(p[i]);
    h = mix(h, w);
  }
  h ^= h >> 29;
  h *= 0x94D049BB133111EBULL;
  return static_cast<size_t>(h ^ (h >> 32));
}

// An index slot: the upper half of the number's hash, so that most probes
// need not look at the entry, and the entry's index + 1 (0: a free slot).
constexpr uint64_t kTagMask = 0xFFFFFFFF00000000ULL;
constexpr uint64_t kIndexMask = 0xFFFFFFFFULL;

}  // namespace

void CWriteHistory::Index(const std::string& text, std::vector<SEntrySpan>& entries,
                          std::vector<uint64_t>& slots, const SEntrySpan& e) {
  entries.push_back(e);
  if (entries.size() * 2 > slots.size()) {
    // Grows to twice the size and indexes every entry again.
    slots.assign(std::max<size_t>(64, slots.size() * 2), 0);
    for (size_t i = 0; i < entries.size(); ++i) {
      IndexEntry(text, entries, slots, i, HashOf(NumberIn(text, entries[i])));
    }
    return;
  }
  IndexEntry(text, entries, slots, entries.size() - 1, HashOf(NumberIn(text, e)));
}

void CWriteHistory::IndexEntry(const std::string& text, const std::vector<SEntrySpan>& entries,
                               std::vector<uint64_t>& slots, size_t nEntry, size_t nHash) {
  const std::string_view number = NumberIn(text, entries[nEntry]);
  const uint64_t nTag = uint64_t{static_cast<uint32_t>(nHash >> 32)} << 32;
  const size_t nMask = slots.size() - 1;
  for (size_t i = nHash & nMask;; i = (i + 1) & nMask) {
    if (slots[i] == 0) {
      slots[i] = nTag | (nEntry + 1);
      return;
    }
    if ((slots[i] & kTagMask) == nTag &&
        NumberIn(text, entries[(slots[i] & kIndexMask) - 1]) == number) {
      return;  // a repeated line
    }
  }
}

size_t CWriteHistory::FirstEntryLocked(std::string_view number) const {
  if (m_slots.empty()) return 0;
  const size_t nHash = HashOf(number);
  const uint64_t nTag = uint64_t{static_cast<uint32_t>(nHash >> 32)} << 32;
  const size_t nMask = m_slots.size() - 1;
  for (size_t i = nHash & nMask; m_slots[i] != 0; i = (i + 1) & nMask) {
    if ((m_slots[i] & kTagMask) == nTag &&
        NumberIn(m_text, m_entries[(m_slots[i] & kIndexMask) - 1]) == number) {
      return m_slots[i] & kIndexMask;
    }
  }
  return 0;
}

void CWriteHistory::Load() {
  // Read and indexed before taking the lock: reading serves the thread's queue.
  std::string text;
  std::vector<SEntrySpan> entries;
  const bool bOpened = ForEachEntryOfFile(m_strPath, [&](std::string_view line) {
    const size_t nAt = text.size();
    GrowInLargePages(text, nAt + line.size());
    GrowInLargePages(entries, entries.size() + 1);
    text.append(line);
    entries.push_back({nAt, static_cast<uint32_t>(kStampLength),
                       static_cast<uint32_t>(line.size() - kStampLength - 1)});
  });
  bool bPending = false;
  const std::vector<HistoryEntry> pending = ReadHistoryLines(PendingPath(), &bPending);
  if (!bOpened && !bPending) return;
  size_t nSlots = 64;
  while (nSlots < entries.size() * 2) nSlots *= 2;
  std::vector<uint64_t> slots;
  slots.reserve(nSlots);
  PreferLargePages(slots.data(), nSlots * sizeof(uint64_t));
  slots.assign(nSlots, 0);
  // Slots are visited at random: asking for one a few entries ahead lets
  // the memory fetches overlap instead of waiting for each in turn. The
  // hashes of those entries wait in a ring.
  constexpr size_t kAhead = 16;
  size_t ahead[kAhead];
  const size_t nMask = slots.size() - 1;
  for (size_t i = 0; i < entries.size() + kAhead; ++i) {
    if (i >= kAhead) IndexEntry(text, entries, slots, i - kAhead, ahead[i % kAhead]);
    if (i < entries.size()) {
      const size_t nHash = HashOf(NumberIn(text, entries[i]));
      __builtin_prefetch(&slots[nHash & nMask], 1);
      ahead[i % kAhead] = nHash;
    }
  }
  {
    std::lock_guard lock(m_mutex);
    m_text = std::move(text);
    m_entries = std::move(entries);
    m_slots = std::move(slots);
    m_unsent.clear();
    m_offDisk.clear();
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
                            std::string* pError, bool bRework) {
  const std::string strPath = PendingPath();
  // A reservation left by a phone whose numbers could not be recorded is
  // recorded first; those numbers are used in memory already, so the
  // history may hold a line twice, which is harmless.
  bool bPending = false;
  const std::vector<HistoryEntry> pending = ReadHistoryLines(strPath, &bPending);
  if (!pending.empty() && !RecordReserved(pending, false, pError)) return false;
  // The ledger first: a crash after it leaves the numbers reserved there,
  // kept used at the next start, never free while a phone may hold them.
  if (m_pLedger && !(bRework ? m_pLedger->ReserveRework(m_eKind, numbers, strTime, pError)
                             : m_pLedger->Reserve(m_eKind, numbers, strTime, pError)))
    return false;
  const std::string folder = fs::path(strPath).parent_path().string();
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) return Fail("cannot create " + folder, ec.value(), pError);
  CFd fd(platform::OpenInOwnFolder(strPath, O_WRONLY | O_CREAT | O_TRUNC));
  if (fd.Get() < 0) return Fail("cannot open " + strPath, errno, pError);
  {
    // Whatever of them reaches the file has not gone to a phone yet.
    std::lock_guard lock(m_mutex);
    m_unsent.clear();
    for (const std::string& strNumber : numbers)
      m_unsent.emplace_back(WithoutTrailingBlanks(strNumber));
  }
  std::string text;
  for (const std::string& strNumber : numbers) text += strTime + "\t" + strNumber + "\n";
  if (!WriteAll(fd.Get(), text)) return Fail("cannot write " + strPath, errno, pError);
  if (fsync(fd.Get()) != 0) return Fail("cannot flush " + strPath, errno, pError);
  if (!fd.Close()) return Fail("cannot close " + strPath, errno, pError);
  SyncFolder(folder);
  return true;
}

void CWriteHistory::ClearReserved() {
  const std::string strPath = PendingPath();
  bool bOpened = false;
  const std::vector<HistoryEntry> pending = ReadHistoryLines(strPath, &bOpened);
  std::vector<HistoryEntry> kept;
  {
    std::lock_guard lock(m_mutex);
    for (const HistoryEntry& e : pending) {
      const bool bUnsent =
          std::find(m_unsent.begin(), m_unsent.end(), e.m_strNumber) != m_unsent.end();
      const bool bOnDisk = ContainsLocked(e.m_strNumber) && m_offDisk.count(e.m_strNumber) == 0;
      if (!bUnsent && !bOnDisk) kept.push_back(e);
    }
    m_unsent.clear();
  }
  if (kept.empty()) {
    if (bOpened) unlink(strPath.c_str());
  } else if (kept.size() < pending.size()) {
    // Rewritten beside it and renamed over it: the numbers still reserved
    // are never off the disk, whatever happens meanwhile. A failure keeps
    // the old file, which reserves more than needed, never less.
    const std::string strTemp = strPath + ".new";
    unlink(strTemp.c_str());
    CFd fd(platform::OpenInOwnFolder(strTemp, O_WRONLY | O_CREAT | O_EXCL));
    std::string text;
    for (const HistoryEntry& e : kept) text += e.m_strTime + "\t" + e.m_strNumber + "\n";
    if (fd.Get() >= 0 && WriteAll(fd.Get(), text) && fsync(fd.Get()) == 0 && fd.Close()) {
      std::error_code ec;
      fs::rename(strTemp, strPath, ec);
      if (!ec) SyncFolder(fs::path(strPath).parent_path().string());
    }
    unlink(strTemp.c_str());
  }
  if (m_pLedger) m_pLedger->Release(m_eKind);
}

bool CWriteHistory::Append(const std::string& strNumber, const std::string& strTime,
                           std::string* pError, bool bRework) {
  std::string strLocalError;
  const bool bLocal = AppendLocal(strNumber, strTime, &strLocalError, bRework);
  // The phone holds the number whether or not the line reached the disk.
  const bool bLedger = !m_pLedger || m_pLedger->Record(m_eKind, strNumber, strTime, pError);
  if (!bLocal && pError) *pError = strLocalError;
  return bLocal && bLedger;
}

bool CWriteHistory::AppendLocal(const std::string& strNumber, const std::string& strTime,
                                std::string* pError, bool bRework) {
  std::lock_guard lock(m_mutex);
  // Held as a load will read it back; the line keeps the number as it is.
  const std::string strKept(WithoutTrailingBlanks(strNumber));
  const size_t nAt = m_text.size();
  m_text += strTime;
  m_text += '\t';
  m_text += strKept;
  Index(m_text, m_entries, m_slots,
        {nAt, static_cast<uint32_t>(strTime.size()), static_cast<uint32_t>(strKept.size())});
  m_unsent.erase(std::remove(m_unsent.begin(), m_unsent.end(), strKept), m_unsent.end());
  if (AppendLineLocked(strNumber, strTime, bRework, pError)) {
    m_offDisk.erase(strKept);
    return true;
  }
  // In memory only: its reservation must outlive this run.
  m_offDisk.insert(strKept);
  return false;
}

bool CWriteHistory::AppendLineLocked(const std::string& strNumber, const std::string& strTime,
                                     bool bRework, std::string* pError) {
  const std::string folder = fs::path(m_strPath).parent_path().string();
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) return Fail("cannot create " + folder, ec.value(), pError);

  const bool bExisted = access(m_strPath.c_str(), F_OK) == 0;
  CFd fd(platform::OpenInOwnFolder(m_strPath, O_RDWR | O_APPEND | O_CREAT));
  if (fd.Get() < 0) return Fail("cannot open " + m_strPath, errno, pError);

  std::string text = strTime + "\t" + strNumber + "\n";
  // Written with its entry, in one write.
  if (bRework) text.insert(0, "#rework\t" + strTime + "\t" + strNumber + "\n");
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

std::vector<HistoryEntry> CWriteHistory::ReadFile(const std::string& strPath) {
  bool bOpened = false;
  return ReadHistoryLines(strPath, &bOpened);
}

bool CWriteHistory::Contains(const std::string& strNumber) const {
  std::lock_guard lock(m_mutex);
  return ContainsLocked(WithoutTrailingBlanks(strNumber));
}

std::optional<std::string> CWriteHistory::TimeOf(const std::string& strNumber) const {
  std::lock_guard lock(m_mutex);
  const size_t nEntry = FirstEntryLocked(strNumber);
  if (nEntry == 0) return std::nullopt;
  const SEntrySpan& e = m_entries[nEntry - 1];
  return m_text.substr(e.nTimeAt, e.nTimeLen);
}

std::vector<HistoryEntry> CWriteHistory::Entries() const {
  std::lock_guard lock(m_mutex);
  std::vector<HistoryEntry> entries;
  entries.reserve(m_entries.size());
  for (const SEntrySpan& e : m_entries) {
    entries.push_back({std::string(NumberIn(m_text, e)), m_text.substr(e.nTimeAt, e.nTimeLen)});
  }
  return entries;
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

void CWriteHistories::UseLedger(INumberLedger* pLedger) {
  m_ImeiHistory.UseLedger(pLedger, HistoryKind::Imei);
  m_MbsnHistory.UseLedger(pLedger, HistoryKind::Mbsn);
  m_PsnHistory.UseLedger(pLedger, HistoryKind::Psn);
}

bool CWriteHistories::ResetHistory(std::string* pError) {
  std::error_code ec;
  if (!fs::is_directory(m_strDataDir, ec)) return true;
  std::vector<fs::path> entries;
  for (fs::directory_iterator it(m_strDataDir, ec), end; !ec && it != end; it.increment(ec)) {
    // The lock stays with the folder the running copy holds.
    if (it->path().filename() != kStationLockFile) entries.push_back(it->path());
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
