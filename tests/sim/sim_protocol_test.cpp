#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/digest.h"
#include "sim_test_host.h"

namespace {

using namespace simtest;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

int64_t MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

using SimProtocol = SimPhoneTest;

TEST_F(SimProtocol, LoaderExchangeIsReportedImageByImage) {
  sim::SPhoneConfig cfg;
  cfg.strImageAttr = "modem(2112)#system(2048)#userdata(2048)";
  Plug(cfg);
  EnterLoaderStage();
  const std::string strTable = "modem,system,userdata";
  EXPECT_EQ(m_host.Long(pdl::CMD_PARTITION_TABLE, pdl::kNameMarker, 21, ZeroTerminated(strTable)),
            0);
  EXPECT_EQ(m_host.Long(pdl::CMD_DEBUG, 0x5, 0), 0);
  ASSERT_TRUE(m_host.Send(LongPacket(pdl::CMD_READ_IMAGE_ATTR, pdl::kNameMarker, 1024)));
  Bytes attr;
  ASSERT_TRUE(m_host.Data(attr));
  EXPECT_EQ(attr, ZeroTerminated(cfg.strImageAttr));
  EXPECT_EQ(m_host.Cmd(pdl::CMD_FORMAT_FLASH), 0);
  const Bytes system = Pattern(600000, 3), userdata = Pattern(70000, 4);
  EXPECT_EQ(m_host.Download("system", 0, system, 270336), 0);
  EXPECT_EQ(m_host.Download("userdata", 0, userdata, 32768), 0);

  ASSERT_TRUE(m_host.Send(ShortPacket(pdl::CMD_POWER_OFF)));
  EXPECT_TRUE(m_pSocket->WaitDone(500)) << "power-off must unplug within 500 ms";
  EXPECT_FALSE(fs::exists(fs::symlink_status(m_pSocket->LinkPath())));
  Bytes none;
  EXPECT_EQ(m_host.Read(1, none, 2000), kGone);

  const sim::SPhoneReport rep = m_pSocket->Report();
  EXPECT_EQ(rep.eOutcome, sim::EOutcome::PoweredOff);
  EXPECT_TRUE(rep.bPassed);
  EXPECT_EQ(rep.strStage, "loader");
  EXPECT_EQ(rep.nCom, kCom);
  EXPECT_EQ(rep.nHostOpens, 1);
  EXPECT_EQ(rep.strPartitionTable, strTable);
  EXPECT_EQ(rep.debugFlags, std::vector<uint32_t>{5});
  EXPECT_TRUE(rep.bFormatRequested);
  ASSERT_EQ(rep.images.size(), 4u);
  const struct {
    const char* pszName;
    uint32_t nAddr;
    const char* pszStage;
    const Bytes& data;
    std::vector<uint32_t> chunks;
    bool bExecuted;
  } expected[] = {
      {"", kPdl1Addr, "boot", m_pdl1, {1000, 1000, 1000}, true},
      {"", kPdl2Addr, "loader1", m_pdl2, {2048, 2048, 904}, true},
      {"system", pdl::kNameMarker, "loader", system, {270336, 270336, 59328}, false},
      {"userdata", pdl::kNameMarker, "loader", userdata, {32768, 32768, 4464}, false},
  };
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    const sim::SImageRecord& img = rep.images[i];
    EXPECT_EQ(img.strName, expected[i].pszName);
    EXPECT_EQ(img.nAddr, expected[i].nAddr);
    EXPECT_EQ(img.strStage, expected[i].pszStage);
    EXPECT_EQ(img.nAnnounced, expected[i].data.size());
    EXPECT_EQ(img.strSha256, Sha256Hex(expected[i].data));
    EXPECT_EQ(img.chunkSizes, expected[i].chunks);
    EXPECT_EQ(img.packetNumbers, (std::vector<uint32_t>{2, 3, 4}));
    EXPECT_TRUE(img.bEnded);
    EXPECT_EQ(img.bExecuted, expected[i].bExecuted);
  }
  // connect, 2 x (start, 3 data, end, exec), table, debug, attr, format, 2 x (start, 3 data, end),
  // power-off
  ASSERT_EQ(rep.commands.size(), 28u);
  EXPECT_EQ(rep.commands[0].nCmd, pdl::CMD_CONNECT);
  const sim::SCommandRecord& start = rep.commands[17];
  EXPECT_EQ(start.nCmd, pdl::CMD_START_DATA);
  EXPECT_EQ(start.strName, "system");
  EXPECT_EQ(start.nSize, 600000u);
  EXPECT_EQ(start.nPayload, 7u);
  EXPECT_EQ(rep.commands[18].nPayload, 270336u);
  EXPECT_EQ(rep.commands[18].nReply, 0);
  EXPECT_EQ(rep.commands.back().nCmd, pdl::CMD_POWER_OFF);
  EXPECT_EQ(rep.commands.back().nReply, -1);
}

TEST_F(SimProtocol, FactoryDataIsReadWrittenBackAndReadAgain) {
  Plug();
  EnterFactoryStage();
  EXPECT_EQ(m_host.Cmd(pdl::CMD_SET_FACTMODE), 0);
  const auto ReadPartition = [this](Bytes& out) {
    return m_host.SendByName(pdl::CMD_READ_PARTITION, "factory", 0x4000) && m_host.Data(out);
  };
  Bytes original;
  ASSERT_TRUE(ReadPartition(original));
  ASSERT_EQ(original.size(), 16384u);
  EXPECT_EQ(std::string(original.begin(), original.begin() + 8), "NORQFACT");

  const Bytes written = Pattern(16384, 9);
  ASSERT_TRUE(m_host.SendByName(pdl::CMD_START_DATA, "factory", 16384));
  EXPECT_EQ(m_host.Ack(), 0);
  EXPECT_EQ(m_host.Long(pdl::CMD_MID_DATA, pdl::kNameMarker, 16384, written), 0);
  EXPECT_EQ(m_host.Cmd(pdl::CMD_END_DATA), 0);
  Bytes again;
  ASSERT_TRUE(ReadPartition(again));
  EXPECT_EQ(again, written);

  const sim::SPhoneReport rep = PowerOff();
  EXPECT_TRUE(rep.bPassed);
  EXPECT_TRUE(rep.bFactMode);
  EXPECT_EQ(rep.strStage, "factory");
  EXPECT_EQ(rep.strFactoryName, "factory");
  EXPECT_EQ(rep.factoryWritten, written);
  ASSERT_EQ(rep.images.size(), 2u);
  EXPECT_EQ(rep.images[1].packetNumbers, std::vector<uint32_t>{pdl::kNameMarker});
  EXPECT_NE(sim::ToJson(rep).find(Base64(written)), std::string::npos);
}

struct SBadCase {
  const char* pszWhat;
  Bytes packet;
  int nCode;
};

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes WithDataSize(Bytes b, uint32_t nDataSize) {
  pdl::PutU32(&b[1], nDataSize);
  return b;
}

void ExpectAnswers(CTestHost& host, const std::vector<SBadCase>& cases) {
  for (const SBadCase& c : cases) {
    ASSERT_TRUE(host.Send(c.packet)) << c.pszWhat;
    EXPECT_EQ(host.Ack(), c.nCode) << c.pszWhat;
  }
}

TEST_F(SimProtocol, EveryBadOrOutOfPlacePacketGetsAFittingCodeAndThePhoneCarriesOn) {
  using namespace pdl;
  sim::SPhoneConfig cfg;
  cfg.nGapMs = 100;
  Plug(cfg);
  const Bytes chunk = Pattern(60, 7);
  int nErrors = 0;
  const std::vector<SBadCase> boot = {
      {"start before connect", LongPacket(CMD_START_DATA, kPdl1Addr, 100), RSP_INVALID_CMD},
      {"stray bytes, then connect", Cat({0x00, 0x13}, ShortPacket(CMD_CONNECT)), RSP_ACK},
      {"wrong flow id", ShortPacket(CMD_CONNECT, 0x00), RSP_PACKET_ERROR},
      {"data_size beyond the bytes sent", WithDataSize(ShortPacket(CMD_CONNECT), 12),
       RSP_PACKET_ERROR},
      {"long command in short form", ShortPacket(CMD_START_DATA), RSP_PACKET_ERROR},
      {"short command in long form", LongPacket(CMD_END_DATA, 0, 0), RSP_PACKET_ERROR},
      {"absurd data_size", WithDataSize(ShortPacket(CMD_CONNECT), 0xFFFFFF00), RSP_PACKET_ERROR},
      {"unknown command", ShortPacket(8), RSP_UNKNOWN_CMD},
      {"partition table in boot stage",
       LongPacket(CMD_PARTITION_TABLE, kNameMarker, 1, ZeroTerminated("a")), RSP_INVALID_CMD},
      {"data without start", LongPacket(CMD_MID_DATA, 2, 60, chunk), RSP_INVALID_CMD},
      {"execute with nothing ended", ShortPacket(CMD_EXEC_DATA), RSP_INVALID_CMD},
      {"start", LongPacket(CMD_START_DATA, kPdl1Addr, 100), RSP_ACK},
      {"size word not the payload length", LongPacket(CMD_MID_DATA, 2, 50, chunk),
       RSP_INVALID_SIZE},
      {"packet number skipped", LongPacket(CMD_MID_DATA, 3, 60, chunk), RSP_INVALID_ADDR},
      {"data", LongPacket(CMD_MID_DATA, 2, 60, chunk), RSP_ACK},
      {"end before all data", ShortPacket(CMD_END_DATA), RSP_INVALID_SIZE},
      {"more data than announced", LongPacket(CMD_MID_DATA, 3, 60, chunk), RSP_INVALID_SIZE},
      {"rest of data", LongPacket(CMD_MID_DATA, 3, 40, Bytes(chunk.begin(), chunk.begin() + 40)),
       RSP_ACK},
      {"end", ShortPacket(CMD_END_DATA), RSP_ACK},
      {"execute", ShortPacket(CMD_EXEC_DATA), RSP_ACK},
      {"execute twice", ShortPacket(CMD_EXEC_DATA), RSP_INVALID_CMD},
  };
  ExpectAnswers(m_host, boot);
  ASSERT_EQ(m_host.Download("", kPdl2Addr, m_pdl2, 4096), 0);
  ASSERT_EQ(m_host.Cmd(CMD_EXEC_DATA), 0);
  const std::vector<SBadCase> loader = {
      {"partition by address", LongPacket(CMD_START_DATA, 0x1000, 10), RSP_INVALID_ADDR},
      {"partition read outside the factory stage",
       LongPacket(CMD_READ_PARTITION, kNameMarker, 0x4000, ZeroTerminated("fact")),
       RSP_INVALID_CMD},
      {"table size word not the text length",
       LongPacket(CMD_PARTITION_TABLE, kNameMarker, 9, ZeroTerminated("system")), RSP_INVALID_SIZE},
      {"table", LongPacket(CMD_PARTITION_TABLE, kNameMarker, 6, ZeroTerminated("system")), RSP_ACK},
      {"partition not in the table",
       LongPacket(CMD_START_DATA, kNameMarker, 10, ZeroTerminated("modem")), RSP_INVALID_PARTITION},
      {"name without its zero byte", LongPacket(CMD_START_DATA, kNameMarker, 10, {'s', 'y', 's'}),
       RSP_PACKET_ERROR},
      {"attribute buffer too small", LongPacket(CMD_READ_IMAGE_ATTR, kNameMarker, 10),
       RSP_INVALID_SIZE},
      {"debug with a size", LongPacket(CMD_DEBUG, 1, 4), RSP_INVALID_SIZE},
      {"connect again", ShortPacket(CMD_CONNECT), RSP_ACK},
  };
  ExpectAnswers(m_host, loader);
  for (const auto* pCases : {&boot, &loader}) {
    for (const SBadCase& c : *pCases) nErrors += c.nCode != RSP_ACK;
  }

  const sim::SPhoneReport rep = PowerOff();
  EXPECT_EQ(rep.nErrorReplies, nErrors);
  EXPECT_EQ(rep.nStrayBytes, 2u);
  EXPECT_FALSE(rep.bPassed);
  EXPECT_EQ(rep.eOutcome, sim::EOutcome::PoweredOff);
}

TEST_F(SimProtocol, FactoryStageTakesOnlyAWholePartitionByName) {
  Plug();
  EnterFactoryStage();
  const std::vector<SBadCase> cases = {
      {"write-back by address", LongPacket(pdl::CMD_START_DATA, 0x1000, 16384),
       pdl::RSP_INVALID_ADDR},
      {"write-back of the wrong size",
       LongPacket(pdl::CMD_START_DATA, pdl::kNameMarker, 16383, ZeroTerminated("factory")),
       pdl::RSP_INVALID_SIZE},
      {"partition read of the wrong size",
       LongPacket(pdl::CMD_READ_PARTITION, pdl::kNameMarker, 1024, ZeroTerminated("factory")),
       pdl::RSP_INVALID_SIZE},
      {"format outside the loader stage", ShortPacket(pdl::CMD_FORMAT_FLASH), pdl::RSP_INVALID_CMD},
  };
  ExpectAnswers(m_host, cases);
}

TEST_F(SimProtocol, PacingBoundsTheThroughput) {
  sim::SPhoneConfig cfg;
  cfg.nRateBytesPerSec = 50000;
  Plug(cfg);
  EnterLoaderStage();
  const auto t = Clock::now();
  EXPECT_EQ(m_host.Download("system", 0, Pattern(30000, 8), 10000), 0);
  EXPECT_GE(MsSince(t), 500) << "30,000 bytes at 50,000 B/s";
}

TEST_F(SimProtocol, WorkTimesDelayTheAnswers) {
  sim::SPhoneConfig cfg;
  cfg.nAckLatencyUs = 100000;
  cfg.nFlashMsPerMiB = 2000;
  cfg.nFormatMs = 300;
  Plug(cfg);
  auto t = Clock::now();
  EnterLoaderStage();  // 13 answers
  EXPECT_GE(MsSince(t), 1300);
  cfg.nAckLatencyUs = 0;
  Plug(cfg);
  EnterLoaderStage();
  t = Clock::now();
  EXPECT_EQ(m_host.Cmd(pdl::CMD_FORMAT_FLASH), 0);
  EXPECT_GE(MsSince(t), 300);
  t = Clock::now();
  EXPECT_EQ(m_host.Download("system", 0, Pattern(1 << 18, 8), 1 << 16), 0);
  EXPECT_GE(MsSince(t), 500) << "a quarter MiB at 2 s per MiB";
}

TEST_F(SimProtocol, HostClosingThePortUnplugsWhenConfigured) {
  sim::SPhoneConfig cfg;
  cfg.nUnplugOnCloseMs = 100;
  Plug(cfg);
  EXPECT_EQ(m_host.Cmd(pdl::CMD_CONNECT), 0);
  m_host.Close();
  EXPECT_TRUE(m_pSocket->WaitDone(5000));
  EXPECT_FALSE(fs::exists(fs::symlink_status(m_pSocket->LinkPath())));
  const sim::SPhoneReport rep = m_pSocket->Report();
  EXPECT_EQ(rep.eOutcome, sim::EOutcome::HostClosed);
  EXPECT_EQ(rep.nHostOpens, 1);
}

TEST_F(SimProtocol, PortStaysUpBetweenHostOpensAndStopUnplugsIt) {
  Plug();
  EXPECT_EQ(m_host.Cmd(pdl::CMD_CONNECT), 0);
  m_host.Close();
  ASSERT_TRUE(m_host.Open(m_pSocket->LinkPath()));
  EXPECT_EQ(m_host.Cmd(pdl::CMD_CONNECT), 0);
  EXPECT_FALSE(m_pSocket->WaitDone(0));
  m_pSocket->Stop();
  Bytes none;
  EXPECT_EQ(m_host.Read(1, none, 2000), kGone);
  EXPECT_FALSE(fs::exists(fs::symlink_status(m_pSocket->LinkPath())));
  const sim::SPhoneReport rep = m_pSocket->Report();
  EXPECT_EQ(rep.eOutcome, sim::EOutcome::Stopped);
  EXPECT_EQ(rep.nHostOpens, 2);
}

TEST(SimDevice, ServesAGivenDeviceAndRunsThePlugCommands) {
  CTempDir dir;
  sim::CFd master(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  ASSERT_TRUE(master.Valid() && grantpt(master.Get()) == 0 && unlockpt(master.Get()) == 0);
  const std::string strSlave = ptsname(master.Get());
  const std::string strLog = dir.Path() + "/plug.log";
  sim::SPhoneConfig cfg;
  cfg.strPlugCmd = "echo plug $SIM_COM $SIM_DEVICE >> '" + strLog + "'";
  cfg.strUnplugCmd = "echo unplug $SIM_COM >> '" + strLog + "'";
  sim::CSimSocket socket({.nCom = 12, .strDevice = strSlave, .phone = cfg});
  ASSERT_TRUE(socket.Start());
  EXPECT_EQ(socket.DevicePath(), strSlave);
  CTestHost host;
  host.Adopt(std::move(master));
  EXPECT_EQ(host.Cmd(pdl::CMD_CONNECT), 0);
  ASSERT_TRUE(host.Send(ShortPacket(pdl::CMD_POWER_OFF)));
  ASSERT_TRUE(socket.WaitDone(5000));
  EXPECT_EQ(socket.Report().eOutcome, sim::EOutcome::PoweredOff);
  std::stringstream log;
  log << std::ifstream(strLog).rdbuf();
  EXPECT_EQ(log.str(), "plug 12 " + strSlave + "\nunplug 12\n");
}

}  // namespace
