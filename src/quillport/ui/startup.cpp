#include "quillport/ui/startup.h"

#include <unistd.h>

#include <climits>

#include "common/op_log.h"
#include "common/phone_records.h"
#include "database/record_server.h"

bool StartQuillport(const std::string& strProgram, SQuillportStart* pStart) {
  pStart->pInstance = std::make_unique<platform::CInstanceLock>(strProgram);
  if (!pStart->pInstance->IsHeld()) return false;
  char szDir[PATH_MAX];
  pStart->strBase = getcwd(szDir, sizeof szDir) ? szDir : ".";
  InitLogFolders(pStart->strBase);
  const std::string strIni = pStart->strBase + "/ini/download.ini";
  CRecordWriter* pRecords =
      StartPhoneRecords(pStart->strBase, RecordStationName(pStart->strBase, strIni));
  StoreRecordsOnServer(pStart->strBase, strIni, "", "quillport", *pRecords);
  return true;
}
