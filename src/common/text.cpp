#include "common/text.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <istream>
#include <limits>
#include <vector>

namespace {
bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}
char Lower(char c) {
  return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}
}  // namespace

std::string TrimBlanks(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

bool EqualsNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return Lower(x) == Lower(y); });
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

bool ReadLineBounded(std::istream& in, size_t nMax, ELongLine eLong, std::string* pLine,
                     bool* pbCut) {
  using Traits = std::istream::traits_type;
  pLine->clear();
  if (pbCut) *pbCut = false;
  if (!in.good() || Traits::eq_int_type(in.peek(), Traits::eof())) return false;
  // Read in pieces through getline, which scans the stream's buffer at once
  // instead of character by character.
  char chunk[4096];
  while (pLine->size() < nMax) {
    const size_t nWant = std::min(sizeof chunk - 1, nMax - pLine->size());
    in.getline(chunk, static_cast<std::streamsize>(nWant + 1), '\n');
    const auto nGot = static_cast<size_t>(in.gcount());
    if (in.eof()) {
      pLine->append(chunk, nGot);
      return true;
    }
    if (!in.fail()) {
      pLine->append(chunk, nGot - 1);  // without the '\n' it took
      return true;
    }
    in.clear();  // the piece was full; the line goes on
    pLine->append(chunk, nGot);
  }
  const int c = in.peek();
  if (c == '\n') in.ignore();
  if (c == '\n' || Traits::eq_int_type(c, Traits::eof())) return true;
  if (eLong == ELongLine::kDrop) {
    if (pbCut) *pbCut = true;
    in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
  }
  return true;
}

std::string AnsiColour(bool bBackground, uint32_t nRgb) {
  return FormatText("\x1b[%d;2;%u;%u;%um", bBackground ? 48 : 38, (nRgb >> 16) & 0xFF,
                    (nRgb >> 8) & 0xFF, nRgb & 0xFF);
}

std::string NoWindowText(const std::string& strProgram) {
  return strProgram +
         ": this build has no window (Qt was not found when it was built); run it with --headless";
}
