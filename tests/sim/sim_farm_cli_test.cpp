#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "sim_test_host.h"

namespace {

using namespace simtest;
namespace fs = std::filesystem;

TEST(SimFarm, SocketsServeOnePhoneAfterAnotherWithPerPhoneFaults) {
  CTempDir dir;
  std::atomic<int> nDone{0};  // phones that left, counted on the socket threads
  sim::SFarmOptions opt{.strPortsDir = dir.Path(),
                        .nSockets = 2,
                        .nComBase = 3,
                        .nPhonesPerSocket = 2,
                        .nReplugDelayMs = 50,
                        .onPhoneDone = [&](const sim::SPhoneReport&) { ++nDone; }};
  ASSERT_TRUE(sim::ApplySetting(opt.phone, "fault", "phone=2,cmd=connect,code=12", nullptr));
  sim::CPhoneFarm farm(opt);
  ASSERT_TRUE(farm.Start());
  for (int nPhone = 1; nPhone <= 2; ++nPhone) {
    for (size_t i = 0; i < 2; ++i) {
      sim::CSimSocket& socket = farm.Socket(i);
      ASSERT_TRUE(socket.WaitPlugged(nPhone, 5000));
      CTestHost host;
      ASSERT_TRUE(host.Open(socket.LinkPath()));
      EXPECT_EQ(host.Cmd(pdl::CMD_CONNECT), nPhone == 1 ? 0 : int{pdl::RSP_DEVICE_ERROR});
      ASSERT_TRUE(host.Send(ShortPacket(pdl::CMD_POWER_OFF)));
    }
  }
  ASSERT_TRUE(farm.WaitDone(5000));
  EXPECT_EQ(CountLinks(dir.Path()), 0);
  EXPECT_EQ(nDone, 4);
  const std::vector<sim::SPhoneReport> reps = farm.Reports();
  ASSERT_EQ(reps.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(reps[i].nCom, 3 + static_cast<int>(i / 2));
    EXPECT_EQ(reps[i].nIndex, 1 + static_cast<int>(i % 2));
    EXPECT_EQ(reps[i].eOutcome, sim::EOutcome::PoweredOff);
    EXPECT_EQ(reps[i].faultsFired.size(), i % 2);
  }
}

struct SRun {
  pid_t pid = -1;
  sim::CFd fdPid;  // pidfd: readable once the process has ended
  sim::CFd fdErr;  // its standard error
};

SRun Spawn(const std::vector<std::string>& args) {
  std::vector<std::string> all = {SIM_CLI_PATH};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : all) argv.push_back(s.data());
  argv.push_back(nullptr);
  int pipeFds[2];
  EXPECT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
  SRun run;
  EXPECT_EQ(posix_spawn(&run.pid, SIM_CLI_PATH, &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  run.fdErr.Reset(pipeFds[0]);
  run.fdPid.Reset(static_cast<int>(syscall(SYS_pidfd_open, run.pid, 0)));
  return run;
}

// The exit status, or -1 if the process has not ended within the time (it is then killed).
int WaitExit(SRun& run, int nTimeoutMs) {
  pollfd pfd{run.fdPid.Get(), POLLIN, 0};
  const bool bEnded = poll(&pfd, 1, nTimeoutMs) > 0;
  if (!bEnded) kill(run.pid, SIGKILL);
  int status = 0;
  waitpid(run.pid, &status, 0);
  return bEnded && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SimCli, EightPhonesComeUpAndSigtermTakesThemAllAway) {
  CTempDir ports, reports;
  SRun run = Spawn({"--ports-dir", ports.Path(), "--phones", "8", "--com-base", "10", "--quiet",
                    "--report-dir", reports.Path(), "--fault", "cmd=debug,code=4"});
  ASSERT_TRUE(WaitForDir(
      ports.Path(), [&] { return CountLinks(ports.Path()) == 8; }, 10000));
  // One phone is used and powered off, and leaves its report at once.
  CTestHost host;
  ASSERT_TRUE(host.Open(ports.Path() + "/Gadget Serial (COM13)"));
  EXPECT_EQ(host.Cmd(pdl::CMD_CONNECT), 0);
  ASSERT_TRUE(host.Send(ShortPacket(pdl::CMD_POWER_OFF)));
  const std::string strReport = reports.Path() + "/COM13-1.json";
  ASSERT_TRUE(WaitForDir(
      reports.Path(), [&] { return fs::exists(strReport); }, 5000));
  EXPECT_EQ(CountLinks(ports.Path()), 7);

  ASSERT_EQ(kill(run.pid, SIGTERM), 0);
  EXPECT_EQ(WaitExit(run, 10000), 0);
  EXPECT_EQ(CountLinks(ports.Path()), 0);
  EXPECT_EQ(std::distance(fs::directory_iterator(reports.Path()), fs::directory_iterator()), 8);
  std::stringstream json;
  json << std::ifstream(strReport).rdbuf();
  EXPECT_NE(json.str().find("\"outcome\": \"powered-off\""), std::string::npos) << json.str();
  EXPECT_NE(json.str().find("\"com\": 13"), std::string::npos);
}

TEST(SimCli, BadOptionsEndWithAMessage) {
  CTempDir ports;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--ports-dir", ports.Path(), "--fault", "cmd=5"},
        std::vector<std::string>{"--ports-dir", ports.Path(), "--rate", "fast"},
        std::vector<std::string>{}}) {
    SRun run = Spawn(args);
    EXPECT_EQ(WaitExit(run, 10000), 2);
    char buf[512] = {};
    EXPECT_GT(read(run.fdErr.Get(), buf, sizeof buf - 1), 0);
    EXPECT_NE(std::string(buf).find("pdl-phone-sim:"), std::string::npos) << buf;
  }
  EXPECT_EQ(CountLinks(ports.Path()), 0);
}

}  // namespace
