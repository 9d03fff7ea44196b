#pragma once

#include <string>

class CPgConnection;

// The schema version this program works with; older ledgers are upgraded
// by `tavlo-ledger init`, never by a station.
inline constexpr int kLedgerSchemaVersion = 1;

// Creates the tables or brings them up to kLedgerSchemaVersion, one
// version per transaction, each noted in tavlo_schema. Safe to run from
// several places at once. *pnVersion: the version found before.
bool ApplyLedgerSchema(CPgConnection& conn, int* pnVersion, std::string* pError);
