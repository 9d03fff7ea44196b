#include "tavlo/ui/qt/color_wnd.h"

#include <QCoreApplication>
#include <QPainter>
#include <algorithm>

#include "gui/dialog_font.h"
#include "gui/model_color.h"
#include "tavlo/ui/qt/tavlo_dlg.h"
#include "tavlo/ui/writer_window.h"

namespace tavlo {

CColorWnd::CColorWnd(QWidget* pParent) : QWidget(pParent) {
  for (int i = 0; i < kBannerStates; ++i) {
    m_texts[i] = QCoreApplication::translate(CTavloDlg::kTextContext, BannerView(i).pszText);
  }
  QFont font = gui::DialogFont(9);
  font.setPixelSize(kBannerFontHeight);
  font.setWeight(QFont::Black);
  setFont(font);
}

void CColorWnd::SetStatus(int nState) {
  if (nState == m_nState) return;
  m_nState = nState;
  update();
}

QString CColorWnd::Text() const {
  return m_texts[m_nState];
}
QColor CColorWnd::BkColor() const {
  return gui::ToQColor(BannerView(m_nState).look.bk);
}
QColor CColorWnd::TextColor() const {
  return gui::ToQColor(BannerView(m_nState).look.text);
}

void CColorWnd::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), BkColor());
  QFont shown = font();
  // The width asked for is the average character's; Chinese characters are
  // about twice as wide as that in any face, so the stretch follows the
  // Latin average only.
  const QFontMetrics natural(shown);
  const int nAverage = natural.averageCharWidth();
  if (nAverage > 0) shown.setStretch(std::clamp(100 * kBannerFontWidth / nAverage, 50, 200));
  painter.setFont(shown);
  painter.setPen(TextColor());
  const QFontMetrics metrics(shown);
  const QRect line(0, height() / 2 - metrics.height() / 2, width(), metrics.height());
  painter.drawText(line, Qt::AlignHCenter | Qt::AlignTop, Text());
}

}  // namespace tavlo
