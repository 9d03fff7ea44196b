#pragma once

// The port watcher's reports ("+COM9" for an arrival, "-COM9" for a
// removal), collected from its thread for the test thread.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

class CPortEventLog {
 public:
  void Add(bool bArrived, const std::string& strCom) {
    std::lock_guard lock(m_mutex);
    m_events.push_back((bArrived ? "+" : "-") + strCom);
    m_cv.notify_all();
  }
  // False when the event had not come within the bound.
  bool WaitForEvent(const std::string& strEvent, std::chrono::milliseconds bound) {
    std::unique_lock lock(m_mutex);
    return m_cv.wait_for(lock, bound, [&] {
      return std::find(m_events.begin(), m_events.end(), strEvent) != m_events.end();
    });
  }
  // False when fewer than n events had come within the bound.
  bool WaitForCount(size_t n, std::chrono::milliseconds bound) {
    std::unique_lock lock(m_mutex);
    return m_cv.wait_for(lock, bound, [&] { return m_events.size() >= n; });
  }
  std::vector<std::string> Events() {
    std::lock_guard lock(m_mutex);
    return m_events;
  }

 private:
  std::mutex m_mutex;  // guards m_events
  std::condition_variable m_cv;
  std::vector<std::string> m_events;
};
