// Drives a running program's window from outside, through window messages,
// for the end-to-end window tests under Wine:
//   window_driver CLASS STEP...
// finds the visible top-level window of the window class CLASS and runs the
// steps in order (texts in them are UTF-8, percent-encoded: Wine hands a
// program its arguments in the locale's character set, which may have no
// Chinese):
//   click:ID          BM_CLICK on control ID (posted: a message box it opens
//                     does not hold the driver)
//   wait:ID=T1|T2...  until control ID's text starts with one of the texts
//   text:ID           prints "ID<TAB>text"
//   center:ID         prints "ID<TAB>x<TAB>y", the control's centre on the screen
//   right:ID          the same, 6 pixels inside its right edge
//   close             WM_CLOSE to the window, then waits until it is gone
// Every wait is bounded by one deadline (NORQ_DRIVER_TIMEOUT_MS, 120000);
// the exit status is 1 when it passes, 2 for bad usage.

#include <windows.h>
// windows.h first: it needs its types.
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/deadline.h"
#include "platform/win32/wide_text.h"

namespace {

constexpr int kPollMs = 50;  // the other process's window changes without telling us

// "%E5%AE%8C" -> the bytes E5 AE 8C.
std::string PercentDecoded(const std::string& str) {
  std::string out;
  for (size_t i = 0; i < str.size(); ++i) {
    if (str[i] == '%' && i + 2 < str.size()) {
      out += static_cast<char>(std::strtol(str.substr(i + 1, 2).c_str(), nullptr, 16));
      i += 2;
    } else {
      out += str[i];
    }
  }
  return out;
}

std::string TextOf(HWND hControl) {
  wchar_t szText[1024] = {};
  SendMessageW(hControl, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(szText));
  return platform::WideToUtf8(szText);
}

std::vector<std::string> Split(const std::string& str, char sep) {
  std::vector<std::string> parts;
  size_t nStart = 0;
  for (;;) {
    const size_t n = str.find(sep, nStart);
    parts.push_back(str.substr(nStart, n - nStart));
    if (n == std::string::npos) return parts;
    nStart = n + 1;
  }
}

// Polls fnReady until it holds or the deadline passes.
template <typename F>
bool WaitFor(const CDeadline& deadline, F fnReady) {
  while (!fnReady()) {
    if (deadline.Passed()) return false;
    Sleep(kPollMs);
  }
  return true;
}

}  // namespace

int main() {
  // The arguments as UTF-16: the narrow ones are in the system's code page.
  int argc = 0;
  LPWSTR* pArgs = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::string> argv;
  for (int i = 0; i < argc; ++i) argv.push_back(platform::WideToUtf8(pArgs[i]));
  LocalFree(pArgs);
  if (argc < 2) {
    std::fprintf(stderr, "usage: window_driver CLASS STEP...\n");
    return 2;
  }
  const char* pszTimeout = std::getenv("NORQ_DRIVER_TIMEOUT_MS");
  const CDeadline deadline(pszTimeout ? std::atoi(pszTimeout) : 120000);
  const std::wstring wstrClass = platform::Utf8ToWide(argv[1]);
  HWND hWnd = nullptr;
  if (!WaitFor(deadline, [&] {
        hWnd = FindWindowW(wstrClass.c_str(), nullptr);
        return hWnd != nullptr && IsWindowVisible(hWnd);
      })) {
    std::fprintf(stderr, "window_driver: no window of the class %s\n", argv[1].c_str());
    return 1;
  }
  for (int i = 2; i < argc; ++i) {
    const std::string strStep = PercentDecoded(argv[i]);
    const size_t nColon = strStep.find(':');
    const std::string strVerb = strStep.substr(0, nColon);
    const std::string strArg = nColon == std::string::npos ? "" : strStep.substr(nColon + 1);
    const int nId = std::atoi(strArg.c_str());
    HWND hControl = GetDlgItem(hWnd, nId);
    if (strVerb == "close") {
      PostMessageW(hWnd, WM_CLOSE, 0, 0);
      if (!WaitFor(deadline, [&] { return !IsWindow(hWnd); })) {
        std::fprintf(stderr, "window_driver: the window did not close\n");
        return 1;
      }
      continue;
    }
    if (!hControl) {
      std::fprintf(stderr, "window_driver: no control %d\n", nId);
      return 1;
    }
    if (strVerb == "click") {
      PostMessageW(hControl, BM_CLICK, 0, 0);
    } else if (strVerb == "wait") {
      const std::vector<std::string> texts = Split(strArg.substr(strArg.find('=') + 1), '|');
      std::string strLast;
      if (!WaitFor(deadline, [&] {
            strLast = TextOf(hControl);
            for (const std::string& t : texts) {
              if (strLast.rfind(t, 0) == 0) return true;
            }
            return false;
          })) {
        std::fprintf(stderr, "window_driver: control %d still shows \"%s\"\n", nId,
                     strLast.c_str());
        return 1;
      }
    } else if (strVerb == "text") {
      std::printf("%d\t%s\n", nId, TextOf(hControl).c_str());
    } else if (strVerb == "center" || strVerb == "right") {
      RECT rect;
      GetWindowRect(hControl, &rect);
      const int x = strVerb == "center" ? (rect.left + rect.right) / 2 : rect.right - 6;
      std::printf("%d\t%ld\t%ld\n", nId, static_cast<long>(x),
                  static_cast<long>((rect.top + rect.bottom) / 2));
    } else {
      std::fprintf(stderr, "window_driver: unknown step %s\n", strStep.c_str());
      return 2;
    }
    std::fflush(stdout);
  }
  return 0;
}
