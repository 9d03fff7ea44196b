#include "tavlo/numbers/number_pool.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "common/message_queue.h"
#include "common/text.h"
#include "platform/append_file.h"
#include "tavlo/numbers/number_checks.h"

void CNumberPool::SetList(std::vector<std::string> entries) {
  std::lock_guard lock(m_mutex);
  m_bRange = false;
  m_list = std::move(entries);
  m_nNextIndex = 0;
  m_nNextCheckedIndex = 0;
  m_usedCounters.clear();
  m_usedPrefixes.clear();
}

void CNumberPool::SetRange(std::string strInit, std::string strMask, bool bImei) {
  std::lock_guard lock(m_mutex);
  m_bRange = true;
  m_list.clear();
  m_bImei = bImei;
  m_nStars = static_cast<size_t>(std::count(strMask.begin(), strMask.end(), '*'));
  m_strNextCounter.assign(m_nStars, '0');
  m_strInit = std::move(strInit);
  m_strMask = std::move(strMask);
  m_bRangeUsedUp = false;
  m_nNextPrefix = 0;
  m_bCheckedUsedUp = false;
  SnapshotUsedCounters();
}

namespace {

constexpr size_t kMaxCounterDigits = 38;

template <typename Counter>
Counter CounterValue(std::string_view digits) {
  Counter n = 0;
  for (char c : digits) n = n * 10 + static_cast<unsigned>(c - '0');
  return n;
}

template <typename Counter>
void CounterText(Counter n, std::string* pCounter) {
  for (auto it = pCounter->rbegin(); it != pCounter->rend(); ++it, n /= 10) {
    *it = static_cast<char>('0' + static_cast<int>(n % 10));
  }
}

// In a sorted, duplicate-free vector holding value at first: the last
// entry of the run of consecutive values that starts there (in a run,
// value minus position stays the same).
template <typename Counter>
typename std::vector<Counter>::const_iterator RunLast(
    const std::vector<Counter>& used, typename std::vector<Counter>::const_iterator first) {
  const auto offset = [&](auto it) { return *it - static_cast<Counter>(it - used.begin()); };
  const Counter runKey = offset(first);
  auto lo = first, hi = used.end();  // the run's last entry is in [lo, hi)
  while (hi - lo > 1) {
    const auto mid = lo + (hi - lo) / 2;
    if (offset(mid) == runKey) {
      lo = mid;
    } else {
      hi = mid;
    }
  }
  return lo;
}

}  // namespace

void CNumberPool::SnapshotUsedCounters() {
  m_usedCounters.clear();
  m_usedPrefixes.clear();
  const size_t nStars = m_strNextCounter.size();
  if (nStars == 0 || nStars > kMaxCounterDigits) return;
  const size_t nLength = Candidate(m_strNextCounter).size();
  std::string counter(nStars, '0');
  m_history.ForEachNumber([&](std::string_view number) {
    if (number.size() != nLength) return;
    size_t next = 0;
    for (size_t i = 0; i < m_strMask.size(); ++i) {
      if (m_strMask[i] != '*') {
        if (number[i] != m_strInit[i]) return;  // a fixed digit differs
      } else if (next < nStars) {
        if (number[i] < '0' || number[i] > '9') return;
        counter[next++] = number[i];
      }
    }
    // The whole candidate, check digit included, must be the number.
    if (Candidate(counter) != number) return;
    m_usedCounters.push_back(CounterValue<Counter>(counter));
    if (IsCheckedRange(true) && IsImeiCheckDigitOk(std::string(number)))
      m_usedPrefixes.push_back(CounterValue<Counter>(counter) / 10);
  });
  for (std::vector<Counter>* pUsed : {&m_usedCounters, &m_usedPrefixes}) {
    std::sort(pUsed->begin(), pUsed->end());
    pUsed->erase(std::unique(pUsed->begin(), pUsed->end()), pUsed->end());
  }
}

bool CNumberPool::SkipSnapshotRun(std::string* pCounter) const {
  const Counter value = CounterValue<Counter>(*pCounter);
  const auto first = std::lower_bound(m_usedCounters.begin(), m_usedCounters.end(), value);
  if (first == m_usedCounters.end() || *first != value) return true;
  CounterText(*RunLast(m_usedCounters, first), pCounter);
  return IncrementCounter(pCounter);
}

std::string CNumberPool::CheckedCounter(uint64_t nPrefix) const {
  std::string counter(m_nStars, '0');
  CounterText(Counter{nPrefix} * 10, &counter);
  for (char d = '0'; d <= '9'; ++d) {
    counter.back() = d;
    if (IsImeiCheckDigitOk(Candidate(counter))) break;
  }
  return counter;
}

uint64_t CNumberPool::CheckedPrefixes() const {
  uint64_t n = 1;
  for (size_t i = 1; i < m_nStars; ++i) n *= 10;
  return n;
}

bool CNumberPool::StepChecked(std::string* pPos) const {
  const Counter value = CounterValue<Counter>(*pPos);
  const auto nPrefix = static_cast<uint64_t>(value / 10);
  // A position that fails its check (the first of the range, or a cursor
  // another station left) steps to its own prefix's number when that one
  // lies ahead of it.
  std::string next = CheckedCounter(nPrefix);
  if (CounterValue<Counter>(next) <= value) {
    if (nPrefix + 1 >= CheckedPrefixes()) return false;
    next = CheckedCounter(nPrefix + 1);
  }
  *pPos = std::move(next);
  return true;
}

std::string CNumberPool::Candidate(const std::string& strCounter) const {
  return m_bImei ? MergeImei(m_strInit, m_strMask, strCounter)
                 : MergeMbsn(m_strInit, m_strMask, strCounter);
}

std::string CNumberPool::GetUnused(const std::unordered_set<std::string>* pSkip, bool bCheckDigit) {
  std::lock_guard lock(m_mutex);
  const bool bCheck = bCheckDigit;  // passed for IMEI pools only
  if (INumberLedger* pLedger = m_history.Ledger())
    return GetUnusedFromLedger(*pLedger, pSkip, bCheck);
  // Entries skipped only for pSkip may be free for the next draw, so the
  // resume point moves only across entries the history holds.
  bool bAllUsedSoFar = true;
  auto isFree = [&](const std::string& candidate) {
    const bool bInHistory = m_history.Contains(candidate);
    if (bInHistory) return false;
    bAllUsedSoFar = false;
    return (!pSkip || pSkip->count(candidate) == 0) && (!bCheck || IsImeiCheckDigitOk(candidate));
  };

  if (!m_bRange) {
    // Under CHECK_IMEI the resume point also passes entries failing their
    // check; everything before the other one is in the history.
    size_t& nNext = bCheck ? m_nNextCheckedIndex : m_nNextIndex;
    for (size_t i = std::max(nNext, m_nNextIndex); i < m_list.size(); ++i) {
      if ((!bCheck || IsImeiCheckDigitOk(m_list[i])) && isFree(m_list[i])) return m_list[i];
      if (bAllUsedSoFar) nNext = i + 1;
    }
    return kNoNumber;
  }

  if (IsCheckedRange(bCheck)) {
    if (m_bCheckedUsedUp) return kNoNumber;
    const uint64_t nPrefixes = CheckedPrefixes();
    // Every counter before the unchecked resume point is in the history.
    const auto nUnchecked = static_cast<uint64_t>(CounterValue<Counter>(m_strNextCounter) / 10);
    for (uint64_t nPrefix = std::max(m_nNextPrefix, nUnchecked);;) {
      const auto first = std::lower_bound(m_usedPrefixes.begin(), m_usedPrefixes.end(), nPrefix);
      if (first != m_usedPrefixes.end() && *first == nPrefix)
        nPrefix = static_cast<uint64_t>(*RunLast(m_usedPrefixes, first)) + 1;
      if (nPrefix >= nPrefixes) {
        if (bAllUsedSoFar) m_bCheckedUsedUp = true;
        return kNoNumber;
      }
      if (bAllUsedSoFar) m_nNextPrefix = nPrefix;
      std::string candidate = Candidate(CheckedCounter(nPrefix));
      if (isFree(candidate)) return candidate;
      ++nPrefix;
      if (bAllUsedSoFar) m_nNextPrefix = nPrefix;
    }
  }

  if (m_bRangeUsedUp) return kNoNumber;
  // Range candidates are all different, so this loop passes at most one
  // candidate per history entry and per skipped entry before it returns.
  std::string counter = m_strNextCounter;
  for (;;) {
    if (!SkipSnapshotRun(&counter)) {
      if (bAllUsedSoFar) m_bRangeUsedUp = true;
      return kNoNumber;
    }
    if (bAllUsedSoFar) m_strNextCounter = counter;
    std::string candidate = Candidate(counter);
    if (isFree(candidate)) return candidate;
    if (!IncrementCounter(&counter)) {
      if (bAllUsedSoFar) m_bRangeUsedUp = true;
      return kNoNumber;
    }
    if (bAllUsedSoFar) m_strNextCounter = counter;
  }
}

namespace {

// Names a list by its contents, so that stations given the same list file
// share one cursor in the ledger, wherever the file lies.
std::string ListSource(const std::vector<std::string>& entries) {
  uint64_t nHash = 14695981039346656037ULL;  // FNV-1a: stable across builds and hosts
  for (const std::string& e : entries) {
    for (char c : e + "\n") nHash = (nHash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
  }
  return "list:" + std::to_string(entries.size()) + ":" + std::to_string(nHash);
}

}  // namespace

std::string CNumberPool::GetUnusedFromLedger(INumberLedger& ledger,
                                             const std::unordered_set<std::string>* pSkip,
                                             bool bCheckDigit) {
  SLedgerWalk walk;
  walk.fnSkip = [&](const std::string& s) {
    return m_history.Contains(s) || (pSkip && pSkip->count(s) != 0) ||
           (bCheckDigit && !IsImeiCheckDigitOk(s));
  };
  if (!m_bRange) {
    if (m_list.empty()) return kNoNumber;
    walk.strSource = ListSource(m_list);
    walk.strFirst = "0";
    walk.fnStep = [&](std::string* pPos) {
      const size_t nNext = std::stoul(*pPos) + 1;
      if (nNext >= m_list.size()) return false;
      *pPos = std::to_string(nNext);
      return true;
    };
    walk.fnEntry = [&](const std::string& pos) { return m_list[std::stoul(pos)]; };
    walk.fnIsPosition = [&](const std::string& pos) {
      if (pos.empty() || pos.size() > 19 || (pos.size() > 1 && pos[0] == '0')) return false;
      if (!std::all_of(pos.begin(), pos.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
      return std::stoull(pos) < m_list.size();
    };
  } else {
    walk.strSource = "range:" + m_strInit + ":" + m_strMask;
    walk.strFirst.assign(std::count(m_strMask.begin(), m_strMask.end(), '*'), '0');
    walk.fnStep = [](std::string* pPos) { return IncrementCounter(pPos); };
    walk.fnEntry = [&](const std::string& pos) { return Candidate(pos); };
    walk.fnIsPosition = [nDigits = walk.strFirst.size()](const std::string& pos) {
      return pos.size() == nDigits &&
             std::all_of(pos.begin(), pos.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    // Counters fill the stars left to right: candidates sort as texts in
    // counter order, all of one length.
    if (IsCheckedRange(bCheckDigit)) {
      // Only the numbers that pass their check are entries of the walk; the
      // cursor stays a counter, shared with unchecked stations. No stretch
      // counting: the ledger may hold numbers between two entries that fail
      // their check (imported, or written with the check off), which would
      // make a stretch with free entries look full. Used stretches are
      // passed a batch of entries at a time instead.
      walk.fnStep = [this](std::string* pPos) { return StepChecked(pPos); };
    } else if (walk.strFirst.size() <= kMaxCounterDigits) {
      walk.fnAdvance = [](std::string* pPos, uint64_t n) {
        Counter limit = 1;
        for (size_t i = 0; i < pPos->size(); ++i) limit *= 10;
        const Counter value = CounterValue<Counter>(*pPos) + n;
        if (value >= limit) return false;
        CounterText(value, pPos);
        return true;
      };
    }
  }
  std::string strError;
  const std::optional<std::string> drawn = ledger.Draw(m_history.Kind(), walk, &strError);
  if (!drawn) {
    std::fprintf(stderr, "tavlo: ledger: %s\n", strError.c_str());
    return kNoLedger;
  }
  return drawn->empty() ? kNoNumber : *drawn;
}

std::vector<std::string> ReadNumberList(const std::string& strPath, size_t nCut,
                                        bool (*pfnValid)(const std::string&, int), int nParam) {
  std::vector<std::string> numbers;
  // A FIFO or a device in the list's place would hold the window in the
  // open; Start refuses such a list with its own message.
  if (!platform::IsRegularFile(strPath)) return numbers;
  std::ifstream in(strPath, std::ios::binary);
  std::string line;
  // Lines were always read into a 256-byte buffer; reading them so also keeps
  // a file without line breaks from being held whole.
  while (ReadLineBounded(in, kMaxListLine, ELongLine::kSplit, &line)) {
    DispatchOnePending();
    // Line ends are no part of a number; left in, they would pass the length test.
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    if (!line.empty() && line[0] == '#') continue;
    if (line.size() > nCut) line.resize(nCut);
    if (pfnValid(line, nParam)) numbers.push_back(line);
  }
  return numbers;
}

namespace {

bool IsImeiLine(const std::string& s, int) {
  return IsImeiDigits(s);
}

void LoadPool(CNumberPool* pPool, InputType type, const std::string& strFile,
              const std::string& strInit, const std::string& strMask, int nLength, bool bImei) {
  if (type == INPUT_FROM_FILE) {
    pPool->SetList(
        bImei ? ReadNumberList(strFile, kImeiLength, IsImeiLine, 0)
              : ReadNumberList(strFile, static_cast<size_t>(nLength), IsValidMbsn, nLength));
  } else if (type == INPUT_CUSTOM) {
    // A pair the Setup dialog would refuse (hand-edited settings) could index
    // past the initial number or yield invalid IMEIs.
    if (CheckInitAndMask(strInit, strMask, bImei, nLength) == kInitMaskOk) {
      pPool->SetRange(strInit, strMask, bImei);
    } else {
      pPool->Clear();
    }
  }
}

}  // namespace

CNumberSources::CNumberSources(const CWriteHistories& histories)
    : m_ImeiPool(histories.ImeiHistory()),
      m_MbsnPool(histories.MbsnHistory()),
      m_PsnPool(histories.PsnHistory()) {}

void CNumberSources::LoadImeiPool(const WriterSettings& s) {
  const bool b14 = s.m_bImei14Digits;
  LoadPool(&m_ImeiPool, s.m_nImeiInputType, s.m_strImeiFile,
           b14 ? s.m_strImeiInit14 : s.m_strImeiInit15, b14 ? s.m_strImeiMask14 : s.m_strImeiMask15,
           b14 ? 14 : 15, true);
}

void CNumberSources::LoadMbsnPool(const WriterSettings& s) {
  LoadPool(&m_MbsnPool, s.m_nMbsnInputType, s.m_strMbsnFile, s.m_strMbsnInit, s.m_strMbsnMask,
           s.m_nMbsnLength, false);
}

void CNumberSources::LoadPsnPool(const WriterSettings& s) {
  LoadPool(&m_PsnPool, s.m_nPsnInputType, s.m_strPsnFile, s.m_strPsnInit, s.m_strPsnMask,
           s.m_nPsnLength, false);
}

void CNumberSources::LoadPools(const WriterSettings& s) {
  LoadImeiPool(s);
  LoadMbsnPool(s);
  LoadPsnPool(s);
}
