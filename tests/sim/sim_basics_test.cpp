#include <gtest/gtest.h>

#include <fstream>
#include <set>

#include "sim/sim_config.h"
#include "common/digest.h"
#include "sim_test_host.h"

namespace {

using simtest::Bytes;

Bytes Text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

TEST(SimDigest, Sha256MatchesPublishedVectorsInOneGoAndInPieces) {
  EXPECT_EQ(Sha256Hex({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex(Text("abc")),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // 56 bytes: the length no longer fits the first block.
  EXPECT_EQ(Sha256Hex(Text("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  const Bytes million(1000000, 'a');
  CSha256 sha;
  for (size_t nAt = 0, nStep = 1; nAt < million.size();
       nAt += nStep, nStep = nStep * 3 % 1000 + 1) {
    sha.Update({million.data() + nAt, std::min(nStep, million.size() - nAt)});
  }
  EXPECT_EQ(sha.FinishHex(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(SimDigest, Base64PadsTheLastGroup) {
  EXPECT_EQ(Base64({}), "");
  EXPECT_EQ(Base64(Text("f")), "Zg==");
  EXPECT_EQ(Base64(Text("fo")), "Zm8=");
  EXPECT_EQ(Base64(Text("foobar")), "Zm9vYmFy");
  EXPECT_EQ(Base64(Bytes{0xFF, 0xEF, 0x00}), "/+8A");
}

TEST(SimConfig, FaultTextParsesMatchAndActions) {
  sim::SFault f;
  std::string strErr;
  ASSERT_TRUE(sim::ParseFault("cmd=5,nth=3,code=9", f, &strErr)) << strErr;
  EXPECT_EQ(f.nCmd, 5);
  EXPECT_EQ(f.nNth, 3);
  EXPECT_EQ(f.nCode, 9);
  EXPECT_EQ(f.strText, "cmd=5,nth=3,code=9");

  ASSERT_TRUE(sim::ParseFault("image=system,unplug-after=100000", f, &strErr)) << strErr;
  EXPECT_EQ(f.strImage, "system");
  EXPECT_EQ(f.nUnplugAfter, 100000);

  ASSERT_TRUE(sim::ParseFault("cmd=mid,fail,garbage=4,stall=20,phone=2", f, &strErr)) << strErr;
  EXPECT_EQ(f.nCmd, 5);
  EXPECT_TRUE(f.bFailReply);
  EXPECT_EQ(f.nCode, -1);
  EXPECT_EQ(f.nGarbage, 4);
  EXPECT_EQ(f.nStallMs, 20);
  EXPECT_EQ(f.nPhone, 2);

  // Addresses are matched in one spelling whatever the case given.
  ASSERT_TRUE(sim::ParseFault("image=0X100100,chunk=2,silent", f, &strErr)) << strErr;
  EXPECT_EQ(f.strImage, "0x100100");
  EXPECT_EQ(f.nChunk, 2);
  EXPECT_TRUE(f.bSilent);

  ASSERT_TRUE(sim::ParseFault("attr=malformed", f, &strErr));
  EXPECT_EQ(f.nCmd, 15);
  ASSERT_TRUE(sim::ParseFault("read-len=100", f, &strErr));
  EXPECT_EQ(f.nCmd, 9);
  EXPECT_EQ(f.nReadLen, 100);
  ASSERT_TRUE(sim::ParseFault("cmd=read-part,data-size=4294967295,drip=50", f, &strErr));
  EXPECT_EQ(f.nDataSize, 4294967295);
  EXPECT_EQ(f.nDripBytesPerSec, 50);
}

TEST(SimConfig, FaultTextRejectsWhatItCannotDo) {
  sim::SFault f;
  for (const char* psz : {"cmd=5", "nth=2", "chunk=2,code=1", "unplug-after=10", "bogus=1,code=1",
                          "nth=0,code=1", "attr=odd", "code=x", "cmd=nine,silent", "silent=1",
                          "image=0xZZ,silent", "drip=0", "data-size=4294967296", ""}) {
    std::string strErr;
    EXPECT_FALSE(sim::ParseFault(psz, f, &strErr)) << psz;
    EXPECT_FALSE(strErr.empty()) << psz;
  }
}

TEST(SimConfig, RandomFaultsHitTheirShareOfPhonesRepeatably) {
  sim::SPhoneConfig cfg;
  EXPECT_EQ(sim::DrawRandomFault(cfg, 31, 1), "") << "off by default";
  ASSERT_TRUE(sim::ApplySetting(cfg, "random-faults", "30:7", nullptr));
  EXPECT_FALSE(sim::ApplySetting(cfg, "random-faults", "101", nullptr));
  int nFaulted = 0;
  std::set<std::string> distinct;
  for (int nPhone = 1; nPhone <= 1000; ++nPhone) {
    const std::string strFault = sim::DrawRandomFault(cfg, 31, nPhone);
    EXPECT_EQ(strFault, sim::DrawRandomFault(cfg, 31, nPhone));
    if (strFault.empty()) continue;
    ++nFaulted;
    distinct.insert(strFault);
    sim::SFault fault;
    EXPECT_TRUE(sim::ParseFault(strFault, fault, nullptr)) << strFault;
  }
  EXPECT_GT(nFaulted, 230);
  EXPECT_LT(nFaulted, 370);
  EXPECT_GT(distinct.size(), 50u) << "commands, packets and actions all vary";
  cfg.nRandomSeed = 8;
  int nSame = 0;
  for (int nPhone = 1; nPhone <= 100; ++nPhone) {
    sim::SPhoneConfig other = cfg;
    other.nRandomSeed = 7;
    nSame += sim::DrawRandomFault(cfg, 31, nPhone) == sim::DrawRandomFault(other, 31, nPhone);
  }
  EXPECT_LT(nSame, 100) << "another seed, other draws";
}

TEST(SimConfig, ProfileSetsEveryKindOfValueAndNamesTheBadLine) {
  CTempDir dir;
  const std::string strFactory = dir.Path() + "/fact.bin";
  std::ofstream(strFactory) << "FACTORY";
  const std::string strProfile = dir.Path() + "/phone.ini";
  std::ofstream(strProfile) << "# a slow phone\n"
                            << "image-attr = modem(2112)#system(2048)\n"
                            << "rate=115200\n; comment\n\n"
                            << "factory-addr=0x200000\n"
                            << "factory-file=" << strFactory << "\n"
                            << "unplug-on-close-ms=-1\n"
                            << "fault=cmd=connect,code=12\nfault=cmd=end,silent\n";
  sim::SPhoneConfig cfg;
  std::string strErr;
  ASSERT_TRUE(sim::LoadProfile(strProfile, cfg, &strErr)) << strErr;
  EXPECT_EQ(cfg.strImageAttr, "modem(2112)#system(2048)");
  EXPECT_EQ(cfg.nRateBytesPerSec, 115200u);
  EXPECT_EQ(cfg.nFactoryAddr, 0x200000u);
  ASSERT_EQ(cfg.factoryData.size(), 16384u);
  EXPECT_EQ(std::string(cfg.factoryData.begin(), cfg.factoryData.begin() + 7), "FACTORY");
  EXPECT_EQ(cfg.factoryData[7], 0);
  ASSERT_EQ(cfg.faults.size(), 2u);
  EXPECT_EQ(cfg.faults[1].nCmd, 6);

  std::ofstream(strProfile) << "rate=100\n\nformat-ms=soon\n";
  EXPECT_FALSE(sim::LoadProfile(strProfile, cfg, &strErr));
  EXPECT_NE(strErr.find("phone.ini:3"), std::string::npos) << strErr;
  EXPECT_FALSE(sim::ApplySetting(cfg, "no-such-key", "1", &strErr));
  std::ofstream(strFactory) << std::string(16385, 'x');
  EXPECT_FALSE(sim::ApplySetting(cfg, "factory-file", strFactory, &strErr));
}

}  // namespace
