#include <gtest/gtest.h>

#include <string>

#include "allocation_probe.h"
#include "hostile_files.h"
#include "pty_phone.h"
#include "tavlo/numbers/number_checks.h"
#include "tavlo/numbers/number_pool.h"
#include "tavlo/settings/write_history.h"

namespace {

constexpr size_t kMegabyte = 1024 * 1024;
const std::string kStamp = "2024-03-05_07:08:09";

bool IsImeiLine(const std::string& s, int) {
  return IsImeiDigits(s);
}

// "0123456789" repeated: a piece that starts at offset k begins with digit k % 10.
std::string Digits(size_t nLength, size_t nFrom = 0) {
  std::string s(nLength, '0');
  for (size_t i = 0; i < nLength; ++i) s[i] = static_cast<char>('0' + (nFrom + i) % 10);
  return s;
}

class HostileHistoryTest : public ::testing::Test {
 protected:
  std::vector<HistoryEntry> Load(const std::string& strBytes) {
    WriteBytes(m_dir.File("data/wimei.history"), strBytes);
    CWriteHistory history(m_dir.File("data/wimei.history"));
    history.Load();
    return history.Entries();
  }
  CTempDir m_dir;
};

TEST_F(HostileHistoryTest, OverlongLinesAreSkippedWholeAndNeverHeld) {
  // The longest line the writer writes: a 254-character serial number and CR LF.
  const std::string strLongest = std::string(254, 'P');
  const std::string strAtLimit = std::string(1024 - 20, 'L');
  WriteBytes(m_dir.File("data/wimei.history"),
             kStamp + "\t352099001761481\n" +                          // kept
                 kStamp + "\t" + std::string(kMegabyte, '7') + "\n" +  // 1 MB: skipped
                 kStamp + "\t" + strLongest + "\r\n" +                 // kept whole
                 kStamp + "\t" + strAtLimit + "\n" +                   // 1024 characters: kept
                 kStamp + "\t" + strAtLimit + "X\n" +                  // 1025: skipped
                 kStamp + "\t490154203237518");                        // kept
  CWriteHistory history(m_dir.File("data/wimei.history"));
  {
    const CAllocationProbe probe;
    history.Load();
    EXPECT_LT(probe.LargestBlock(), 64 * 1024) << "a 1 MB line was held whole";
  }
  const std::vector<HistoryEntry> entries = history.Entries();
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].m_strNumber, "352099001761481");
  EXPECT_EQ(entries[1].m_strNumber, strLongest);
  EXPECT_EQ(entries[2].m_strNumber, strAtLimit);
  EXPECT_EQ(entries[3].m_strNumber, "490154203237518");
  for (const HistoryEntry& entry : entries) EXPECT_EQ(entry.m_strTime, kStamp);
}

TEST_F(HostileHistoryTest, BinaryGarbageLoadsOnlyWhatItsLinesHold) {
  const std::string strGarbage = Garbage(512 * 1024, 11);
  size_t nLines = 0;
  for (char c : strGarbage) nLines += c == '\n';
  const std::vector<HistoryEntry> entries = Load(strGarbage);
  EXPECT_LE(entries.size(), nLines + 1);
  EXPECT_FALSE(entries.empty()) << "noise has lines of 20 to 1024 characters";
  for (const HistoryEntry& entry : entries) {
    EXPECT_EQ(entry.m_strTime.size(), 19u);
    EXPECT_NE(entry.m_strTime[0], '#');
    EXPECT_EQ(entry.m_strNumber.find('\n'), std::string::npos);
  }
}

TEST_F(HostileHistoryTest, NonUtf8BaseFolderKeepsItsHistory) {
  const std::string strBase = m_dir.File(kNonUtf8Name);
  CWriteHistories histories(strBase);
  std::string strError;
  ASSERT_TRUE(histories.AppendHistory(HistoryKind::Psn, "PSN\xFF\x80", kStamp, &strError))
      << strError;
  CWriteHistories reloaded(strBase);
  reloaded.LoadAll();
  EXPECT_TRUE(reloaded.IsPsnUsed("PSN\xFF\x80"));
}

class HostileListTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& strBytes, const std::string& strName = "list.txt") {
    WriteBytes(m_dir.File(strName), strBytes);
    return m_dir.File(strName);
  }
  CTempDir m_dir;
};

TEST_F(HostileListTest, OneMegabyteLineIsReadInPiecesOf254Characters) {
  const std::string strPath =
      Write("352099001761481\n" + Digits(kMegabyte) + "\n490154203237518\n");
  std::vector<std::string> imeis;
  {
    const CAllocationProbe probe;
    imeis = ReadNumberList(strPath, kImeiLength, IsImeiLine, 0);
    EXPECT_LT(probe.LargestBlock(), kMegabyte / 2) << "the line was held whole";
  }
  // Each piece is a line of its own, cut after 15 characters.
  const size_t nPieces = (kMegabyte + kMaxListLine - 1) / kMaxListLine;
  ASSERT_EQ(imeis.size(), nPieces + 2);
  EXPECT_EQ(imeis.front(), "352099001761481");
  for (size_t k = 0; k < nPieces; ++k) {
    ASSERT_EQ(imeis[k + 1], Digits(kImeiLength, k * kMaxListLine)) << k;
  }
  EXPECT_EQ(imeis.back(), "490154203237518");
}

TEST_F(HostileListTest, LinesAroundThePieceLengthAreJudgedAsTheyWereRead) {
  const std::string strPath = Write(std::string(kMaxListLine, 'M') + "\r\n" +    // one line
                                    std::string(kMaxListLine + 1, 'N') + "\n" +  // a line and "N"
                                    std::string(kMaxListLine - 1, 'O') + "\n");
  const auto serials = ReadNumberList(strPath, kMaxListLine, IsValidMbsn, kMaxListLine);
  EXPECT_EQ(serials, (std::vector<std::string>{std::string(kMaxListLine, 'M'),
                                               std::string(kMaxListLine, 'N')}));
  const auto singles = ReadNumberList(strPath, 1, IsValidMbsn, 1);
  EXPECT_EQ(singles, (std::vector<std::string>{"M", "N", "N", "O"}));
}

TEST_F(HostileListTest, BinaryGarbageKeepsOnlyValidNumbers) {
  std::string strGarbage = Garbage(512 * 1024, 5);
  strGarbage += "\n352099001761481\n";
  const std::string strPath = Write(strGarbage);
  const auto imeis = ReadNumberList(strPath, kImeiLength, IsImeiLine, 0);
  ASSERT_FALSE(imeis.empty());
  for (const std::string& strImei : imeis) EXPECT_TRUE(IsImeiDigits(strImei)) << strImei;
  EXPECT_EQ(imeis.back(), "352099001761481");
  for (const std::string& strSerial : ReadNumberList(strPath, 16, IsValidMbsn, 16)) {
    EXPECT_EQ(strSerial.size(), 16u);
    EXPECT_NE(strSerial[0], '#');
  }
}

TEST_F(HostileListTest, NonUtf8PathsAndNumbersAreRead) {
  const std::string strPath = Write("\xC3(\xFF\x80MBSN\n352099001761481\n", kNonUtf8Name + ".txt");
  EXPECT_EQ(ReadNumberList(strPath, 8, IsValidMbsn, 8),
            (std::vector<std::string>{"\xC3(\xFF\x80MBSN", "35209900"}));
  EXPECT_EQ(ReadNumberList(strPath, kImeiLength, IsImeiLine, 0),
            (std::vector<std::string>{"352099001761481"}));
}

}  // namespace
