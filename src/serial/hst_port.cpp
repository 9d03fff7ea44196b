#include "serial/hst_port.h"

#include <pthread.h>

#include <chrono>
#include <climits>
#include <cstdarg>
#include <vector>

#include "common/deadline.h"
#include "common/message_queue.h"
#include "common/op_log.h"
#include "serial/port_discovery.h"

namespace {

using platform::EWaitResult;

constexpr int kWriteLimitMs = 5000;
// Upper bound of one pass of a read waiting for its first byte.
constexpr int kReadPollMs = 20;
// Upper bound of one pass of the monitor thread.
constexpr int kMonitorPollMs = 500;
// What the download tool logs when the device has gone (access denied).
constexpr int kErrorAccessDenied = 5;

}  // namespace

CHstPort::CHstPort(const SPortPolicy& policy) : m_policy(policy) {}

CHstPort::~CHstPort() {
  m_bClosing = true;
  if (m_bOpened || m_monitor.joinable()) uart_cleanup();
}

void CHstPort::PortLogV(int nLevel, const char* pszFormat, va_list args) const {
  if (m_policy.pfnPortLog) m_policy.pfnPortLog(m_nPort, nLevel, pszFormat, args);
}

void CHstPort::PortLog(int nLevel, const char* pszFormat, ...) const {
  if (!m_policy.pfnPortLog) return;
  va_list args;
  va_start(args, pszFormat);
  m_policy.pfnPortLog(m_nPort, nLevel, pszFormat, args);
  va_end(args);
}

std::shared_ptr<platform::ISerialDevice> CHstPort::Device() const {
  std::lock_guard lock(m_handleMutex);
  return m_pDevice;
}

CHstPort::SIoHandles CHstPort::Handles() const {
  std::lock_guard lock(m_handleMutex);
  return {m_pDevice, m_pAbortEvent};
}

bool CHstPort::DeviceGone() const {
  const auto pDevice = Device();
  return pDevice && pDevice->BytesWaiting() < 0;
}

bool CHstPort::uart_init(int nPort, int nBaudRate, int nFlowCtrl) {
  m_nPort = nPort;
  m_nBaudRate = nBaudRate;
  m_nFlowCtrl = nFlowCtrl;
  try {
    auto pAbort = std::make_shared<platform::CWakeEvent>();
    std::lock_guard lock(m_handleMutex);
    m_pAbortEvent = std::move(pAbort);
  } catch (const std::exception&) {
    return false;  // out of descriptors
  }
  return true;
}

bool CHstPort::uart_open() {
  if (m_nPort < 1 || m_nPort > 255) return false;
  if (m_bOpened) return true;
  const std::string strDevice = DeviceOfComPort(m_nPort);
  if (strDevice.empty()) return false;
  int err = 0;
  std::shared_ptr<platform::ISerialDevice> pDevice = platform::OpenSerialDevice(strDevice, &err);
  if (!pDevice) return false;
  return StartOpened(std::move(pDevice));
}

bool CHstPort::OpenDevice(std::shared_ptr<platform::ISerialDevice> pDevice) {
  if (m_bOpened) return true;
  return pDevice && StartOpened(std::move(pDevice));
}

bool CHstPort::StartOpened(std::shared_ptr<platform::ISerialDevice> pDevice) {
  try {
    std::lock_guard lock(m_handleMutex);
    if (!m_pAbortEvent) m_pAbortEvent = std::make_shared<platform::CWakeEvent>();
    m_pDevice = std::move(pDevice);
  } catch (const std::exception&) {
    return false;
  }
  m_bOpened = true;
  Device()->DiscardBoth();
  m_bClosing = false;
  try {
    m_pMonitorWake = std::make_unique<platform::CWakeEvent>();
    m_monitor = std::thread([this] { MonitorMain(); });
    pthread_setname_np(m_monitor.native_handle(), "port-monitor");  // for tests and debuggers
  } catch (const std::exception&) {
    // Without a monitor the port still works; only a close from another
    // thread is noticed at the next poll instead of at once.
  }
  return true;
}

void CHstPort::MonitorMain() {
  while (m_bOpened && !m_bClosing) m_pMonitorWake->Wait(kMonitorPollMs);
  // Release any read or write still waiting on the device.
  if (auto pAbort = Handles().pAbort) pAbort->Signal();
}

EWaitResult CHstPort::WaitIo(const SIoHandles& io, bool bForWrite, int nTimeoutMs,
                             bool* pbAborted) {
  // Wake-up sources in a fixed order: abort, queue, then the stop event
  // (reads only: the operator's stop does not cut a write short).
  platform::WaitHandle wakes[3];
  size_t nWakes = 0;
  wakes[nWakes++] = io.pAbort->Handle();
  if (CMessageQueue* pQueue = CMessageQueue::Current()) wakes[nWakes++] = pQueue->WakeHandle();
  if (!bForWrite && m_policy.bStopEndsReads && m_pStop) wakes[nWakes++] = m_pStop->StopHandle();
  int nWoken = -1;
  const EWaitResult result = io.pDevice->Wait(
      bForWrite, std::span<const platform::WaitHandle>(wakes, nWakes), nTimeoutMs, &nWoken);
  *pbAborted = result == EWaitResult::Woken && nWoken == 0 && io.pAbort->Consume();
  return result;
}

bool CHstPort::uart_read(void* pBuf, uint32_t nCount, uint32_t* pnRead, int nTimeoutClass,
                         int nWithinMs) {
  const SIoHandles io = Handles();
  if (!m_bOpened || !io.pDevice || !io.pAbort) return false;
  if (nCount == 0) {
    *pnRead = 0;
    return true;
  }
  auto* pBytes = static_cast<uint8_t*>(pBuf);
  const SReadLimits limits = m_policy.ReadLimits(nTimeoutClass);
  // The bound of the whole that this read is a piece of caps both limits.
  const CDeadline whole(nWithinMs >= 0 ? nWithinMs : INT_MAX);
  const CDeadline idle(std::min(limits.nFirstByteMs, whole.LeftMs()));
  bool bAborted = false;

  // Wait for the first byte. Reading straight away, rather than asking how
  // much is queued first, saves a poll per read: on a pseudo-terminal every
  // poll waits for the terminal's buffer work and costs more than the read.
  uint32_t nGot = 0;
  for (;;) {
    if (StopRequested()) return false;
    const int n = io.pDevice->ReadSome(pBytes, nCount);
    DispatchOnePending();
    if (n < 0) {
      PortLog(kLogAlways, "ClearCommError err:%d return false", kErrorAccessDenied);
      return false;
    }
    if (n > 0) {
      nGot = static_cast<uint32_t>(n);
      break;
    }
    if (idle.Passed() || m_bClosing || !m_bOpened) return false;
    WaitIo(io, false, std::min(kReadPollMs, idle.LeftMs()), &bAborted);
  }

  // Wait for the rest of the bytes up to the pending limit.
  if (nGot == nCount) {
    *pnRead = nGot;
    return true;
  }
  const CDeadline pending(std::min(limits.nRestMs, whole.LeftMs()));
  for (;;) {
    if (pending.Passed()) return false;
    const EWaitResult result = WaitIo(io, false, pending.LeftMs(), &bAborted);
    if (StopRequested()) return false;
    if (bAborted) {
      PortLog(0, "WAIT_OBJECT_0");
      return false;
    }
    if (result == EWaitResult::Woken) DispatchOnePending();
    if (result == EWaitResult::Woken || result == EWaitResult::TimedOut) continue;
    const int n = io.pDevice->ReadSome(pBytes + nGot, nCount - nGot);
    if (n < 0) {
      PortLog(0, "WAIT_OBJECT_0+1");
      return false;
    }
    nGot += static_cast<uint32_t>(n);
    if (nGot == nCount) {
      PortLog(0, "WAIT_OBJECT_0+1 nbread:%d", static_cast<int>(nGot));
      *pnRead = nGot;
      return true;
    }
  }
}

uint32_t CHstPort::uart_write(const void* pBuf, uint32_t nCount) {
  const SIoHandles io = Handles();
  if (!m_bOpened || !io.pDevice || !io.pAbort) return 0;
  PortLog(0, "[uart_write] start!");
  // A reply that arrived but was not read belongs to an earlier exchange.
  io.pDevice->DiscardInput();

  const auto* pBytes = static_cast<const uint8_t*>(pBuf);
  int err = 0;
  const int nFirst = io.pDevice->WriteSome(pBytes, nCount, &err);
  if (nFirst < 0) {
    PortLog(kLogAlways, "[uart_write] other err:%d", err);
    return 0;
  }
  uint32_t nDone = static_cast<uint32_t>(nFirst);
  if (nDone == nCount) {
    PortLog(0, "[uart_write] ok 3!");
    return nDone;
  }

  const CDeadline deadline(kWriteLimitMs);
  bool bAborted = false;
  // A terminal takes a large packet a few KiB at a time while the phone
  // reads it. After a write that took bytes the rest is offered again at
  // once, and the wait comes only when nothing was taken: a wait before
  // every piece cost a poll and a sleep per few KiB.
  bool bTook = nFirst > 0;
  while (nDone < nCount) {
    if (deadline.Passed()) {
      PortLog(0, "[uart_write] default");
      break;
    }
    if (bTook) {
      const int n = io.pDevice->WriteSome(pBytes + nDone, nCount - nDone, &err);
      if (n < 0) {
        PortLog(0, "[uart_write] GetOverlappedResult");
        break;
      }
      nDone += static_cast<uint32_t>(n);
      bTook = n > 0;
      continue;
    }
    const EWaitResult result = WaitIo(io, true, deadline.LeftMs(), &bAborted);
    if (bAborted) {
      PortLog(0, "[uart_write] WAIT_OBJECT_0");
      break;
    }
    if (result == EWaitResult::Woken) {
      DispatchOnePending();
      continue;
    }
    if (result == EWaitResult::TimedOut) continue;
    const int n = result == EWaitResult::Ready
                      ? io.pDevice->WriteSome(pBytes + nDone, nCount - nDone, &err)
                      : -1;
    if (n < 0) {
      PortLog(0, "[uart_write] GetOverlappedResult");
      break;
    }
    nDone += static_cast<uint32_t>(n);
    bTook = n > 0;
  }
  if (nDone == nCount) {
    PortLog(0, "[uart_write] ok 2 return dwBytesWritten:%d!", static_cast<int>(nDone));
    return nDone;
  }
  PortLog(0, "[uart_write] end!");
  // What did go out is reported, so that a caller who writes the rest does
  // not send those bytes twice.
  return nDone;
}

void CHstPort::uart_cleanup() {
  const auto pDevice = Device();
  PortLog(0, "[CHstPort] uart_cleanup m_bOpened:%d, m_hComDev:0x%lx", m_bOpened ? 1 : 0,
          pDevice ? pDevice->NativeHandle() : 0L);
  if (!m_bOpened || !pDevice) {
    if (m_monitor.joinable()) m_monitor.join();
    return;
  }
  m_bClosing = true;
  if (m_pMonitorWake) m_pMonitorWake->Signal();
  if (m_monitor.joinable()) m_monitor.join();
  m_bOpened = false;
  {
    std::lock_guard lock(m_handleMutex);
    m_pDevice.reset();
    m_pAbortEvent.reset();
  }
  m_pMonitorWake.reset();
  PortLog(0, "[CHstPort] COM Close Ok!");
}
