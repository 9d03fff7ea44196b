#pragma once

#include <windows.h>

#include <string>

// One copy per session: the program's lock (platform::CInstanceLock, a named
// semaphore) says whether another copy runs; its main window carries a window
// property named after the program, by which a second copy finds it.
namespace gui::win32 {

// Call from WM_INITDIALOG / WM_CREATE and WM_DESTROY of the main window.
void MarkMainWindow(HWND hWnd, const std::string& strInstance);
void UnmarkMainWindow(HWND hWnd, const std::string& strInstance);

// Walks the top-level windows for the one marked strInstance: restores it
// when minimised and brings it and its last active pop-up (a message box,
// a file dialog) to the front. False when no window carries the mark (the
// running copy is still starting, or already closing).
bool RaiseRunningCopy(const std::string& strInstance);

}  // namespace gui::win32
