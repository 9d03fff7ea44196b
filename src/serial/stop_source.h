#pragma once

#include "platform/wait_handle.h"

// The operator's stop as a port sees it: a flag polled without a lock, and a
// handle that is ready while the flag is set, so that a waiting read ends at
// once instead of at its next poll. Each tool keeps its own stop and hands
// the port this view of it; the port never owns it.
class IStopSource {
 public:
  virtual bool IsStopping() const = 0;
  virtual platform::WaitHandle StopHandle() const = 0;

 protected:
  ~IStopSource() = default;
};
