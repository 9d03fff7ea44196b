#pragma once

// The real USB serial link of scripts/usb-rig as the tests see it: the
// phone's end (/dev/ttyGS0), plugging and unplugging the phone, the PC's port
// as discovery finds it, and the phone simulator and the two programs run as
// child processes.

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"
#include "pty_phone.h"
#include "serial/port_discovery.h"

namespace usbrig {

using namespace std::chrono_literals;

inline constexpr char kGadgetDevice[] = "/dev/ttyGS0";

// True inside the rig's machine, where the link is up.
bool InRig();
// The phone is plugged in (the gadget loaded, /dev/ttyGS0 there) or pulled
// out; false when the rig's helper failed.
bool PlugPhone();
bool UnplugPhone();
// The command lines the simulator runs to plug and unplug its phones.
std::string PlugCommand();
std::string UnplugCommand();

// The gadget's port among the system's USB serial ports, found through sysfs.
std::optional<SSerInfo> FindGadgetPort();
// Waits until the gadget's port is listed (or, with bPresent false, gone).
std::optional<SSerInfo> WaitForGadgetPort(bool bPresent, std::chrono::milliseconds bound = 10s);

// The phone's end of the link, opened raw; the test plays the phone on it.
class CGadgetEnd {
 public:
  CGadgetEnd();
  ~CGadgetEnd();
  CGadgetEnd(const CGadgetEnd&) = delete;
  CGadgetEnd& operator=(const CGadgetEnd&) = delete;

  bool IsOpen() const { return m_fd >= 0; }
  int Fd() const { return m_fd; }
  bool Send(const std::vector<uint8_t>& bytes);
  // Reads exactly n bytes, waiting up to nTimeoutMs in all; fewer on time-out.
  std::vector<uint8_t> ReceiveExactly(size_t n, int nTimeoutMs = 5000);
  // Closed before an unplug: unloading the gadget waits for the last close.
  void Close();

 private:
  int m_fd = -1;
};

// The simulator serving the phone's end, one phone after another.
std::vector<std::string> SimArgs(int nCom, int nPhones, const std::string& strReportDir);

// Every value of a "key": "value" pair in a report, in order.
std::vector<std::string> JsonStrings(const std::string& strJson, const std::string& strKey);
// The bytes of a report's base64 text (the factory data a phone was given).
std::vector<uint8_t> FromBase64(const std::string& strText);

// Each test starts with the phone plugged in and its port listed, with the
// port numbers kept in a map of its own and the logs in a folder of its own.
class CUsbRigTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  CTempDir m_base;
  std::string m_strComMap;
  SSerInfo m_port;  // the gadget's port at the start
  int m_nCom = 0;
};

}  // namespace usbrig
