#pragma once

#include <cstdint>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "tavlo/settings/number_ledger.h"

// One number written into a phone.
struct HistoryEntry {
  std::string m_strNumber;
  std::string m_strTime;  // "YYYY-MM-DD_hh:mm:ss"
};

enum class HistoryKind { Imei, Mbsn, Psn };

// "%04d-%02d-%02d_%02d:%02d:%02d" of the given local time, or of now.
std::string FormatHistoryTime(const std::tm& local);
std::string HistoryTimeStamp();

// The write history of one kind: the file and its in-memory copy. A number
// counts as used once Append has taken it, whether or not its line reached
// the disk. Entries keep file order in one block of text; numbers are looked
// up through an open-addressing index into it, so that a history of a million
// lines loads without an allocation per line.
class CWriteHistory {
 public:
  explicit CWriteHistory(std::string strPath) : m_strPath(std::move(strPath)) {}
  CWriteHistory(const CWriteHistory&) = delete;
  CWriteHistory& operator=(const CWriteHistory&) = delete;

  // Replaces the list with the file's entries; a missing file leaves it as
  // is. Numbers a crash left reserved are appended to the history first.
  void Load();
  // Adds the entry in memory, then appends "time\tnumber\n" to the file,
  // creating its folder when missing. True only once the line is on disk
  // (fsync'd); otherwise false with the reason in *pError.
  // A rework (bRework: the phone is written again with a number it already
  // carries) puts the comment line "#rework\t<time>\t<number>" before the
  // entry, which every reader skips as it skips any "#" line.
  bool Append(const std::string& strNumber, const std::string& strTime,
              std::string* pError = nullptr, bool bRework = false);
  // The numbers about to be written into a phone, noted in "<file>.pending"
  // (fsync'd) before they can reach it. Load moves what a crash left there
  // into the history: the phone may well hold those numbers.
  // With bRework the ledger accepts numbers already written (a rework).
  bool Reserve(const std::vector<std::string>& numbers, const std::string& strTime,
               std::string* pError = nullptr, bool bRework = false);
  // Drops from the reservation the numbers that need it no more: those whose
  // line is in the history file, and those of the last Reserve that never
  // went to a phone (not appended since). A number whose line could not be
  // written stays reserved, across runs and restarts, until a later Reserve
  // or Load gets it into the history.
  void ClearReserved();
  std::string PendingPath() const { return m_strPath + ".pending"; }
  // Trailing blanks, tabs and a CR are no part of a number, here as in a
  // history line read back.
  bool Contains(const std::string& strNumber) const;
  // The time stamp of the number's first entry; std::nullopt when the
  // history does not hold it.
  std::optional<std::string> TimeOf(const std::string& strNumber) const;
  std::vector<HistoryEntry> Entries() const;
  // Calls fn with every number, in file order, without copying them out.
  template <typename Fn>
  void ForEachNumber(Fn&& fn) const {
    std::lock_guard lock(m_mutex);
    for (const SEntrySpan& e : m_entries) fn(NumberIn(m_text, e));
  }
  const std::string& Path() const { return m_strPath; }
  // The entries of a history file as Load reads them, without touching it
  // or its reservation.
  static std::vector<HistoryEntry> ReadFile(const std::string& strPath);

  // With a ledger, reservations and records go there too, and the kind's
  // pool draws through it. The ledger must outlive the history.
  void UseLedger(INumberLedger* pLedger, HistoryKind eKind) {
    m_pLedger = pLedger;
    m_eKind = eKind;
  }
  INumberLedger* Ledger() const { return m_pLedger; }
  HistoryKind Kind() const { return m_eKind; }

 private:
  // Append without the ledger: memory, then the file.
  bool AppendLocal(const std::string& strNumber, const std::string& strTime, std::string* pError,
                   bool bRework);
  // The line alone (after its "#rework" line with bRework), fsync'd;
  // m_mutex held.
  bool AppendLineLocked(const std::string& strNumber, const std::string& strTime, bool bRework,
                        std::string* pError);
  // Appends the reserved entries (those not in the history, when
  // bSkipKnown) and clears the reservation once all are in.
  bool RecordReserved(const std::vector<HistoryEntry>& pending, bool bSkipKnown,
                      std::string* pError);

  // Where one entry's time and number sit in m_text.
  struct SEntrySpan {
    size_t nTimeAt;
    uint32_t nTimeLen;
    uint32_t nNumberLen;  // the number follows the time and one separator
  };
  static std::string_view NumberIn(const std::string& text, const SEntrySpan& e) {
    return std::string_view(text).substr(e.nTimeAt + e.nTimeLen + 1, e.nNumberLen);
  }
  // Adds an entry of text to entries and, unless its number is there
  // already, to the index slots.
  static void Index(const std::string& text, std::vector<SEntrySpan>& entries,
                    std::vector<uint64_t>& slots, const SEntrySpan& e);
  // Puts entries[nEntry] into slots unless its number is there already.
  static void IndexEntry(const std::string& text, const std::vector<SEntrySpan>& entries,
                         std::vector<uint64_t>& slots, size_t nEntry, size_t nHash);
  bool ContainsLocked(std::string_view number) const { return FirstEntryLocked(number) != 0; }
  // The index + 1 of the number's first entry, 0 when there is none.
  size_t FirstEntryLocked(std::string_view number) const;

  const std::string m_strPath;
  mutable std::mutex m_mutex;  // guards the members below, and orders appends to the file
  std::string m_text;
  std::vector<SEntrySpan> m_entries;
  // Per number: a hash tag and the index + 1 of its first entry, 0 for a free
  // slot; a power of two in size, at most half full.
  std::vector<uint64_t> m_slots;
  // Numbers of the last reservation not appended since: not in any phone.
  std::vector<std::string> m_unsent;
  // Numbers appended whose line did not reach the file.
  std::unordered_set<std::string> m_offDisk;
  INumberLedger* m_pLedger = nullptr;
  HistoryKind m_eKind = HistoryKind::Imei;
};

// The three histories below <base>/data.
class CWriteHistories {
 public:
  explicit CWriteHistories(const std::string& strBaseFolder);

  void LoadHistory(HistoryKind kind) { Of(kind).Load(); }
  void LoadAll();
  bool AppendHistory(HistoryKind kind, const std::string& strNumber, const std::string& strTime,
                     std::string* pError = nullptr, bool bRework = false) {
    return Of(kind).Append(strNumber, strTime, pError, bRework);
  }
  bool IsImeiUsed(const std::string& s) const { return m_ImeiHistory.Contains(s); }
  bool IsMbsnUsed(const std::string& s) const { return m_MbsnHistory.Contains(s); }
  bool IsPsnUsed(const std::string& s) const { return m_PsnHistory.Contains(s); }

  CWriteHistory& Of(HistoryKind kind);
  const CWriteHistory& Of(HistoryKind kind) const;
  const CWriteHistory& ImeiHistory() const { return m_ImeiHistory; }
  const CWriteHistory& MbsnHistory() const { return m_MbsnHistory; }
  const CWriteHistory& PsnHistory() const { return m_PsnHistory; }

  // Reset History: moves everything inside the data folder but the station's
  // lock into a new folder "data_reset_<time>" beside it. The
  // in-memory lists are kept, so numbers stay used until restart.
  bool ResetHistory(std::string* pError = nullptr);

  // Every kind reserves and records through the ledger as well (nullptr:
  // the histories alone). Set before LoadAll.
  void UseLedger(INumberLedger* pLedger);
  // The port of the phone about to be written, for the ledger's records.
  void NotePhonePort(int nPort) {
    if (m_ImeiHistory.Ledger()) m_ImeiHistory.Ledger()->SetComPort(nPort);
  }
  // The worker's stop, lent to the ledger for a run (kNoWaitHandle after).
  void WatchLedgerStop(platform::WaitHandle hStop) {
    if (m_ImeiHistory.Ledger()) m_ImeiHistory.Ledger()->WatchStop(hStop);
  }

 private:
  const std::string m_strDataDir;
  CWriteHistory m_ImeiHistory;
  CWriteHistory m_MbsnHistory;
  CWriteHistory m_PsnHistory;
};

// In the data folder: locked by the one process that works on the station.
inline constexpr const char* kStationLockFile = "station.lock";

// String 110 and string 170, shown on two lines after Reset History.
inline constexpr const char* kMsgResetDone = "重置成功!";
inline constexpr const char* kMsgRestartTool = "请重启IMEI工具!";
// Added to them when the station works with a shared ledger.
inline constexpr const char* kMsgLedgerKept =
    "The shared ledger keeps every number: a station never empties it.";
