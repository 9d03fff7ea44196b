#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

// Programs the end-to-end tests run, each in a folder of its own.

// A program running as a child: args[0] started in strDir with extra
// environment entries ("NAME=value"), its output in strOutFile. A child
// still running at the end gets SIGTERM, then SIGKILL.
class CChild {
 public:
  CChild(const std::vector<std::string>& args, const std::string& strDir,
         const std::string& strOutFile, const std::vector<std::string>& env = {});
  ~CChild();
  CChild(const CChild&) = delete;
  CChild& operator=(const CChild&) = delete;

  bool Started() const { return m_pid > 0; }
  void Signal(int nSignal) const;
  // Threads the running child has now; 0 once it has ended.
  int ThreadCount() const;
  // The exit status (128 + the signal for one ended by a signal) once it
  // ended within the bound; nullopt while running.
  std::optional<int> WaitExit(std::chrono::milliseconds bound);

 private:
  pid_t m_pid = -1;
  std::optional<int> m_status;
};

// Runs a command line in a folder, output to out.txt there; exit status and
// output. The folder also holds the program's single-copy lock.
int RunIn(const std::string& strDir, const std::string& strCommand, std::string* pOut);

// Waits up to bound until the file holds strText.
bool WaitForText(const std::string& strPath, const std::string& strText,
                 std::chrono::milliseconds bound);
