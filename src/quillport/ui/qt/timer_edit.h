#pragma once

#include <QLineEdit>
#include <QString>

// A box that counts elapsed seconds as "hh:mm:ss" (more hour digits past 99
// hours) once a second while counting. The operator cannot type into it.
class CTimerEdit final : public QLineEdit {
  Q_OBJECT

 public:
  explicit CTimerEdit(QWidget* pParent);

  // Counts from 0; the text changes at the first tick.
  void StartCount();
  // Stops counting; the count goes back to 0, the text stays.
  void StopCount();
  // The count goes back to 0 and the text to "00:00:00".
  void ResetCount();
  bool IsCounting() const { return m_nTimerId != 0; }
  int Seconds() const { return m_nSeconds; }

  static QString Format(int nSeconds);

 protected:
  void timerEvent(QTimerEvent* pEvent) override;
  void keyPressEvent(QKeyEvent* pEvent) override;
  void keyReleaseEvent(QKeyEvent* pEvent) override;
  void inputMethodEvent(QInputMethodEvent* pEvent) override;

 private:
  int m_nTimerId = 0;
  int m_nSeconds = 0;
};
