#include <cstdio>

#include "sim/private_phones.h"
#include "sim/sim_config.h"
#include "tavlo/ui/tavlo_program.h"

struct CSimulatedPhones::SFarm {
  sim::CPrivatePhones phones;
};

CSimulatedPhones::CSimulatedPhones() = default;
CSimulatedPhones::~CSimulatedPhones() = default;

bool CSimulatedPhones::Start(int nPhones, const std::string& strProgram) {
  if (nPhones <= 0) return true;
  m_pFarm = std::make_unique<SFarm>();
  sim::SPhoneConfig phone;
  std::string strError;
  // Each one is taken away once written, as a phone the operator unplugs.
  phone.bLeaveAfterWrite = true;
  if (m_pFarm->phones.Start(strProgram, nPhones, phone, &strError)) return true;
  std::fprintf(stderr, "tavlo: simulated phones: %s\n", strError.c_str());
  return false;
}
