#include <gtest/gtest.h>

#include <filesystem>

#include "sim_test_host.h"

namespace {

using namespace simtest;
namespace fs = std::filesystem;

using SimFault = SimPhoneTest;

TEST_F(SimFault, CodeFaultAnswersOnlyTheNthMatchingPacket) {
  PlugWithFaults({"cmd=mid,nth=2,code=9"});
  ASSERT_EQ(m_host.Cmd(pdl::CMD_CONNECT), 0);
  ASSERT_EQ(m_host.Long(pdl::CMD_START_DATA, kPdl1Addr, 3000), 0);
  const Bytes chunk = Pattern(1000, 3);
  EXPECT_EQ(m_host.Long(pdl::CMD_MID_DATA, 2, 1000, chunk), 0);
  EXPECT_EQ(m_host.Long(pdl::CMD_MID_DATA, 3, 1000, chunk), pdl::RSP_VERIFY_ERROR);
  EXPECT_EQ(m_host.Long(pdl::CMD_MID_DATA, 4, 1000, chunk), 0);
  const sim::SPhoneReport rep = PowerOff();
  EXPECT_EQ(rep.faultsFired, std::vector<std::string>{"cmd=mid,nth=2,code=9"});
  EXPECT_EQ(rep.commands[3].strFault, "cmd=mid,nth=2,code=9");
  EXPECT_EQ(rep.nErrorReplies, 1);
  EXPECT_FALSE(rep.bPassed);
}

TEST_F(SimFault, ImageAndChunkSelectTheDataPacket) {
  PlugWithFaults({"image=0x80000000,chunk=2,code=10", "image=system,chunk=1,fail"});
  ASSERT_EQ(m_host.Cmd(pdl::CMD_CONNECT), 0);
  EXPECT_EQ(m_host.Download("", kPdl1Addr, m_pdl1, 1000), pdl::RSP_CHECKSUM_ERROR);
  EXPECT_EQ(m_host.Long(pdl::CMD_MID_DATA, 4, 1000, Pattern(1000, 1)), 0);
  EXPECT_EQ(PowerOff().faultsFired, std::vector<std::string>{"image=0x80000000,chunk=2,code=10"});
}

TEST_F(SimFault, FailureReplyHasFlowIdEE) {
  PlugWithFaults({"cmd=connect,nth=1,fail", "cmd=connect,nth=2,fail=12"});
  uint8_t nFlow = 0;
  ASSERT_TRUE(m_host.Send(ShortPacket(pdl::CMD_CONNECT)));
  EXPECT_EQ(m_host.Ack(3000, &nFlow), pdl::RSP_OPERATION_FAILED);
  EXPECT_EQ(nFlow, pdl::kFlowIdFailure);
  ASSERT_TRUE(m_host.Send(ShortPacket(pdl::CMD_CONNECT)));
  EXPECT_EQ(m_host.Ack(3000, &nFlow), pdl::RSP_DEVICE_ERROR);
  EXPECT_EQ(nFlow, pdl::kFlowIdFailure);
  ASSERT_TRUE(m_host.Send(ShortPacket(pdl::CMD_CONNECT)));
  EXPECT_EQ(m_host.Ack(3000, &nFlow), 0);
  EXPECT_EQ(nFlow, pdl::kFlowIdPc);
}

TEST_F(SimFault, GarbageComesJustBeforeTheAnswer) {
  PlugWithFaults({"cmd=connect,garbage=7"});
  ASSERT_TRUE(m_host.Send(ShortPacket(pdl::CMD_CONNECT)));
  Bytes got;
  ASSERT_EQ(m_host.Read(17, got), 0);
  EXPECT_EQ(std::count(got.begin(), got.begin() + 7, pdl::kHeaderByte), 0);
  EXPECT_EQ(got[7], pdl::kHeaderByte);
  EXPECT_EQ(pdl::GetU32(&got[13]), 0u);
  EXPECT_EQ(m_pSocket->WaitDone(0), false);
  EXPECT_EQ(PowerOff().commands[0].nReplyLen, 17u);
}

TEST_F(SimFault, SilentAndStalledAnswers) {
  PlugWithFaults({"cmd=connect,nth=1,silent", "cmd=connect,nth=2,stall=400"});
  ASSERT_TRUE(m_host.Send(ShortPacket(pdl::CMD_CONNECT)));
  EXPECT_EQ(m_host.Ack(400), kTimeout);
  ASSERT_TRUE(m_host.Send(ShortPacket(pdl::CMD_CONNECT)));
  EXPECT_EQ(m_host.Ack(200), kTimeout);
  EXPECT_EQ(m_host.Ack(5000), 0) << "the stalled answer comes late";
  const sim::SPhoneReport rep = PowerOff();
  EXPECT_EQ(rep.commands[0].nReply, -1);
  EXPECT_EQ(rep.faultsFired.size(), 2u);
}

TEST_F(SimFault, UnplugMidImageLooksLikeAPulledCable) {
  PlugWithFaults({"image=system,unplug-after=100000"});
  EnterLoaderStage();
  ASSERT_TRUE(m_host.SendByName(pdl::CMD_START_DATA, "system", 300000));
  ASSERT_EQ(m_host.Ack(), 0);
  const Bytes chunk = Pattern(65536, 4);
  EXPECT_EQ(m_host.Long(pdl::CMD_MID_DATA, 2, 65536, chunk), 0);
  EXPECT_EQ(m_host.Long(pdl::CMD_MID_DATA, 3, 65536, chunk), kGone);
  ASSERT_TRUE(m_pSocket->WaitDone(5000));
  EXPECT_FALSE(fs::exists(fs::symlink_status(m_pSocket->LinkPath())));
  const sim::SPhoneReport rep = m_pSocket->Report();
  EXPECT_EQ(rep.eOutcome, sim::EOutcome::Unplugged);
  EXPECT_EQ(rep.images.back().nReceived, 131072u);
  EXPECT_FALSE(rep.images.back().bEnded);
  EXPECT_EQ(rep.images.back().strSha256.size(), 64u);
}

TEST_F(SimFault, TheOperatorPullsAStuckPhone) {
  sim::SPhoneConfig cfg;
  cfg.nPulledAfterMs = 300;
  PlugWithFaults({"cmd=connect,silent"}, cfg);
  ASSERT_TRUE(m_host.Send(ShortPacket(pdl::CMD_CONNECT)));
  EXPECT_EQ(m_host.Ack(5000), kGone) << "no answer, then the phone is gone";
  ASSERT_TRUE(m_pSocket->WaitDone(5000));
  const sim::SPhoneReport rep = m_pSocket->Report();
  EXPECT_EQ(rep.eOutcome, sim::EOutcome::Unplugged);
  EXPECT_GE(rep.nDurationMs, 300);
  EXPECT_FALSE(rep.bPassed);
}

TEST_F(SimFault, UnplugOnACommand) {
  PlugWithFaults({"cmd=exec,unplug"});
  ASSERT_EQ(m_host.Cmd(pdl::CMD_CONNECT), 0);
  ASSERT_EQ(m_host.Download("", kPdl1Addr, m_pdl1, 3000), 0);
  EXPECT_EQ(m_host.Cmd(pdl::CMD_EXEC_DATA), kGone);
  ASSERT_TRUE(m_pSocket->WaitDone(5000));
  EXPECT_EQ(m_pSocket->Report().eOutcome, sim::EOutcome::Unplugged);
}

TEST_F(SimFault, ImageAttributeTextCanBeEmptyOrMalformed) {
  sim::SPhoneConfig cfg;
  cfg.strImageAttr = "modem(2112)#system(2048)";
  PlugWithFaults({"attr=empty,nth=1", "attr=malformed,nth=2"}, cfg);
  EnterLoaderStage();
  Bytes text[3];
  for (Bytes& t : text) {
    ASSERT_TRUE(m_host.Send(LongPacket(pdl::CMD_READ_IMAGE_ATTR, pdl::kNameMarker, 1024)));
    ASSERT_TRUE(m_host.Data(t));
  }
  EXPECT_TRUE(text[0].empty());
  ASSERT_FALSE(text[1].empty());
  EXPECT_NE(text[1], ZeroTerminated(cfg.strImageAttr));
  EXPECT_EQ(text[2], ZeroTerminated(cfg.strImageAttr));
}

TEST_F(SimFault, PartitionReadCanHaveTheWrongLength) {
  PlugWithFaults({"read-len=1000"});
  EnterFactoryStage();
  ASSERT_TRUE(m_host.SendByName(pdl::CMD_READ_PARTITION, "factory", 0x4000));
  Bytes data;
  ASSERT_TRUE(m_host.Data(data));
  EXPECT_EQ(data.size(), 1000u);
  EXPECT_EQ(std::string(data.begin(), data.begin() + 8), "NORQFACT");
}

}  // namespace
