#include "quillport/ui/qt/gradient_progress_ctrl.h"

#include <QPainter>

#include "gui/model_color.h"
#include "quillport/ui/row_drawing.h"

namespace {

using gui::FromQColor;
using gui::ToQColor;

}  // namespace

CGradientProgressCtrl::CGradientProgressCtrl(QWidget* pParent) : QWidget(pParent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  setAttribute(Qt::WA_NoSystemBackground);
}

void CGradientProgressCtrl::SetRange(int nLower, int nUpper) {
  m_nLower = nLower;
  m_nUpper = nUpper;
  m_nPos = nLower;
  update();
}

void CGradientProgressCtrl::SetPos(int nPos) {
  if (nPos == m_nPos) return;
  m_nPos = nPos;
  update();
}

void CGradientProgressCtrl::SetGradient(const QColor& clrStart, const QColor& clrEnd) {
  if (clrStart == m_clrStart && clrEnd == m_clrEnd) return;
  m_clrStart = clrStart;
  m_clrEnd = clrEnd;
  update();
}

void CGradientProgressCtrl::SetBkColor(const QColor& clrBk) {
  if (clrBk == m_clrBk) return;
  m_clrBk = clrBk;
  update();
}

void CGradientProgressCtrl::SetTextColor(const QColor& clrText) {
  if (clrText == m_clrText) return;
  m_clrText = clrText;
  update();
}

void CGradientProgressCtrl::ShowPercent(bool bShow) {
  if (bShow == m_bShowPercent) return;
  m_bShowPercent = bShow;
  update();
}

void CGradientProgressCtrl::paintEvent(QPaintEvent*) {
  const SProgressDrawing drawing =
      DrawProgress(m_nPos, FromQColor(m_clrStart), FromQColor(m_clrEnd), FromQColor(m_clrBk),
                   FromQColor(m_clrText), width(), m_bShowPercent, m_nLower, m_nUpper);
  QPainter painter(this);
  const QRect client = rect();
  painter.fillRect(client, ToQColor(drawing.bk));
  for (const SGradientBand& band : drawing.bands) {
    painter.fillRect(QRect(band.nLeft, 0, band.nRight - band.nLeft, client.height() + 1),
                     ToQColor(band.clr));
  }
  if (drawing.strPercent.empty()) return;
  painter.setPen(ToQColor(drawing.percentText));
  painter.drawText(client, Qt::AlignCenter | Qt::TextSingleLine,
                   QString::fromLatin1(drawing.strPercent.c_str()));
}
