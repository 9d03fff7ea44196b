#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "pty_phone.h"
#include "wait_until.h"

extern char** environ;

CChild::CChild(const std::vector<std::string>& args, const std::string& strDir,
               const std::string& strOutFile, const std::vector<std::string>& env) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, strDir.c_str());
  posix_spawn_file_actions_addopen(&actions, 1, strOutFile.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<std::string> argCopy = args, envCopy = env;
  std::vector<char*> argv, envp;
  for (std::string& s : argCopy) argv.push_back(s.data());
  argv.push_back(nullptr);
  for (std::string& s : envCopy) envp.push_back(s.data());  // the first of a name counts
  for (char** p = environ; *p; ++p) envp.push_back(*p);
  envp.push_back(nullptr);
  if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) m_pid = -1;
  posix_spawn_file_actions_destroy(&actions);
}

CChild::~CChild() {
  if (m_pid <= 0 || m_status) return;
  Signal(SIGTERM);
  if (!WaitExit(std::chrono::seconds(10))) {
    Signal(SIGKILL);
    waitpid(m_pid, nullptr, 0);
  }
}

void CChild::Signal(int nSignal) const {
  if (m_pid > 0 && !m_status) kill(m_pid, nSignal);
}

int CChild::ThreadCount() const {
  if (m_pid <= 0 || m_status) return 0;
  std::error_code ec;
  int nThreads = 0;
  for (std::filesystem::directory_iterator it("/proc/" + std::to_string(m_pid) + "/task", ec), end;
       !ec && it != end; it.increment(ec)) {
    ++nThreads;
  }
  return nThreads;
}

std::optional<int> CChild::WaitExit(std::chrono::milliseconds bound) {
  if (m_status || m_pid <= 0) return m_status;
  WaitUntil(
      [this] {
        int status = 0;
        const pid_t r = waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid) m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return r != 0;
      },
      bound, [] { usleep(20000); });
  return m_status;
}

int RunIn(const std::string& strDir, const std::string& strCommand, std::string* pOut) {
  const int rc = std::system(
      ("cd '" + strDir + "' && XDG_RUNTIME_DIR='" + strDir + "' " + strCommand + " > out.txt 2>&1")
          .c_str());
  *pOut = ReadWholeFile(strDir + "/out.txt");
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

bool WaitForText(const std::string& strPath, const std::string& strText,
                 std::chrono::milliseconds bound) {
  return WaitUntil([&] { return ReadWholeFile(strPath).find(strText) != std::string::npos; }, bound,
                   [] { usleep(20000); });
}
