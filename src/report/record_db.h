#pragma once

#include <functional>
#include <string>

#include "report/phone_records.h"

// How long the report's one statement may take: it reads a whole table.
inline constexpr int kReportCallMs = 2 * 60 * 1000;

// Reads every record of the phone_records table, in the order they went in,
// from the server strConnect names (a connection string or URI without a
// password: that comes from the password file or the environment). False
// with the reason when the server cannot be read.
bool ReadRecordsDatabase(const std::string& strConnect,
                         const std::function<void(const SPhoneRecord&)>& fnRecord,
                         SReadCounts* pCounts, std::string* pError);
