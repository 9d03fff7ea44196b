#include "pdl/packet.h"

namespace pdl {

const char* ResponseName(uint32_t nCode, bool bWithWaitsTimeout) {
  static const char* const kNames[] = {
      "ACK",          "PACKET_ERROR",   "INVALID_CMD",      "UNKNOWN_CMD",       "INVALID_ADDR",
      "INVALID_BAUDRATE", "INVALID_PARTITION", "INVALID_SIZE", "WAITS_TIMEOUT", "VERIFY_ERROR",
      "CHECKSUM_ERROR", "OPERATION_FAILED", "DEVICE_ERROR", "NO_MEMORY"};
  if (nCode >= sizeof kNames / sizeof kNames[0]) return "";
  if (nCode == RSP_WAITS_TIMEOUT && !bWithWaitsTimeout) return "";
  return kNames[nCode];
}

}  // namespace pdl
