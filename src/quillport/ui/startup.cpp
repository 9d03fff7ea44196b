#include "quillport/ui/startup.h"

#include <unistd.h>

#include <climits>

#include "common/op_log.h"
#include "pdl/pdl_link.h"

bool StartQuillport(const std::string& strProgram, SQuillportStart* pStart) {
  g_dwDebugFlags = 0;
  pStart->pInstance = std::make_unique<platform::CInstanceLock>(strProgram);
  if (!pStart->pInstance->IsHeld()) return false;
  char szDir[PATH_MAX];
  pStart->strBase = getcwd(szDir, sizeof szDir) ? szDir : ".";
  InitLogFolders(pStart->strBase);
  return true;
}
