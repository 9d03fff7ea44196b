// The platform interfaces as the layers above use them. One source for both
// backends: it runs natively on Linux and, cross-built, under Wine.

#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/instance_lock.h"
#include "platform/serial_device.h"
#include "platform/wait_handle.h"
#include "platform/wake_event.h"

using platform::CWakeEvent;
using platform::EWaitResult;
using platform::WaitHandle;

namespace {

// Generous bound for anything another thread or process brings about.
constexpr int kBoundMs = 10000;

bool IsReady(const CWakeEvent& event) {
  const WaitHandle h = event.Handle();
  return platform::WaitAny({&h, 1}, 0) == 0;
}

}  // namespace

TEST(WakeEventTest, SignalsMergeUntilConsumedAndWaitsSeeOnlyPendingOnes) {
  CWakeEvent event;
  EXPECT_FALSE(IsReady(event));
  EXPECT_FALSE(event.Consume());
  event.Signal();
  event.Signal();
  EXPECT_TRUE(IsReady(event));
  EXPECT_TRUE(IsReady(event)) << "a wait must not consume the signal";
  EXPECT_TRUE(event.Consume());
  EXPECT_FALSE(IsReady(event));
  EXPECT_FALSE(event.Consume());
  event.Signal();
  EXPECT_TRUE(event.Wait(0));
  EXPECT_FALSE(event.Wait(0));
}

TEST(WakeEventTest, WaitAnyNamesTheReadyHandleAndSkipsMissingOnes) {
  CWakeEvent a, b;
  const WaitHandle handles[3] = {a.Handle(), platform::kNoWaitHandle, b.Handle()};
  EXPECT_EQ(platform::WaitAny(handles, 0), platform::kWaitTimedOut);
  b.Signal();
  EXPECT_EQ(platform::WaitAny(handles, kBoundMs), 2);
  a.Signal();
  EXPECT_EQ(platform::WaitAny(handles, kBoundMs), 0);
}

TEST(WakeEventTest, SignalFromAnotherThreadEndsABlockedWait) {
  CWakeEvent event;
  std::thread signaller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    event.Signal();
  });
  const WaitHandle h = event.Handle();
  EXPECT_EQ(platform::WaitAny({&h, 1}, kBoundMs), 0);
  signaller.join();
  EXPECT_TRUE(event.Consume());
}

#if !defined(_WIN32)
// A client socket in the same wait as the wake-ups: ready for writing at
// once when asked, for reading only once the peer sent; a wake-up ends the
// wait while the socket has nothing.
TEST(WakeEventTest, WaitSocketOrAnyWatchesTheSocketBesideTheWakeUps) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  CWakeEvent stop;
  const WaitHandle handles[2] = {platform::kNoWaitHandle, stop.Handle()};
  EXPECT_EQ(platform::WaitSocketOrAny(pair[0], true, handles, kBoundMs), 0);
  EXPECT_EQ(platform::WaitSocketOrAny(pair[0], false, handles, 0), platform::kWaitTimedOut);
  stop.Signal();
  EXPECT_EQ(platform::WaitSocketOrAny(pair[0], false, handles, kBoundMs), 2);
  stop.Consume();
  ASSERT_EQ(write(pair[1], "x", 1), 1);
  EXPECT_EQ(platform::WaitSocketOrAny(pair[0], false, handles, kBoundMs), 0);
  close(pair[0]);
  close(pair[1]);
}
#endif

TEST(InstanceLockTest, SecondHolderIsRefusedUntilTheFirstLets) {
  const std::string strName =
      "norq-platform-test-" +
      std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
  auto pFirst = std::make_unique<platform::CInstanceLock>(strName);
  EXPECT_TRUE(pFirst->IsHeld());
  EXPECT_FALSE(pFirst->Path().empty());
  {
    platform::CInstanceLock second(strName);
    EXPECT_FALSE(second.IsHeld());
  }
  pFirst.reset();
  platform::CInstanceLock third(strName);
  EXPECT_TRUE(third.IsHeld());
}

TEST(SerialDeviceTest, MissingDeviceFailsWithTheSystemError) {
  int err = 0;
  EXPECT_EQ(platform::OpenSerialDevice("COM254", &err), nullptr);
  EXPECT_NE(err, 0);
}

// The echo peer (tests/platform/serial_echo_peer.py) serves the port named
// by NORQ_TEST_ECHO_PORT: it sends back every byte it gets, upper-cased,
// and hangs up when it reads "BYE".
class SerialEchoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* psz = std::getenv("NORQ_TEST_ECHO_PORT");
    ASSERT_TRUE(psz && *psz) << "NORQ_TEST_ECHO_PORT names the echo peer's port";
    m_strPort = psz;
  }

  // Reads until n bytes came or the bound passed, through Wait and ReadSome.
  static std::string ReadBytes(platform::ISerialDevice& dev, size_t n) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
    while (got.size() < n && std::chrono::steady_clock::now() < end) {
      char buf[256];
      const int r = dev.ReadSome(buf, sizeof buf);
      if (r < 0) break;
      if (r > 0) {
        got.append(buf, static_cast<size_t>(r));
        continue;
      }
      if (dev.Wait(false, {}, 1000, nullptr) == EWaitResult::Gone) break;
    }
    return got;
  }

  static bool WriteAll(platform::ISerialDevice& dev, const std::string& str) {
    size_t done = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
    while (done < str.size() && std::chrono::steady_clock::now() < end) {
      int err = 0;
      const int n = dev.WriteSome(str.data() + done, str.size() - done, &err);
      if (n < 0) return false;
      done += static_cast<size_t>(n);
      if (done < str.size()) dev.Wait(true, {}, 1000, nullptr);
    }
    return done == str.size();
  }

  std::string m_strPort;
};

TEST_F(SerialEchoTest, BytesPassUnchangedBothWaysAndASecondOpenIsRefused) {
  int err = 0;
  auto pDev = platform::OpenSerialDevice(m_strPort, &err);
  ASSERT_NE(pDev, nullptr) << "error " << err;
  int err2 = 0;
  EXPECT_EQ(platform::OpenSerialDevice(m_strPort, &err2), nullptr) << "the open is exclusive";
  pDev->DiscardBoth();

  // Every byte value but the lower-case letters comes back as sent: no
  // translation of line ends, no flow-control characters eaten.
  std::string strSent;
  for (int i = 0; i < 256; ++i) {
    if (i < 'a' || i > 'z') strSent += static_cast<char>(i);
  }
  strSent += "hello";
  ASSERT_TRUE(WriteAll(*pDev, strSent));
  std::string strExpected = strSent.substr(0, strSent.size() - 5) + "HELLO";
  EXPECT_EQ(ReadBytes(*pDev, strExpected.size()), strExpected);
  EXPECT_EQ(pDev->BytesWaiting(), 0);
}

TEST_F(SerialEchoTest, WakeHandleEndsAReadWaitAndDiscardDropsUnreadInput) {
  int err = 0;
  auto pDev = platform::OpenSerialDevice(m_strPort, &err);
  ASSERT_NE(pDev, nullptr) << "error " << err;
  pDev->DiscardBoth();
  CWakeEvent abort;
  std::thread aborter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    abort.Signal();
  });
  const WaitHandle wakes[1] = {abort.Handle()};
  int nWoken = -1;
  EXPECT_EQ(pDev->Wait(false, wakes, kBoundMs, &nWoken), EWaitResult::Woken);
  EXPECT_EQ(nWoken, 0);
  aborter.join();

  // The reply comes while the read stays armed; a discard then drops it.
  ASSERT_TRUE(WriteAll(*pDev, "abc"));
  ASSERT_EQ(pDev->Wait(false, {}, kBoundMs, nullptr), EWaitResult::Ready);
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
  while (pDev->BytesWaiting() < 3 && std::chrono::steady_clock::now() < end) {
    pDev->Wait(false, {}, 100, nullptr);
  }
  pDev->DiscardInput();
  EXPECT_EQ(pDev->BytesWaiting(), 0);
  ASSERT_TRUE(WriteAll(*pDev, "xyz"));
  EXPECT_EQ(ReadBytes(*pDev, 3), "XYZ");
}

// A passed phone's power-off is written just before the port is let go: the
// close must send it, not discard it.
TEST_F(SerialEchoTest, BytesWrittenJustBeforeTheCloseStillGoOut) {
  int err = 0;
  auto pDev = platform::OpenSerialDevice(m_strPort, &err);
  ASSERT_NE(pDev, nullptr) << "error " << err;
  pDev->DiscardBoth();
  ASSERT_TRUE(WriteAll(*pDev, "last words"));
  pDev.reset();
  pDev = platform::OpenSerialDevice(m_strPort, &err);
  ASSERT_NE(pDev, nullptr) << "error " << err;
  EXPECT_EQ(ReadBytes(*pDev, 10), "LAST WORDS");
}
