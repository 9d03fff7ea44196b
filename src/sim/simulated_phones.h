#pragma once

#include <memory>
#include <string>

// A program's --simulate: simulated phones in a private ports folder, for
// training and demonstrations, coming one after another until the object
// goes. A build without the simulator (the Windows build, which the Linux
// simulator serves over mapped COM ports) says so and fails.
class CSimulatedPhones {
 public:
  CSimulatedPhones();
  ~CSimulatedPhones();
  CSimulatedPhones(const CSimulatedPhones&) = delete;
  CSimulatedPhones& operator=(const CSimulatedPhones&) = delete;

  // nPhones sockets, none for 0 (true at once). strProgram names the folder
  // and the line on stderr that says why they could not start. With
  // bLeaveAfterWrite each phone is taken away once written back, as the
  // writer's operator unplugs a written phone.
  bool Start(const std::string& strProgram, int nPhones, bool bLeaveAfterWrite = false);

 private:
  struct SFarm;
  std::unique_ptr<SFarm> m_pFarm;
};
