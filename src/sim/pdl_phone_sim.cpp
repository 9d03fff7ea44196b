// pdl-phone-sim: serves simulated phones on virtual USB sockets for the
// download and IMEI tools' tests, benchmarks and demos.

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>

#include "common/program_options.h"
#include "sim/sim_phone.h"

namespace {

std::mutex g_mtxOut;  // guards stdout and stderr lines written by socket threads

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Serves simulated phones: each socket shows a phone as the port link\n"
      "\"Gadget Serial (COM<n>)\" in the ports folder (a pseudo-terminal), speaking the\n"
      "PDL packet protocol. A phone leaves when powered off, when a fault unplugs it,\n"
      "or on SIGINT/SIGTERM; then the next one plugs in after --replug-delay-ms,\n"
      "up to --count phones per socket. One summary line is printed per phone."};
  app.get_formatter()->column_width(34);
  AddVersionFlag(app, "pdl-phone-sim");
  std::string strPortsDir, strProfile, strReportDir;
  int nPhones = 1, nComBase = 1, nCount = 1, nReplugDelayMs = 1000;
  bool bContinuous = false, bQuiet = false;
  std::vector<std::string> devices;
  app.add_option("-d,--ports-dir", strPortsDir, "folder for the port links (created if missing)")
      ->envname("PHONE_PORTS_DIR");
  app.add_option("-n,--phones", nPhones, "sockets served at once, each with one phone at a time")
      ->check(CLI::Range(1, 256));
  app.add_option("--com-base", nComBase, "COM number of the first socket; the others follow")
      ->check(CLI::Range(1, 9999));
  app.add_option("--count", nCount, "phones per socket, one after another; 0 = forever")
      ->check(CLI::NonNegativeNumber);
  app.add_flag("-c,--continuous", bContinuous, "continuous factory mode: same as --count 0");
  app.add_option("--replug-delay-ms", nReplugDelayMs,
                 "delay before the next phone plugs into a socket the last one left")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--profile", strProfile,
                 "phone profile: key=value lines with the phone option names below "
                 "(without --); # starts a comment; options given here override it")
      ->check(CLI::ExistingFile);
  app.add_option("--device", devices,
                 "device mode: serve this existing serial device (e.g. /dev/ttyGS0) instead of "
                 "a pty; repeat for more sockets; plug-cmd/unplug-cmd stand for plugging")
      ->check(CLI::ExistingPath);
  app.add_option("--report-dir", strReportDir,
                 "write each phone's JSON report there as COM<n>-<k>.json");
  app.add_flag("-q,--quiet", bQuiet, "no summary lines");
  std::map<std::string, std::vector<std::string>> settings;
  for (const sim::SSettingInfo& s : sim::PhoneSettings()) {
    app.add_option(std::string("--") + s.pszKey, settings[s.pszKey], s.pszHelp)
        ->type_name(s.pszArg)
        ->group("Phone options");
  }
  app.footer(std::string("\n") + sim::kFaultSyntaxHelp);
  CLI11_PARSE(app, argc, argv);

  sim::SFarmOptions opt;
  std::string strErr;
  if (!strProfile.empty() && !sim::LoadProfile(strProfile, opt.phone, &strErr)) {
    std::fprintf(stderr, "pdl-phone-sim: %s\n", strErr.c_str());
    return 2;
  }
  for (const sim::SSettingInfo& s : sim::PhoneSettings()) {
    for (const std::string& strValue : settings[s.pszKey]) {
      if (!sim::ApplySetting(opt.phone, s.pszKey, strValue, &strErr)) {
        std::fprintf(stderr, "pdl-phone-sim: %s\n", strErr.c_str());
        return 2;
      }
    }
  }
  if (strPortsDir.empty() && devices.empty()) {
    std::fprintf(stderr, "pdl-phone-sim: give --ports-dir (or PHONE_PORTS_DIR) or --device\n");
    return 2;
  }
  opt.strPortsDir = strPortsDir;
  opt.nSockets = nPhones;
  opt.nComBase = nComBase;
  opt.devices = devices;
  opt.nPhonesPerSocket = bContinuous ? 0 : nCount;
  opt.nReplugDelayMs = nReplugDelayMs;
  opt.onPhoneDone = [&](const sim::SPhoneReport& rep) {
    bool bWritten = true;
    if (!strReportDir.empty()) {
      const std::string strPath = strReportDir + "/COM" + std::to_string(rep.nCom) + "-" +
                                  std::to_string(rep.nIndex) + ".json";
      std::ofstream file(strPath);
      file << sim::ToJson(rep);
      bWritten = static_cast<bool>(file);
    }
    std::lock_guard lock(g_mtxOut);
    if (!bQuiet) std::printf("%s\n", sim::SummaryLine(rep).c_str());
    if (!bWritten)
      std::fprintf(stderr, "pdl-phone-sim: cannot write to %s\n", strReportDir.c_str());
    std::fflush(stdout);
  };

  // Signals arrive through a descriptor; the threads started below inherit the mask.
  sigset_t sigs;
  sigemptyset(&sigs);
  sigaddset(&sigs, SIGINT);
  sigaddset(&sigs, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
  sim::CFd fdSignal(signalfd(-1, &sigs, SFD_CLOEXEC));

  sim::CPhoneFarm farm(opt);
  if (!farm.Start(&strErr)) {
    std::fprintf(stderr, "pdl-phone-sim: %s\n", strErr.c_str());
    return 1;
  }
  if (!bQuiet) {
    std::lock_guard lock(g_mtxOut);
    std::printf("pdl-phone-sim: %d socket(s) ready, COM%d..COM%d\n", nPhones, nComBase,
                nComBase + (devices.empty() ? nPhones : static_cast<int>(devices.size())) - 1);
    std::fflush(stdout);
  }
  for (;;) {
    pollfd fds[2] = {{fdSignal.Get(), POLLIN, 0}, {farm.DoneFd(), POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;
    if (fds[0].revents) break;
    eventfd_t n;
    eventfd_read(farm.DoneFd(), &n);
    if (farm.WaitDone(0)) break;
  }
  farm.Stop();
  return 0;
}
