#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "pdl/pdl_link.h"
#include "platform/wake_event.h"
#include "serial/hst_port.h"
#include "serial/stop_source.h"
#include "tavlo/factory/factory_data.h"
#include "tavlo/numbers/phone_numbers.h"
#include "tavlo/settings/writer_settings.h"
#include "tavlo/worker/writer_ui.h"

// What the thread does after a step: go on, fail the phone, or end the run
// because a stop came first.
enum class EWriteStep { Next, Fail, End };

// Shows a failure line, turns the banner red and fails the step.
EWriteStep FailStep(IWriterUi& ui, const std::string& strLine);

// The steps of one phone over the link, in the order the writer takes them:
// connect, boot image upload, factory mode, factory data read, record
// changes, write-back, IMEI check. Each step shows its own lines and banner
// states and looks at the stop flag between commands; the thread decides
// which phone, when and with which numbers, and keeps the history.
class CWriteSequence {
 public:
  static constexpr int kBaudRate = 921600;
  static constexpr uint32_t kBootAddress = 0x100100;
  static constexpr uint32_t kBootChunk = 4096;
  // Where the factory data image sits in the packet buffer, so that the
  // header of the packet carrying it back fits right in front of it.
  static constexpr size_t kImageOffset = 0x46800;

  // Everything passed must outlive the sequence; pPacketBuffer has
  // pdl::kPacketBufferSize bytes. bStop is the run's stop request and
  // stopEvent is signalled with it: a stop ends any read on the phone's port
  // at once.
  CWriteSequence(IWriterUi& ui, const WriterSettings& settings, uint8_t* pPacketBuffer,
                 const std::atomic<bool>& bStop, const platform::CWakeEvent& stopEvent);

  // The phone's port: Open sets it up and makes the first attempt, Reopen
  // each further one, Close lets it go (harmless when it is not open).
  bool Open(int nComPort);
  bool Reopen() { return m_port.uart_open(); }
  void Close() { m_port.uart_cleanup(); }
  // A connect command that can still be written means the phone is there.
  bool IsPhoneConnected() { return m_link.SendConnectCmd(); }

  EWriteStep Connect();
  EWriteStep UploadBootImage();
  EWriteStep EnterFactoryMode();
  EWriteStep ReadFactoryData();
  // Writes the numbers to send, and the LCD/DDR block, into the image read.
  EWriteStep FillImage(const SPhoneNumbers& nums);
  // *pbNumbersSent is set once the packet carrying the numbers goes out:
  // from then on the phone may hold them, whatever follows.
  EWriteStep WriteBack(bool* pbNumbersSent);
  // Reads the partition back and compares its IMEI area with the image sent.
  EWriteStep CheckImei();

 private:
  // The run's stop as the port sees it.
  class CRunStop final : public IStopSource {
   public:
    CRunStop(const std::atomic<bool>& bStop, const platform::CWakeEvent& stopEvent)
        : m_bStop(bStop), m_stopEvent(stopEvent) {}
    bool IsStopping() const override { return m_bStop; }
    platform::WaitHandle StopHandle() const override { return m_stopEvent.Handle(); }

   private:
    const std::atomic<bool>& m_bStop;
    const platform::CWakeEvent& m_stopEvent;
  };

  bool Stopping() const { return m_bStop; }
  // A step that failed while a stop was asked for was most likely cut short
  // by it: the phone was stopped, not failed, and no failure line is shown.
  EWriteStep Fail(const char* pszLine) {
    return Stopping() ? EWriteStep::End : FailStep(m_ui, pszLine);
  }
  bool GetFactoryData();
  FactoryDataImage Image() const {
    return FactoryDataImage(m_pPacket + kImageOffset, kFactoryDataSize);
  }

  IWriterUi& m_ui;
  const WriterSettings& m_settings;
  uint8_t* const m_pPacket;
  const std::atomic<bool>& m_bStop;
  const CRunStop m_runStop;
  CHstPort m_port{WriterLinkPolicy().port};
  CPdlLink m_link{m_port, WriterLinkPolicy(), m_pPacket};
};
