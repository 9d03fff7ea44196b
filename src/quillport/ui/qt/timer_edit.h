#pragma once

#include <QLineEdit>

// The row's elapsed-time box: it shows what the window sets ("hh:mm:ss")
// and the operator cannot type, paste or drop into it, even when the window
// lifts read-only while a phone runs.
class CTimerEdit final : public QLineEdit {
  Q_OBJECT

 public:
  explicit CTimerEdit(QWidget* pParent);

 protected:
  void keyPressEvent(QKeyEvent* pEvent) override;
  void keyReleaseEvent(QKeyEvent* pEvent) override;
  void inputMethodEvent(QInputMethodEvent* pEvent) override;
};
