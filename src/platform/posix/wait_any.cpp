#include <poll.h>

#include <cerrno>
#include <chrono>

#include "platform/wait_handle.h"

namespace platform {

int WaitAny(std::span<const WaitHandle> handles, int nTimeoutMs) {
  pollfd fds[16];
  const size_t nFds = handles.size() < 16 ? handles.size() : 16;
  for (size_t i = 0; i < nFds; ++i) fds[i] = {handles[i], POLLIN, 0};
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
  int nLeft = nTimeoutMs;
  for (;;) {
    const int rc = poll(fds, nFds, nLeft);
    if (rc > 0) break;
    if (rc == 0) return kWaitTimedOut;
    if (errno != EINTR) return kWaitFailed;
    // A signal cut the wait short: wait out the rest of the time.
    if (nTimeoutMs >= 0) {
      nLeft = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   end - std::chrono::steady_clock::now())
                                   .count());
      if (nLeft <= 0) return kWaitTimedOut;
    }
  }
  for (size_t i = 0; i < nFds; ++i) {
    if (fds[i].revents) return static_cast<int>(i);
  }
  return kWaitTimedOut;
}

}  // namespace platform
