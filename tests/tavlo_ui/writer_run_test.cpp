// Whole write runs through the window against simulated phones: what each
// phone holds afterwards, what the histories gained, and the failure paths.

#include <map>
#include <sstream>

#include "sim/sim_config.h"
#include "sim/sim_phone.h"
#include "sim_socket.h"
#include "tavlo/factory/factory_data.h"
#include "tavlo/numbers/number_checks.h"
#include "tavlo/ui/writer_window.h"
#include "writer_fixture.h"

namespace {

using E = ENumberField;

std::string Imei(int n) {
  return AppendImeiCheckDigit("35209900" + std::to_string(100000 + n));
}

class WriterRunTest : public WriterFixture {
 protected:
  void TearDown() override {
    m_pWindow.reset();
    m_pSocket.reset();
    WriterFixture::TearDown();
  }
  void Plug(int nPhones, const std::vector<const char*>& faults) {
    m_pSocket = StartSimSocket(
        {.strPortsDir = m_ports.Path(), .nCom = 41, .nPhones = nPhones, .nReplugDelayMs = 200},
        faults);
    ASSERT_TRUE(m_pSocket);
  }
  // The number lines of a history file, by time stamp.
  std::map<std::string, std::vector<std::string>> History(const std::string& strFile) {
    std::map<std::string, std::vector<std::string>> byStamp;
    std::istringstream in(ReadWholeFile(m_base.File("data/" + strFile)));
    for (std::string line; std::getline(in, line);) {
      EXPECT_EQ(line[19], '\t') << line;
      byStamp[line.substr(0, 19)].push_back(line.substr(20));
    }
    return byStamp;
  }
  std::vector<std::string> Lines(const std::string& strFile) {
    std::vector<std::string> numbers;
    for (const auto& [stamp, v] : History(strFile))
      numbers.insert(numbers.end(), v.begin(), v.end());
    return numbers;
  }

  std::unique_ptr<sim::CSimSocket> m_pSocket;
};

TEST_F(WriterRunTest, ListRunWritesEveryPhoneAndNeverRepeatsANumber) {
  std::string imeiList = "# IMEIs of lot 7\n";
  for (int n = 1; n <= 8; ++n) imeiList += Imei(n) + "\r\n";
  WriteFile("imei.txt", imeiList);
  WriteFile("psn.txt", "PSN0000001\nPSN00002\nPSN0000003\nPSN0000004\n");
  const std::string ddr(300, '\x5a');
  WriteFile("ddr.bin", ddr);
  std::filesystem::create_directories(m_base.File("data"));
  WriteFile("data/wimei.history", "2024-01-01_00:00:00\t" + Imei(2) + "\n");
  const std::string strSettings =
      "ISWIMEI=Yes\nISWMBSN=Yes\nISWPSN=Yes\nISLCD=Yes\nISDDR=Yes\nCHECK_IMEI=Yes\n"
      "[WIMEI]\nIMEINUM=2\nINPUTTYPE=1\nFILEPATH=" +
      m_base.File("imei.txt") +
      "\n[WMBSN]\nMBSNLEN=12\nINPUTTYPE=2\nINITCODE=MB0000000000\nMASKCODE=MB00000000**\n"
      "[WPSN]\nPSNLEN=10\nINPUTTYPE=1\nFILEPATH=" +
      m_base.File("psn.txt") + "\n[LCD]\nNAME=panel7\n[DDR]\nPATH=" + m_base.File("ddr.bin") + "\n";
  CTavloWindow& window = Open(strSettings);
  window.SelectLcdInterface(1);  // "rgb"

  // Each phone leaves when the worker probes it after its write.
  Plug(2, {"cmd=connect,nth=2,unplug"});
  window.OnStart();
  // The station's count turns with the banner.
  ASSERT_TRUE(PumpUntil([&] { return window.View().nBanner == kStateDone; }));
  EXPECT_GE(window.View().nPassed, 1);
  ASSERT_TRUE(PumpUntil([&] { return window.Worker().PhonesWritten() == 2; }));
  window.OnStop();
  EXPECT_EQ(window.Worker().PhonesFailed(), 0);
  EXPECT_EQ(window.View().strCounts, "通过 2 失败 0");
  // Stopped while the second phone leaves, or once the next cycle began.
  const std::string strSummary = window.View().log.back().strText;
  EXPECT_TRUE(strSummary.rfind("Write cost ", 0) == 0 || strSummary == "Write Stop!") << strSummary;
  m_pSocket->Stop();

  const std::vector<std::string> wantImeis = {Imei(1), Imei(3), Imei(4), Imei(5)};
  const std::vector<std::string> wantMbsn = {"MB0000000000", "MB0000000001"};
  const std::vector<std::string> wantPsn = {"PSN0000001", "PSN0000003"};
  EXPECT_EQ(Lines("wimei.history"),
            (std::vector<std::string>{Imei(2), Imei(1), Imei(3), Imei(4), Imei(5)}));
  EXPECT_EQ(Lines("wmbsn.history"), wantMbsn);
  EXPECT_EQ(Lines("wpsn.history"), wantPsn);
  // One time stamp for each phone's two IMEIs.
  for (const auto& [stamp, numbers] : History("wimei.history")) {
    if (stamp == "2024-01-01_00:00:00") continue;
    EXPECT_EQ(numbers.size() % 2, 0u) << stamp;
  }

  const std::vector<sim::SPhoneReport> reps = m_pSocket->Reports();
  ASSERT_EQ(reps.size(), 2u);
  for (size_t i = 0; i < reps.size(); ++i) {
    SCOPED_TRACE(i);
    const std::string& a = wantImeis[2 * i];
    const std::string& b = wantImeis[2 * i + 1];
    std::vector<uint8_t> expected = sim::DefaultFactoryData();
    FactoryDataImage image(expected.data(), kFactoryDataSize);
    ASSERT_TRUE(FillImeiArea(image, a, b, a, a));
    ASSERT_TRUE(FillMbsnArea(image, wantMbsn[i], 12));
    ASSERT_TRUE(FillPsnArea(image, wantPsn[i], 10));
    ASSERT_EQ(
        FillLcdDdrBlock(image, true, true, {0x12345678, "rgb", "panel7", m_base.File("ddr.bin")}),
        LcdDdrResult::Ok);
    EXPECT_EQ(reps[i].factoryWritten, expected);
    EXPECT_EQ(reps[i].strFactoryName, "norqfact");
    // The record as the phone holds it, byte by byte where it matters.
    // Three characters, the length byte (length + 1), the rest.
    const uint8_t* rec = reps[i].factoryWritten.data() + kIdentityRecordOffset;
    EXPECT_EQ(rec[39], 0xF0);
    EXPECT_EQ(rec[44], 13);
    EXPECT_EQ(std::string(rec + 41, rec + 44) + std::string(rec + 45, rec + 54), wantMbsn[i]);
    EXPECT_EQ(rec[94], 11);
    EXPECT_EQ(std::string(rec + 91, rec + 94) + std::string(rec + 95, rec + 102), wantPsn[i]);
    const uint8_t* block = reps[i].factoryWritten.data() + kLcdDdrBlockOffset;
    EXPECT_EQ(block[0] | block[1] << 8 | block[2] << 16 | uint32_t{block[3]} << 24, 0x12345678u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(block + 8)), "rgb_panel7");
    EXPECT_EQ(std::string(block + kDdrAreaOffset, block + kDdrAreaOffset + ddr.size()), ddr);
    // The IMEI check read the partition back by the chip's partition name.
    int nReadsByName = 0;
    for (const sim::SCommandRecord& cmd : reps[i].commands)
      nReadsByName += cmd.nCmd == 9 && cmd.strName == "norqfact";
    EXPECT_EQ(nReadsByName, 1);
  }

  // A second run, in a restarted program, carries on past every number written.
  m_pWindow.reset();
  m_app = STavloApp{};
  CTavloWindow& again = Open(strSettings);
  Plug(1, {"cmd=connect,nth=2,unplug"});
  again.OnStart();
  ASSERT_TRUE(PumpUntil([&] { return again.Worker().PhonesWritten() == 1; }));
  again.OnStop();
  const std::vector<std::string> imeis = Lines("wimei.history");
  ASSERT_EQ(imeis.size(), 7u);
  EXPECT_EQ(imeis[5], Imei(6));
  EXPECT_EQ(imeis[6], Imei(7));
  EXPECT_EQ(Lines("wmbsn.history").back(), "MB0000000002");
  EXPECT_EQ(Lines("wpsn.history").back(), "PSN0000004");
}

TEST_F(WriterRunTest, NakDuringTheBootUploadFailsThePhoneWithoutHistory) {
  CTavloWindow& window = Open("ISWIMEI=Yes\n");
  window.SetFieldText(E::Imei1, Imei(1));
  Plug(1, {"cmd=mid,nth=1,code=9"});
  window.OnStart();
  ASSERT_TRUE(PumpUntil([&] { return window.RunsEnded() == 1; }));
  EXPECT_TRUE(LogHas("WaitForAck Write boot_fact failed!", kLogError));
  EXPECT_TRUE(LogHas("Write failed!", kLogError));
  EXPECT_EQ(window.View().log.back().strText, "Write Error!");
  EXPECT_EQ(window.View().nBanner, kStateFailed);
  EXPECT_EQ(window.Worker().PhonesFailed(), 1);
  EXPECT_EQ(window.View().strCounts, "通过 0 失败 1");
  EXPECT_TRUE(window.View().bStartEnabled);
  EXPECT_FALSE(std::filesystem::exists(m_base.File("data/wimei.history")));
  EXPECT_FALSE(m_app.pHistories->IsImeiUsed(Imei(1)));
}

TEST_F(WriterRunTest, ExhaustedPoolFailsAndInvalidTypedImeiLeavesThePortAlone) {
  WriteFile("imei.txt", Imei(1) + "\n");
  std::filesystem::create_directories(m_base.File("data"));
  WriteFile("data/wimei.history", "2024-01-01_00:00:00\t" + Imei(1) + "\n");
  CTavloWindow& window =
      Open("ISWIMEI=Yes\n[WIMEI]\nINPUTTYPE=1\nFILEPATH=" + m_base.File("imei.txt") + "\n");
  Plug(1, {});
  window.OnStart();
  ASSERT_TRUE(PumpUntil([&] { return window.RunsEnded() == 1; }));
  EXPECT_EQ(m_host.boxes, std::vector<std::string>{kMsgNoImei});
  EXPECT_EQ(window.View().log.back().strText, "Write Error!");
  EXPECT_EQ(window.View().nBanner, kStateFailed);

  m_host.boxes.clear();
  m_app.settings.m_nImeiInputType = INPUT_MANUAL;
  window.SetFieldText(E::Imei1, Imei(1).substr(0, 14));
  window.OnStart();
  // A refused run ends with code 0, posted: the window enables its inputs again.
  ASSERT_TRUE(PumpUntil([&] { return window.RunsEnded() == 2 && window.View().bStartEnabled; }));
  EXPECT_EQ(m_host.boxes, std::vector<std::string>{kMsgBadImei});
  EXPECT_EQ(window.View().focus, E::Imei1);
  EXPECT_TRUE(window.View().bFocusSelectsAll);
  m_pSocket->Stop();
  EXPECT_EQ(m_pSocket->Report().nHostOpens, 0);
}

// A typed number already in its history is refused before the port is
// touched, with its field selected; started for rework, the window writes it
// again, says so and records it as rework, and then empties the field.
TEST_F(WriterRunTest, TypedNumberAlreadyWrittenIsRefusedUnlessStartedForRework) {
  std::filesystem::create_directories(m_base.File("data"));
  const std::string strOld = "2024-01-01_00:00:00\tMB000001\n";
  WriteFile("data/wmbsn.history", strOld);
  CTavloWindow& window = Open("ISWMBSN=Yes\n[WMBSN]\nMBSNLEN=8\n");
  Plug(1, {"cmd=connect,nth=2,unplug"});
  window.SetFieldText(E::Mbsn, "MB000001");
  window.OnStart();
  ASSERT_TRUE(PumpUntil([&] { return window.RunsEnded() == 1 && window.View().bStartEnabled; }));
  const std::string strWhere = "MBSN MB000001 is already written (" +
                               m_base.File("data/wmbsn.history") + ", 2024-01-01_00:00:00)";
  ASSERT_EQ(m_host.boxes.size(), 1u);
  EXPECT_EQ(m_host.boxes[0], strWhere + ": " + kMsgWrittenAgain);
  EXPECT_EQ(window.View().focus, E::Mbsn);
  EXPECT_TRUE(window.View().bFocusSelectsAll);
  EXPECT_EQ(window.Worker().PhonesFailed(), 0);

  m_host.boxes.clear();
  window.SetRework(true);
  EXPECT_EQ(window.View().strTitle, WriterTitle() + kReworkTitle);
  window.OnStart();
  ASSERT_TRUE(PumpUntil([&] { return window.RunsEnded() == 2 && window.View().bStartEnabled; }));
  EXPECT_EQ(window.Worker().PhonesWritten(), 1);
  EXPECT_TRUE(m_host.boxes.empty());
  EXPECT_TRUE(LogHas(kReworkLine + strWhere + "; written again as rework", kLogProgress));
  EXPECT_EQ(Field(E::Mbsn).strText, "") << "code 2 empties the field for the next phone";
  m_pSocket->Stop();
  EXPECT_EQ(m_pSocket->Report().nHostOpens, 1) << "the refused run opened no port";
  const std::string strHistory = ReadWholeFile(m_base.File("data/wmbsn.history"));
  ASSERT_EQ(strHistory.size(), strOld.size() + 2 * 29 + 8) << strHistory;
  const std::string strStamp = strHistory.substr(strOld.size() + 8, 19);
  EXPECT_EQ(strHistory,
            strOld + "#rework\t" + strStamp + "\tMB000001\n" + strStamp + "\tMB000001\n");
}

TEST_F(WriterRunTest, EveryTypedImeiOfTheSimCountIsCheckedBeforeThePortIsTouched) {
  CTavloWindow& window = Open("ISWIMEI=Yes\nCHECK_IMEI=Yes\n[WIMEI]\nIMEINUM=2\n");
  Plug(1, {});
  std::string wrongCheckDigit = Imei(2);
  wrongCheckDigit.back() = wrongCheckDigit.back() == '9' ? '0' : wrongCheckDigit.back() + 1;
  const struct {
    std::string strImei1, strImei2;
    E eRefused;
  } cases[] = {{Imei(1), wrongCheckDigit, E::Imei2},
               {Imei(1), Imei(2).substr(1), E::Imei2},
               {Imei(1), "", E::Imei2},
               {Imei(2).substr(1), Imei(2), E::Imei1}};
  int nRuns = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.strImei1 + " / " + c.strImei2);
    m_host.boxes.clear();
    window.SetFieldText(E::Imei1, c.strImei1);
    window.SetFieldText(E::Imei2, c.strImei2);
    window.OnStart();
    ++nRuns;
    ASSERT_TRUE(
        PumpUntil([&] { return window.RunsEnded() == nRuns && window.View().bStartEnabled; }));
    EXPECT_EQ(m_host.boxes, std::vector<std::string>{kMsgBadImei});
    EXPECT_EQ(window.View().focus, c.eRefused);
    EXPECT_TRUE(window.View().bFocusSelectsAll);
  }
  EXPECT_FALSE(std::filesystem::exists(m_base.File("data/wimei.history")));
  m_pSocket->Stop();
  EXPECT_EQ(m_pSocket->Report().nHostOpens, 0);
}

}  // namespace
