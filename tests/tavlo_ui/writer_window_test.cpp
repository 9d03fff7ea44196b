// The writer's window model: its look after opening, the check boxes, the
// worker's notifications, Start's refusals, Stop, Setup and Reset History.

#include "tavlo/ui/writer_window.h"

#include <sys/stat.h>

#include "tavlo/numbers/number_checks.h"
#include "tavlo/ui/writer_texts.h"
#include "writer_fixture.h"

namespace {

namespace fs = std::filesystem;
using E = ENumberField;

using WriterWindowTest = WriterFixture;

TEST_F(WriterWindowTest, OpensWithTheSettingsLook) {
  const CTavloWindow& window = Open(
      "ISWMBSN=Yes\nISLCD=Yes\nCHECK_IMEI=No\n[WIMEI]\nIMEINUM=2\n[WMBSN]\nMBSNLEN=12\n"
      "[LCD]\nNAME=panel_a\n[DDR]\nPATH=/opt/ddr.bin\n");
  const SWriterView& view = window.View();
  EXPECT_TRUE(Field(E::Imei1).bEnabled);
  EXPECT_TRUE(Field(E::Imei2).bEnabled);
  EXPECT_FALSE(Field(E::Imei3).bEnabled);
  EXPECT_FALSE(Field(E::Imei4).bEnabled);
  EXPECT_EQ(Field(E::Imei1).nMaxLength, 15u);
  EXPECT_EQ(Field(E::Mbsn).nMaxLength, 12u);
  EXPECT_EQ(Field(E::Psn).nMaxLength, 20u);
  EXPECT_EQ(view.focus, E::Mbsn) << "the first Write box ticked";
  EXPECT_TRUE(view.bWriteMbsn && view.bWriteLcd);
  EXPECT_FALSE(view.bWriteImei || view.bWritePsn || view.bWriteDdr || view.bCheckImei);
  EXPECT_EQ(view.nBanner, kStateOff);
  EXPECT_EQ(view.strLcdName, "panel_a");
  EXPECT_EQ(view.strDdrPath, "/opt/ddr.bin");
  EXPECT_EQ(view.strImageDir, m_base.File("images"));
  EXPECT_EQ(view.strTitle.rfind("IMEI 工具 Release_v ", 0), 0u);
  EXPECT_GT(view.strTitle.size(), std::string("IMEI 工具 Release_v ").size());
  EXPECT_TRUE(view.bStartEnabled && view.bSetupEnabled && view.bExitEnabled);
  EXPECT_FALSE(window.IsBusy());
}

TEST_F(WriterWindowTest, WriteBoxesExcludeEachOtherButLeaveTheOtherFieldsAlone) {
  CTavloWindow& window = Open("ISWIMEI=Yes\n[WIMEI]\nIMEINUM=3\n");
  window.OnCheckMbsn(true);
  EXPECT_FALSE(window.View().bWriteImei);
  EXPECT_FALSE(m_app.settings.m_bWriteImei);
  EXPECT_TRUE(m_app.settings.m_bWriteMbsn);
  EXPECT_TRUE(Field(E::Imei1).bEnabled) << "unticked by MBSN, the IMEI fields stay enabled";
  EXPECT_EQ(window.View().focus, E::Mbsn);

  window.OnCheckPsn(true);
  window.OnCheckImei(true);
  EXPECT_FALSE(window.View().bWriteMbsn || window.View().bWritePsn);
  EXPECT_FALSE(m_app.settings.m_bWriteMbsn || m_app.settings.m_bWritePsn);
  EXPECT_TRUE(Field(E::Imei3).bEnabled);
  EXPECT_FALSE(Field(E::Imei4).bEnabled);

  window.OnCheckImei(false);
  for (E f : {E::Imei1, E::Imei2, E::Imei3, E::Imei4}) EXPECT_FALSE(Field(f).bEnabled);
  EXPECT_FALSE(m_app.settings.m_bWriteImei);

  window.OnCheckImeiVerify(false);
  window.OnCheckLcdName(true);
  window.OnCheckDdrFirmware(true);
  EXPECT_FALSE(m_app.settings.m_bCheckImei);
  EXPECT_TRUE(m_app.settings.m_bWriteLcd && m_app.settings.m_bWriteDdr);
}

TEST_F(WriterWindowTest, TypedTextKeepsToTheFieldsRules) {
  CTavloWindow& window = Open("[WMBSN]\nMBSNLEN=4\n");
  window.SetFieldText(E::Imei1, "35-2099 0017614812345");
  EXPECT_EQ(Field(E::Imei1).strText, "352099001761481");
  window.SetFieldText(E::Mbsn, "AB-CDEF");
  EXPECT_EQ(Field(E::Mbsn).strText, "AB-C");
  window.SetFieldText(E::Psn, "ps n 1");
  EXPECT_EQ(Field(E::Psn).strText, "ps n 1");
}

TEST_F(WriterWindowTest, NotifyCodesPrepareTheFieldsForTheNextPhone) {
  CTavloWindow& window = Open("ISWIMEI=Yes\n[WIMEI]\nIMEINUM=2\n");
  for (E f : {E::Imei1, E::Imei2, E::Imei3}) window.SetFieldText(f, "123");
  window.OnCheckMbsn(false);  // disables the MBSN field
  EXPECT_EQ(window.OnWriteNotify(kNotifyImeiTyped), 1);
  EXPECT_EQ(Field(E::Imei1).strText, "");
  EXPECT_EQ(Field(E::Imei2).strText, "");
  EXPECT_EQ(Field(E::Imei3).strText, "123") << "above IMEINUM: untouched";
  EXPECT_FALSE(Field(E::Imei3).bEnabled);
  EXPECT_EQ(window.View().focus, E::Imei1);

  // The last phone's MBSN and PSN go as its IMEIs do: Start must not write them again.
  window.SetFieldText(E::Mbsn, "MB01");
  window.SetFieldText(E::Psn, "PS01");
  EXPECT_EQ(window.OnWriteNotify(kNotifyPsnTyped), 1);
  EXPECT_EQ(Field(E::Psn).strText, "");
  EXPECT_EQ(Field(E::Mbsn).strText, "MB01");
  EXPECT_EQ(window.View().focus, E::Psn);
  EXPECT_EQ(window.OnWriteNotify(kNotifyMbsnTyped), 1);
  EXPECT_EQ(Field(E::Mbsn).strText, "");
  EXPECT_TRUE(Field(E::Mbsn).bEnabled);
  EXPECT_EQ(window.View().focus, E::Mbsn);
  EXPECT_EQ(window.OnWriteNotify(77), 1);
  EXPECT_EQ(window.View().focus, E::Mbsn);
}

TEST_F(WriterWindowTest, StartRefusesWhatCannotBeWritten) {
  CTavloWindow& window = Open("ISWIMEI=Yes\nISDDR=Yes\n");
  window.SetFieldText(E::Imei1, "352099001761481");
  struct {
    std::function<void()> fnSetUp;
    const char* pszBox;
  } cases[] = {
      {[&] { window.SetDdrPath(""); }, writer_text::kDdrMissing},
      {[&] {
         WriteFile("big.bin", std::string(kDdrAreaSize + 1, 'd'));
         window.SetDdrPath(m_base.File("big.bin"));
       },
       writer_text::kDdrTooLarge},
      {[&] {
         WriteFile("ok.bin", std::string(kDdrAreaSize, 'd'));
         window.SetDdrPath(m_base.File("ok.bin"));
         window.OnCheckLcdName(true);
         window.SetLcdName(std::string(124, 'n'));  // "dsi_" + 124 > 127
       },
       writer_text::kLcdNameTooLong},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.pszBox);
    m_host.boxes.clear();
    c.fnSetUp();
    window.OnStart();
    EXPECT_EQ(m_host.boxes, std::vector<std::string>{c.pszBox});
    EXPECT_TRUE(window.View().bStartEnabled) << "nothing started";
    EXPECT_EQ(Field(E::Imei1).strText, "352099001761481");
  }
  window.SetLcdName(std::string(123, 'n'));  // exactly fits
  m_host.boxes.clear();
  window.OnStart();
  EXPECT_TRUE(m_host.boxes.empty());
  EXPECT_FALSE(window.View().bStartEnabled);
  window.OnStop();
}

TEST_F(WriterWindowTest, AListOrDdrFileThatIsNoRegularFileIsRefusedAtStart) {
  // A FIFO would hold the open until someone writes to it: first the
  // window's pool loading, then the worker.
  const std::string strFifo = m_base.File("numbers.fifo");
  ASSERT_EQ(mkfifo(strFifo.c_str(), 0644), 0);
  CTavloWindow& window = Open("ISWIMEI=Yes\n[WIMEI]\nINPUTTYPE=1\nFILEPATH=" + strFifo + "\n");
  window.OnStart();
  EXPECT_EQ(m_host.boxes,
            std::vector<std::string>{std::string(writer_text::kNotAFile) + "\n" + strFifo});
  EXPECT_TRUE(window.View().bStartEnabled) << "nothing started";

  m_host.boxes.clear();
  window.OnCheckMbsn(true);  // the list is out of use; the DDR file is the FIFO now
  window.OnCheckDdrFirmware(true);
  window.SetDdrPath(strFifo);
  window.OnStart();
  EXPECT_EQ(m_host.boxes,
            std::vector<std::string>{std::string(writer_text::kNotAFile) + "\n" + strFifo});
  EXPECT_TRUE(window.View().bStartEnabled);
}

TEST_F(WriterWindowTest, StartWithNothingToWriteIsRefused) {
  CTavloWindow& window = Open("");
  window.OnStart();
  EXPECT_EQ(m_host.boxes, std::vector<std::string>{writer_text::kNothingToWrite});
  EXPECT_TRUE(window.View().bStartEnabled) << "nothing started";
  window.OnCheckDdrFirmware(true);  // one thing to write is enough
  WriteFile("ddr.bin", "ddr");
  window.SetDdrPath(m_base.File("ddr.bin"));
  m_host.boxes.clear();
  window.OnStart();
  EXPECT_TRUE(m_host.boxes.empty());
  EXPECT_FALSE(window.View().bStartEnabled);
  window.OnStop();
}

TEST_F(WriterWindowTest, StartEmptiesDrawnFieldsAndStopEndsTheWaitForAPhone) {
  CTavloWindow& window =
      Open("ISWIMEI=Yes\nISWMBSN=Yes\n[WIMEI]\nIMEINUM=1\nINPUTTYPE=2\n[WMBSN]\nINPUTTYPE=0\n");
  for (E f : {E::Imei1, E::Imei2, E::Imei3, E::Imei4}) window.SetFieldText(f, "1");
  window.SetFieldText(E::Mbsn, "TYPEDMBSN0000001");
  window.OnStart();
  // Before the worker ran: every IMEI field emptied, whatever IMEINUM is.
  for (E f : {E::Imei1, E::Imei2, E::Imei3, E::Imei4}) EXPECT_EQ(Field(f).strText, "");
  EXPECT_EQ(Field(E::Mbsn).strText, "TYPEDMBSN0000001");
  EXPECT_FALSE(window.View().bStartEnabled);
  EXPECT_FALSE(Field(E::Imei1).bEnabled);
  EXPECT_FALSE(window.View().bExitEnabled);

  ASSERT_TRUE(PumpUntil([&] { return window.View().nBanner == kStateIdle; }));
  EXPECT_TRUE(LogHas("Please plugin a new phone and power on!", kLogProgress));
  EXPECT_EQ(Field(E::Imei1).strText, "000000000000000") << "drawn from the all-star default";
  window.OnStart();
  EXPECT_EQ(m_host.boxes, std::vector<std::string>{writer_text::kRunning});

  window.OnStop();
  EXPECT_FALSE(window.IsBusy());
  ASSERT_FALSE(window.View().log.empty());
  EXPECT_EQ(window.View().log.back().strText, "Write Stop!");
  EXPECT_TRUE(window.View().bStartEnabled);
  EXPECT_TRUE(Field(E::Imei1).bEnabled);
  EXPECT_EQ(m_host.shown.back(), "Write Stop!");
  EXPECT_EQ(window.View().focus, E::Imei1);
}

TEST_F(WriterWindowTest, StopRightAfterStartIsNotLost) {
  CTavloWindow& window = Open("ISWIMEI=Yes\n[WIMEI]\nINPUTTYPE=2\n");
  window.OnStart();
  window.OnStop();
  ASSERT_TRUE(PumpUntil([&] { return window.RunsEnded() == 1; }, 10000));
  EXPECT_FALSE(window.IsBusy());
  EXPECT_EQ(window.View().log.back().strText, "Write Stop!");
}

TEST_F(WriterWindowTest, SetupOkReenablesImeiFieldsAndRebuildsThePools) {
  CTavloWindow& window = Open("ISWIMEI=Yes\n[WIMEI]\nIMEINUM=1\nINPUTTYPE=0\n");
  m_host.fnSetup = [](CImeiSetup&) { return false; };
  window.OnButtonSetup();
  EXPECT_FALSE(Field(E::Imei2).bEnabled) << "cancelled: nothing changes";

  m_host.fnSetup = [](CImeiSetup& setup) {
    setup.OnRadioSim(3);
    setup.OnRadioInputType(ESourceKind::Imei, INPUT_CUSTOM);
    setup.OnCheck14Char(true);
    setup.SetInitText(ESourceKind::Imei, "35209900001000");
    setup.SetMaskText(ESourceKind::Imei, "352099000010**");
    std::string strMessage;
    return setup.OnOK(&strMessage);
  };
  window.OnButtonSetup();
  EXPECT_EQ(m_app.settings.m_nImeiCount, 3);
  EXPECT_TRUE(Field(E::Imei3).bEnabled);
  EXPECT_FALSE(Field(E::Imei4).bEnabled);
  EXPECT_EQ(window.View().focus, E::Imei1);

  // The rebuilt pool serves the next run.
  window.OnStart();
  ASSERT_TRUE(PumpUntil([&] { return LogHas("Please plugin a new phone and power on!", 2); }));
  EXPECT_EQ(Field(E::Imei1).strText, AppendImeiCheckDigit("35209900001000"));
  EXPECT_EQ(Field(E::Imei2).strText, AppendImeiCheckDigit("35209900001001"));
  window.OnStop();
  window.OnButtonSetup();
  EXPECT_EQ(m_host.nSetups, 3) << "idle again, Setup opens";
}

TEST_F(WriterWindowTest, ResetHistoryArchivesTheBaseFoldersHistories) {
  CTavloWindow& window = Open("");
  window.OnResetHistory();  // nothing in the data folder yet
  WriteFile("data/wimei.history", "2024-01-01_00:00:00\t352099001761481\n");
  m_app.pHistories->LoadAll();
  window.OnResetHistory();
  // The operator hears that the archived numbers come back after the restart.
  const std::string strDone =
      std::string(kMsgResetDone) + "\n" + kMsgRestartTool + "\n" + writer_text::kResetOffersAgain;
  EXPECT_EQ(m_host.boxes, (std::vector<std::string>{strDone, strDone}));
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(m_base.File("data")))
    left.push_back(e.path().filename().string());
  EXPECT_EQ(left, std::vector<std::string>{kStationLockFile}) << "the running copy keeps its lock";
  EXPECT_TRUE(m_app.pHistories->IsImeiUsed("352099001761481"));
}

TEST_F(WriterWindowTest, ExitSavesTheSettingsAsTheyStand) {
  CTavloWindow& window = Open("ISWIMEI=Yes\n");
  window.OnCheckPsn(true);
  window.OnCheckImeiVerify(false);
  window.OnClose();
  WriterSettings loaded;
  ASSERT_TRUE(LoadSettings(m_base.Path(), m_app.chips, &loaded));
  EXPECT_TRUE(loaded.m_bWritePsn);
  EXPECT_FALSE(loaded.m_bWriteImei);
  EXPECT_FALSE(loaded.m_bCheckImei);
  EXPECT_EQ(loaded.m_nMagicNumber, 0x12345678u);
  EXPECT_NE(ReadWholeFile(m_base.File("ini/wimei.ini")).find("MAGIC_NUMBER=0x12345678"),
            std::string::npos);
}

}  // namespace
