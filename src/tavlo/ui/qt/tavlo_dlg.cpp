#include "tavlo/ui/qt/tavlo_dlg.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <QStringList>
#include <QTextCursor>
#include <QTextEdit>
#include <QTimer>

#include "gui/dialog_font.h"
#include "gui/dialogs.h"
#include "gui/model_color.h"
#include "gui/text_limit.h"
#include "gui/translation.h"
#include "tavlo/ui/qt/color_wnd.h"
#include "tavlo/ui/qt/imei_setup_dlg.h"
#include "tavlo/ui/writer_texts.h"

namespace {

// Template 102, in dialog units of the dialog font.
constexpr int kDialogWidth = 661, kDialogHeight = 481;
constexpr int kDialogPoints = 9, kButtonPoints = 16;
// Left edges of the two columns of number fields: label, then edit.
constexpr int kLabelLeft[2] = {16, 256}, kEditLeft[2] = {52, 292};
constexpr int kLabelWidth = 34, kEditWidth = 140, kEditHeight = 14;
constexpr int kButtonLeft = 510, kButtonWidth = 144, kButtonHeight = 48, kButtonPitch = 54;

constexpr char kDdrFilter[] = "Txt Files (*.bin)";

QString Tr(const char* pszSource) {
  return QCoreApplication::translate(CTavloDlg::kTextContext, pszSource);
}

template <typename W>
W* Place(W* pWidget, const QRect& rect, const char* pszName) {
  pWidget->setGeometry(rect);
  pWidget->setObjectName(QString::fromLatin1(pszName));
  return pWidget;
}

void SetTextIfChanged(QLineEdit* pEdit, const std::string& strText) {
  const QString strShown = QString::fromStdString(strText);
  if (pEdit->text() != strShown) pEdit->setText(strShown);
}

// The big buttons' face: "黑体" where it exists, else a heavy CJK sans.
QFont ButtonFont() {
  QFont font;
  font.setFamilies({QStringLiteral("黑体"), QStringLiteral("SimHei"),
                    QStringLiteral("WenQuanYi Zen Hei"), QStringLiteral("Noto Sans CJK SC")});
  font.setPointSize(kButtonPoints);
  font.setBold(true);
  return font;
}

// The picture at the top right: a phone with its IMEI label.
class CPhonePicture final : public QWidget {
 public:
  using QWidget::QWidget;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillRect(rect(), QColor(236, 240, 246));
    const qreal h = height() * 0.86, w = h * 0.52;
    const QRectF body((width() - w) / 2, (height() - h) / 2, w, h);
    painter.setPen(QPen(QColor(40, 44, 52), 2));
    painter.setBrush(QColor(58, 64, 76));
    painter.drawRoundedRect(body, w * 0.14, w * 0.14);
    const QRectF screen = body.adjusted(w * 0.08, h * 0.1, -w * 0.08, -h * 0.16);
    QLinearGradient glass(screen.topLeft(), screen.bottomRight());
    glass.setColorAt(0, QColor(90, 170, 235));
    glass.setColorAt(1, QColor(25, 80, 150));
    painter.setPen(Qt::NoPen);
    painter.setBrush(glass);
    painter.drawRect(screen);
    painter.setBrush(QColor(200, 204, 212));
    const qreal r = w * 0.07;
    painter.drawEllipse(QPointF(body.center().x(), body.bottom() - h * 0.08), r, r);
    QFont font = painter.font();
    font.setBold(true);
    font.setPixelSize(std::max(8, static_cast<int>(screen.width() / 4.2)));
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(screen, Qt::AlignCenter, QStringLiteral("IMEI"));
  }
};

}  // namespace

QString CTavloDlg::Shown(const std::string& strText) {
  QStringList lines;
  size_t nStart = 0;
  for (;;) {
    const size_t nEnd = strText.find('\n', nStart);
    lines << gui::TranslateShown(kTextContext, strText.substr(nStart, nEnd - nStart));
    if (nEnd == std::string::npos) break;
    nStart = nEnd + 1;
  }
  return lines.join(QLatin1Char('\n'));
}

CTavloDlg::CTavloDlg(STavloApp& app, QWidget* pParent)
    : QDialog(pParent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint) {
  setFont(gui::DialogFont(kDialogPoints));
  const gui::CDialogUnits units(font());
  setFixedSize(units.X(kDialogWidth), units.Y(kDialogHeight));
  BuildInputs(units);
  BuildButtons(units);

  // There is no system menu to extend: the about box is on the window's own menu.
  auto* pAbout = new QAction(Tr(writer_text::kAboutMenu), this);
  connect(pAbout, &QAction::triggered, this, &CTavloDlg::ShowAbout);
  addAction(pAbout);
  setContextMenuPolicy(Qt::ActionsContextMenu);

  m_pModel = std::make_unique<CTavloWindow>(static_cast<IWriterHost&>(*this), m_queue, app);
  const SWriterView& view = m_pModel->View();
  for (size_t i = 0; i < m_fields.size(); ++i) {
    m_limits[i]->SetLimit(static_cast<int>(view.fields[i].nMaxLength));
  }
  if (!view.strImageDir.empty()) m_pPdlPath->setText(QString::fromStdString(view.strImageDir));
  Render();
}

CTavloDlg::~CTavloDlg() {
  Shutdown();
}

void CTavloDlg::BuildInputs(const gui::CDialogUnits& units) {
  Place(new QGroupBox(Tr(writer_text::kParams), this), units.Rect(7, 4, 496, 148), "params");

  auto makeCheck = [&](const char* pszText, int nLeft, int nWidth, const char* pszName) {
    return Place(new QCheckBox(Tr(pszText), this), units.Rect(nLeft, 16, nWidth, 12), pszName);
  };
  m_pWriteImei = makeCheck(writer_text::kWriteImei, 16, 62, "writeImei");
  m_pWriteMbsn = makeCheck(writer_text::kWriteMbsn, 84, 62, "writeMbsn");
  m_pWritePsn = makeCheck(writer_text::kWritePsn, 152, 58, "writePsn");
  m_pWriteLcd = makeCheck(writer_text::kWriteLcd, 216, 84, "writeLcd");
  m_pWriteDdr = makeCheck(writer_text::kWriteDdr, 306, 58, "writeDdr");
  m_pCheckImei = makeCheck(writer_text::kCheckImei, 420, 76, "checkImei");
  connect(m_pWriteImei, &QCheckBox::clicked, this,
          [this](bool b) { Handle([b](CTavloWindow& model) { model.OnCheckImei(b); }); });
  connect(m_pWriteMbsn, &QCheckBox::clicked, this,
          [this](bool b) { Handle([b](CTavloWindow& model) { model.OnCheckMbsn(b); }); });
  connect(m_pWritePsn, &QCheckBox::clicked, this,
          [this](bool b) { Handle([b](CTavloWindow& model) { model.OnCheckPsn(b); }); });
  connect(m_pWriteLcd, &QCheckBox::clicked, this,
          [this](bool b) { Handle([b](CTavloWindow& model) { model.OnCheckLcdName(b); }); });
  connect(m_pWriteDdr, &QCheckBox::clicked, this,
          [this](bool b) { Handle([b](CTavloWindow& model) { model.OnCheckDdrFirmware(b); }); });
  connect(m_pCheckImei, &QCheckBox::clicked, this,
          [this](bool b) { Handle([b](CTavloWindow& model) { model.OnCheckImeiVerify(b); }); });

  // IMEI 1 and 2, then 3 and 4, then MBSN and PSN, two to a row.
  static constexpr const char* kFieldNames[] = {"imei1", "imei2", "imei3", "imei4", "mbsn", "psn"};
  const QString labels[] = {QStringLiteral("IMEI 1"), QStringLiteral("IMEI 2"),
                            QStringLiteral("IMEI 3"), QStringLiteral("IMEI 4"),
                            Tr(writer_text::kMbsn),   Tr(writer_text::kPsn)};
  static constexpr int kRowTops[] = {36, 36, 58, 58, 84, 84};
  for (size_t i = 0; i < m_fields.size(); ++i) {
    const int nColumn = static_cast<int>(i % 2), nTop = kRowTops[i];
    auto* pLabel = Place(new QLabel(labels[i], this),
                         units.Rect(kLabelLeft[nColumn], nTop + 2, kLabelWidth, 10), "");
    pLabel->setObjectName(QString::fromLatin1(kFieldNames[i]) + QStringLiteral("Label"));
    QLineEdit* pEdit =
        Place(new QLineEdit(this), units.Rect(kEditLeft[nColumn], nTop, kEditWidth, kEditHeight),
              kFieldNames[i]);
    pLabel->setBuddy(pEdit);
    const bool bImei = i < 4;
    m_limits[i] = new gui::CTextLimit(0, bImei, pEdit);
    pEdit->setValidator(m_limits[i]);
    m_fields[i] = pEdit;
    const auto eField = static_cast<ENumberField>(i);
    connect(pEdit, &QLineEdit::textEdited, this, [this, eField](const QString& strText) {
      Handle([&](CTavloWindow& model) { model.SetFieldText(eField, strText.toStdString()); });
    });
  }

  Place(new QLabel(QStringLiteral("LCD"), this), units.Rect(16, 110, kLabelWidth, 10), "lcdLabel");
  m_pLcdType = Place(new QComboBox(this), units.Rect(52, 108, 50, kEditHeight), "lcdType");
  for (const char* pszName : kLcdInterfaces) m_pLcdType->addItem(QString::fromLatin1(pszName));
  connect(m_pLcdType, &QComboBox::activated, this, [this](int nIndex) {
    Handle([nIndex](CTavloWindow& model) { model.SelectLcdInterface(nIndex); });
  });
  m_pLcdName = Place(new QLineEdit(this), units.Rect(108, 108, 84, kEditHeight), "lcdName");
  connect(m_pLcdName, &QLineEdit::textEdited, this, [this](const QString& strText) {
    Handle([&](CTavloWindow& model) { model.SetLcdName(strText.toStdString()); });
  });

  Place(new QLabel(QStringLiteral("DDR"), this), units.Rect(16, 132, kLabelWidth, 10), "ddrLabel");
  m_pDdrPath = Place(new QLineEdit(this), units.Rect(52, 130, 380, kEditHeight), "ddrPath");
  m_pDdrPath->setReadOnly(true);
  m_pBrowseDdr = Place(new QPushButton(Tr(writer_text::kChoose), this),
                       units.Rect(438, 130, 56, kEditHeight), "browseDdr");
  m_pBrowseDdr->setAutoDefault(false);
  connect(m_pBrowseDdr, &QPushButton::clicked, this,
          [this] { Handle([](CTavloWindow& model) { model.OnBtBrwsDdr(); }); });

  // The image folder handed to the worker; never shown.
  auto* pPdlLabel =
      Place(new QLabel(QStringLiteral("PDL Path"), this), units.Rect(16, 152, 34, 10), "pdlLabel");
  m_pPdlPath = Place(new QLineEdit(this), units.Rect(52, 150, 200, kEditHeight), "pdlPath");
  m_pPdlPath->setReadOnly(true);
  pPdlLabel->hide();
  m_pPdlPath->hide();

  m_pCounts = Place(new QLabel(this), units.Rect(300, 110, 194, 10), "counts");
  m_pCounts->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

  Place(new CPhonePicture(this), units.Rect(kButtonLeft, 4, kButtonWidth, 112), "picture");

  m_pLog = Place(new QTextEdit(this), units.Rect(7, 158, 496, 236), "log");
  m_pLog->setReadOnly(true);
  m_pLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  m_pLog->setFocusPolicy(Qt::ClickFocus);
  QPalette black = m_pLog->palette();
  black.setColor(QPalette::Base, Qt::black);
  black.setColor(QPalette::Text, Qt::white);
  m_pLog->setPalette(black);

  m_pBanner = Place(new tavlo::CColorWnd(this), units.Rect(7, 400, 647, 74), "banner");
}

void CTavloDlg::BuildButtons(const gui::CDialogUnits& units) {
  const QFont font = ButtonFont();
  int nTop = 124;
  auto makeButton = [&](const char* pszText, const char* pszName) {
    auto* pButton = Place(new QPushButton(Tr(pszText), this),
                          units.Rect(kButtonLeft, nTop, kButtonWidth, kButtonHeight), pszName);
    pButton->setFont(font);
    pButton->setAutoDefault(false);
    nTop += kButtonPitch;
    return pButton;
  };
  m_pStart = makeButton(writer_text::kStart, "start");
  m_pStop = makeButton(writer_text::kStop, "stop");
  m_pReset = makeButton(writer_text::kResetHistory, "resetHistory");
  m_pSetup = makeButton(writer_text::kSetup, "setup");
  m_pExit = makeButton(writer_text::kExit, "exit");
  m_pStart->setDefault(true);
  connect(m_pStart, &QPushButton::clicked, this,
          [this] { Handle([](CTavloWindow& model) { model.OnStart(); }); });
  connect(m_pStop, &QPushButton::clicked, this,
          [this] { Handle([](CTavloWindow& model) { model.OnStop(); }); });
  connect(m_pReset, &QPushButton::clicked, this,
          [this] { Handle([](CTavloWindow& model) { model.OnResetHistory(); }); });
  connect(m_pSetup, &QPushButton::clicked, this,
          [this] { Handle([](CTavloWindow& model) { model.OnButtonSetup(); }); });
  connect(m_pExit, &QPushButton::clicked, this, &CTavloDlg::OnExit);
}

void CTavloDlg::ShowAbout() {
  QMessageBox::about(this, Tr(writer_text::kAboutTitle), Tr(writer_text::kAboutText));
}

template <typename F>
void CTavloDlg::Handle(F fnHandler) {
  if (!m_pModel) return;
  ++m_nHandlerDepth;
  fnHandler(*m_pModel);
  --m_nHandlerDepth;
  // The effect shows at once, not with the next batch.
  Render();
  ExitIfAsked();
}

void CTavloDlg::ExitIfAsked() {
  if (m_nHandlerDepth == 0 && m_bExitAsked) {
    m_bExitAsked = false;
    QTimer::singleShot(0, this, &CTavloDlg::ExitStoppingRun);
  }
}

void CTavloDlg::OnExit() {
  if (!m_pModel) return;
  if (m_nHandlerDepth > 0) {
    m_bExitAsked = true;
    return;
  }
  Handle([](CTavloWindow& model) { model.OnClose(); });
  Shutdown();
  m_bLeaving = true;
  done(QDialog::Accepted);
}

void CTavloDlg::ExitStoppingRun() {
  if (!m_pModel) return;
  if (m_nHandlerDepth > 0) {
    m_bExitAsked = true;
    return;
  }
  if (m_pModel->IsBusy()) Handle([](CTavloWindow& model) { model.OnStop(); });
  OnExit();
}

void CTavloDlg::closeEvent(QCloseEvent* pEvent) {
  // Only Exit leaves the window: it saves the settings.
  if (m_bLeaving) return pEvent->accept();
  pEvent->ignore();
}

void CTavloDlg::reject() {
  if (m_bLeaving) QDialog::reject();
}

void CTavloDlg::Shutdown() {
  if (!m_pModel) return;
  // The model's end stops a run and joins the worker while this window
  // goes on serving its calls.
  if (m_pModel->IsBusy()) m_pModel->OnStop();
  m_pModel.reset();
}

void CTavloDlg::MessageBox(const std::string& strText) {
  // A worker's box holds the worker: an Exit asked for meanwhile (a signal)
  // waits until the operator has closed it, or Stop would wait for ever.
  ++m_nHandlerDepth;
  gui::ShowMessage(this, Shown(strText));
  --m_nHandlerDepth;
  ExitIfAsked();
}

std::optional<std::string> CTavloDlg::ChooseDdrFile() {
  if (auto path = gui::ChooseOpenFile(this, QString::fromLatin1(kDdrFilter), m_pDdrPath->text(),
                                      QStringLiteral("ddrFileDialog"))) {
    return path->toStdString();
  }
  return std::nullopt;
}

bool CTavloDlg::RunSetup(CImeiSetup& setup) {
  CImeiSetupDlg dialog(setup, this);
  return dialog.exec() == QDialog::Accepted;
}

void CTavloDlg::LogAppended(const SLogLine& line) {
  const SLogLook look = LogLook(line.nKind);
  QTextCharFormat format;
  format.setFontFamilies(gui::DialogFont(kDialogPoints).families());
  format.setFontPointSize(look.nTwips / 20.0);
  format.setForeground(gui::ToQColor(look.colour));
  format.setFontWeight(QFont::Normal);
  format.setFontItalic(false);
  format.setFontUnderline(false);
  QTextCursor cursor(m_pLog->document());
  cursor.movePosition(QTextCursor::End);
  if (!m_pLog->document()->isEmpty()) cursor.insertBlock();
  cursor.insertText(Shown(line.strText), format);
  m_pLog->verticalScrollBar()->setValue(m_pLog->verticalScrollBar()->maximum());
}

void CTavloDlg::LogCleared() {
  m_pLog->clear();
}

void CTavloDlg::Changed() {
  m_render.Request();
}

void CTavloDlg::ServeQueueWhileWaiting(CMessageQueue& queue, int nMs) {
  m_pump.ServeWhileWaiting(queue, nMs);
}

void CTavloDlg::Render() {
  if (!m_pModel) return;
  const SWriterView& view = m_pModel->View();
  for (size_t i = 0; i < m_fields.size(); ++i) {
    SetTextIfChanged(m_fields[i], view.fields[i].strText);
    m_fields[i]->setEnabled(view.fields[i].bEnabled);
  }
  const std::pair<QCheckBox*, bool> boxes[] = {{m_pWriteImei, view.bWriteImei},
                                               {m_pWriteMbsn, view.bWriteMbsn},
                                               {m_pWritePsn, view.bWritePsn},
                                               {m_pWriteLcd, view.bWriteLcd},
                                               {m_pWriteDdr, view.bWriteDdr}};
  for (const auto& [pBox, bChecked] : boxes) {
    pBox->setChecked(bChecked);
    pBox->setEnabled(view.bWriteBoxesEnabled);
  }
  m_pCheckImei->setChecked(view.bCheckImei);
  m_pLcdType->setCurrentIndex(view.nLcdInterface);
  m_pLcdType->setEnabled(view.bLcdInterfaceEnabled);
  SetTextIfChanged(m_pLcdName, view.strLcdName);
  m_pLcdName->setEnabled(view.bLcdNameEnabled);
  SetTextIfChanged(m_pDdrPath, view.strDdrPath);
  m_pBrowseDdr->setEnabled(view.bDdrBrowseEnabled);
  m_pBanner->SetStatus(view.nBanner);
  m_pCounts->setText(Shown(view.strCounts));
  // The title's words are translated, the version that follows them is not.
  const QString strTitle =
      Tr(view.strTitleWords.c_str()) + QString::fromStdString(view.strTitleRest);
  if (windowTitle() != strTitle) setWindowTitle(strTitle);
  m_pStart->setEnabled(view.bStartEnabled);
  m_pReset->setEnabled(view.bResetEnabled);
  m_pSetup->setEnabled(view.bSetupEnabled);
  m_pExit->setEnabled(view.bExitEnabled);
  RenderFocus(view);
}

void CTavloDlg::RenderFocus(const SWriterView& view) {
  if (view.nFocusMoves == m_nFocusMovesShown || !view.focus) return;
  QLineEdit* pField = m_fields[static_cast<size_t>(*view.focus)];
  // A field disabled for a run takes the focus once the run has enabled it.
  if (!pField->isEnabled()) return;
  m_nFocusMovesShown = view.nFocusMoves;
  pField->setFocus(Qt::OtherFocusReason);
  if (view.bFocusSelectsAll) pField->selectAll();
}
