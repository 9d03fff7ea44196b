#include "pdl/pdl_link.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "port_link.h"
#include "port_test.h"
#include "scripted_device.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

constexpr int kCom = 11;

// Little-endian bytes of a 32-bit value, for writing expected packets out.
Bytes Le(uint32_t v) {
  return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
Bytes Text(const std::string& s) {
  return Bytes(s.begin(), s.end() + 1);
}  // with its zero

// The links of both tools over a scripted phone: no terminal, and every
// reply comes in the fragments, at the moments and with the failures the
// test writes down.
class PdlLinkTest : public CPortLogTest {
 protected:
  bool Open(SPortLink& host) {
    return host.port.uart_init(kCom, 921600, 0) && host.port.OpenDevice(m_pDevice);
  }
  std::string PortLog() { return CPortLogTest::PortLog(kCom); }

  std::shared_ptr<CScriptedDevice> m_pDevice = std::make_shared<CScriptedDevice>();
  CScriptedDevice& m_phone = *m_pDevice;
  Bytes m_packet = Bytes(pdl::kPacketBufferSize);
  SPortLink m_download{DownloadLinkPolicy(2000, 0), m_packet.data()};
  SPortLink m_writerHost{WriterLinkPolicy(), m_packet.data()};
  CPdlLink& m_link = m_download.link;
  CPdlLink& m_writer = m_writerHost.link;
};

struct SCommandCase {
  const char* pszName;
  std::function<bool(CPdlLink&, uint8_t*)> fnSend;
  Bytes expected;
};

TEST_F(PdlLinkTest, EveryCommandPutsItsExactBytesOnTheWire) {
  const uint32_t kMarker = 0xB16B00B5;
  const Bytes chunk = {1, 2, 3, 4, 5};
  const SCommandCase cases[] = {
      {"connect", [](CPdlLink& l, uint8_t*) { return l.SendConnectCmd(); },
       Cat({{0xAE}, Le(4), {0xFF}, Le(0)})},
      {"start by address",
       [](CPdlLink& l, uint8_t*) { return l.SendStartDataCmd(0x80000000, "", 4096, false); },
       Cat({{0xAE}, Le(12), {0xFF}, Le(4), Le(0x80000000), Le(4096)})},
      {"start by name",
       [](CPdlLink& l, uint8_t*) { return l.SendStartDataCmd(0, "system", 70000, true); },
       Cat({{0xAE}, Le(19), {0xFF}, Le(4), Le(kMarker), Le(70000), Text("system")})},
      {"data packet 1 carries 2",
       [&](CPdlLink& l, uint8_t* p) {
         std::copy(chunk.begin(), chunk.end(), p + 18);
         return l.SendMidDataCmd(p, 5, 1);
       },
       Cat({{0xAE}, Le(17), {0xFF}, Le(5), Le(2), Le(5), chunk})},
      {"end", [](CPdlLink& l, uint8_t*) { return l.SendEndDataCmd(); },
       Cat({{0xAE}, Le(4), {0xFF}, Le(6)})},
      {"execute", [](CPdlLink& l, uint8_t*) { return l.SendExecDataCmd(); },
       Cat({{0xAE}, Le(4), {0xFF}, Le(7)})},
      {"format", [](CPdlLink& l, uint8_t*) { return l.SendFormatFlashCmd(); },
       Cat({{0xAE}, Le(4), {0xFF}, Le(13)})},
      {"image information", [](CPdlLink& l, uint8_t*) { return l.SendReadImageInfo(); },
       Cat({{0xAE}, Le(12), {0xFF}, Le(15), Le(kMarker), Le(1024)})},
      {"debug flags",
       [](CPdlLink& l, uint8_t*) {
         l.SetPolicy(DownloadLinkPolicy(2000, 0x14));
         return l.SendDebugCmd();
       },
       Cat({{0xAE}, Le(12), {0xFF}, Le(19), Le(0x14), Le(0)})},
      {"power off", [](CPdlLink& l, uint8_t*) { return l.SendPowerOffCmd(); },
       Cat({{0xAE}, Le(4), {0xFF}, Le(21)})},
      {"partition table abc",
       [](CPdlLink& l, uint8_t*) { return l.SendDonwloadPartitionTable("abc"); },
       Cat({{0xAE}, Le(16), {0xFF}, Le(22), Le(kMarker), Le(3), Text("abc")})},
  };
  ASSERT_TRUE(Open(m_download));
  for (const SCommandCase& c : cases) {
    ASSERT_TRUE(c.fnSend(m_link, m_packet.data())) << c.pszName;
    EXPECT_EQ(m_phone.TakeWritten(), c.expected) << c.pszName;
  }
  EXPECT_EQ(Cat({{0xAE}, Le(16), {0xFF}, Le(22), Le(kMarker), Le(3), Text("abc")}).size(), 22u);
}

TEST_F(PdlLinkTest, WriterCommandsUseTheNameMarkerForDataAndReadPartitions) {
  const uint32_t kMarker = 0xB16B00B5;
  const SCommandCase cases[] = {
      {"factory mode", [](CPdlLink& l, uint8_t*) { return l.SendFactModeCmd(); },
       Cat({{0xAE}, Le(4), {0xFF}, Le(17)})},
      {"read partition", [](CPdlLink& l, uint8_t*) { return l.SendReadPartionCmd("factorydata"); },
       Cat({{0xAE}, Le(24), {0xFF}, Le(9), Le(kMarker), Le(0x4000), Text("factorydata")})},
      {"data packet",
       [](CPdlLink& l, uint8_t* p) {
         p[18] = 0x5A;
         return l.SendMidDataCmd(p, 1);
       },
       Cat({{0xAE}, Le(13), {0xFF}, Le(5), Le(kMarker), Le(1), {0x5A}})},
      {"boot image start",
       [](CPdlLink& l, uint8_t*) { return l.SendStartDataCmd(0x100100, "", 2048, false); },
       Cat({{0xAE}, Le(12), {0xFF}, Le(4), Le(0x100100), Le(2048)})},
  };
  ASSERT_TRUE(Open(m_writerHost));
  for (const SCommandCase& c : cases) {
    ASSERT_TRUE(c.fnSend(m_writer, m_packet.data())) << c.pszName;
    EXPECT_EQ(m_phone.TakeWritten(), c.expected) << c.pszName;
  }
}

TEST_F(PdlLinkTest, CommandsOnAClosedLinkWriteNothing) {
  EXPECT_FALSE(m_link.SendConnectCmd());
  EXPECT_FALSE(m_link.SendStartDataCmd(0, "boot", 1, true));
  EXPECT_FALSE(m_link.SendMidDataCmd(m_packet.data(), 1, 1));
  EXPECT_FALSE(m_link.WaitForAck());
  EXPECT_TRUE(m_phone.Written().empty());
}

TEST_F(PdlLinkTest, StartByNameLogsHeaderAndNameLines) {
  g_bOpenDebug = true;
  ASSERT_TRUE(Open(m_download));
  ASSERT_TRUE(m_link.SendStartDataCmd(0, "userdata", 1234, true));
  const std::string log = PortLog();
  EXPECT_NE(log.find("[SendStartDataCmd] write header pkt_size:21, data_size:1234, write len:18\n"),
            std::string::npos);
  EXPECT_NE(log.find("[SendStartDataCmd] write name size:9\n"), std::string::npos);
}

TEST_F(PdlLinkTest, AcknowledgementsAreJudgedByTheirCode) {
  struct SCase {
    const char* pszName;
    Bytes reply;
    bool bAccepted;
    int32_t nCode;
    const char* pszLogLine;  // expected always-line, or empty
  } cases[] = {
      {"ack", AckPacket(0), true, 0, ""},
      {"garbage before the header is skipped", Cat({{1, 2, 3, 0x55}, AckPacket(0)}), true, 0, ""},
      {"data_size is not examined", AckPacket(0, 0xFF, 77), true, 0, ""},
      {"verify error", AckPacket(9), false, 9, "[WaitForAck] rsp failed, code:9, VERIFY_ERROR\n"},
      {"code 8 has no name here", AckPacket(8), false, 8, "[WaitForAck] rsp failed, code:8, \n"},
      {"code 14 has no name", AckPacket(14), false, 14, "[WaitForAck] rsp failed, code:14, \n"},
      {"failure reply is not read further", AckPacket(0, 0xEE), false, 1234, ""},
  };
  ASSERT_TRUE(Open(m_download));
  for (const SCase& c : cases) {
    std::remove(PortLogPath(kCom).c_str());
    m_phone.Send(c.reply);
    int32_t nCode = 1234;
    EXPECT_EQ(m_link.WaitForAck(&nCode, kTimeout60s), c.bAccepted) << c.pszName;
    EXPECT_EQ(nCode, c.nCode) << c.pszName;
    EXPECT_EQ(PortLog(), c.pszLogLine) << c.pszName;
    m_download.port.uart_write("", 0);  // drops what a failure reply left unread
  }
}

TEST_F(PdlLinkTest, WriterJudgesAFailureReplyByItsCode) {
  ASSERT_TRUE(Open(m_writerHost));
  m_phone.Send(AckPacket(0, 0xEE));
  EXPECT_TRUE(m_writer.WaitForAck());
  m_phone.Send(AckPacket(8, 0xEE));
  int32_t nCode = 0;
  EXPECT_FALSE(m_writer.WaitForAck(&nCode));
  EXPECT_EQ(nCode, 8);
  EXPECT_STREQ(pdl::ResponseName(8, true), "WAITS_TIMEOUT");
}

TEST_F(PdlLinkTest, StopFlagFailsTheWaitWithMinusOneAndReadsNothing) {
  SStopBlock stop;
  m_download.port.SetStopBlock(&stop);
  ASSERT_TRUE(Open(m_download));
  m_phone.Send(AckPacket(0));
  stop.SetStop(true);
  int32_t nCode = 0;
  EXPECT_FALSE(m_link.WaitForAck(&nCode, kTimeout60s));
  EXPECT_EQ(nCode, -1);
  stop.SetStop(false);
  EXPECT_TRUE(m_link.WaitForAck(&nCode, kTimeout60s)) << "the reply is still queued";
}

TEST_F(PdlLinkTest, StrayBytesAreSkippedOnlyUntilTheTimeoutSetting) {
  m_link.SetPolicy(DownloadLinkPolicy(150, 0));
  ASSERT_TRUE(Open(m_download));
  // Noise every 5 ms for far longer than the time-out, then an ack too late.
  for (int i = 0; i < 400; ++i) m_phone.Send(Bytes{0x11}, 5);
  m_phone.Send(AckPacket(0));
  int32_t nCode = 0;
  EXPECT_FALSE(m_link.WaitForAck(&nCode, kTimeout60s));
  EXPECT_FALSE(m_phone.ScriptDone()) << "gave up within the noise";
  EXPECT_NE(PortLog().find("[WaitForAck] timeout! timeout:150, end_time-start_time:"),
            std::string::npos);
  EXPECT_NE(PortLog().find(", errCount:0\n"), std::string::npos);
}

TEST_F(PdlLinkTest, PartitionReplySplitOverSeveralWritesIsReassembled) {
  ASSERT_TRUE(Open(m_writerHost));
  Bytes data(16384);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
  const Bytes reply = Cat({{0x42}, DataReply(data)});
  for (size_t at = 0; at < reply.size(); at += 1000) {
    m_phone.Send(Bytes(reply.begin() + at, reply.begin() + std::min(reply.size(), at + 1000)), 2);
  }
  Bytes got(16384 + 64, 0xCC);
  uint32_t nLen = 0;
  EXPECT_TRUE(m_writer.RecvPartionData(got.data(), 16384, &nLen));
  EXPECT_TRUE(m_phone.ScriptDone());
  EXPECT_TRUE(std::equal(data.begin(), data.end(), got.begin()));
  EXPECT_GT(nLen, 0u);
}

TEST_F(PdlLinkTest, DataRepliesThatFailLeaveTheBufferAlone) {
  struct SCase {
    const char* pszName;
    Bytes reply;
  } cases[] = {
      {"failure reply", DataReply(Bytes(100, 1), 0xEE)},
      {"empty reply", DataReply({})},
      {"longer than the buffer", DataReply(Bytes(20000, 0x77))},
  };
  ASSERT_TRUE(Open(m_writerHost));
  for (const SCase& c : cases) {
    m_phone.Send(c.reply);
    Bytes buf(16384 + 64, 0xCC);
    uint32_t nLen = 0;
    EXPECT_FALSE(m_writer.RecvPartionData(buf.data(), 16384, &nLen)) << c.pszName;
    EXPECT_TRUE(std::all_of(buf.begin() + 16384, buf.end(), [](uint8_t b) { return b == 0xCC; }))
        << c.pszName;
    m_writerHost.port.uart_write("", 0);
  }
}

TEST_F(PdlLinkTest, DataRepliesLargerThanTheirBufferAreRefusedAtTheirHeader) {
  // A header that claims 4 GiB; what follows it is never read.
  const Bytes header = Cat({{0xAE}, Le(0xFFFFFFFF), {0xFF}});
  struct {
    const char* pszName;
    SPortLink* pHost;
    std::function<bool(CPdlLink&, uint8_t*)> fnReceive;
    uint32_t nCapacity;
  } const cases[] = {
      {"image information", &m_download,
       [](CPdlLink& l, uint8_t* p) {
         uint32_t nLen = 0;
         return l.RecvImageInfoData(p, pdl::kImageInfoSize, &nLen);
       },
       pdl::kImageInfoSize},
      {"partition data", &m_writerHost,
       [](CPdlLink& l, uint8_t* p) {
         uint32_t nLen = 0;
         return l.RecvPartionData(p, pdl::kFactoryPartitionSize, &nLen);
       },
       pdl::kFactoryPartitionSize},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pszName);
    m_pDevice = std::make_shared<CScriptedDevice>();
    ASSERT_TRUE(Open(*c.pHost));
    m_pDevice->Send(header).Send(Bytes(100, 0x11));
    Bytes buf(c.nCapacity + 16, 0xCC);
    EXPECT_FALSE(c.fnReceive(c.pHost->link, buf.data()));
    EXPECT_TRUE(std::all_of(buf.begin(), buf.end(), [](uint8_t b) { return b == 0xCC; }));
    // The next command's write drops the rest unread.
    ASSERT_TRUE(c.pHost->link.SendConnectCmd());
    EXPECT_EQ(m_pDevice->Discarded(), 100u);
    c.pHost->port.uart_cleanup();
  }
  EXPECT_NE(PortLog().find("[RecvImageInfoData] reply of 4294967295 bytes does not fit 1024\n"),
            std::string::npos);
}

TEST_F(PdlLinkTest, ImageInfoReplyIsReadWholeOrExplained) {
  ASSERT_TRUE(Open(m_download));
  const std::string text = "modem(2112)#system(2048)";
  m_phone.Send(Cat({{0, 0}, DataReply(Bytes(text.begin(), text.end()))}));
  Bytes info(pdl::kImageInfoSize);
  uint32_t nLen = 0;
  ASSERT_TRUE(m_link.RecvImageInfoData(info.data(), pdl::kImageInfoSize, &nLen));
  EXPECT_EQ(std::string(info.begin(), info.begin() + nLen), text);

  m_phone.Send(DataReply({}));
  EXPECT_FALSE(m_link.RecvImageInfoData(info.data(), pdl::kImageInfoSize, &nLen));
  EXPECT_STREQ(reinterpret_cast<char*>(info.data()), "PDL cannot deal READ_IMAGE_ATTR!");

  m_phone.Send(DataReply(Bytes(10, 'y'), 0xEE));
  EXPECT_FALSE(m_link.RecvImageInfoData(info.data(), pdl::kImageInfoSize, &nLen));
}

TEST(WriteBuf2PhoneTest, LimitsFollowThePacketLength) {
  const std::pair<uint32_t, int> cases[] = {{1, 200},       {1023, 200},   {1024, 2000},
                                            {32767, 2000},  {32768, 6000}, {262143, 6000},
                                            {262162, 6000}, {307200, 6000}};
  for (auto [nLen, nLimit] : cases) EXPECT_EQ(CPdlLink::WriteLimitMs(nLen), nLimit) << nLen;
}

TEST_F(PdlLinkTest, ASlowTenByteCommandFailsWithTheTimeOutLine) {
  m_phone.SetWriteStepMs(25);  // ten bytes take 225 ms or more
  ASSERT_TRUE(Open(m_download));
  EXPECT_FALSE(m_link.SendConnectCmd());
  EXPECT_EQ(PortLog(), "[WriteBuf2Phone]--time out!\n[SendConnectCmd] timeout!\n");
  EXPECT_EQ(m_phone.Written().size(), 10u) << "bytes that went out are not sent again";
}

TEST_F(PdlLinkTest, AWriteToAPortThatHasGoneLogsTheTimeOutLineOnce) {
  ASSERT_TRUE(Open(m_download));
  m_phone.HangUp();
  EXPECT_FALSE(m_link.SendConnectCmd());
  const std::string strLog = PortLog();
  const std::string strEnd = "\n[WriteBuf2Phone]--time out!\n[SendConnectCmd] timeout!\n";
  ASSERT_GE(strLog.size(), strEnd.size());
  EXPECT_EQ(strLog.substr(strLog.size() - strEnd.size()), strEnd) << strLog;
  EXPECT_EQ(strLog.find("time out!"), strLog.rfind("time out!")) << "one line, not a flood";
}

TEST_F(PdlLinkTest, RepliesCutIntoAnyFragmentsAreReassembled) {
  const Bytes connect = Cat({{0xAE}, Le(4), {0xFF}, Le(0)});
  const Bytes ack = AckPacket(0);
  struct {
    const char* pszName;
    std::vector<size_t> cuts;  // fragment lengths of the reply
    int nGapMs;                // between two fragments
  } const cases[] = {
      {"byte by byte", std::vector<size_t>(ack.size(), 1), 2},
      {"header, size and flow id, code", {1, 5, 4}, 5},
      {"all but the last byte", {ack.size() - 1, 1}, 20},
      {"at once", {ack.size()}, 0},
  };
  for (SPortLink* pHost : {&m_download, &m_writerHost}) {
    m_pDevice = std::make_shared<CScriptedDevice>();
    ASSERT_TRUE(Open(*pHost));
    for (const auto& c : cases) {
      SCOPED_TRACE(c.pszName);
      // Stray bytes left from before the command are dropped by its write.
      m_pDevice->Send({0x00, 0x7E}).Expect(connect);
      size_t nAt = 0;
      for (size_t nCut : c.cuts) {
        m_pDevice->Send(Bytes(ack.begin() + nAt, ack.begin() + nAt + nCut), c.nGapMs);
        nAt += nCut;
      }
      ASSERT_TRUE(pHost->link.SendConnectCmd());
      int32_t nCode = -1;
      EXPECT_TRUE(pHost->link.WaitForAck(&nCode, kTimeout60s));
      EXPECT_EQ(nCode, 0);
      EXPECT_TRUE(m_pDevice->ScriptDone());
      EXPECT_TRUE(m_pDevice->WritesAsExpected());
    }
    pHost->port.uart_cleanup();
  }
}

TEST_F(PdlLinkTest, APhoneThatHangsUpMidReplyFailsTheExchange) {
  const Bytes ack = AckPacket(0);
  const Bytes data = DataReply(Bytes(3000, 0x5A));
  const Bytes infoReply = DataReply(Bytes(1000, 0x5A));  // fits its 1024 bytes
  struct {
    const char* pszName;
    Bytes part;  // what comes before the hang-up
    std::function<bool(CPdlLink&)> fnReceive;
  } const cases[] = {
      {"acknowledgement", Bytes(ack.begin(), ack.begin() + 7),
       [](CPdlLink& l) { return l.WaitForAck(nullptr, kTimeout60s); }},
      {"image information", Bytes(infoReply.begin(), infoReply.begin() + 500),
       [](CPdlLink& l) {
         Bytes info(pdl::kImageInfoSize);
         uint32_t nLen = 0;
         return l.RecvImageInfoData(info.data(), pdl::kImageInfoSize, &nLen);
       }},
      {"partition data", Bytes(data.begin(), data.begin() + 2000),
       [](CPdlLink& l) {
         Bytes buf(pdl::kFactoryPartitionSize);
         uint32_t nLen = 0;
         return l.RecvPartionData(buf.data(), pdl::kFactoryPartitionSize, &nLen);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pszName);
    m_pDevice = std::make_shared<CScriptedDevice>();
    ASSERT_TRUE(Open(m_download));
    m_pDevice->Send(Bytes(c.part.begin(), c.part.begin() + 3))
        .Send(Bytes(c.part.begin() + 3, c.part.end()), 10)
        .HangUp();
    EXPECT_FALSE(c.fnReceive(m_link));
    EXPECT_TRUE(m_download.port.DeviceGone());
    EXPECT_FALSE(m_link.SendConnectCmd()) << "nothing more goes out";
    m_download.port.uart_cleanup();
  }
}

TEST(LinkPolicyTest, EachToolReadsWithItsOwnLimits) {
  const SLinkPolicy download = DownloadLinkPolicy(4500, 0x21);
  const SLinkPolicy writer = WriterLinkPolicy();
  const struct {
    int nClass;
    SReadLimits download, writer;
  } cases[] = {
      {kTimeoutSetting, {4500, 4500}, {10000, 54464}},
      {kTimeout60s, {60000, 60000}, {10000, 54464}},
      {kTimeout90s, {90000, 90000}, {10000, 54464}},
      {kTimeout120s, {120000, 120000}, {10000, 54464}},
      {7, {4500, 4500}, {10000, 54464}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(download.port.ReadLimits(c.nClass).nFirstByteMs, c.download.nFirstByteMs) << c.nClass;
    EXPECT_EQ(download.port.ReadLimits(c.nClass).nRestMs, c.download.nRestMs) << c.nClass;
    EXPECT_EQ(writer.port.ReadLimits(c.nClass).nFirstByteMs, c.writer.nFirstByteMs) << c.nClass;
    EXPECT_EQ(writer.port.ReadLimits(c.nClass).nRestMs, c.writer.nRestMs) << c.nClass;
  }
  EXPECT_EQ(download.TimeoutSettingMs(), 4500);
  EXPECT_EQ(download.dwDebugFlags, 0x21u);
  EXPECT_EQ(download.nStrayLimitMs, 4500);
  EXPECT_EQ(writer.nStrayLimitMs, 10000);
}

}  // namespace
