// A build without the database client (the Windows cross build). A station
// set up for the shared ledger is refused rather than run on its own
// histories, which could hand out numbers that other stations hold.

#include "common/ini_file.h"
#include "tavlo/ledger/ledger_attach.h"
#include "tavlo/settings/writer_settings.h"

bool AttachLedger(const std::string& strBase, CWriteHistories& /*histories*/,
                  std::unique_ptr<INumberLedger>* /*pOwner*/, std::string* pError) {
  if (IniGetString("LEDGER", "CONNECT", "", JoinPath(strBase, "ini/wimei.ini")).empty())
    return CheckNeverOnLedger(strBase, pError);
  if (pError) {
    *pError =
        "the shared ledger cannot be used: this build of tavlo has no database client "
        "(the [LEDGER] section of ini/wimei.ini)";
  }
  return false;
}
