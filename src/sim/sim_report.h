#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What one simulated phone saw and did, for in-process tests and, as JSON,
// for scripts.

namespace sim {

enum class EOutcome {
  Running,     // not finished yet
  PoweredOff,  // the host sent POWER_OFF
  Unplugged,   // a fault unplugged the phone
  HostClosed,  // the host closed the port and the phone went away (or the device went away)
  Stopped,     // the simulator was stopped while the phone was in use or unused
  Error,       // the phone could not be plugged in
};
const char* OutcomeName(EOutcome e);

struct SCommandRecord {
  uint32_t nCmd = 0;
  uint32_t nAddr = 0;
  uint32_t nSize = 0;
  uint32_t nPayload = 0;    // bytes after the 18-byte long form
  std::string strName;      // the name of a by-name packet
  int nReply = -1;          // response code answered (0 also for a data reply); -1 none
  bool bFailReply = false;  // answered with flow id 0xEE
  uint32_t nReplyLen = 0;   // bytes written for the answer, garbage included
  std::string strFault;     // the fault that changed the answer
  // Microseconds from plug-in until the packet was complete and until its
  // answer was written (-1 when none was), for timing scripts.
  int64_t nRxUs = -1;
  int64_t nReplyUs = -1;
};

struct SImageRecord {
  std::string strName;  // empty for an image sent by address
  uint32_t nAddr = 0;
  std::string strStage;  // stage it was sent in: boot, loader1, loader, factory
  uint32_t nAnnounced = 0;
  uint64_t nReceived = 0;
  std::string strSha256;  // of the bytes received, set when the image ends or the phone goes
  std::vector<uint32_t> chunkSizes;
  std::vector<uint32_t> packetNumbers;  // the addr word of each data packet
  bool bEnded = false;                  // END_DATA acknowledged
  bool bExecuted = false;               // EXEC_DATA acknowledged
};

struct SPhoneReport {
  int nCom = 0;
  int nIndex = 0;  // 1 for the first phone plugged into this socket
  std::string strDevice;
  std::string strStage;
  std::vector<SCommandRecord> commands;
  std::vector<SImageRecord> images;
  std::string strPartitionTable;
  std::vector<uint32_t> debugFlags;
  bool bFormatRequested = false;
  bool bFactMode = false;
  std::string strFactoryName;           // partition name of the write-back
  std::vector<uint8_t> factoryWritten;  // empty unless written back
  uint64_t nStrayBytes = 0;             // skipped while looking for 0xAE
  int nErrorReplies = 0;
  std::vector<std::string> faultsFired;
  int nHostOpens = 0;
  EOutcome eOutcome = EOutcome::Running;
  std::string strDetail;
  // Ended by power-off or host close, with no error answer, no fault and no unfinished image.
  bool bPassed = false;
  int64_t nDurationMs = 0;
};

std::string ToJson(const SPhoneReport& rep);
std::string SummaryLine(const SPhoneReport& rep);

}  // namespace sim
