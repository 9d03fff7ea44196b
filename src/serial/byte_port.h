#pragma once

#include <cstdarg>
#include <cstdint>

// What the packet protocol needs of a port: reads and writes bounded in
// time, and the port's state and log. A read is bounded by its time-out
// class, whose limits the port's policy gives; a write drops unread input
// first, since a reply that was not read belongs to an earlier exchange.
// A read with no bound beyond its class's limits.
inline constexpr int kNoReadBound = -1;

class IBytePort {
 public:
  virtual ~IBytePort() = default;

  // True once all nCount bytes have arrived within the class's limits and,
  // unless nWithinMs is kNoReadBound, within nWithinMs in all: the time left
  // of the whole exchange this read is a piece of.
  virtual bool uart_read(void* pBuf, uint32_t nCount, uint32_t* pnRead, int nTimeoutClass,
                         int nWithinMs = kNoReadBound) = 0;
  // Returns the number of bytes written; 0 when none could be written.
  virtual uint32_t uart_write(const void* pBuf, uint32_t nCount) = 0;
  virtual bool IsOpen() const = 0;
  // True when the open device has hung up or been unplugged.
  virtual bool DeviceGone() const = 0;
  // True when the operator's stop is to cut the port's exchanges short.
  virtual bool StopRequested() const = 0;
  // A line of the port's log, when its policy keeps one.
  virtual void PortLogV(int nLevel, const char* pszFormat, va_list args) const = 0;
};
