#pragma once

#include <memory>
#include <string>

#include "platform/instance_lock.h"

// The download tool's start before its window opens: one copy only, the base
// folder (the current directory), the log folders. The window reads the
// settings files.
struct SQuillportStart {
  std::unique_ptr<platform::CInstanceLock> pInstance;  // held for the process's life
  std::string strBase;
};

// False when another copy of the program named strProgram is running.
bool StartQuillport(const std::string& strProgram, SQuillportStart* pStart);
