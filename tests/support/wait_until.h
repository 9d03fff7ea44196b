#pragma once

#include <chrono>
#include <functional>

class CMessageQueue;

// Every wait of the tests is bounded through these two.

// Checks fnDone until it holds, running fnBetween between two checks (by
// default a 10 ms sleep); false once bound has passed.
bool WaitUntil(const std::function<bool()>& fnDone, std::chrono::milliseconds bound,
               const std::function<void()>& fnBetween = {});
// The same while serving the calling thread's window queue.
bool PumpUntil(CMessageQueue& queue, const std::function<bool()>& fnDone,
               std::chrono::milliseconds bound);
