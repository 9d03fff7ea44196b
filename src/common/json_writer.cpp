#include "common/json_writer.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace {

// The length of the valid UTF-8 sequence at p (1..4), or 0.
size_t Utf8Length(const unsigned char* p, size_t nLeft) {
  const unsigned char c = p[0];
  size_t n = 0;
  uint32_t cp = 0;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (nLeft < n) return 0;
  for (size_t i = 1; i < n; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    cp = cp << 6 | (p[i] & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
  if ((n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) || (cp >= 0xD800 && cp <= 0xDFFF) ||
      cp > 0x10FFFF)
    return 0;
  return n;
}

std::tm LocalTm(std::chrono::system_clock::time_point when) {
  const std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm local{};
  localtime_r(&t, &local);
  return local;
}

}  // namespace

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = p[i];
    const size_t n = Utf8Length(p + i, text.size() - i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    if (n > 1) {
      out.append(text.substr(i, n));
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
    i += n;
  }
  return out + "\"";
}

void CJsonObject::Key(std::string_view key) {
  if (m_strText.size() > 1) m_strText += ',';
  m_strText += JsonString(key);
  m_strText += ':';
}

CJsonObject& CJsonObject::Add(std::string_view key, std::string_view value) {
  Key(key);
  m_strText += JsonString(value);
  return *this;
}

CJsonObject& CJsonObject::Add(std::string_view key, int64_t nValue) {
  Key(key);
  m_strText += std::to_string(nValue);
  return *this;
}

CJsonObject& CJsonObject::Add(std::string_view key, double dValue) {
  Key(key);
  if (!std::isfinite(dValue)) {
    m_strText += "null";  // JSON has no infinities
    return *this;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", dValue);
  m_strText += text;
  return *this;
}

CJsonObject& CJsonObject::Add(std::string_view key, bool bValue) {
  Key(key);
  m_strText += bValue ? "true" : "false";
  return *this;
}

CJsonObject& CJsonObject::AddNull(std::string_view key) {
  Key(key);
  m_strText += "null";
  return *this;
}

CJsonObject& CJsonObject::AddOrNull(std::string_view key, std::string_view value) {
  return value.empty() ? AddNull(key) : Add(key, value);
}

CJsonObject& CJsonObject::Add(std::string_view key, const std::vector<std::string>& values) {
  Key(key);
  m_strText += '[';
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) m_strText += ',';
    m_strText += JsonString(values[i]);
  }
  m_strText += ']';
  return *this;
}

CJsonObject& CJsonObject::AddRaw(std::string_view key, std::string_view json) {
  Key(key);
  m_strText.append(json);
  return *this;
}

std::string IsoLocalTime(std::chrono::system_clock::time_point when) {
  const std::tm local = LocalTm(when);
  // The offset from the broken-down times themselves: %z is not the
  // numeric offset on every C library the stations run.
  const std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &t);
#else
  gmtime_r(&t, &utc);
#endif
  long nOffsetMin = (local.tm_hour - utc.tm_hour) * 60L + (local.tm_min - utc.tm_min);
  const int nDayDiff = local.tm_year != utc.tm_year ? (local.tm_year > utc.tm_year ? 1 : -1)
                                                    : local.tm_yday - utc.tm_yday;
  nOffsetMin += nDayDiff * 24L * 60L;
  const char cSign = nOffsetMin < 0 ? '-' : '+';
  if (nOffsetMin < 0) nOffsetMin = -nOffsetMin;
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld",
                local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                local.tm_sec, cSign, nOffsetMin / 60, nOffsetMin % 60);
  return text;
}

std::string LocalDate(std::chrono::system_clock::time_point when) {
  const std::tm local = LocalTm(when);
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday);
  return text;
}
