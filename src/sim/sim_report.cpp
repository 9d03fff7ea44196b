#include "sim/sim_report.h"

#include <cstdio>

#include "common/digest.h"

namespace sim {

const char* OutcomeName(EOutcome e) {
  switch (e) {
    case EOutcome::Running:
      return "running";
    case EOutcome::PoweredOff:
      return "powered-off";
    case EOutcome::Unplugged:
      return "unplugged";
    case EOutcome::HostClosed:
      return "host-closed";
    case EOutcome::Stopped:
      return "stopped";
    case EOutcome::Error:
      return "error";
  }
  return "";
}

namespace {

std::string Quote(const std::string& s) {
  std::string str = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      str += '\\';
      str += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      str += buf;
    } else {
      str += static_cast<char>(c);
    }
  }
  return str + "\"";
}

std::string List(const std::vector<uint32_t>& v) {
  std::string str = "[";
  for (size_t i = 0; i < v.size(); ++i) str += (i ? "," : "") + std::to_string(v[i]);
  return str + "]";
}

std::string Bool(bool b) {
  return b ? "true" : "false";
}

}  // namespace

std::string ToJson(const SPhoneReport& r) {
  std::string s =
      "{\n  \"com\": " + std::to_string(r.nCom) + ",\n  \"phone\": " + std::to_string(r.nIndex) +
      ",\n  \"device\": " + Quote(r.strDevice) +
      ",\n  \"outcome\": " + Quote(OutcomeName(r.eOutcome)) +
      ",\n  \"detail\": " + Quote(r.strDetail) + ",\n  \"passed\": " + Bool(r.bPassed) +
      ",\n  \"stage\": " + Quote(r.strStage) +
      ",\n  \"duration_ms\": " + std::to_string(r.nDurationMs) +
      ",\n  \"host_opens\": " + std::to_string(r.nHostOpens) +
      ",\n  \"stray_bytes\": " + std::to_string(r.nStrayBytes) +
      ",\n  \"error_replies\": " + std::to_string(r.nErrorReplies) + ",\n  \"faults_fired\": [";
  for (size_t i = 0; i < r.faultsFired.size(); ++i) s += (i ? ", " : "") + Quote(r.faultsFired[i]);
  s += "],\n  \"commands\": [";
  for (size_t i = 0; i < r.commands.size(); ++i) {
    const SCommandRecord& c = r.commands[i];
    s += std::string(i ? "," : "") + "\n    {\"cmd\": " + std::to_string(c.nCmd) +
         ", \"addr\": " + std::to_string(c.nAddr) + ", \"size\": " + std::to_string(c.nSize) +
         ", \"payload\": " + std::to_string(c.nPayload) +
         (c.strName.empty() ? "" : ", \"name\": " + Quote(c.strName)) +
         ", \"reply\": " + std::to_string(c.nReply) + ", \"fail_reply\": " + Bool(c.bFailReply) +
         ", \"reply_len\": " + std::to_string(c.nReplyLen) +
         ", \"rx_us\": " + std::to_string(c.nRxUs) +
         ", \"reply_us\": " + std::to_string(c.nReplyUs) +
         (c.strFault.empty() ? "" : ", \"fault\": " + Quote(c.strFault)) + "}";
  }
  s += "\n  ],\n  \"images\": [";
  for (size_t i = 0; i < r.images.size(); ++i) {
    const SImageRecord& m = r.images[i];
    s += std::string(i ? "," : "") + "\n    {\"name\": " + Quote(m.strName) +
         ", \"addr\": " + std::to_string(m.nAddr) + ", \"stage\": " + Quote(m.strStage) +
         ", \"size\": " + std::to_string(m.nAnnounced) +
         ", \"received\": " + std::to_string(m.nReceived) + ", \"sha256\": " + Quote(m.strSha256) +
         ", \"ended\": " + Bool(m.bEnded) + ", \"executed\": " + Bool(m.bExecuted) +
         ",\n     \"chunks\": " + List(m.chunkSizes) +
         ",\n     \"packets\": " + List(m.packetNumbers) + "}";
  }
  s += "\n  ],\n  \"partition_table\": " + Quote(r.strPartitionTable) +
       ",\n  \"debug_flags\": " + List(r.debugFlags) +
       ",\n  \"format\": " + Bool(r.bFormatRequested) + ",\n  \"factmode\": " + Bool(r.bFactMode) +
       ",\n  \"factory\": {\"name\": " + Quote(r.strFactoryName) +
       ", \"written\": " + Bool(!r.factoryWritten.empty()) +
       ", \"base64\": " + Quote(Base64(r.factoryWritten)) + "}\n}\n";
  return s;
}

std::string SummaryLine(const SPhoneReport& r) {
  int nEnded = 0;
  for (const SImageRecord& m : r.images) nEnded += m.bEnded;
  std::string s = "COM" + std::to_string(r.nCom) + " phone " + std::to_string(r.nIndex) + ": " +
                  OutcomeName(r.eOutcome) + (r.bPassed ? " PASS" : " FAIL") + ", stage " +
                  (r.strStage.empty() ? "-" : r.strStage) + ", " +
                  std::to_string(r.commands.size()) + " commands, " + std::to_string(nEnded) +
                  " images, " + std::to_string(r.nErrorReplies) + " error answers, " +
                  std::to_string(r.nDurationMs) + " ms";
  if (!r.faultsFired.empty()) s += ", faults: " + std::to_string(r.faultsFired.size());
  if (r.bFormatRequested) s += ", formatted";
  if (!r.factoryWritten.empty()) s += ", factory data written";
  if (!r.strDetail.empty()) s += " (" + r.strDetail + ")";
  return s;
}

}  // namespace sim
