#include "sim/sim_config.h"

#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

#include "pdl/packet.h"

namespace sim {

const char* const kFaultSyntaxHelp =
    "Fault syntax: comma-separated key[=value] items.\n"
    "  Match (all given must hold):\n"
    "    cmd=N|NAME    command number or name: connect start mid end exec read-part format\n"
    "                  attr factmode debug power-off table\n"
    "    image=NAME    packets of this image (by name, or 0x... load address)\n"
    "    chunk=K       the K-th data packet of that image (from 1)\n"
    "    nth=K         only the K-th matching packet (from 1); default every one\n"
    "    phone=K       only on the K-th phone plugged into a socket (from 1)\n"
    "  Actions:\n"
    "    code=N        answer with response code N\n"
    "    fail[=N]      failure reply: flow id 0xEE with code N (default 11 OPERATION_FAILED)\n"
    "    garbage=N     write N garbage bytes (never 0xAE) just before the answer\n"
    "    silent        no answer\n"
    "    stall=MS      wait MS milliseconds before answering\n"
    "    unplug        unplug instead of answering\n"
    "    unplug-after=BYTES  with image=: unplug, unanswered, on the data packet that\n"
    "                  brings the image to BYTES received\n"
    "    attr=empty|malformed  READ_IMAGE_ATTR answer text (implies cmd=attr)\n"
    "    read-len=N    partition read answers N bytes instead of 16384 (implies cmd=read-part)\n"
    "    data-size=N   a data reply's header claims N bytes (up to 4294967295); with drip\n"
    "                  zeros follow the real data up to that size\n"
    "    drip=N        the answer trickles out at N bytes a second until it is whole, the\n"
    "                  host sends its next packet or closes the port\n"
    "  Examples: \"cmd=5,nth=3,code=9\"  \"image=system,unplug-after=100000\"  \"cmd=mid,fail\"\n"
    "            \"cmd=read-part,data-size=4294967295,drip=100\"";

namespace {

struct SCmdName {
  const char* psz;
  int nCmd;
};
constexpr SCmdName kCmdNames[] = {
    {"connect", pdl::CMD_CONNECT},       {"start", pdl::CMD_START_DATA},
    {"mid", pdl::CMD_MID_DATA},          {"end", pdl::CMD_END_DATA},
    {"exec", pdl::CMD_EXEC_DATA},        {"read-part", pdl::CMD_READ_PARTITION},
    {"format", pdl::CMD_FORMAT_FLASH},   {"attr", pdl::CMD_READ_IMAGE_ATTR},
    {"factmode", pdl::CMD_SET_FACTMODE}, {"debug", pdl::CMD_DEBUG},
    {"power-off", pdl::CMD_POWER_OFF},   {"table", pdl::CMD_PARTITION_TABLE}};

bool ParseNumber(const std::string& str, int64_t nMax, int64_t& nOut) {
  if (str.empty() || str[0] == '-') return false;
  size_t nUsed = 0;
  try {
    const unsigned long long v = std::stoull(str, &nUsed, 0);
    if (nUsed != str.size() || v > static_cast<unsigned long long>(nMax)) return false;
    nOut = static_cast<int64_t>(v);
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

template <typename T>
bool ParseInto(const std::string& str, T& out, int64_t nMax = INT32_MAX) {
  int64_t v = 0;
  if (!ParseNumber(str, nMax, v)) return false;
  out = static_cast<T>(v);
  return true;
}

bool Fail(std::string* pErr, const std::string& strMsg) {
  if (pErr) *pErr = strMsg;
  return false;
}

}  // namespace

bool ParseFault(const std::string& strText, SFault& fault, std::string* pErr) {
  fault = SFault{};
  fault.strText = strText;
  bool bAction = false;
  std::stringstream in(strText);
  std::string strItem;
  while (std::getline(in, strItem, ',')) {
    const size_t nEq = strItem.find('=');
    const std::string strKey = strItem.substr(0, nEq);
    const std::string strVal = nEq == std::string::npos ? "" : strItem.substr(nEq + 1);
    const bool bHasVal = nEq != std::string::npos;
    bool bOk = bHasVal;
    if (strKey == "cmd") {
      bOk = ParseInto(strVal, fault.nCmd, 255);
      for (const SCmdName& c : kCmdNames) {
        if (strVal == c.psz) fault.nCmd = c.nCmd, bOk = true;
      }
    } else if (strKey == "image") {
      fault.strImage = strVal;
      bOk = !strVal.empty();
      int64_t nAddr = 0;
      if (strVal.rfind("0x", 0) == 0 || strVal.rfind("0X", 0) == 0) {
        // Images sent by address are matched by their address in lower-case hex.
        bOk = ParseNumber(strVal, UINT32_MAX, nAddr);
        std::ostringstream out;
        out << "0x" << std::hex << nAddr;
        fault.strImage = out.str();
      }
    } else if (strKey == "chunk") {
      bOk = ParseInto(strVal, fault.nChunk) && fault.nChunk > 0;
    } else if (strKey == "nth") {
      bOk = ParseInto(strVal, fault.nNth) && fault.nNth > 0;
    } else if (strKey == "phone") {
      bOk = ParseInto(strVal, fault.nPhone) && fault.nPhone > 0;
    } else if (strKey == "code") {
      bOk = ParseInto(strVal, fault.nCode);
    } else if (strKey == "fail") {
      fault.bFailReply = true;
      bOk = !bHasVal || ParseInto(strVal, fault.nCode);
    } else if (strKey == "garbage") {
      bOk = ParseInto(strVal, fault.nGarbage, 1 << 20) && fault.nGarbage > 0;
    } else if (strKey == "silent" || strKey == "unplug") {
      (strKey == "silent" ? fault.bSilent : fault.bUnplug) = true;
      bOk = !bHasVal;
    } else if (strKey == "stall") {
      bOk = ParseInto(strVal, fault.nStallMs);
    } else if (strKey == "unplug-after") {
      bOk = ParseInto(strVal, fault.nUnplugAfter, INT64_MAX);
    } else if (strKey == "attr") {
      fault.strAttr = strVal;
      bOk = strVal == "empty" || strVal == "malformed";
      if (fault.nCmd < 0) fault.nCmd = pdl::CMD_READ_IMAGE_ATTR;
    } else if (strKey == "read-len") {
      bOk = ParseInto(strVal, fault.nReadLen, 1 << 20);
      if (fault.nCmd < 0) fault.nCmd = pdl::CMD_READ_PARTITION;
    } else if (strKey == "data-size") {
      bOk = ParseInto(strVal, fault.nDataSize, UINT32_MAX);
    } else if (strKey == "drip") {
      bOk = ParseInto(strVal, fault.nDripBytesPerSec, 1 << 20) && fault.nDripBytesPerSec > 0;
    } else {
      return Fail(pErr, "unknown fault item '" + strItem + "'");
    }
    if (!bOk) return Fail(pErr, "bad fault item '" + strItem + "'");
    const bool bMatchKey = strKey == "cmd" || strKey == "image" || strKey == "chunk" ||
                           strKey == "nth" || strKey == "phone";
    bAction = bAction || !bMatchKey;
  }
  if (!bAction) return Fail(pErr, "fault '" + strText + "' has no action");
  if ((fault.nChunk > 0 || fault.nUnplugAfter >= 0) && fault.strImage.empty()) {
    return Fail(pErr, "chunk= and unplug-after= need image=");
  }
  return true;
}

std::vector<uint8_t> DefaultFactoryData() {
  std::vector<uint8_t> data(pdl::kFactoryPartitionSize, 0);
  const char kMagic[] = "NORQFACT";
  std::copy(kMagic, kMagic + 8, data.begin());
  pdl::PutU32(data.data() + 8, 1);
  return data;
}

std::span<const SSettingInfo> PhoneSettings() {
  static constexpr SSettingInfo kSettings[] = {
      {"image-attr", "TEXT",
       "READ_IMAGE_ATTR answer: entries name(unit) joined by #, e.g. modem(2112)#system(2048)"},
      {"factory-file", "PATH", "initial 16 KiB factory partition (shorter files are zero-filled)"},
      {"rate", "BYTES_PER_S", "link pacing in each direction; 0 = unlimited (default)"},
      {"ack-latency-us", "US", "delay before every answer"},
      {"flash-ms-per-mib", "MS", "loader stage: flash write time per MiB of image data"},
      {"format-ms", "MS", "FORMAT_FLASH duration before its acknowledgement"},
      {"factory-addr", "ADDR", "load address whose execution enters the factory stage (0x100100)"},
      {"gap-ms", "MS", "silence that makes an unfinished packet a framing error (500)"},
      {"unplug-on-close-ms", "MS", "unplug once the host has closed the port this long (-1 never)"},
      {"power-off-ms", "MS", "after POWER_OFF the port stays listed, silent, this long (0)"},
      {"pulled-after-ms", "MS",
       "unplug every phone this long after it was plugged in, finished or not (0 never)"},
      {"leave-after-write", "yes|no",
       "after its factory write-back the phone leaves at the next connect, as a written phone "
       "is taken away (no)"},
      {"plug-cmd", "SHELL",
       "run before each phone plugs in, e.g. to enable a USB gadget (env SIM_COM, SIM_DEVICE)"},
      {"unplug-cmd", "SHELL", "run after each phone is unplugged"},
      {"fault", "FAULT", "inject a fault; repeatable; see the fault syntax below"},
      {"random-faults", "PERCENT[:SEED]",
       "give this share of phones one random fault each (soak testing)"},
  };
  return kSettings;
}

bool ApplySetting(SPhoneConfig& cfg, const std::string& strKey, const std::string& strValue,
                  std::string* pErr) {
  bool bOk = true;
  if (strKey == "image-attr") {
    cfg.strImageAttr = strValue;
    bOk = strValue.size() < pdl::kImageInfoSize;
  } else if (strKey == "factory-file") {
    std::ifstream file(strValue, std::ios::binary);
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(file)), {});
    if (!file.is_open() || data.size() > pdl::kFactoryPartitionSize) {
      return Fail(pErr, "factory-file: cannot read a file of at most 16384 bytes: " + strValue);
    }
    data.resize(pdl::kFactoryPartitionSize, 0);
    cfg.factoryData = std::move(data);
  } else if (strKey == "rate") {
    bOk = ParseInto(strValue, cfg.nRateBytesPerSec, INT64_MAX);
  } else if (strKey == "ack-latency-us") {
    bOk = ParseInto(strValue, cfg.nAckLatencyUs);
  } else if (strKey == "flash-ms-per-mib") {
    bOk = ParseInto(strValue, cfg.nFlashMsPerMiB);
  } else if (strKey == "format-ms") {
    bOk = ParseInto(strValue, cfg.nFormatMs);
  } else if (strKey == "factory-addr") {
    bOk = ParseInto(strValue, cfg.nFactoryAddr, UINT32_MAX);
  } else if (strKey == "gap-ms") {
    bOk = ParseInto(strValue, cfg.nGapMs) && cfg.nGapMs > 0;
  } else if (strKey == "power-off-ms") {
    bOk = ParseInto(strValue, cfg.nPowerOffMs);
  } else if (strKey == "pulled-after-ms") {
    bOk = ParseInto(strValue, cfg.nPulledAfterMs);
  } else if (strKey == "unplug-on-close-ms") {
    bOk = strValue == "-1" || ParseInto(strValue, cfg.nUnplugOnCloseMs);
    if (strValue == "-1") cfg.nUnplugOnCloseMs = -1;
  } else if (strKey == "leave-after-write") {
    bOk = strValue == "yes" || strValue == "no";
    cfg.bLeaveAfterWrite = strValue == "yes";
  } else if (strKey == "plug-cmd") {
    cfg.strPlugCmd = strValue;
  } else if (strKey == "unplug-cmd") {
    cfg.strUnplugCmd = strValue;
  } else if (strKey == "random-faults") {
    const size_t colon = strValue.find(':');
    bOk = ParseInto(strValue.substr(0, colon), cfg.nRandomFaultPercent, 100) &&
          (colon == std::string::npos || ParseInto(strValue.substr(colon + 1), cfg.nRandomSeed));
  } else if (strKey == "fault") {
    SFault fault;
    if (!ParseFault(strValue, fault, pErr)) return false;
    cfg.faults.push_back(std::move(fault));
  } else {
    return Fail(pErr, "unknown setting '" + strKey + "'");
  }
  return bOk || Fail(pErr, "bad value for " + strKey + ": '" + strValue + "'");
}

bool LoadProfile(const std::string& strPath, SPhoneConfig& cfg, std::string* pErr) {
  std::ifstream file(strPath);
  if (!file) return Fail(pErr, "cannot read profile " + strPath);
  std::string strLine;
  for (int nLine = 1; std::getline(file, strLine); ++nLine) {
    const auto Trim = [](std::string s) {
      const size_t b = s.find_first_not_of(" \t\r");
      const size_t e = s.find_last_not_of(" \t\r");
      return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
    };
    strLine = Trim(strLine);
    if (strLine.empty() || strLine[0] == '#' || strLine[0] == ';') continue;
    const size_t nEq = strLine.find('=');
    std::string strErr = "no '=' in line";
    if (nEq == std::string::npos ||
        !ApplySetting(cfg, Trim(strLine.substr(0, nEq)), Trim(strLine.substr(nEq + 1)), &strErr)) {
      return Fail(pErr, strPath + ":" + std::to_string(nLine) + ": " + strErr);
    }
  }
  return true;
}

std::string DrawRandomFault(const SPhoneConfig& cfg, int nCom, int nPhone) {
  if (cfg.nRandomFaultPercent == 0) return {};
  std::mt19937 rng(cfg.nRandomSeed * 1000003u + static_cast<uint32_t>(nCom) * 7919u +
                   static_cast<uint32_t>(nPhone));
  if (std::uniform_int_distribution<uint32_t>(1, 100)(rng) > cfg.nRandomFaultPercent) return {};
  // Commands of both tools' sequences, with how many of each a phone sees.
  static constexpr struct {
    const char* pszCmd;
    int nMaxNth;
  } kCommands[] = {{"connect", 2},   {"start", 6},    {"mid", 40},     {"end", 6},
                   {"exec", 2},      {"attr", 1},     {"table", 1},    {"format", 1},
                   {"read-part", 2}, {"factmode", 1}, {"power-off", 1}};
  static constexpr const char* kActions[] = {"code=9",     "fail",   "silent",
                                             "garbage=23", "unplug", "stall=400"};
  const auto& cmd =
      kCommands[std::uniform_int_distribution<size_t>(0, std::size(kCommands) - 1)(rng)];
  const char* pszAction =
      kActions[std::uniform_int_distribution<size_t>(0, std::size(kActions) - 1)(rng)];
  const int nNth = std::uniform_int_distribution<int>(1, cmd.nMaxNth)(rng);
  return std::string("cmd=") + cmd.pszCmd + ",nth=" + std::to_string(nNth) + "," + pszAction;
}

}  // namespace sim
