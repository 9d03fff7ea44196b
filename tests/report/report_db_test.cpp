// norq-report over the phone_records table of a private database server.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "child_process.h"
#include "database/pg_connection.h"
#include "download_station.h"
#include "private_postgres.h"
#include "pty_phone.h"

namespace {

TEST(ReportDatabase, ReadsThePhoneRecordsTableInOrderSkippingWhatIsNoRecord) {
  CPrivatePostgres server(PG_BIN_DIR, LEDGER_SERVERS_DIR);
  std::string strError;
  ASSERT_TRUE(server.Start(&strError)) << strError;
  CPgConnection db(server.ConnectString());
  ASSERT_TRUE(db.Connect(&strError)) << strError;
  ASSERT_TRUE(db.Exec("CREATE TABLE phone_records (id bigserial PRIMARY KEY, station text NOT NULL,"
                      " recorded_at timestamptz NOT NULL DEFAULT now(), record jsonb NOT NULL)")
                  .Ok());
  const std::string strRecord =
      R"({"tool":"tavlo","station":"s1","started":"2026-12-10T09:00:00+08:00","result":)";
  const std::string strInsert =
      "INSERT INTO phone_records (station, record) VALUES ('s1', '" + strRecord +
      R"("passed","failure":null}'), ('s1', ')" + strRecord +
      R"("failed","failure":"读回IMEI不一致"}'), ('s1', '{"tool":"tavlo","station":"s1"}'))";
  ASSERT_TRUE(db.Exec(strInsert.c_str()).Ok()) << db.LastError();

  CTempDir dir;
  std::string out;
  ASSERT_EQ(
      RunIn(dir.Path(),
            std::string(NORQ_REPORT_PATH) + " --connect '" + server.ConnectString() + "'", &out),
      0)
      << out;
  EXPECT_NE(out.find("skipped 1 damaged line(s)"), std::string::npos) << out;
  EXPECT_NE(out.find("s1       tavlo  1       1       0        50.0%"), std::string::npos) << out;
  EXPECT_NE(out.find("1      100.0%  读回IMEI不一致"), std::string::npos) << out;

  // The password belongs in the password file, never on a command line.
  EXPECT_EQ(
      RunIn(dir.Path(),
            "NORQ_REPORT_CONNECT='" + server.ConnectString() + " password=x' " + NORQ_REPORT_PATH,
            &out),
      1);
  EXPECT_NE(out.find("names a password"), std::string::npos) << out;
}

// The download tool's records reach the table named in its own settings,
// and the report finds them there.
TEST(ReportDatabase, TheDownloadToolsRecordsGoToTheServerItsSettingsName) {
  CPrivatePostgres server(PG_BIN_DIR, LEDGER_SERVERS_DIR);
  std::string strError;
  ASSERT_TRUE(server.Start(&strError)) << strError;
  CTempDir dir;
  std::filesystem::create_directories(dir.File("ini"));
  ASSERT_EQ(MakeTestPackage(dir.File("t_norq_total.bin"), kSmallPackage), "");
  std::string out;
  ASSERT_EQ(
      RunIn(dir.Path(),
            std::string(QUILLPORT_PACK_PATH) + " filelist t_norq_total.bin > ini/filelist.ini",
            &out),
      0)
      << out;
  std::ofstream(dir.File("ini/download.ini"))
      << "[RECORD]\nSTATION=line7\nCONNECT=" << server.ConnectString() << "\n";
  ASSERT_EQ(RunIn(dir.Path(),
                  std::string(QUILLPORT_PATH) +
                      " --headless --simulate 1 --count 1 --package t_norq_total.bin",
                  &out),
            0)
      << out;

  CPgConnection db(server.ConnectString());
  ASSERT_TRUE(db.Connect(&strError)) << strError;
  const CPgResult rows = db.Exec(
      "SELECT station, record->>'tool', record->>'result', record->>'station' "
      "FROM phone_records");
  ASSERT_TRUE(rows.Ok()) << rows.Error() << out;
  ASSERT_EQ(rows.Rows(), 1);
  EXPECT_EQ(rows.Text(0, 0), "line7");
  EXPECT_EQ(rows.Text(0, 1), "quillport");
  EXPECT_EQ(rows.Text(0, 2), "passed");
  EXPECT_EQ(rows.Text(0, 3), "line7");
  EXPECT_FALSE(std::filesystem::exists(dir.File("records.spool")));

  ASSERT_EQ(
      RunIn(dir.Path(),
            std::string(NORQ_REPORT_PATH) + " --connect '" + server.ConnectString() + "'", &out),
      0)
      << out;
  EXPECT_NE(out.find("line7"), std::string::npos) << out;
}

}  // namespace
