#include "quillport/ui/qt/gradient_progress_ctrl.h"

#include <QPainter>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

// One channel of band i: rounded to the nearest (ties to even), low 8 bits.
int BandChannel(int i, float fStep, int nStart) {
  const float fValue = static_cast<float>(i) * fStep + static_cast<float>(nStart);
  return static_cast<int>(std::nearbyint(fValue)) & 0xFF;
}

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
  QPainter painter(this);
  const QRect client = rect();
  if (m_nPos < m_nLower || m_nPos > m_nUpper) {
    painter.fillRect(client, m_clrBk);
    return;
  }
  // The fraction is of the upper end, not of the span: the range starts at 0.
  const double dFraction = m_nUpper != 0 ? static_cast<double>(m_nPos) / m_nUpper : 1.0;
  const float fFill = static_cast<float>(dFraction * client.width());
  PaintGradient(painter, static_cast<int>(fFill));
  if (!m_bShowPercent) return;
  char szPercent[32];
  std::snprintf(szPercent, sizeof szPercent, "%.0f%%", dFraction * 100.0);
  painter.setPen(m_clrText);
  painter.drawText(client, Qt::AlignCenter | Qt::TextSingleLine, QString::fromLatin1(szPercent));
}

void CGradientProgressCtrl::PaintGradient(QPainter& painter, int nFillWidth) const {
  const int nWidth = width(), nHeight = height();
  const int dR = m_clrEnd.red() - m_clrStart.red();
  const int dG = m_clrEnd.green() - m_clrStart.green();
  const int dB = m_clrEnd.blue() - m_clrStart.blue();
  const int nBands = std::max({std::abs(dR), std::abs(dG), std::abs(dB)});
  if (nBands == 0) {  // one colour: no bands to tell apart
    painter.fillRect(rect(), m_clrStart);
    return;
  }
  // Pixels that no band reaches (the last band may end short of the edge by
  // rounding) keep the background colour rather than stale pixels.
  painter.fillRect(rect(), m_clrBk);
  const float fBandWidth = static_cast<float>(nWidth) / static_cast<float>(nBands);
  const float fStepR = static_cast<float>(dR) / static_cast<float>(nBands);
  const float fStepG = static_cast<float>(dG) / static_cast<float>(nBands);
  const float fStepB = static_cast<float>(dB) / static_cast<float>(nBands);
  for (int i = 0; i < nBands; ++i) {
    const int nLeft = static_cast<int>(static_cast<float>(i) * fBandWidth);
    const int nRight = static_cast<int>(static_cast<float>(i + 1) * fBandWidth);
    const QColor band(BandChannel(i, fStepR, m_clrStart.red()),
                      BandChannel(i, fStepG, m_clrStart.green()),
                      BandChannel(i, fStepB, m_clrStart.blue()));
    painter.fillRect(QRect(nLeft, 0, nRight - nLeft, nHeight + 1), band);
    if (nRight > nFillWidth) {
      painter.fillRect(QRect(nRight, 0, nWidth - nRight, nHeight), m_clrBk);
      break;
    }
  }
}
