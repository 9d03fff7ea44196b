#pragma once

#include <string>

#include "common/phone_records.h"

// The phone records' spool, in the station folder.
inline constexpr const char* kRecordSpoolFile = "records.spool";

// At start-up, for either program: with [RECORD] CONNECT= in strIniPath (or
// else strFallbackConnect, the writer's ledger), every phone record also goes
// into the table phone_records of that server, through strBase's spool while
// it is away. A connection that is refused (a password in the file, a build
// without a database client) is told on standard error; the records still go
// to their files.
void StoreRecordsOnServer(const std::string& strBase, const std::string& strIniPath,
                          const std::string& strFallbackConnect, const char* pszTool,
                          CRecordWriter& records);
