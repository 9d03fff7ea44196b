// The tavlo program built without Qt: the console front end only.

#include <cstdio>

#include "common/text.h"
#include "tavlo/ui/tavlo_program.h"

int RunWindow(const STavloOptions& /*opt*/, const std::string& strProgram,
              platform::WaitHandle /*sigFd*/, int& /*argc*/, char** /*argv*/) {
  std::fprintf(stderr, "%s\n", NoWindowText(strProgram).c_str());
  return kExitUsage;
}
