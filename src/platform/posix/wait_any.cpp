#include <poll.h>

#include <cerrno>
#include <chrono>

#include "platform/wait_handle.h"

namespace platform {

namespace {

constexpr size_t kMaxHandles = 16;

// Polls fds until one is ready or the time is out; the index of the first
// ready one.
int PollFirstReady(pollfd* fds, size_t nFds, int nTimeoutMs) {
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

}  // namespace

int WaitAny(std::span<const WaitHandle> handles, int nTimeoutMs) {
  pollfd fds[kMaxHandles];
  const size_t nFds = handles.size() < kMaxHandles ? handles.size() : kMaxHandles;
  for (size_t i = 0; i < nFds; ++i) fds[i] = {handles[i], POLLIN, 0};
  return PollFirstReady(fds, nFds, nTimeoutMs);
}

int WaitSocketOrAny(WaitHandle socket, bool bWrite, std::span<const WaitHandle> handles,
                    int nTimeoutMs) {
  pollfd fds[kMaxHandles];
  fds[0] = {socket, static_cast<short>(bWrite ? POLLIN | POLLOUT : POLLIN), 0};
  const size_t nFds = handles.size() < kMaxHandles - 1 ? handles.size() + 1 : kMaxHandles;
  for (size_t i = 1; i < nFds; ++i) fds[i] = {handles[i - 1], POLLIN, 0};
  return PollFirstReady(fds, nFds, nTimeoutMs);
}

}  // namespace platform
