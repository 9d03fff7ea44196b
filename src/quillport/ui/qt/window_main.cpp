// The download window as the quillport program's front end.

#include <signal.h>
#include <unistd.h>

#include <QApplication>

#include "gui/dialogs.h"
#include "gui/single_instance.h"
#include "gui/stop_signal.h"
#include "gui/translation.h"
#include "platform/stop_signals.h"
#include "quillport/ui/qt/quillport_dlg.h"
#include "quillport/ui/quillport_program.h"
#include "quillport/ui/startup.h"
#include "quillport/ui/window_texts.h"
#include "sim/simulated_phones.h"

int RunWindow(const SQuillportOptions& opt, const std::string& strProgram,
              platform::WaitHandle sigFd, int& argc, char** argv) {
  QApplication app(argc, argv);
  gui::SetUpApplication(app, strProgram, QStringLiteral("quillport"), opt.strLang);

  SQuillportStart start;
  if (!StartQuillport(strProgram, &start)) {
    if (gui::RaiseRunningCopy(gui::InstanceSocket(*start.pInstance))) return kExitPassed;
    gui::ShowMessage(nullptr, QString::fromUtf8(window_text::kAnotherCopyRunning));
    return kExitFailed;
  }
  CSimulatedPhones simulation;
  if (!simulation.Start("quillport", opt.nSimulate)) return kExitFailed;

  int rc = kExitPassed;
  {
    CQuillportDlg window(start.strBase);
    PresetWindow(*window.Model(), opt);
    window.Render();
    gui::CInstanceServer server(gui::InstanceSocket(*start.pInstance), &window);
    // A signal closes the window as the operator would: runs stop cleanly.
    const auto pSignals = gui::WatchStopSignals(sigFd, &window, [&window] { window.close(); });
    window.show();
    rc = QApplication::exec();
  }
  return rc;
}
