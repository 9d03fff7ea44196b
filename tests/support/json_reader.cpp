#include "json_reader.h"

#include <cctype>
#include <cstdlib>

namespace {

class CReader {
 public:
  explicit CReader(const std::string& s) : m_s(s) {}

  bool Value(SJson* pOut, int nDepth = 0) {
    Blanks();
    if (m_i >= m_s.size() || nDepth > 64) return false;
    const char c = m_s[m_i];
    if (c == '{') return Object(pOut, nDepth);
    if (c == '[') return Array(pOut, nDepth);
    if (c == '"') {
      pOut->eType = SJson::EType::String;
      return String(&pOut->s);
    }
    if (Word("true")) {
      pOut->eType = SJson::EType::Bool;
      pOut->b = true;
      return true;
    }
    if (Word("false")) {
      pOut->eType = SJson::EType::Bool;
      return true;
    }
    if (Word("null")) return true;
    return Number(pOut);
  }
  bool AtEnd() {
    Blanks();
    return m_i == m_s.size();
  }

 private:
  void Blanks() {
    while (m_i < m_s.size() &&
           (m_s[m_i] == ' ' || m_s[m_i] == '\t' || m_s[m_i] == '\n' || m_s[m_i] == '\r'))
      ++m_i;
  }
  bool Word(const char* psz) {
    const std::string w = psz;
    if (m_s.compare(m_i, w.size(), w) != 0) return false;
    m_i += w.size();
    return true;
  }
  bool Number(SJson* pOut) {
    const size_t nStart = m_i;
    if (m_i < m_s.size() && m_s[m_i] == '-') ++m_i;
    if (m_i >= m_s.size() || !std::isdigit(static_cast<unsigned char>(m_s[m_i]))) return false;
    if (m_s[m_i] == '0' && m_i + 1 < m_s.size() &&
        std::isdigit(static_cast<unsigned char>(m_s[m_i + 1])))
      return false;
    while (m_i < m_s.size() && std::isdigit(static_cast<unsigned char>(m_s[m_i]))) ++m_i;
    if (m_i < m_s.size() && m_s[m_i] == '.') {
      ++m_i;
      if (m_i >= m_s.size() || !std::isdigit(static_cast<unsigned char>(m_s[m_i]))) return false;
      while (m_i < m_s.size() && std::isdigit(static_cast<unsigned char>(m_s[m_i]))) ++m_i;
    }
    if (m_i < m_s.size() && (m_s[m_i] == 'e' || m_s[m_i] == 'E')) {
      ++m_i;
      if (m_i < m_s.size() && (m_s[m_i] == '+' || m_s[m_i] == '-')) ++m_i;
      if (m_i >= m_s.size() || !std::isdigit(static_cast<unsigned char>(m_s[m_i]))) return false;
      while (m_i < m_s.size() && std::isdigit(static_cast<unsigned char>(m_s[m_i]))) ++m_i;
    }
    pOut->eType = SJson::EType::Number;
    pOut->d = std::strtod(m_s.substr(nStart, m_i - nStart).c_str(), nullptr);
    return true;
  }
  static void PutUtf8(std::string* p, unsigned cp) {
    if (cp < 0x80) {
      *p += static_cast<char>(cp);
    } else if (cp < 0x800) {
      *p += static_cast<char>(0xC0 | cp >> 6);
      *p += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      *p += static_cast<char>(0xE0 | cp >> 12);
      *p += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
      *p += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      *p += static_cast<char>(0xF0 | cp >> 18);
      *p += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
      *p += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
      *p += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  bool Hex4(unsigned* pCp) {
    if (m_i + 4 > m_s.size()) return false;
    *pCp = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = m_s[m_i++];
      *pCp <<= 4;
      if (c >= '0' && c <= '9')
        *pCp |= static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f')
        *pCp |= static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        *pCp |= static_cast<unsigned>(c - 'A' + 10);
      else
        return false;
    }
    return true;
  }
  bool String(std::string* pOut) {
    ++m_i;  // the opening quote
    while (m_i < m_s.size()) {
      const auto c = static_cast<unsigned char>(m_s[m_i++]);
      if (c == '"') return true;
      if (c < 0x20) return false;  // control characters must be escaped
      if (c != '\\') {
        *pOut += static_cast<char>(c);
        continue;
      }
      if (m_i >= m_s.size()) return false;
      const char e = m_s[m_i++];
      switch (e) {
        case '"':
          *pOut += '"';
          break;
        case '\\':
          *pOut += '\\';
          break;
        case '/':
          *pOut += '/';
          break;
        case 'b':
          *pOut += '\b';
          break;
        case 'f':
          *pOut += '\f';
          break;
        case 'n':
          *pOut += '\n';
          break;
        case 'r':
          *pOut += '\r';
          break;
        case 't':
          *pOut += '\t';
          break;
        case 'u': {
          unsigned cp = 0;
          if (!Hex4(&cp)) return false;
          PutUtf8(pOut, cp);
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }
  bool Array(SJson* pOut, int nDepth) {
    pOut->eType = SJson::EType::Array;
    ++m_i;
    Blanks();
    if (m_i < m_s.size() && m_s[m_i] == ']') return ++m_i, true;
    for (;;) {
      SJson item;
      if (!Value(&item, nDepth + 1)) return false;
      pOut->items.push_back(std::move(item));
      Blanks();
      if (m_i >= m_s.size()) return false;
      if (m_s[m_i] == ']') return ++m_i, true;
      if (m_s[m_i++] != ',') return false;
    }
  }
  bool Object(SJson* pOut, int nDepth) {
    pOut->eType = SJson::EType::Object;
    ++m_i;
    Blanks();
    if (m_i < m_s.size() && m_s[m_i] == '}') return ++m_i, true;
    for (;;) {
      Blanks();
      std::string key;
      if (m_i >= m_s.size() || m_s[m_i] != '"' || !String(&key)) return false;
      Blanks();
      if (m_i >= m_s.size() || m_s[m_i++] != ':') return false;
      SJson value;
      if (!Value(&value, nDepth + 1)) return false;
      if (pOut->members.count(key)) return false;  // a duplicate name
      pOut->keys.push_back(key);
      pOut->members.emplace(key, std::move(value));
      Blanks();
      if (m_i >= m_s.size()) return false;
      if (m_s[m_i] == '}') return ++m_i, true;
      if (m_s[m_i++] != ',') return false;
    }
  }

  const std::string& m_s;
  size_t m_i = 0;
};

const SJson kNull;

}  // namespace

const SJson& SJson::operator[](const std::string& key) const {
  const auto it = members.find(key);
  return it == members.end() ? kNull : it->second;
}

std::optional<SJson> ParseJson(const std::string& strText) {
  CReader reader(strText);
  SJson value;
  if (!reader.Value(&value) || !reader.AtEnd()) return std::nullopt;
  return value;
}

std::optional<std::vector<SJson>> ParseJsonLines(const std::string& strText) {
  std::vector<SJson> values;
  size_t nAt = 0;
  while (nAt < strText.size()) {
    size_t nEnd = strText.find('\n', nAt);
    if (nEnd == std::string::npos) nEnd = strText.size();
    const std::string line = strText.substr(nAt, nEnd - nAt);
    nAt = nEnd + 1;
    if (line.empty()) continue;
    std::optional<SJson> value = ParseJson(line);
    if (!value) return std::nullopt;
    values.push_back(std::move(*value));
  }
  return values;
}
