#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "tavlo/settings/write_history.h"
#include "tavlo/settings/writer_settings.h"

// What a draw returns when every entry of a pool is used.
inline constexpr const char* kNoNumber = "None";
// What a draw returns when the shared ledger could not be asked: the phone
// must not be written, though the pool may well have numbers.
inline constexpr const char* kNoLedger = "NoLedger";

// The candidates of one kind, in pool order: the valid lines of a list file,
// or the range of an initial number and mask. A generated range is walked
// lazily, counter by counter, so masks of any number of "*" cost nothing
// until drawn from. Entries are never removed: a draw skips those the kind's
// history holds. The history must only grow while the pool is in use (it is
// loaded once, before the pools are built), since draws resume past the
// entries found used.
class CNumberPool {
 public:
  explicit CNumberPool(const CWriteHistory& history) : m_history(history) {}
  CNumberPool(const CNumberPool&) = delete;
  CNumberPool& operator=(const CNumberPool&) = delete;

  void SetList(std::vector<std::string> entries);
  // Valid pairs only (the caller has run CheckInitAndMask); a 14-character
  // pair generates IMEIs with their check digit when bImei.
  void SetRange(std::string strInit, std::string strMask, bool bImei);
  void Clear() { SetList({}); }

  // The first entry, in pool order, that is neither in the history nor in
  // pSkip; kNoNumber when there is none. With bCheckDigit (CHECK_IMEI, IMEI
  // pools only) an entry whose 15th digit is not its check digit is skipped
  // as an invalid one: a 15-digit range then counts through the numbers that
  // pass, one per value of its other stars.
  std::string GetUnused(const std::unordered_set<std::string>* pSkip = nullptr,
                        bool bCheckDigit = false);

 private:
  std::string Candidate(const std::string& strCounter) const;
  // A 15-digit IMEI range under CHECK_IMEI: exactly one value of the last
  // star gives a correct check digit for each value of the stars before it
  // (the Luhn weights are a permutation of the digits), so the numbers that
  // pass are walked by that "prefix" of the counter.
  bool IsCheckedRange(bool bCheckDigit) const {
    return bCheckDigit && m_bImei && m_bRange && m_strInit.size() == 15 && m_nStars > 0;
  }
  // The counter of the prefix's one number that passes its check.
  std::string CheckedCounter(uint64_t nPrefix) const;
  // The prefix count of the checked range: 10^(stars - 1).
  uint64_t CheckedPrefixes() const;
  // Moves *pPos (a counter) to the next number that passes its check; false
  // past the end of the range.
  bool StepChecked(std::string* pPos) const;
  // The draw when the history works with a ledger: the ledger holds what
  // every station used, and claims the entry drawn.
  std::string GetUnusedFromLedger(INumberLedger& ledger,
                                  const std::unordered_set<std::string>* pSkip, bool bCheckDigit);
  // The range's counters that the history held when the range was set,
  // sorted, so that a draw jumps over a run of used numbers at once.
  void SnapshotUsedCounters();
  // The first counter from strCounter on that the snapshot does not hold;
  // false past the end of the range.
  bool SkipSnapshotRun(std::string* pCounter) const;

  const CWriteHistory& m_history;
  std::mutex m_mutex;  // guards every member below: contents and the resume point
  bool m_bRange = false;
  std::vector<std::string> m_list;
  std::string m_strInit, m_strMask;
  bool m_bImei = false;
  size_t m_nStars = 0;
  // Where the next draw starts: every entry before it is in the history,
  // which only grows, so it never has to be looked at again.
  size_t m_nNextIndex = 0;
  std::string m_strNextCounter;
  bool m_bRangeUsedUp = false;
  // The same under CHECK_IMEI, where the entries passed may also be ones
  // that fail their check: a resume point of their own, since the box can
  // be unticked between two draws.
  size_t m_nNextCheckedIndex = 0;
  uint64_t m_nNextPrefix = 0;
  bool m_bCheckedUsedUp = false;
  // Counters as numbers: 38 digits fit, a range with more stars draws
  // without the snapshot.
  using Counter = unsigned __int128;
  std::vector<Counter> m_usedCounters;
  // The prefixes of the used numbers that pass their check (checked ranges).
  std::vector<Counter> m_usedPrefixes;
};

// Longest line a list file is read in: a longer line is read in pieces of
// this many characters, each taken as a line of its own.
inline constexpr size_t kMaxListLine = 254;

// Reads a number list file: "#" lines are skipped, line ends removed, each
// line cut after nCut characters and kept when pfnValid accepts it.
std::vector<std::string> ReadNumberList(const std::string& strPath, size_t nCut,
                                        bool (*pfnValid)(const std::string&, int), int nParam);

// The three pools and the IMEIs already handed to the phone being prepared.
// Pools are built by the window thread between runs and drawn from by the
// worker during a run.
class CNumberSources {
 public:
  explicit CNumberSources(const CWriteHistories& histories);

  // By the kind's input type: manual keeps the pool as it is, a list file or a
  // range replaces it. A file that cannot be read, or a range whose initial
  // number and mask CheckInitAndMask refuses, gives an empty pool.
  void LoadImeiPool(const WriterSettings& settings);
  void LoadMbsnPool(const WriterSettings& settings);
  void LoadPsnPool(const WriterSettings& settings);
  void LoadPools(const WriterSettings& settings);

  // Next unused number of each kind, kNoNumber when the pool is used up.
  // The IMEI draw also skips ImeisInUse.
  // With bCheckDigit (CHECK_IMEI) only IMEIs with a correct check digit.
  std::string GetUnusedImei(bool bCheckDigit) {
    return m_ImeiPool.GetUnused(&m_ImeisInUse, bCheckDigit);
  }
  std::string GetUnusedMbsn() { return m_MbsnPool.GetUnused(); }
  std::string GetUnusedPsn() { return m_PsnPool.GetUnused(); }

  // Worker only, while it prepares one phone's IMEIs.
  void ClearImeisInUse() { m_ImeisInUse.clear(); }
  void AddImeiInUse(const std::string& strImei) { m_ImeisInUse.insert(strImei); }

 private:
  CNumberPool m_ImeiPool;
  CNumberPool m_MbsnPool;
  CNumberPool m_PsnPool;
  std::unordered_set<std::string> m_ImeisInUse;
};
