#pragma once

#include <unistd.h>

#include <utility>

namespace sim {

// Owns one file descriptor and closes it.
class CFd {
 public:
  CFd() = default;
  explicit CFd(int fd) : m_fd(fd) {}
  ~CFd() { Reset(); }
  CFd(CFd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
  CFd& operator=(CFd&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.m_fd, -1));
    return *this;
  }
  CFd(const CFd&) = delete;
  CFd& operator=(const CFd&) = delete;

  int Get() const { return m_fd; }
  bool Valid() const { return m_fd >= 0; }
  void Reset(int fd = -1) {
    if (m_fd >= 0) close(m_fd);
    m_fd = fd;
  }

 private:
  int m_fd = -1;
};

}  // namespace sim
