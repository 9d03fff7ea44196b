#include "tavlo/numbers/phone_numbers.h"

#include <cstdio>

#include "tavlo/numbers/number_checks.h"

bool CPhoneNumbers::ValidImei(const std::string& s) const {
  return IsValidImei(s, m_settings.m_bCheckImei.Get());
}

EPrepareResult CPhoneNumbers::Refuse(ENumberField eField, const std::string& strMessage,
                                     std::atomic<bool>* pBusy) {
  m_ui.FocusAndSelectField(eField);
  m_ui.ShowMessage(strMessage);
  if (pBusy) *pBusy = false;
  m_ui.PostWriteNotify(kNotifyRunOver);
  return EPrepareResult::Refused;
}

EPrepareResult CPhoneNumbers::Exhausted(const std::string& strLine, const char* pszMessage) {
  m_ui.DisplayEchoText(strLine, kLogError);
  if (!m_pStop || !*m_pStop) m_ui.ShowMessage(pszMessage);
  return EPrepareResult::Exhausted;
}

namespace {

const char* KindName(HistoryKind eKind) {
  switch (eKind) {
    case HistoryKind::Mbsn:
      return "MBSN";
    case HistoryKind::Psn:
      return "PSN";
    case HistoryKind::Imei:
      break;
  }
  return "IMEI";
}

}  // namespace

EPrepareResult CPhoneNumbers::CheckNotWritten(HistoryKind eKind, ENumberField eField,
                                              const std::string& strNumber,
                                              std::atomic<bool>* pBusy) {
  const CWriteHistory& history = m_histories.Of(eKind);
  const std::string strWhat = std::string(KindName(eKind)) + " " + strNumber;
  std::string strWhere;
  if (const std::optional<std::string> stamp = history.TimeOf(strNumber)) {
    strWhere = history.Path() + ", " + *stamp;
  } else if (INumberLedger* pLedger = history.Ledger()) {
    std::optional<SLedgerHolder> holder;
    std::string strError;
    if (!pLedger->FindHolder(eKind, strNumber, &holder, &strError)) {
      std::fprintf(stderr, "tavlo: ledger: %s\n", strError.c_str());
      return Exhausted(kLedgerDownLine, kMsgLedgerDown);
    }
    if (holder && holder->strState != "written") {
      // Claimed or reserved: on its way into a phone at that station now;
      // not even a rework may take it.
      return Refuse(eField,
                    strWhat + " is held in the shared ledger by station " + holder->strStation +
                        " for a phone being written: not written.",
                    pBusy);
    }
    if (holder)
      strWhere = "the shared ledger, station " + holder->strStation + ", " + holder->strStamp;
  }
  if (strWhere.empty()) return EPrepareResult::Ready;
  const std::string strWritten = strWhat + " is already written (" + strWhere + ")";
  if (!m_settings.m_bRework) return Refuse(eField, strWritten + ": " + kMsgWrittenAgain, pBusy);
  m_ui.DisplayEchoText(kReworkLine + strWritten + "; written again as rework", kLogProgress);
  m_rework.emplace(eKind, strNumber);
  return EPrepareResult::Ready;
}

void CPhoneNumbers::CopyImei1AboveCount() {
  for (int n = m_settings.m_nImeiCount; n < 4; ++n) m_numbers.m_strImei[n] = m_numbers.m_strImei[0];
}

EPrepareResult CPhoneNumbers::PrepareNumbers(std::atomic<bool>* pBusy) {
  const WriterSettings& s = m_settings;
  m_rework.clear();
  const int nCount = s.m_nImeiCount;
  if (s.m_bWriteImei && s.m_nImeiInputType > INPUT_MANUAL) {
    m_sources.ClearImeisInUse();
    for (int n = 0; n < nCount; ++n) {
      const std::string strField = m_ui.GetFieldText(ImeiField(n));
      if (ValidImei(strField)) {
        m_numbers.m_strImei[n] = strField;
        continue;
      }
      if (n > 0 && s.m_bImeiAllSame) {
        m_numbers.m_strImei[n] = m_numbers.m_strImei[0];
        m_ui.SetFieldText(ImeiField(n), m_numbers.m_strImei[n]);
        continue;
      }
      const std::string strDrawn = m_sources.GetUnusedImei(m_settings.m_bCheckImei.Get());
      if (strDrawn == kNoLedger) {
        m_sources.ClearImeisInUse();
        return Exhausted(kLedgerDownLine, kMsgLedgerDown);
      }
      if (strDrawn == kNoNumber) {
        m_sources.ClearImeisInUse();
        return Exhausted("There were no unused IMEI now " + std::to_string(n + 1) + "!",
                         kMsgNoImei);
      }
      m_numbers.m_strImei[n] = strDrawn;
      m_ui.SetFieldText(ImeiField(n), strDrawn);
      m_sources.AddImeiInUse(strDrawn);
    }
    m_sources.ClearImeisInUse();
  }
  if (s.m_bWriteImei) CopyImei1AboveCount();

  if (s.m_bWriteMbsn && s.m_nMbsnInputType > INPUT_MANUAL) {
    const std::string strField = m_ui.GetFieldText(ENumberField::Mbsn);
    if (IsValidMbsn(strField, s.m_nMbsnLength)) {
      m_numbers.m_strMbsn = strField;
    } else {
      const std::string strDrawn = m_sources.GetUnusedMbsn();
      if (strDrawn == kNoLedger) return Exhausted(kLedgerDownLine, kMsgLedgerDown);
      if (strDrawn == kNoNumber) return Exhausted("There were no unused MBSN now!", kMsgNoMbsn);
      m_numbers.m_strMbsn = strDrawn;
      m_ui.SetFieldText(ENumberField::Mbsn, strDrawn);
    }
  }
  if (s.m_bWritePsn && s.m_nPsnInputType > INPUT_MANUAL) {
    const std::string strField = m_ui.GetFieldText(ENumberField::Psn);
    if (IsValidPsn(strField, s.m_nPsnLength)) {
      m_numbers.m_strPsn = strField;
    } else {
      const std::string strDrawn = m_sources.GetUnusedPsn();
      if (strDrawn == kNoLedger) return Exhausted(kLedgerDownLine, kMsgLedgerDown);
      if (strDrawn == kNoNumber) return Exhausted("There were no unused PSN now!", kMsgNoPsn);
      m_numbers.m_strPsn = strDrawn;
      m_ui.SetFieldText(ENumberField::Psn, strDrawn);
    }
  }

  if (s.m_bWriteImei && s.m_nImeiInputType == INPUT_MANUAL) {
    m_numbers.m_strImei[0] = m_ui.GetFieldText(ENumberField::Imei1);
    if (!ValidImei(m_numbers.m_strImei[0])) return Refuse(ENumberField::Imei1, kMsgBadImei, pBusy);
    // Every slot of the phone's SIM count is checked. Whether its field is
    // enabled says nothing here: Start disables the fields while a run goes.
    for (int n = 1; n < nCount; ++n) {
      m_numbers.m_strImei[n] = m_ui.GetFieldText(ImeiField(n));
      if (!ValidImei(m_numbers.m_strImei[n])) return Refuse(ImeiField(n), kMsgBadImei, pBusy);
    }
    // A label scanned twice must not put its number into a second phone.
    for (int n = 0; n < nCount; ++n) {
      const EPrepareResult e =
          CheckNotWritten(HistoryKind::Imei, ImeiField(n), m_numbers.m_strImei[n], pBusy);
      if (e != EPrepareResult::Ready) return e;
    }
    CopyImei1AboveCount();
  }
  if (s.m_bWriteMbsn && s.m_nMbsnInputType == INPUT_MANUAL) {
    m_numbers.m_strMbsn = m_ui.GetFieldText(ENumberField::Mbsn);
    if (!IsValidMbsn(m_numbers.m_strMbsn, s.m_nMbsnLength))
      return Refuse(ENumberField::Mbsn, kMsgBadMbsn, pBusy);
    const EPrepareResult e =
        CheckNotWritten(HistoryKind::Mbsn, ENumberField::Mbsn, m_numbers.m_strMbsn, pBusy);
    if (e != EPrepareResult::Ready) return e;
  }
  if (s.m_bWritePsn && s.m_nPsnInputType == INPUT_MANUAL) {
    m_numbers.m_strPsn = m_ui.GetFieldText(ENumberField::Psn);
    if (!IsValidPsn(m_numbers.m_strPsn, s.m_nPsnLength))
      return Refuse(ENumberField::Psn, kMsgBadPsn, pBusy);
    const EPrepareResult e =
        CheckNotWritten(HistoryKind::Psn, ENumberField::Psn, m_numbers.m_strPsn, pBusy);
    if (e != EPrepareResult::Ready) return e;
  }
  return EPrepareResult::Ready;
}

std::vector<std::pair<HistoryKind, std::vector<std::string>>> CPhoneNumbers::NumbersToWrite()
    const {
  std::vector<std::pair<HistoryKind, std::vector<std::string>>> kinds;
  if (m_settings.m_bWriteImei) {
    std::vector<std::string> imeis(m_numbers.m_strImei.begin(),
                                   m_numbers.m_strImei.begin() + m_settings.m_nImeiCount);
    kinds.emplace_back(HistoryKind::Imei, std::move(imeis));
  }
  if (m_settings.m_bWriteMbsn)
    kinds.emplace_back(HistoryKind::Mbsn, std::vector<std::string>{m_numbers.m_strMbsn});
  if (m_settings.m_bWritePsn)
    kinds.emplace_back(HistoryKind::Psn, std::vector<std::string>{m_numbers.m_strPsn});
  return kinds;
}

bool CPhoneNumbers::ReserveNumbers(std::string* pError) {
  for (const auto& [eKind, numbers] : NumbersToWrite()) {
    bool bRework = false;
    for (const std::string& strNumber : numbers)
      bRework = bRework || m_rework.count({eKind, strNumber});
    if (!m_histories.Of(eKind).Reserve(numbers, HistoryTimeStamp(), pError, bRework)) return false;
  }
  return true;
}

void CPhoneNumbers::ReleaseNumbers() {
  for (HistoryKind eKind : {HistoryKind::Imei, HistoryKind::Mbsn, HistoryKind::Psn})
    m_histories.Of(eKind).ClearReserved();
}

bool CPhoneNumbers::RecordNumbers(std::string* pError) {
  bool bAllOnDisk = true;
  for (const auto& [eKind, numbers] : NumbersToWrite()) {
    const std::string strTime = HistoryTimeStamp();
    for (const std::string& strNumber : numbers) {
      std::string strError;
      const bool bRework = m_rework.count({eKind, strNumber}) != 0;
      if (!m_histories.AppendHistory(eKind, strNumber, strTime, &strError, bRework)) {
        if (bAllOnDisk && pError) *pError = strError;
        bAllOnDisk = false;
      }
    }
  }
  if (bAllOnDisk) ReleaseNumbers();
  return bAllOnDisk;
}

void CPhoneNumbers::NotifyTypedKinds() {
  if (m_settings.m_bWriteImei && m_settings.m_nImeiInputType == INPUT_MANUAL)
    m_ui.PostWriteNotify(kNotifyImeiTyped);
  if (m_settings.m_bWriteMbsn && m_settings.m_nMbsnInputType == INPUT_MANUAL)
    m_ui.PostWriteNotify(kNotifyMbsnTyped);
  if (m_settings.m_bWritePsn && m_settings.m_nPsnInputType == INPUT_MANUAL)
    m_ui.PostWriteNotify(kNotifyPsnTyped);
}

void CPhoneNumbers::ClearNumberFields() {
  if (m_settings.m_bWriteImei) {
    for (int n = m_settings.m_nImeiCount - 1; n >= 0; --n) m_ui.SetFieldText(ImeiField(n), "");
  }
  if (m_settings.m_bWriteMbsn) m_ui.SetFieldText(ENumberField::Mbsn, "");
  if (m_settings.m_bWritePsn) m_ui.SetFieldText(ENumberField::Psn, "");
}
