// The writer's Win32 window as the tavlo program's front end.

#include <windows.h>

#include <cstdio>

#include "gui/win32/message_box.h"
#include "gui/win32/single_instance.h"
#include "gui/win32/version_info.h"
#include "sim/simulated_phones.h"
#include "tavlo/ui/startup.h"
#include "tavlo/ui/tavlo_program.h"
#include "tavlo/ui/win32/layout.h"
#include "tavlo/ui/win32/tavlo_frame.h"
#include "tavlo/ui/writer_texts.h"

int RunWindow(const STavloOptions& opt, const std::string& strProgram,
              platform::WaitHandle /*sigFd: a window program has no console to stop it*/,
              int& /*argc*/, char** /*argv*/) {
  const gui::win32::CTextTable& texts = tavlo_win32::TavloTexts(opt.strLang);
  auto show = [&](const std::string& strText) {
    gui::win32::ShowMessage(nullptr, texts.Shown(strText), strProgram);
    return kExitFailed;
  };

  STavloApp app;
  switch (StartTavlo(strProgram, CurrentFolder(), &app)) {
    case ETavloStart::Ok:
      break;
    case ETavloStart::AlreadyRunning:
      // The running copy's window comes forward, and this one is done.
      if (gui::win32::RaiseRunningCopy(strProgram)) return kExitWritten;
      return show(writer_text::kCloseRunningCopy);
    case ETavloStart::StationInUse:
      return show(app.strStationError);
    case ETavloStart::BootImageMissing:
      return show(kMsgBootImageMissing);
    case ETavloStart::LedgerUnreachable:
      return show(app.strLedgerError);
    case ETavloStart::SettingsRefused:
      return show(app.strSettingsError);
  }
  CSimulatedPhones phones;
  if (!phones.Start(strProgram, opt.nSimulate, true)) return kExitFailed;

  RegisterTavloWindowClasses();
  CTavloFrame frame(app, texts, strProgram);
  // The title shows the version of the program's own version resource.
  frame.Model()->SetProductVersion(gui::win32::OwnProductVersion());
  // Numbers and options given on the command line, as if typed.
  std::string strError;
  if (!ApplyTypedNumbers(opt, app.settings, *frame.Model(), &strError)) {
    show(strError);
    return kExitUsage;
  }
  frame.Render();
  frame.Run();
  return kExitWritten;
}
