#pragma once

namespace platform {

// SIGINT and SIGTERM, the programs' Stop from outside: blocked in the calling
// thread and every thread started after it (threads inherit the mask), and
// read from the returned descriptor instead (-1 on failure). Call it before
// any thread starts.
int BlockStopSignals();

}  // namespace platform
