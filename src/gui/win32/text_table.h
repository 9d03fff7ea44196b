#pragma once

#include <string>
#include <string_view>

// The texts a Win32 window shows. The Chinese source texts are the string
// tables of the tools (window_texts.h and the like); English comes from the
// same .ts files the Qt windows use, turned into a table by the build
// (norq_add_win32_texts). Everything handed to the system goes as UTF-16.
namespace gui::win32 {

struct STextPair {
  const char* pszSource;
  const char* pszEnglish;
};

// --lang en gives English; anything else (zh, or no option) keeps the
// Chinese source texts, the operators' language.
bool WantsEnglish(const std::string& strLang);

class CTextTable {
 public:
  // An empty table shows the source texts.
  CTextTable() = default;
  template <size_t N>
  explicit CTextTable(const STextPair (&pairs)[N]) : m_pPairs(pairs), m_nPairs(N) {}

  // A text in the table's language. Core code builds some texts from parts
  // ("端口 5"): when the whole text has no entry, each space-separated word
  // that has one is translated.
  std::string Shown(std::string_view text) const;
  std::wstring ShownWide(std::string_view text) const;

 private:
  const char* Find(std::string_view text) const;

  const STextPair* m_pPairs = nullptr;
  size_t m_nPairs = 0;
};

}  // namespace gui::win32
