#include "child_process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "pty_phone.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPollStep = std::chrono::milliseconds(20);

}  // namespace

pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& env,
            const std::string& strDir, const std::string& strOut) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  if (chdir(strDir.c_str()) != 0) _exit(127);
  for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
  FILE* out = std::fopen(strOut.c_str(), "a");
  if (out) {
    dup2(fileno(out), STDOUT_FILENO);
    dup2(fileno(out), STDERR_FILENO);
  }
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  _exit(127);
}

int WaitExit(pid_t pid, int nTimeoutMs) {
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(nTimeoutMs);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() > end) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(kPollStep);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool WaitForText(const std::string& strPath, const std::string& strText, int nTimeoutMs) {
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(nTimeoutMs);
  while (ReadWholeFile(strPath).find(strText) == std::string::npos) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(kPollStep);
  }
  return true;
}
