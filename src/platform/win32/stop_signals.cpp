#include "platform/stop_signals.h"

#include <windows.h>

namespace platform {
namespace {

HANDLE g_hStopEvent = nullptr;  // created once, lives as long as the process

BOOL WINAPI OnConsoleControl(DWORD dwType) {
  switch (dwType) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      SetEvent(g_hStopEvent);
      return TRUE;  // handled: the program stops its own way
    default:
      return FALSE;
  }
}

}  // namespace

WaitHandle BlockStopSignals() {
  if (!g_hStopEvent) {
    // Manual reset: once asked to stop, every later wait sees it too.
    g_hStopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!g_hStopEvent) return kNoWaitHandle;
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  }
  return g_hStopEvent;
}

}  // namespace platform
