#include "platform/wake_event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace platform {

CWakeEvent::CWakeEvent() : m_handle(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (m_handle < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

CWakeEvent::~CWakeEvent() {
  close(m_handle);
}

void CWakeEvent::Signal() {
  const uint64_t one = 1;
  // Only fails when the counter would overflow, which leaves it signalled anyway.
  [[maybe_unused]] ssize_t n = write(m_handle, &one, sizeof one);
}

bool CWakeEvent::Consume() {
  uint64_t value = 0;
  return read(m_handle, &value, sizeof value) == static_cast<ssize_t>(sizeof value);
}

bool CWakeEvent::Wait(int nTimeoutMs) {
  pollfd pfd{m_handle, POLLIN, 0};
  while (poll(&pfd, 1, nTimeoutMs) < 0 && errno == EINTR) {
  }
  return Consume();
}

}  // namespace platform
