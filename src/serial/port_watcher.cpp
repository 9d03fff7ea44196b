#include "serial/port_watcher.h"

#include <cstdlib>
#include <list>

#include "serial/port_discovery.h"

namespace {

std::set<std::string> PresentComNames() {
  std::list<SSerInfo> ports;
  ListSerialPorts(ports, false);
  std::set<std::string> names;
  for (const SSerInfo& port : ports) {
    if (!port.m_strComName.empty()) names.insert(port.m_strComName);
  }
  return names;
}

}  // namespace

CPortWatcher::CPortWatcher(FOnChange fnOnChange) : m_fnOnChange(std::move(fnOnChange)) {
  // The monitor watches before the first listing, so a port arriving in
  // between is either in that listing or reported; the lock holds its
  // first rescan back until the listing is taken.
  std::lock_guard lock(m_mutex);
  const char* pszDir = std::getenv("PHONE_PORTS_DIR");
  m_pMonitor =
      std::make_unique<platform::CDeviceMonitor>([this] { Rescan(); }, pszDir ? pszDir : "");
  m_setPresent = PresentComNames();
}

CPortWatcher::~CPortWatcher() {
  m_pMonitor.reset();
}

void CPortWatcher::Rescan() {
  std::lock_guard lock(m_mutex);
  std::set<std::string> now = PresentComNames();
  for (const std::string& name : m_setPresent) {
    if (!now.count(name)) m_fnOnChange(false, name);
  }
  for (const std::string& name : now) {
    if (!m_setPresent.count(name)) m_fnOnChange(true, name);
  }
  m_setPresent = std::move(now);
}
