#pragma once

#include <string>

#include "database/pg_connection.h"  // kLedgerSchemaVersion

// Creates the tables or brings them up to kLedgerSchemaVersion, one
// version per transaction, each noted in tavlo_schema. Safe to run from
// several places at once. *pnVersion: the version found before. nUpTo: a
// lower version to stop at (the tests build the ledgers of older programs).
bool ApplyLedgerSchema(CPgConnection& conn, int* pnVersion, std::string* pError,
                       int nUpTo = kLedgerSchemaVersion);
// Gives the existing role strRole what a station needs, and no more: it
// draws, reserves, records and releases its own unwritten numbers only, and
// can neither change nor delete a written one. On a connection Ensure has
// readied, as the ledger's owner.
bool GrantStationRole(CPgConnection& conn, const std::string& strRole, std::string* pError);
