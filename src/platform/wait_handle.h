#pragma once

#include <span>

// What one system wait can include beside a device: a descriptor for poll()
// on POSIX, an object handle for WaitForMultipleObjects on Windows. Code
// above the platform layer only passes these around and waits on them with
// WaitAny, so it compiles unchanged for both.

namespace platform {

#if defined(_WIN32)
using WaitHandle = void*;
inline constexpr WaitHandle kNoWaitHandle = nullptr;
#else
using WaitHandle = int;
inline constexpr WaitHandle kNoWaitHandle = -1;
#endif

inline constexpr int kWaitTimedOut = -1;
inline constexpr int kWaitFailed = -2;

// Waits at most nTimeoutMs (-1: no limit) until one of the handles is ready
// and returns the index of the first ready one, or kWaitTimedOut, or
// kWaitFailed. kNoWaitHandle entries are never ready. Nothing is consumed.
int WaitAny(std::span<const WaitHandle> handles, int nTimeoutMs);

#if !defined(_WIN32)
// POSIX only, for a client socket of a network library: the same wait with
// the socket first, ready when it can be read or, with bWrite, written (a
// connect in progress, output still queued). Returns 0 for the socket,
// 1 + i for handles[i], kWaitTimedOut or kWaitFailed.
int WaitSocketOrAny(WaitHandle socket, bool bWrite, std::span<const WaitHandle> handles,
                    int nTimeoutMs);
#endif

}  // namespace platform
