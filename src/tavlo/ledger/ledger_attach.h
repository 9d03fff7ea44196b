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
