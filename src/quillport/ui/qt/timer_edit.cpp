#include "quillport/ui/qt/timer_edit.h"

#include <QKeyEvent>
#include <QTimerEvent>
#include <cstdio>

namespace {

constexpr int kTickMs = 1000;

// Keys the dialog itself handles (close, default button) pass through.
bool IsDialogKey(const QKeyEvent* pEvent) {
  const int nKey = pEvent->key();
  return nKey == Qt::Key_Escape || nKey == Qt::Key_Return || nKey == Qt::Key_Enter;
}

}  // namespace

CTimerEdit::CTimerEdit(QWidget* pParent) : QLineEdit(pParent) {
  setText(Format(0));
  // No paste or drop either: the box shows the counter only.
  setContextMenuPolicy(Qt::NoContextMenu);
  setFocusPolicy(Qt::NoFocus);
  setAcceptDrops(false);
  setAttribute(Qt::WA_InputMethodEnabled, false);
}

QString CTimerEdit::Format(int nSeconds) {
  char szText[32];
  std::snprintf(szText, sizeof szText, "%02d:%02d:%02d", nSeconds / 3600, nSeconds % 3600 / 60,
                nSeconds % 60);
  return QString::fromLatin1(szText);
}

void CTimerEdit::StartCount() {
  if (m_nTimerId != 0) killTimer(m_nTimerId);
  m_nTimerId = startTimer(kTickMs);
  m_nSeconds = 0;
}

void CTimerEdit::StopCount() {
  if (m_nTimerId != 0) killTimer(m_nTimerId);
  m_nTimerId = 0;
  m_nSeconds = 0;
}

void CTimerEdit::ResetCount() {
  m_nSeconds = 0;
  setText(Format(0));
}

void CTimerEdit::timerEvent(QTimerEvent* pEvent) {
  // The line edit runs timers of its own (the cursor's blink): only ours count.
  if (pEvent->timerId() == m_nTimerId) {
    ++m_nSeconds;
    setText(Format(m_nSeconds));
    return;
  }
  QLineEdit::timerEvent(pEvent);
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
