#pragma once

#include <QValidator>

namespace gui {

// An edit's typing limit as the templates' edits have it: typing (or pasting)
// beyond nLimit characters, or anything but digits in a digits-only edit, is
// refused, while text the program sets stays as it is, even when it is longer
// than the limit. (QLineEdit's own maximum length cuts such text.) A limit
// of 0 means no limit.
class CTextLimit final : public QValidator {
  Q_OBJECT

 public:
  CTextLimit(int nLimit, bool bDigitsOnly, QObject* pParent);

  // Changes the limit only; the edit's text is left alone.
  void SetLimit(int nLimit) { m_nLimit = nLimit; }

  State validate(QString& strInput, int& nPos) const override;

 private:
  int m_nLimit;
  bool m_bDigitsOnly;
};

}  // namespace gui
