#include "tavlo/ui/startup.h"

#include "pdl/packet.h"
#include "tavlo/ledger/ledger_attach.h"
#include "tavlo/ui/setup_model.h"

ETavloStart StartTavlo(const std::string& strProgram, const std::string& strBase, STavloApp* pApp) {
  pApp->pInstance = std::make_unique<platform::CInstanceLock>(strProgram);
  if (!pApp->pInstance->IsHeld()) return ETavloStart::AlreadyRunning;
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
  return ETavloStart::Ok;
}
