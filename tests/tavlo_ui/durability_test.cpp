// The writer killed at random moments across many simulated phones: no
// number that reached a phone may be missing from the history, and none may
// reach two phones. NORQ_KILLS sets the number of kills (default 40).

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "pty_phone.h"
#include "sim_reports.h"

namespace {

namespace fs = std::filesystem;

TEST(WriterDurability, KilledAtRandomNoWrittenNumberIsLostOrRepeated) {
  const int nKills = std::getenv("NORQ_KILLS") ? std::atoi(std::getenv("NORQ_KILLS")) : 40;
  CTempDir base, ports, reports;
  fs::create_directories(base.File("ini"));
  fs::create_directories(base.File("images"));
  std::ofstream(base.File("images/boot_fact.bin")) << std::string(20000, 'b');
  std::ofstream(base.File("ini/chipset.ini")) << "[CHIP_1]\nCHIPNAME=c\nFACTNAME=factorydata\n";
  std::ofstream(base.File("ini/wimei.ini"))
      << "[GENERAL]\nISWIMEI=Yes\nCHECK_IMEI=Yes\nCHIPSET=c\n[WIMEI]\nIMEINUM=2\nINPUTTYPE=2\n"
         "IS14CHAR=Yes\nINITCODE14=35209900000000\nMASKCODE14=35209900******\n";

  const std::vector<std::string> env = {"PHONE_PORTS_DIR=" + ports.Path(),
                                        "PHONE_COM_MAP=" + base.File("com.ini"),
                                        "XDG_RUNTIME_DIR=" + base.Path()};
  // Each phone leaves when probed after its write, as the operator unplugs
  // it; its slow read-back keeps the write-back unrecorded for a while, so
  // that many kills land between the two. A phone whose writer died leaves
  // too, as the operator takes away a phone left half-done.
  CChild sim(
      {PDL_PHONE_SIM_PATH, "--ports-dir", ports.Path(), "--continuous", "--replug-delay-ms", "50",
       "--report-dir", reports.Path(), "--quiet", "--fault", "cmd=connect,nth=2,unplug", "--fault",
       "cmd=read-part,nth=2,stall=250", "--unplug-on-close-ms", "100"},
      base.Path(), base.File("sim.txt"));
  ASSERT_TRUE(sim.Started());

  std::mt19937 rng(20261209);
  std::uniform_int_distribution<int> delay(0, 900);
  for (int n = 0; n < nKills; ++n) {
    CChild tavlo({TAVLO_PATH, "--headless"}, base.Path(), base.File("out.txt"), env);
    ASSERT_TRUE(tavlo.Started());
    std::this_thread::sleep_for(std::chrono::milliseconds(delay(rng)));
    tavlo.Signal(SIGKILL);
    tavlo.WaitExit(std::chrono::seconds(10));
  }
  // A last clean run, so that the history's final state is a normal one. The
  // phone of the last killed run may still be on its way out when it starts,
  // and fail it: the operator then starts again.
  std::optional<int> status;
  for (int nTry = 0; nTry < 3 && status != 0; ++nTry) {
    CChild last({TAVLO_PATH, "--headless", "--count", "2"}, base.Path(), base.File("out.txt"), env);
    status = last.WaitExit(std::chrono::seconds(60));
  }
  EXPECT_EQ(status, 0) << ReadWholeFile(base.File("out.txt"));
  sim.Signal(SIGTERM);
  sim.WaitExit(std::chrono::seconds(10));

  std::set<std::string> history;
  std::istringstream lines(ReadWholeFile(base.File("data/wimei.history")));
  for (std::string line; std::getline(lines, line);) history.insert(line.substr(20));
  EXPECT_FALSE(fs::exists(base.File("data/wimei.history.pending")));

  std::map<std::string, std::string> phoneOf;  // IMEI -> the report that holds it
  int nWritten = 0;
  for (const auto& entry : fs::directory_iterator(reports.Path())) {
    const std::string partition = WrittenPartition(ReadWholeFile(entry.path().string()));
    if (partition.size() != 0x4000) continue;
    ++nWritten;
    for (size_t slot = 0; slot < 2; ++slot) {
      const std::string imei = DecodeImeiSlot(partition, slot);
      EXPECT_TRUE(history.count(imei)) << imei << " reached " << entry.path() << " unrecorded";
      const auto [it, bNew] = phoneOf.emplace(imei, entry.path().filename().string());
      EXPECT_TRUE(bNew) << imei << " reached both " << it->second << " and " << entry.path();
    }
  }
  EXPECT_GE(nWritten, 2) << "phones written across the kills";
  std::printf("%d kills, %d phones written back, %zu IMEIs in the history\n", nKills, nWritten,
              history.size());
}

}  // namespace
