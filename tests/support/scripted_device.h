#pragma once

#include <poll.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <thread>
#include <vector>

#include "platform/serial_device.h"

// A serial device played by the test script: replies are queued up front,
// and writes can be made slow (one byte per nWriteStepMs) to exercise the
// write time limits that a pseudo-terminal is far too fast to reach.
class CScriptedDevice final : public platform::ISerialDevice {
 public:
  void QueueReply(const std::vector<uint8_t>& bytes) {
    m_input.insert(m_input.end(), bytes.begin(), bytes.end());
  }
  void SetWriteStepMs(int nMs) { m_nWriteStepMs = nMs; }
  const std::vector<uint8_t>& Written() const { return m_written; }

  int BytesWaiting() override { return static_cast<int>(m_input.size()); }
  int ReadSome(void* pBuf, size_t nMax) override {
    const size_t n = std::min(nMax, m_input.size());
    std::copy_n(m_input.begin(), n, static_cast<uint8_t*>(pBuf));
    m_input.erase(m_input.begin(), m_input.begin() + static_cast<long>(n));
    return static_cast<int>(n);
  }
  int WriteSome(const void* pBuf, size_t nLen, int*) override {
    if (m_nWriteStepMs == 0) {
      Append(pBuf, nLen);
      return static_cast<int>(nLen);
    }
    if (!m_bWritable || nLen == 0) return 0;
    m_bWritable = false;
    Append(pBuf, 1);
    return 1;
  }
  platform::EWaitResult Wait(bool bForWrite, std::span<const int> wakeFds, int nTimeoutMs,
                             int* pWokenIndex) override {
    const int nWait = bForWrite ? std::min(nTimeoutMs, m_nWriteStepMs) : nTimeoutMs;
    std::vector<pollfd> fds;
    for (int fd : wakeFds) fds.push_back({fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), nWait) > 0) {
      for (size_t i = 0; i < fds.size(); ++i) {
        if (fds[i].revents) {
          *pWokenIndex = static_cast<int>(i);
          return platform::EWaitResult::Woken;
        }
      }
    }
    if (bForWrite && nWait == m_nWriteStepMs) {
      m_bWritable = true;
      return platform::EWaitResult::Ready;
    }
    return platform::EWaitResult::TimedOut;
  }
  void DiscardInput() override {}
  void DiscardBoth() override {}
  long NativeHandle() const override { return 99; }

 private:
  void Append(const void* pBuf, size_t n) {
    const auto* p = static_cast<const uint8_t*>(pBuf);
    m_written.insert(m_written.end(), p, p + n);
  }
  std::deque<uint8_t> m_input;
  std::vector<uint8_t> m_written;
  int m_nWriteStepMs = 0;
  bool m_bWritable = false;
};
