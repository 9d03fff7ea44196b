#include "quillport/ui/startup.h"

#include <unistd.h>

#include <climits>

#include "common/op_log.h"
#include "common/phone_records.h"

bool StartQuillport(const std::string& strProgram, SQuillportStart* pStart) {
  pStart->pInstance = std::make_unique<platform::CInstanceLock>(strProgram);
  if (!pStart->pInstance->IsHeld()) return false;
  char szDir[PATH_MAX];
  pStart->strBase = getcwd(szDir, sizeof szDir) ? szDir : ".";
  InitLogFolders(pStart->strBase);
  StartPhoneRecords(pStart->strBase,
                    RecordStationName(pStart->strBase, pStart->strBase + "/ini/download.ini"));
  return true;
}
