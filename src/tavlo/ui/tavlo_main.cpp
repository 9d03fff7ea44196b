// tavlo: the IMEI and serial-number writer. It opens its window; with
// --headless it runs one write run from the console instead, as the window's
// Start would, for unattended stations and demonstrations.

#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <QApplication>
#include <QLocale>
#include <QSocketNotifier>
#include <array>
#include <cstdio>
#include <filesystem>
#include <optional>

#include "gui/dialogs.h"
#include "gui/single_instance.h"
#include "gui/translation.h"
#include "platform/stop_signals.h"
#include "sim/private_phones.h"
#include "sim/sim_config.h"
#include "tavlo/ui/console_front_end.h"
#include "tavlo/ui/qt/tavlo_dlg.h"
#include "tavlo/ui/startup.h"
#include "tavlo/ui/writer_texts.h"
#include "tavlo/ui/writer_window.h"

namespace {

constexpr int kExitWritten = 0, kExitFailed = 1, kExitUsage = 2;
// Upper bound of one pass of the console loop.
constexpr int kPassMs = 250;

struct SOptions {
  bool bHeadless = false;
  std::array<std::optional<std::string>, 4> imei;
  std::optional<std::string> mbsn, psn, lcdName, lcdType, ddr;
  int nCount = 0;  // 0: as long as the run goes on
  int nSimulate = 0;
  std::string strLang;
};

// Ticks the write box of the one kind typed in; false, with *pError, when the
// options cannot be what the window would do.
bool ApplyTypedNumbers(const SOptions& opt, const WriterSettings& settings, CTavloWindow& window,
                       std::string* pError) {
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
  return true;
}

// Simulated phones in a private ports folder, so that discovery sees them.
// Each one leaves when probed after its write, as a phone the operator
// unplugs. False, with the reason printed, when they cannot start.
bool StartSimulatedPhones(sim::CPrivatePhones& phones, int nPhones, const std::string& strProgram) {
  if (nPhones <= 0) return true;
  sim::SPhoneConfig phone;
  std::string strError;
  sim::ApplySetting(phone, "fault", "cmd=connect,nth=2,unplug", nullptr);
  if (phones.Start(strProgram, nPhones, phone, &strError)) return true;
  std::fprintf(stderr, "tavlo: simulated phones: %s\n", strError.c_str());
  return false;
}

std::string CurrentFolder() {
  char szDir[PATH_MAX];
  return getcwd(szDir, sizeof szDir) ? szDir : ".";
}

int RunHeadless(const SOptions& opt, const std::string& strProgram) {
  sim::CPrivatePhones phones;
  if (!StartSimulatedPhones(phones, opt.nSimulate, strProgram)) return kExitFailed;

  STavloApp app;
  switch (StartTavlo(strProgram, CurrentFolder(), &app)) {
    case ETavloStart::Ok:
      break;
    case ETavloStart::AlreadyRunning:
      std::fprintf(stderr, "tavlo: another copy of %s is running\n", strProgram.c_str());
      return kExitFailed;
    case ETavloStart::BootImageMissing:
      std::fprintf(stderr, "tavlo: %s\n", kMsgBootImageMissing);
      return kExitFailed;
    case ETavloStart::LedgerUnreachable:
      std::fprintf(stderr, "tavlo: %s\n", app.strLedgerError.c_str());
      return kExitFailed;
  }

  // SIGINT and SIGTERM act as Stop.
  const int sigFd = platform::BlockStopSignals();

  CMessageQueue queue;
  CQueueBinding binding(queue);
  CWriterConsole console(stdout, isatty(STDOUT_FILENO) != 0);
  CTavloWindow window(console, queue, app);
  console.Attach(window);
  std::string strError;
  if (!ApplyTypedNumbers(opt, app.settings, window, &strError)) {
    std::fprintf(stderr, "tavlo: %s\n", strError.c_str());
    if (sigFd >= 0) close(sigFd);
    return kExitUsage;
  }

  const int nRunsBefore = window.RunsEnded();
  window.OnStart();
  // A refused start (a message was shown) leaves Start enabled.
  const bool bStarted = !window.View().bStartEnabled;
  while (bStarted && window.RunsEnded() == nRunsBefore) {
    if (opt.nCount > 0 && window.Worker().PhonesWritten() >= opt.nCount) {
      window.OnStop();
      break;
    }
    pollfd fds[2] = {{queue.WakeFd(), POLLIN, 0}, {sigFd, POLLIN, 0}};
    if (poll(fds, 2, kPassMs) > 0 && (fds[1].revents & POLLIN)) {
      window.OnStop();
      break;
    }
    while (DispatchOnePending()) {
    }
  }
  while (DispatchOnePending()) {
  }

  const int nWritten = window.Worker().PhonesWritten();
  const int nFailed = window.Worker().PhonesFailed();
  std::printf("tavlo: %d phone(s) written, %d failed\n", nWritten, nFailed);
  if (sigFd >= 0) close(sigFd);
  const bool bAllWritten = nWritten > 0 && nFailed == 0 && nWritten >= opt.nCount;
  return bStarted && bAllWritten ? kExitWritten : kExitFailed;
}

// Where a second copy finds the running one: beside its instance lock.
QString InstanceSocket(const platform::CInstanceLock& lock) {
  return QString::fromStdString(
      std::filesystem::path(lock.Path()).replace_extension(".sock").string());
}

int RunWindow(const SOptions& opt, const std::string& strProgram, int& argc, char** argv) {
  QApplication qapp(argc, argv);
  // Every message box carries the program's name as its caption.
  QApplication::setApplicationName(QString::fromStdString(strProgram));
  gui::InstallTranslation(
      qapp, QStringLiteral("tavlo"),
      gui::ChooseLanguage(QString::fromStdString(opt.strLang), QLocale::system()));

  // SIGINT and SIGTERM leave the window as Exit does.
  const int sigFd = platform::BlockStopSignals();

  sim::CPrivatePhones phones;
  int rc = kExitWritten;
  STavloApp app;
  switch (StartTavlo(strProgram, CurrentFolder(), &app)) {
    case ETavloStart::Ok:
      break;
    case ETavloStart::AlreadyRunning:
      // The running copy's window comes forward, and this one is done.
      if (gui::RaiseRunningCopy(InstanceSocket(*app.pInstance))) return kExitWritten;
      gui::ShowMessage(nullptr, CTavloDlg::Shown(writer_text::kCloseRunningCopy));
      rc = kExitFailed;
      break;
    case ETavloStart::BootImageMissing:
      gui::ShowMessage(nullptr, CTavloDlg::Shown(kMsgBootImageMissing));
      rc = kExitFailed;
      break;
    case ETavloStart::LedgerUnreachable:
      gui::ShowMessage(nullptr, QString::fromStdString(app.strLedgerError));
      rc = kExitFailed;
      break;
  }
  if (rc == kExitWritten && StartSimulatedPhones(phones, opt.nSimulate, strProgram)) {
    CTavloDlg window(app);
    // Numbers and options given on the command line, as if typed.
    std::string strError;
    if (!ApplyTypedNumbers(opt, app.settings, *window.Model(), &strError)) {
      std::fprintf(stderr, "tavlo: %s\n", strError.c_str());
      if (sigFd >= 0) close(sigFd);
      return kExitUsage;
    }
    window.Render();
    gui::CInstanceServer server(InstanceSocket(*app.pInstance), &window);
    QSocketNotifier signalNotifier(sigFd, QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &window, [&window, sigFd] {
      signalfd_siginfo info;
      if (read(sigFd, &info, sizeof info) > 0) window.ExitStoppingRun();
    });
    window.exec();
  } else if (rc == kExitWritten) {
    rc = kExitFailed;
  }
  if (sigFd >= 0) close(sigFd);
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Norq IMEI and serial-number writer"};
  SOptions opt;
  app.add_flag("--headless", opt.bHeadless, "run one write run from the console");
  for (size_t i = 0; i < opt.imei.size(); ++i) {
    const std::string name = "--imei" + std::to_string(i + 1);
    app.add_option(name, opt.imei[i], "IMEI of SIM slot " + std::to_string(i + 1) + ", typed");
  }
  app.add_option("--mbsn", opt.mbsn, "MBSN, typed");
  app.add_option("--psn", opt.psn, "PSN, typed");
  app.add_option("--lcd-name", opt.lcdName, "write this LCD name");
  app.add_option("--lcd-type", opt.lcdType, "LCD interface")
      ->check(CLI::IsMember({"dsi", "rgb", "mcu"}));
  app.add_option("--ddr", opt.ddr, "write this DDR firmware file");
  app.add_option("--count", opt.nCount,
                 "stop after N phones written (list and generator runs); default: until "
                 "the run ends, SIGINT or SIGTERM")
      ->check(CLI::PositiveNumber);
  app.add_option("--simulate", opt.nSimulate,
                 "serve N simulated phones in continuous mode in a private ports folder")
      ->check(CLI::Range(1, 8));
  app.add_option("--lang", opt.strLang,
                 "window language: en (English) or zh (the Chinese texts); default: the locale")
      ->check(CLI::IsMember({"en", "zh"}));
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int rc = app.exit(e);
    return rc == 0 ? 0 : kExitUsage;
  }
  const std::string strProgram = std::filesystem::path(argv[0]).stem().string();
  if (opt.bHeadless) return RunHeadless(opt, strProgram);
  return RunWindow(opt, strProgram, argc, argv);
}
