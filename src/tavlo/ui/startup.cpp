#include "tavlo/ui/startup.h"

#include <filesystem>
#include <system_error>

#include "common/ini_file.h"
#include "common/phone_records.h"
#include "database/record_server.h"
#include "pdl/packet.h"
#include "tavlo/ledger/ledger_attach.h"
#include "tavlo/ui/setup_model.h"

namespace {

// Two copies on one data folder (another user, another PC on a shared
// folder) would each hand out the numbers the other has not yet written.
bool LockStation(const std::string& strBase, STavloApp* pApp) {
  const std::string strData = JoinPath(strBase, "data");
  std::error_code ec;
  std::filesystem::create_directories(strData, ec);
  pApp->pStationLock.reset();  // a second start in this process takes it anew
  pApp->pStationLock = std::make_unique<platform::CFileLock>(JoinPath(strData, kStationLockFile));
  const platform::CFileLock& lock = *pApp->pStationLock;
  if (lock.IsHeld()) return true;
  pApp->strStationError =
      lock.HeldElsewhere() ? "another copy of tavlo is using this station folder (" + lock.Path() +
                                 " is locked): close it first; no phone was touched"
                           : "the station folder cannot be locked (" + lock.Path() + ": " +
                                 lock.Error() + "); no phone was touched";
  return false;
}

}  // namespace

ETavloStart StartTavlo(const std::string& strProgram, const std::string& strBase, STavloApp* pApp) {
  pApp->pInstance = std::make_unique<platform::CInstanceLock>(strProgram);
  if (!pApp->pInstance->IsHeld()) return ETavloStart::AlreadyRunning;
  if (!LockStation(strBase, pApp)) return ETavloStart::StationInUse;
  pApp->strBase = strBase;
  pApp->chips = LoadChipList(strBase);
  if (!LoadSettings(strBase, pApp->chips, &pApp->settings)) return ETavloStart::BootImageMissing;
  pApp->strSettingsError = MbsnLengthProblem(pApp->settings.m_nMbsnLength);
  if (!pApp->strSettingsError.empty()) return ETavloStart::SettingsRefused;
  pApp->packet.assign(pdl::kPacketBufferSize, 0);
  pApp->pHistories = std::make_unique<CWriteHistories>(strBase);
  if (!AttachLedger(strBase, *pApp->pHistories, &pApp->pLedger, &pApp->strLedgerError))
    return ETavloStart::LedgerUnreachable;
  pApp->pHistories->LoadAll();
  const std::string strIni = JoinPath(strBase, "ini/wimei.ini");
  CRecordWriter* pRecords = StartPhoneRecords(strBase, RecordStationName(strBase, strIni));
  StoreRecordsOnServer(strBase, strIni, IniGetString("LEDGER", "CONNECT", "", strIni), "tavlo",
                       *pRecords);
  return ETavloStart::Ok;
}
