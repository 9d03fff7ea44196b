#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/wake_event.h"

// Watches for serial devices coming and going: USB serial devices of the
// system, and symbolic links created, removed or renamed in a folder of
// virtual ports. It only says that something changed; the caller lists the
// ports again to learn what.

namespace platform {

class CDeviceMonitor {
 public:
  // fnOnChange runs on the monitor's own thread, once per batch of changes.
  // strLinkFolder may be empty; a folder missing now is not watched.
  // A source the system cannot provide is left out without error.
  CDeviceMonitor(std::function<void()> fnOnChange, const std::string& strLinkFolder);
  // Stops and joins the thread; must not be called from fnOnChange.
  ~CDeviceMonitor();
  CDeviceMonitor(const CDeviceMonitor&) = delete;
  CDeviceMonitor& operator=(const CDeviceMonitor&) = delete;

 private:
  struct SSources;  // the system's notification handles

  void Run();

  std::function<void()> m_fnOnChange;
  std::unique_ptr<SSources> m_pSources;
  CWakeEvent m_stop;  // signalled once, by the destructor, to end the thread
  std::thread m_thread;
};

}  // namespace platform
