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
  sim::ApplySetting(phone, "fault", "cmd=connect,nth=2,unplug", nullptr);
  if (m_pFarm->phones.Start(strProgram, nPhones, phone, &strError)) return true;
  std::fprintf(stderr, "tavlo: simulated phones: %s\n", strError.c_str());
  return false;
}
