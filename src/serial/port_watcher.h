#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "platform/device_monitor.h"

// Reports ports arriving and leaving while the program runs. Ports present
// when the watcher is made are not reported; list them with ListSerialPorts.
class CPortWatcher {
 public:
  // bArrived is true for a new port, false for a removed one; strComName is
  // "COM<n>". The callback runs on the watcher's own thread, one call at a
  // time; it must not destroy the watcher.
  using FOnChange = std::function<void(bool bArrived, const std::string& strComName)>;

  explicit CPortWatcher(FOnChange fnOnChange);
  // Stops and joins the watcher's thread; no callback runs after it returns.
  ~CPortWatcher();
  CPortWatcher(const CPortWatcher&) = delete;
  CPortWatcher& operator=(const CPortWatcher&) = delete;

 private:
  void Rescan();

  FOnChange m_fnOnChange;
  std::mutex m_mutex;                  // guards m_setPresent; one rescan at a time
  std::set<std::string> m_setPresent;  // COM names seen at the last listing
  // Last, so that its thread stops before the members it uses go.
  std::unique_ptr<platform::CDeviceMonitor> m_pMonitor;
};
