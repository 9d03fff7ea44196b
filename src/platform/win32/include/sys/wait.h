#pragma once

// The status a child's end gives here is its exit code itself (a child is
// never stopped by a signal), read with the POSIX macros.

#define WIFEXITED(status) 1
#define WEXITSTATUS(status) (status)
#define WIFSIGNALED(status) 0
