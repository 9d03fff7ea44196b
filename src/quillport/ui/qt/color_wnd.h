#pragma once

#include <QColor>
#include <QFrame>

// A coloured disc with a number near its top, in a sunken frame: a row's dot.
class CColorWnd final : public QFrame {
  Q_OBJECT

 public:
  explicit CColorWnd(QWidget* pParent);

  void SetColor(const QColor& clrFill);
  void SetNumber(int nNumber);
  QColor Color() const { return m_clrFill; }

 protected:
  void paintEvent(QPaintEvent* pEvent) override;

 private:
  QColor m_clrFill{230, 230, 210};
  int m_nNumber = 0;
};
