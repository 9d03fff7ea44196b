#pragma once

#include <algorithm>
#include <chrono>

// One monotonic deadline per operation: the time left is always derived
// from it, never added up from the waits made so far, so a wait cut short by
// data or a wake-up costs nothing of the bound.
class CDeadline {
 public:
  using Clock = std::chrono::steady_clock;

  explicit CDeadline(int nMs)
      : m_start(Clock::now()), m_end(m_start + std::chrono::milliseconds(nMs)) {}

  bool Passed() const { return Clock::now() >= m_end; }
  // Whole milliseconds left, rounded up: not 0 until the deadline has passed,
  // so that a wait for what is left never turns into a spin.
  int LeftMs() const {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(m_end - Clock::now()).count();
    return static_cast<int>(std::max<decltype(left)>(left, 0));
  }
  // Whole milliseconds since the deadline was set, for log lines.
  int ElapsedMs() const {
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_start).count());
  }

 private:
  Clock::time_point m_start, m_end;
};
