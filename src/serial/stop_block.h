#pragma once

#include <atomic>
#include <cstdint>

#include "platform/wake_event.h"
#include "serial/stop_source.h"

// The download tool's stop-flag block: three words owned by the main window,
// whose address travels with every start message. Word 2 is the stop flag.
// Workers poll the flag without a lock; the event lets their waits end at
// once instead of at their next poll.
struct SStopBlock final : IStopSource {
  static constexpr int kStopWord = 2;

  std::atomic<int32_t> nWords[3] = {0, 0, 0};  // written by the window thread only
  platform::CWakeEvent stopEvent;              // signalled exactly while the flag is set

  bool IsStopping() const override {
    return nWords[kStopWord].load(std::memory_order_relaxed) != 0;
  }
  platform::WaitHandle StopHandle() const override { return stopEvent.Handle(); }

  void SetStop(bool bStop) {
    nWords[kStopWord] = bStop ? 1 : 0;
    if (bStop) {
      stopEvent.Signal();
    } else {
      stopEvent.Consume();
    }
  }
};
