#include "serial/hst_port.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "common/message_queue.h"
#include "common/op_log.h"
#include "pty_phone.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kCom = 7;

class HstPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitLogFolders(m_logs.Path());
    g_bOpenDebug = false;
    g_iTimeout = 500;
  }
  void TearDown() override { g_bOpenDebug = false; }

  bool Open(CHstPort& port, int nCom = kCom) {
    return port.uart_init(nCom, 921600, 0) && port.uart_open();
  }
  std::string PortLog(int nCom = kCom) { return ReadWholeFile(PortLogPath(nCom)); }

  CTempDir m_logs;
  CPtyPhone m_phone{kCom};
};

constexpr char kMonitor[] = "port-monitor";

TEST_F(HstPortTest, PortNumbersOutsideOneTo255AreRefusedWithoutAThread) {
  const int nThreads = CountThreads(kMonitor);
  for (int nCom : {0, 256, -1}) {
    CHstPort port;
    EXPECT_FALSE(Open(port, nCom)) << nCom;
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(CountThreads(kMonitor), nThreads);
  }
}

TEST_F(HstPortTest, AbsentPortFailsToOpen) {
  CHstPort port;
  EXPECT_FALSE(Open(port, kCom + 1));
}

TEST_F(HstPortTest, SecondOpenOfAnOpenPortStartsNoSecondMonitor) {
  CHstPort port;
  ASSERT_TRUE(Open(port));
  EXPECT_EQ(CountThreads(kMonitor), 1);
  EXPECT_TRUE(port.uart_open());
  EXPECT_EQ(CountThreads(kMonitor), 1);
  port.uart_cleanup();
  EXPECT_EQ(CountThreads(kMonitor), 0);
  EXPECT_FALSE(port.IsOpen());
}

TEST_F(HstPortTest, OnlyOneObjectCanHoldThePort) {
  CHstPort first, second;
  ASSERT_TRUE(Open(first));
  EXPECT_FALSE(Open(second));
  first.uart_cleanup();
  EXPECT_TRUE(Open(second)) << "closing releases the port";
}

TEST_F(HstPortTest, BytesPassUnchangedBothWays) {
  CHstPort port;
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
  CHstPort port;
  ASSERT_TRUE(Open(port));
  std::vector<uint8_t> packet(270354);
  for (size_t i = 0; i < packet.size(); ++i) packet[i] = static_cast<uint8_t>(i * 131 + i / 251);
  auto received =
      std::async(std::launch::async, [&] { return m_phone.ReceiveExactly(packet.size(), 20000); });
  EXPECT_EQ(port.uart_write(packet.data(), static_cast<uint32_t>(packet.size())), packet.size());
  EXPECT_EQ(received.get(), packet);
}

TEST_F(HstPortTest, ReadWaitsForTheRestOfASplitReply) {
  CHstPort port;
  ASSERT_TRUE(Open(port));
  auto phone = std::async(std::launch::async, [&] {
    m_phone.Send("ab");
    std::this_thread::sleep_for(50ms);
    m_phone.Send("cd");
  });
  char buf[4];
  uint32_t nRead = 0;
  ASSERT_TRUE(port.uart_read(buf, 4, &nRead, kTimeoutSetting));
  EXPECT_EQ(std::string(buf, 4), "abcd");
}

TEST_F(HstPortTest, WriteDiscardsUnreadInput) {
  CHstPort port;
  ASSERT_TRUE(Open(port));
  m_phone.Send("stale");
  std::this_thread::sleep_for(20ms);
  ASSERT_EQ(port.uart_write("x", 1), 1u);
  m_phone.Send("new");
  char buf[3];
  uint32_t nRead = 0;
  ASSERT_TRUE(port.uart_read(buf, 3, &nRead, kTimeoutSetting));
  EXPECT_EQ(std::string(buf, 3), "new");
}

TEST_F(HstPortTest, ReadWithoutDataGivesUpAfterTheClassLimit) {
  CHstPort port;
  ASSERT_TRUE(Open(port));
  g_iTimeout = 150;
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
  CHstPort port;
  SStopBlock stop;
  port.SetStopBlock(&stop);
  ASSERT_TRUE(Open(port));
  m_phone.Send("data");
  std::this_thread::sleep_for(20ms);
  stop.SetStop(true);
  char buf[4];
  uint32_t nRead = 0;
  EXPECT_FALSE(port.uart_read(buf, 4, &nRead, kTimeout60s));
  stop.SetStop(false);
  ASSERT_TRUE(port.uart_read(buf, 4, &nRead, kTimeout60s)) << "the data was left queued";
  EXPECT_EQ(std::string(buf, 4), "data");
}

TEST_F(HstPortTest, StopDuringAWaitEndsItPromptly) {
  CHstPort port;
  SStopBlock stop;
  port.SetStopBlock(&stop);
  ASSERT_TRUE(Open(port));
  auto stopper = std::async(std::launch::async, [&] {
    std::this_thread::sleep_for(50ms);
    stop.SetStop(true);
  });
  char c;
  uint32_t nRead = 0;
  const auto start = Clock::now();
  EXPECT_FALSE(port.uart_read(&c, 1, &nRead, kTimeout60s));
  EXPECT_LT(Clock::now() - start, 10s) << "ended before the 60 s limit";
}

TEST_F(HstPortTest, WriterIgnoresTheStopFlag) {
  CHstPort port(EToolFlavor::Writer);
  SStopBlock stop;
  stop.SetStop(true);
  port.SetStopBlock(&stop);
  ASSERT_TRUE(Open(port));
  m_phone.Send("x");
  char c;
  uint32_t nRead = 0;
  EXPECT_TRUE(port.uart_read(&c, 1, &nRead));
}

TEST_F(HstPortTest, ClosingFromAnotherThreadWakesAPendingRead) {
  CHstPort port;
  ASSERT_TRUE(Open(port));
  std::promise<Clock::time_point> ended;
  std::thread reader([&] {
    char buf[8];
    uint32_t nRead = 0;
    EXPECT_FALSE(port.uart_read(buf, 8, &nRead, kTimeout60s));
    ended.set_value(Clock::now());
  });
  std::this_thread::sleep_for(100ms);
  const auto closed = Clock::now();
  port.uart_cleanup();
  const auto woke = ended.get_future().get();
  reader.join();
  EXPECT_LT(woke - closed, 10s) << "woken by the close, not by the 60 s limit";
}

TEST_F(HstPortTest, ClosingWakesAReadWaitingForTheRestOfItsBytes) {
  CHstPort port;
  g_bOpenDebug = true;
  ASSERT_TRUE(Open(port));
  m_phone.Send("ab");
  std::promise<Clock::time_point> ended;
  std::thread reader([&] {
    char buf[8];
    uint32_t nRead = 0;
    EXPECT_FALSE(port.uart_read(buf, 8, &nRead, kTimeout60s));
    ended.set_value(Clock::now());
  });
  std::this_thread::sleep_for(100ms);
  const auto closed = Clock::now();
  port.uart_cleanup();
  const auto woke = ended.get_future().get();
  reader.join();
  EXPECT_LT(woke - closed, 10s) << "woken by the close, not by the 60 s limit";
  EXPECT_NE(PortLog().find("WAIT_OBJECT_0\n"), std::string::npos);
}

TEST_F(HstPortTest, UnplugFailsTheNextReadWithTheAlwaysLine) {
  CHstPort port;
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
  CHstPort port(EToolFlavor::Writer);
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
    CHstPort port;
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
  CHstPort port;
  ASSERT_TRUE(Open(port));
  CMessageQueue queue;
  CQueueBinding binding(queue);
  std::atomic<bool> bRan{false};
  std::thread poster([&] {
    std::this_thread::sleep_for(30ms);
    queue.PostTask([&] { bRan = true; });
    std::this_thread::sleep_for(30ms);
    m_phone.Send("z");
  });
  char c;
  uint32_t nRead = 0;
  EXPECT_TRUE(port.uart_read(&c, 1, &nRead, kTimeout60s));
  poster.join();
  EXPECT_TRUE(bRan);
}

}  // namespace
