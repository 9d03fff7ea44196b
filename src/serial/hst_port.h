#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/serial_device.h"
#include "platform/wake_event.h"
#include "serial/stop_block.h"
#include "serial/tool_flavor.h"

// The operator's acknowledgement time-out in milliseconds (time-out class 0 of
// the download tool): 0 at process start, set from the settings at start-up.
extern std::atomic<int32_t> g_iTimeout;

// Time-out classes of the download tool's reads.
inline constexpr int kTimeoutSetting = 0;  // g_iTimeout
inline constexpr int kTimeout60s = -1;
inline constexpr int kTimeout90s = 1;
inline constexpr int kTimeout120s = 2;

// The byte transport to one phone: open its port by COM number, write
// buffers and read a given number of bytes, each with a time limit.
//
// Reads: a read waits for its first byte up to its time limit (the class's
// limit in the download tool, 10 s in the writer), then for the rest of the
// bytes up to the limit again (54,464 ms in the writer). It returns false on
// time-out, when the device is gone, when the port closes, and in the
// download tool when the operator's stop flag is set. Every wait blocks on
// the device, the port's abort event, the stop event and the calling thread's
// message queue together, so any of them ends it at once, and one pending
// message of the thread is serviced per pass.
//
// One worker thread owns the port and is the only one to read and write
// through it. Closing from another thread is safe: the pending wait is woken
// and fails, and the device is released once that wait has let go of it.
class CHstPort {
 public:
  explicit CHstPort(EToolFlavor eFlavor = EToolFlavor::Download);
  virtual ~CHstPort();
  CHstPort(const CHstPort&) = delete;
  CHstPort& operator=(const CHstPort&) = delete;

  bool uart_init(int nPort, int nBaudRate, int nFlowCtrl);
  bool uart_open();
  bool uart_read(void* pBuf, uint32_t nCount, uint32_t* pnRead, int nTimeoutClass = 0);
  // Returns the number of bytes written; 0 when none could be written.
  uint32_t uart_write(const void* pBuf, uint32_t nCount);
  void uart_cleanup();

  bool IsOpen() const { return m_bOpened && Device() != nullptr; }
  bool IsDownloadTool() const { return m_eFlavor == EToolFlavor::Download; }
  // Set by the owner before the first read; never owned.
  void SetStopBlock(SStopBlock* pStopBlock) { m_pStopBlock = pStopBlock; }
  bool StopRequested() const {
    return IsDownloadTool() && m_pStopBlock && m_pStopBlock->IsStopping();
  }
  // True when the open device has hung up or been unplugged.
  bool DeviceGone() const;

  // Opens an already resolved device instead of a COM number; for tests that
  // run the port over a scripted device.
  bool OpenDevice(std::shared_ptr<platform::ISerialDevice> pDevice);

 protected:
  // A port-log line when this is the download tool's port.
  void PortLog(int nLevel, const char* pszFormat, ...) const __attribute__((format(printf, 3, 4)));

 private:
  struct SIoHandles {
    std::shared_ptr<platform::ISerialDevice> pDevice;
    std::shared_ptr<platform::CWakeEvent> pAbort;
  };
  std::shared_ptr<platform::ISerialDevice> Device() const;
  SIoHandles Handles() const;
  bool StartOpened(std::shared_ptr<platform::ISerialDevice> pDevice);
  void MonitorMain();
  int ReadLimitMs(int nTimeoutClass) const;
  int PendingLimitMs(int nTimeoutClass) const;
  // Waits on the device, the abort and stop events and the thread's queue.
  platform::EWaitResult WaitIo(const SIoHandles& io, bool bForWrite, int nTimeoutMs,
                               bool* pbAborted);

  const EToolFlavor m_eFlavor;
  SStopBlock* m_pStopBlock = nullptr;

  mutable std::mutex m_handleMutex;  // guards m_pDevice and m_pAbortEvent
  std::shared_ptr<platform::ISerialDevice> m_pDevice;    // the open device (m_hComDev)
  std::shared_ptr<platform::CWakeEvent> m_pAbortEvent;  // signalled by the monitor on close

  std::thread m_monitor;
  std::unique_ptr<platform::CWakeEvent> m_pMonitorWake;  // ends the monitor's sleep on close

  std::atomic<bool> m_bOpened{false};          // written by the owner, read by the monitor
  std::atomic<bool> m_bClosing{false};         // written by the closer, read by monitor and reads

  int m_nBaudRate = 0;  // recorded, not applied: the link is a USB function
  int m_nPort = 0;
  int m_nFlowCtrl = 0;
};
