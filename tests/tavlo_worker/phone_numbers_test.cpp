// Which numbers a phone receives, the refusals, and recording them.

#include "tavlo/numbers/phone_numbers.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "pty_phone.h"
#include "recording_writer_ui.h"
#include "tavlo/numbers/number_checks.h"

namespace {

const std::string kA = AppendImeiCheckDigit("35209900176148");
const std::string kB = AppendImeiCheckDigit("35209900176149");
const std::string kC = AppendImeiCheckDigit("35209900176150");

class PhoneNumbersTest : public ::testing::Test {
 protected:
  void WriteList(const std::string& strName, const std::vector<std::string>& lines) {
    std::ofstream out(m_dir.File(strName));
    for (const std::string& s : lines) out << s << "\n";
  }
  // IMEIs from a list file holding A, B, C, with A already written.
  void UseImeiList(int nCount, bool bAllSame) {
    WriteList("imei.txt", {kA, kB, kC});
    m_settings.m_bWriteImei = true;
    m_settings.m_nImeiCount = nCount;
    m_settings.m_bImeiAllSame = bAllSame;
    m_settings.m_nImeiInputType = INPUT_FROM_FILE;
    m_settings.m_strImeiFile = m_dir.File("imei.txt");
    ASSERT_TRUE(m_histories.AppendHistory(HistoryKind::Imei, kA, "2024-01-01_00:00:00"));
    m_sources.LoadPools(m_settings);
  }
  std::vector<std::string> HistoryNumbers(HistoryKind eKind) const {
    std::vector<std::string> v;
    for (const HistoryEntry& e : m_histories.Of(eKind).Entries()) v.push_back(e.m_strNumber);
    return v;
  }

  CTempDir m_dir;
  WriterSettings m_settings;
  CWriteHistories m_histories{m_dir.Path()};
  CNumberSources m_sources{m_histories};
  CRecordingWriterUi m_ui;
  CPhoneNumbers m_numbers{m_settings, m_sources, m_histories, m_ui};
  std::atomic<bool> m_bBusy{true};
};

TEST_F(PhoneNumbersTest, ListRunDrawsUnusedImeisAndRecordsThemUnderOneStamp) {
  struct {
    bool bAllSame;
    std::array<std::string, 4> imeis;
    std::vector<std::string> recorded;
  } cases[] = {
      {false, {kB, kC, kB, kB}, {kA, kB, kC}},
      {true, {kB, kB, kB, kB}, {kA, kB, kB}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bAllSame);
    CTempDir dir;
    WriterSettings settings;
    CWriteHistories histories(dir.Path());
    CNumberSources sources(histories);
    CRecordingWriterUi ui;
    CPhoneNumbers numbers(settings, sources, histories, ui);
    std::ofstream(dir.File("imei.txt")) << kA << "\n" << kB << "\n" << kC << "\n";
    settings.m_bWriteImei = true;
    settings.m_nImeiCount = 2;
    settings.m_bImeiAllSame = c.bAllSame;
    settings.m_nImeiInputType = INPUT_FROM_FILE;
    settings.m_strImeiFile = dir.File("imei.txt");
    ASSERT_TRUE(histories.AppendHistory(HistoryKind::Imei, kA, "2024-01-01_00:00:00"));
    sources.LoadPools(settings);

    ASSERT_EQ(numbers.PrepareNumbers(&m_bBusy), EPrepareResult::Ready);
    EXPECT_EQ(numbers.Numbers().m_strImei, c.imeis);
    EXPECT_EQ(ui.m_fields[ENumberField::Imei1], c.imeis[0]);
    EXPECT_EQ(ui.m_fields[ENumberField::Imei2], c.imeis[1]);
    EXPECT_TRUE(ui.m_fields[ENumberField::Imei3].empty());  // slots above the count stay hidden
    ASSERT_TRUE(numbers.RecordNumbers());
    const std::vector<HistoryEntry> entries = histories.ImeiHistory().Entries();
    std::vector<std::string> recorded;
    for (const HistoryEntry& e : entries) recorded.push_back(e.m_strNumber);
    EXPECT_EQ(recorded, c.recorded);
    EXPECT_EQ(entries[1].m_strTime, entries[2].m_strTime);
    EXPECT_EQ(entries[1].m_strTime.size(), 19u);
    // The lines reached the file too.
    const std::string strFile = ReadWholeFile(histories.ImeiHistory().Path());
    EXPECT_NE(strFile.find(entries[2].m_strTime + "\t" + c.imeis[1]), std::string::npos);
  }
}

TEST_F(PhoneNumbersTest, ExhaustedImeiPoolNamesTheSlotAndLeavesTheNumberFree) {
  UseImeiList(3, false);
  std::ofstream(m_dir.File("imei.txt")) << kA << "\n" << kB << "\n";
  m_sources.LoadPools(m_settings);

  EXPECT_EQ(m_numbers.PrepareNumbers(&m_bBusy), EPrepareResult::Exhausted);
  EXPECT_TRUE(m_ui.HasLine("There were no unused IMEI now 2!", kLogError));
  EXPECT_EQ(m_ui.m_messages, std::vector<std::string>{kMsgNoImei});
  EXPECT_EQ(HistoryNumbers(HistoryKind::Imei), std::vector<std::string>{kA});
  EXPECT_TRUE(m_bBusy);  // the worker's failure path ends the run

  // The window empties pool-fed fields at Start: B is offered again.
  m_ui.m_fields.clear();
  m_settings.m_nImeiCount = 1;
  ASSERT_EQ(m_numbers.PrepareNumbers(&m_bBusy), EPrepareResult::Ready);
  EXPECT_EQ(m_numbers.Numbers().m_strImei[0], kB);
}

TEST_F(PhoneNumbersTest, ExhaustedSerialPoolsLogTheirLineAndMessage) {
  struct {
    bool WriterSettings::*pbWrite;
    InputType WriterSettings::*peType;
    const char* pszLine;
    const char* pszMessage;
  } cases[] = {
      {&WriterSettings::m_bWriteMbsn, &WriterSettings::m_nMbsnInputType,
       "There were no unused MBSN now!", kMsgNoMbsn},
      {&WriterSettings::m_bWritePsn, &WriterSettings::m_nPsnInputType,
       "There were no unused PSN now!", kMsgNoPsn},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pszLine);
    WriterSettings settings;
    CRecordingWriterUi ui;
    CPhoneNumbers numbers(settings, m_sources, m_histories, ui);
    settings.*c.pbWrite = true;
    settings.*c.peType = INPUT_FROM_FILE;  // the pools were never loaded: empty
    EXPECT_EQ(numbers.PrepareNumbers(&m_bBusy), EPrepareResult::Exhausted);
    EXPECT_EQ(ui.m_log, (std::vector<std::pair<std::string, int>>{{c.pszLine, kLogError}}));
    EXPECT_EQ(ui.m_messages, std::vector<std::string>{c.pszMessage});
  }
}

TEST_F(PhoneNumbersTest, InvalidTypedNumbersAreRefusedWithTheirFieldSelected) {
  const std::string kMbsn16 = "ABCDEFGH12345678";
  const std::string kPsn20 = "PSN00000000000000001";
  struct {
    const char* pszWhat;
    int nCount;
    std::map<ENumberField, std::string> fields;
    ENumberField eFocus;
    const char* pszMessage;
  } cases[] = {
      {"wrong check digit",
       1,
       {{ENumberField::Imei1, kA.substr(0, 14) + (kA[14] == '9' ? "0" : "9")},
        {ENumberField::Mbsn, kMbsn16},
        {ENumberField::Psn, kPsn20}},
       ENumberField::Imei1,
       kMsgBadImei},
      {"enabled second field empty",
       2,
       {{ENumberField::Imei1, kA}, {ENumberField::Mbsn, kMbsn16}, {ENumberField::Psn, kPsn20}},
       ENumberField::Imei2,
       kMsgBadImei},
      {"MBSN one short",
       1,
       {{ENumberField::Imei1, kA},
        {ENumberField::Mbsn, kMbsn16.substr(1)},
        {ENumberField::Psn, kPsn20}},
       ENumberField::Mbsn,
       kMsgBadMbsn},
      {"PSN one long",
       1,
       {{ENumberField::Imei1, kA},
        {ENumberField::Mbsn, kMbsn16},
        {ENumberField::Psn, kPsn20 + "1"}},
       ENumberField::Psn,
       kMsgBadPsn},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pszWhat);
    WriterSettings settings;
    settings.m_bWriteImei = settings.m_bWriteMbsn = settings.m_bWritePsn = true;
    settings.m_nImeiCount = c.nCount;
    CRecordingWriterUi ui;
    ui.m_fields = c.fields;
    CPhoneNumbers numbers(settings, m_sources, m_histories, ui);
    std::atomic<bool> bBusy{true};
    EXPECT_EQ(numbers.PrepareNumbers(&bBusy), EPrepareResult::Refused);
    EXPECT_EQ(ui.m_focused, std::vector<ENumberField>{c.eFocus});
    EXPECT_EQ(ui.m_messages, std::vector<std::string>{c.pszMessage});
    EXPECT_FALSE(bBusy);
    EXPECT_EQ(ui.m_notify, std::vector<int>{kNotifyRunOver});
    EXPECT_TRUE(ui.m_log.empty());
    EXPECT_TRUE(ui.m_states.empty());
  }
}

TEST_F(PhoneNumbersTest, TypedSingleImeiFillsEverySlotAndSkipsSlotsAboveTheSimCount) {
  m_settings.m_bWriteImei = true;
  m_settings.m_nImeiCount = 1;
  m_ui.m_fields = {{ENumberField::Imei1, kA}, {ENumberField::Imei2, "junk"}};
  ASSERT_EQ(m_numbers.PrepareNumbers(&m_bBusy), EPrepareResult::Ready);
  EXPECT_EQ(m_numbers.Numbers().m_strImei, (std::array<std::string, 4>{kA, kA, kA, kA}));
  ASSERT_TRUE(m_numbers.RecordNumbers());
  EXPECT_EQ(HistoryNumbers(HistoryKind::Imei), std::vector<std::string>{kA});
  m_numbers.NotifyTypedKinds();
  EXPECT_EQ(m_ui.m_notify, std::vector<int>{kNotifyImeiTyped});
}

TEST_F(PhoneNumbersTest, GeneratedImeisWithTypedMbsnNotifyClearAndThenRefuse) {
  m_settings.m_bWriteImei = m_settings.m_bWriteMbsn = true;
  m_settings.m_nImeiCount = 2;
  m_settings.m_nImeiInputType = INPUT_CUSTOM;
  m_settings.m_strImeiInit15 = "352099001761480";
  m_settings.m_strImeiMask15 = "35209900176148*";  // the last digit counts
  m_settings.m_bCheckImei = false;
  m_settings.m_nMbsnLength = 4;
  m_sources.LoadPools(m_settings);
  m_ui.m_fields[ENumberField::Mbsn] = "M001";

  ASSERT_EQ(m_numbers.PrepareNumbers(&m_bBusy), EPrepareResult::Ready);
  EXPECT_EQ(m_numbers.Numbers().m_strMbsn, "M001");
  EXPECT_NE(m_numbers.Numbers().m_strImei[0], m_numbers.Numbers().m_strImei[1]);
  ASSERT_TRUE(m_numbers.RecordNumbers());
  m_numbers.NotifyTypedKinds();
  EXPECT_EQ(m_ui.m_notify, std::vector<int>{kNotifyMbsnTyped});
  m_numbers.ClearNumberFields();
  for (ENumberField e : {ENumberField::Imei1, ENumberField::Imei2, ENumberField::Mbsn})
    EXPECT_TRUE(m_ui.m_fields[e].empty());
  EXPECT_EQ(HistoryNumbers(HistoryKind::Mbsn), std::vector<std::string>{"M001"});

  EXPECT_EQ(m_numbers.PrepareNumbers(&m_bBusy), EPrepareResult::Refused);
  EXPECT_EQ(m_ui.m_messages, std::vector<std::string>{kMsgBadMbsn});
}

TEST_F(PhoneNumbersTest, FailedAppendReportsFalseButKeepsEveryNumberUsed) {
  m_settings.m_bWriteImei = m_settings.m_bWriteMbsn = true;
  m_settings.m_nMbsnLength = 4;
  m_ui.m_fields = {{ENumberField::Imei1, kA}, {ENumberField::Mbsn, "M002"}};
  // The IMEI history's file is a folder: its line cannot be written.
  std::filesystem::create_directories(m_histories.ImeiHistory().Path());
  ASSERT_EQ(m_numbers.PrepareNumbers(&m_bBusy), EPrepareResult::Ready);
  std::string strError;
  EXPECT_FALSE(m_numbers.RecordNumbers(&strError));
  EXPECT_FALSE(strError.empty());
  EXPECT_TRUE(m_histories.IsImeiUsed(kA));
  // The other kinds were still recorded, on disk.
  EXPECT_TRUE(m_histories.IsMbsnUsed("M002"));
  EXPECT_NE(ReadWholeFile(m_histories.MbsnHistory().Path()).find("M002"), std::string::npos);
}

}  // namespace
