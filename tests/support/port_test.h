#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "common/op_log.h"
#include "pty_phone.h"
#include "serial/byte_port.h"

// Tests that read the logs, a port's or the program's: the logs go to a
// folder of their own, detailed lines are off unless a test turns them on.
class CPortLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitLogFolders(m_logs.Path());
    g_bOpenDebug = false;
  }
  void TearDown() override { g_bOpenDebug = false; }
  static std::string PortLog(int nCom) { return ReadWholeFile(PortLogPath(nCom)); }

  CTempDir m_logs;
};

// A read of nCount bytes on a thread of its own, for a test that ends it from
// its own thread (a close, an unplug, a stop).
class CPendingRead {
 public:
  using Clock = std::chrono::steady_clock;
  struct SEnd {
    bool bOk;
    Clock::time_point at;
  };

  CPendingRead(IBytePort& port, uint32_t nCount, int nTimeoutClass)
      : m_end(std::async(std::launch::async, [&port, nCount, nTimeoutClass] {
          std::vector<uint8_t> buf(nCount);
          uint32_t nRead = 0;
          const bool bOk = port.uart_read(buf.data(), nCount, &nRead, nTimeoutClass);
          return SEnd{bOk, Clock::now()};
        })) {}

  // How the read ended; nothing when it has not ended within bound.
  std::optional<SEnd> End(std::chrono::milliseconds bound) {
    if (m_end.wait_for(bound) != std::future_status::ready) return std::nullopt;
    return m_end.get();
  }

 private:
  std::future<SEnd> m_end;
};
