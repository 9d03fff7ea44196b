#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Programs run by the end-to-end tests, each in a folder of its own.

// Starts args[0] with args in strDir, extra environment entries
// ("NAME=value") and its output appended to strOut; returns its pid.
pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& env,
            const std::string& strDir, const std::string& strOut);
// Waits up to nTimeoutMs for the child to end; one that has not is killed.
// Its exit status, or -1 when it was killed or ended by a signal.
int WaitExit(pid_t pid, int nTimeoutMs);
// Waits up to nTimeoutMs until the file holds strText.
bool WaitForText(const std::string& strPath, const std::string& strText, int nTimeoutMs);
