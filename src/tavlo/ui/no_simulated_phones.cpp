// The tavlo program built without the phone simulator (on Windows the
// simulator runs on Linux and serves the program through mapped COM ports).

#include <cstdio>

#include "tavlo/ui/tavlo_program.h"

struct CSimulatedPhones::SFarm {};

CSimulatedPhones::CSimulatedPhones() = default;
CSimulatedPhones::~CSimulatedPhones() = default;

bool CSimulatedPhones::Start(int nPhones, const std::string& /*strProgram*/) {
  if (nPhones <= 0) return true;
  std::fprintf(stderr, "tavlo: simulated phones: the simulator is not built into this program\n");
  return false;
}
