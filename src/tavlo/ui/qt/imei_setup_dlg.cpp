#include "tavlo/ui/qt/imei_setup_dlg.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStringList>
#include <algorithm>

#include "gui/dialog_font.h"
#include "gui/dialogs.h"
#include "gui/text_limit.h"
#include "tavlo/ui/qt/tavlo_dlg.h"
#include "tavlo/ui/setup_layout.h"
#include "tavlo/ui/writer_texts.h"

namespace {

using namespace setup_layout;

constexpr char kListFilter[] = "Txt Files (*.txt);;All Files (*.*)";

QString Tr(const char* pszSource) {
  return QCoreApplication::translate(CTavloDlg::kTextContext, pszSource);
}

template <typename W>
W* Place(W* pWidget, const QRect& rect, const QString& strName) {
  pWidget->setGeometry(rect);
  pWidget->setObjectName(strName);
  return pWidget;
}

QString Name(const char* pszPrefix, const char* pszPart) {
  return QString::fromLatin1(pszPrefix) + QString::fromLatin1(pszPart);
}

void SetTextIfChanged(QLineEdit* pEdit, const std::string& strText) {
  const QString strShown = QString::fromStdString(strText);
  if (pEdit->text() != strShown) pEdit->setText(strShown);
}

// The captions' face: "arial", with the CJK faces of the dialog font behind it.
QFont CaptionFont() {
  QFont font = gui::DialogFont(kCaptionPoints);
  QStringList families = font.families();
  families.prepend(QStringLiteral("Liberation Sans"));
  families.prepend(QStringLiteral("Arial"));
  font.setFamilies(families);
  return font;
}

}  // namespace

CImeiSetupDlg::CImeiSetupDlg(CImeiSetup& setup, QWidget* pParent)
    : QDialog(pParent), m_setup(setup), m_captionFont(CaptionFont()) {
  setObjectName(QStringLiteral("setupDialog"));
  setFont(gui::DialogFont(kDialogPoints));
  const gui::CDialogUnits units(font());
  setFixedSize(units.X(kDialogWidth), units.Y(kDialogHeight));
  setWindowTitle(Tr(writer_text::kSetup));
  BuildCounts(units);
  for (ESourceKind eKind : kSourceKinds) {
    BuildKind(units, eKind, kKindTops[static_cast<size_t>(eKind)]);
  }
  BuildButtons(units);

  // Filled once, as the dialog opens; both lists only show.
  const SSetupView& view = m_setup.View();
  for (const std::string& strChip : view.chipNames)
    m_pChips->addItem(QString::fromStdString(strChip));
  m_pChips->setCurrentIndex(view.nChip);
  for (const std::string& strPort : view.ports) m_pPorts->addItem(QString::fromStdString(strPort));
  // Shown from the start of the name, as the list entries are.
  m_pPorts->lineEdit()->setCursorPosition(0);
  m_pChips->setEnabled(false);
  m_pPorts->setEnabled(false);
  Render();
}

void CImeiSetupDlg::BuildCounts(const gui::CDialogUnits& units) {
  auto* pSimGroup = Place(new QGroupBox(Tr(writer_text::kSimCount), this),
                          units.Rect(7, 7, 170, 62), QStringLiteral("simGroup"));
  pSimGroup->setFont(m_captionFont);
  auto* pSims = new QButtonGroup(this);
  for (int i = 0; i < 4; ++i) {
    auto* pRadio = Place(new QRadioButton(Tr(writer_text::kSimCounts[i]), this),
                         units.Rect(16 + 80 * (i % 2), 20 + 16 * (i / 2), 72, 12),
                         QStringLiteral("sim%1").arg(i + 1));
    pRadio->setFont(m_captionFont);
    pSims->addButton(pRadio);
    m_sims[i] = pRadio;
    connect(pRadio, &QRadioButton::clicked, this, [this, i](bool bChecked) {
      if (bChecked) m_setup.OnRadioSim(i + 1);
      Render();
    });
  }
  m_pAllSame = Place(new QCheckBox(Tr(writer_text::kAllSame), this), units.Rect(16, 52, 150, 12),
                     QStringLiteral("allSame"));
  m_pAllSame->setFont(m_captionFont);
  connect(m_pAllSame, &QCheckBox::clicked, this, [this](bool bChecked) {
    m_setup.OnCheckAllSame(bChecked);
    Render();
  });

  auto* pChipGroup = Place(new QGroupBox(Tr(writer_text::kChip), this), units.Rect(184, 7, 86, 62),
                           QStringLiteral("chipGroup"));
  pChipGroup->setFont(m_captionFont);
  m_pChips =
      Place(new QComboBox(this), units.Rect(192, 24, 70, kEditHeight), QStringLiteral("chipList"));
  auto* pPortGroup = Place(new QGroupBox(Tr(writer_text::kPorts), this), units.Rect(276, 7, 87, 62),
                           QStringLiteral("portGroup"));
  pPortGroup->setFont(m_captionFont);
  m_pPorts =
      Place(new QComboBox(this), units.Rect(284, 24, 72, kEditHeight), QStringLiteral("portList"));
  m_pPorts->setEditable(true);
}

void CImeiSetupDlg::BuildKind(const gui::CDialogUnits& units, ESourceKind eKind, int nTop) {
  static constexpr const char* kPrefixes[] = {"imei", "mbsn", "psn"};
  static constexpr const char* kTitles[] = {writer_text::kImei, writer_text::kMbsn,
                                            writer_text::kPsn};
  static constexpr const char* kTypeTexts[] = {writer_text::kManual, writer_text::kFromFile,
                                               writer_text::kCustom};
  static constexpr const char* kTypeNames[] = {"Manual", "FromFile", "Custom"};
  const size_t k = static_cast<size_t>(eKind);
  const char* pszPrefix = kPrefixes[k];
  SKindControls& kind = m_kinds[k];

  auto* pGroup = Place(new QGroupBox(Tr(kTitles[k]), this), units.Rect(7, nTop, 356, kKindHeight),
                       Name(pszPrefix, "Group"));
  pGroup->setFont(m_captionFont);
  auto* pTypes = new QButtonGroup(this);
  for (int t = 0; t < 3; ++t) {
    auto* pRadio =
        Place(new QRadioButton(Tr(kTypeTexts[t]), this),
              units.Rect(16 + 72 * t, nTop + kTypeRow, 68, 12), Name(pszPrefix, kTypeNames[t]));
    pRadio->setFont(m_captionFont);
    pTypes->addButton(pRadio);
    kind.types[t] = pRadio;
    connect(pRadio, &QRadioButton::clicked, this, [this, eKind, t](bool bChecked) {
      if (bChecked) m_setup.OnRadioInputType(eKind, static_cast<InputType>(t));
      Render();
    });
  }
  if (eKind == ESourceKind::Imei) {
    m_p14Digits = Place(new QCheckBox(Tr(writer_text::kCustom14), this),
                        units.Rect(236, nTop + kTypeRow, 120, 12), QStringLiteral("imei14"));
    m_p14Digits->setFont(m_captionFont);
    connect(m_p14Digits, &QCheckBox::clicked, this, [this](bool bChecked) {
      m_setup.OnCheck14Char(bChecked);
      Render();
    });
  }

  kind.pFile = Place(new QLineEdit(this), units.Rect(16, nTop + kFileRow, 276, kEditHeight),
                     Name(pszPrefix, "File"));
  kind.pFile->setReadOnly(true);
  kind.pBrowse =
      Place(new QPushButton(Tr(writer_text::kChoose), this),
            units.Rect(298, nTop + kFileRow, 56, kEditHeight), Name(pszPrefix, "Browse"));
  kind.pBrowse->setFont(m_captionFont);
  kind.pBrowse->setAutoDefault(false);
  connect(kind.pBrowse, &QPushButton::clicked, this, [this, eKind] { ChooseListFile(eKind); });

  const int nRange = nTop + kRangeRow;
  kind.pInitLabel = Place(new QLabel(Tr(writer_text::kInitCode), this),
                          units.Rect(16, nRange + 2, 40, 10), Name(pszPrefix, "InitLabel"));
  kind.pInit =
      Place(new QLineEdit(this), units.Rect(58, nRange, 120, kEditHeight), Name(pszPrefix, "Init"));
  kind.pMaskLabel = Place(new QLabel(Tr(writer_text::kMask), this),
                          units.Rect(190, nRange + 2, 30, 10), Name(pszPrefix, "MaskLabel"));
  kind.pMask = Place(new QLineEdit(this), units.Rect(222, nRange, 132, kEditHeight),
                     Name(pszPrefix, "Mask"));
  for (QLabel* pLabel : {kind.pInitLabel, kind.pMaskLabel}) pLabel->setFont(m_captionFont);
  kind.pInitLabel->setBuddy(kind.pInit);
  kind.pMaskLabel->setBuddy(kind.pMask);
  // The IMEI's initial number takes digits only; masks also take "*".
  kind.pInitLimit = new gui::CTextLimit(0, eKind == ESourceKind::Imei, kind.pInit);
  kind.pMaskLimit = new gui::CTextLimit(0, false, kind.pMask);
  kind.pInit->setValidator(kind.pInitLimit);
  kind.pMask->setValidator(kind.pMaskLimit);
  connect(kind.pInit, &QLineEdit::textEdited, this, [this, eKind](const QString& strText) {
    m_setup.SetInitText(eKind, strText.toStdString());
    Render();
  });
  connect(kind.pMask, &QLineEdit::textEdited, this, [this, eKind](const QString& strText) {
    m_setup.SetMaskText(eKind, strText.toStdString());
    Render();
  });
}

void CImeiSetupDlg::BuildButtons(const gui::CDialogUnits& units) {
  auto* pOk = Place(new QPushButton(Tr(writer_text::kOk), this), units.Rect(232, 304, 62, 16),
                    QStringLiteral("ok"));
  auto* pCancel = Place(new QPushButton(Tr(writer_text::kCancel), this),
                        units.Rect(301, 304, 62, 16), QStringLiteral("cancel"));
  for (QPushButton* pButton : {pOk, pCancel}) pButton->setFont(m_captionFont);
  pOk->setDefault(true);
  connect(pOk, &QPushButton::clicked, this, &CImeiSetupDlg::accept);
  connect(pCancel, &QPushButton::clicked, this, &CImeiSetupDlg::reject);
}

void CImeiSetupDlg::ChooseListFile(ESourceKind eKind) {
  const SSourceView& source = m_setup.View().sources[static_cast<size_t>(eKind)];
  if (auto path = gui::ChooseOpenFile(this, QString::fromLatin1(kListFilter),
                                      QString::fromStdString(source.strFile),
                                      QStringLiteral("listFileDialog"))) {
    m_setup.OnChooseListFile(eKind, path->toStdString());
  }
  Render();
}

void CImeiSetupDlg::accept() {
  std::string strMessage;
  if (!m_setup.OnOK(&strMessage)) {
    gui::ShowMessage(this, CTavloDlg::Shown(strMessage));
    return;
  }
  QDialog::accept();
}

void CImeiSetupDlg::Render() {
  const SSetupView& view = m_setup.View();
  // A count outside 1..4 checks no button.
  QButtonGroup* pSims = m_sims[0]->group();
  pSims->setExclusive(false);
  for (int i = 0; i < 4; ++i) m_sims[i]->setChecked(view.nSimCount == i + 1);
  pSims->setExclusive(true);
  m_pAllSame->setChecked(view.bAllSame);
  m_p14Digits->setChecked(view.b14Digits);
  for (ESourceKind eKind : kSourceKinds) {
    const SSourceView& source = view.sources[static_cast<size_t>(eKind)];
    SKindControls& kind = m_kinds[static_cast<size_t>(eKind)];
    for (int t = 0; t < 3; ++t) kind.types[t]->setChecked(source.eInputType == t);
    SetTextIfChanged(kind.pFile, source.strFile);
    kind.pFile->setEnabled(source.bFileEnabled);
    kind.pBrowse->setEnabled(source.bFileEnabled);
    // The limits apply to typing; text already there stays as it is.
    kind.pInitLimit->SetLimit(static_cast<int>(source.nInitMaskLimit));
    kind.pMaskLimit->SetLimit(static_cast<int>(source.nInitMaskLimit));
    SetTextIfChanged(kind.pInit, source.strInit);
    SetTextIfChanged(kind.pMask, source.strMask);
    kind.pInit->setEnabled(source.bInitMaskEnabled);
    kind.pMask->setEnabled(source.bInitMaskEnabled);
    if (eKind == ESourceKind::Imei) m_p14Digits->setEnabled(view.b14DigitsEnabled);
  }
}
