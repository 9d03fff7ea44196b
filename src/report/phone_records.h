#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// One phone's record as the report reads it: the fields it counts by. Both
// programs write them, one JSON object per line, into
// log/records/<YYYY-MM-DD>.jsonl below their base folder (and, with a
// database, into its phone_records table).
struct SPhoneRecord {
  std::string strTool;     // "quillport" or "tavlo"
  std::string strStation;  // host name and base folder, or the configured name
  int nRow = 0;            // the download tool's row 1..8; 0 for the writer
  std::string strPort;     // "COM5"
  std::string strDay;      // YYYY-MM-DD of `started`, in the station's own time
  std::string strResult;   // "passed", "failed" or "stopped"
  std::string strFailure;  // empty when null
};

// The record of one line, or std::nullopt for a damaged line: not one JSON
// object, or without the fields every record has (tool, station, started,
// result) in their form.
std::optional<SPhoneRecord> ParseRecordLine(std::string_view line);

// What reading the records of a folder or file found.
struct SReadCounts {
  int64_t nRecords = 0;
  int64_t nDamaged = 0;  // lines skipped; blank lines are no lines
};

// Reads strPath: a records file, a base folder whose log/records/*.jsonl
// are read in name (date) order, or such a records folder itself. Each record goes to fnRecord.
// False with the reason when the path cannot be read at all.
bool ReadRecordsPath(const std::string& strPath,
                     const std::function<void(const SPhoneRecord&)>& fnRecord, SReadCounts* pCounts,
                     std::string* pError);
