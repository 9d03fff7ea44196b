// The writer's window as the tavlo program's front end.

#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <cstdio>

#include "gui/dialogs.h"
#include "gui/single_instance.h"
#include "gui/stop_signal.h"
#include "gui/translation.h"
#include "platform/stop_signals.h"
#include "sim/simulated_phones.h"
#include "tavlo/ui/qt/tavlo_dlg.h"
#include "tavlo/ui/startup.h"
#include "tavlo/ui/tavlo_program.h"
#include "tavlo/ui/writer_texts.h"

int RunWindow(const STavloOptions& opt, const std::string& strProgram, platform::WaitHandle sigFd,
              int& argc, char** argv) {
  QApplication qapp(argc, argv);
  gui::SetUpApplication(qapp, strProgram, QStringLiteral("tavlo"), opt.strLang);

  CSimulatedPhones phones;
  int rc = kExitWritten;
  STavloApp app;
  switch (StartTavlo(strProgram, CurrentFolder(), &app)) {
    case ETavloStart::Ok:
      break;
    case ETavloStart::AlreadyRunning:
      // The running copy's window comes forward, and this one is done.
      if (gui::RaiseRunningCopy(gui::InstanceSocket(*app.pInstance))) return kExitWritten;
      gui::ShowMessage(nullptr, CTavloDlg::Shown(writer_text::kCloseRunningCopy));
      rc = kExitFailed;
      break;
    case ETavloStart::StationInUse:
      gui::ShowMessage(nullptr, QString::fromStdString(app.strStationError));
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
    case ETavloStart::SettingsRefused:
      gui::ShowMessage(nullptr, QString::fromStdString(app.strSettingsError));
      rc = kExitFailed;
      break;
  }
  if (rc == kExitWritten && phones.Start(strProgram, opt.nSimulate, true)) {
    CTavloDlg window(app);
    // Numbers and options given on the command line, as if typed.
    std::string strError;
    if (!ApplyTypedNumbers(opt, app.settings, *window.Model(), &strError)) {
      std::fprintf(stderr, "tavlo: %s\n", strError.c_str());
      return kExitUsage;
    }
    window.Render();
    gui::CInstanceServer server(gui::InstanceSocket(*app.pInstance), &window);
    // SIGINT and SIGTERM leave the window as Exit does.
    const auto pSignals =
        gui::WatchStopSignals(sigFd, &window, [&window] { window.ExitStoppingRun(); });
    window.exec();
  } else if (rc == kExitWritten) {
    rc = kExitFailed;
  }
  return rc;
}
