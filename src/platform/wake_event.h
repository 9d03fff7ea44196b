#pragma once

#include <atomic>

#include "platform/wait_handle.h"

// A wake-up signal that one system wait can include beside a device:
// Signal() makes it ready, Consume() makes it not ready again. One consumer
// reading it gives auto-reset behaviour; leaving it unconsumed gives
// manual-reset behaviour.

namespace platform {

class CWakeEvent {
 public:
  CWakeEvent();
  ~CWakeEvent();
  CWakeEvent(const CWakeEvent&) = delete;
  CWakeEvent& operator=(const CWakeEvent&) = delete;

  void Signal();
  // Returns true if the event was signalled, and clears it.
  bool Consume();
  // Waits until signalled or the time runs out; consumes the signal.
  bool Wait(int nTimeoutMs);
  // The handle to add to a wait; ready while signalled.
  WaitHandle Handle() const { return m_handle; }

 private:
  WaitHandle m_handle;
  // Signals not yet consumed, where the system object cannot count them
  // itself (a Windows event only mirrors whether this is non-zero).
  std::atomic<unsigned> m_nPending{0};
};

}  // namespace platform
