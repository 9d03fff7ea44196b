#pragma once

#include <windows.h>

#include <functional>

#include "common/message_queue.h"

// A Win32 window thread that also owns a CMessageQueue (the workers' row
// updates and sent notifications): one wait on the system's message queue and
// the CMessageQueue's wake event, so neither side polls.
namespace gui::win32 {

// Runs until WM_QUIT (returns its exit code) or until hDialog is destroyed
// (returns 0). Dialog keys (Tab, Enter, Escape) go to hDialog. fnServed runs
// after a batch of queue entries ran (at most kSliceMs of them at a time,
// then the window gets to paint and take input).
int RunMessageLoop(HWND hDialog, CMessageQueue& queue, const std::function<void()>& fnServed);
inline constexpr int kSliceMs = 8;

// One pass of a window thread's wait loop inside a handler (Stop all waiting
// for the workers): takes one queue entry if one is pending, else waits at
// most nMs for one while the window keeps painting and its timers and posted
// messages run. Input waits until the handler has returned.
void ServeWhileWaiting(CMessageQueue& queue, int nMs);

}  // namespace gui::win32
