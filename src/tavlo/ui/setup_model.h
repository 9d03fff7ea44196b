#pragma once

#include <array>
#include <string>
#include <vector>

#include "tavlo/settings/writer_settings.h"

// The Setup dialog without a toolkit: SIM count, the all-same flag and, for
// IMEI, MBSN and PSN, where the numbers come from. It starts from the
// in-memory settings and changes them only when OK passes its checks; the
// settings file is written when the program closes.

enum class ESourceKind { Imei, Mbsn, Psn };
inline constexpr std::array<ESourceKind, 3> kSourceKinds = {ESourceKind::Imei, ESourceKind::Mbsn,
                                                            ESourceKind::Psn};

// One kind's group of the dialog, as its controls show it.
struct SSourceView {
  InputType eInputType = INPUT_MANUAL;
  std::string strFile, strInit, strMask;
  bool bFileEnabled = false;      // the list-file edit and its chooser
  bool bInitMaskEnabled = false;  // initial number and mask (and, for IMEI, the 14-digit box)
  size_t nInitMaskLimit = 0;      // what typing may put into them
};

struct SSetupView {
  int nSimCount = 1;  // 1..4; 0 checks no SIM button
  bool bAllSame = false;
  bool b14Digits = false;
  std::vector<std::string> chipNames;  // in the chip list's order
  int nChip = -1;                      // the CHIPSET entry, -1 when none matches
  bool b14DigitsEnabled = false;       // with the IMEI's initial number and mask
  // "Gadget" ports found when the dialog opened, sorted as the list shows them
  // (by name, case ignored).
  std::vector<std::string> ports;
  std::array<SSourceView, 3> sources;  // by ESourceKind
};

class CImeiSetup {
 public:
  CImeiSetup(WriterSettings& settings, const ChipList& chips, std::vector<std::string> ports);

  const SSetupView& View() const { return m_view; }

  // Typing into the initial number or mask edits; longer text is cut to the
  // edit's limit, and the IMEI initial number keeps digits only.
  void SetInitText(ESourceKind eKind, const std::string& strText);
  void SetMaskText(ESourceKind eKind, const std::string& strText);

  void OnRadioSim(int nCount);
  void OnCheckAllSame(bool bChecked) { m_view.bAllSame = bChecked; }
  // Changes only the limit of the IMEI initial number and mask, not their text.
  void OnCheck14Char(bool bChecked);
  void OnRadioInputType(ESourceKind eKind, InputType eType);
  // A list file was chosen: it becomes the kind's path, and every text field
  // shows its stored value again (text typed since is replaced).
  void OnChooseListFile(ESourceKind eKind, const std::string& strPath);

  // Checks the entries; on a refusal returns false with the message to show
  // in *pMessage and stores nothing. True once the settings hold the entries.
  bool OnOK(std::string* pMessage);

 private:
  struct SStored {
    std::string strFile, strInit, strMask;
  };
  SSourceView& Source(ESourceKind eKind) { return m_view.sources[static_cast<size_t>(eKind)]; }
  void ApplyEnabledStates(SSourceView& source);
  void ShowStoredTexts();
  bool CheckSource(ESourceKind eKind, std::string* pMessage) const;

  WriterSettings& m_settings;
  SSetupView m_view;
  // The text values as last read back from the controls.
  std::array<SStored, 3> m_stored;
};

// Why MBSNLEN cannot be used (its field would run into the PSN field of the
// factory record); empty when it can.
std::string MbsnLengthProblem(int nMbsnLength);

// The friendly names of the phone ports present, those containing "Gadget".
std::vector<std::string> GadgetPortNames();
