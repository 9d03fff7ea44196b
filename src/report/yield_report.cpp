#include "report/yield_report.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace {

// The failure chart shows the most frequent texts; the table lists all.
constexpr size_t kChartedFailures = 15;

std::string Row(int nRow) {
  return nRow > 0 ? std::to_string(nRow) : "-";
}

std::string Fixed(double d) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", d);
  return buf;
}

// Columns padded to their widest cell; the last one is left as it is (a
// failure text, whose width in a terminal its bytes do not tell).
std::string Table(const std::vector<std::string>& head,
                  const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> widths(head.size());
  for (size_t c = 0; c < head.size(); ++c) widths[c] = head[c].size();
  for (const auto& row : rows) {
    for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
  }
  std::string out;
  auto line = [&](const std::vector<std::string>& cells) {
    for (size_t c = 0; c < cells.size(); ++c) {
      out += cells[c];
      if (c + 1 < cells.size()) out += std::string(widths[c] - cells[c].size() + 2, ' ');
    }
    out += '\n';
  };
  line(head);
  for (const auto& row : rows) line(row);
  return out;
}

template <typename... T>
std::vector<std::string> Cells(const SYield& y, T... first) {
  return {first..., std::to_string(y.nPassed), std::to_string(y.nFailed),
          std::to_string(y.nStopped), y.Percent()};
}

std::vector<std::string> Head(std::vector<std::string> first) {
  for (const char* psz : {"passed", "failed", "stopped", "yield"}) first.emplace_back(psz);
  return first;
}

// nNumbersFrom: the first column of counts, right-aligned from there on.
std::string HtmlTable(const std::vector<std::string>& head,
                      const std::vector<std::vector<std::string>>& rows, size_t nNumbersFrom,
                      size_t nNumbersTo = SIZE_MAX) {
  auto cell = [&](const char* pszTag, size_t c, const std::string& strText) {
    const bool bNumber = c >= nNumbersFrom && c < nNumbersTo;
    return std::string("<") + pszTag + (bNumber ? " class=\"n\">" : ">") + HtmlEscaped(strText) +
           "</" + pszTag + ">";
  };
  std::string out = "<table>\n<tr>";
  for (size_t c = 0; c < head.size(); ++c) out += cell("th", c, head[c]);
  out += "</tr>\n";
  for (const auto& row : rows) {
    out += "<tr>";
    for (size_t c = 0; c < row.size(); ++c) out += cell("td", c, row[c]);
    out += "</tr>\n";
  }
  return out + "</table>\n";
}

// Horizontal bars, one per label, each split into its coloured parts; the
// longest total fills the chart's width, or with bShares every bar does (its
// parts as shares of it).
struct SBar {
  std::string strLabel;
  std::vector<int64_t> parts;
  std::string strNote;  // after the bar
};

std::string BarChart(const std::vector<SBar>& bars, const std::vector<const char*>& colours,
                     const std::vector<const char*>& legend, bool bShares) {
  constexpr int kBarWidth = 420, kRowHeight = 22, kTop = 24;
  // Room for the texts, guessed from their bytes: generous for CJK, whose
  // three bytes draw about two Latin letters wide.
  constexpr int kPixelsPerByte = 7;
  size_t nLabel = 10, nNote = 10;
  int64_t nMax = 1;
  for (const SBar& bar : bars) {
    int64_t n = 0;
    for (int64_t p : bar.parts) n += p;
    nMax = std::max(nMax, n);
    nLabel = std::max(nLabel, bar.strLabel.size());
    nNote = std::max(nNote, bar.strNote.size());
  }
  const int nLabelWidth = static_cast<int>(nLabel) * kPixelsPerByte + 12;
  const int nNoteWidth = static_cast<int>(nNote) * kPixelsPerByte + 12;
  const int nWidth = nLabelWidth + kBarWidth + nNoteWidth;
  const int nHeight = kTop + static_cast<int>(bars.size()) * kRowHeight + 8;
  std::string out = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(nWidth) +
                    "\" height=\"" + std::to_string(nHeight) + "\" role=\"img\">\n";
  int x = nLabelWidth;
  for (size_t i = 0; i < legend.size(); ++i) {
    out += "<rect x=\"" + std::to_string(x) + "\" y=\"4\" width=\"12\" height=\"12\" fill=\"" +
           colours[i] + "\"/><text x=\"" + std::to_string(x + 16) + "\" y=\"15\">" +
           HtmlEscaped(legend[i]) + "</text>\n";
    x += 90;
  }
  for (size_t i = 0; i < bars.size(); ++i) {
    const SBar& bar = bars[i];
    const int y = kTop + static_cast<int>(i) * kRowHeight;
    out += "<text x=\"" + std::to_string(nLabelWidth - 8) + "\" y=\"" + std::to_string(y + 15) +
           "\" text-anchor=\"end\">" + HtmlEscaped(bar.strLabel) + "</text>\n";
    int64_t nTotal = 0;
    for (int64_t p : bar.parts) nTotal += p;
    const double dScale = static_cast<double>(bShares ? std::max<int64_t>(nTotal, 1) : nMax);
    double dx = nLabelWidth;
    for (size_t p = 0; p < bar.parts.size(); ++p) {
      const double w = static_cast<double>(bar.parts[p]) * kBarWidth / dScale;
      if (w > 0) {
        out += "<rect x=\"" + Fixed(dx) + "\" y=\"" + std::to_string(y + 3) + "\" width=\"" +
               Fixed(w) + "\" height=\"16\" fill=\"" + colours[p] + "\"/>\n";
      }
      dx += w;
    }
    out += "<text x=\"" + Fixed(dx + 6) + "\" y=\"" + std::to_string(y + 15) + "\">" +
           HtmlEscaped(bar.strNote) + "</text>\n";
  }
  return out + "</svg>\n";
}

constexpr char kStyle[] =
    "body{font-family:sans-serif;margin:24px;color:#222}"
    "h1{font-size:22px}h2{font-size:17px;margin-top:28px}"
    "table{border-collapse:collapse;margin:8px 0}"
    "th,td{border:1px solid #bbb;padding:3px 10px;text-align:left}"
    "th{background:#eee}.n{text-align:right}"
    "svg text{font-size:12px;font-family:sans-serif}p.note{color:#555}";

}  // namespace

void SYield::Add(const std::string& strResult) {
  if (strResult == "passed") {
    ++nPassed;
  } else if (strResult == "failed") {
    ++nFailed;
  } else {
    ++nStopped;
  }
}

std::string SYield::Percent() const {
  const int64_t nTried = nPassed + nFailed;
  if (nTried == 0) return "-";
  return Fixed(100.0 * static_cast<double>(nPassed) / static_cast<double>(nTried)) + "%";
}

void CYieldReport::Add(const SPhoneRecord& record) {
  ++m_nRecords;
  m_stations[{record.strStation, record.strTool}].Add(record.strResult);
  m_rows[{record.strStation, record.strTool, record.nRow}].Add(record.strResult);
  m_days[{record.strDay, record.strStation, record.strTool}].Add(record.strResult);
  // A stopped phone may carry the text of the wait the stop cut short: the
  // operator's doing, not the phone's.
  if (record.strResult == "failed") {
    ++m_failures[record.strFailure.empty() ? "(no failure text)" : record.strFailure];
  }
}

std::vector<std::pair<std::string, int64_t>> CYieldReport::RankedFailures() const {
  std::vector<std::pair<std::string, int64_t>> ranked(m_failures.begin(), m_failures.end());
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  return ranked;
}

struct CYieldReport::STables {
  std::vector<std::string> stationHead = Head({"station", "tool"});
  std::vector<std::string> rowHead = Head({"station", "row"});
  std::vector<std::string> dayHead = Head({"day", "station", "tool"});
  std::vector<std::string> failureHead = {"count", "share", "failure"};
  std::vector<std::vector<std::string>> stations, rows, days, failures;
};

CYieldReport::STables CYieldReport::Tables() const {
  STables t;
  for (const auto& [key, y] : m_stations) {
    t.stations.push_back(Cells(y, std::get<0>(key), std::get<1>(key)));
  }
  for (const auto& [key, y] : m_rows) {
    t.rows.push_back(Cells(y, std::get<0>(key), Row(std::get<2>(key))));
  }
  for (const auto& [key, y] : m_days) {
    t.days.push_back(Cells(y, std::get<0>(key), std::get<1>(key), std::get<2>(key)));
  }
  int64_t nFailed = 0;
  for (const auto& [text, n] : m_failures) nFailed += n;
  for (const auto& [text, n] : RankedFailures()) {
    const double dShare = 100.0 * static_cast<double>(n) / static_cast<double>(nFailed);
    t.failures.push_back({std::to_string(n), Fixed(dShare) + "%", text});
  }
  return t;
}

std::string CYieldReport::Text() const {
  std::string out = "Phone records: " + std::to_string(m_nRecords);
  if (m_nDamaged > 0) out += " (" + std::to_string(m_nDamaged) + " damaged line(s) skipped)";
  out += "\n";
  const STables t = Tables();
  out += "\nYield per station\n" + Table(t.stationHead, t.stations);
  out += "\nYield per row\n" + Table(t.rowHead, t.rows);
  out += "\nYield per day\n" + Table(t.dayHead, t.days);
  out += "\nFailures by count\n";
  out += t.failures.empty() ? "(none)\n" : Table(t.failureHead, t.failures);
  return out;
}

std::string CYieldReport::Html() const {
  const STables t = Tables();
  std::vector<SBar> rowBars, failureBars;
  for (const auto& [key, y] : m_rows) {
    const int nRow = std::get<2>(key);
    rowBars.push_back({std::get<0>(key) + (nRow > 0 ? " · row " + Row(nRow) : ""),
                       {y.nPassed, y.nFailed, y.nStopped},
                       y.Percent() + " of " + std::to_string(y.nPassed + y.nFailed)});
  }
  const auto ranked = RankedFailures();
  for (size_t i = 0; i < ranked.size() && i < kChartedFailures; ++i) {
    // The count in front, the text after the bar: texts are long.
    failureBars.push_back(
        {t.failures[i][0] + " (" + t.failures[i][1] + ")", {ranked[i].second}, ranked[i].first});
  }

  std::string out = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
  out += "<title>Phone yield</title>\n<style>";
  out += kStyle;
  out += "</style>\n</head>\n<body>\n<h1>Phone yield</h1>\n<p class=\"note\">";
  out += std::to_string(m_nRecords) + " phone record(s)";
  if (m_nDamaged > 0) out += ", " + std::to_string(m_nDamaged) + " damaged line(s) skipped";
  if (!m_sources.empty()) {
    out += " from ";
    for (size_t i = 0; i < m_sources.size(); ++i) {
      out += (i ? ", " : "") + HtmlEscaped(m_sources[i]);
    }
  }
  out += ". Yield is passed out of passed and failed; stopped phones count for neither.</p>\n";
  out += "<h2>Yield per row</h2>\n";
  out +=
      BarChart(rowBars, {"#2ca02c", "#d62728", "#999999"}, {"passed", "failed", "stopped"}, true);
  out += HtmlTable(t.rowHead, t.rows, 1);
  out += "<h2>Yield per station</h2>\n" + HtmlTable(t.stationHead, t.stations, 2);
  out += "<h2>Yield per day</h2>\n" + HtmlTable(t.dayHead, t.days, 3);
  out += "<h2>Failures by count</h2>\n";
  if (failureBars.empty()) {
    out += "<p>No phone failed.</p>\n";
  } else {
    out += BarChart(failureBars, {"#d62728"}, {"failed"}, false);
    out += HtmlTable(t.failureHead, t.failures, 0, 2);
  }
  return out + "</body>\n</html>\n";
}

std::string HtmlEscaped(const std::string& strText) {
  std::string out;
  out.reserve(strText.size());
  for (const char c : strText) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}
