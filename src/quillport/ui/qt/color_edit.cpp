#include "quillport/ui/qt/color_edit.h"

#include <QPalette>

namespace {

const QColor kColorBase(230, 230, 210);

}  // namespace

CColorEdit::CColorEdit(QWidget* pParent)
    : QLineEdit(pParent), m_clrBk(palette().color(QPalette::Button)) {
  setReadOnly(true);
  // A display: no caret, no focus frame, no edit menu.
  setFocusPolicy(Qt::NoFocus);
  setContextMenuPolicy(Qt::NoContextMenu);
  ApplyColors();
}

void CColorEdit::SetBkColor(const QColor& clrBk) {
  if (clrBk == m_clrBk) return;
  m_clrBk = clrBk;
  ApplyColors();
}

void CColorEdit::SetTextColor(const QColor& clrText) {
  if (clrText == m_clrText) return;
  m_clrText = clrText;
  ApplyColors();
}

void CColorEdit::SetReadOnlyLook(bool bReadOnly) {
  if (!bReadOnly) SetBkColor(kColorBase);
  setReadOnly(bReadOnly);
}

void CColorEdit::SetShownText(const QString& strText) {
  if (strText == text()) return;
  setText(strText);
  setCursorPosition(0);
}

void CColorEdit::ApplyColors() {
  QPalette colors = palette();
  colors.setColor(QPalette::Base, m_clrBk);
  colors.setColor(QPalette::Active, QPalette::Text, m_clrText);
  colors.setColor(QPalette::Inactive, QPalette::Text, m_clrText);
  setPalette(colors);
}
