#pragma once

#include <QColor>
#include <QLineEdit>

// A read-only text box with settable background and text colours. Disabled,
// it keeps its background and greys its text.
class CColorEdit final : public QLineEdit {
  Q_OBJECT

 public:
  explicit CColorEdit(QWidget* pParent);

  void SetBkColor(const QColor& clrBk);
  void SetTextColor(const QColor& clrText);
  // Read-only keeps the background; editable shows the base colour.
  void SetReadOnlyLook(bool bReadOnly);
  // Shows the text from its start, however long it is.
  void SetShownText(const QString& strText);

  QColor BkColor() const { return m_clrBk; }
  QColor TextColor() const { return m_clrText; }

 private:
  void ApplyColors();

  QColor m_clrBk;
  QColor m_clrText{230, 230, 210};
};
