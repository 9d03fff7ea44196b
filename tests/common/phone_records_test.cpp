#include "common/phone_records.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "common/json_writer.h"
#include "json_reader.h"
#include "pty_phone.h"

namespace {

namespace fs = std::filesystem;

// What a line script reads: every record of the folder's files that parses,
// and the count of lines that do not.
std::vector<SJson> ReadRecords(const std::string& strFolder, int* pnDamaged) {
  std::vector<SJson> records;
  *pnDamaged = 0;
  for (const auto& entry : fs::directory_iterator(strFolder)) {
    std::ifstream in(entry.path());
    for (std::string line; std::getline(in, line);) {
      if (std::optional<SJson> r = ParseJson(line)) {
        records.push_back(std::move(*r));
      } else {
        ++*pnDamaged;
      }
    }
  }
  return records;
}

// Texts from a phone or a port log reach the file as valid JSON whatever
// bytes they hold; a line a crash cut short costs that line only; records
// already written are never touched again.
TEST(PhoneRecords, ADamagedLineCostsOnlyItselfAndEveryTextStaysValidJson) {
  CTempDir dir;
  const std::string folder = dir.File("log/records");
  const std::string odd = std::string("quote \" back \\ tab \t nl \n ctl \x01 bad \xff\xfe end ") +
                          "\xe7\xab\xaf\xe5\x8f\xa3";  // and two CJK characters
  {
    CRecordWriter records(folder, "st");
    records.Submit(CJsonObject().Add("n", 1).Add("failure", odd).Text());
    records.Flush();
    // A crash in the middle of a record: a line without its end.
    const fs::path file = fs::directory_iterator(folder)->path();
    std::ofstream(file, std::ios::app) << "{\"n\":2,\"fail";
    records.Submit(CJsonObject().Add("n", 3).AddNull("failure").Text());
  }  // the writer ends with everything written
  int nDamaged = 0;
  const std::vector<SJson> records = ReadRecords(folder, &nDamaged);
  EXPECT_EQ(nDamaged, 1);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0]["n"].d, 1);
  EXPECT_EQ(records[0]["failure"].s.find("quote \" back \\ tab \t nl \n ctl \x01 bad "), 0u);
  EXPECT_NE(records[0]["failure"].s.find("\xef\xbf\xbd\xef\xbf\xbd end \xe7\xab\xaf\xe5\x8f\xa3"),
            std::string::npos)
      << "bytes that are not UTF-8 become U+FFFD, the rest stays";
  EXPECT_EQ(records[1]["n"].d, 3);
  EXPECT_TRUE(records[1]["failure"].IsNull());
}

#ifndef _WIN32
// A station user cannot plant links on Windows.
TEST(PhoneRecords, ALinkInTheDaysFilesPlaceIsNotFollowed) {
  CTempDir dir;
  const std::string folder = dir.File("log/records");
  fs::create_directories(folder);
  const std::string target = dir.File("elsewhere.txt");
  std::ofstream(target) << "kept\n";
  const std::string day = LocalDate(std::chrono::system_clock::now());
  fs::create_symlink(target, folder + "/" + day + ".jsonl");
  {
    CRecordWriter records(folder, "st");
    records.Submit(CJsonObject().Add("n", 1).Text());
    records.Flush();
  }
  EXPECT_EQ(ReadWholeFile(target), "kept\n");
}
#endif

}  // namespace
