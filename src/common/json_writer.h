#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Writing JSON for the phone records and the machine-readable progress: one
// object at a time, keys in the order added, no whitespace, so that an
// object is one line. Texts are taken as UTF-8; bytes that are not valid
// UTF-8 become U+FFFD, so that a port log's odd byte never makes a line
// that a reader refuses.

std::string JsonString(std::string_view text);

class CJsonObject {
 public:
  CJsonObject& Add(std::string_view key, std::string_view value);
  CJsonObject& Add(std::string_view key, const char* pszValue) {
    return Add(key, std::string_view(pszValue));
  }
  CJsonObject& Add(std::string_view key, int64_t nValue);
  CJsonObject& Add(std::string_view key, int nValue) { return Add(key, int64_t{nValue}); }
  CJsonObject& Add(std::string_view key, double dValue);
  CJsonObject& Add(std::string_view key, bool bValue);
  CJsonObject& AddNull(std::string_view key);
  // Null when the text is empty.
  CJsonObject& AddOrNull(std::string_view key, std::string_view value);
  CJsonObject& Add(std::string_view key, const std::vector<std::string>& values);
  // A value already written as JSON (an object, an array).
  CJsonObject& AddRaw(std::string_view key, std::string_view json);

  // The object, "{...}".
  std::string Text() const { return m_strText + "}"; }

 private:
  void Key(std::string_view key);

  std::string m_strText = "{";
};

// "2026-12-10T18:05:03+01:00": local time with its offset from UTC.
std::string IsoLocalTime(std::chrono::system_clock::time_point when);
// "2026-12-10": the local date, which names the day's records file.
std::string LocalDate(std::chrono::system_clock::time_point when);
