#include <cstdio>

#include "quillport/ui/quillport_program.h"
#include "sim/private_phones.h"

struct CSimulatedPhones::SFarm {
  sim::CPrivatePhones phones;
};

CSimulatedPhones::CSimulatedPhones() = default;
CSimulatedPhones::~CSimulatedPhones() = default;

bool CSimulatedPhones::Start(int nPhones) {
  m_pFarm = std::make_unique<SFarm>();
  std::string strError;
  if (m_pFarm->phones.Start("quillport", nPhones, sim::SPhoneConfig{}, &strError)) return true;
  std::fprintf(stderr, "quillport: simulated phones: %s\n", strError.c_str());
  return false;
}
