#include "report/record_db.h"

bool ReadRecordsDatabase(const std::string&, const std::function<void(const SPhoneRecord&)>&,
                         SReadCounts*, std::string* pError) {
  *pError = "this build has no database client; read the records files instead";
  return false;
}
