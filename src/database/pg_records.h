#pragma once

#include <string>

#include "common/phone_records.h"
#include "database/pg_connection.h"
#include "platform/wake_event.h"

// The phone records' copy on the factory's database server: the table
// phone_records, one row a record. A record that cannot reach the server
// goes to the spool (synced) and the spool is replayed, in order and in one
// transaction, before the next record goes in. Every call is bounded
// (kLedgerCallMs); while the server stays silent, records go straight to
// the spool.
class CPgRecordStore final : public IRecordStore {
 public:
  // pszTool names the program on standard error ("tavlo: records: ...").
  CPgRecordStore(std::string strConnect, std::string strStation, std::string strSpoolPath,
                 const char* pszTool);
  void Store(const std::string& strRecord) override;
  void Hurry() override;

 private:
  // Connected, the table there, the spool replayed; false with the reason.
  bool Ready(std::string* pError);
  bool Insert(const std::string& strRecord, std::string* pError);

  // Left signalled once the program ends: the connection then gives every
  // call together the stop's budget.
  platform::CWakeEvent m_ending;
  CPgConnection m_conn;
  const std::string m_strStation;
  const std::string m_strSpool;
  const char* const m_pszTool;
};
