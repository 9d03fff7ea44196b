// The quillport program built without the phone simulator (on Windows the
// simulator runs on Linux and serves the program through mapped COM ports).

#include <cstdio>

#include "quillport/ui/quillport_program.h"

struct CSimulatedPhones::SFarm {};

CSimulatedPhones::CSimulatedPhones() = default;
CSimulatedPhones::~CSimulatedPhones() = default;

bool CSimulatedPhones::Start(int /*nPhones*/) {
  std::fprintf(stderr,
               "quillport: simulated phones: the simulator is not built into this program\n");
  return false;
}
