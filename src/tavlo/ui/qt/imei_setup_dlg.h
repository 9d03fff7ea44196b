#pragma once

#include <QDialog>
#include <array>

#include "tavlo/ui/setup_model.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace gui {
class CDialogUnits;
class CTextLimit;
}  // namespace gui

// The Setup dialog: renders the Setup model and forwards the operator's
// input to it. OK stores the entries only when the model's checks pass;
// otherwise their message is shown and the dialog stays open as typed.
class CImeiSetupDlg final : public QDialog {
  Q_OBJECT

 public:
  CImeiSetupDlg(CImeiSetup& setup, QWidget* pParent);

  void accept() override;

 private:
  // One kind's group: IMEI, MBSN or PSN.
  struct SKindControls {
    std::array<QRadioButton*, 3> types{};  // by InputType
    QLineEdit* pFile = nullptr;
    QPushButton* pBrowse = nullptr;
    QLabel* pInitLabel = nullptr;
    QLabel* pMaskLabel = nullptr;
    QLineEdit* pInit = nullptr;
    QLineEdit* pMask = nullptr;
    gui::CTextLimit* pInitLimit = nullptr;
    gui::CTextLimit* pMaskLimit = nullptr;
  };

  void BuildCounts(const gui::CDialogUnits& units);
  void BuildKind(const gui::CDialogUnits& units, ESourceKind eKind, int nTop);
  void BuildButtons(const gui::CDialogUnits& units);
  void ChooseListFile(ESourceKind eKind);
  void Render();

  CImeiSetup& m_setup;
  QFont m_captionFont;
  std::array<QRadioButton*, 4> m_sims{};
  QCheckBox* m_pAllSame = nullptr;
  QComboBox* m_pChips = nullptr;
  QComboBox* m_pPorts = nullptr;
  QCheckBox* m_p14Digits = nullptr;
  std::array<SKindControls, 3> m_kinds;  // by ESourceKind
};
