#pragma once

#include <QColor>
#include <QWidget>

// A progress bar painted as a colour gradient with the percentage on it, in
// the bands, fill and text that the row drawing decides for every window.
//
// It paints every pixel itself and has Qt skip the background erase; Qt's
// backing store already paints off-screen, so a repaint per data packet does
// not flicker.
class CGradientProgressCtrl final : public QWidget {
  Q_OBJECT

 public:
  explicit CGradientProgressCtrl(QWidget* pParent);

  // The position moves to the lower end.
  void SetRange(int nLower, int nUpper);
  void SetPos(int nPos);
  int Pos() const { return m_nPos; }

  void SetGradient(const QColor& clrStart, const QColor& clrEnd);
  void SetBkColor(const QColor& clrBk);
  void SetTextColor(const QColor& clrText);
  void ShowPercent(bool bShow);

 protected:
  void paintEvent(QPaintEvent* pEvent) override;

 private:
  int m_nLower = 0;
  int m_nUpper = 100;
  int m_nPos = 0;
  QColor m_clrStart{200, 100, 52};
  QColor m_clrEnd{255, 128, 64};
  QColor m_clrBk{230, 230, 210};
  QColor m_clrText{255, 255, 255};
  bool m_bShowPercent = false;
};
