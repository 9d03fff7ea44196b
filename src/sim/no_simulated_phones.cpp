// A build without the phone simulator: --simulate says so.

#include <cstdio>

#include "sim/simulated_phones.h"

struct CSimulatedPhones::SFarm {};

CSimulatedPhones::CSimulatedPhones() = default;
CSimulatedPhones::~CSimulatedPhones() = default;

bool CSimulatedPhones::Start(const std::string& strProgram, int nPhones,
                             bool /*bLeaveAfterWrite*/) {
  if (nPhones <= 0) return true;
  std::fprintf(stderr, "%s: simulated phones: the simulator is not built into this program\n",
               strProgram.c_str());
  return false;
}
