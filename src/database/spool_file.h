#pragma once

#include <string>

// The spool of outcomes that could not reach the database server: one line
// an outcome, appended and synced before the caller goes on, read whole and
// replayed in order, removed once every line is in. Shared by the ledger's
// outcomes and the phone records, so that both keep the same promises.

// Appends strLine (ending in '\n'). A last line cut short (a full disk, a
// crash) is ended first, so that it does not swallow this one; what landed
// of a failed write is taken back where the system allows. False, with
// what failed on the spool and the system's reason.
bool AppendSpoolLine(const std::string& strPath, const std::string& strLine, std::string* pError);
// The whole spool, "" when there is none. False when it is there but cannot
// be read: never mistaken for an empty one.
bool ReadSpool(const std::string& strPath, std::string* pText, std::string* pError);
// Removes a spool whose every line is in (a missing one is no error).
bool RemoveSpool(const std::string& strPath, std::string* pError);
