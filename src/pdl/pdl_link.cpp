#include "pdl/pdl_link.h"

#include <chrono>
#include <cstring>

#include "common/deadline.h"
#include "common/message_queue.h"
#include "common/op_log.h"

namespace {

using namespace pdl;

// How long a partition reply and the image-information reply skip stray
// bytes.
constexpr int kPartitionReplyLimitMs = 10000;
constexpr int kImageInfoStartLimitMs = 3000;
constexpr char kNoImageInfoText[] = "PDL cannot deal READ_IMAGE_ATTR!";

}  // namespace

CPdlLink::CPdlLink(IBytePort& port, const SLinkPolicy& policy, uint8_t* pPacketBuffer)
    : m_port(port), m_policy(policy), m_pPacket(pPacketBuffer) {}

void CPdlLink::PortLog(int nLevel, const char* pszFormat, ...) const {
  va_list args;
  va_start(args, pszFormat);
  m_port.PortLogV(nLevel, pszFormat, args);
  va_end(args);
}

bool CPdlLink::ReadExact(void* pBuf, uint32_t nLen, int nTimeoutClass, int nWithinMs) {
  uint32_t nRead = 0;
  return m_port.uart_read(pBuf, nLen, &nRead, nTimeoutClass, nWithinMs) && nRead == nLen;
}

bool CPdlLink::WaitForAck(int32_t* pnCode, int nTimeoutClass) {
  if (!m_port.IsOpen()) return false;
  int32_t nUnused = 0;
  if (!pnCode) pnCode = &nUnused;
  // How long stray bytes may come before the header byte.
  const CDeadline deadline(m_policy.nStrayLimitMs);
  if (m_port.StopRequested()) {
    *pnCode = -1;
    return false;
  }

  uint8_t byte = 0;
  for (;;) {
    DispatchOnePending();
    if (!ReadExact(&byte, 1, nTimeoutClass)) return false;
    if (byte == kHeaderByte) break;
    if (deadline.Passed()) {
      PortLog(kLogAlways, "[WaitForAck] timeout! timeout:%d, end_time-start_time:%d, errCount:%d",
              m_policy.nStrayLimitMs, deadline.ElapsedMs(), 0);
      return false;
    }
    if (m_port.StopRequested()) {
      *pnCode = -1;
      return false;
    }
  }

  // data_size (not used) and the flow id in one read; the code is read only
  // when the flow id is not a failure.
  uint8_t field[5];
  if (!ReadExact(field, 5, nTimeoutClass)) return false;
  if (m_policy.bFailureEndsAck && field[4] == kFlowIdFailure) return false;
  if (!ReadExact(field, 4, nTimeoutClass)) return false;
  const uint32_t nCode = GetU32(field);
  *pnCode = static_cast<int32_t>(nCode);
  if (nCode == RSP_ACK) {
    PortLog(0, "[WaitForAck] rsp ok!");
    return true;
  }
  PortLog(kLogAlways, "[WaitForAck] rsp failed, code:%d, %s", static_cast<int>(nCode),
          ResponseName(nCode, m_policy.bNamesWithWaitsTimeout));
  return false;
}

int CPdlLink::WriteLimitMs(uint32_t nLen) {
  // A 1024-byte packet gets the limit of the larger ones after it, a
  // 32,768-byte one and anything from 262,144 bytes on the largest.
  if (nLen < 1024) return 200;
  if (nLen < 32768) return 2000;
  return 6000;
}

bool CPdlLink::WriteBuf2Phone(const uint8_t* pBuf, uint32_t nLen) {
  const CDeadline deadline(WriteLimitMs(nLen));
  if (nLen == 0) return true;
  uint32_t nDone = 0;
  for (;;) {
    const uint32_t n = m_port.uart_write(pBuf + nDone, nLen - nDone);
    nDone += n;
    if (deadline.Passed()) {
      PortLog(kLogAlways, "[WriteBuf2Phone]--time out!");
      return false;
    }
    if (nDone == nLen) return true;
    // A port that has gone will not take the bytes however often they are
    // offered: the write has timed out now, with one line, where trying
    // again until the limit would only fill the log.
    if (n == 0 && (!m_port.IsOpen() || m_port.DeviceGone())) {
      PortLog(kLogAlways, "[WriteBuf2Phone]--time out!");
      return false;
    }
  }
}

bool CPdlLink::WritePart(const uint8_t* pBuf, uint32_t nLen) {
  if (m_policy.bWriteByLength) return WriteBuf2Phone(pBuf, nLen);
  return m_port.uart_write(pBuf, nLen) == nLen;
}

bool CPdlLink::SendShort(uint32_t nCmd, const char* pszFailLine) {
  if (!m_port.IsOpen()) return false;
  const size_t nLen = BuildShortForm(m_pPacket, nCmd);
  if (WritePart(m_pPacket, static_cast<uint32_t>(nLen))) return true;
  if (pszFailLine) PortLog(kLogAlways, "%s", pszFailLine);
  return false;
}

bool CPdlLink::SendConnectCmd() {
  return SendShort(CMD_CONNECT, "[SendConnectCmd] timeout!");
}
bool CPdlLink::SendEndDataCmd() {
  return SendShort(CMD_END_DATA, nullptr);
}
bool CPdlLink::SendExecDataCmd() {
  return SendShort(CMD_EXEC_DATA, "[SendExecDataCmd] timeout!");
}
bool CPdlLink::SendFactModeCmd() {
  return SendShort(CMD_SET_FACTMODE, nullptr);
}
bool CPdlLink::SendFormatFlashCmd() {
  return SendShort(CMD_FORMAT_FLASH, "[SendFormatFlashCmd] timeout!");
}
bool CPdlLink::SendPowerOffCmd() {
  return SendShort(CMD_POWER_OFF, "[SendPowerOffCmd] timeout!");
}

bool CPdlLink::SendStartDataCmd(uint32_t nAddr, const char* pszName, uint32_t nImageLen,
                                bool bByName) {
  if (!m_port.IsOpen()) return false;
  const uint32_t nNameLen = bByName ? static_cast<uint32_t>(std::strlen(pszName)) + 1 : 0;
  if (nNameLen > kPacketBufferSize) return false;
  BuildLongForm(m_pPacket, CMD_START_DATA, bByName ? kNameMarker : nAddr, nImageLen, nNameLen);
  PortLog(0, "[SendStartDataCmd] write header pkt_size:%d, data_size:%d, write len:%d",
          static_cast<int>(nNameLen + 12), static_cast<int>(nImageLen),
          static_cast<int>(kLongFormSize));
  if (!WritePart(m_pPacket, kLongFormSize)) return false;
  PortLog(0, "[SendStartDataCmd] write name size:%d", static_cast<int>(nNameLen));
  if (!bByName) return true;
  std::memcpy(m_pPacket, pszName, nNameLen);
  return WritePart(m_pPacket, nNameLen);
}

bool CPdlLink::SendMidDataCmd(uint8_t* pBuf, uint32_t nLen, uint32_t nPacketCount) {
  if (!m_port.IsOpen() || nLen > kPacketBufferSize - kPayloadOffset) return false;
  const uint32_t nAddr = m_policy.bNumberDataPackets ? nPacketCount + 1 : kNameMarker;
  BuildLongForm(pBuf, CMD_MID_DATA, nAddr, nLen, nLen);
  if (!WritePart(pBuf, nLen + kPayloadOffset)) return false;
  PortLog(0, "[SendMidDataCmd] after write len:%d", static_cast<int>(nLen + kPayloadOffset));
  return true;
}

bool CPdlLink::SendReadPartionCmd(const char* pszName) {
  if (!m_port.IsOpen()) return false;
  const uint32_t nNameLen = static_cast<uint32_t>(std::strlen(pszName)) + 1;
  if (nNameLen > kPacketBufferSize) return false;
  BuildLongForm(m_pPacket, CMD_READ_PARTITION, kNameMarker, kFactoryPartitionSize, nNameLen);
  if (!WritePart(m_pPacket, kLongFormSize)) return false;
  std::memcpy(m_pPacket, pszName, nNameLen);
  return WritePart(m_pPacket, nNameLen);
}

bool CPdlLink::SendReadImageInfo() {
  if (!m_port.IsOpen()) return false;
  BuildLongForm(m_pPacket, CMD_READ_IMAGE_ATTR, kNameMarker, kImageInfoSize);
  return WritePart(m_pPacket, kLongFormSize);
}

bool CPdlLink::SendDebugCmd() {
  if (!m_port.IsOpen()) return false;
  BuildLongForm(m_pPacket, CMD_DEBUG, m_policy.dwDebugFlags, 0);
  return WritePart(m_pPacket, kLongFormSize);
}

bool CPdlLink::SendDonwloadPartitionTable(const char* pszList) {
  if (!m_port.IsOpen()) return false;
  const size_t nText = std::strlen(pszList);
  if (nText + 1 > kPacketBufferSize - kPayloadOffset) return false;
  const auto nTextLen = static_cast<uint32_t>(nText);
  BuildLongForm(m_pPacket, CMD_PARTITION_TABLE, kNameMarker, nTextLen, nTextLen + 1);
  std::memcpy(m_pPacket + kPayloadOffset, pszList, nText + 1);
  if (WritePart(m_pPacket, static_cast<uint32_t>(kPayloadOffset + nText + 1))) return true;
  PortLog(kLogAlways, "[SendDonwloadPartitionTable] timeout!");
  return false;
}

int CPdlLink::WholeReplyLimitMs(int nStartLimitMs, int nTimeoutClass) const {
  const SReadLimits limits = m_policy.port.ReadLimits(nTimeoutClass);
  return nStartLimitMs + limits.nFirstByteMs + limits.nRestMs;
}

bool CPdlLink::RecvImageInfoData(uint8_t* pBuf, uint32_t nCapacity, uint32_t* pnLen) {
  if (!m_port.IsOpen()) return false;
  const CDeadline deadline(kImageInfoStartLimitMs);
  // Each read is bounded, and so is the whole: a phone that sends its reply
  // a few bytes at a time cannot hold the worker past this.
  const CDeadline whole(WholeReplyLimitMs(kImageInfoStartLimitMs, kTimeoutSetting));
  *pnLen = 0;
  DispatchOnePending();
  if (m_port.StopRequested()) return false;

  uint8_t byte = 0;
  for (;;) {
    PortLog(0, "[RecvImageInfoData] start read ch");
    if (!ReadExact(&byte, 1, kTimeoutSetting, whole.LeftMs())) return false;
    if (byte == kHeaderByte) break;
    if (deadline.Passed()) return false;
    DispatchOnePending();
    if (m_port.StopRequested()) return false;
  }
  uint8_t field[4];
  PortLog(0, "[RecvImageInfoData] start read data_size");
  if (!ReadExact(field, 4, kTimeoutSetting, whole.LeftMs())) return false;
  const uint32_t nDataSize = GetU32(field);
  PortLog(0, "[RecvImageInfoData] start read flowid");
  if (!ReadExact(field, 1, kTimeoutSetting, whole.LeftMs()) || field[0] == kFlowIdFailure)
    return false;
  PortLog(0, "[RecvImageInfoData] start read buf");
  if (nDataSize > nCapacity) {
    // Refused at its header: reading a reply that cannot be used, up to the
    // 4 GiB its size may claim, would only hold the worker. The next
    // command's write drops whatever of it has arrived.
    PortLog(kLogAlways, "[RecvImageInfoData] reply of %u bytes does not fit %u", nDataSize,
            nCapacity);
    return false;
  }
  uint32_t nRead = 0;
  if (!m_port.uart_read(pBuf, nDataSize, &nRead, kTimeoutSetting, whole.LeftMs())) return false;
  if (nRead > 0) {
    *pnLen = nRead;
    return true;
  }
  const uint32_t nClear = nCapacity < kImageInfoSize ? nCapacity : kImageInfoSize;
  std::memset(pBuf, 0, nClear);
  if (nClear >= sizeof kNoImageInfoText)
    std::memcpy(pBuf, kNoImageInfoText, sizeof kNoImageInfoText);
  return false;
}

bool CPdlLink::RecvPartionData(uint8_t* pBuf, uint32_t nCapacity, uint32_t* pnLen) {
  if (!m_port.IsOpen()) return false;
  const CDeadline deadline(kPartitionReplyLimitMs);
  // One bound for the whole reply, as for the image information.
  const CDeadline whole(WholeReplyLimitMs(kPartitionReplyLimitMs, kTimeoutSetting));
  const auto Read = [&](void* p, uint32_t n) {
    return ReadExact(p, n, kTimeoutSetting, whole.LeftMs());
  };
  *pnLen = 0;
  DispatchOnePending();
  uint8_t byte = 0;
  if (!Read(&byte, 1)) return false;
  while (byte != kHeaderByte) {
    if (deadline.Passed()) return false;
    DispatchOnePending();
    if (!Read(&byte, 1)) return false;
  }
  uint8_t field[4];
  if (!Read(field, 4)) return false;
  const uint32_t nDataSize = GetU32(field);
  if (!Read(field, 1) || field[0] == kFlowIdFailure) return false;
  if (nDataSize == 0) return false;
  // Refused at its header, as for the image information.
  if (nDataSize > nCapacity) return false;
  uint32_t nGot = 0;
  while (nGot < nDataSize) {
    uint32_t nRead = 0;
    if (!m_port.uart_read(pBuf + nGot, nDataSize - nGot, &nRead, kTimeoutSetting, whole.LeftMs()) ||
        nRead == 0) {
      return false;
    }
    nGot += nRead;
    *pnLen = nRead;
  }
  return true;
}
