#pragma once

#include <memory>
#include <string>

#include "tavlo/settings/number_ledger.h"
#include "tavlo/settings/write_history.h"

// At start-up: with a [LEDGER] section, opens the ledger (spool beside the
// settings folder) and puts the histories on it; *pOwner keeps it. False,
// with a message for the operator, when the section is there but the ledger
// cannot be used: the station must then touch no phone.
bool AttachLedger(const std::string& strBase, CWriteHistories& histories,
                  std::unique_ptr<INumberLedger>* pOwner, std::string* pError);

// In the station folder, beside ini/ and data/ (Reset History never moves
// them): the outcomes not yet in the ledger, and the mark a station leaves
// once it has started on the ledger. A station that finds either refuses to
// start without its [LEDGER] section; deleting the mark (with no spool left)
// is how it leaves the ledger on purpose.
inline constexpr const char* kLedgerSpoolFile = "ledger.spool";
inline constexpr const char* kLedgerMarkFile = "ledger.member";

// For a station without a [LEDGER] section: false, with the message for the
// operator, when it has been on a ledger (its mark or its spool is there).
bool CheckNeverOnLedger(const std::string& strBase, std::string* pError);
// For a station that has opened its ledger: leaves the mark; false, with
// the reason, when it cannot.
bool MarkOnLedger(const std::string& strBase, std::string* pError);
