#pragma once

#include <functional>
#include <string>

#include "sim/sim_config.h"
#include "sim/sim_fd.h"
#include "sim/sim_report.h"

// Internal to the simulator: the plugged-in port and the protocol session.

namespace sim {

// Where a phone is plugged in: a pseudo-terminal registered by a port link,
// or an existing serial device. Unplugs on destruction.
class CPhonePort {
 public:
  CPhonePort() = default;
  ~CPhonePort() { Unplug(); }
  CPhonePort(const CPhonePort&) = delete;
  CPhonePort& operator=(const CPhonePort&) = delete;

  // With an empty strDevice: a new pty linked as "Gadget Serial (COM<n>)" in strPortsDir.
  bool Plug(const std::string& strPortsDir, int nCom, const std::string& strDevice,
            const SPhoneConfig& cfg, std::string* pErr);
  // Removes the link, then closes the master and the phone's own slave descriptor.
  void Unplug();

  int Fd() const { return m_fd.Get(); }
  // inotify on the slave: readable when the host opens or closes it; -1 in device mode.
  int WatchFd() const { return m_fdWatch.Get(); }
  const std::string& Device() const { return m_strDevice; }

 private:
  CFd m_fd;       // pty master, or the device
  CFd m_fdSlave;  // held so the master never hangs up between host opens
  CFd m_fdWatch;
  std::string m_strDevice;
  std::string m_strLink;
  std::string m_strUnplugCmd;
  int m_nCom = 0;
};

// Serves the protocol until the phone leaves: power-off, a fault unplug, the
// host closing (unplug-on-close), the device going away, or fdStop readable.
// Fills rep; the caller unplugs the port afterwards. onFault, when set, is
// called with each fault's text as it fires.
void ServePhone(const SPhoneConfig& cfg, CPhonePort& port, int fdStop, SPhoneReport& rep,
                const std::function<void(const std::string&)>& onFault = {});

}  // namespace sim
