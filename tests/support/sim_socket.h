#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/sim_config.h"
#include "sim/sim_phone.h"

// A started socket of simulated phones as opt says, each phone also carrying
// the faults given in the simulator's own "fault" setting syntax. Null, with
// a test failure, when a fault does not read or the socket does not start.
inline std::unique_ptr<sim::CSimSocket> StartSimSocket(sim::SSocketOptions opt,
                                                       const std::vector<const char*>& faults) {
  std::string strErr;
  for (const char* psz : faults) {
    if (!sim::ApplySetting(opt.phone, "fault", psz, &strErr)) {
      ADD_FAILURE() << psz << ": " << strErr;
      return nullptr;
    }
  }
  auto pSocket = std::make_unique<sim::CSimSocket>(std::move(opt));
  if (!pSocket->Start(&strErr)) {
    ADD_FAILURE() << strErr;
    return nullptr;
  }
  return pSocket;
}
