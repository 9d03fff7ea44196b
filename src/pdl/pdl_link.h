#pragma once

#include <cstdarg>
#include <cstdint>

#include "pdl/link_policy.h"
#include "pdl/packet.h"
#include "serial/byte_port.h"

// The PDL command layer over one port, which it uses but does not own: the
// owner opens and closes the port around the link's exchanges. Every
// outgoing packet is built in place at the start of the caller's packet
// buffer (kPacketBufferSize bytes, never owned): a data packet's chunk is
// read to offset 18 by the caller and the header is written in front of it,
// so one write carries the packet.
//
// How packet parts are written, how acknowledgements are waited for and
// what the commands carry follow the link's policy.
class CPdlLink {
 public:
  CPdlLink(IBytePort& port, const SLinkPolicy& policy, uint8_t* pPacketBuffer);
  CPdlLink(const CPdlLink&) = delete;
  CPdlLink& operator=(const CPdlLink&) = delete;

  // Set by the owner between runs, while no exchange runs.
  void SetPolicy(const SLinkPolicy& policy) { m_policy = policy; }
  const SLinkPolicy& Policy() const { return m_policy; }

  void SetPacketBuffer(uint8_t* pPacketBuffer) { m_pPacket = pPacketBuffer; }
  uint8_t* PacketBuffer() const { return m_pPacket; }

  // True only when an acknowledgement with code ACK arrived; the code is
  // stored in *pnCode (-1 when the operator stopped). Stray bytes before the
  // header byte are skipped until the policy's stray limit has passed; reads
  // use the given time-out class.
  bool WaitForAck(int32_t* pnCode = nullptr, int nTimeoutClass = kTimeoutSetting);

  bool SendConnectCmd();
  bool SendStartDataCmd(uint32_t nAddr, const char* pszName, uint32_t nImageLen, bool bByName);
  // The chunk of nLen bytes waits at offset 18 of pBuf. Its address is
  // nPacketCount + 1 or the name marker, as the policy says.
  bool SendMidDataCmd(uint8_t* pBuf, uint32_t nLen, uint32_t nPacketCount = 0);
  bool SendEndDataCmd();
  bool SendExecDataCmd();
  bool SendReadPartionCmd(const char* pszName);
  bool SendFormatFlashCmd();
  bool SendReadImageInfo();
  bool SendFactModeCmd();
  bool SendDebugCmd();
  bool SendPowerOffCmd();
  bool SendDonwloadPartitionTable(const char* pszList);

  // True when all nLen bytes went out within the limit for that length.
  bool WriteBuf2Phone(const uint8_t* pBuf, uint32_t nLen);
  // The data replies, each bounded as a whole (WholeReplyLimitMs); a reply
  // whose data_size exceeds nCapacity is refused at its header, unread.
  // The data reply to READ_IMAGE_ATTR, into pBuf (nCapacity bytes).
  bool RecvImageInfoData(uint8_t* pBuf, uint32_t nCapacity, uint32_t* pnLen);
  // The data reply to a partition read, into pBuf (nCapacity bytes).
  bool RecvPartionData(uint8_t* pBuf, uint32_t nCapacity, uint32_t* pnLen);

  // Time limit of WriteBuf2Phone for a packet of nLen bytes.
  static int WriteLimitMs(uint32_t nLen);

 private:
  void PortLog(int nLevel, const char* pszFormat, ...) const __attribute__((format(printf, 3, 4)));
  bool ReadExact(void* pBuf, uint32_t nLen, int nTimeoutClass, int nWithinMs = kNoReadBound);
  // Writes one packet part the way the policy says.
  bool WritePart(const uint8_t* pBuf, uint32_t nLen);
  bool SendShort(uint32_t nCmd, const char* pszFailLine);
  // The bound of a whole data reply: its start, then one read's first byte
  // and the rest, with the limits of the class its reads use.
  int WholeReplyLimitMs(int nStartLimitMs, int nTimeoutClass) const;

  IBytePort& m_port;
  SLinkPolicy m_policy;
  uint8_t* m_pPacket;
};
