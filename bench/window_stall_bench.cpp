// How long the download tool's window thread goes without turning its event
// loop while eight simulated phones download at full speed: the longest gap
// between ticks of a 2 ms timer on the window thread, less the 2 ms. Every
// row update and sent notification of the eight workers runs on that thread.
// The window draws on the offscreen platform unless QT_QPA_PLATFORM says
// otherwise.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "download_station.h"
#include "quillport/ui/qt/quillport_dlg.h"
#include "sim/sim_phone.h"

namespace {

constexpr int kTickMs = 2;
constexpr int kRunMs = 15000;

// A folder of its own, removed at the end.
struct STempFolder {
  std::string strPath;
  STempFolder() {
    char szTemplate[] = "/tmp/quillport-bench.XXXXXX";
    strPath = mkdtemp(szTemplate) ? szTemplate : "";
  }
  ~STempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(strPath, ec);
  }
};

// About 6 MiB a phone: the loaders and four partition images.
constexpr STestImage kBenchPackage[] = {{"PDL1", "pattern:20k:1"},  {"PDL2", "pattern:70k:2"},
                                        {"modem", "pattern:1M:3"},  {"system", "pattern:4M:4"},
                                        {"boot", "pattern:512k:5"}, {"userdata", "pattern:512k:6"}};

void BM_WindowStallEightPhones(benchmark::State& state) {
  for (auto _ : state) {
    STempFolder base, ports;
    SetUpDownloadStation(base.strPath, ports.strPath);
    WriteStationSettings(base.strPath, {0, 1, 2, 3, 4, 5, 6, 7});
    const std::string strPackage = base.strPath + "/bench_norq_total.bin";
    if (!MakeTestPackage(strPackage, kBenchPackage).empty())
      return state.SkipWithError("no package");

    sim::SFarmOptions farm;
    farm.strPortsDir = ports.strPath;
    farm.nSockets = kPortRows;
    farm.nComBase = 81;
    farm.nPhonesPerSocket = 0;  // a new phone as soon as the last one left
    farm.nReplugDelayMs = 100;
    sim::CPhoneFarm phones(farm);
    if (!phones.Start()) return state.SkipWithError("simulated phones did not start");

    int nPassed = 0;
    qint64 nLongestGap = 0;
    std::vector<qint64> gaps;
    {
      CQuillportDlg window(base.strPath);
      window.Model()->SetPackagePath(strPackage);
      window.show();
      if (!QTest::qWaitForWindowExposed(&window)) return state.SkipWithError("no window");
      window.findChild<QPushButton*>(QStringLiteral("startAll"))->click();

      QElapsedTimer clock;
      QTimer ticker;
      ticker.setTimerType(Qt::PreciseTimer);
      qint64 nLast = 0;
      QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 nNow = clock.nsecsElapsed();
        if (nLast > 0) gaps.push_back(nNow - nLast);
        nLast = nNow;
      });
      clock.start();
      ticker.start(kTickMs);
      QTest::qWait(kRunMs);
      ticker.stop();
      for (const SRowView& row : window.Model()->View().rows) nPassed += row.nPassed;
      window.close();
    }
    phones.Stop();
    unsetenv("PHONE_PORTS_DIR");
    if (gaps.empty()) return state.SkipWithError("the timer never ticked");
    std::sort(gaps.begin(), gaps.end());
    nLongestGap = gaps.back();
    const double dTick = kTickMs * 1e6;
    state.counters["max_stall_ms"] =
        std::max(0.0, (static_cast<double>(nLongestGap) - dTick) / 1e6);
    state.counters["p99_stall_ms"] =
        std::max(0.0, (static_cast<double>(gaps[gaps.size() * 99 / 100]) - dTick) / 1e6);
    state.counters["phones_passed"] = nPassed;
    state.counters["run_s"] = kRunMs / 1000.0;
  }
}
BENCHMARK(BM_WindowStallEightPhones)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
