#include "gui/text_limit.h"

#include <algorithm>

namespace gui {

CTextLimit::CTextLimit(int nLimit, bool bDigitsOnly, QObject* pParent)
    : QValidator(pParent), m_nLimit(nLimit), m_bDigitsOnly(bDigitsOnly) {}

QValidator::State CTextLimit::validate(QString& strInput, int&) const {
  if (m_nLimit > 0 && strInput.size() > m_nLimit) return Invalid;
  if (m_bDigitsOnly &&
      !std::all_of(strInput.cbegin(), strInput.cend(), [](QChar c) { return c.isDigit(); })) {
    return Invalid;
  }
  return Acceptable;
}

}  // namespace gui
