// End to end: the host's own protocol link (CPdlLink over CHstPort, port found
// through PHONE_PORTS_DIR) against a simulated phone.

#include <gtest/gtest.h>

#include <cstring>

#include "common/op_log.h"
#include "port_link.h"
#include "common/digest.h"
#include "sim_test_host.h"

namespace {

using namespace simtest;

constexpr int kHostCom = 21;

class SimHostLink : public ::testing::Test {
 protected:
  void SetUp() override {
    InitLogFolders(m_logs.Path());
    setenv("PHONE_PORTS_DIR", m_ports.Path().c_str(), 1);
  }
  void TearDown() override { unsetenv("PHONE_PORTS_DIR"); }
  void Plug(const std::vector<const char*>& faults) {
    sim::SPhoneConfig cfg;
    for (const char* psz : faults) ASSERT_TRUE(sim::ApplySetting(cfg, "fault", psz, nullptr));
    m_pSocket = std::make_unique<sim::CSimSocket>(
        sim::SSocketOptions{.strPortsDir = m_ports.Path(), .nCom = kHostCom, .phone = cfg});
    ASSERT_TRUE(m_pSocket->Start());
  }
  // Sends one image the way the download worker does: start, data packets, end.
  bool SendImage(CPdlLink& link, uint32_t nAddr, const char* pszName, const Bytes& image,
                 size_t nChunk) {
    int32_t nCode = 0;
    if (!link.SendStartDataCmd(nAddr, pszName, static_cast<uint32_t>(image.size()),
                               pszName != nullptr) ||
        !link.WaitForAck(&nCode)) {
      return false;
    }
    for (size_t nAt = 0, nCount = 1; nAt < image.size(); nAt += nChunk, ++nCount) {
      const size_t n = std::min(nChunk, image.size() - nAt);
      std::memcpy(m_packet.data() + pdl::kPayloadOffset, image.data() + nAt, n);
      if (!link.SendMidDataCmd(m_packet.data(), static_cast<uint32_t>(n),
                               static_cast<uint32_t>(nCount)) ||
          !link.WaitForAck(&nCode)) {
        return false;
      }
    }
    return link.SendEndDataCmd() && link.WaitForAck(&nCode);
  }

  CTempDir m_logs, m_ports;
  Bytes m_packet = Bytes(pdl::kPacketBufferSize);
  std::unique_ptr<sim::CSimSocket> m_pSocket;
};

TEST_F(SimHostLink, DownloadToolFlowReachesThePhoneIntact) {
  Plug({"cmd=format,fail"});
  SPortLink host(DownloadLinkPolicy(3000, 3), m_packet.data());
  ASSERT_TRUE(host.Open(kHostCom));
  CPdlLink& link = host.link;
  int32_t nCode = -1;
  ASSERT_TRUE(link.SendConnectCmd() && link.WaitForAck(&nCode));
  const Bytes pdl1 = Pattern(9000, 1), pdl2 = Pattern(20000, 2), system = Pattern(700000, 3);
  ASSERT_TRUE(SendImage(link, kPdl1Addr, nullptr, pdl1, 4096));
  ASSERT_TRUE(link.SendExecDataCmd() && link.WaitForAck(&nCode));
  ASSERT_TRUE(SendImage(link, kPdl2Addr, nullptr, pdl2, 4096));
  ASSERT_TRUE(link.SendExecDataCmd() && link.WaitForAck(&nCode));
  ASSERT_TRUE(link.SendDonwloadPartitionTable("modem,system") && link.WaitForAck(&nCode));
  ASSERT_TRUE(link.SendDebugCmd() && link.WaitForAck(&nCode));
  uint8_t info[pdl::kImageInfoSize] = {};
  uint32_t nInfo = 0;
  ASSERT_TRUE(link.SendReadImageInfo() && link.RecvImageInfoData(info, sizeof info, &nInfo));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(info)), sim::SPhoneConfig{}.strImageAttr);
  ASSERT_TRUE(SendImage(link, 0, "system", system, 270336));
  // The download tool's policy fails a failure reply without reading its code.
  ASSERT_TRUE(link.SendFormatFlashCmd());
  EXPECT_FALSE(link.WaitForAck(&nCode));
  ASSERT_TRUE(link.SendPowerOffCmd());
  ASSERT_TRUE(m_pSocket->WaitDone(5000));

  const sim::SPhoneReport rep = m_pSocket->Report();
  EXPECT_EQ(rep.eOutcome, sim::EOutcome::PoweredOff);
  EXPECT_EQ(rep.strPartitionTable, "modem,system");
  EXPECT_EQ(rep.debugFlags, std::vector<uint32_t>{3});
  ASSERT_EQ(rep.images.size(), 3u);
  EXPECT_EQ(rep.images[2].strName, "system");
  EXPECT_EQ(rep.images[2].strSha256, Sha256Hex(system));
  EXPECT_EQ(rep.images[2].packetNumbers, (std::vector<uint32_t>{2, 3, 4}));
  EXPECT_EQ(rep.images[0].strSha256, Sha256Hex(pdl1));
  EXPECT_EQ(rep.nErrorReplies, 1);
}

TEST_F(SimHostLink, WriterFlowReadsAndWritesBackTheFactoryData) {
  Plug({});
  SPortLink host(WriterLinkPolicy(), m_packet.data());
  ASSERT_TRUE(host.Open(kHostCom));
  CPdlLink& link = host.link;
  int32_t nCode = -1;
  ASSERT_TRUE(link.SendConnectCmd() && link.WaitForAck(&nCode));
  ASSERT_TRUE(SendImage(link, 0x100100, nullptr, Pattern(30000, 6), 4096));
  ASSERT_TRUE(link.SendExecDataCmd() && link.WaitForAck(&nCode));
  ASSERT_TRUE(link.SendFactModeCmd() && link.WaitForAck(&nCode));
  Bytes data(pdl::kFactoryPartitionSize);
  uint32_t nLen = 0;
  ASSERT_TRUE(link.SendReadPartionCmd("factory") &&
              link.RecvPartionData(data.data(), static_cast<uint32_t>(data.size()), &nLen));
  EXPECT_EQ(std::string(data.begin(), data.begin() + 8), "NORQFACT");
  std::memcpy(data.data() + 16, "IMEI 351234567890123", 20);
  ASSERT_TRUE(SendImage(link, 0, "factory", data, data.size()));
  ASSERT_TRUE(link.SendPowerOffCmd());
  ASSERT_TRUE(m_pSocket->WaitDone(5000));
  const sim::SPhoneReport rep = m_pSocket->Report();
  EXPECT_TRUE(rep.bPassed);
  EXPECT_EQ(rep.factoryWritten, data);
  EXPECT_EQ(rep.images[0].packetNumbers.front(), pdl::kNameMarker);
}

}  // namespace
