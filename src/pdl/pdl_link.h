#pragma once

#include <atomic>
#include <cstdint>

#include "pdl/packet.h"
#include "serial/hst_port.h"

// The loader's debug flag word (DEBUG_LEVEL of the download settings).
extern std::atomic<uint32_t> g_dwDebugFlags;

// The PDL command layer on one serial port. Every outgoing packet is built in
// place at the start of the caller's packet buffer (kPacketBufferSize bytes,
// never owned): a data packet's chunk is read to offset 18 by the caller and
// the header is written in front of it, so one write carries the packet.
//
// The download tool writes through WriteBuf2Phone (time limits by length)
// and logs to the port log; the writer writes each part once and checks that
// all of it went out, and logs nothing. Acknowledgement waits differ as
// described at WaitForAck.
class CPdlLink : public CHstPort {
 public:
  CPdlLink(EToolFlavor eFlavor, uint8_t* pPacketBuffer);
  ~CPdlLink() override;

  void SetPacketBuffer(uint8_t* pPacketBuffer) { m_pPacket = pPacketBuffer; }
  uint8_t* PacketBuffer() const { return m_pPacket; }

  // True only when an acknowledgement with code ACK arrived; the code is
  // stored in *pnCode (-1 when the operator stopped). The download tool skips
  // stray bytes until g_iTimeout has passed, fails a failure reply (flow id
  // 0xEE) without reading its code and reads with the given time-out class;
  // the writer gives up after 10 s and judges every reply by its code.
  bool WaitForAck(int32_t* pnCode = nullptr, int nTimeoutClass = kTimeoutSetting);

  bool SendConnectCmd();
  bool SendStartDataCmd(uint32_t nAddr, const char* pszName, uint32_t nImageLen, bool bByName);
  // The chunk of nLen bytes waits at offset 18 of pBuf. The download tool
  // puts nPacketCount + 1 in addr, the writer the name marker.
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
  // The data reply to READ_IMAGE_ATTR, into pBuf (nCapacity bytes).
  bool RecvImageInfoData(uint8_t* pBuf, uint32_t nCapacity, uint32_t* pnLen);
  // The data reply to a partition read, into pBuf (nCapacity bytes).
  bool RecvPartionData(uint8_t* pBuf, uint32_t nCapacity, uint32_t* pnLen);

  // Time limit of WriteBuf2Phone for a packet of nLen bytes.
  static int WriteLimitMs(uint32_t nLen);

 private:
  bool ReadExact(void* pBuf, uint32_t nLen, int nTimeoutClass);
  // Writes one packet part the way this tool writes.
  bool WritePart(const uint8_t* pBuf, uint32_t nLen);
  bool SendShort(uint32_t nCmd, const char* pszFailLine);
  // Reads and drops nLen bytes of a reply that does not fit its buffer.
  void DiscardReply(uint32_t nLen, int nTimeoutClass);

  uint8_t* m_pPacket;
};
