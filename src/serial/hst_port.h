#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/serial_device.h"
#include "platform/wake_event.h"
#include "serial/byte_port.h"
#include "serial/port_policy.h"
#include "serial/stop_block.h"
#include "serial/stop_source.h"

// The byte transport to one phone: open its port by COM number, write
// buffers and read a given number of bytes, each with a time limit.
//
// Reads: a read waits for its first byte, then for the rest of the bytes,
// each up to the limit its policy gives its time-out class. It returns false
// on time-out, when the device is gone, when the port closes, and when the
// operator's stop flag is set and the policy lets it end reads. Every wait
// blocks on the device, the port's abort event, the stop event and the
// calling thread's message queue together, so any of them ends it at once,
// and one pending message of the thread is serviced per pass.
//
// One worker thread owns the port and is the only one to read and write
// through it. Closing from another thread is safe: the pending wait is woken
// and fails, and the device is released once that wait has let go of it.
class CHstPort final : public IBytePort {
 public:
  explicit CHstPort(const SPortPolicy& policy);
  ~CHstPort() override;
  CHstPort(const CHstPort&) = delete;
  CHstPort& operator=(const CHstPort&) = delete;

  bool uart_init(int nPort, int nBaudRate, int nFlowCtrl);
  bool uart_open();
  bool uart_read(void* pBuf, uint32_t nCount, uint32_t* pnRead, int nTimeoutClass = kTimeoutSetting,
                 int nWithinMs = kNoReadBound) override;
  uint32_t uart_write(const void* pBuf, uint32_t nCount) override;
  void uart_cleanup();

  bool IsOpen() const override { return m_bOpened && Device() != nullptr; }
  // Set by the owner while no read or write runs, before each run.
  void SetPolicy(const SPortPolicy& policy) { m_policy = policy; }
  const SPortPolicy& Policy() const { return m_policy; }
  // Set by the owner before the first read; never owned.
  void SetStopSource(const IStopSource* pStop) { m_pStop = pStop; }
  void SetStopBlock(const SStopBlock* pStopBlock) { SetStopSource(pStopBlock); }
  bool StopRequested() const override {
    return m_policy.bStopEndsReads && m_pStop && m_pStop->IsStopping();
  }
  bool DeviceGone() const override;
  void PortLogV(int nLevel, const char* pszFormat, va_list args) const override;

  // Opens an already resolved device instead of a COM number; for tests that
  // run the port over a scripted device.
  bool OpenDevice(std::shared_ptr<platform::ISerialDevice> pDevice);

 private:
  void PortLog(int nLevel, const char* pszFormat, ...) const __attribute__((format(printf, 3, 4)));
  struct SIoHandles {
    std::shared_ptr<platform::ISerialDevice> pDevice;
    std::shared_ptr<platform::CWakeEvent> pAbort;
  };
  std::shared_ptr<platform::ISerialDevice> Device() const;
  SIoHandles Handles() const;
  bool StartOpened(std::shared_ptr<platform::ISerialDevice> pDevice);
  void MonitorMain();
  // Waits on the device, the abort and stop events and the thread's queue.
  platform::EWaitResult WaitIo(const SIoHandles& io, bool bForWrite, int nTimeoutMs,
                               bool* pbAborted);

  SPortPolicy m_policy;
  const IStopSource* m_pStop = nullptr;

  mutable std::mutex m_handleMutex;                     // guards m_pDevice and m_pAbortEvent
  std::shared_ptr<platform::ISerialDevice> m_pDevice;   // the open device (m_hComDev)
  std::shared_ptr<platform::CWakeEvent> m_pAbortEvent;  // signalled by the monitor on close

  std::thread m_monitor;
  std::unique_ptr<platform::CWakeEvent> m_pMonitorWake;  // ends the monitor's sleep on close

  std::atomic<bool> m_bOpened{false};   // written by the owner, read by the monitor
  std::atomic<bool> m_bClosing{false};  // written by the closer, read by monitor and reads

  int m_nBaudRate = 0;  // recorded, not applied: the link is a USB function
  int m_nPort = 0;
  int m_nFlowCtrl = 0;
};
