#pragma once

#include <array>
#include <cstdarg>
#include <cstddef>

// Time-out classes of a read: the tool's policy gives each its limits.
inline constexpr int kTimeoutSetting = 0;  // the operator's time-out
inline constexpr int kTimeout60s = -1;
inline constexpr int kTimeout90s = 1;
inline constexpr int kTimeout120s = 2;

// The limits of one read: for its first byte, then for the rest once it has
// started.
struct SReadLimits {
  int nFirstByteMs = 0;
  int nRestMs = 0;
};

// Where a port's log lines go: the port's number, the line's level, the text.
using PortLogFn = void (*)(int nPort, int nLevel, const char* pszFormat, va_list args);

// How one tool's port behaves. The two tools share the serial code and differ
// only in these values, which each builds for its link; the port itself never
// asks which tool it serves.
struct SPortPolicy {
  // Indexed by time-out class + 1 (kTimeout60s .. kTimeout120s); any other
  // class reads with the limits of kTimeoutSetting.
  std::array<SReadLimits, 4> readLimits{};
  bool bStopEndsReads = false;     // the operator's stop flag cuts a read short
  PortLogFn pfnPortLog = nullptr;  // none: the port logs nothing
  bool bLogBusyPorts = false;      // port discovery logs each busy port it leaves out

  SReadLimits ReadLimits(int nTimeoutClass) const {
    const int nIndex = nTimeoutClass + 1;
    if (nIndex < 0 || nIndex >= static_cast<int>(readLimits.size())) {
      return readLimits[kTimeoutSetting + 1];
    }
    return readLimits[static_cast<size_t>(nIndex)];
  }
};
