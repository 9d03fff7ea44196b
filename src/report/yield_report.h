#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "report/phone_records.h"

// Phones counted by outcome. Yield is passed out of passed and failed:
// a phone cut short by a stop was not tried to the end, so it counts for
// neither.
struct SYield {
  int64_t nPassed = 0, nFailed = 0, nStopped = 0;

  void Add(const std::string& strResult);
  // Percent with one decimal ("97.5%"), "-" while nothing passed or failed.
  std::string Percent() const;
};

// The yield of a set of records: per station, per row of a station, per day
// of a station, and the failure texts ranked by how often they came.
class CYieldReport {
 public:
  void Add(const SPhoneRecord& record);
  // Where the records came from and what was skipped, for the headings.
  void AddSource(const std::string& strSource) { m_sources.push_back(strSource); }
  void AddDamaged(int64_t nLines) { m_nDamaged += nLines; }

  int64_t Records() const { return m_nRecords; }

  // Plain text, aligned columns, for a terminal or a mail.
  std::string Text() const;
  // One self-contained HTML page: the same tables, a chart of the yield per
  // row and one of the failure ranking, inline SVG, no outside reference.
  std::string Html() const;

  // Failure texts with their counts, most frequent first (ties by text).
  std::vector<std::pair<std::string, int64_t>> RankedFailures() const;

 private:
  // (station, tool), (station, tool, row), (day, station, tool).
  using StationKey = std::tuple<std::string, std::string>;
  using RowKey = std::tuple<std::string, std::string, int>;
  using DayKey = std::tuple<std::string, std::string, std::string>;

  struct STables;
  // The rows of the four tables, as the text and the page show them.
  STables Tables() const;

  std::map<StationKey, SYield> m_stations;
  std::map<RowKey, SYield> m_rows;
  std::map<DayKey, SYield> m_days;
  std::map<std::string, int64_t> m_failures;
  std::vector<std::string> m_sources;
  int64_t m_nRecords = 0;
  int64_t m_nDamaged = 0;
};

// Text made safe inside HTML and SVG elements and attribute values.
std::string HtmlEscaped(const std::string& strText);
