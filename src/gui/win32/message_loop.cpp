#include "gui/win32/message_loop.h"

#include "common/deadline.h"

namespace gui::win32 {

int RunMessageLoop(HWND hDialog, CMessageQueue& queue, const std::function<void()>& fnServed) {
  HANDLE hWake = queue.WakeHandle();
  for (;;) {
    const CDeadline slice(kSliceMs);
    bool bServed = false;
    SMessage dropped;
    while (queue.Take(&dropped) != CMessageQueue::ETaken::Nothing) {
      bServed = true;
      if (slice.Passed()) break;
    }
    if (bServed && fnServed) fnServed();
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) return static_cast<int>(msg.wParam);
      if (hDialog && IsDialogMessageW(hDialog, &msg)) continue;
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    if (hDialog && !IsWindow(hDialog)) return 0;
    MsgWaitForMultipleObjectsEx(1, &hWake, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
}

void ServeWhileWaiting(CMessageQueue& queue, int nMs) {
  SMessage dropped;
  const CDeadline deadline(nMs);
  HANDLE hWake = queue.WakeHandle();
  for (;;) {
    if (queue.Take(&dropped) != CMessageQueue::ETaken::Nothing) return;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0,
                        PM_REMOVE | PM_QS_PAINT | PM_QS_POSTMESSAGE | PM_QS_SENDMESSAGE)) {
      if (msg.message == WM_QUIT) {
        PostQuitMessage(static_cast<int>(msg.wParam));  // for the main loop
        return;
      }
      DispatchMessageW(&msg);
    }
    const int nLeft = deadline.LeftMs();
    if (nLeft <= 0) return;
    MsgWaitForMultipleObjectsEx(1, &hWake, static_cast<DWORD>(nLeft),
                                QS_PAINT | QS_POSTMESSAGE | QS_SENDMESSAGE | QS_TIMER, 0);
  }
}

}  // namespace gui::win32
