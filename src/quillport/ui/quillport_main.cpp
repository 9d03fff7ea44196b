// quillport: the multi-port download tool. It opens its window; with
// --headless it runs the eight port rows from the console instead, for
// unattended stations and demonstrations.

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <utility>
#include <vector>

#include "common/command_line.h"
#include "common/phone_records.h"
#include "common/program_options.h"
#include "platform/stop_signals.h"
#include "quillport/ui/console_front_end.h"
#include "quillport/ui/quillport_program.h"
#include "quillport/ui/startup.h"
#include "quillport/ui/window_model.h"
#include "serial/port_watcher.h"
#include "sim/simulated_phones.h"

#if defined(_WIN32)
#include "gui/win32/console.h"
#endif

namespace {

// Upper bound of one pass of the console loop: the terminal's timers redraw.
constexpr int kRedrawMs = 250;

// "1,3,5-8" -> the row indexes 0..7; false on anything else.
bool ParseRows(const std::string& strRows, std::vector<int>* pRows) {
  std::stringstream in(strRows);
  for (std::string item; std::getline(in, item, ',');) {
    int a = 0, b = 0;
    char dash = 0;
    std::stringstream one(item);
    if (!(one >> a)) return false;
    b = a;
    if (one >> dash && (dash != '-' || !(one >> b))) return false;
    if (a < 1 || b > kPortRows || a > b) return false;
    for (int r = a; r <= b; ++r) pRows->push_back(r - 1);
  }
  return !pRows->empty();
}

// "3=COM5,1=None" -> (row index, PORTNB) pairs; false on anything else.
bool ParsePins(const std::string& strPins, std::vector<std::pair<int, std::string>>* pPins) {
  std::stringstream in(strPins);
  for (std::string item; std::getline(in, item, ',');) {
    const size_t nEq = item.find('=');
    if (nEq == std::string::npos) return false;
    const std::string strRow = item.substr(0, nEq), strPort = item.substr(nEq + 1);
    if (strRow.size() != 1 || strRow[0] < '1' || strRow[0] > '0' + kPortRows) return false;
    if (strPort != "None" && PinnedComNumber(strPort) <= 0) return false;
    pPins->emplace_back(strRow[0] - '1', strPort);
  }
  return !pPins->empty();
}

// The outcomes of each row's first --count phones. A row that got there
// first goes on serving until every row has: those later phones, cut short
// by the stop, do not count.
struct STally {
  std::array<int, kPortRows> nPassed{}, nFailed{}, nStopped{};
  std::array<bool, kPortRows> bDone{};

  // True once every row has its count.
  bool Update(const SWindowView& view, const std::vector<int>& rows, int nCount) {
    bool bAll = true;
    for (int r : rows) {
      if (!bDone[r]) {
        nPassed[r] = view.rows[r].nPassed;
        nFailed[r] = view.rows[r].nFailed;
        nStopped[r] = view.rows[r].nStopped;
        bDone[r] = nCount > 0 && nPassed[r] + nFailed[r] >= nCount;
      }
      bAll = bAll && bDone[r];
    }
    return bAll;
  }
};

}  // namespace

std::vector<int> PresetWindow(CQuillportWindow& window, const SQuillportOptions& opt) {
  if (!opt.strPackage.empty()) window.SetPackagePath(opt.strPackage);
  if (opt.nTimeout > 0) window.SetTimeoutText(std::to_string(opt.nTimeout));
  std::vector<std::pair<int, std::string>> pins;
  if (!opt.strPins.empty() && ParsePins(opt.strPins, &pins)) {
    for (const auto& [nRow, strPort] : pins) window.SetPortPin(nRow, strPort);
  }
  std::vector<int> rows;
  if (!opt.strRows.empty()) {
    ParseRows(opt.strRows, &rows);
    for (int r = 0; r < kPortRows; ++r) {
      window.OnPortCheck(r, std::find(rows.begin(), rows.end(), r) != rows.end());
    }
  } else {
    for (int r = 0; r < kPortRows; ++r) {
      if (window.View().rows[r].bChecked) rows.push_back(r);
    }
    if (rows.empty() && opt.nSimulate > 0) {
      for (int r = 0; r < std::min(opt.nSimulate, kPortRows); ++r) {
        window.OnPortCheck(r, true);
        rows.push_back(r);
      }
    }
  }
  return rows;
}

namespace {

int RunHeadless(const SQuillportOptions& opt, const std::string& strProgram,
                platform::WaitHandle sigFd) {
  // Simulated phones first, so that discovery sees their folder.
  CSimulatedPhones simulation;
  if (!simulation.Start("quillport", opt.nSimulate)) return kExitFailed;

  SQuillportStart start;
  if (!StartQuillport(strProgram, &start)) {
    std::fprintf(stderr, "quillport: another copy of %s is running\n", strProgram.c_str());
    return kExitFailed;
  }

  CMessageQueue queue;
  CQueueBinding binding(queue);
  CConsoleFrontEnd console(stdout, isatty(STDOUT_FILENO) != 0, opt.bJson);
  CRecordWriter* pRecords = PhoneRecords();
  if (opt.bJson && pRecords) {
    // Written on the records' thread, told on this one, in order with the rows.
    pRecords->SetListener([&queue, &console](const std::string& strRecord) {
      queue.PostTask([&console, strRecord] { console.PhoneRecord(strRecord); });
    });
  }
  CQuillportWindow window(console, queue, start.strBase);
  console.SetView(&window.View());
  const std::vector<int> rows = PresetWindow(window, opt);

  bool bStarted = false;
  STally tally;
  {
    CPortWatcher watcher([&queue, &window](bool bArrived, const std::string& strCom) {
      queue.PostTask([&window, bArrived, strCom] { window.OnDeviceChange(bArrived, strCom); });
    });
    window.OnStartAll();
    bStarted = window.View().bStopAllEnabled;
    while (bStarted) {
      console.Render(window.View());
      if (tally.Update(window.View(), rows, opt.nCount)) break;
      const platform::WaitHandle wakes[2] = {queue.WakeHandle(), sigFd};
      if (platform::WaitAny(wakes, kRedrawMs) == 1) {
        // A stopped run ends at once, even with a records' server that does
        // not answer.
        if (pRecords) pRecords->Hurry();
        break;
      }
      while (DispatchOnePending()) {
      }
    }
    if (bStarted) window.OnStopAll();
    // The workers posted their rows' last notifications before they went idle.
    while (DispatchOnePending()) {
    }
    // The watcher goes first: its callbacks post to the window.
  }
  console.Render(window.View(), true);
  if (pRecords) {
    // Every phone's record is in its file, and told, before the summary.
    pRecords->Flush();
    pRecords->SetListener(nullptr);
    while (DispatchOnePending()) {
    }
  }

  tally.Update(window.View(), rows, opt.nCount);  // without --count: everything served
  int nPassed = 0, nFailed = 0, nStopped = 0;
  for (int r : rows) {
    nPassed += tally.nPassed[r];
    nFailed += tally.nFailed[r];
    nStopped += tally.nStopped[r];
  }
  // A phone cut short was not flashed: only a station where every phone
  // that started has passed is clean.
  const int nExit = bStarted && nFailed == 0 && nStopped == 0 ? kExitPassed : kExitFailed;
  console.Summary(nPassed, nFailed, nStopped, nExit);
  return nExit;
}

}  // namespace

int main(int argc, char** argv) {
#if defined(_WIN32)
  // A GUI program: --help, usage errors and --headless write to the console
  // it was started from.
  gui::win32::AttachParentConsole();
#endif
  // SIGINT and SIGTERM act as "Stop all" (close the window), from the first
  // moment: blocked before any thread starts (the simulated phones', the
  // toolkit's), so that none of them takes one by its default action and an
  // early signal waits, pending, until the rows can stop.
  const platform::WaitHandle sigFd = platform::BlockStopSignals();
  CLI::App app{"Norq multi-port download tool"};
  AddVersionFlag(app, "quillport");
  CStationOption station(app, "quillport");
  SQuillportOptions opt;
  app.add_flag("--headless", opt.bHeadless, "run the eight port rows from the console");
  app.add_flag("--json", opt.bJson,
               "with --headless: one JSON object per line and event on standard output");
  app.add_option("--package", opt.strPackage,
                 "firmware package (*_norq_total.bin); default: IMG_PATH of ini/filelist.ini");
  app.add_option("--rows", opt.strRows,
                 "rows to serve, e.g. 1,2,5-8; default: the rows ticked in ini/download.ini");
  app.add_option("--pin", opt.strPins,
                 "pin rows to ports, e.g. 1=COM7,2=COM5 (None frees a row); default: PORTNB of "
                 "ini/download.ini");
  app.add_option("--count", opt.nCount,
                 "stop all after N phones per row, passed or failed; default: until SIGINT/SIGTERM")
      ->check(CLI::PositiveNumber);
  app.add_option("--simulate", opt.nSimulate,
                 "serve N simulated phones in continuous mode in a private ports folder")
      ->check(CLI::Range(1, 64));
  std::vector<std::string> timeouts;
  for (int t : CQuillportWindow::kTimeouts) timeouts.push_back(std::to_string(t));
  std::string strTimeouts;  // in the text, where it can wrap, not in one long type name
  for (const std::string& t : timeouts) strTimeouts += (strTimeouts.empty() ? "" : ", ") + t;
  app.add_option("--timeout", opt.nTimeout, "acknowledgement time-out in ms: " + strTimeouts)
      ->check(CLI::IsMember(timeouts).description(""))
      ->type_name("MS");
  app.footer(
      "Exit status (--headless): 0 when every phone that was started passed; 1 when a phone "
      "failed or was cut short by SIGINT/SIGTERM, or the run could not start; 2 for bad usage.");
  if (const int rc = ParseCommandLine(app, opt.strLang, kExitUsage, argc, argv); rc >= 0) return rc;
  if (!station.Enter()) return kExitFailed;
  std::vector<int> rows;
  if (!opt.strRows.empty() && !ParseRows(opt.strRows, &rows)) {
    std::fprintf(stderr, "quillport: --rows: expected row numbers 1..8 such as 1,2,5-8\n");
    return kExitUsage;
  }
  std::vector<std::pair<int, std::string>> pins;
  if (!opt.strPins.empty() && !ParsePins(opt.strPins, &pins)) {
    std::fprintf(stderr, "quillport: --pin: expected ROW=COMn pairs such as 1=COM7,2=COM5\n");
    return kExitUsage;
  }
  const std::string strProgram = std::filesystem::path(argv[0]).stem().string();
  if (opt.bHeadless) return RunHeadless(opt, strProgram, sigFd);
  return RunWindow(opt, strProgram, sigFd, argc, argv);
}
