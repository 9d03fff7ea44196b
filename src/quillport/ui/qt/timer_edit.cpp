#include "quillport/ui/qt/timer_edit.h"

#include <QKeyEvent>

namespace {

// Keys the dialog itself handles (close, default button) pass through.
bool IsDialogKey(const QKeyEvent* pEvent) {
  const int nKey = pEvent->key();
  return nKey == Qt::Key_Escape || nKey == Qt::Key_Return || nKey == Qt::Key_Enter;
}

}  // namespace

CTimerEdit::CTimerEdit(QWidget* pParent) : QLineEdit(pParent) {
  setText(QStringLiteral("00:00:00"));
  setContextMenuPolicy(Qt::NoContextMenu);
  setFocusPolicy(Qt::NoFocus);
  setAcceptDrops(false);
  setAttribute(Qt::WA_InputMethodEnabled, false);
}

void CTimerEdit::keyPressEvent(QKeyEvent* pEvent) {
  if (IsDialogKey(pEvent)) return pEvent->ignore();
  pEvent->accept();
}

void CTimerEdit::keyReleaseEvent(QKeyEvent* pEvent) {
  if (IsDialogKey(pEvent)) return pEvent->ignore();
  pEvent->accept();
}

void CTimerEdit::inputMethodEvent(QInputMethodEvent* pEvent) {
  pEvent->accept();
}
