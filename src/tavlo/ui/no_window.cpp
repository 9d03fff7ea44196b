// The tavlo program built without Qt: the console front end only.

#include <cstdio>

#include "tavlo/ui/tavlo_program.h"

int RunWindow(const STavloOptions& /*opt*/, const std::string& strProgram, int& /*argc*/,
              char** /*argv*/) {
  std::fprintf(stderr,
               "%s: this build has no window (Qt was not found when it was built); "
               "run it with --headless\n",
               strProgram.c_str());
  return kExitUsage;
}
