#pragma once

#include <QFont>
#include <QRect>

namespace gui {

// The windows' font: "宋体" where it exists, else the CJK font installed with
// the program's packages, at the given size in points.
QFont DialogFont(int nPointSize);

// Dialog units of a font: the windows are laid out in them, as their
// templates were, so that the layout grows with the font. A horizontal unit
// is a quarter of the font's average character width, a vertical unit an
// eighth of its height.
class CDialogUnits {
 public:
  explicit CDialogUnits(const QFont& font);

  int BaseX() const { return m_nBaseX; }  // average character width, pixels
  int X(int nUnits) const;
  int Y(int nUnits) const;
  QRect Rect(int nX, int nY, int nWidth, int nHeight) const;

 private:
  int m_nBaseX;
  int m_nBaseY;
};

}  // namespace gui
