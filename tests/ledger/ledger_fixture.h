#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <string>

#include "database/pg_connection.h"
#include "private_postgres.h"
#include "tavlo/ledger/ledger_schema.h"

// One private server per test program, started by the first test, with an
// empty ledger for every test; a connection of the test's own to look in.
class LedgerFixture : public ::testing::Test {
 protected:
  static void TearDownTestSuite() { s_pServer.reset(); }

  void SetUp() override {
    if (!s_pServer) s_pServer = std::make_unique<CPrivatePostgres>(PG_BIN_DIR, LEDGER_SERVERS_DIR);
    std::string strError;
    if (!s_pServer->Running()) {
      ASSERT_TRUE(s_pServer->Start(&strError)) << strError;
    }
    m_pLook = std::make_unique<CPgConnection>(s_pServer->ConnectString());
    int nFound = 0;
    ASSERT_TRUE(m_pLook->Connect(&strError)) << strError;
    ASSERT_TRUE(ApplyLedgerSchema(*m_pLook, &nFound, &strError)) << strError;
    ASSERT_TRUE(
        m_pLook->Exec("TRUNCATE tavlo_number, tavlo_cursor, tavlo_free, tavlo_conflict").Ok());
  }

  static CPrivatePostgres& Server() { return *s_pServer; }
  static std::string Connect() { return s_pServer->ConnectString(); }

  // The rows of one kind and state ("" any state): number -> station.
  std::map<std::string, std::string> Rows(const std::string& strKind,
                                          const std::string& strState = "") {
    const std::string strSql =
        "SELECT number, station FROM tavlo_number WHERE kind = '" + strKind + "'" +
        (strState.empty() ? std::string() : " AND state = '" + strState + "'");
    CPgResult rows = m_pLook->Exec(strSql.c_str());
    std::string strError;
    if (!rows.Ok()) {  // a server restarted since: connect again
      EXPECT_TRUE(m_pLook->Connect(&strError)) << strError;
      rows = m_pLook->Exec(strSql.c_str());
    }
    std::map<std::string, std::string> out;
    EXPECT_TRUE(rows.Ok()) << rows.Error();
    for (int i = 0; i < rows.Rows(); ++i) out[rows.Text(i, 0)] = rows.Text(i, 1);
    return out;
  }

  std::unique_ptr<CPgConnection> m_pLook;

 private:
  static inline std::unique_ptr<CPrivatePostgres> s_pServer;
};
