// The quillport program built without Qt: the console front end only.

#include <cstdio>

#include "common/text.h"
#include "quillport/ui/quillport_program.h"

int RunWindow(const SQuillportOptions& /*opt*/, const std::string& strProgram,
              platform::WaitHandle /*sigFd*/, int& /*argc*/, char** /*argv*/) {
  std::fprintf(stderr, "%s\n", NoWindowText(strProgram).c_str());
  return kExitUsage;
}
