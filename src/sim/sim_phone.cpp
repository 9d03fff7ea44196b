#include "sim/sim_phone.h"

#include <poll.h>
#include <sys/eventfd.h>

#include <chrono>

#include "sim/sim_session.h"

namespace sim {

CSimSocket::CSimSocket(SSocketOptions opt) : m_opt(std::move(opt)) {}

CSimSocket::~CSimSocket() {
  Stop();
}

bool CSimSocket::Start(std::string* pErr) {
  if (m_thread.joinable()) return true;
  m_fdStop.Reset(eventfd(0, EFD_CLOEXEC));
  m_thread = std::thread(&CSimSocket::Run, this);
  std::unique_lock lock(m_mtx);
  m_cv.wait(lock, [this] { return m_nPlugged > 0 || m_bDone; });
  if (m_nPlugged > 0) return true;
  if (pErr) *pErr = m_strError;
  return false;
}

void CSimSocket::Stop() {
  if (m_fdStop.Valid()) eventfd_write(m_fdStop.Get(), 1);
  if (m_thread.joinable()) m_thread.join();
}

bool CSimSocket::WaitDone(int nTimeoutMs) {
  std::unique_lock lock(m_mtx);
  return m_cv.wait_for(lock, std::chrono::milliseconds(nTimeoutMs), [this] { return m_bDone; });
}

bool CSimSocket::WaitPlugged(int nPhone, int nTimeoutMs) {
  std::unique_lock lock(m_mtx);
  return m_cv.wait_for(lock, std::chrono::milliseconds(nTimeoutMs),
                       [&] { return m_nPlugged >= nPhone && !m_strDevice.empty(); });
}

std::vector<SPhoneReport> CSimSocket::Reports() const {
  std::lock_guard lock(m_mtx);
  return m_reports;
}

SPhoneReport CSimSocket::Report() const {
  std::lock_guard lock(m_mtx);
  return m_reports.empty() ? SPhoneReport{} : m_reports.back();
}

std::string CSimSocket::LinkPath() const {
  return m_opt.strPortsDir + "/Gadget Serial (COM" + std::to_string(m_opt.nCom) + ")";
}

std::string CSimSocket::DevicePath() const {
  std::lock_guard lock(m_mtx);
  return m_strDevice;
}

void CSimSocket::Run() {
  for (int k = 1; m_opt.nPhones == 0 || k <= m_opt.nPhones; ++k) {
    pollfd pfd{m_fdStop.Get(), POLLIN, 0};
    if (k > 1 && poll(&pfd, 1, m_opt.nReplugDelayMs) != 0) break;  // stopped while empty
    SPhoneConfig cfg = m_opt.phone;
    std::erase_if(cfg.faults, [k](const SFault& f) { return f.nPhone != 0 && f.nPhone != k; });
    if (const std::string strFault = DrawRandomFault(cfg, m_opt.nCom, k); !strFault.empty()) {
      SFault fault;
      if (ParseFault(strFault, fault, nullptr)) cfg.faults.push_back(std::move(fault));
    }
    SPhoneReport rep;
    rep.nCom = m_opt.nCom;
    rep.nIndex = k;
    CPhonePort port;
    std::string strErr;
    if (!port.Plug(m_opt.strPortsDir, m_opt.nCom, m_opt.strDevice, cfg, &strErr)) {
      rep.eOutcome = EOutcome::Error;
      rep.strDetail = strErr;
      std::lock_guard lock(m_mtx);
      m_strError = strErr;
      m_reports.push_back(rep);
      break;
    }
    {
      std::lock_guard lock(m_mtx);
      m_nPlugged = k;
      m_strDevice = port.Device();
    }
    m_cv.notify_all();
    ServePhone(cfg, port, m_fdStop.Get(), rep, [this, k](const std::string& strFault) {
      if (m_opt.onFaultFired) m_opt.onFaultFired(k, strFault);
    });
    port.Unplug();
    {
      std::lock_guard lock(m_mtx);
      m_strDevice.clear();
      m_reports.push_back(rep);
    }
    m_cv.notify_all();
    if (m_opt.onPhoneDone) m_opt.onPhoneDone(rep);
    if (rep.eOutcome == EOutcome::Stopped || poll(&pfd, 1, 0) != 0) break;
  }
  {
    std::lock_guard lock(m_mtx);
    m_bDone = true;
  }
  m_cv.notify_all();
  if (m_opt.nDoneFd >= 0) eventfd_write(m_opt.nDoneFd, 1);
}

CPhoneFarm::CPhoneFarm(SFarmOptions opt) : m_opt(std::move(opt)) {}

CPhoneFarm::~CPhoneFarm() {
  Stop();
}

bool CPhoneFarm::Start(std::string* pErr) {
  m_fdDone.Reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  const bool bDevices = !m_opt.devices.empty();
  const int nSockets = bDevices ? static_cast<int>(m_opt.devices.size()) : m_opt.nSockets;
  for (int i = 0; i < nSockets; ++i) {
    SSocketOptions opt{
        m_opt.strPortsDir,      m_opt.nComBase + i,   bDevices ? m_opt.devices[i] : std::string(),
        m_opt.nPhonesPerSocket, m_opt.nReplugDelayMs, m_opt.phone,
        m_opt.onPhoneDone,      m_fdDone.Get()};
    m_sockets.push_back(std::make_unique<CSimSocket>(std::move(opt)));
    if (!m_sockets.back()->Start(pErr)) {
      Stop();
      return false;
    }
  }
  return true;
}

void CPhoneFarm::Stop() {
  for (auto& socket : m_sockets) socket->Stop();
}

bool CPhoneFarm::WaitDone(int nTimeoutMs) {
  const auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
  for (auto& socket : m_sockets) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        tEnd - std::chrono::steady_clock::now());
    if (!socket->WaitDone(static_cast<int>(std::max<int64_t>(0, left.count())))) return false;
  }
  return true;
}

std::vector<SPhoneReport> CPhoneFarm::Reports() const {
  std::vector<SPhoneReport> all;
  for (const auto& socket : m_sockets) {
    for (SPhoneReport& rep : socket->Reports()) all.push_back(std::move(rep));
  }
  return all;
}

}  // namespace sim
