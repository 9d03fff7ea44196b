#include "quillport/ui/qt/color_wnd.h"

#include <QPainter>

#include "quillport/ui/row_drawing.h"

CColorWnd::CColorWnd(QWidget* pParent) : QFrame(pParent) {
  setFrameStyle(QFrame::WinPanel | QFrame::Sunken);
}

void CColorWnd::SetColor(const QColor& clrFill) {
  if (clrFill == m_clrFill) return;
  m_clrFill = clrFill;
  update();
}

void CColorWnd::SetNumber(int nNumber) {
  if (nNumber == m_nNumber) return;
  m_nNumber = nNumber;
  update();
}

void CColorWnd::paintEvent(QPaintEvent* pEvent) {
  QFrame::paintEvent(pEvent);
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QRect box = contentsRect();
  painter.setPen(palette().color(QPalette::WindowText));
  painter.setBrush(m_clrFill);
  painter.drawEllipse(box.adjusted(0, 0, -1, -1));
  painter.drawText(box.adjusted(0, kDotNumberDrop, 0, 0), Qt::AlignHCenter | Qt::AlignTop,
                   QString::number(m_nNumber));
}
