#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>

#include "pty_phone.h"
#include "tavlo/numbers/number_checks.h"
#include "tavlo/numbers/number_pool.h"

namespace {

const std::string kStamp = "2024-03-05_07:08:09";

TEST(ImeiCheckDigitTest, PublishedAndHandWorkedExamples) {
  const std::pair<const char*, char> cases[] = {
      {"49015420323751", '8'},                           // the usual textbook IMEI 49015420323751-8
      {"35209900176148", '1'},                           // 35-209900-176148-1
      {"00000000000000", '0'}, {"00000000000001", '8'},  // 1 doubled: sum 2
      {"00000000000002", '6'},                           // 2 doubled: sum 4
      {"00000000000005", '9'},                           // 5 doubled is 10, less 9: sum 1
  };
  for (auto [body, digit] : cases) {
    EXPECT_EQ(ImeiCheckDigit(body), digit) << body;
    EXPECT_EQ(AppendImeiCheckDigit(body), std::string(body) + digit);
    EXPECT_TRUE(IsImeiCheckDigitOk(std::string(body) + digit)) << body;
  }
}

TEST(NumberValidityTest, ImeiNeedsFifteenDigitsAndTheCheckDigitWhenAsked) {
  struct {
    const char* pszText;
    bool bDigits, bValidChecked, bValidUnchecked;
  } imeis[] = {
      {"490154203237518", true, true, true},    {"490154203237519", true, false, true},
      {"49015420323751", false, false, false},  {"4901542032375180", false, false, false},
      {"49015420323751a", false, false, false}, {"4901542032375 8", false, false, false},
  };
  for (const auto& c : imeis) {
    EXPECT_EQ(IsImeiDigits(c.pszText), c.bDigits) << c.pszText;
    EXPECT_EQ(IsValidImei(c.pszText, true), c.bValidChecked) << c.pszText;
    EXPECT_EQ(IsValidImei(c.pszText, false), c.bValidUnchecked) << c.pszText;
  }
}

TEST(SerialCounterTest, StepsAtAnyWidthUpToAllNines) {
  const std::pair<const char*, const char*> cases[] = {
      {"0", "1"},
      {"0999", "1000"},
      {"4294967295", "4294967296"},                      // past 32 bits
      {"18446744073709551615", "18446744073709551616"},  // past 64 bits
      {"99999999999999999998", "99999999999999999999"},
  };
  for (auto [from, to] : cases) {
    std::string counter = from;
    EXPECT_FALSE(IsAllNines(counter)) << from;
    ASSERT_TRUE(IncrementCounter(&counter)) << from;
    EXPECT_EQ(counter, to);
  }
  for (const char* end : {"", "9", "99999999999999999999"}) {
    std::string counter = end;
    EXPECT_TRUE(IsAllNines(counter));
    EXPECT_FALSE(IncrementCounter(&counter));
    EXPECT_EQ(counter, end);
  }
}

TEST(CheckInitAndMaskTest, FirstFailureGivesItsCodeAndMessage) {
  struct {
    const char *pszInit, *pszMask;
    bool bDigitsOnly;
    int n;
    int nCode;
    const char* pszMessage;
  } cases[] = {
      {"0000000000000", "**************", true, 14, kInitLengthWrong, kMsgInitLength},
      {"00000000000000", "***************", true, 14, kMaskLengthWrong, kMsgMaskLength},
      {"0000000000000a", "**************", true, 14, kNotDigits, kMsgInitDigits},
      {"00000000000000", "*************#", true, 14, kNotDigits, kMsgMaskChars},
      {"50000000000000", "**************", true, 14, kInitMaskMismatch, kMsgMaskChars},
      {"35000000000000", "34************", true, 14, kInitMaskMismatch, kMsgMaskChars},
      {"352099000000000", "352099*********", true, 15, kInitMaskOk, ""},
      {"AB00", "AB**", false, 4, kInitMaskOk, ""},
      {"AB00", "AC**", false, 4, kInitMaskMismatch, kMsgMaskChars},
      {"AB01", "AB**", false, 4, kInitMaskMismatch, kMsgMaskChars},
  };
  for (const auto& c : cases) {
    std::string message;
    EXPECT_EQ(CheckInitAndMask(c.pszInit, c.pszMask, c.bDigitsOnly, c.n, &message), c.nCode)
        << c.pszInit << " / " << c.pszMask;
    EXPECT_EQ(message, c.pszMessage) << c.pszInit << " / " << c.pszMask;
  }
}

class PoolTest : public ::testing::Test {
 protected:
  std::string ListFile(const std::string& text) {
    const std::string path = m_dir.File("list.txt");
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  void Record(HistoryKind kind, const std::string& number) {
    ASSERT_TRUE(m_histories.AppendHistory(kind, number, kStamp));
  }
  CTempDir m_dir;
  CWriteHistories m_histories{m_dir.Path()};
  CNumberSources m_sources{m_histories};
  WriterSettings m_settings;
};

TEST_F(PoolTest, ImeiListKeepsDigitLinesInFileOrder) {
  m_settings.m_nImeiInputType = INPUT_FROM_FILE;
  m_settings.m_strImeiFile = ListFile(
      "#90154203237518\n"
      "490154203237518,first batch\r\n"
      "12345678901234\n"   // 14 digits
      "12345678901234x\n"  // a letter
      "352099001761481\n"
      "490154203237518\n"  // duplicate kept
      "111111111111111");  // no line break, no check digit test
  Record(HistoryKind::Imei, "490154203237518");
  m_sources.LoadImeiPool(m_settings);
  EXPECT_EQ(m_sources.GetUnusedImei(false), "352099001761481");
  Record(HistoryKind::Imei, "352099001761481");
  EXPECT_EQ(m_sources.GetUnusedImei(true), "None") << "no check digit: skipped under CHECK_IMEI";
  EXPECT_EQ(m_sources.GetUnusedImei(false), "111111111111111");
  Record(HistoryKind::Imei, "111111111111111");
  EXPECT_EQ(m_sources.GetUnusedImei(false), "None");
}

TEST_F(PoolTest, MbsnListLinesNeedTheExactLengthWithoutTheirLineEnd) {
  m_settings.m_nMbsnInputType = INPUT_FROM_FILE;
  m_settings.m_nMbsnLength = 4;
  m_settings.m_strMbsnFile = ListFile("#AB1\nAB1\r\nAB12\r\nab 3 and more\n");
  m_sources.LoadMbsnPool(m_settings);
  EXPECT_EQ(m_sources.GetUnusedMbsn(), "AB12");
  Record(HistoryKind::Mbsn, "AB12");
  EXPECT_EQ(m_sources.GetUnusedMbsn(), "ab 3");
  Record(HistoryKind::Mbsn, "ab 3");
  EXPECT_EQ(m_sources.GetUnusedMbsn(), "None");

  m_settings.m_strMbsnFile = m_dir.File("vanished.txt");
  m_sources.LoadMbsnPool(m_settings);
  EXPECT_EQ(m_sources.GetUnusedMbsn(), "None");
}

// A tab or a line break inside a number would split the history and spool
// lines it is kept in: refused in a list line as in a typed number.
TEST_F(PoolTest, SerialNumbersHoldingATabOrALineBreakAreRefused) {
  m_settings.m_nPsnInputType = INPUT_FROM_FILE;
  m_settings.m_nPsnLength = 4;
  m_settings.m_strPsnFile = ListFile("P\t12\nP\r12\nP123\ttail\n");
  m_sources.LoadPsnPool(m_settings);
  EXPECT_EQ(m_sources.GetUnusedPsn(), "P123") << "what follows the number is no part of it";
  for (const char* psz : {"AB\t1", "AB\r1", "AB\n1"}) EXPECT_FALSE(IsValidMbsn(psz, 4)) << psz;
  EXPECT_TRUE(IsValidPsn("AB 1", 4));
}

TEST_F(PoolTest, RangeDrawsInAscendingOrderSkippingHistoryUntilNone) {
  m_settings.m_nImeiInputType = INPUT_CUSTOM;
  m_settings.m_strImeiInit15 = "352099001761480";
  m_settings.m_strImeiMask15 = "35209900176148*";
  Record(HistoryKind::Imei, "352099001761480");
  Record(HistoryKind::Imei, "352099001761482");
  m_sources.LoadImeiPool(m_settings);
  std::vector<std::string> drawn;
  for (std::string imei = m_sources.GetUnusedImei(false); imei != "None";
       imei = m_sources.GetUnusedImei(false)) {
    drawn.push_back(imei);
    Record(HistoryKind::Imei, imei);
  }
  const std::vector<std::string> expected = {
      "352099001761481", "352099001761483", "352099001761484", "352099001761485",
      "352099001761486", "352099001761487", "352099001761488", "352099001761489"};
  EXPECT_EQ(drawn, expected);
}

TEST_F(PoolTest, FourteenDigitRangeAppendsTheCheckDigit) {
  m_settings.m_nImeiInputType = INPUT_CUSTOM;
  m_settings.m_bImei14Digits = true;
  m_settings.m_strImeiInit14 = "00000000000000";
  m_settings.m_strImeiMask14 = "000000000000**";
  m_sources.LoadImeiPool(m_settings);
  const char* expected[] = {"000000000000000", "000000000000018", "000000000000026"};
  for (const char* imei : expected) {
    EXPECT_EQ(m_sources.GetUnusedImei(true), imei);
    Record(HistoryKind::Imei, imei);
  }
}

TEST_F(PoolTest, MaskWithoutStarsHoldsOneNumber) {
  m_settings.m_nPsnInputType = INPUT_CUSTOM;
  m_settings.m_nPsnLength = 5;
  m_settings.m_strPsnInit = m_settings.m_strPsnMask = "PSN42";
  m_sources.LoadPsnPool(m_settings);
  EXPECT_EQ(m_sources.GetUnusedPsn(), "PSN42");
  EXPECT_EQ(m_sources.GetUnusedPsn(), "PSN42") << "a draw reserves nothing";
  Record(HistoryKind::Psn, "PSN42");
  EXPECT_EQ(m_sources.GetUnusedPsn(), "None");
  m_sources.LoadPsnPool(m_settings);
  EXPECT_EQ(m_sources.GetUnusedPsn(), "None");
}

TEST_F(PoolTest, AllStarDefaultMasksDrawAtOnce) {
  m_settings.m_nImeiInputType = m_settings.m_nMbsnInputType = m_settings.m_nPsnInputType =
      INPUT_CUSTOM;
  for (bool b14 : {false, true}) {
    m_settings.m_bImei14Digits = b14;
    m_sources.LoadPools(m_settings);
    EXPECT_EQ(m_sources.GetUnusedImei(true), "000000000000000");
  }
  EXPECT_EQ(m_sources.GetUnusedMbsn(), "0000000000000000");
  EXPECT_EQ(m_sources.GetUnusedPsn(), "00000000000000000000");

  Record(HistoryKind::Imei, "000000000000000");
  m_sources.AddImeiInUse("000000000000018");
  m_sources.AddImeiInUse("000000000000026");
  EXPECT_EQ(m_sources.GetUnusedImei(true), "000000000000034") << "skips the phone's other slots";
  m_sources.ClearImeisInUse();
  EXPECT_EQ(m_sources.GetUnusedImei(true), "000000000000018") << "in-use entries are free again";

  Record(HistoryKind::Psn, "00000000000000000000");
  Record(HistoryKind::Psn, "00000000000000000002");
  EXPECT_EQ(m_sources.GetUnusedPsn(), "00000000000000000001");
  Record(HistoryKind::Psn, "00000000000000000001");
  EXPECT_EQ(m_sources.GetUnusedPsn(), "00000000000000000003");
}

TEST_F(PoolTest, RangeOverAHistoryOfRunsAndGapsDrawsWhatAWalkWould) {
  // Runs of used numbers of every length, single gaps, the range's last
  // number, and history lines that only resemble range numbers.
  std::mt19937 random(7);
  std::set<int> used;
  for (int n = 0; n < 1000;) {
    const int nRun = static_cast<int>(random() % 40);
    for (int k = 0; k < nRun && n < 1000; ++k) used.insert(n++);
    n += 1 + static_cast<int>(random() % 3);
  }
  for (int n = 990; n < 1000; ++n) used.insert(n);
  auto serial = [](int n) {
    char text[8];
    std::snprintf(text, sizeof text, "SN%03d", n);
    return std::string(text);
  };
  for (int n : used) Record(HistoryKind::Mbsn, serial(n));
  for (const char* lookalike : {"XN005", "SN0a1", "SN12", "SN0123"}) {
    Record(HistoryKind::Mbsn, lookalike);
  }
  m_settings.m_nMbsnInputType = INPUT_CUSTOM;
  m_settings.m_nMbsnLength = 5;
  m_settings.m_strMbsnInit = "SN000";
  m_settings.m_strMbsnMask = "SN***";
  m_sources.LoadMbsnPool(m_settings);

  int nDraws = 0;
  for (int n = 0; n < 1000; ++n) {
    if (used.count(n)) continue;
    ASSERT_EQ(m_sources.GetUnusedMbsn(), serial(n));
    // Every third number is written in a gap out of order, as a typed
    // number would be, after the pool was built.
    if (++nDraws % 3 == 0) {
      const auto gap = std::find_if(used.begin(), used.end(), [&](int u) { return u > n + 1; });
      if (gap != used.end() && !used.count(*gap - 1)) {
        used.insert(*gap - 1);
        Record(HistoryKind::Mbsn, serial(*gap - 1));
      }
    }
    Record(HistoryKind::Mbsn, serial(n));
  }
  EXPECT_EQ(m_sources.GetUnusedMbsn(), "None");
}

TEST_F(PoolTest, HistoryNumbersWithAWrongCheckDigitLeaveTheRangeNumberFree) {
  Record(HistoryKind::Imei, "000000000000000");
  Record(HistoryKind::Imei, "000000000000019");  // body 01, check digit 8 expected
  m_settings.m_nImeiInputType = INPUT_CUSTOM;
  m_settings.m_bImei14Digits = true;
  m_settings.m_strImeiInit14 = "00000000000000";
  m_settings.m_strImeiMask14 = "000000000000**";
  m_sources.LoadImeiPool(m_settings);
  EXPECT_EQ(m_sources.GetUnusedImei(true), "000000000000018");
}

// Under CHECK_IMEI a 15-digit range hands out only the numbers that pass
// their check, in ascending order, past used runs from before the build and
// numbers written in gaps after it; unticked, every number again.
TEST_F(PoolTest, FifteenDigitRangeUnderCheckImeiDrawsOnlyNumbersThatPass) {
  struct {
    const char* pszInit;
    const char* pszMask;
  } ranges[] = {
      {"352099001760000", "35209900176****"},  // the last digit is a star
      {"352099001760004", "35209900176***4"},  // the last digit is fixed
  };
  for (const auto& r : ranges) {
    SCOPED_TRACE(r.pszMask);
    CTempDir dir;
    CWriteHistories histories(dir.Path());
    CNumberSources sources(histories);
    std::string mask = r.pszMask;
    const int nStars = static_cast<int>(std::count(mask.begin(), mask.end(), '*'));
    int nCounters = 1;
    for (int i = 0; i < nStars; ++i) nCounters *= 10;
    std::vector<std::string> passing;  // what a plain walk would find, in order
    for (int n = 0; n < nCounters; ++n) {
      // The counter's digits fill the stars left to right.
      const std::string counter = std::to_string(nCounters + n).substr(1);
      std::string imei = r.pszInit;
      for (size_t i = 0, d = 0; i < mask.size(); ++i) {
        if (mask[i] == '*') imei[i] = counter[d++];
      }
      if (IsImeiCheckDigitOk(imei)) passing.push_back(imei);
    }
    ASSERT_EQ(passing.size(), static_cast<size_t>(nCounters / 10)) << "one per prefix";
    std::mt19937 random(11);
    std::set<std::string> used;
    for (size_t n = 0; n < passing.size();) {
      const size_t nRun = random() % 30;
      for (size_t k = 0; k < nRun && n < passing.size(); ++k) used.insert(passing[n++]);
      n += 1 + random() % 3;
    }
    // Numbers that fail their check in the history change nothing.
    std::string failing = passing[1];
    failing.back() = failing.back() == '9' ? '0' : failing.back() + 1;
    std::filesystem::create_directories(dir.File("data"));
    std::ofstream file(dir.File("data/wimei.history"));
    for (const std::string& imei : used) file << kStamp << '\t' << imei << '\n';
    file << kStamp << '\t' << failing << '\n';
    file.close();
    histories.LoadAll();

    WriterSettings settings;
    settings.m_nImeiInputType = INPUT_CUSTOM;
    settings.m_strImeiInit15 = r.pszInit;
    settings.m_strImeiMask15 = mask;
    sources.LoadImeiPool(settings);
    size_t nDraws = 0;
    for (const std::string& imei : passing) {
      if (used.count(imei)) continue;
      ASSERT_EQ(sources.GetUnusedImei(true), imei);
      if (++nDraws == 5) {
        // Unticked for one draw: the range's first free number, whatever its check.
        const std::string unchecked = sources.GetUnusedImei(false);
        EXPECT_FALSE(IsImeiCheckDigitOk(unchecked)) << unchecked;
        EXPECT_LT(unchecked, imei);
      }
      ASSERT_TRUE(histories.AppendHistory(HistoryKind::Imei, imei, kStamp));
    }
    EXPECT_EQ(sources.GetUnusedImei(true), "None");
  }

  // A mask without stars: its one number, only when it passes.
  m_settings.m_nImeiInputType = INPUT_CUSTOM;
  m_settings.m_strImeiInit15 = m_settings.m_strImeiMask15 = "352099001761482";
  m_sources.LoadImeiPool(m_settings);
  EXPECT_EQ(m_sources.GetUnusedImei(true), "None");
  EXPECT_EQ(m_sources.GetUnusedImei(false), "352099001761482");
}

TEST_F(PoolTest, ManualInputKeepsThePoolAndABadRangeEmptiesIt) {
  m_settings.m_nMbsnInputType = INPUT_CUSTOM;
  m_sources.LoadMbsnPool(m_settings);
  m_settings.m_nMbsnInputType = INPUT_MANUAL;
  m_sources.LoadMbsnPool(m_settings);
  EXPECT_EQ(m_sources.GetUnusedMbsn(), "0000000000000000");

  m_settings.m_nMbsnInputType = INPUT_CUSTOM;
  m_settings.m_strMbsnInit = "000";  // hand-edited: shorter than MBSNLEN
  m_sources.LoadMbsnPool(m_settings);
  EXPECT_EQ(m_sources.GetUnusedMbsn(), "None");
}

}  // namespace
