#include "tavlo/ui/setup_model.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <list>

#include "serial/port_discovery.h"
#include "tavlo/factory/factory_data.h"
#include "tavlo/numbers/number_checks.h"
#include "tavlo/ui/writer_texts.h"

namespace {

size_t ImeiLimit(bool b14Digits) {
  return b14Digits ? kImeiLength - 1 : kImeiLength;
}

bool IsExistingFile(const std::string& strPath) {
  struct stat st;
  return stat(strPath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

CImeiSetup::CImeiSetup(WriterSettings& settings, const ChipList& chips,
                       std::vector<std::string> ports)
    : m_settings(settings) {
  const WriterSettings& s = settings;
  for (size_t i = 0; i < chips.size(); ++i) {
    m_view.chipNames.push_back(chips[i].m_strChipName);
    if (m_view.nChip < 0 && chips[i].m_strChipName == s.m_strChipset)
      m_view.nChip = static_cast<int>(i);
  }
  std::sort(ports.begin(), ports.end(), [](const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
      return std::tolower(static_cast<unsigned char>(x)) <
             std::tolower(static_cast<unsigned char>(y));
    });
  });
  m_view.ports = std::move(ports);
  m_view.nSimCount = s.m_nImeiCount >= 1 && s.m_nImeiCount <= 4 ? s.m_nImeiCount : 0;
  m_view.bAllSame = s.m_bImeiAllSame;
  m_view.b14Digits = s.m_bImei14Digits;

  auto& imei = m_stored[0];
  imei.strFile = s.m_strImeiFile;
  imei.strInit = s.m_bImei14Digits ? s.m_strImeiInit14 : s.m_strImeiInit15;
  imei.strMask = s.m_bImei14Digits ? s.m_strImeiMask14 : s.m_strImeiMask15;
  m_stored[1] = {s.m_strMbsnFile, s.m_strMbsnInit, s.m_strMbsnMask};
  m_stored[2] = {s.m_strPsnFile, s.m_strPsnInit, s.m_strPsnMask};

  Source(ESourceKind::Imei).nInitMaskLimit = ImeiLimit(s.m_bImei14Digits);
  Source(ESourceKind::Mbsn).nInitMaskLimit = static_cast<size_t>(s.m_nMbsnLength);
  Source(ESourceKind::Psn).nInitMaskLimit = static_cast<size_t>(s.m_nPsnLength);
  Source(ESourceKind::Imei).eInputType = s.m_nImeiInputType;
  Source(ESourceKind::Mbsn).eInputType = s.m_nMbsnInputType;
  Source(ESourceKind::Psn).eInputType = s.m_nPsnInputType;
  for (SSourceView& source : m_view.sources) ApplyEnabledStates(source);
  ShowStoredTexts();
}

void CImeiSetup::ApplyEnabledStates(SSourceView& source) {
  source.bFileEnabled = source.eInputType == INPUT_FROM_FILE;
  source.bInitMaskEnabled = source.eInputType == INPUT_CUSTOM;
  m_view.b14DigitsEnabled = Source(ESourceKind::Imei).bInitMaskEnabled;
}

void CImeiSetup::ShowStoredTexts() {
  for (size_t i = 0; i < m_stored.size(); ++i) {
    m_view.sources[i].strFile = m_stored[i].strFile;
    m_view.sources[i].strInit = m_stored[i].strInit;
    m_view.sources[i].strMask = m_stored[i].strMask;
  }
}

void CImeiSetup::SetInitText(ESourceKind eKind, const std::string& strText) {
  SSourceView& source = Source(eKind);
  std::string text = strText;
  if (eKind == ESourceKind::Imei) std::erase_if(text, [](char c) { return c < '0' || c > '9'; });
  if (text.size() > source.nInitMaskLimit) text.resize(source.nInitMaskLimit);
  source.strInit = std::move(text);
}

void CImeiSetup::SetMaskText(ESourceKind eKind, const std::string& strText) {
  SSourceView& source = Source(eKind);
  source.strMask = strText.substr(0, source.nInitMaskLimit);
}

void CImeiSetup::OnRadioSim(int nCount) {
  if (nCount >= 1 && nCount <= 4) m_view.nSimCount = nCount;
}

void CImeiSetup::OnCheck14Char(bool bChecked) {
  m_view.b14Digits = bChecked;
  Source(ESourceKind::Imei).nInitMaskLimit = ImeiLimit(bChecked);
}

void CImeiSetup::OnRadioInputType(ESourceKind eKind, InputType eType) {
  SSourceView& source = Source(eKind);
  source.eInputType = eType;
  ApplyEnabledStates(source);
}

void CImeiSetup::OnChooseListFile(ESourceKind eKind, const std::string& strPath) {
  m_stored[static_cast<size_t>(eKind)].strFile = strPath;
  ShowStoredTexts();
}

bool CImeiSetup::CheckSource(ESourceKind eKind, std::string* pMessage) const {
  static constexpr const char* kChooseList[] = {
      writer_text::kChooseImeiList, writer_text::kChooseMbsnList, writer_text::kChoosePsnList};
  static constexpr const char* kListMissing[] = {
      writer_text::kImeiListMissing, writer_text::kMbsnListMissing, writer_text::kPsnListMissing};
  const size_t i = static_cast<size_t>(eKind);
  const SSourceView& source = m_view.sources[i];
  if (source.eInputType != INPUT_FROM_FILE) return true;
  if (source.strFile.empty()) {
    *pMessage = kChooseList[i];
    return false;
  }
  if (!IsExistingFile(source.strFile)) {
    *pMessage = kListMissing[i];
    return false;
  }
  return true;
}

bool CImeiSetup::OnOK(std::string* pMessage) {
  std::string strUnused;
  if (!pMessage) pMessage = &strUnused;
  for (size_t i = 0; i < m_stored.size(); ++i) {
    m_stored[i] = {m_view.sources[i].strFile, m_view.sources[i].strInit, m_view.sources[i].strMask};
  }
  // MBSNLEN comes from the settings file alone, but the dialog decides what
  // is written: it never hands on a length the record cannot hold.
  if (std::string why = MbsnLengthProblem(m_settings.m_nMbsnLength); !why.empty()) {
    *pMessage = why;
    return false;
  }
  for (ESourceKind eKind : kSourceKinds) {
    if (!CheckSource(eKind, pMessage)) return false;
  }
  // Every mask that passes is steppable: the generator counts in digit
  // strings of any width, so no "*" count is too large to refuse here.
  const WriterSettings& s = m_settings;
  const SSourceView& imei = Source(ESourceKind::Imei);
  const SSourceView& mbsn = Source(ESourceKind::Mbsn);
  const SSourceView& psn = Source(ESourceKind::Psn);
  if (imei.eInputType == INPUT_CUSTOM &&
      CheckInitAndMask(imei.strInit, imei.strMask, true,
                       static_cast<int>(ImeiLimit(m_view.b14Digits)), pMessage) != kInitMaskOk) {
    return false;
  }
  if (mbsn.eInputType == INPUT_CUSTOM &&
      CheckInitAndMask(mbsn.strInit, mbsn.strMask, false, s.m_nMbsnLength, pMessage) !=
          kInitMaskOk) {
    return false;
  }
  if (psn.eInputType == INPUT_CUSTOM &&
      CheckInitAndMask(psn.strInit, psn.strMask, false, s.m_nPsnLength, pMessage) != kInitMaskOk) {
    return false;
  }

  WriterSettings& out = m_settings;
  out.m_nImeiInputType = imei.eInputType;
  out.m_nMbsnInputType = mbsn.eInputType;
  out.m_nPsnInputType = psn.eInputType;
  if (m_view.nSimCount >= 1) out.m_nImeiCount = m_view.nSimCount;
  out.m_bImei14Digits = m_view.b14Digits;
  out.m_bImeiAllSame = m_view.bAllSame;
  out.m_strImeiFile = imei.strFile;
  out.m_strMbsnFile = mbsn.strFile;
  out.m_strPsnFile = psn.strFile;
  if (m_view.b14Digits) {
    out.m_strImeiInit14 = imei.strInit;
    out.m_strImeiMask14 = imei.strMask;
  } else {
    out.m_strImeiInit15 = imei.strInit;
    out.m_strImeiMask15 = imei.strMask;
  }
  out.m_strMbsnInit = mbsn.strInit;
  out.m_strMbsnMask = mbsn.strMask;
  out.m_strPsnInit = psn.strInit;
  out.m_strPsnMask = psn.strMask;
  return true;
}

std::string MbsnLengthProblem(int nMbsnLength) {
  if (nMbsnLength <= kMaxMbsnLength) return {};
  return "MBSNLEN=" + std::to_string(nMbsnLength) + " in " + kSettingsFile +
         " is too long: the MBSN field (factory record bytes " + std::to_string(kMbsnFieldStart) +
         " to " + std::to_string(kMbsnFieldStart + nMbsnLength) +
         ") would run into the PSN field at byte " + std::to_string(kPsnFieldStart) +
         ". MBSNLEN can be at most " + std::to_string(kMaxMbsnLength) + ".";
}

std::vector<std::string> GadgetPortNames() {
  std::list<SSerInfo> ports;
  try {
    ListSerialPorts(ports, false);
  } catch (const std::exception&) {
    return {};  // no ports found is not reported
  }
  std::vector<std::string> names;
  for (const SSerInfo& port : ports) {
    if (port.m_strFriendly.find("Gadget") != std::string::npos) names.push_back(port.m_strFriendly);
  }
  return names;
}
