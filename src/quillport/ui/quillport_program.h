#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/wait_handle.h"
#include "quillport/ui/window_model.h"

// The quillport program's parts that its console and window front ends
// share. The window front end and the simulated phones are chosen by the
// build: a build without Qt or without the simulator says so when asked
// for them.

constexpr int kExitPassed = 0, kExitFailed = 1, kExitUsage = 2;

struct SQuillportOptions {
  bool bHeadless = false;
  bool bJson = false;  // --json: the headless console speaks JSON lines
  std::string strPackage;
  std::string strRows;
  std::string strPins;  // "3=COM5,1=COM7": PORTNB of those rows
  int nCount = 0;  // 0: until SIGINT or SIGTERM
  int nSimulate = 0;
  int nTimeout = 0;
  std::string strLang;
};

// The options that preset the window: package, time-out, pins and rows
// (--rows, else the ticked rows, else as many rows as simulated phones).
// Returns the rows in use.
std::vector<int> PresetWindow(CQuillportWindow& window, const SQuillportOptions& opt);

// Runs the download window until it closes; returns the exit status.
// SIGINT and SIGTERM arrive on sigFd (platform::BlockStopSignals, taken in
// main's first lines, before any thread starts).
int RunWindow(const SQuillportOptions& opt, const std::string& strProgram,
              platform::WaitHandle sigFd, int& argc, char** argv);
