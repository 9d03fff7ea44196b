// Drives a started tavlo.exe through its window as an operator would: waits
// for the window, starts a second copy (which must end at once, having
// brought the first forward), presses Start, waits until the banner shows done (or the
// program ends), reads back the banner, the counts and the title, presses
// Stop and Exit and returns tavlo's exit status. Everything it reads and
// presses goes through window messages to the other process.
//   tavlo_window_driver TAVLO_EXE [HOLD_FILE]
// With HOLD_FILE, the window is left showing the written phone until that
// file exists (at most a minute), for a screenshot.
// Exit status: 0 when the phone was written and tavlo ended with 0.

#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/win32/wide_text.h"
#include "tavlo/ui/win32/control_ids.h"
#include "tavlo/ui/writer_texts.h"

namespace {

constexpr DWORD kPassMs = 100;  // one pass of the waits below: the program's end ends it
constexpr DWORD kWindowDeadlineMs = 60000;
constexpr DWORD kWriteDeadlineMs = 120000;
constexpr UINT kSendTimeoutMs = 60000;  // a handler may wait for the worker (Stop)

std::string ReadText(HWND hWnd) {
  wchar_t szText[512] = {};
  DWORD_PTR nResult = 0;
  SendMessageTimeoutW(hWnd, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(szText), SMTO_NORMAL,
                      kSendTimeoutMs, &nResult);
  return platform::WideToUtf8(szText);
}

bool Press(HWND hButton) {
  DWORD_PTR nResult = 0;
  return SendMessageTimeoutW(hButton, BM_CLICK, 0, 0, SMTO_NORMAL, kSendTimeoutMs, &nResult) != 0;
}

// Waits in passes on the process until fnDone holds; false when the process
// ended first or the deadline passed.
template <typename F>
bool WaitFor(HANDLE hProcess, DWORD dwDeadlineMs, F fnDone) {
  const ULONGLONG nEnd = GetTickCount64() + dwDeadlineMs;
  while (!fnDone()) {
    if (GetTickCount64() > nEnd) return false;
    if (WaitForSingleObject(hProcess, kPassMs) == WAIT_OBJECT_0) return fnDone();
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: tavlo_window_driver TAVLO_EXE [HOLD_FILE]\n");
    return 2;
  }
  std::wstring wstrCommand = L"\"" + platform::Utf8ToWide(argv[1]) + L"\"";
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, wstrCommand.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &si, &pi)) {
    std::fprintf(stderr, "cannot start %s\n", argv[1]);
    return 1;
  }
  CloseHandle(pi.hThread);
  HWND hMain = nullptr;
  auto found = [&] {
    hMain = FindWindowW(kTavloWindowClass, nullptr);
    return hMain != nullptr && IsWindowVisible(hMain);
  };
  if (!WaitFor(pi.hProcess, kWindowDeadlineMs, found)) {
    std::fprintf(stderr, "no tavlo window appeared\n");
    TerminateProcess(pi.hProcess, 1);
    return 1;
  }
  std::printf("title: %s\n", ReadText(hMain).c_str());
  // A second copy brings this window forward and ends at once, with no box
  // (a box would hold it until the deadline).
  PROCESS_INFORMATION second{};
  std::wstring wstrSecond = wstrCommand;
  if (CreateProcessW(nullptr, wstrSecond.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                     &second)) {
    DWORD dwSecond = 1;
    if (WaitForSingleObject(second.hProcess, kWindowDeadlineMs) == WAIT_OBJECT_0) {
      GetExitCodeProcess(second.hProcess, &dwSecond);
    } else {
      TerminateProcess(second.hProcess, 1);
    }
    std::printf("second copy: %lu\n", static_cast<unsigned long>(dwSecond));
    CloseHandle(second.hThread);
    CloseHandle(second.hProcess);
  }
  HWND hBanner = GetDlgItem(hMain, tavlo_id::kBanner);
  std::printf("banner before Start: %s\n", ReadText(hBanner).c_str());
  Press(GetDlgItem(hMain, tavlo_id::kStart));
  const std::string strDone = writer_text::kBannerTexts[3];
  const bool bDone =
      WaitFor(pi.hProcess, kWriteDeadlineMs, [&] { return ReadText(hBanner) == strDone; });
  std::printf("banner: %s\n", ReadText(hBanner).c_str());
  // The banner as drawn: a pixel of its background, read from the screen
  // once its repaint has run.
  RedrawWindow(hBanner, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
  RECT rcBanner{};
  GetWindowRect(hBanner, &rcBanner);
  HDC hdc = GetDC(nullptr);
  const COLORREF clr = GetPixel(hdc, rcBanner.left + 4, rcBanner.top + 4);
  ReleaseDC(nullptr, hdc);
  std::printf("banner colour: %d,%d,%d\n", GetRValue(clr), GetGValue(clr), GetBValue(clr));
  std::printf("counts: %s\n", ReadText(GetDlgItem(hMain, tavlo_id::kCounts)).c_str());
  std::printf("IMEI 1: %s\n", ReadText(GetDlgItem(hMain, tavlo_id::kFields[0])).c_str());
  std::fflush(stdout);
  if (argc == 3) {
    const std::wstring wstrHold = platform::Utf8ToWide(argv[2]);
    WaitFor(pi.hProcess, kWindowDeadlineMs,
            [&] { return GetFileAttributesW(wstrHold.c_str()) != INVALID_FILE_ATTRIBUTES; });
  }
  Press(GetDlgItem(hMain, tavlo_id::kStop));
  Press(GetDlgItem(hMain, tavlo_id::kExit));
  DWORD dwStatus = 1;
  if (WaitForSingleObject(pi.hProcess, kWindowDeadlineMs) != WAIT_OBJECT_0) {
    std::fprintf(stderr, "tavlo did not end after Exit\n");
    TerminateProcess(pi.hProcess, 1);
  } else {
    GetExitCodeProcess(pi.hProcess, &dwStatus);
  }
  CloseHandle(pi.hProcess);
  std::printf("tavlo status: %lu\n", static_cast<unsigned long>(dwStatus));
  return bDone && dwStatus == 0 ? 0 : 1;
}
