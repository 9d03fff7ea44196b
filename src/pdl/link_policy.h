#pragma once

#include <cstdint>

#include "serial/port_policy.h"

// How one tool runs the packet protocol over its port. Each tool builds its
// link with one of these; the protocol code reads the fields and never asks
// which tool it serves.
struct SLinkPolicy {
  SPortPolicy port;
  // Packet parts go out through WriteBuf2Phone (time limits by length and
  // retries); otherwise each part is written once and must all go out.
  bool bWriteByLength = false;
  // How long WaitForAck skips stray bytes before the header byte; a timeout
  // line is logged with it.
  int nStrayLimitMs = 0;
  // A failure reply (flow id 0xEE) fails WaitForAck without its code being
  // read; otherwise every reply is judged by its code.
  bool bFailureEndsAck = false;
  // The response-name table in failure lines includes WAITS_TIMEOUT (8).
  bool bNamesWithWaitsTimeout = false;
  // The flag word SendDebugCmd sends.
  uint32_t dwDebugFlags = 0;
  // A data packet carries its number + 1 as its address; otherwise the name
  // marker.
  bool bNumberDataPackets = false;

  // The operator's time-out: the limit of class kTimeoutSetting.
  int TimeoutSettingMs() const { return port.ReadLimits(kTimeoutSetting).nFirstByteMs; }
};

// The download tool: reads by time-out class with the operator's time-out
// (TIMEOUT) for class kTimeoutSetting, the stop flag ends reads, lines go to
// the port logs, and the debug flags (DEBUG_LEVEL) go out with SendDebugCmd.
SLinkPolicy DownloadLinkPolicy(int nTimeoutMs, uint32_t dwDebugFlags);
// The IMEI writer: fixed read limits, the run's stop ends reads, no logs,
// each packet part written once, every reply judged by its code.
SLinkPolicy WriterLinkPolicy();
