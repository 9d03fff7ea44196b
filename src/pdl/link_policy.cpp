#include "pdl/link_policy.h"

#include "common/op_log.h"

namespace {

// The writer's reads: no first byte within 10 s ends a read; a read that has
// started waits at most this long for the rest.
constexpr SReadLimits kWriterReadLimits{10000, 54464};
// How long the writer skips stray bytes before a reply.
constexpr int kWriterStrayLimitMs = 10000;

}  // namespace

SLinkPolicy DownloadLinkPolicy(int nTimeoutMs, uint32_t dwDebugFlags) {
  SLinkPolicy policy;
  policy.port.readLimits = {SReadLimits{60000, 60000}, SReadLimits{nTimeoutMs, nTimeoutMs},
                            SReadLimits{90000, 90000}, SReadLimits{120000, 120000}};
  policy.port.bStopEndsReads = true;
  policy.port.pfnPortLog = WritePortLogV;
  policy.port.bLogBusyPorts = true;
  policy.bWriteByLength = true;
  policy.nStrayLimitMs = nTimeoutMs;
  policy.bFailureEndsAck = true;
  policy.bNamesWithWaitsTimeout = false;
  policy.dwDebugFlags = dwDebugFlags;
  policy.bNumberDataPackets = true;
  return policy;
}

SLinkPolicy WriterLinkPolicy() {
  SLinkPolicy policy;
  policy.port.readLimits = {kWriterReadLimits, kWriterReadLimits, kWriterReadLimits,
                            kWriterReadLimits};
  // Stop and Exit must not wait for a phone that answers slowly or never.
  policy.port.bStopEndsReads = true;
  policy.nStrayLimitMs = kWriterStrayLimitMs;
  policy.bNamesWithWaitsTimeout = true;
  return policy;
}
