#include "wait_until.h"

#include <thread>

#include "common/message_queue.h"

bool WaitUntil(const std::function<bool()>& fnDone, std::chrono::milliseconds bound,
               const std::function<void()>& fnBetween) {
  const auto end = std::chrono::steady_clock::now() + bound;
  while (!fnDone()) {
    if (std::chrono::steady_clock::now() > end) return false;
    if (fnBetween) {
      fnBetween();
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  return true;
}

bool PumpUntil(CMessageQueue& queue, const std::function<bool()>& fnDone,
               std::chrono::milliseconds bound) {
  return WaitUntil(fnDone, bound, [&queue] { ServeQueueFor(queue, 50); });
}
