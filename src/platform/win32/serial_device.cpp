#include "platform/serial_device.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

#include "platform/win32/wide_text.h"

namespace platform {
namespace {

// How long a read armed to learn of the next byte stays with the driver
// before it is armed again; the waits above carry their own limits.
constexpr DWORD kArrivalReadMs = 60000;
// Bytes handed to the driver in one write; more are taken on the next call.
constexpr size_t kWriteChunk = 64 * 1024;

// Errors after which the device is not coming back: the USB device was
// pulled or its driver gave up on it.
bool IsGoneError(DWORD err) {
  switch (err) {
    case ERROR_ACCESS_DENIED:
    case ERROR_OPERATION_ABORTED:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_INVALID_HANDLE:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_BROKEN_PIPE:
      return true;
    default:
      return false;
  }
}

// The driver keeps a second open of a COM port out, but not every driver
// does (an emulated port on a terminal does not), so this process also
// refuses a second open of a device it holds itself.
std::mutex g_openMutex;
std::set<std::wstring> g_openDevices;

std::wstring DeviceName(const std::string& strPath) {
  // "COM12" opens only in the device namespace; "COM3" works both ways.
  if (strPath.size() > 3 && _strnicmp(strPath.c_str(), "COM", 3) == 0) {
    return L"\\\\.\\" + Utf8ToWide(strPath);
  }
  return Utf8ToWide(strPath);
}

std::wstring UpperCase(std::wstring str) {
  for (wchar_t& c : str) c = static_cast<wchar_t>(towupper(c));
  return str;
}

class CWinSerialDevice final : public ISerialDevice {
 public:
  CWinSerialDevice(HANDLE h, std::wstring wstrKey) : m_h(h), m_wstrKey(std::move(wstrKey)) {
    m_ovRead.hEvent = m_readEvent;
    m_ovWrite.hEvent = m_writeEvent;
  }

  ~CWinSerialDevice() override {
    // The driver writes into this object's buffers until each pending
    // operation has completed, so both are ended before anything is freed.
    CancelPending(m_ovRead, m_bReadPending);
    // The last bytes written (a passed phone's power-off) must still reach
    // the phone: only what is still unsent after a bounded wait is dropped,
    // so a phone that stopped reading cannot hold the close.
    const bool bOutputStuck = m_bGone || OutputStuckAfterWait();
    CancelPending(m_ovWrite, m_bWritePending);
    if (bOutputStuck) PurgeComm(m_h, PURGE_TXABORT | PURGE_TXCLEAR);
    CloseHandle(m_h);
    std::lock_guard lock(g_openMutex);
    g_openDevices.erase(m_wstrKey);
  }

  bool Ready() const { return m_readEvent && m_writeEvent; }

  int BytesWaiting() override {
    if (m_bGone) return -1;
    CollectArrivalRead();
    if (m_bGone) return -1;
    const int nQueued = QueuedInput();
    if (nQueued < 0) return -1;
    return nQueued + (m_bHaveByte ? 1 : 0);
  }

  int ReadSome(void* pBuf, size_t nMax) override {
    if (m_bGone) return -1;
    if (nMax == 0) return 0;
    CollectArrivalRead();
    if (m_bGone) return -1;
    auto* pBytes = static_cast<uint8_t*>(pBuf);
    size_t nGot = 0;
    if (m_bHaveByte) {
      pBytes[nGot++] = m_byte;
      m_bHaveByte = false;
    }
    // With the arrival read still with the driver nothing has come since.
    if (m_bReadPending || nGot == nMax) return static_cast<int>(nGot);
    const int nQueued = QueuedInput();
    if (nQueued < 0) return nGot > 0 ? static_cast<int>(nGot) : -1;
    if (nQueued == 0) return static_cast<int>(nGot);
    const DWORD dwWant = static_cast<DWORD>(std::min(nMax - nGot, static_cast<size_t>(nQueued)));
    DWORD dwRead = 0;
    ResetEvent(m_readEvent);
    if (!ReadFile(m_h, pBytes + nGot, dwWant, &dwRead, &m_ovRead)) {
      // The bytes are queued, so the driver completes the read at once.
      if (GetLastError() != ERROR_IO_PENDING ||
          !GetOverlappedResult(m_h, &m_ovRead, &dwRead, TRUE)) {
        if (IsGoneError(GetLastError())) m_bGone = true;
        return nGot > 0 ? static_cast<int>(nGot) : (m_bGone ? -1 : 0);
      }
    }
    return static_cast<int>(nGot + dwRead);
  }

  int WriteSome(const void* pBuf, size_t nLen, int* pErr) override {
    if (m_bGone) {
      *pErr = ERROR_ACCESS_DENIED;
      return -1;
    }
    if (m_bWritePending && !CollectWrite(pErr)) return m_bWritePending ? 0 : -1;
    if (m_dwWriteError != 0) {
      *pErr = static_cast<int>(m_dwWriteError);
      m_dwWriteError = 0;
      return -1;
    }
    if (nLen == 0) return 0;
    // The driver keeps the buffer until the write completes, so it gets a
    // copy and the caller's buffer is free at once, as with a kernel queue.
    const size_t nTake = std::min(nLen, kWriteChunk);
    m_writeBuf.assign(static_cast<const uint8_t*>(pBuf), static_cast<const uint8_t*>(pBuf) + nTake);
    DWORD dwDone = 0;
    ResetEvent(m_writeEvent);
    if (WriteFile(m_h, m_writeBuf.data(), static_cast<DWORD>(nTake), &dwDone, &m_ovWrite)) {
      return static_cast<int>(dwDone);
    }
    const DWORD err = GetLastError();
    if (err == ERROR_IO_PENDING) {
      m_bWritePending = true;
      return static_cast<int>(nTake);
    }
    *pErr = static_cast<int>(err);
    if (IsGoneError(err)) m_bGone = true;
    return -1;
  }

  EWaitResult Wait(bool bForWrite, std::span<const WaitHandle> wakes, int nTimeoutMs,
                   int* pWokenIndex) override {
    HANDLE handles[kMaxWakes + 1];
    DWORD nHandles = 1;
    for (WaitHandle h : wakes.first(std::min(wakes.size(), kMaxWakes))) {
      handles[nHandles++] = h ? h : m_neverEvent;
    }
    const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(std::max(nTimeoutMs, 0));
    for (;;) {
      if (m_bGone) return EWaitResult::Gone;
      if (bForWrite) {
        if (!m_bWritePending) return EWaitResult::Ready;
        handles[0] = m_writeEvent;
      } else {
        if (!ArmArrivalRead()) return m_bGone ? EWaitResult::Gone : EWaitResult::Ready;
        handles[0] = m_readEvent;
      }
      const ULONGLONG now = GetTickCount64();
      const DWORD dwLeft =
          nTimeoutMs < 0 ? INFINITE : static_cast<DWORD>(now < end ? end - now : 0);
      const DWORD rc = WaitForMultipleObjects(nHandles, handles, FALSE, dwLeft);
      if (rc == WAIT_OBJECT_0) {
        if (bForWrite) {
          int err = 0;
          CollectWrite(&err);
          if (m_dwWriteError != 0 && IsGoneError(m_dwWriteError)) m_bGone = true;
          return m_bGone ? EWaitResult::Gone : EWaitResult::Ready;
        }
        CollectArrivalRead();
        if (m_bHaveByte) return EWaitResult::Ready;
        continue;  // the arrival read ran out of time empty: arm it again
      }
      if (rc > WAIT_OBJECT_0 && rc < WAIT_OBJECT_0 + nHandles) {
        if (pWokenIndex) *pWokenIndex = static_cast<int>(rc - WAIT_OBJECT_0 - 1);
        return EWaitResult::Woken;
      }
      return EWaitResult::TimedOut;
    }
  }

  void DiscardInput() override {
    CancelPending(m_ovRead, m_bReadPending);
    m_bHaveByte = false;
    PurgeComm(m_h, PURGE_RXABORT | PURGE_RXCLEAR);
  }

  void DiscardBoth() override {
    DiscardInput();
    CancelPending(m_ovWrite, m_bWritePending);
    PurgeComm(m_h, PURGE_TXABORT | PURGE_TXCLEAR);
  }

  long NativeHandle() const override { return static_cast<long>(reinterpret_cast<intptr_t>(m_h)); }

 private:
  // An event handle closed with the object.
  struct SEvent {
    HANDLE h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~SEvent() {
      if (h) CloseHandle(h);
    }
    operator HANDLE() const { return h; }
  };

  // Bytes in the driver's input queue, -1 when the device has gone.
  int QueuedInput() {
    DWORD dwErrors = 0;
    COMSTAT stat{};
    if (!ClearCommError(m_h, &dwErrors, &stat)) {
      if (IsGoneError(GetLastError())) m_bGone = true;
      return m_bGone ? -1 : 0;
    }
    return static_cast<int>(std::min<DWORD>(stat.cbInQue, 0x7fffffff));
  }

  // Makes sure a one-byte read is with the driver, so that the read event
  // is set when the next byte comes. False when there is no need to wait:
  // a byte is already here (or the device has gone).
  bool ArmArrivalRead() {
    CollectArrivalRead();
    if (m_bGone || m_bHaveByte) return false;
    if (m_bReadPending) return true;
    if (QueuedInput() != 0) return false;
    DWORD dwRead = 0;
    ResetEvent(m_readEvent);
    if (ReadFile(m_h, &m_byte, 1, &dwRead, &m_ovRead)) {
      m_bHaveByte = dwRead == 1;
      return !m_bHaveByte;
    }
    const DWORD err = GetLastError();
    if (err == ERROR_IO_PENDING) {
      m_bReadPending = true;
      return true;
    }
    if (IsGoneError(err)) m_bGone = true;
    return false;
  }

  // Takes the result of the arrival read once it has completed.
  void CollectArrivalRead() {
    if (!m_bReadPending) return;
    DWORD dwRead = 0;
    if (GetOverlappedResult(m_h, &m_ovRead, &dwRead, FALSE)) {
      m_bReadPending = false;
      m_bHaveByte = dwRead == 1;
      return;
    }
    const DWORD err = GetLastError();
    if (err == ERROR_IO_INCOMPLETE) return;
    m_bReadPending = false;
    if (IsGoneError(err)) m_bGone = true;
  }

  // Takes the result of the pending write; false while it is still running
  // or when it failed (the error is kept for the next write).
  bool CollectWrite(int* pErr) {
    DWORD dwDone = 0;
    if (GetOverlappedResult(m_h, &m_ovWrite, &dwDone, FALSE)) {
      m_bWritePending = false;
      return true;
    }
    const DWORD err = GetLastError();
    if (err == ERROR_IO_INCOMPLETE) return false;
    m_bWritePending = false;
    m_dwWriteError = err;
    *pErr = static_cast<int>(err);
    return false;
  }

  // Whether bytes are still unsent once the pending write has had, and the
  // driver's queue has had, a bounded time to go out.
  bool OutputStuckAfterWait() {
    constexpr DWORD kLimitMs = 200;
    const ULONGLONG deadline = GetTickCount64() + kLimitMs;
    if (m_bWritePending) {
      int err = 0;
      WaitForSingleObject(m_writeEvent, kLimitMs);
      CollectWrite(&err);
      if (m_bWritePending) return true;
    }
    // No event says "sent", so the queue is polled; this runs once per close
    // and only while bytes are queued.
    for (;;) {
      DWORD dwErrors = 0;
      COMSTAT stat{};
      if (!ClearCommError(m_h, &dwErrors, &stat) || stat.cbOutQue == 0) return false;
      if (GetTickCount64() >= deadline) return true;
      Sleep(1);
    }
  }

  // Ends a pending operation and waits until the driver has let go of it.
  void CancelPending(OVERLAPPED& ov, bool& bPending) {
    if (!bPending) return;
    CancelIoEx(m_h, &ov);
    DWORD dwDone = 0;
    if (GetOverlappedResult(m_h, &ov, &dwDone, TRUE) && &ov == &m_ovRead && dwDone == 1) {
      m_bHaveByte = true;  // the byte came before the cancel did
    }
    bPending = false;
  }

  HANDLE m_h;
  std::wstring m_wstrKey;
  SEvent m_readEvent;
  SEvent m_writeEvent;
  SEvent m_neverEvent;  // stands in for a missing wake handle
  OVERLAPPED m_ovRead{};
  OVERLAPPED m_ovWrite{};
  bool m_bReadPending = false;
  bool m_bWritePending = false;
  uint8_t m_byte = 0;  // the arrival read's byte, handed out first
  bool m_bHaveByte = false;
  std::vector<uint8_t> m_writeBuf;
  DWORD m_dwWriteError = 0;
  bool m_bGone = false;  // only the owning thread reads and writes the device
};

}  // namespace

std::unique_ptr<ISerialDevice> OpenSerialDevice(const std::string& strPath, int* pErr) {
  const std::wstring wstrName = DeviceName(strPath);
  const std::wstring wstrKey = UpperCase(wstrName);
  {
    std::lock_guard lock(g_openMutex);
    if (!g_openDevices.insert(wstrKey).second) {
      *pErr = ERROR_ACCESS_DENIED;
      return nullptr;
    }
  }
  auto release = [&wstrKey] {
    std::lock_guard lock(g_openMutex);
    g_openDevices.erase(wstrKey);
  };
  // No sharing: the system keeps every other opener out while this is open.
  HANDLE h = CreateFileW(wstrName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *pErr = static_cast<int>(GetLastError());
    release();
    return nullptr;
  }
  // Bytes must pass unchanged: 8N1 binary, no flow control of either kind,
  // modem lines ignored. A USB port takes the speed without using it.
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (GetCommState(h, &dcb)) {
    dcb.BaudRate = 921600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    SetCommState(h, &dcb);
  }
  SetupComm(h, 64 * 1024, 64 * 1024);
  // A read returns at once with whatever is queued; with nothing queued it
  // returns with the first byte to arrive, or empty after kArrivalReadMs.
  // Writes have no driver limit: the callers bound their own waits.
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
  timeouts.ReadTotalTimeoutConstant = kArrivalReadMs;
  SetCommTimeouts(h, &timeouts);
  auto pDevice = std::make_unique<CWinSerialDevice>(h, wstrKey);
  if (!pDevice->Ready()) {
    *pErr = static_cast<int>(GetLastError());
    return nullptr;  // the destructor closes the handle and releases the name
  }
  return pDevice;
}

}  // namespace platform
