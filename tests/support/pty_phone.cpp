#include "pty_phone.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "common/text.h"
#include "pdl/packet.h"

namespace fs = std::filesystem;

CPtyPhone::CPtyPhone(int nCom, const std::string& strDir) : m_strDir(strDir) {
  m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
    throw std::runtime_error("no pseudo-terminal");
  }
  m_strSlave = ptsname(m_master);
  termios tio{};
  tcgetattr(m_master, &tio);
  cfmakeraw(&tio);
  tcsetattr(m_master, TCSANOW, &tio);
  m_keepSlave = open(m_strSlave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);

  if (m_strDir.empty()) {
    char tmpl[] = "/tmp/phoneports.XXXXXX";
    m_strDir = mkdtemp(tmpl);
    m_bOwnDir = true;
    setenv("PHONE_PORTS_DIR", m_strDir.c_str(), 1);
  }
  m_strLink = m_strDir + "/Gadget Serial (COM" + std::to_string(nCom) + ")";
  fs::create_symlink(m_strSlave, m_strLink);
}

CPtyPhone::~CPtyPhone() {
  Unplug();
  std::error_code ec;
  if (m_bOwnDir) fs::remove_all(m_strDir, ec);
}

void CPtyPhone::Unplug() {
  std::error_code ec;
  fs::remove(m_strLink, ec);
  if (m_keepSlave >= 0) close(m_keepSlave);
  if (m_master >= 0) close(m_master);
  m_keepSlave = m_master = -1;
}

void CPtyPhone::Send(const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(m_master, bytes.data() + done, bytes.size() - done);
    if (n <= 0) throw std::runtime_error("pty write failed");
    done += static_cast<size_t>(n);
  }
}

std::vector<uint8_t> CPtyPhone::Receive(int nWaitMs) {
  std::vector<uint8_t> out;
  uint8_t buf[4096];
  pollfd pfd{m_master, POLLIN, 0};
  while (poll(&pfd, 1, nWaitMs) > 0 && (pfd.revents & POLLIN)) {
    const ssize_t n = read(m_master, buf, sizeof buf);
    if (n <= 0) break;
    out.insert(out.end(), buf, buf + n);
  }
  return out;
}

std::vector<uint8_t> CPtyPhone::ReceiveExactly(size_t n, int nTimeoutMs) {
  std::vector<uint8_t> out;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
  uint8_t buf[4096];
  while (out.size() < n) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    pollfd pfd{m_master, POLLIN, 0};
    if (left <= 0 || poll(&pfd, 1, static_cast<int>(left)) <= 0) break;
    const size_t want = std::min(sizeof buf, n - out.size());
    const ssize_t got = read(m_master, buf, want);
    if (got <= 0) break;
    out.insert(out.end(), buf, buf + got);
  }
  return out;
}

int CountThreads(const std::string& strName) {
  int n = 0;
  for (const auto& e : fs::directory_iterator("/proc/self/task")) {
    if (strName.empty() || TrimBlanks(ReadWholeFile(e.path() / "comm")) == strName) ++n;
  }
  return n;
}
