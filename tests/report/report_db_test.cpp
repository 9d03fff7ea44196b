// norq-report over the phone_records table of a private database server.

#include <gtest/gtest.h>

#include <string>

#include "child_process.h"
#include "private_postgres.h"
#include "pty_phone.h"
#include "tavlo/ledger/pg_connection.h"

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

}  // namespace
