// tavlo: the IMEI and serial-number writer. It opens its window; with
// --headless it runs one write run from the console instead, as the window's
// Start would, for unattended stations and demonstrations.

#include <limits.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <array>
#include <cstdio>
#include <filesystem>
#include <optional>

#include "common/command_line.h"
#include "common/phone_records.h"
#include "common/program_options.h"
#if defined(_WIN32)
#include "gui/win32/console.h"
#endif
#include "platform/stop_signals.h"
#include "sim/simulated_phones.h"
#include "tavlo/ui/console_front_end.h"
#include "tavlo/ui/startup.h"
#include "tavlo/ui/tavlo_program.h"
#include "tavlo/ui/writer_texts.h"
#include "tavlo/ui/writer_window.h"

namespace {

// Upper bound of one pass of the console loop.
constexpr int kPassMs = 250;

}  // namespace

bool ApplyTypedNumbers(const STavloOptions& opt, const WriterSettings& settings,
                       CTavloWindow& window, std::string* pError) {
  bool bImei = false;
  for (const auto& imei : opt.imei) bImei = bImei || imei.has_value();
  const int nKinds = int{bImei} + int{opt.mbsn.has_value()} + int{opt.psn.has_value()};
  if (nKinds > 1) {
    *pError = "IMEI, MBSN and PSN are written one kind per run: type only one of them";
    return false;
  }
  struct SKind {
    bool bTyped;
    InputType eType;
    const char* pszName;
  };
  for (const SKind& kind : {SKind{bImei, settings.m_nImeiInputType, "IMEI"},
                            SKind{opt.mbsn.has_value(), settings.m_nMbsnInputType, "MBSN"},
                            SKind{opt.psn.has_value(), settings.m_nPsnInputType, "PSN"}}) {
    if (kind.bTyped && kind.eType != INPUT_MANUAL) {
      *pError = std::string(kind.pszName) +
                " numbers come from a list or the generator in ini/wimei.ini (INPUTTYPE), "
                "not from typing";
      return false;
    }
  }
  if (bImei) {
    window.OnCheckImei(true);
    for (size_t i = 0; i < opt.imei.size(); ++i) {
      if (opt.imei[i]) window.SetFieldText(ImeiField(static_cast<int>(i)), *opt.imei[i]);
    }
  }
  if (opt.mbsn) {
    window.OnCheckMbsn(true);
    window.SetFieldText(ENumberField::Mbsn, *opt.mbsn);
  }
  if (opt.psn) {
    window.OnCheckPsn(true);
    window.SetFieldText(ENumberField::Psn, *opt.psn);
  }
  if (opt.lcdName) {
    window.OnCheckLcdName(true);
    window.SetLcdName(*opt.lcdName);
  }
  if (opt.lcdType) {
    for (size_t i = 0; i < kLcdInterfaces.size(); ++i) {
      if (*opt.lcdType == kLcdInterfaces[i]) window.SelectLcdInterface(static_cast<int>(i));
    }
  }
  if (opt.ddr) {
    window.OnCheckDdrFirmware(true);
    window.SetDdrPath(*opt.ddr);
  }
  if (opt.bRework) window.SetRework(true);
  return true;
}

std::string CurrentFolder() {
  char szDir[PATH_MAX];
  return getcwd(szDir, sizeof szDir) ? szDir : ".";
}

namespace {

int RunHeadless(const STavloOptions& opt, const std::string& strProgram,
                platform::WaitHandle sigFd) {
  CSimulatedPhones phones;
  // Each phone is taken away once written, as an operator unplugs it.
  if (!phones.Start(strProgram, opt.nSimulate, true)) return kExitFailed;

  STavloApp app;
  switch (StartTavlo(strProgram, CurrentFolder(), &app)) {
    case ETavloStart::Ok:
      break;
    case ETavloStart::AlreadyRunning:
      std::fprintf(stderr, "tavlo: another copy of %s is running\n", strProgram.c_str());
      return kExitFailed;
    case ETavloStart::StationInUse:
      std::fprintf(stderr, "tavlo: %s\n", app.strStationError.c_str());
      return kExitFailed;
    case ETavloStart::BootImageMissing:
      std::fprintf(stderr, "tavlo: %s\n", kMsgBootImageMissing);
      return kExitFailed;
    case ETavloStart::LedgerUnreachable:
      std::fprintf(stderr, "tavlo: %s\n", app.strLedgerError.c_str());
      return kExitFailed;
    case ETavloStart::SettingsRefused:
      std::fprintf(stderr, "tavlo: %s\n", app.strSettingsError.c_str());
      return kExitFailed;
  }

  CMessageQueue queue;
  CQueueBinding binding(queue);
  CWriterConsole console(stdout, isatty(STDOUT_FILENO) != 0, opt.bJson);
  CRecordWriter* pRecords = PhoneRecords();
  if (opt.bJson && pRecords) {
    // Written on the records' thread, told on this one, in order with the log.
    pRecords->SetListener([&queue, &console](const std::string& strRecord) {
      queue.PostTask([&console, strRecord] { console.PhoneRecord(strRecord); });
    });
  }
  // Whatever way this ends, the listener goes before the console and the queue.
  struct SDropListener {
    CRecordWriter* pRecords;
    ~SDropListener() {
      if (pRecords) pRecords->SetListener(nullptr);
    }
  } dropListener{pRecords};
  CTavloWindow window(console, queue, app);
  console.Attach(window);
  std::string strError;
  if (!ApplyTypedNumbers(opt, app.settings, window, &strError)) {
    std::fprintf(stderr, "tavlo: %s\n", strError.c_str());
    return kExitUsage;
  }

  const int nRunsBefore = window.RunsEnded();
  // The worker itself ends a list run after --count phones: a stop sent from
  // here could come only after it had drawn numbers for the next phone.
  window.SetPhoneLimit(opt.nCount);
  window.OnStart();
  // A refused start (a message was shown) leaves Start enabled.
  const bool bStarted = !window.View().bStartEnabled;
  while (bStarted && window.RunsEnded() == nRunsBefore) {
    const platform::WaitHandle wakes[2] = {queue.WakeHandle(), sigFd};
    if (platform::WaitAny(wakes, kPassMs) == 1) {
      window.OnStop();
      // A stopped run ends at once: the records' server, if it does not
      // answer, gets the stop's budget instead of a deadline per record.
      if (pRecords) pRecords->Hurry();
      break;
    }
    while (DispatchOnePending()) {
    }
  }
  while (DispatchOnePending()) {
  }
  if (pRecords) {
    // Every phone's record is in its file, and told, before the summary.
    pRecords->Flush();
    while (DispatchOnePending()) {
    }
  }

  const int nWritten = window.Worker().PhonesWritten();
  const int nFailed = window.Worker().PhonesFailed();
  const int nStopped = window.Worker().PhonesStopped();
  // A phone cut short by a stop is no more written than a failed one.
  const bool bAllWritten = nWritten > 0 && nFailed == 0 && nStopped == 0 && nWritten >= opt.nCount;
  const int nExit = bStarted && bAllWritten ? kExitWritten : kExitFailed;
  console.Summary(nWritten, nFailed, nStopped, nExit);
  return nExit;
}

}  // namespace

int main(int argc, char** argv) {
#if defined(_WIN32)
  // A window program: --headless, --help and usage errors print to the
  // console (or the files) it was started with.
  gui::win32::AttachParentConsole();
#endif
  // SIGINT and SIGTERM act as Stop (as Exit in the window), from the first
  // moment: blocked before any thread starts (the simulated phones', the
  // toolkit's), so that none of them takes one by its default action and an
  // early signal waits, pending, until the run can stop.
  const platform::WaitHandle sigFd = platform::BlockStopSignals();
  CLI::App app{"Norq IMEI and serial-number writer"};
  AddVersionFlag(app, "tavlo");
  CStationOption station(app, "tavlo");
  STavloOptions opt;
  app.add_flag("--headless", opt.bHeadless, "run one write run from the console");
  app.add_flag("--json", opt.bJson,
               "with --headless: one JSON object per line and event on standard output");
  for (size_t i = 0; i < opt.imei.size(); ++i) {
    const std::string name = "--imei" + std::to_string(i + 1);
    app.add_option(name, opt.imei[i], "IMEI of SIM slot " + std::to_string(i + 1) + ", typed");
  }
  app.add_option("--mbsn", opt.mbsn, "MBSN, typed");
  app.add_flag("--rework", opt.bRework,
               "write a typed number that is already written again, into the phone that "
               "carries it (logged, recorded as rework); without it such a number is refused");
  app.add_option("--psn", opt.psn, "PSN, typed");
  app.add_option("--lcd-name", opt.lcdName, "write this LCD name");
  app.add_option("--lcd-type", opt.lcdType, "LCD interface")
      ->check(CLI::IsMember({"dsi", "rgb", "mcu"}));
  app.add_option("--ddr", opt.ddr, "write this DDR firmware file");
  app.add_option("--count", opt.nCount,
                 "end the run after N phones written (list and generator runs); default: until "
                 "the run ends, SIGINT or SIGTERM")
      ->check(CLI::PositiveNumber);
  app.add_option("--simulate", opt.nSimulate,
                 "serve N simulated phones in continuous mode in a private ports folder")
      ->check(CLI::Range(1, 8));
  app.footer(
      "Exit status (--headless): 0 when every phone that was started was written; 1 when a "
      "phone failed or was cut short by SIGINT/SIGTERM after its port was opened, or the run "
      "was refused; 2 for bad usage.");
  if (const int rc = ParseCommandLine(app, opt.strLang, kExitUsage, argc, argv); rc >= 0) return rc;
  if (!station.Enter()) return kExitFailed;
  const std::string strProgram = std::filesystem::path(argv[0]).stem().string();
  if (opt.bHeadless) return RunHeadless(opt, strProgram, sigFd);
  return RunWindow(opt, strProgram, sigFd, argc, argv);
}
