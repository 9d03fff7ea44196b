#include "common/json_line.h"

#include <charconv>
#include <cstdint>

const CJsonValue* CJsonValue::Member(std::string_view name) const {
  if (m_eKind != EKind::Object) return nullptr;
  const auto it = m_members.find(name);
  return it == m_members.end() ? nullptr : &it->second;
}

std::optional<std::string> CJsonValue::String() const {
  if (m_eKind != EKind::String) return std::nullopt;
  return m_str;
}

std::optional<double> CJsonValue::Number() const {
  if (m_eKind != EKind::Number) return std::nullopt;
  return m_d;
}

std::optional<bool> CJsonValue::Bool() const {
  if (m_eKind != EKind::Bool) return std::nullopt;
  return m_b;
}

// Recursive descent over the text; every Read* leaves m_nPos after what it
// read and returns false at the first byte that does not fit.
class CJsonReader {
 public:
  explicit CJsonReader(std::string_view text) : m_text(text) {}

  bool ReadDocument(CJsonValue* pValue) {
    SkipBlanks();
    if (!ReadValue(pValue, 0)) return false;
    SkipBlanks();
    return m_nPos == m_text.size();
  }

 private:
  bool AtEnd() const { return m_nPos >= m_text.size(); }
  char Peek() const { return AtEnd() ? '\0' : m_text[m_nPos]; }
  bool Take(char c) {
    if (Peek() != c || AtEnd()) return false;
    ++m_nPos;
    return true;
  }
  bool TakeWord(std::string_view word) {
    if (m_text.substr(m_nPos, word.size()) != word) return false;
    m_nPos += word.size();
    return true;
  }
  void SkipBlanks() {
    while (!AtEnd() && (Peek() == ' ' || Peek() == '\t' || Peek() == '\n' || Peek() == '\r')) {
      ++m_nPos;
    }
  }

  bool ReadValue(CJsonValue* pValue, int nDepth) {
    switch (Peek()) {
      case '{':
        return ReadObject(pValue, nDepth + 1);
      case '[':
        return ReadArray(pValue, nDepth + 1);
      case '"':
        pValue->m_eKind = CJsonValue::EKind::String;
        return ReadString(&pValue->m_str);
      case 't':
      case 'f':
        pValue->m_eKind = CJsonValue::EKind::Bool;
        pValue->m_b = Peek() == 't';
        return TakeWord(pValue->m_b ? "true" : "false");
      case 'n':
        pValue->m_eKind = CJsonValue::EKind::Null;
        return TakeWord("null");
      default:
        pValue->m_eKind = CJsonValue::EKind::Number;
        return ReadNumber(&pValue->m_d);
    }
  }

  bool ReadObject(CJsonValue* pValue, int nDepth) {
    if (nDepth > kJsonMaxDepth) return false;
    pValue->m_eKind = CJsonValue::EKind::Object;
    ++m_nPos;  // '{'
    SkipBlanks();
    if (Take('}')) return true;
    for (;;) {
      std::string name;
      if (!ReadString(&name)) return false;
      SkipBlanks();
      if (!Take(':')) return false;
      SkipBlanks();
      CJsonValue member;
      if (!ReadValue(&member, nDepth)) return false;
      // Two values for one name: which one a script would see is a guess.
      if (!pValue->m_members.emplace(std::move(name), std::move(member)).second) return false;
      SkipBlanks();
      if (Take('}')) return true;
      if (!Take(',')) return false;
      SkipBlanks();
    }
  }

  bool ReadArray(CJsonValue* pValue, int nDepth) {
    if (nDepth > kJsonMaxDepth) return false;
    pValue->m_eKind = CJsonValue::EKind::Array;
    ++m_nPos;  // '['
    SkipBlanks();
    if (Take(']')) return true;
    for (;;) {
      CJsonValue element;
      if (!ReadValue(&element, nDepth)) return false;
      pValue->m_elements.push_back(std::move(element));
      SkipBlanks();
      if (Take(']')) return true;
      if (!Take(',')) return false;
      SkipBlanks();
    }
  }

  // -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?, nothing looser.
  bool ReadNumber(double* pd) {
    const size_t nStart = m_nPos;
    auto digits = [this] {
      const size_t n = m_nPos;
      while (!AtEnd() && Peek() >= '0' && Peek() <= '9') ++m_nPos;
      return m_nPos - n;
    };
    Take('-');
    if (Peek() == '0') {
      ++m_nPos;
    } else if (digits() == 0) {
      return false;
    }
    if (Take('.') && digits() == 0) return false;
    if (Peek() == 'e' || Peek() == 'E') {
      ++m_nPos;
      if (!Take('+')) Take('-');
      if (digits() == 0) return false;
    }
    const char* pBegin = m_text.data() + nStart;
    const char* pEnd = m_text.data() + m_nPos;
    const auto [ptr, ec] = std::from_chars(pBegin, pEnd, *pd);
    // Out of range (1e999) is refused too: no record field is that large.
    return ec == std::errc() && ptr == pEnd;
  }

  bool ReadHex4(uint32_t* pn) {
    if (m_text.size() - m_nPos < 4) return false;
    uint32_t n = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = m_text[m_nPos++];
      n <<= 4;
      if (c >= '0' && c <= '9') {
        n |= static_cast<uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        n |= static_cast<uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        n |= static_cast<uint32_t>(c - 'A' + 10);
      } else {
        return false;
      }
    }
    *pn = n;
    return true;
  }

  static void AppendUtf8(uint32_t cp, std::string* pOut) {
    if (cp < 0x80) {
      *pOut += static_cast<char>(cp);
    } else if (cp < 0x800) {
      *pOut += static_cast<char>(0xC0 | cp >> 6);
      *pOut += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      *pOut += static_cast<char>(0xE0 | cp >> 12);
      *pOut += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
      *pOut += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      *pOut += static_cast<char>(0xF0 | cp >> 18);
      *pOut += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
      *pOut += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
      *pOut += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  // One UTF-8 sequence as it stands in the text: shortest form, no
  // surrogates, nothing past U+10FFFF.
  bool CopyUtf8(std::string* pOut) {
    const auto b0 = static_cast<uint8_t>(m_text[m_nPos]);
    int nMore = 0;
    uint32_t cp = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      nMore = 1;
      cp = b0 & 0x1Fu;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      nMore = 2;
      cp = b0 & 0x0Fu;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      nMore = 3;
      cp = b0 & 0x07u;
    } else {
      return false;
    }
    if (m_text.size() - m_nPos <= static_cast<size_t>(nMore)) return false;
    for (int i = 1; i <= nMore; ++i) {
      const auto b = static_cast<uint8_t>(m_text[m_nPos + static_cast<size_t>(i)]);
      if ((b & 0xC0) != 0x80) return false;
      cp = cp << 6 | (b & 0x3Fu);
    }
    static constexpr uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kLeast[nMore] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    pOut->append(m_text.substr(m_nPos, static_cast<size_t>(nMore) + 1));
    m_nPos += static_cast<size_t>(nMore) + 1;
    return true;
  }

  bool ReadEscape(std::string* pOut) {
    const char c = m_text[m_nPos++];
    switch (c) {
      case '"':
      case '\\':
      case '/':
        *pOut += c;
        return true;
      case 'b':
        *pOut += '\b';
        return true;
      case 'f':
        *pOut += '\f';
        return true;
      case 'n':
        *pOut += '\n';
        return true;
      case 'r':
        *pOut += '\r';
        return true;
      case 't':
        *pOut += '\t';
        return true;
      case 'u':
        break;
      default:
        return false;
    }
    uint32_t cp = 0;
    if (!ReadHex4(&cp)) return false;
    if (cp >= 0xDC00 && cp <= 0xDFFF) return false;  // a low half alone
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      uint32_t low = 0;
      if (!TakeWord("\\u") || !ReadHex4(&low) || low < 0xDC00 || low > 0xDFFF) return false;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
    }
    AppendUtf8(cp, pOut);
    return true;
  }

  bool ReadString(std::string* pOut) {
    if (!Take('"')) return false;
    while (!AtEnd()) {
      const auto c = static_cast<unsigned char>(m_text[m_nPos]);
      if (c == '"') {
        ++m_nPos;
        return true;
      }
      if (c < 0x20) return false;  // a raw line break or control byte
      if (c == '\\') {
        ++m_nPos;
        if (AtEnd() || !ReadEscape(pOut)) return false;
      } else if (c < 0x80) {
        *pOut += static_cast<char>(c);
        ++m_nPos;
      } else if (!CopyUtf8(pOut)) {
        return false;
      }
    }
    return false;
  }

  std::string_view m_text;
  size_t m_nPos = 0;
};

std::optional<CJsonValue> ParseJsonLine(std::string_view text) {
  CJsonValue value;
  CJsonReader reader(text);
  if (!reader.ReadDocument(&value)) return std::nullopt;
  return value;
}
