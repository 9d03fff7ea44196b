#include "report/record_db.h"

#include "database/pg_connection.h"

bool ReadRecordsDatabase(const std::string& strConnect,
                         const std::function<void(const SPhoneRecord&)>& fnRecord,
                         SReadCounts* pCounts, std::string* pError) {
  if (ConnectStringHasPassword(strConnect)) {
    *pError = "the connection string names a password; keep it in the password file";
    return false;
  }
  CPgConnection db(strConnect, kReportCallMs);
  std::string strError;
  if (!db.Connect(&strError)) {
    *pError = strError;
    return false;
  }
  const CPgResult result = db.Exec("SELECT record::text FROM phone_records ORDER BY id");
  if (!result.Ok()) {
    *pError = "cannot read phone_records: " + db.LastError();
    return false;
  }
  for (int i = 0; i < result.Rows(); ++i) {
    if (std::optional<SPhoneRecord> record = ParseRecordLine(result.Text(i, 0))) {
      ++pCounts->nRecords;
      fnRecord(*record);
    } else {
      ++pCounts->nDamaged;
    }
  }
  return true;
}
