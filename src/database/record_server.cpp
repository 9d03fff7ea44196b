#include "database/record_server.h"

#include <cstdio>
#include <memory>

#include "common/ini_file.h"
#include "database/pg_records.h"

void StoreRecordsOnServer(const std::string& strBase, const std::string& strIniPath,
                          const std::string& strFallbackConnect, const char* pszTool,
                          CRecordWriter& records) {
  std::string strConnect = IniGetString("RECORD", "CONNECT", "", strIniPath);
  if (strConnect.empty()) strConnect = strFallbackConnect;
  if (strConnect.empty()) return;
  if (ConnectStringHasPassword(strConnect)) {
    std::fprintf(stderr,
                 "%s: records: the server's password belongs in .pgpass or PGPASSWORD, not "
                 "the settings file; records go to their files only\n",
                 pszTool);
    return;
  }
  records.SetStore(std::make_unique<CPgRecordStore>(strConnect, records.Station(),
                                                    strBase + "/" + kRecordSpoolFile, pszTool));
}
