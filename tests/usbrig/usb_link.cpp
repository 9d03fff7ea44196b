#include "usb_link.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <list>
#include <thread>

#include "common/op_log.h"

extern char** environ;

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
  const auto end = std::chrono::steady_clock::now() + bound;
  for (;;) {
    std::optional<SSerInfo> port = FindGadgetPort();
    if (port.has_value() == bPresent) return bPresent ? port : std::optional<SSerInfo>(SSerInfo{});
    if (std::chrono::steady_clock::now() > end) return std::nullopt;
    // Each listing walks sysfs; on the rig's one emulated processor a tighter
    // loop would slow the very unplug it waits for.
    std::this_thread::sleep_for(100ms);
  }
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

CChild::CChild(const std::vector<std::string>& args, const std::string& strDir,
               const std::string& strOutFile) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, strDir.c_str());
  posix_spawn_file_actions_addopen(&actions, 1, strOutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<std::string> copy = args;
  std::vector<char*> argv;
  for (std::string& s : copy) argv.push_back(s.data());
  argv.push_back(nullptr);
  if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) m_pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  EXPECT_GT(m_pid, 0) << "cannot start " << args.front();
}

CChild::~CChild() {
  if (m_pid <= 0 || m_status) return;
  kill(m_pid, SIGTERM);
  if (!WaitExit(10s)) {
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
  }
}

std::optional<int> CChild::WaitExit(std::chrono::milliseconds bound) {
  if (m_status || m_pid <= 0) return m_status;
  const auto end = std::chrono::steady_clock::now() + bound;
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(m_pid, &status, WNOHANG);
    if (r == m_pid) {
      m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return m_status;
    }
    if (r < 0 || std::chrono::steady_clock::now() > end) return std::nullopt;
    std::this_thread::sleep_for(20ms);
  }
}

int RunIn(const std::string& strDir, const std::string& strCommand, std::string* pOut) {
  // The folder also holds the program's single-copy lock.
  const int rc = std::system(
      ("cd '" + strDir + "' && XDG_RUNTIME_DIR='" + strDir + "' " + strCommand + " > out.txt 2>&1")
          .c_str());
  *pOut = ReadWholeFile(strDir + "/out.txt");
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
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
