// A build without the database client (the Windows cross build): the phone
// records stay in their files.

#include <cstdio>

#include "common/ini_file.h"
#include "database/record_server.h"

void StoreRecordsOnServer(const std::string& /*strBase*/, const std::string& strIniPath,
                          const std::string& strFallbackConnect, const char* pszTool,
                          CRecordWriter& /*records*/) {
  if (!IniGetString("RECORD", "CONNECT", "", strIniPath).empty() || !strFallbackConnect.empty())
    std::fprintf(stderr, "%s: records: this build has no database client; files only\n", pszTool);
}
