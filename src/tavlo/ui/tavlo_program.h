#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>

#include "platform/wait_handle.h"
#include "tavlo/ui/writer_window.h"

// The tavlo program's parts that its console and window front ends share.
// The window front end and the simulated phones are chosen by the build: a
// build without Qt or without the simulator says so when asked for them.

constexpr int kExitWritten = 0, kExitFailed = 1, kExitUsage = 2;

struct STavloOptions {
  bool bHeadless = false;
  bool bJson = false;    // --json: the headless console speaks JSON lines
  bool bRework = false;  // typed numbers already written are written again, as rework
  std::array<std::optional<std::string>, 4> imei;
  std::optional<std::string> mbsn, psn, lcdName, lcdType, ddr;
  int nCount = 0;  // 0: as long as the run goes on
  int nSimulate = 0;
  std::string strLang;
};

// Ticks the write box of the one kind typed in; false, with *pError, when the
// options cannot be what the window would do.
bool ApplyTypedNumbers(const STavloOptions& opt, const WriterSettings& settings,
                       CTavloWindow& window, std::string* pError);

// The current folder: the station's base folder.
std::string CurrentFolder();

// Runs the writer's window until it closes; returns the exit status.
// SIGINT and SIGTERM arrive on sigFd (platform::BlockStopSignals, taken in
// main's first lines, before any thread starts).
int RunWindow(const STavloOptions& opt, const std::string& strProgram, platform::WaitHandle sigFd,
              int& argc, char** argv);
