// The writer's number bookkeeping at factory scale: a history of a million
// lines loaded at start-up, a pool from an all-star mask, and the next
// unused number drawn when a million numbers are already used.

#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "tavlo/numbers/number_checks.h"
#include "tavlo/numbers/number_pool.h"
#include "tavlo/settings/write_history.h"

namespace {

constexpr int kUsed = 1000000;

// A base folder whose IMEI history holds kUsed lines: the first kUsed numbers
// of the all-star range, in the order a generator run writes them.
class CBigHistory {
 public:
  CBigHistory() {
    char tmpl[] = "/tmp/numbers-bench.XXXXXX";
    m_strBase = mkdtemp(tmpl);
    std::filesystem::create_directories(m_strBase + "/data");
    std::ofstream out(m_strBase + "/data/wimei.history", std::ios::binary);
    char line[64];
    for (int n = 0; n < kUsed; ++n) {
      std::snprintf(line, sizeof line, "2026-12-09_08:00:00\t%015d\n", n);
      out << line;
    }
  }
  ~CBigHistory() {
    std::error_code ec;
    std::filesystem::remove_all(m_strBase, ec);
  }
  const std::string& Base() const { return m_strBase; }

 private:
  std::string m_strBase;
};

const CBigHistory& BigHistory() {
  static const CBigHistory history;
  return history;
}

void BM_LoadHistoryOfAMillionLines(benchmark::State& state) {
  for (auto _ : state) {
    CWriteHistories histories(BigHistory().Base());
    histories.LoadHistory(HistoryKind::Imei);
    benchmark::DoNotOptimize(histories.IsImeiUsed("000000000000001"));
  }
  state.SetItemsProcessed(state.iterations() * kUsed);
}
BENCHMARK(BM_LoadHistoryOfAMillionLines)->Unit(benchmark::kMillisecond);

// The least a load can cost: one getline pass over the same file, keeping
// nothing. The load is measured against it.
void BM_GetlinePassOverTheSameFile(benchmark::State& state) {
  for (auto _ : state) {
    std::ifstream in(BigHistory().Base() + "/data/wimei.history", std::ios::binary);
    std::string line;
    size_t nLines = 0;
    while (std::getline(in, line)) nLines += !line.empty();
    if (nLines != kUsed) state.SkipWithError("wrong line count");
    benchmark::DoNotOptimize(nLines);
  }
  state.SetItemsProcessed(state.iterations() * kUsed);
}
BENCHMARK(BM_GetlinePassOverTheSameFile)->Unit(benchmark::kMillisecond);

size_t HeapBytesInUse() {
  return mallinfo2().uordblks;
}

void BM_PoolFromAllStarMask(benchmark::State& state) {
  const int nStars = static_cast<int>(state.range(0));
  CWriteHistories histories("/nonexistent");
  CNumberSources sources(histories);
  WriterSettings settings;
  settings.m_bWriteMbsn = true;
  settings.m_nMbsnInputType = INPUT_CUSTOM;
  settings.m_nMbsnLength = nStars;
  settings.m_strMbsnInit = std::string(static_cast<size_t>(nStars), '0');
  settings.m_strMbsnMask = std::string(static_cast<size_t>(nStars), '*');
  // What the built pool holds on the heap, after its first draw: the same
  // for every number of stars when the range is walked lazily.
  const size_t nBefore = HeapBytesInUse();
  sources.LoadMbsnPool(settings);
  benchmark::DoNotOptimize(sources.GetUnusedMbsn());
  const size_t nHeld = HeapBytesInUse() - nBefore;
  for (auto _ : state) {
    sources.LoadMbsnPool(settings);
    benchmark::DoNotOptimize(sources.GetUnusedMbsn());
  }
  state.counters["pool_bytes"] = static_cast<double>(nHeld);
}
BENCHMARK(BM_PoolFromAllStarMask)->Arg(15)->Arg(16)->Arg(20)->Unit(benchmark::kMicrosecond);

// Building the range takes a sorted snapshot of the used numbers that fit
// it; the first draw then jumps over the run of a million used ones, and the
// draws after it start where the last one stopped.
void BM_BuildRangeOverAMillionUsed(benchmark::State& state) {
  CWriteHistories histories(BigHistory().Base());
  histories.LoadHistory(HistoryKind::Imei);
  CNumberPool pool(histories.ImeiHistory());
  for (auto _ : state) {
    pool.SetRange(std::string(kImeiLength, '0'), std::string(kImeiLength, '*'), true);
  }
}
BENCHMARK(BM_BuildRangeOverAMillionUsed)->Unit(benchmark::kMillisecond);

void BM_FirstDrawPastAMillionUsed(benchmark::State& state) {
  CWriteHistories histories(BigHistory().Base());
  histories.LoadHistory(HistoryKind::Imei);
  CNumberPool pool(histories.ImeiHistory());
  for (auto _ : state) {
    state.PauseTiming();
    pool.SetRange(std::string(kImeiLength, '0'), std::string(kImeiLength, '*'), true);
    state.ResumeTiming();
    const std::string strNumber = pool.GetUnused();
    if (strNumber != "000000001000000") state.SkipWithError("wrong number drawn");
  }
}
BENCHMARK(BM_FirstDrawPastAMillionUsed)->Unit(benchmark::kMicrosecond)->Iterations(20);

void BM_NextDrawWithAMillionUsed(benchmark::State& state) {
  CWriteHistories histories(BigHistory().Base());
  histories.LoadHistory(HistoryKind::Imei);
  CNumberPool pool(histories.ImeiHistory());
  pool.SetRange(std::string(kImeiLength, '0'), std::string(kImeiLength, '*'), true);
  benchmark::DoNotOptimize(pool.GetUnused());
  for (auto _ : state) {
    // Each draw's number counts as used, as once written into a phone.
    const std::string strNumber = pool.GetUnused();
    state.PauseTiming();
    histories.AppendHistory(HistoryKind::Imei, strNumber, "2026-12-09_08:00:00");
    state.ResumeTiming();
  }
}
BENCHMARK(BM_NextDrawWithAMillionUsed)->Unit(benchmark::kMicrosecond)->Iterations(2000);

}  // namespace

BENCHMARK_MAIN();
