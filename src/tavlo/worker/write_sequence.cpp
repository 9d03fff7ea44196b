#include "tavlo/worker/write_sequence.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "common/message_queue.h"
#include "common/text.h"
#include "platform/append_file.h"

namespace {

constexpr const char* kFactoryPartition = "factorydata";

}  // namespace

EWriteStep FailStep(IWriterUi& ui, const std::string& strLine) {
  ui.DisplayEchoText(strLine, kLogError);
  ui.SetStatus(kStateFailed);
  return EWriteStep::Fail;
}

CWriteSequence::CWriteSequence(IWriterUi& ui, const WriterSettings& settings,
                               uint8_t* pPacketBuffer, const std::atomic<bool>& bStop,
                               const platform::CWakeEvent& stopEvent)
    : m_ui(ui),
      m_settings(settings),
      m_pPacket(pPacketBuffer),
      m_bStop(bStop),
      m_runStop(bStop, stopEvent) {
  m_port.SetStopSource(&m_runStop);
}

bool CWriteSequence::Open(int nComPort) {
  m_port.uart_init(nComPort, kBaudRate, 0);
  return m_port.uart_open();
}

EWriteStep CWriteSequence::Connect() {
  if (!m_link.SendConnectCmd()) return Fail("Send connect[CMD] command failed!");
  if (!m_link.WaitForAck()) return Fail("Get connect[ACK] command failed!");
  return Stopping() ? EWriteStep::End : EWriteStep::Next;
}

EWriteStep CWriteSequence::UploadBootImage() {
  const std::string strPath = JoinPath(m_settings.m_strImageDir, kBootImageName);
  // Only a regular file: a FIFO put in its place would hold the run in the open.
  const platform::COwnedFd file(platform::OpenRegularForReading(strPath));
  struct stat st;
  if (file.Get() < 0 || fstat(file.Get(), &st) != 0) return Fail("Open boot_fact failed!");
  // Held in a 64-bit value first: where a file size is 32 bits the bound
  // would be a comparison the compiler calls always false.
  const int64_t nFileSize = st.st_size;
  if (nFileSize > INT32_MAX) return Fail("Open boot_fact failed!");
  const auto nSize = static_cast<uint32_t>(nFileSize);

  m_ui.DisplayEchoText("Start to write boot_fact", kLogProgress);
  m_ui.SetStatus(kStateWriting);
  if (Stopping()) return EWriteStep::End;

  if (!m_link.SendStartDataCmd(kBootAddress, nullptr, nSize, false))
    return Fail("SendStartDataCmd Write boot_fact failed!");
  if (!m_link.WaitForAck()) return Fail("WaitForAck Write boot_fact failed!");
  if (Stopping()) return EWriteStep::End;

  uint32_t nChunk = kBootChunk, nSent = 0;
  bool bLast = false;
  for (;;) {
    DispatchOnePending();
    if (Stopping()) return EWriteStep::End;
    const long nRead = platform::ReadUpTo(file.Get(), m_pPacket + pdl::kPayloadOffset, nChunk);
    // A file that shrank under the upload would never reach its announced
    // size: a short read is a failure rather than an endless loop.
    if (nRead < static_cast<long>(std::min(nChunk, nSize - nSent)))
      return Fail("Read boot_fact failed!");
    const auto n = static_cast<size_t>(nRead);
    if (n > 0) {
      if (!m_link.SendMidDataCmd(m_pPacket, static_cast<uint32_t>(n)))
        return Fail("SendMidDataCmd Write boot_fact failed!");
      if (!m_link.WaitForAck()) return Fail("WaitForAck Write boot_fact failed!");
    }
    nSent += static_cast<uint32_t>(n);
    m_ui.DisplayEchoText(FormatText("Write boot_fact %d bytes of %d bytes ...",
                                    static_cast<int>(nSent), static_cast<int>(nSize)),
                         kLogProgress);
    if (bLast) break;
    if (nSize - nSent < nChunk) {
      nChunk = nSize - nSent;
      bLast = true;
    }
  }

  if (Stopping()) return EWriteStep::End;
  if (!m_link.SendEndDataCmd()) return Fail("SendEndDataCmd Write boot_fact failed!");
  if (!m_link.WaitForAck()) return Fail("WaitForAck Write boot_fact failed!");
  m_ui.DisplayEchoText("Write boot_fact OK!", kLogSuccess);
  m_ui.SetStatus(kStateWriting);
  if (Stopping()) return EWriteStep::End;

  if (!m_link.SendExecDataCmd()) return Fail("Exec boot_fact failed!");
  if (!m_link.WaitForAck()) return Fail("WaitForAck boot_fact failed!");
  m_ui.DisplayEchoText("Exec boot_fact OK!", kLogSuccess);
  m_ui.SetStatus(kStateWriting);
  return EWriteStep::Next;
}

EWriteStep CWriteSequence::EnterFactoryMode() {
  if (!m_link.SendFactModeCmd()) return Fail("SendFactModeCmd failed!");
  if (!m_link.WaitForAck()) return Fail("WaitForAck SendFactModeCmd failed!");
  m_ui.DisplayEchoText("Set SET_FACTMODE cmd OK!", kLogSuccess);
  m_ui.SetStatus(kStateWriting);
  return Stopping() ? EWriteStep::End : EWriteStep::Next;
}

EWriteStep CWriteSequence::ReadFactoryData() {
  if (!GetFactoryData()) return Fail("GetFactoryData failed!");
  return Stopping() ? EWriteStep::End : EWriteStep::Next;
}

bool CWriteSequence::GetFactoryData() {
  m_ui.DisplayEchoText("Reading factorydata...", kLogProgress);
  if (!m_link.SendReadPartionCmd(kFactoryPartition)) {
    if (!Stopping()) m_ui.DisplayEchoText("Send Read factorydata cmd failed!", kLogError);
    return false;
  }
  uint32_t nLen = 0;
  // A short reply would leave the previous phone's bytes in the image, and
  // they would be written into this phone: only a whole partition will do.
  if (!m_link.RecvPartionData(m_pPacket + kImageOffset, kFactoryDataSize, &nLen) ||
      nLen != kFactoryDataSize) {
    if (!Stopping()) m_ui.DisplayEchoText("Read factorydata failed!", kLogError);
    return false;
  }
  return true;
}

EWriteStep CWriteSequence::FillImage(const SPhoneNumbers& nums) {
  const WriterSettings& s = m_settings;
  // The fill operations refuse texts of the wrong length; the numbers passed
  // their checks, so a refusal here is a fault that must not reach the phone.
  if (s.m_bWriteImei && !FillImeiArea(Image(), nums.m_strImei[0], nums.m_strImei[1],
                                      nums.m_strImei[2], nums.m_strImei[3])) {
    return Fail("Fill IMEI area failed!");
  }
  if (s.m_bWriteMbsn && !FillMbsnArea(Image(), nums.m_strMbsn, s.m_nMbsnLength))
    return Fail("Fill MBSN area failed!");
  if (s.m_bWritePsn && !FillPsnArea(Image(), nums.m_strPsn, s.m_nPsnLength))
    return Fail("Fill PSN area failed!");
  const SLcdDdrInput lcd{s.m_nMagicNumber, m_ui.GetLcdInterface(), m_ui.GetLcdName(),
                         m_ui.GetDdrPath()};
  switch (FillLcdDdrBlock(Image(), s.m_bWriteLcd, s.m_bWriteDdr, lcd)) {
    case LcdDdrResult::Ok:
      break;
    case LcdDdrResult::DdrFileUnreadable:
      return Fail("Read DDR file failed!");
    case LcdDdrResult::LcdNameTooLong:
      return Fail("LCD name too long!");
    case LcdDdrResult::DdrFileTooLarge:
      return Fail("DDR file too large!");
  }
  return EWriteStep::Next;
}

EWriteStep CWriteSequence::WriteBack(bool* pbNumbersSent) {
  m_ui.DisplayEchoText("Writting data to Flash ...", kLogProgress);
  if (!m_link.SendStartDataCmd(0, m_settings.m_strFactName.c_str(), kFactoryDataSize, true))
    return Fail("SendStartDataCmd Write Flash partion failed!");
  if (!m_link.WaitForAck()) return Fail("WaitForAck Write Flash partion failed!");
  if (Stopping()) return EWriteStep::End;
  // The packet is built in place: its header goes right in front of the image.
  *pbNumbersSent = true;
  if (!m_link.SendMidDataCmd(m_pPacket + kImageOffset - pdl::kPayloadOffset, kFactoryDataSize))
    return Fail("SendMidDataCmd Write Flash partion failed!");
  if (!m_link.WaitForAck()) return Fail("WaitForAck Write Flash partion failed!");
  if (Stopping()) return EWriteStep::End;
  if (!m_link.SendEndDataCmd()) return Fail("SendEndDataCmd Write Flash partion failed!");
  if (!m_link.WaitForAck()) return Fail("WaitForAck Write Flash partion failed!");
  if (Stopping()) return EWriteStep::End;
  m_ui.DisplayEchoText("Write Flash partion OK!", kLogSuccess);
  return EWriteStep::Next;
}

EWriteStep CWriteSequence::CheckImei() {
  m_ui.DisplayEchoText("Reading data from Flash partion...", kLogProgress);
  std::vector<uint8_t> readBack(kFactoryDataSize, 0);
  uint32_t nLen = 0;
  if (!m_link.SendReadPartionCmd(m_settings.m_strFactName.c_str()) ||
      !m_link.RecvPartionData(readBack.data(), kFactoryDataSize, &nLen) ||
      nLen != kFactoryDataSize) {
    if (Stopping()) return EWriteStep::End;
    m_ui.DisplayEchoText("Read Flash partion failed!", kLogError);
    m_ui.SetStatus(kStateFailed);
    return Fail("IMEI data check failed!");
  }
  m_ui.DisplayEchoText("Read Flash partion OK!", kLogSuccess);
  if (!ImeiAreaMatches(Image(), std::span<const uint8_t, kFactoryDataSize>(readBack)))
    return Fail("IMEI data check failed!");
  m_ui.DisplayEchoText("Check IMEI OK!", kLogSuccess);
  return EWriteStep::Next;
}
