#pragma once

#include <memory>
#include <string>

#include "sim/sim_phone.h"

namespace sim {

// Simulated phones for a program's --simulate option: a farm in a private
// ports folder, published to this process through PHONE_PORTS_DIR, in
// continuous mode (each socket plugs in a new phone after the last one left).
// The folder goes with the object.
class CPrivatePhones {
 public:
  CPrivatePhones() = default;
  ~CPrivatePhones();
  CPrivatePhones(const CPrivatePhones&) = delete;
  CPrivatePhones& operator=(const CPrivatePhones&) = delete;

  // strTag names the folder ("/tmp/<tag>-phones.XXXXXX").
  bool Start(const std::string& strTag, int nSockets, const SPhoneConfig& phone, std::string* pErr);
  const std::string& Folder() const { return m_strDir; }

 private:
  std::string m_strDir;
  std::unique_ptr<CPhoneFarm> m_pFarm;
};

}  // namespace sim
