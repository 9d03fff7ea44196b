#include "usb_link.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <list>
#include <thread>

#include "common/op_log.h"
#include "wait_until.h"

namespace usbrig {

bool InRig() {
  const char* psz = std::getenv("NORQ_USB_RIG");
  return psz && std::string(psz) == "1";
}

std::string PlugCommand() {
  return std::string("'") + USB_RIG_SCRIPT + "' plug";
}
std::string UnplugCommand() {
  return std::string("'") + USB_RIG_SCRIPT + "' unplug";
}
bool PlugPhone() {
  return std::system(PlugCommand().c_str()) == 0;
}
bool UnplugPhone() {
  return std::system(UnplugCommand().c_str()) == 0;
}

std::optional<SSerInfo> FindGadgetPort() {
  std::list<SSerInfo> ports;
  ListSerialPorts(ports, false);
  for (const SSerInfo& port : ports) {
    if (GadgetComNumber(port.m_strFriendly) > 0) return port;
  }
  return std::nullopt;
}

std::optional<SSerInfo> WaitForGadgetPort(bool bPresent, std::chrono::milliseconds bound) {
  std::optional<SSerInfo> port;
  // Each listing walks sysfs; on the rig's one emulated processor a tighter
  // loop would slow the very unplug it waits for.
  const bool bDone = WaitUntil(
      [&] {
        port = FindGadgetPort();
        return port.has_value() == bPresent;
      },
      bound, [] { std::this_thread::sleep_for(100ms); });
  if (!bDone) return std::nullopt;
  return bPresent ? port : std::optional<SSerInfo>(SSerInfo{});
}

CGadgetEnd::CGadgetEnd() : m_fd(open(kGadgetDevice, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
  termios tio{};
  if (m_fd >= 0 && tcgetattr(m_fd, &tio) == 0) {
    cfmakeraw(&tio);
    tcsetattr(m_fd, TCSANOW, &tio);
  }
}

CGadgetEnd::~CGadgetEnd() {
  Close();
}

void CGadgetEnd::Close() {
  if (m_fd >= 0) close(m_fd);
  m_fd = -1;
}

bool CGadgetEnd::Send(const std::vector<uint8_t>& bytes) {
  size_t nDone = 0;
  while (nDone < bytes.size()) {
    const ssize_t n = write(m_fd, bytes.data() + nDone, bytes.size() - nDone);
    if (n > 0) {
      nDone += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    pollfd pfd{m_fd, POLLOUT, 0};
    if (poll(&pfd, 1, 5000) <= 0) return false;
  }
  return true;
}

std::vector<uint8_t> CGadgetEnd::ReceiveExactly(size_t n, int nTimeoutMs) {
  std::vector<uint8_t> got;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
  uint8_t buf[4096];
  while (got.size() < n) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    pollfd pfd{m_fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) <= 0) break;
    const ssize_t r = read(m_fd, buf, std::min(sizeof buf, n - got.size()));
    if (r <= 0 && errno != EAGAIN && errno != EINTR) break;
    if (r > 0) got.insert(got.end(), buf, buf + r);
  }
  return got;
}

std::vector<std::string> SimArgs(int nCom, int nPhones, const std::string& strReportDir) {
  return {PDL_PHONE_SIM_PATH,
          "--device",
          kGadgetDevice,
          "--com-base",
          std::to_string(nCom),
          "--count",
          std::to_string(nPhones),
          "--replug-delay-ms",
          "200",
          "--report-dir",
          strReportDir,
          "--plug-cmd",
          PlugCommand(),
          "--unplug-cmd",
          UnplugCommand()};
}

std::vector<std::string> JsonStrings(const std::string& strJson, const std::string& strKey) {
  std::vector<std::string> values;
  const std::string strLead = "\"" + strKey + "\": \"";
  for (size_t pos = strJson.find(strLead); pos != std::string::npos;
       pos = strJson.find(strLead, pos)) {
    pos += strLead.size();
    const size_t end = strJson.find('"', pos);
    values.push_back(strJson.substr(pos, end - pos));
  }
  return values;
}

std::vector<uint8_t> FromBase64(const std::string& strText) {
  static const std::string kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::vector<uint8_t> bytes;
  uint32_t nBits = 0;
  int nHave = 0;
  for (char c : strText) {
    const size_t nValue = kAlphabet.find(c);
    if (nValue == std::string::npos) break;  // '=' ends the data
    nBits = nBits << 6 | static_cast<uint32_t>(nValue);
    nHave += 6;
    if (nHave >= 8) {
      nHave -= 8;
      bytes.push_back(static_cast<uint8_t>(nBits >> nHave));
    }
  }
  return bytes;
}

void CUsbRigTest::SetUp() {
  if (!InRig()) {
    GTEST_SKIP() << "needs the USB link of the rig: scripts/usb-rig <this program>";
  }
  unsetenv("PHONE_PORTS_DIR");  // real ports only
  m_strComMap = m_base.File("com-ports.ini");
  setenv("PHONE_COM_MAP", m_strComMap.c_str(), 1);
  InitLogFolders(m_base.Path());
  ASSERT_TRUE(PlugPhone());
  const std::optional<SSerInfo> port = WaitForGadgetPort(true);
  ASSERT_TRUE(port) << "no Gadget Serial port listed";
  m_port = *port;
  m_nCom = GadgetComNumber(m_port.m_strFriendly);
}

void CUsbRigTest::TearDown() {
  if (InRig()) {
    EXPECT_TRUE(PlugPhone()) << "the next test needs the phone plugged in";
  }
}

}  // namespace usbrig
