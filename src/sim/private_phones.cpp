#include "sim/private_phones.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

namespace sim {

namespace {
constexpr int kComBase = 31;
constexpr int kReplugDelayMs = 500;
}  // namespace

bool CPrivatePhones::Start(const std::string& strTag, int nSockets, const SPhoneConfig& phone,
                           std::string* pErr) {
  std::string strTemplate = "/tmp/" + strTag + "-phones.XXXXXX";
  std::vector<char> name(strTemplate.begin(), strTemplate.end());
  name.push_back('\0');
  if (!mkdtemp(name.data())) {
    if (pErr) *pErr = std::string("cannot make a ports folder: ") + std::strerror(errno);
    return false;
  }
  m_strDir = name.data();
  setenv("PHONE_PORTS_DIR", m_strDir.c_str(), 1);
  SFarmOptions opt;
  opt.strPortsDir = m_strDir;
  opt.nSockets = nSockets;
  opt.nComBase = kComBase;
  opt.nPhonesPerSocket = 0;
  opt.nReplugDelayMs = kReplugDelayMs;
  opt.phone = phone;
  m_pFarm = std::make_unique<CPhoneFarm>(opt);
  return m_pFarm->Start(pErr);
}

CPrivatePhones::~CPrivatePhones() {
  m_pFarm.reset();
  std::error_code ec;
  if (!m_strDir.empty()) std::filesystem::remove_all(m_strDir, ec);
}

}  // namespace sim
