#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "pdl/packet.h"
#include "pty_phone.h"
#include "sim/sim_fd.h"
#include "sim/sim_phone.h"

// A bare host for the simulator tests: raw packets over the phone's port,
// built with pdl/packet.h only, so the tests do not depend on the host's link.

namespace simtest {

using Bytes = std::vector<uint8_t>;
constexpr int kGone = -2;     // the device went away
constexpr int kTimeout = -1;  // nothing arrived in time

inline Bytes ShortPacket(uint32_t nCmd, uint8_t nFlow = pdl::kFlowIdPc) {
  Bytes b(pdl::kShortFormSize);
  pdl::BuildShortForm(b.data(), nCmd);
  b[5] = nFlow;
  return b;
}

inline Bytes LongPacket(uint32_t nCmd, uint32_t nAddr, uint32_t nSize, const Bytes& payload = {}) {
  Bytes b(pdl::kLongFormSize);
  pdl::BuildLongForm(b.data(), nCmd, nAddr, nSize, static_cast<uint32_t>(payload.size()));
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}

inline Bytes ZeroTerminated(const std::string& str) {
  Bytes b(str.begin(), str.end());
  b.push_back(0);
  return b;
}

inline Bytes Pattern(size_t n, uint32_t nSeed) {
  Bytes b(n);
  for (uint8_t& x : b) x = static_cast<uint8_t>((nSeed = nSeed * 1664525 + 1013904223) >> 24);
  return b;
}

class CTestHost {
 public:
  bool Open(const std::string& strPath) {
    m_fd.Reset(open(strPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    termios tio{};
    if (!m_fd.Valid() || tcgetattr(m_fd.Get(), &tio) != 0) return false;
    cfmakeraw(&tio);
    return tcsetattr(m_fd.Get(), TCSANOW, &tio) == 0;
  }
  // Takes over a descriptor already open, such as a pty master.
  void Adopt(sim::CFd fd) { m_fd = std::move(fd); }
  void Close() { m_fd.Reset(); }
  int Fd() const { return m_fd.Get(); }

  // One write, as the host tools do; waits for room only if the phone's queue is full.
  bool Send(const Bytes& b) {
    for (size_t nDone = 0; nDone < b.size();) {
      const ssize_t n = write(m_fd.Get(), b.data() + nDone, b.size() - nDone);
      if (n > 0) {
        nDone += n;
      } else {
        pollfd pfd{m_fd.Get(), POLLOUT, 0};
        if ((n < 0 && errno != EAGAIN) || poll(&pfd, 1, 5000) <= 0) return false;
      }
    }
    return true;
  }

  // Reads exactly n bytes into out; 0, kTimeout or kGone.
  int Read(size_t n, Bytes& out, int nTimeoutMs = 3000) {
    out.clear();
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    while (out.size() < n) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          tEnd - std::chrono::steady_clock::now());
      pollfd pfd{m_fd.Get(), POLLIN, 0};
      const int rc = poll(&pfd, 1, std::max<int>(0, static_cast<int>(left.count())));
      if (rc == 0) return kTimeout;
      uint8_t buf[65536];
      const ssize_t r = read(m_fd.Get(), buf, std::min(sizeof buf, n - out.size()));
      if (r > 0)
        out.insert(out.end(), buf, buf + r);
      else if (r == 0 || errno != EAGAIN)
        return kGone;  // EIO once the phone is unplugged
    }
    return 0;
  }

  // Reads an acknowledgement: its code, or kTimeout / kGone. *pFlow gets the flow id.
  int Ack(int nTimeoutMs = 3000, uint8_t* pFlow = nullptr) {
    Bytes b;
    const int rc = Read(pdl::kAckSize, b, nTimeoutMs);
    if (rc != 0) return rc;
    if (b[0] != pdl::kHeaderByte || pdl::GetU32(&b[1]) != 4) return -100;
    if (pFlow) *pFlow = b[5];
    return static_cast<int>(pdl::GetU32(&b[6]));
  }
  // Reads a data reply; false on a malformed header, time-out or gone.
  bool Data(Bytes& out, int nTimeoutMs = 3000) {
    Bytes head;
    if (Read(pdl::kHeaderSize, head, nTimeoutMs) != 0 || head[0] != pdl::kHeaderByte ||
        head[5] != pdl::kFlowIdPc) {
      return false;
    }
    return Read(pdl::GetU32(&head[1]), out, nTimeoutMs) == 0;
  }

  int Cmd(uint32_t nCmd) { return Send(ShortPacket(nCmd)) ? Ack() : kGone; }
  int Long(uint32_t nCmd, uint32_t nAddr, uint32_t nSize, const Bytes& payload = {}) {
    return Send(LongPacket(nCmd, nAddr, nSize, payload)) ? Ack() : kGone;
  }
  // A by-name packet: the 18-byte header, then the name as a second write.
  bool SendByName(uint32_t nCmd, const std::string& strName, uint32_t nSize) {
    Bytes b = LongPacket(nCmd, pdl::kNameMarker, nSize, ZeroTerminated(strName));
    return Send(Bytes(b.begin(), b.begin() + pdl::kLongFormSize)) &&
           Send(Bytes(b.begin() + pdl::kLongFormSize, b.end()));
  }

  // START (by name when strName is set), data packets numbered 2, 3, ..., END.
  // Returns 0, or the first answer that was not ACK.
  int Download(const std::string& strName, uint32_t nAddr, const Bytes& image, size_t nChunk) {
    int rc = strName.empty()
                 ? Long(pdl::CMD_START_DATA, nAddr, static_cast<uint32_t>(image.size()))
                 : (SendByName(pdl::CMD_START_DATA, strName, static_cast<uint32_t>(image.size()))
                        ? Ack()
                        : kGone);
    for (size_t nAt = 0, nPacket = 2; rc == 0 && nAt < image.size(); nAt += nChunk, ++nPacket) {
      const Bytes chunk(image.begin() + nAt, image.begin() + std::min(image.size(), nAt + nChunk));
      rc = Long(pdl::CMD_MID_DATA, static_cast<uint32_t>(nPacket),
                static_cast<uint32_t>(chunk.size()), chunk);
    }
    return rc == 0 ? Cmd(pdl::CMD_END_DATA) : rc;
  }

 private:
  sim::CFd m_fd;
};

// Waits for a folder to satisfy a condition, woken by changes in it; false on time-out.
inline bool WaitForDir(const std::string& strDir, const std::function<bool()>& fnDone,
                       int nTimeoutMs) {
  sim::CFd fdWatch(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  inotify_add_watch(fdWatch.Get(), strDir.c_str(), IN_CREATE | IN_DELETE | IN_MOVED_TO);
  const auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
  while (!fnDone()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        tEnd - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd pfd{fdWatch.Get(), POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(left.count())) > 0) {
      char buf[4096];
      while (read(fdWatch.Get(), buf, sizeof buf) > 0) {
      }
    }
  }
  return true;
}

inline int CountLinks(const std::string& strDir) {
  int n = 0;
  for (const auto& e : std::filesystem::directory_iterator(strDir)) n += e.is_symlink();
  return n;
}

// Load addresses of the two loaders in the tests; any but the factory address will do.
constexpr uint32_t kPdl1Addr = 0x80000000;
constexpr uint32_t kPdl2Addr = 0x9efffe00;
constexpr int kCom = 7;

// One phone on socket COM7 in a folder of its own, with the test's host on its port.
class SimPhoneTest : public ::testing::Test {
 protected:
  void Plug(sim::SPhoneConfig cfg = {}) {
    m_pSocket = std::make_unique<sim::CSimSocket>(
        sim::SSocketOptions{.strPortsDir = m_dir.Path(), .nCom = kCom, .phone = std::move(cfg)});
    std::string strErr;
    ASSERT_TRUE(m_pSocket->Start(&strErr)) << strErr;
    ASSERT_TRUE(m_host.Open(m_pSocket->LinkPath()));
  }
  void PlugWithFaults(std::initializer_list<const char*> faults, sim::SPhoneConfig cfg = {}) {
    for (const char* psz : faults) {
      std::string strErr;
      ASSERT_TRUE(sim::ApplySetting(cfg, "fault", psz, &strErr)) << strErr;
    }
    Plug(std::move(cfg));
  }
  // CONNECT, then both loaders sent by address and executed.
  void EnterLoaderStage() {
    ASSERT_EQ(m_host.Cmd(pdl::CMD_CONNECT), 0);
    ASSERT_EQ(m_host.Download("", kPdl1Addr, m_pdl1, 1000), 0);
    ASSERT_EQ(m_host.Cmd(pdl::CMD_EXEC_DATA), 0);
    ASSERT_EQ(m_host.Download("", kPdl2Addr, m_pdl2, 2048), 0);
    ASSERT_EQ(m_host.Cmd(pdl::CMD_EXEC_DATA), 0);
  }
  // CONNECT, then the writer's factory loader at 0x100100 executed.
  void EnterFactoryStage() {
    ASSERT_EQ(m_host.Cmd(pdl::CMD_CONNECT), 0);
    ASSERT_EQ(m_host.Download("", 0x100100, Pattern(2000, 5), 2000), 0);
    ASSERT_EQ(m_host.Cmd(pdl::CMD_EXEC_DATA), 0);
  }
  // Powers the phone off and returns its report.
  sim::SPhoneReport PowerOff() {
    EXPECT_TRUE(m_host.Send(ShortPacket(pdl::CMD_POWER_OFF)));
    EXPECT_TRUE(m_pSocket->WaitDone(5000));
    return m_pSocket->Report();
  }

  CTempDir m_dir;
  CTestHost m_host;
  std::unique_ptr<sim::CSimSocket> m_pSocket;
  const Bytes m_pdl1 = Pattern(3000, 1);
  const Bytes m_pdl2 = Pattern(5000, 2);
};

}  // namespace simtest
