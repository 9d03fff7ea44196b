#include "quillport/ui/qt/quillport_dlg.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <algorithm>

#include "common/version.h"
#include "gui/dialog_font.h"
#include "gui/dialogs.h"
#include "gui/model_color.h"
#include "gui/translation.h"
#include "quillport/ui/qt/color_edit.h"
#include "quillport/ui/qt/color_wnd.h"
#include "quillport/ui/qt/gradient_progress_ctrl.h"
#include "quillport/ui/qt/timer_edit.h"
#include "quillport/ui/row_drawing.h"
#include "quillport/ui/window_layout.h"
#include "quillport/ui/window_texts.h"
#include "serial/port_watcher.h"

namespace {

using namespace window_layout;

constexpr int kTimerTickMs = 1000;

constexpr char kBinFilter[] = "Bin Files (*_norq_total.bin)";
constexpr char kCfpFilter[] = "Cfp Files (*.cfp)";

QString Tr(const char* pszSource) {
  return QCoreApplication::translate(CQuillportDlg::kTextContext, pszSource);
}

QString Shown(const std::string& strText) {
  return gui::TranslateShown(CQuillportDlg::kTextContext, strText);
}

template <typename W>
W* Place(W* pWidget, const QRect& rect, const char* pszName) {
  pWidget->setGeometry(rect);
  pWidget->setObjectName(QString::fromLatin1(pszName));
  return pWidget;
}

QRect RowRect(const gui::CDialogUnits& units, int nRow, SColumn column) {
  return units.Rect(column.nLeft, kFirstRowTop + kRowPitch * nRow, column.nWidth, kRowHeight);
}

QString RowName(int nRow, const char* pszPart) {
  return QStringLiteral("row%1.%2").arg(nRow).arg(QLatin1String(pszPart));
}

}  // namespace

QString CQuillportDlg::Title() {
  return Tr(window_text::kTitle) + QStringLiteral("_v ") + QString::fromLatin1(kProductVersion);
}

CQuillportDlg::CQuillportDlg(const std::string& strBaseFolder, QWidget* pParent)
    : QDialog(pParent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                           Qt::WindowCloseButtonHint),
      m_rowFont(gui::DialogFont(kRowPoints)) {
  setFont(gui::DialogFont(kDialogPoints));
  const gui::CDialogUnits units(font());
  setFixedSize(units.X(kDialogWidth), units.Y(kDialogHeight));
  setWindowTitle(Title());
  BuildOperations(units);
  BuildRows(units);
  BuildBannerAndTip(units);

  // No system menu to extend here: the about box is on the window's own menu.
  auto* pAbout = new QAction(Tr(window_text::kAbout), this);
  connect(pAbout, &QAction::triggered, this, &CQuillportDlg::ShowAbout);
  addAction(pAbout);
  setContextMenuPolicy(Qt::ActionsContextMenu);

  m_pModel =
      std::make_unique<CQuillportWindow>(static_cast<IWindowHost&>(*this), m_queue, strBaseFolder);
  m_pWatcher = std::make_unique<CPortWatcher>([this](bool bArrived, const std::string& strCom) {
    m_queue.PostTask([this, bArrived, strCom] {
      if (m_pModel) m_pModel->OnDeviceChange(bArrived, strCom);
    });
  });
  auto* pTick = new QTimer(this);
  connect(pTick, &QTimer::timeout, this, &CQuillportDlg::RenderTimers);
  pTick->start(kTimerTickMs);
  Render();
}

CQuillportDlg::~CQuillportDlg() {
  Shutdown();
}

void CQuillportDlg::BuildOperations(const gui::CDialogUnits& units) {
  m_pGroup = Place(new QGroupBox(Tr(window_text::kSettings), this), units.Rect(7, 3, 689, 70),
                   "operations");
  Place(new QLabel(Tr(window_text::kSelectBin), this), units.Rect(16, 18, 52, 10), "binLabel");
  m_pPackPath = Place(new QLineEdit(this), units.Rect(70, 16, 380, 14), "packagePath");
  m_pPackPath->setReadOnly(true);
  // Focus leaving a disabled Start all must not land here and select the path.
  m_pPackPath->setFocusPolicy(Qt::ClickFocus);
  m_pBrowse =
      Place(new QPushButton(Tr(window_text::kLoad), this), units.Rect(456, 16, 50, 14), "browse");
  connect(m_pBrowse, &QPushButton::clicked, this,
          [this] { Handle([](CQuillportWindow& model) { model.OnBrowsePackage(); }); });

  // The cfp row exists but stays hidden: nothing reads the cfp file.
  m_pCfpLabel =
      Place(new QLabel(Tr(window_text::kSelectCfp), this), units.Rect(16, 34, 52, 10), "cfpLabel");
  m_pCfpPath = Place(new QLineEdit(this), units.Rect(70, 32, 380, 14), "cfpPath");
  m_pCfpPath->setReadOnly(true);
  m_pCfpBrowse = Place(new QPushButton(Tr(window_text::kLoad), this), units.Rect(456, 32, 50, 14),
                       "cfpBrowse");
  m_pCfpClear =
      Place(new QPushButton(QStringLiteral("X"), this), units.Rect(510, 32, 14, 14), "cfpClear");
  connect(m_pCfpBrowse, &QPushButton::clicked, this,
          [this] { Handle([](CQuillportWindow& model) { model.OnBrowseCfp(); }); });
  connect(m_pCfpClear, &QPushButton::clicked, this,
          [this] { Handle([](CQuillportWindow& model) { model.OnClearCfp(); }); });
  for (QWidget* pCfp : {static_cast<QWidget*>(m_pCfpLabel), static_cast<QWidget*>(m_pCfpPath),
                        static_cast<QWidget*>(m_pCfpBrowse), static_cast<QWidget*>(m_pCfpClear)}) {
    pCfp->hide();
    pCfp->setEnabled(false);
  }

  // Display only: filelist.ini decides.
  m_pFormatFlash = Place(new QCheckBox(Tr(window_text::kFormatAll), this),
                         units.Rect(16, 53, 70, 12), "formatFlash");
  m_pFormatFlash->setEnabled(false);
  Place(new QLabel(Tr(window_text::kTimeoutCaption), this), units.Rect(100, 55, 50, 10),
        "timeoutLabel");
  m_pTimeout = Place(new QComboBox(this), units.Rect(152, 52, 60, 14), "timeout");
  for (int nMs : CQuillportWindow::kTimeouts) m_pTimeout->addItem(QString::number(nMs));
  m_pTimeout->setEnabled(false);

  m_pStartAll = Place(new QPushButton(Tr(window_text::kStartAll), this),
                      units.Rect(540, 14, 70, 52), "startAll");
  m_pStartAll->setDefault(true);
  m_pStopAll = Place(new QPushButton(Tr(window_text::kStopAll), this), units.Rect(618, 14, 70, 52),
                     "stopAll");
  connect(m_pStartAll, &QPushButton::clicked, this,
          [this] { Handle([](CQuillportWindow& model) { model.OnStartAll(); }); });
  connect(m_pStopAll, &QPushButton::clicked, this,
          [this] { Handle([](CQuillportWindow& model) { model.OnStopAll(); }); });

  // The port-selection lock's button is not part of the layout.
  m_pKey = Place(new QPushButton(QStringLiteral("Key"), this), units.Rect(230, 52, 30, 14), "key");
  connect(m_pKey, &QPushButton::clicked, this,
          [this] { Handle([](CQuillportWindow& model) { model.OnKey(); }); });
  m_pKey->hide();
  m_pKey->setEnabled(false);
}

void CQuillportDlg::BuildRows(const gui::CDialogUnits& units) {
  for (int i = 0; i < kPortRows; ++i) {
    SRow& row = m_rows[i];
    // The caption does not fit beside a 12-unit box; operators see it on hover.
    row.pCheck = Place(new QCheckBox(this), RowRect(units, i, kCheckColumn), "");
    row.pCheck->setObjectName(RowName(i, "check"));
    row.pCheck->setToolTip(Tr(window_text::kDownload));
    row.pCheck->setAccessibleName(Tr(window_text::kDownload));
    connect(row.pCheck, &QCheckBox::clicked, this, [this, i](bool bChecked) {
      Handle([i, bChecked](CQuillportWindow& model) { model.OnPortCheck(i, bChecked); });
    });

    auto makeBox = [&](SColumn column, const char* pszPart) {
      auto* pBox = Place(new CColorEdit(this), RowRect(units, i, column), "");
      pBox->setObjectName(RowName(i, pszPart));
      pBox->setFont(m_rowFont);
      return pBox;
    };
    row.pPortLabel = makeBox(kPortColumn, "port");
    row.pState = makeBox(kStateColumn, "state");
    row.pStatus = makeBox(kStatusColumn, "status");

    row.pProgress = Place(new CGradientProgressCtrl(this), RowRect(units, i, kProgressColumn), "");
    row.pProgress->setObjectName(RowName(i, "progress"));
    row.pProgress->setFont(m_rowFont);
    row.pProgress->ShowPercent(true);
    row.pProgress->SetRange(0, 100);

    row.pTimer = Place(new CTimerEdit(this), RowRect(units, i, kTimerColumn), "");
    row.pTimer->setObjectName(RowName(i, "timer"));
    row.pTimer->setReadOnly(true);

    // A round dot as wide as its column, centred on the row.
    const QRect slot = RowRect(units, i, kDotColumn);
    const int nSide = std::min(slot.width(), units.Y(kRowHeight + 2));
    row.pDot = Place(new CColorWnd(this), QRect(0, 0, nSide, nSide), "");
    row.pDot->move(slot.center() - row.pDot->rect().center());
    row.pDot->setObjectName(RowName(i, "dot"));
    row.pDot->SetNumber(i + 1);

    row.pRestart = Place(new QPushButton(Tr(window_text::kDownload), this),
                         RowRect(units, i, kRestartColumn), "");
    row.pRestart->setObjectName(RowName(i, "restart"));
    row.pRestart->setAutoDefault(false);
    connect(row.pRestart, &QPushButton::clicked, this,
            [this, i] { Handle([i](CQuillportWindow& model) { model.OnRestart(i); }); });
  }
}

void CQuillportDlg::BuildBannerAndTip(const gui::CDialogUnits& units) {
  auto makeLabel = [&](const char* pszText, int nTop, int nWidth, int nHeight, int nPoints,
                       const QColor& clrText, const char* pszName) {
    auto* pLabel = Place(new QLabel(Tr(pszText), this),
                         units.Rect((kDialogWidth - nWidth) / 2, nTop, nWidth, nHeight), pszName);
    pLabel->setAlignment(Qt::AlignCenter);
    pLabel->setFont(gui::DialogFont(nPoints));
    QPalette colors = pLabel->palette();
    colors.setColor(QPalette::WindowText, clrText);
    pLabel->setPalette(colors);
  };
  makeLabel(window_text::kBanner, kBannerTop, kBannerWidth, kBannerHeight, kBannerPoints,
            QColor(0, 0, 255), "banner");
  makeLabel(window_text::kTip, kTipTop, kTipWidth, kTipHeight, kTipPoints, QColor(255, 0, 0),
            "tip");
}

void CQuillportDlg::ShowAbout() {
  QMessageBox::about(this, QApplication::applicationName(), Tr(window_text::kAboutText));
}

template <typename F>
void CQuillportDlg::Handle(F fnHandler) {
  if (!m_pModel) return;
  ++m_nHandlerDepth;
  fnHandler(*m_pModel);
  --m_nHandlerDepth;
  // The click's effect shows at once, not with the next batch.
  Render();
  if (m_nHandlerDepth == 0 && m_bCloseAsked) {
    m_bCloseAsked = false;
    QTimer::singleShot(0, this, &QWidget::close);
  }
}

void CQuillportDlg::closeEvent(QCloseEvent* pEvent) {
  if (m_nHandlerDepth > 0) {
    m_bCloseAsked = true;
    return pEvent->ignore();
  }
  Handle([this](CQuillportWindow& model) {
    if (m_bSaveOnClose) model.OnClose();
    Shutdown();
  });
  pEvent->accept();
}

void CQuillportDlg::reject() {
  m_bSaveOnClose = false;
  if (!close()) m_bSaveOnClose = true;
}

void CQuillportDlg::Shutdown() {
  if (!m_pModel) return;
  m_pWatcher.reset();
  // Stop all shows the rows stopping while the workers finish their step;
  // the model's end then waits for any row still busy and joins the workers.
  if (m_pModel->AnyBusy()) m_pModel->OnStopAll();
  m_pModel.reset();
}

void CQuillportDlg::MessageBox(const std::string& strText) {
  gui::ShowMessage(this, Shown(strText));
}

std::optional<std::string> CQuillportDlg::ChoosePackageFile() {
  const QString strCurrent = m_pModel ? QString::fromStdString(m_pModel->View().strPackPath) : "";
  if (auto path = gui::ChooseOpenFile(this, QString::fromLatin1(kBinFilter), strCurrent,
                                      QStringLiteral("packageFileDialog"))) {
    return path->toStdString();
  }
  return std::nullopt;
}

std::optional<std::string> CQuillportDlg::ChooseCfpFile() {
  const QString strCurrent = m_pModel ? QString::fromStdString(m_pModel->View().strCfpPath) : "";
  if (auto path = gui::ChooseOpenFile(this, QString::fromLatin1(kCfpFilter), strCurrent,
                                      QStringLiteral("cfpFileDialog"))) {
    return path->toStdString();
  }
  return std::nullopt;
}

void CQuillportDlg::Changed() {
  m_render.Request();
}

void CQuillportDlg::ServeQueueWhileWaiting(CMessageQueue& queue, int nMs) {
  m_pump.ServeWhileWaiting(queue, nMs);
}

void CQuillportDlg::Render() {
  if (!m_pModel) return;
  const SWindowView& view = m_pModel->View();
  const QString strPack = QString::fromStdString(
      view.strPackageCheck.empty() ? view.strPackPath
                                   : view.strPackPath + "  " + view.strPackageCheck);
  if (m_pPackPath->text() != strPack) m_pPackPath->setText(strPack);
  const QString strCfp = QString::fromStdString(view.strCfpPath);
  if (m_pCfpPath->text() != strCfp) m_pCfpPath->setText(strCfp);
  m_pBrowse->setEnabled(view.bBrowseEnabled);
  m_pCfpBrowse->setEnabled(view.bCfpEnabled);
  m_pCfpClear->setEnabled(view.bCfpEnabled);
  m_pStartAll->setEnabled(view.bStartAllEnabled);
  m_pStopAll->setEnabled(view.bStopAllEnabled);
  m_pFormatFlash->setChecked(view.bFormatFlash);
  m_pTimeout->setCurrentText(QString::fromStdString(view.strTimeout));
  for (int i = 0; i < kPortRows; ++i) {
    m_rows[i].pCheck->setEnabled(view.bCheckboxesEnabled);
    RenderRow(i, view.rows[i]);
  }
  RenderTimers();
}

void CQuillportDlg::RenderRow(int nRow, const SRowView& view) {
  SRow& row = m_rows[nRow];
  row.pCheck->setChecked(view.bChecked);
  SBoxView portLabel = view.portLabel;
  portLabel.strText = PortLabelShown(view);
  RenderBox(row.pPortLabel, &row.shownTexts[0], portLabel);
  RenderBox(row.pState, &row.shownTexts[1], view.stateBox,
            StateWithCounts({}, view.nPassed, view.nFailed));
  RenderBox(row.pStatus, &row.shownTexts[2], view.statusBox);

  const SProgressView& progress = view.progress;
  row.pProgress->SetGradient(gui::ToQColor(progress.from), gui::ToQColor(progress.to));
  row.pProgress->SetBkColor(gui::ToQColor(progress.bk));
  row.pProgress->SetTextColor(gui::ToQColor(progress.percentText));
  row.pProgress->SetPos(progress.nPos);
  row.pProgress->setEnabled(progress.bEnabled);

  row.pTimer->setReadOnly(view.timer.bReadOnly);
  row.pDot->SetColor(gui::ToQColor(view.dot));
  row.pDot->setEnabled(view.bDotEnabled);
  row.pRestart->setEnabled(view.bRestartEnabled);
}

void CQuillportDlg::RenderBox(CColorEdit* pBox, std::string* pShown, const SBoxView& view,
                              const std::string& strSuffix) {
  if (const std::string strKey = view.strText + '\n' + strSuffix; *pShown != strKey) {
    *pShown = strKey;
    pBox->SetShownText(Shown(view.strText) + QString::fromStdString(strSuffix));
  }
  pBox->SetBkColor(gui::ToQColor(view.bk));
  pBox->SetTextColor(gui::ToQColor(view.text));
  pBox->setEnabled(view.bEnabled);
}

void CQuillportDlg::RenderTimers() {
  if (!m_pModel) return;
  for (int i = 0; i < kPortRows; ++i) {
    const QString strShown = QString::fromStdString(m_pModel->View().rows[i].timer.Text());
    if (m_rows[i].pTimer->text() != strShown) m_rows[i].pTimer->setText(strShown);
  }
}
