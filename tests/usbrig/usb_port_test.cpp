// Discovery and the port on a real USB tty: the PC's side of the gadget.

#include <fcntl.h>
#include <unistd.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "common/op_log.h"
#include "pdl/link_policy.h"
#include "platform/serial_device.h"
#include "port_event_log.h"
#include "port_test.h"
#include "serial/hst_port.h"
#include "serial/port_watcher.h"
#include "usb_link.h"

namespace usbrig {
namespace {

using Clock = std::chrono::steady_clock;

using UsbDiscovery = CUsbRigTest;

TEST_F(UsbDiscovery, GadgetFoundThroughSysfsKeepsItsComNumberAcrossReplug) {
  constexpr int kCycles = 3;
  EXPECT_EQ(m_port.m_strOpenName.rfind("/dev/ttyACM", 0), 0u) << m_port.m_strOpenName;
  EXPECT_EQ(m_port.m_strFriendly, "Gadget Serial (" + m_port.m_strComName + ")");
  EXPECT_EQ(DeviceOfComPort(m_nCom), m_port.m_strOpenName);

  CPortEventLog events;
  {
    CPortWatcher watcher(
        [&](bool bArrived, const std::string& strCom) { events.Add(bArrived, strCom); });
    for (int nCycle = 0; nCycle < kCycles; ++nCycle) {
      ASSERT_TRUE(UnplugPhone());
      ASSERT_TRUE(WaitForGadgetPort(false)) << "still listed after the unplug, cycle " << nCycle;
      EXPECT_EQ(DeviceOfComPort(m_nCom), "");
      ASSERT_TRUE(PlugPhone());
      const std::optional<SSerInfo> back = WaitForGadgetPort(true);
      ASSERT_TRUE(back) << "not listed after the re-plug, cycle " << nCycle;
      EXPECT_EQ(back->m_strFriendly, m_port.m_strFriendly) << "cycle " << nCycle;
    }
    EXPECT_TRUE(events.WaitForCount(2 * kCycles, 10s));
  }
  std::vector<std::string> expected;
  for (int i = 0; i < kCycles; ++i) {
    expected.push_back("-" + m_port.m_strComName);
    expected.push_back("+" + m_port.m_strComName);
  }
  EXPECT_EQ(events.Events(), expected);
}

TEST_F(UsbDiscovery, PortHeldOpenOverReplugReturnsUnderANewTtyWithTheSameNumber) {
  int err = 0;
  auto pStale = platform::OpenSerialDevice(m_port.m_strOpenName, &err);
  ASSERT_TRUE(pStale) << "err " << err;
  ASSERT_TRUE(UnplugPhone());
  ASSERT_TRUE(PlugPhone());
  // The dead port is still held, so the kernel gives the phone another tty;
  // the number follows the USB socket, not the tty's name.
  const std::optional<SSerInfo> back = WaitForGadgetPort(true);
  ASSERT_TRUE(back);
  EXPECT_NE(back->m_strOpenName, m_port.m_strOpenName);
  EXPECT_EQ(back->m_strFriendly, m_port.m_strFriendly);
  pStale.reset();
}

class UsbPort : public CUsbRigTest {
 protected:
  void SetUp() override {
    CUsbRigTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    g_bOpenDebug = false;
    ASSERT_TRUE(m_phone.IsOpen()) << kGadgetDevice;
  }
  bool Open(CHstPort& port) { return port.uart_init(m_nCom, 921600, 0) && port.uart_open(); }

  const SPortPolicy m_download = DownloadLinkPolicy(500, 0).port;
  CGadgetEnd m_phone;
};

TEST_F(UsbPort, RawBytesPassUnchangedBothWaysAndTheOpenIsExclusive) {
  CHstPort port(m_download);
  ASSERT_TRUE(Open(port));
  // Every byte value, among them the ones a terminal's line discipline would
  // change or act on (CR, LF, XON, XOFF, ^C), over many USB packets.
  std::vector<uint8_t> bytes(64 * 1024 + 7);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 256);
  for (uint8_t c : {0x0d, 0x0a, 0x11, 0x13, 0x03, 0x00, 0xff}) bytes.push_back(c);

  EXPECT_EQ(port.uart_write(bytes.data(), static_cast<uint32_t>(bytes.size())), bytes.size());
  EXPECT_EQ(m_phone.ReceiveExactly(bytes.size()), bytes);

  // More than the PC's side buffers: the phone writes while the port reads.
  auto sent = std::async(std::launch::async, [&] { return m_phone.Send(bytes); });
  std::vector<uint8_t> got(bytes.size());
  uint32_t nRead = 0;
  EXPECT_TRUE(port.uart_read(got.data(), static_cast<uint32_t>(got.size()), &nRead, kTimeout60s));
  EXPECT_TRUE(sent.get());
  EXPECT_EQ(nRead, bytes.size());
  EXPECT_EQ(got, bytes);

  CHstPort second(m_download);
  EXPECT_FALSE(Open(second)) << "a second port object";
  int err = 0;
  EXPECT_FALSE(platform::OpenSerialDevice(m_port.m_strOpenName, &err)) << "a second device open";
  port.uart_cleanup();
  EXPECT_TRUE(Open(second)) << "closing releases the port";
}

TEST_F(UsbPort, UnplugWakesAPendingReadAndShowsTheDeviceGone) {
  CHstPort port(m_download);
  ASSERT_TRUE(Open(port));
  CPendingRead read(port, 16, kTimeout60s);
  std::this_thread::sleep_for(200ms);
  m_phone.Close();
  const auto unplugging = Clock::now();
  ASSERT_TRUE(UnplugPhone());
  // A read with a 60 s limit ends with the unplug, not with its limit.
  const auto end = read.End(20s);
  ASSERT_TRUE(end);
  EXPECT_FALSE(end->bOk);
  std::printf(
      "[ usb-rig  ] pending read ended %lld ms after the unplug began\n",
      static_cast<long long>(
          std::chrono::duration_cast<std::chrono::milliseconds>(end->at - unplugging).count()));
  EXPECT_TRUE(port.DeviceGone());
  EXPECT_EQ(ReadWholeFile(PortLogPath(m_nCom)), "ClearCommError err:5 return false\n");
  EXPECT_EQ(port.uart_write("x", 1), 0u);
  port.uart_cleanup();
  EXPECT_FALSE(port.IsOpen());
}

}  // namespace
}  // namespace usbrig
