#include "platform/wake_event.h"

#include <windows.h>

#include <system_error>

namespace platform {

CWakeEvent::CWakeEvent() : m_handle(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  if (!m_handle) {
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                            "CreateEvent");
  }
}

CWakeEvent::~CWakeEvent() {
  CloseHandle(m_handle);
}

void CWakeEvent::Signal() {
  ++m_nPending;
  SetEvent(m_handle);
}

bool CWakeEvent::Consume() {
  // A manual-reset event cannot tell whether it was set and clear itself in
  // one step. The count decides; the event is cleared and set again if a
  // Signal() came in between, so it never stays set with nothing pending
  // (which would spin every wait on it) nor clear with something pending.
  const unsigned nWas = m_nPending.exchange(0);
  ResetEvent(m_handle);
  if (m_nPending.load() > 0) SetEvent(m_handle);
  return nWas > 0;
}

bool CWakeEvent::Wait(int nTimeoutMs) {
  WaitForSingleObject(m_handle, nTimeoutMs < 0 ? INFINITE : static_cast<DWORD>(nTimeoutMs));
  return Consume();
}

}  // namespace platform
