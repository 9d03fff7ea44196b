#include "serial/hst_port.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "common/message_queue.h"
#include "pdl/link_policy.h"
#include "port_test.h"
#include "scripted_device.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr int kCom = 7;
constexpr auto kBound = 10s;  // far below the 60 s read limit, far above any wake-up

Bytes Text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

class HstPortTest : public CPortLogTest {
 protected:
  bool Open(CHstPort& port, int nCom = kCom) {
    return port.uart_init(nCom, 921600, 0) && port.uart_open();
  }
  // Opens the port over the scripted device instead of the pseudo-terminal.
  bool OpenScripted(CHstPort& port) {
    return port.uart_init(kCom, 921600, 0) && port.OpenDevice(m_pDevice);
  }
  std::string PortLog(int nCom = kCom) { return CPortLogTest::PortLog(nCom); }

  const SPortPolicy m_download = DownloadLinkPolicy(500, 0).port;
  const SPortPolicy m_writer = WriterLinkPolicy().port;
  CPtyPhone m_phone{kCom};
  std::shared_ptr<CScriptedDevice> m_pDevice = std::make_shared<CScriptedDevice>();
};

constexpr char kMonitor[] = "port-monitor";

TEST_F(HstPortTest, PortNumbersOutsideOneTo255AreRefusedWithoutAThread) {
  const int nThreads = CountThreads(kMonitor);
  for (int nCom : {0, 256, -1}) {
    CHstPort port(m_download);
    EXPECT_FALSE(Open(port, nCom)) << nCom;
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(CountThreads(kMonitor), nThreads);
  }
}

TEST_F(HstPortTest, AbsentPortFailsToOpen) {
  CHstPort port(m_download);
  EXPECT_FALSE(Open(port, kCom + 1));
}

TEST_F(HstPortTest, SecondOpenOfAnOpenPortStartsNoSecondMonitor) {
  CHstPort port(m_download);
  ASSERT_TRUE(Open(port));
  EXPECT_EQ(CountThreads(kMonitor), 1);
  EXPECT_TRUE(port.uart_open());
  EXPECT_EQ(CountThreads(kMonitor), 1);
  port.uart_cleanup();
  EXPECT_EQ(CountThreads(kMonitor), 0);
  EXPECT_FALSE(port.IsOpen());
}

TEST_F(HstPortTest, OnlyOneObjectCanHoldThePort) {
  CHstPort first(m_download), second(m_download);
  ASSERT_TRUE(Open(first));
  EXPECT_FALSE(Open(second));
  first.uart_cleanup();
  EXPECT_TRUE(Open(second)) << "closing releases the port";
}

TEST_F(HstPortTest, BytesPassUnchangedBothWays) {
  CHstPort port(m_download);
  ASSERT_TRUE(Open(port));
  std::vector<uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(port.uart_write(all.data(), 256), 256u);
  EXPECT_EQ(m_phone.ReceiveExactly(256), all);

  m_phone.Send(all);
  std::vector<uint8_t> got(256);
  uint32_t nRead = 0;
  ASSERT_TRUE(port.uart_read(got.data(), 256, &nRead, kTimeout60s));
  EXPECT_EQ(nRead, 256u);
  EXPECT_EQ(got, all);
}

// A data packet larger than the terminal takes at once goes out in pieces
// while the phone reads: whole, in order, and counted once.
TEST_F(HstPortTest, PacketLargerThanTheTerminalTakesAtOnceArrivesWhole) {
  CHstPort port(m_download);
  ASSERT_TRUE(Open(port));
  std::vector<uint8_t> packet(270354);
  for (size_t i = 0; i < packet.size(); ++i) packet[i] = static_cast<uint8_t>(i * 131 + i / 251);
  auto received =
      std::async(std::launch::async, [&] { return m_phone.ReceiveExactly(packet.size(), 20000); });
  EXPECT_EQ(port.uart_write(packet.data(), static_cast<uint32_t>(packet.size())), packet.size());
  EXPECT_EQ(received.get(), packet);
}

// A passed phone's power-off is the last write before the port is let go;
// the close must not take it back from a phone that has not read it yet.
TEST_F(HstPortTest, BytesWrittenRightBeforeTheCloseStillReachThePhone) {
  CHstPort port(m_download);
  ASSERT_TRUE(Open(port));
  const std::vector<uint8_t> command{0x7E, 0, 0, 0, 0, 0, 0, 0x17};
  ASSERT_EQ(port.uart_write(command.data(), static_cast<uint32_t>(command.size())), command.size());
  port.uart_cleanup();
  EXPECT_EQ(m_phone.ReceiveExactly(command.size()), command);
}

TEST_F(HstPortTest, ReadWaitsForTheRestOfASplitReply) {
  CHstPort port(m_download);
  ASSERT_TRUE(OpenScripted(port));
  m_pDevice->Send(Text("ab")).Send(Text("c"), 30).Send(Text("d"), 30);
  char buf[4];
  uint32_t nRead = 0;
  ASSERT_TRUE(port.uart_read(buf, 4, &nRead, kTimeoutSetting));
  EXPECT_EQ(nRead, 4u);
  EXPECT_EQ(std::string(buf, 4), "abcd");
}

TEST_F(HstPortTest, WriteDiscardsUnreadInput) {
  CHstPort port(m_download);
  ASSERT_TRUE(OpenScripted(port));
  m_pDevice->Send(Text("stale")).Expect(Text("x")).Send(Text("new"));
  ASSERT_EQ(port.uart_write("x", 1), 1u);
  EXPECT_EQ(m_pDevice->Discarded(), 5u) << "the stale reply had arrived and was dropped";
  char buf[3];
  uint32_t nRead = 0;
  ASSERT_TRUE(port.uart_read(buf, 3, &nRead, kTimeoutSetting));
  EXPECT_EQ(std::string(buf, 3), "new");
  EXPECT_TRUE(m_pDevice->WritesAsExpected());
}

TEST_F(HstPortTest, ReadWithoutDataGivesUpAfterTheClassLimit) {
  CHstPort port(DownloadLinkPolicy(150, 0).port);
  ASSERT_TRUE(Open(port));
  char c;
  uint32_t nRead = 0;
  const auto start = Clock::now();
  EXPECT_FALSE(port.uart_read(&c, 1, &nRead, kTimeoutSetting));
  const auto elapsed = Clock::now() - start;
  EXPECT_GE(elapsed, 150ms);
  EXPECT_LT(elapsed, 2s);
  EXPECT_EQ(PortLog(), "") << "a time-out is silent";
}

TEST_F(HstPortTest, StopFlagEndsAReadAtOnceEvenWithDataQueued) {
  CHstPort port(m_download);
  SStopBlock stop;
  port.SetStopBlock(&stop);
  ASSERT_TRUE(OpenScripted(port));
  m_pDevice->Send(Text("data"));
  stop.SetStop(true);
  char buf[4];
  uint32_t nRead = 0;
  EXPECT_FALSE(port.uart_read(buf, 4, &nRead, kTimeout60s));
  stop.SetStop(false);
  ASSERT_TRUE(port.uart_read(buf, 4, &nRead, kTimeout60s)) << "the data was left queued";
  EXPECT_EQ(std::string(buf, 4), "data");
}

TEST_F(HstPortTest, StopDuringAWaitEndsIt) {
  CHstPort port(m_download);
  SStopBlock stop;
  port.SetStopBlock(&stop);
  ASSERT_TRUE(OpenScripted(port));
  CPendingRead read(port, 1, kTimeout60s);
  ASSERT_TRUE(m_pDevice->WaitForIdleReader(kBound));
  stop.SetStop(true);
  const auto end = read.End(kBound);
  ASSERT_TRUE(end) << "ended by the stop, not by the 60 s limit";
  EXPECT_FALSE(end->bOk);
}

TEST_F(HstPortTest, AReadEndsAtTheBoundOfTheWholeItIsAPieceOf) {
  CHstPort port(m_download);
  ASSERT_TRUE(OpenScripted(port));
  // Its first bytes come, the rest never: the class would wait 60 s for it.
  m_pDevice->Send(Text("ab"));
  auto end = std::async(std::launch::async, [&port] {
    char buf[4];
    uint32_t nRead = 0;
    return port.uart_read(buf, 4, &nRead, kTimeout60s, 200);
  });
  ASSERT_EQ(end.wait_for(kBound), std::future_status::ready) << "ended by the bound of the whole";
  EXPECT_FALSE(end.get());
}

TEST_F(HstPortTest, TheWritersStopEndsItsReadsToo) {
  CHstPort port(m_writer);
  SStopBlock stop;
  port.SetStopSource(&stop);
  ASSERT_TRUE(OpenScripted(port));
  CPendingRead read(port, 1, kTimeoutSetting);
  ASSERT_TRUE(m_pDevice->WaitForIdleReader(kBound));
  stop.SetStop(true);
  // Well inside the writer's 10 s limit for a first byte.
  const auto end = read.End(5s);
  ASSERT_TRUE(end) << "ended by the stop, not by the 10 s limit";
  EXPECT_FALSE(end->bOk);
}

TEST_F(HstPortTest, ClosingFromAnotherThreadWakesAPendingRead) {
  struct {
    const char* pszName;
    Bytes sent;      // what arrives before the read waits
    bool bWaitLine;  // the woken read logs the abort
  } const cases[] = {
      {"waiting for the first byte", {}, false},
      {"waiting for the rest of its bytes", Text("ab"), true},
  };
  g_bOpenDebug = true;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pszName);
    std::remove(PortLogPath(kCom).c_str());
    m_pDevice = std::make_shared<CScriptedDevice>();
    CHstPort port(m_download);
    ASSERT_TRUE(OpenScripted(port));
    m_pDevice->Send(c.sent);
    CPendingRead read(port, 8, kTimeout60s);
    ASSERT_TRUE(m_pDevice->WaitForIdleReader(kBound));
    port.uart_cleanup();
    const auto end = read.End(kBound);
    ASSERT_TRUE(end) << "woken by the close, not by the 60 s limit";
    EXPECT_FALSE(end->bOk);
    const std::string log = PortLog();
    EXPECT_EQ(log.find("WAIT_OBJECT_0\n") != std::string::npos, c.bWaitLine) << log;
  }
}

TEST_F(HstPortTest, UnplugFailsTheNextReadWithTheAlwaysLine) {
  CHstPort port(m_download);
  ASSERT_TRUE(Open(port));
  m_phone.Unplug();
  char c;
  uint32_t nRead = 0;
  const auto start = Clock::now();
  EXPECT_FALSE(port.uart_read(&c, 1, &nRead, kTimeout60s));
  EXPECT_LT(Clock::now() - start, 10s) << "ended before the 60 s limit";
  EXPECT_EQ(PortLog(), "ClearCommError err:5 return false\n");
  EXPECT_EQ(port.uart_write("x", 1), 0u);
  EXPECT_NE(PortLog().find("[uart_write] other err:"), std::string::npos);
}

TEST_F(HstPortTest, WriterLogsNothing) {
  CHstPort port(m_writer);
  g_bOpenDebug = true;
  ASSERT_TRUE(Open(port));
  port.uart_write("x", 1);
  m_phone.Unplug();
  char c;
  uint32_t nRead = 0;
  EXPECT_FALSE(port.uart_read(&c, 1, &nRead));
  port.uart_cleanup();
  EXPECT_EQ(PortLog(), "");
}

TEST_F(HstPortTest, DetailedLinesFollowTheDebugSwitch) {
  g_bOpenDebug = true;
  {
    CHstPort port(m_download);
    ASSERT_TRUE(port.uart_init(kCom, 921600, 0));
    port.uart_cleanup();  // closed: only the first line
    EXPECT_EQ(PortLog(), "[CHstPort] uart_cleanup m_bOpened:0, m_hComDev:0x0\n");
    ASSERT_TRUE(port.uart_open());
    port.uart_write("x", 1);
    port.uart_cleanup();
  }
  const std::string log = PortLog();
  EXPECT_NE(log.find("[uart_write] start!\n[uart_write] ok 3!\n"), std::string::npos);
  EXPECT_NE(log.find("[CHstPort] COM Close Ok!\n"), std::string::npos);
}

TEST_F(HstPortTest, WaitingReadServicesTheThreadsQueue) {
  CHstPort port(m_download);
  ASSERT_TRUE(OpenScripted(port));
  CMessageQueue queue;
  CQueueBinding binding(queue);
  // The reply comes only once a task of the reading thread's queue has run.
  m_pDevice->Hold().Send(Text("z"));
  std::thread poster([&] {
    if (m_pDevice->WaitForIdleReader(kBound)) queue.PostTask([&] { m_pDevice->Release(); });
  });
  char c = 0;
  uint32_t nRead = 0;
  EXPECT_TRUE(port.uart_read(&c, 1, &nRead, kTimeout60s));
  poster.join();
  EXPECT_EQ(c, 'z');
}

}  // namespace
