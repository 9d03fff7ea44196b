#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <tuple>
#include <vector>

#include "pty_phone.h"
#include "tavlo/settings/write_history.h"

namespace fs = std::filesystem;

namespace {

const std::string kStamp = "2024-03-05_07:08:09";

class HistoryTest : public ::testing::Test {
 protected:
  void WriteFile(const std::string& rel, const std::string& text) {
    fs::create_directories(fs::path(m_dir.File(rel)).parent_path());
    std::ofstream(m_dir.File(rel), std::ios::binary) << text;
  }
  CTempDir m_dir;
};

TEST(HistoryTimeTest, StampIsNineteenCharacters) {
  std::tm t{};
  std::tie(t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec) =
      std::tuple(124, 2, 5, 7, 8, 9);
  EXPECT_EQ(FormatHistoryTime(t), kStamp);
  EXPECT_EQ(HistoryTimeStamp().size(), 19u);
}

// The lookup index is sized at load and grows with appends; numbers that
// differ only in their last characters, repeated lines and prefixes of a
// used number must all be told apart on both sides of a growth.
TEST_F(HistoryTest, LookupHoldsThroughRepeatsAndGrowth) {
  std::string text;
  for (int n = 0; n < 3000; ++n) {
    text += kStamp + "\t3520990" + std::to_string(10000000 + n) + "\n";
    if (n % 7 == 0) text += kStamp + "\t3520990" + std::to_string(10000000 + n) + "\n";
  }
  WriteFile("data/wimei.history", text);
  CWriteHistories histories(m_dir.Path());
  histories.LoadAll();
  const CWriteHistory& history = histories.ImeiHistory();
  EXPECT_EQ(history.Entries().size(), 3000u + 429u) << "repeated lines stay entries";
  EXPECT_TRUE(history.Contains("352099010000000"));
  EXPECT_TRUE(history.Contains("352099010002999"));
  EXPECT_FALSE(history.Contains("352099010003000"));
  EXPECT_FALSE(history.Contains("35209901000000")) << "a prefix is another number";
  EXPECT_FALSE(history.Contains(""));
  // Enough appends to outgrow the table sized at load.
  std::vector<std::string> added;
  for (int n = 0; n < 800; ++n) added.push_back("X" + std::to_string(n));
  ASSERT_TRUE(histories.Of(HistoryKind::Imei).Reserve(added, kStamp));
  histories.LoadAll();  // a crash left them reserved: they are recorded
  EXPECT_TRUE(history.Contains("X0"));
  EXPECT_TRUE(history.Contains("X799"));
  EXPECT_TRUE(history.Contains("352099010001234"));
  EXPECT_FALSE(history.Contains("X800"));
  EXPECT_EQ(history.Entries().back().m_strNumber, "X799");
}

TEST_F(HistoryTest, LoadTakesLinesApartByPosition) {
  WriteFile("data/wimei.history",
            "# written by line 1\n"
            "2024-01-02_03:04:05\t352099001761481\r\n"
            "2024-01-02_03:04:06\n"                   // 19 characters: ignored
            "2024-01-02_03:04:07 490154203237518\n"   // any separator
            "#024-01-02_03:04:08\t111111111111111\n"  // comment
            "2024-01-02_03:04:09\t352099001761481\n"  // duplicate stays
            "2024-01-02_03:04:10\tA B C\n"
            "2024-01-02_03:04:11\t000000000000000");  // no final line break
  CWriteHistories histories(m_dir.Path());
  histories.LoadAll();
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"352099001761481", "2024-01-02_03:04:05"},
      {"490154203237518", "2024-01-02_03:04:07"},
      {"352099001761481", "2024-01-02_03:04:09"},
      {"A B C", "2024-01-02_03:04:10"},
      {"000000000000000", "2024-01-02_03:04:11"}};
  const std::vector<HistoryEntry> entries = histories.ImeiHistory().Entries();
  ASSERT_EQ(entries.size(), expected.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(entries[i].m_strNumber, expected[i].first) << i;
    EXPECT_EQ(entries[i].m_strTime, expected[i].second) << i;
  }
  EXPECT_TRUE(histories.IsImeiUsed("490154203237518"));
  EXPECT_FALSE(histories.IsImeiUsed("111111111111111"));
  EXPECT_FALSE(histories.IsImeiUsed("35209900176148")) << "whole numbers only";
  EXPECT_FALSE(histories.IsMbsnUsed("352099001761481")) << "kinds are separate";
}

TEST_F(HistoryTest, EveryKindCreatesTheDataFolderAndFileOnAppend) {
  const std::pair<HistoryKind, const char*> kinds[] = {{HistoryKind::Imei, "data/wimei.history"},
                                                       {HistoryKind::Mbsn, "data/wmbsn.history"},
                                                       {HistoryKind::Psn, "data/wpsn.history"}};
  for (auto [kind, file] : kinds) {
    fs::remove_all(m_dir.File("data"));
    CWriteHistories histories(m_dir.Path());
    std::string error;
    ASSERT_TRUE(histories.AppendHistory(kind, "N0001", kStamp, &error)) << file << ": " << error;
    ASSERT_TRUE(histories.AppendHistory(kind, "N0002", kStamp, &error)) << file << ": " << error;
    EXPECT_EQ(ReadWholeFile(m_dir.File(file)), kStamp + "\tN0001\n" + kStamp + "\tN0002\n");
    EXPECT_TRUE(histories.Of(kind).Contains("N0002"));

    CWriteHistories reloaded(m_dir.Path());
    reloaded.LoadHistory(kind);
    EXPECT_EQ(reloaded.Of(kind).Entries().size(), 2u) << file;
    EXPECT_TRUE(reloaded.Of(kind).Contains("N0001")) << file;
  }
}

TEST_F(HistoryTest, AppendDoesNotJoinALastLineWithoutItsBreak) {
  WriteFile("data/wpsn.history", kStamp + "\tFIRST");
  CWriteHistories histories(m_dir.Path());
  histories.LoadAll();
  ASSERT_TRUE(histories.AppendHistory(HistoryKind::Psn, "SECOND", kStamp));
  CWriteHistories reloaded(m_dir.Path());
  reloaded.LoadAll();
  EXPECT_TRUE(reloaded.IsPsnUsed("FIRST"));
  EXPECT_TRUE(reloaded.IsPsnUsed("SECOND"));
}

TEST_F(HistoryTest, FailedAppendReportsAndKeepsTheNumberUsed) {
  struct {
    const char* pszCase;
    std::function<void()> fnPrepare;
  } cases[] = {
      {"data is a file, the folder cannot be made", [&] { WriteFile("data", "x"); }},
      {"history is a folder", [&] { fs::create_directories(m_dir.File("data/wimei.history")); }},
#ifndef _WIN32
      {"a link in the history's place",
       [&] {
         fs::create_directories(m_dir.File("data"));
         fs::create_symlink("/dev/full", m_dir.File("data/wimei.history"));
       }},
#endif
  };
  for (const auto& c : cases) {
    fs::remove_all(m_dir.File("data"));
    c.fnPrepare();
    CWriteHistories histories(m_dir.Path());
    std::string error;
    EXPECT_FALSE(histories.AppendHistory(HistoryKind::Imei, "490154203237518", kStamp, &error))
        << c.pszCase;
    EXPECT_FALSE(error.empty()) << c.pszCase;
    EXPECT_TRUE(histories.IsImeiUsed("490154203237518")) << c.pszCase;
  }
}

// A link planted by another user of the machine is a POSIX station's risk;
// the Windows build opens its files as before.
#ifndef _WIN32
TEST_F(HistoryTest, LinksPlantedInTheStationFolderAreNeverWrittenThrough) {
  CTempDir outside;
  const std::string strVictim = outside.File("victim.txt");
  struct {
    const char* pszCase;
    std::function<void()> fnPlant;
    std::function<bool(CWriteHistories&)> fnWrite;
  } cases[] = {
      {"history", [&] { fs::create_symlink(strVictim, m_dir.File("data/wimei.history")); },
       [](CWriteHistories& h) {
         return h.AppendHistory(HistoryKind::Imei, "490154203237518", kStamp);
       }},
      {"reservation",
       [&] { fs::create_symlink(strVictim, m_dir.File("data/wmbsn.history.pending")); },
       [](CWriteHistories& h) { return h.Of(HistoryKind::Mbsn).Reserve({"MBSN1"}, kStamp); }},
      {"data folder",
       [&] {
         fs::remove(m_dir.File("data"));
         fs::create_directory_symlink(outside.Path(), m_dir.File("data"));
       },
       [](CWriteHistories& h) { return h.AppendHistory(HistoryKind::Psn, "PSN1", kStamp); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pszCase);
    fs::remove_all(m_dir.File("data"));
    fs::create_directories(m_dir.File("data"));
    std::ofstream(strVictim) << "keep\n";
    c.fnPlant();
    CWriteHistories histories(m_dir.Path());
    ASSERT_EQ(histories.Of(HistoryKind::Mbsn).PendingPath(),
              m_dir.File("data/wmbsn.history.pending"));
    EXPECT_FALSE(c.fnWrite(histories));
    EXPECT_EQ(ReadWholeFile(strVictim), "keep\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(outside.Path()), fs::directory_iterator()), 1);
  }
}
#endif

TEST_F(HistoryTest, AppendToAReadOnlyFileFails) {
  WriteFile("data/wmbsn.history", kStamp + "\tOLD\n");
  chmod(m_dir.File("data/wmbsn.history").c_str(), 0444);
  // Root writes through file modes; the append runs in a child that gives up root.
  chmod(m_dir.Path().c_str(), 0755);
  EXPECT_EXIT(
      {
        if (geteuid() == 0 && setuid(65534) != 0) _exit(3);
        CWriteHistories histories(m_dir.Path());
        std::string error;
        const bool bOk = histories.AppendHistory(HistoryKind::Mbsn, "NEW", kStamp, &error);
        _exit(!bOk && !error.empty() && histories.IsMbsnUsed("NEW") ? 7 : 1);
      },
      ::testing::ExitedWithCode(7), "");
  EXPECT_EQ(ReadWholeFile(m_dir.File("data/wmbsn.history")), kStamp + "\tOLD\n");
}

TEST_F(HistoryTest, ResetArchivesTheDataFolderButKeepsTheLoadedLists) {
  CWriteHistories none(m_dir.Path());
  EXPECT_TRUE(none.ResetHistory()) << "no data folder is no failure";

  WriteFile("data/wimei.history", kStamp + "\t490154203237518\n");
  WriteFile("data/old/nested/file.txt", "x");
  CWriteHistories histories(m_dir.Path());
  histories.LoadAll();
  ASSERT_TRUE(histories.IsImeiUsed("490154203237518"));

  std::string error;
  ASSERT_TRUE(histories.ResetHistory(&error)) << error;
  EXPECT_TRUE(fs::is_directory(m_dir.File("data")));
  EXPECT_TRUE(fs::is_empty(m_dir.File("data")));
  EXPECT_TRUE(histories.IsImeiUsed("490154203237518")) << "still refused until restart";
  // The old files moved, whole, into one dated folder beside "data".
  std::vector<fs::path> archives;
  for (const auto& e : fs::directory_iterator(m_dir.Path())) {
    if (e.path().filename().string().rfind("data_reset_", 0) == 0) archives.push_back(e.path());
  }
  ASSERT_EQ(archives.size(), 1u);
  EXPECT_EQ(ReadWholeFile((archives[0] / "wimei.history").string()),
            kStamp + "\t490154203237518\n");
  EXPECT_EQ(ReadWholeFile((archives[0] / "old/nested/file.txt").string()), "x");
  EXPECT_EQ(archives[0].filename().string().find(':'), std::string::npos);

  // A second reset in the same second gets a folder of its own.
  WriteFile("data/wimei.history", kStamp + "\t490154203237519\n");
  ASSERT_TRUE(histories.ResetHistory(&error)) << error;
  ASSERT_TRUE(histories.ResetHistory(&error)) << "an empty data folder has nothing to move";
  int nArchives = 0;
  for (const auto& e : fs::directory_iterator(m_dir.Path())) {
    nArchives += e.path().filename().string().rfind("data_reset_", 0) == 0;
  }
  EXPECT_EQ(nArchives, 2);

  CWriteHistories restarted(m_dir.Path());
  restarted.LoadAll();
  EXPECT_FALSE(restarted.IsImeiUsed("490154203237518"));
}

TEST_F(HistoryTest, NumbersReservedWhenTheProgramDiedCountAsWrittenAtTheNextStart) {
  {
    CWriteHistories before(m_dir.Path());
    ASSERT_TRUE(before.AppendHistory(HistoryKind::Imei, "490154203237518", kStamp));
    // Reserved for a phone, the first one recorded, then the process dies.
    ASSERT_TRUE(before.Of(HistoryKind::Imei)
                    .Reserve({"490154203237518", "352099001761481"}, "2024-03-05_07:08:10"));
    ASSERT_TRUE(fs::exists(m_dir.File("data/wimei.history.pending")));
  }
  CWriteHistories after(m_dir.Path());
  after.LoadAll();
  EXPECT_TRUE(after.IsImeiUsed("352099001761481"));
  EXPECT_EQ(ReadWholeFile(m_dir.File("data/wimei.history")),
            kStamp + "\t490154203237518\n2024-03-05_07:08:10\t352099001761481\n")
      << "each number once, with the time of its reservation";
  EXPECT_FALSE(fs::exists(m_dir.File("data/wimei.history.pending")));

  // A clean run: reserved, recorded, the reservation gone.
  CWriteHistory& mbsn = after.Of(HistoryKind::Mbsn);
  ASSERT_TRUE(mbsn.Reserve({"MB1"}, kStamp));
  ASSERT_TRUE(mbsn.Append("MB1", kStamp));
  mbsn.ClearReserved();
  CWriteHistories again(m_dir.Path());
  again.LoadAll();
  EXPECT_EQ(ReadWholeFile(m_dir.File("data/wmbsn.history")), kStamp + "\tMB1\n");
}

TEST_F(HistoryTest, AReservationLeftByAFailedRecordIsRecordedBeforeTheNextOne) {
  CWriteHistories histories(m_dir.Path());
  CWriteHistory& psn = histories.Of(HistoryKind::Psn);
  ASSERT_TRUE(psn.Reserve({"PSN-A"}, kStamp));
  // The history could not be written (a folder stands in its place).
  fs::create_directories(psn.Path());
  std::string error;
  EXPECT_FALSE(psn.Append("PSN-A", kStamp, &error));
  // Neither the release of a later run nor one after a restart that still
  // cannot write frees it: PSN-A may be in a phone.
  psn.ClearReserved();
  EXPECT_NE(ReadWholeFile(psn.PendingPath()).find("PSN-A"), std::string::npos);
  {
    CWriteHistories restarted(m_dir.Path());
    restarted.LoadAll();
    EXPECT_TRUE(restarted.IsPsnUsed("PSN-A"));
    restarted.Of(HistoryKind::Psn).ClearReserved();
  }
  EXPECT_FALSE(psn.Reserve({"PSN-B"}, kStamp, &error)) << "the old numbers are not on disk yet";
  EXPECT_NE(ReadWholeFile(psn.PendingPath()).find("PSN-A"), std::string::npos);

  fs::remove(psn.Path());
  ASSERT_TRUE(psn.Reserve({"PSN-B"}, kStamp, &error)) << error;
  EXPECT_EQ(ReadWholeFile(psn.Path()), kStamp + "\tPSN-A\n");
  EXPECT_EQ(ReadWholeFile(psn.PendingPath()), kStamp + "\tPSN-B\n");
  psn.ClearReserved();  // PSN-B never went to the phone
  EXPECT_FALSE(fs::exists(psn.PendingPath()));
}

// A history opened and saved in an editor: a byte-order mark before the
// first line, blanks, tabs and CRs after the numbers. Each number still
// counts as used, the same for the ledger tool's import, and a number
// looked up with such an ending is the same number.
TEST_F(HistoryTest, LinesAreReadAsAnOperatorReadsThem) {
  WriteFile("data/wmbsn.history", "\xEF\xBB\xBF" + kStamp + "\tMB-1\r\n" + kStamp + "\tMB-2  \t\n" +
                                      kStamp + "\tMB 3\r\r\n" + kStamp + "\t \n");
  CWriteHistories histories(m_dir.Path());
  histories.LoadAll();
  for (const char* psz : {"MB-1", "MB-2", "MB 3", "MB-2 ", "MB-1\t"})
    EXPECT_TRUE(histories.IsMbsnUsed(psz)) << psz;
  EXPECT_FALSE(histories.IsMbsnUsed("MB")) << "no other number";
  std::vector<std::string> numbers;
  for (const HistoryEntry& e : CWriteHistory::ReadFile(m_dir.File("data/wmbsn.history")))
    numbers.push_back(e.m_strNumber);
  EXPECT_EQ(numbers, (std::vector<std::string>{"MB-1", "MB-2", "MB 3"}));
  EXPECT_EQ(histories.MbsnHistory().Entries()[0].m_strTime, kStamp);

  // Written as it stands, held as it will be read back.
  ASSERT_TRUE(histories.AppendHistory(HistoryKind::Mbsn, "MB-4 ", kStamp));
  EXPECT_TRUE(histories.IsMbsnUsed("MB-4"));
  EXPECT_NE(ReadWholeFile(m_dir.File("data/wmbsn.history")).find("\tMB-4 \n"), std::string::npos);
}

}  // namespace
