#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

// The PDL packet layout shared by the PC side and the phone side. All fields
// are little-endian and packed; the 32-bit size starts unaligned at byte 1.
//
//   0      header byte 0xAE
//   1..4   data_size: bytes after the flow-id byte (packet length - 6)
//   5      flow id: 0xFF from the PC, 0xEE in a failure reply
//   6..9   cmd: command number, or the response code of an acknowledgement
//   10..13 addr: first argument word (long form)
//   14..17 size: second argument word (long form)
//   18..   payload

namespace pdl {

inline constexpr uint8_t kHeaderByte = 0xAE;
inline constexpr uint8_t kFlowIdPc = 0xFF;
inline constexpr uint8_t kFlowIdFailure = 0xEE;
// Put in addr to say the target is named by the payload, not by an address.
inline constexpr uint32_t kNameMarker = 0xB16B00B5;

inline constexpr size_t kHeaderSize = 6;      // header byte, data_size, flow id
inline constexpr size_t kShortFormSize = 10;  // header and cmd
inline constexpr size_t kLongFormSize = 18;   // header, cmd, addr and size
inline constexpr size_t kPayloadOffset = 18;
inline constexpr size_t kAckSize = 10;        // header and response code

// Every outgoing packet is composed at the start of this buffer.
inline constexpr size_t kPacketBufferSize = 307200;
// Where the download worker keeps the READ_IMAGE_ATTR reply: the last 1024 bytes.
inline constexpr size_t kImageInfoSize = 1024;
inline constexpr size_t kImageInfoOffset = kPacketBufferSize - kImageInfoSize;
// The factory data partition read and written back by the IMEI writer.
inline constexpr uint32_t kFactoryPartitionSize = 0x4000;

enum ECommand : uint32_t {
  CMD_CONNECT = 0,
  CMD_START_DATA = 4,
  CMD_MID_DATA = 5,
  CMD_END_DATA = 6,
  CMD_EXEC_DATA = 7,
  CMD_READ_PARTITION = 9,
  CMD_FORMAT_FLASH = 13,
  CMD_READ_IMAGE_ATTR = 15,
  CMD_SET_FACTMODE = 17,
  CMD_DEBUG = 19,
  CMD_POWER_OFF = 21,
  CMD_PARTITION_TABLE = 22,
};

enum EResponse : uint32_t {
  RSP_ACK = 0,
  RSP_PACKET_ERROR = 1,
  RSP_INVALID_CMD = 2,
  RSP_UNKNOWN_CMD = 3,
  RSP_INVALID_ADDR = 4,
  RSP_INVALID_BAUDRATE = 5,
  RSP_INVALID_PARTITION = 6,
  RSP_INVALID_SIZE = 7,
  RSP_WAITS_TIMEOUT = 8,
  RSP_VERIFY_ERROR = 9,
  RSP_CHECKSUM_ERROR = 10,
  RSP_OPERATION_FAILED = 11,
  RSP_DEVICE_ERROR = 12,
  RSP_NO_MEMORY = 13,
};

inline void PutU32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

inline uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Writes 0xAE, data_size and the flow id into the first six bytes.
inline void BuildHeader(uint8_t* pBuf, uint32_t nDataSize, uint8_t nFlowId = kFlowIdPc) {
  pBuf[0] = kHeaderByte;
  PutU32(pBuf + 1, nDataSize);
  pBuf[5] = nFlowId;
}

// Short form: header and cmd; returns the packet length (10).
inline size_t BuildShortForm(uint8_t* pBuf, uint32_t nCmd) {
  BuildHeader(pBuf, 4);
  PutU32(pBuf + 6, nCmd);
  return kShortFormSize;
}

// Long form: header, cmd, addr and size; data_size counts nPayload more bytes
// that follow at offset 18. Returns the header length (18).
inline size_t BuildLongForm(uint8_t* pBuf, uint32_t nCmd, uint32_t nAddr, uint32_t nSize,
                            uint32_t nPayload = 0) {
  BuildHeader(pBuf, 12 + nPayload);
  PutU32(pBuf + 6, nCmd);
  PutU32(pBuf + 10, nAddr);
  PutU32(pBuf + 14, nSize);
  return kLongFormSize;
}

// The name of a response code: the download tool's table has no entry for
// WAITS_TIMEOUT (8); the IMEI writer's has. Codes above 13 have no name.
const char* ResponseName(uint32_t nCode, bool bWithWaitsTimeout);

}  // namespace pdl
