#pragma once

#include "platform/wait_handle.h"

namespace platform {

// The programs' Stop from outside (SIGINT and SIGTERM; Ctrl-C, Ctrl-Break and
// closing the console on Windows): taken away from their default action and
// turned into a handle that becomes ready once one arrives (kNoWaitHandle on
// failure). On POSIX the signals are blocked in the calling thread and every
// thread started after it, so call it before any thread starts.
WaitHandle BlockStopSignals();

}  // namespace platform
