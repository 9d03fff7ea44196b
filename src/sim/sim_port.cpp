#include <fcntl.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "sim/sim_phone.h"
#include "sim/sim_session.h"

extern char** environ;

namespace sim {
namespace {

bool Fail(std::string* pErr, const std::string& strWhat) {
  if (pErr) *pErr = strWhat + ": " + std::strerror(errno);
  return false;
}

bool MakeRaw(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return false;
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  return tcsetattr(fd, TCSANOW, &tio) == 0;
}

}  // namespace

int RunShellCommand(const std::string& strCmd, int nCom, const std::string& strDevice) {
  std::vector<std::string> env;
  for (char** p = environ; *p; ++p) env.emplace_back(*p);
  env.push_back("SIM_COM=" + std::to_string(nCom));
  env.push_back("SIM_DEVICE=" + strDevice);
  std::vector<char*> envp;
  for (std::string& s : env) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::string strArg0 = "sh", strArg1 = "-c", strArg2 = strCmd;
  char* argv[] = {strArg0.data(), strArg1.data(), strArg2.data(), nullptr};
  // The CLI blocks SIGINT/SIGTERM for its signalfd; the command gets them back.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, "/bin/sh", nullptr, &attr, argv, envp.data());
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool CPhonePort::Plug(const std::string& strPortsDir, int nCom, const std::string& strDevice,
                      const SPhoneConfig& cfg, std::string* pErr) {
  m_nCom = nCom;
  m_strUnplugCmd = cfg.strUnplugCmd;
  if (!cfg.strPlugCmd.empty() && RunShellCommand(cfg.strPlugCmd, nCom, strDevice) != 0) {
    if (pErr) *pErr = "plug command failed: " + cfg.strPlugCmd;
    return false;
  }
  if (!strDevice.empty()) {
    m_fd.Reset(open(strDevice.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!m_fd.Valid()) return Fail(pErr, "open " + strDevice);
    m_strDevice = strDevice;
    MakeRaw(m_fd.Get());  // a device that is no terminal is used as it is
    return true;
  }
  m_fd.Reset(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  char szSlave[128];
  if (!m_fd.Valid() || grantpt(m_fd.Get()) != 0 || unlockpt(m_fd.Get()) != 0 ||
      ptsname_r(m_fd.Get(), szSlave, sizeof szSlave) != 0) {
    return Fail(pErr, "pseudo-terminal");
  }
  m_fdSlave.Reset(open(szSlave, O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!m_fdSlave.Valid() || !MakeRaw(m_fd.Get()) || !MakeRaw(m_fdSlave.Get())) {
    return Fail(pErr, std::string("slave ") + szSlave);
  }
  m_fdWatch.Reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!m_fdWatch.Valid() || inotify_add_watch(m_fdWatch.Get(), szSlave, IN_OPEN | IN_CLOSE) < 0) {
    return Fail(pErr, "inotify");
  }
  m_strDevice = szSlave;
  mkdir(strPortsDir.c_str(), 0755);
  // Placed by rename so a stale link of an earlier run is replaced, never seen half made.
  const std::string strLink = strPortsDir + "/Gadget Serial (COM" + std::to_string(nCom) + ")";
  const std::string strTmp = strPortsDir + "/.COM" + std::to_string(nCom) + ".new";
  unlink(strTmp.c_str());
  if (symlink(szSlave, strTmp.c_str()) != 0 || rename(strTmp.c_str(), strLink.c_str()) != 0) {
    return Fail(pErr, "link " + strLink);
  }
  m_strLink = strLink;
  return true;
}

void CPhonePort::Unplug() {
  const bool bWasIn = m_fd.Valid();
  if (!m_strLink.empty()) unlink(m_strLink.c_str());
  m_strLink.clear();
  m_fdWatch.Reset();
  m_fd.Reset();
  m_fdSlave.Reset();
  if (bWasIn && !m_strUnplugCmd.empty()) RunShellCommand(m_strUnplugCmd, m_nCom, m_strDevice);
  m_strDevice.clear();
}

}  // namespace sim
