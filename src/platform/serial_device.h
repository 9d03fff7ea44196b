#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>

#include "platform/wait_handle.h"

// The byte stream to one serial device, as the port class needs it.
//
// Contract: every call returns at once except Wait(), which blocks in one
// system wait on the device and on the wake-up handles it is given, for at
// most nTimeoutMs. A device that has gone (unplugged, hung up) stays gone:
// from then on BytesWaiting() and ReadSome() report -1 and writes fail.

namespace platform {

enum class EWaitResult {
  Ready,     // the device can be read (or written, for a write wait)
  Woken,     // one of the wake handles is ready; its index is returned
  TimedOut,  // nothing happened within the time
  Gone,      // the device hung up or failed
};

class ISerialDevice {
 public:
  // Wake handles beyond this many are not watched.
  static constexpr size_t kMaxWakes = 7;

  virtual ~ISerialDevice() = default;

  // Bytes queued for reading: at least 1 whenever the device is readable,
  // 0 when nothing waits, -1 when the device is gone.
  virtual int BytesWaiting() = 0;
  // Reads up to nMax waiting bytes; 0 when nothing waits, -1 when gone.
  virtual int ReadSome(void* pBuf, size_t nMax) = 0;
  // Writes what the device takes now; 0 when its queue is full, -1 on a
  // failure, with the system error in *pErr.
  virtual int WriteSome(const void* pBuf, size_t nLen, int* pErr) = 0;
  virtual EWaitResult Wait(bool bForWrite, std::span<const WaitHandle> wakes, int nTimeoutMs,
                           int* pWokenIndex) = 0;
  // Drops unread input. Output is never discarded before a write: on a
  // pseudo-terminal that can drop bytes the other side has not read yet.
  virtual void DiscardInput() = 0;
  // Drops input and output, for opening and closing.
  virtual void DiscardBoth() = 0;
  // The value shown in log lines as the device handle.
  virtual long NativeHandle() const = 0;
};

// Opens a serial device for exclusive use in raw mode (bytes pass unchanged,
// no echo, no flow control, modem lines ignored). A second open of the same
// device, from this process or another, fails even for root. Returns null
// with the system error in *pErr on failure.
std::unique_ptr<ISerialDevice> OpenSerialDevice(const std::string& strPath, int* pErr);

}  // namespace platform
