#include "gui/win32/text_table.h"

#include "platform/win32/wide_text.h"

namespace gui::win32 {

bool WantsEnglish(const std::string& strLang) {
  return strLang == "en";
}

const char* CTextTable::Find(std::string_view text) const {
  for (size_t i = 0; i < m_nPairs; ++i) {
    if (text == m_pPairs[i].pszSource) return m_pPairs[i].pszEnglish;
  }
  return nullptr;
}

std::string CTextTable::Shown(std::string_view text) const {
  if (m_nPairs == 0) return std::string(text);
  if (const char* pszWhole = Find(text)) return pszWhole;
  std::string strOut;
  size_t nStart = 0;
  while (nStart <= text.size()) {
    size_t nEnd = text.find(' ', nStart);
    if (nEnd == std::string_view::npos) nEnd = text.size();
    const std::string_view word = text.substr(nStart, nEnd - nStart);
    const char* pszWord = word.empty() ? nullptr : Find(word);
    strOut += pszWord ? std::string_view(pszWord) : word;
    if (nEnd < text.size()) strOut += ' ';
    nStart = nEnd + 1;
  }
  return strOut;
}

std::wstring CTextTable::ShownWide(std::string_view text) const {
  return platform::Utf8ToWide(Shown(text));
}

}  // namespace gui::win32
