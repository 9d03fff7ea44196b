#include "common/text.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <vector>

namespace {
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }
}  // namespace

std::string TrimBlanks(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

bool EqualsNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return Lower(x) == Lower(y); });
}

bool ContainsNoCase(const std::string& hay, const std::string& needle) {
  auto it = std::search(hay.begin(), hay.end(), needle.begin(), needle.end(),
                        [](char x, char y) { return Lower(x) == Lower(y); });
  return it != hay.end();
}

std::string FormatTextV(const char* pszFormat, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, pszFormat, copy);
  va_end(copy);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(out.data(), out.size(), pszFormat, args);
  out.resize(static_cast<size_t>(n));
  return out;
}

std::string FormatText(const char* pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  std::string out = FormatTextV(pszFormat, args);
  va_end(args);
  return out;
}
