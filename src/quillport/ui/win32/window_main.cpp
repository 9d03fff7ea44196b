// The download window as the quillport program's front end on Windows.

#include <windows.h>

#include "gui/win32/message_box.h"
#include "gui/win32/single_instance.h"
#include "quillport/ui/quillport_program.h"
#include "quillport/ui/startup.h"
#include "quillport/ui/win32/quillport_win32_dlg.h"
#include "quillport/ui/window_texts.h"

int RunWindow(const SQuillportOptions& opt, const std::string& strProgram,
              platform::WaitHandle /*sigFd*/, int& /*argc*/, char** /*argv*/) {
  SQuillportStart start;
  if (!StartQuillport(strProgram, &start)) {
    // One copy per session: the second start brings the first to the front.
    if (gui::win32::RaiseRunningCopy(strProgram)) return kExitPassed;
    gui::win32::ShowMessage(nullptr, window_text::kAnotherCopyRunning, strProgram);
    return kExitFailed;
  }
  CQuillportWin32Dlg window(GetModuleHandleW(nullptr), {start.strBase, strProgram, opt.strLang});
  PresetWindow(*window.Model(), opt);
  window.Render();
  return window.Run() == 0 ? kExitPassed : kExitFailed;
}
