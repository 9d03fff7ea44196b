#pragma once

// A wake-up signal that a poll()-style wait can include beside a device:
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
  // The descriptor to add to a poll set; readable while signalled.
  int Fd() const { return m_fd; }

 private:
  int m_fd;
};

}  // namespace platform
