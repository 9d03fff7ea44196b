#include "sim/simulated_phones.h"

#include <cstdio>

#include "sim/private_phones.h"

struct CSimulatedPhones::SFarm {
  sim::CPrivatePhones phones;
};

CSimulatedPhones::CSimulatedPhones() = default;
CSimulatedPhones::~CSimulatedPhones() = default;

bool CSimulatedPhones::Start(const std::string& strProgram, int nPhones, bool bLeaveAfterWrite) {
  if (nPhones <= 0) return true;
  m_pFarm = std::make_unique<SFarm>();
  sim::SPhoneConfig phone;
  phone.bLeaveAfterWrite = bLeaveAfterWrite;
  std::string strError;
  if (m_pFarm->phones.Start(strProgram, nPhones, phone, &strError)) return true;
  std::fprintf(stderr, "%s: simulated phones: %s\n", strProgram.c_str(), strError.c_str());
  return false;
}
