#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "pty_phone.h"
#include "sim_reports.h"
#include "writer_station.h"

// A writer station for the ledger tests: its own folder and settings on the
// shared ledger, and its own simulator serving phone after phone (each
// leaves when probed after its write, as the operator unplugs it). Runs of
// `tavlo --headless` are started in the folder.
class CLedgerStation {
 public:
  static constexpr size_t kImeis = 2;

  // strImeiSource: the [WIMEI] lines choosing the range or the list;
  // bPhones false: no phone ever comes (a run waits after its draw).
  CLedgerStation(const std::string& strName, const std::string& strConnect,
                 const std::string& strImeiSource, std::vector<std::string> extraSimArgs = {},
                 bool bPhones = true) {
    MakeWriterStation(m_base.Path(), 20000);
    std::ofstream(m_base.File("ini/wimei.ini"))
        << "[GENERAL]\nISWIMEI=Yes\nCHECK_IMEI=Yes\nCHIPSET=c\n[WIMEI]\nIMEINUM=" << kImeis << "\n"
        << strImeiSource << "[LEDGER]\nCONNECT=" << strConnect << "\nSTATION=" << strName << "\n";
    std::vector<std::string> args = {PDL_PHONE_SIM_PATH,
                                     "--ports-dir",
                                     m_ports.Path(),
                                     "--continuous",
                                     "--replug-delay-ms",
                                     "20",
                                     "--report-dir",
                                     m_reports.Path(),
                                     "--quiet",
                                     "--fault",
                                     "cmd=connect,nth=2,unplug",
                                     "--unplug-on-close-ms",
                                     "100"};
    args.insert(args.end(), extraSimArgs.begin(), extraSimArgs.end());
    if (bPhones) m_pSim = std::make_unique<CChild>(args, m_base.Path(), m_base.File("sim.txt"));
  }
  CLedgerStation(const CLedgerStation&) = delete;
  CLedgerStation& operator=(const CLedgerStation&) = delete;

  // Starts `tavlo --headless` with the arguments.
  std::unique_ptr<CChild> Start(const std::vector<std::string>& args) {
    std::vector<std::string> all = {TAVLO_PATH, "--headless"};
    all.insert(all.end(), args.begin(), args.end());
    return std::make_unique<CChild>(
        all, m_base.Path(), m_base.File("out.txt"),
        std::vector<std::string>{"PHONE_PORTS_DIR=" + m_ports.Path(),
                                 "PHONE_COM_MAP=" + m_base.File("com.ini"),
                                 "XDG_RUNTIME_DIR=" + m_base.Path()});
  }
  // A whole run, bounded; its exit code, or -1.
  int Run(const std::vector<std::string>& args, int nSeconds = 300) {
    return Start(args)->WaitExit(std::chrono::seconds(nSeconds)).value_or(-1);
  }

  // The IMEIs of every phone this station's simulator saw written.
  std::vector<std::vector<std::string>> Phones() const {
    return WrittenImeis(m_reports.Path(), kImeis);
  }
  size_t Reports() const {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(m_reports.Path()))
      ++n;
    return n;
  }
  // The numbers of the station's own IMEI history.
  std::set<std::string> History() const {
    std::set<std::string> numbers;
    std::istringstream lines(ReadWholeFile(m_base.File("data/wimei.history")));
    for (std::string line; std::getline(lines, line);) {
      if (line.size() > 20) numbers.insert(line.substr(20));
    }
    return numbers;
  }
  std::string Output() const { return ReadWholeFile(m_base.File("out.txt")); }
  std::string File(const std::string& strName) const { return m_base.File(strName); }

 private:
  CTempDir m_base, m_ports, m_reports;
  std::unique_ptr<CChild> m_pSim;  // last: ends before its folders go
};
