#include "platform/device_monitor.h"

#include <windows.h>
// windows.h first: these need its types.
#include <dbt.h>
#include <devguid.h>
#include <initguid.h>

#include <mutex>

#include "platform/win32/wide_text.h"

namespace platform {
namespace {

constexpr wchar_t kWindowClass[] = L"NorqDeviceMonitor";

// The serial port interface class; the arrival and removal of a COM port
// is announced for it.
const GUID kComPortInterface = {
    0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};

LRESULT CALLBACK MonitorWindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  if (uMsg == WM_DEVICECHANGE &&
      (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE)) {
    auto* pChanged = reinterpret_cast<bool*>(GetWindowLongPtrW(hWnd, GWLP_USERDATA));
    if (pChanged) *pChanged = true;
    return TRUE;
  }
  return DefWindowProcW(hWnd, uMsg, wParam, lParam);
}

}  // namespace

struct CDeviceMonitor::SSources {
  std::wstring m_wstrFolder;
  HANDLE m_hFolderChange = INVALID_HANDLE_VALUE;
  HWND m_hWnd = nullptr;
  HDEVNOTIFY m_hNotify = nullptr;
  bool m_bDeviceChanged = false;  // set by the window procedure, on the monitor's thread
  HANDLE m_hReady = CreateEventW(nullptr, TRUE, FALSE, nullptr);

  ~SSources() {
    if (m_hFolderChange != INVALID_HANDLE_VALUE) FindCloseChangeNotification(m_hFolderChange);
    if (m_hReady) CloseHandle(m_hReady);
  }

  // On the monitor's thread: the window belongs to the thread that creates it.
  void OpenWindow() {
    HINSTANCE hInstance = GetModuleHandleW(nullptr);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = MonitorWindowProc;
    wc.hInstance = hInstance;
    wc.lpszClassName = kWindowClass;
    RegisterClassExW(&wc);  // fails harmlessly when a second monitor registers it again
    m_hWnd = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, hInstance,
                             nullptr);
    if (!m_hWnd) return;
    SetWindowLongPtrW(m_hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&m_bDeviceChanged));
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kComPortInterface;
    m_hNotify = RegisterDeviceNotificationW(m_hWnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  }

  void CloseWindow() {
    if (m_hNotify) UnregisterDeviceNotification(m_hNotify);
    if (m_hWnd) DestroyWindow(m_hWnd);
  }

  void OpenFolderWatch() {
    if (m_wstrFolder.empty()) return;
    m_hFolderChange =
        FindFirstChangeNotificationW(m_wstrFolder.c_str(), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME);
  }
};

CDeviceMonitor::CDeviceMonitor(std::function<void()> fnOnChange, const std::string& strLinkFolder)
    : m_fnOnChange(std::move(fnOnChange)), m_pSources(std::make_unique<SSources>()) {
  m_pSources->m_wstrFolder = Utf8ToWide(strLinkFolder);
  m_pSources->OpenFolderWatch();
  m_thread = std::thread(&CDeviceMonitor::Run, this);
  // The window is made on the monitor's thread; it is registered before
  // this returns, so no change made afterwards is missed.
  if (m_pSources->m_hReady) WaitForSingleObject(m_pSources->m_hReady, INFINITE);
}

CDeviceMonitor::~CDeviceMonitor() {
  m_stop.Signal();
  m_thread.join();
}

void CDeviceMonitor::Run() {
  SSources& src = *m_pSources;
  src.OpenWindow();
  if (src.m_hReady) SetEvent(src.m_hReady);
  HANDLE handles[2] = {m_stop.Handle(), src.m_hFolderChange};
  const DWORD nHandles = src.m_hFolderChange != INVALID_HANDLE_VALUE ? 2 : 1;
  for (;;) {
    const DWORD rc = MsgWaitForMultipleObjects(nHandles, handles, FALSE, INFINITE, QS_ALLINPUT);
    if (rc == WAIT_OBJECT_0) break;
    bool bChanged = false;
    if (rc == WAIT_OBJECT_0 + 1 && nHandles == 2) {
      bChanged = true;
      FindNextChangeNotification(src.m_hFolderChange);
    } else if (rc == WAIT_OBJECT_0 + nHandles) {
      MSG msg;
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
      bChanged = src.m_bDeviceChanged;
      src.m_bDeviceChanged = false;
    } else {
      break;  // the wait itself failed; nothing more can be watched
    }
    if (bChanged) m_fnOnChange();
  }
  src.CloseWindow();
}

}  // namespace platform
