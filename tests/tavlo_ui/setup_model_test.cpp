// The Setup dialog's states and OK's checks.

#include "tavlo/ui/setup_model.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "pty_phone.h"
#include "sim/sim_phone.h"
#include "tavlo/factory/factory_data.h"
#include "tavlo/numbers/number_checks.h"
#include "tavlo/ui/writer_texts.h"
#include "wait_until.h"

namespace {

using K = ESourceKind;

class SetupModelTest : public ::testing::Test {
 protected:
  SetupModelTest() {
    m_settings.m_strChipset = "n7731";
    m_chips = {{"n5510", "fact5"}, {"n7731", "fact7"}};
  }
  const SSourceView& Source(const CImeiSetup& setup, K kind) {
    return setup.View().sources[static_cast<size_t>(kind)];
  }
  std::string Ok(CImeiSetup& setup) {
    std::string strMessage;
    const bool bStored = setup.OnOK(&strMessage);
    EXPECT_EQ(bStored, strMessage.empty()) << strMessage;
    return strMessage;
  }

  CTempDir m_dir;
  WriterSettings m_settings;
  ChipList m_chips;
};

TEST_F(SetupModelTest, OpensFromTheSettingsWithTheEnabledStatesOfEachInputType) {
  m_settings.m_nImeiCount = 3;
  m_settings.m_bImeiAllSame = true;
  m_settings.m_nImeiInputType = INPUT_CUSTOM;
  m_settings.m_nMbsnInputType = INPUT_FROM_FILE;
  m_settings.m_nMbsnLength = 10;
  CImeiSetup setup(m_settings, m_chips, {"Gadget Serial (COM3)"});
  const SSetupView& view = setup.View();
  EXPECT_EQ(view.nSimCount, 3);
  EXPECT_TRUE(view.bAllSame);
  EXPECT_EQ(view.chipNames, (std::vector<std::string>{"n5510", "n7731"}));
  EXPECT_EQ(view.nChip, 1);
  EXPECT_EQ(view.ports, std::vector<std::string>{"Gadget Serial (COM3)"});
  EXPECT_TRUE(Source(setup, K::Imei).bInitMaskEnabled);
  EXPECT_FALSE(Source(setup, K::Imei).bFileEnabled);
  EXPECT_EQ(Source(setup, K::Imei).strInit, "000000000000000");
  EXPECT_EQ(Source(setup, K::Imei).nInitMaskLimit, 15u);
  EXPECT_TRUE(Source(setup, K::Mbsn).bFileEnabled);
  EXPECT_FALSE(Source(setup, K::Mbsn).bInitMaskEnabled);
  EXPECT_EQ(Source(setup, K::Mbsn).nInitMaskLimit, 10u);
  EXPECT_FALSE(Source(setup, K::Psn).bFileEnabled || Source(setup, K::Psn).bInitMaskEnabled);

  m_settings.m_strChipset = "other";
  EXPECT_EQ(CImeiSetup(m_settings, m_chips, {}).View().nChip, -1);
}

TEST_F(SetupModelTest, ManualKeepsTheHiddenRangeTextAndStoresIt) {
  m_settings.m_nImeiInputType = INPUT_CUSTOM;
  CImeiSetup setup(m_settings, m_chips, {});
  setup.SetInitText(K::Imei, "35209900000a0000");  // digits only, at most 15
  setup.SetMaskText(K::Imei, "35209900000****");
  EXPECT_EQ(Source(setup, K::Imei).strInit, "352099000000000");
  setup.OnRadioInputType(K::Imei, INPUT_MANUAL);
  EXPECT_FALSE(Source(setup, K::Imei).bInitMaskEnabled);
  EXPECT_EQ(Source(setup, K::Imei).strMask, "35209900000****");
  EXPECT_EQ(Ok(setup), "");
  EXPECT_EQ(m_settings.m_nImeiInputType, INPUT_MANUAL);
  EXPECT_EQ(m_settings.m_strImeiInit15, "352099000000000");
  EXPECT_EQ(m_settings.m_strImeiMask15, "35209900000****");
  EXPECT_EQ(m_settings.m_strImeiInit14, "00000000000000") << "the other pair keeps its value";
}

TEST_F(SetupModelTest, RefusalsKeepTheDialogOpenAndStoreNothing) {
  std::ofstream(m_dir.File("imei.txt")) << "x\n";
  struct {
    const char* pszName;
    std::function<void(CImeiSetup&)> fnEdit;
    std::string strMessage;
  } cases[] = {
      {"list path left at None",
       [](CImeiSetup& s) { s.OnRadioInputType(K::Imei, INPUT_FROM_FILE); },
       writer_text::kImeiListMissing},
      {"empty MBSN list path",
       [&](CImeiSetup& s) {
         s.OnRadioInputType(K::Mbsn, INPUT_FROM_FILE);
         s.OnChooseListFile(K::Mbsn, "");
       },
       writer_text::kChooseMbsnList},
      {"a folder is no list file",
       [&](CImeiSetup& s) {
         s.OnRadioInputType(K::Psn, INPUT_FROM_FILE);
         s.OnChooseListFile(K::Psn, m_dir.Path());
       },
       writer_text::kPsnListMissing},
      {"15 digits with the 14-digit box",
       [](CImeiSetup& s) {
         s.OnRadioInputType(K::Imei, INPUT_CUSTOM);
         s.OnCheck14Char(true);
       },
       kMsgInitLength},
      {"mask disagrees with the initial number",
       [](CImeiSetup& s) {
         s.OnRadioInputType(K::Psn, INPUT_CUSTOM);
         s.SetMaskText(K::Psn, "1*******************");
       },
       kMsgMaskChars},
      {"IMEI is checked before MBSN",
       [&](CImeiSetup& s) {
         s.OnRadioInputType(K::Imei, INPUT_FROM_FILE);
         s.OnChooseListFile(K::Imei, "");
         s.OnRadioInputType(K::Mbsn, INPUT_FROM_FILE);
       },
       writer_text::kChooseImeiList},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.pszName);
    const WriterSettings before = m_settings;
    CImeiSetup setup(m_settings, m_chips, {});
    setup.OnRadioSim(4);
    c.fnEdit(setup);
    EXPECT_EQ(Ok(setup), c.strMessage);
    EXPECT_EQ(m_settings.m_nImeiCount, before.m_nImeiCount);
    EXPECT_EQ(m_settings.m_nImeiInputType, before.m_nImeiInputType);
    EXPECT_EQ(m_settings.m_bImei14Digits, before.m_bImei14Digits);
  }
}

// MBSNLEN comes from the settings file; OK refuses one whose MBSN field
// would run into the PSN field of the factory record.
TEST_F(SetupModelTest, OkRefusesAnMbsnLengthThatRunsIntoThePsnField) {
  for (int nLength : {kMaxMbsnLength, kMaxMbsnLength + 1, 254}) {
    SCOPED_TRACE(nLength);
    m_settings.m_nMbsnLength = nLength;
    m_settings.m_nImeiCount = 1;
    CImeiSetup setup(m_settings, m_chips, {});
    setup.OnRadioSim(3);
    const std::string strMessage = Ok(setup);
    if (nLength <= kMaxMbsnLength) {
      EXPECT_EQ(strMessage, "");
      EXPECT_EQ(m_settings.m_nImeiCount, 3);
    } else {
      EXPECT_EQ(strMessage, MbsnLengthProblem(nLength));
      EXPECT_NE(strMessage.find("MBSNLEN=" + std::to_string(nLength)), std::string::npos);
      EXPECT_EQ(m_settings.m_nImeiCount, 1) << "nothing stored";
    }
  }
  EXPECT_EQ(kMaxMbsnLength, 49) << "bytes 41 to 90 of the record lie before the PSN field";
}

TEST_F(SetupModelTest, SerialRangesTakeAnyCharactersOfTheirLength) {
  CImeiSetup setup(m_settings, m_chips, {});
  setup.OnRadioInputType(K::Mbsn, INPUT_CUSTOM);
  setup.SetInitText(K::Mbsn, "AB12000000000000X");  // cut to MBSNLEN 16
  setup.SetMaskText(K::Mbsn, "AB12************");
  setup.OnRadioSim(2);
  setup.OnCheckAllSame(true);
  EXPECT_EQ(Ok(setup), "");
  EXPECT_EQ(m_settings.m_strMbsnInit, "AB12000000000000");
  EXPECT_EQ(m_settings.m_strMbsnMask, "AB12************");
  EXPECT_EQ(m_settings.m_nMbsnInputType, INPUT_CUSTOM);
  EXPECT_EQ(m_settings.m_nImeiCount, 2);
  EXPECT_TRUE(m_settings.m_bImeiAllSame);
}

TEST_F(SetupModelTest, ChoosingAListFileShowsTheStoredTextsAgain) {
  std::ofstream(m_dir.File("mbsn.txt")) << "A\n";
  CImeiSetup setup(m_settings, m_chips, {});
  setup.SetMaskText(K::Imei, "1234");
  setup.OnChooseListFile(K::Mbsn, m_dir.File("mbsn.txt"));
  EXPECT_EQ(Source(setup, K::Imei).strMask, "***************");
  EXPECT_EQ(Source(setup, K::Mbsn).strFile, m_dir.File("mbsn.txt"));

  // The 14-digit box changes the limit, not the text; OK stores the 14 pair.
  setup.OnRadioInputType(K::Imei, INPUT_CUSTOM);
  setup.OnCheck14Char(true);
  EXPECT_EQ(Source(setup, K::Imei).strInit, "000000000000000");
  setup.SetInitText(K::Imei, "352099000000009999");
  setup.SetMaskText(K::Imei, "3520990000****");
  EXPECT_EQ(Ok(setup), "");
  EXPECT_TRUE(m_settings.m_bImei14Digits);
  EXPECT_EQ(m_settings.m_strImeiInit14, "35209900000000");
  EXPECT_EQ(m_settings.m_strImeiMask14, "3520990000****");
  EXPECT_EQ(m_settings.m_strMbsnFile, m_dir.File("mbsn.txt"));
}

TEST_F(SetupModelTest, PortListHoldsOnlyGadgetPorts) {
  CTempDir ports;
  setenv("PHONE_PORTS_DIR", ports.Path().c_str(), 1);
  setenv("PHONE_COM_MAP", m_dir.File("com.ini").c_str(), 1);
  sim::CSimSocket socket(
      sim::SSocketOptions{.strPortsDir = ports.Path(), .nCom = 44, .nPhones = 1});
  ASSERT_TRUE(socket.Start());
  for (const char* pszOther : {"Foo Modem (COM11)", "USB Gadget Modem (COM12)"})
    std::filesystem::create_symlink("/dev/null", ports.File(pszOther));
  std::vector<std::string> names;
  WaitUntil(
      [&] {
        names = GadgetPortNames();
        return !names.empty();
      },
      std::chrono::seconds(5));
  EXPECT_EQ(names, std::vector<std::string>{"Gadget Serial (COM44)"});
  socket.Stop();
  unsetenv("PHONE_PORTS_DIR");
  unsetenv("PHONE_COM_MAP");
}

}  // namespace
