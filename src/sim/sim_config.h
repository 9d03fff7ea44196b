#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

// How one simulated phone behaves: its answers, its timing and the faults it
// injects. The same keys serve the profile file (key=value lines) and the
// command line (--key value), so both are documented in one table.

namespace sim {

// One injected fault: which packets it matches and what the phone does then.
// Text form: comma-separated key[=value] items, see kFaultSyntaxHelp.
struct SFault {
  // Match: every criterion given must hold.
  int nCmd = -1;         // command number; -1 any
  std::string strImage;  // image name or "0x..." load address; empty any
  int nChunk = 0;        // the k-th data packet of that image; 0 any
  int nNth = 0;          // only the k-th packet matching the above; 0 every one
  int nPhone = 0;        // only on the k-th phone of a socket; 0 every phone
  // Actions.
  int nCode = -1;             // answer with this response code
  bool bFailReply = false;    // answer with flow id 0xEE (code nCode, else OPERATION_FAILED)
  int nGarbage = 0;           // bytes of garbage written just before the answer
  bool bSilent = false;       // no answer at all
  int nStallMs = 0;           // wait this long before answering
  bool bUnplug = false;       // unplug instead of answering
  int64_t nUnplugAfter = -1;  // unplug on the data packet that brings the image to this many bytes
  std::string strAttr;        // READ_IMAGE_ATTR text: "empty" or "malformed"
  int nReadLen = -1;          // length of the partition read reply
  int64_t nDataSize = -1;     // data reply: the data_size its header claims
  int nDripBytesPerSec = 0;   // the answer trickles out at this rate; 0 at once
  std::string strText;        // as given, for the report
};

extern const char* const kFaultSyntaxHelp;
bool ParseFault(const std::string& strText, SFault& fault, std::string* pErr);

struct SPhoneConfig {
  // READ_IMAGE_ATTR reply: entries "name(unit)" joined by "#", sent with a zero byte after it.
  std::string strImageAttr =
      "modem(2112)#system(2048)#userdata(2048)#boot(2048)#recovery(2048)#cache(2048)";
  std::vector<uint8_t> factoryData;  // the 16 KiB factory partition; empty: DefaultFactoryData()
  uint64_t nRateBytesPerSec = 0;     // link pacing each way; 0 unlimited
  uint32_t nAckLatencyUs = 0;        // added before every answer
  uint32_t nFlashMsPerMiB = 0;       // loader stage: time to write received image data
  uint32_t nFormatMs = 0;            // FORMAT_FLASH duration
  uint32_t nFactoryAddr = 0x100100;  // executing an image loaded here enters the factory stage
  uint32_t nGapMs = 500;             // an unfinished packet this long silent is a framing error
  uint32_t nPowerOffMs = 0;          // after POWER_OFF the port stays listed, silent, this long
  int nUnplugOnCloseMs = -1;         // unplug when the host closed the port this long; -1 never
  uint32_t nPulledAfterMs = 0;  // the operator pulls every phone this long after plug-in; 0 never
  // The operator takes the phone away once it is written: the first connect
  // after its factory write-back finds it gone.
  bool bLeaveAfterWrite = false;
  std::string strPlugCmd;  // device mode: shell commands run to plug in and unplug
  std::string strUnplugCmd;
  std::vector<SFault> faults;
  // Soak testing: this share of phones (0..100 %) each gets one fault drawn
  // at random; the draws repeat for the same seed, socket and phone.
  uint32_t nRandomFaultPercent = 0;
  uint32_t nRandomSeed = 1;
};

// The fault text a phone draws under random-faults, or empty for none.
std::string DrawRandomFault(const SPhoneConfig& cfg, int nCom, int nPhone);

// "NORQFACT", a format word 1, then zeros up to 16 KiB.
std::vector<uint8_t> DefaultFactoryData();

struct SSettingInfo {
  const char* pszKey;  // profile key and long option name
  const char* pszArg;  // argument placeholder
  const char* pszHelp;
};
std::span<const SSettingInfo> PhoneSettings();

// Applies one setting by key; "fault" adds a fault each time.
bool ApplySetting(SPhoneConfig& cfg, const std::string& strKey, const std::string& strValue,
                  std::string* pErr);
// Reads key=value lines; blank lines and lines starting with # or ; are skipped.
bool LoadProfile(const std::string& strPath, SPhoneConfig& cfg, std::string* pErr);

}  // namespace sim
