#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/file_lock.h"
#include "platform/instance_lock.h"
#include "tavlo/settings/number_ledger.h"
#include "tavlo/settings/write_history.h"
#include "tavlo/settings/writer_settings.h"

// What the writer holds for its whole life, made before its window opens:
// one copy only, the base folder (the current directory), the chip list, the
// settings, the packet buffer the link and the worker share, the histories.
struct STavloApp {
  std::unique_ptr<platform::CInstanceLock> pInstance;
  // The station's data folder, for this process alone: the single-copy guard
  // above is per user and machine, the folder may be shared with either.
  std::unique_ptr<platform::CFileLock> pStationLock;
  std::string strStationError;  // why the station folder refused the start
  std::string strBase;
  ChipList chips;
  WriterSettings settings;
  std::vector<uint8_t> packet;
  std::unique_ptr<INumberLedger> pLedger;  // with a [LEDGER] section; outlives the histories
  std::string strLedgerError;              // why the ledger refused the start
  std::string strSettingsError;            // why the settings refused the start
  std::unique_ptr<CWriteHistories> pHistories;
};

enum class ETavloStart {
  Ok,
  AlreadyRunning,
  StationInUse,
  BootImageMissing,
  LedgerUnreachable,
  SettingsRefused
};

// The start-up steps in their order; any but Ok ends the program before any
// phone is touched (the caller shows kMsgBootImageMissing, strStationError,
// strLedgerError or strSettingsError, or brings the running copy forward).
// SettingsRefused: values the factory record cannot hold (MBSNLEN).
ETavloStart StartTavlo(const std::string& strProgram, const std::string& strBase, STavloApp* pApp);
