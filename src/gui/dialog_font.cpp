#include "gui/dialog_font.h"

#include <QFontMetrics>
#include <QStringList>
#include <cmath>

namespace gui {

namespace {

// n × numerator / denominator, rounded half away from zero.
int ScaleRounded(int n, int nNumerator, int nDenominator) {
  return static_cast<int>(std::lround(static_cast<double>(n) * nNumerator / nDenominator));
}

}  // namespace

QFont DialogFont(int nPointSize) {
  QFont font;
  font.setFamilies({QStringLiteral("宋体"), QStringLiteral("SimSun"),
                    QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("Noto Sans CJK SC")});
  font.setPointSize(nPointSize);
  return font;
}

CDialogUnits::CDialogUnits(const QFont& font) {
  const QFontMetrics metrics(font);
  // The average over the 52 Latin letters, rounded, as the templates assume.
  const int nLetters = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  m_nBaseX = (nLetters / 26 + 1) / 2;
  m_nBaseY = metrics.height();
}

int CDialogUnits::X(int nUnits) const {
  return ScaleRounded(nUnits, m_nBaseX, 4);
}
int CDialogUnits::Y(int nUnits) const {
  return ScaleRounded(nUnits, m_nBaseY, 8);
}

QRect CDialogUnits::Rect(int nX, int nY, int nWidth, int nHeight) const {
  // Edges are converted, not sizes, so that neighbours meet as in the template.
  const int nLeft = X(nX), nTop = Y(nY);
  return {nLeft, nTop, X(nX + nWidth) - nLeft, Y(nY + nHeight) - nTop};
}

}  // namespace gui
