#include "report/phone_records.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <vector>

#include "common/json_line.h"

namespace {

bool IsDigits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "2026-12-10T17:15:02+08:00": the date must stand at the front.
bool HasDate(const std::string& str) {
  const std::string_view s(str);
  return s.size() >= 10 && IsDigits(s.substr(0, 4)) && s[4] == '-' && IsDigits(s.substr(5, 2)) &&
         s[7] == '-' && IsDigits(s.substr(8, 2));
}

bool ReadFile(const std::filesystem::path& path,
              const std::function<void(const SPhoneRecord&)>& fnRecord, SReadCounts* pCounts,
              std::string* pError) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *pError = "cannot read " + path.string();
    return false;
  }
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    if (std::optional<SPhoneRecord> record = ParseRecordLine(line)) {
      ++pCounts->nRecords;
      fnRecord(*record);
    } else {
      ++pCounts->nDamaged;
    }
  }
  return true;
}

}  // namespace

std::optional<SPhoneRecord> ParseRecordLine(std::string_view line) {
  const std::optional<CJsonValue> value = ParseJsonLine(line);
  if (!value || value->Kind() != CJsonValue::EKind::Object) return std::nullopt;
  auto text = [&](const char* pszName) -> std::optional<std::string> {
    const CJsonValue* p = value->Member(pszName);
    return p ? p->String() : std::nullopt;
  };
  SPhoneRecord record;
  std::optional<std::string> tool = text("tool"), station = text("station");
  std::optional<std::string> started = text("started"), result = text("result");
  if (!tool || !station || !started || !result || !HasDate(*started)) return std::nullopt;
  if (*result != "passed" && *result != "failed" && *result != "stopped") return std::nullopt;
  record.strTool = std::move(*tool);
  record.strStation = std::move(*station);
  record.strDay = started->substr(0, 10);
  record.strResult = std::move(*result);
  if (const CJsonValue* pRow = value->Member("row"); pRow && !pRow->IsNull()) {
    const std::optional<double> row = pRow->Number();
    if (!row || *row < 1 || *row > 99 || std::floor(*row) != *row) return std::nullopt;
    record.nRow = static_cast<int>(*row);
  }
  if (const CJsonValue* pFailure = value->Member("failure"); pFailure && !pFailure->IsNull()) {
    std::optional<std::string> failure = pFailure->String();
    if (!failure) return std::nullopt;
    record.strFailure = std::move(*failure);
  }
  record.strPort = text("port").value_or("");
  return record;
}

bool ReadRecordsPath(const std::string& strPath,
                     const std::function<void(const SPhoneRecord&)>& fnRecord, SReadCounts* pCounts,
                     std::string* pError) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path path(strPath);
  if (!fs::is_directory(path, ec)) return ReadFile(path, fnRecord, pCounts, pError);
  // A base folder: its records folder, one file a day; or that folder itself.
  fs::path folder = path / "log" / "records";
  if (!fs::is_directory(folder, ec)) folder = path;
  std::vector<fs::path> files;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder, ec)) {
    if (entry.path().extension() == ".jsonl" && entry.is_regular_file(ec)) {
      files.push_back(entry.path());
    }
  }
  if (ec) {
    *pError = "cannot list " + folder.string() + ": " + ec.message();
    return false;
  }
  if (files.empty() && folder == path) {
    *pError = strPath + " holds no log/records folder and no records file";
    return false;
  }
  std::sort(files.begin(), files.end());
  for (const fs::path& file : files) {
    if (!ReadFile(file, fnRecord, pCounts, pError)) return false;
  }
  return true;
}
