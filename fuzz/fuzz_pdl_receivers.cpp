// The PDL receivers fed from a fuzzed byte stream through a fake serial
// device. Byte 0 picks the receiver, byte 1 how many bytes one device read
// hands out at most (0: all that is left); the rest is what the phone sends.
// Once the stream is used up the device reports itself gone, so every read
// past the end fails at once instead of waiting out a time-out.

#include <algorithm>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "pdl/pdl_link.h"
#include "quillport/worker/image_list.h"
#include "serial/hst_port.h"

namespace {

class CStreamDevice final : public platform::ISerialDevice {
 public:
  void Load(const uint8_t* pData, size_t nSize, size_t nPiece) {
    m_stream.assign(pData, pData + nSize);
    m_nAt = 0;
    m_nPiece = nPiece == 0 ? nSize : nPiece;
  }

  int BytesWaiting() override { return Left() > 0 ? static_cast<int>(Left()) : -1; }
  int ReadSome(void* pBuf, size_t nMax) override {
    if (Left() == 0) return -1;
    const size_t n = std::min({nMax, Left(), m_nPiece});
    std::memcpy(pBuf, m_stream.data() + m_nAt, n);
    m_nAt += n;
    return static_cast<int>(n);
  }
  int WriteSome(const void*, size_t nLen, int*) override { return static_cast<int>(nLen); }
  platform::EWaitResult Wait(bool, std::span<const int>, int, int*) override {
    return Left() > 0 ? platform::EWaitResult::Ready : platform::EWaitResult::Gone;
  }
  void DiscardInput() override {}
  void DiscardBoth() override {}
  long NativeHandle() const override { return 7; }

 private:
  size_t Left() const { return m_stream.size() - m_nAt; }
  std::vector<uint8_t> m_stream;
  size_t m_nAt = 0;
  size_t m_nPiece = 1;
};

// One open link per tool over one device, kept for the whole run: opening
// starts the port's monitor thread, far too slow to repeat per input.
struct SLinkOverStream {
  explicit SLinkOverStream(const SLinkPolicy& policy)
      : pDevice(std::make_shared<CStreamDevice>()),
        packet(pdl::kPacketBufferSize),
        port(policy.port),
        link(port, policy, packet.data()) {
    port.uart_init(3, 115200, 0);
    FUZZ_CHECK(port.OpenDevice(pDevice));
  }
  std::shared_ptr<CStreamDevice> pDevice;
  std::vector<uint8_t> packet;
  CHstPort port;
  CPdlLink link;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  static const CFuzzFolder folder;
  // A time-out long enough that no input reaches it; the device ends every
  // wait first.
  static SLinkOverStream download(DownloadLinkPolicy(60000, 0));
  static SLinkOverStream writer(WriterLinkPolicy());
  if (nSize < 2) return 0;
  const uint8_t nChoice = pData[0] % 4;
  const size_t nPiece = pData[1];
  SLinkOverStream& port = nChoice == 1 || nChoice == 3 ? writer : download;
  port.pDevice->Load(pData + 2, nSize - 2, nPiece);

  switch (nChoice) {
    case 0:
    case 1: {
      int32_t nCode = 12345;
      if (port.link.WaitForAck(&nCode)) FUZZ_CHECK(nCode == pdl::RSP_ACK);
      break;
    }
    case 2: {
      // Sized exactly, so that AddressSanitizer sees a write past the area.
      std::vector<uint8_t> info(pdl::kImageInfoSize);
      uint32_t nLen = 99999;
      if (port.link.RecvImageInfoData(info.data(), static_cast<uint32_t>(info.size()), &nLen)) {
        FUZZ_CHECK(nLen > 0 && nLen <= info.size());
        // What the worker does next with the reply.
        const auto* psz = reinterpret_cast<const char*>(info.data());
        std::vector<PackEntry> packList(3);
        std::strcpy(packList[2].m_szName, "system");
        std::vector<ImageInfo> imageInfo;
        UpdateImageListInfo(std::string_view(psz, strnlen(psz, nLen)), imageInfo, 3, {}, packList);
      } else {
        FUZZ_CHECK(nLen == 0);
      }
      break;
    }
    case 3: {
      std::vector<uint8_t> partition(pdl::kFactoryPartitionSize);
      uint32_t nLen = 99999;
      if (port.link.RecvPartionData(partition.data(), static_cast<uint32_t>(partition.size()),
                                    &nLen)) {
        FUZZ_CHECK(nLen > 0 && nLen <= partition.size());
      }
      break;
    }
  }
  return 0;
}
