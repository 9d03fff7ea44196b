#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_config.h"
#include "sim/sim_fd.h"
#include "sim/sim_report.h"

// Simulated phones on virtual USB sockets.
//
// A socket serves phones one after another. Each phone is a pseudo-terminal
// whose slave is registered as the symbolic link "Gadget Serial (COM<n>)" in
// the ports folder (the host lists that folder through PHONE_PORTS_DIR). In
// device mode the phone instead serves an existing serial device (such as a
// USB gadget's /dev/ttyGS0) and runs the profile's plug/unplug commands.
// A phone leaves when the host powers it off, when a fault unplugs it, when
// the host has closed the port for unplug-on-close-ms, or on Stop().
//
// Stages: boot (CONNECT first, then images by address or name and EXEC).
// Executing an image loaded at factory-addr (0x100100) enters the factory
// stage; otherwise the first executed image is the first loader (PDL1), which
// again takes images and EXEC, and the second executed image (PDL2) starts
// the loader stage (partition table, debug flags, format, image attributes,
// partition images by name). POWER_OFF and CONNECT are taken in every stage.

namespace sim {

struct SSocketOptions {
  std::string strPortsDir{};  // pty mode: folder for the port link
  int nCom = 1;
  std::string strDevice{};  // device mode when set: serve this serial device
  int nPhones = 1;          // phones to serve one after another; 0 forever
  int nReplugDelayMs = 0;   // from one phone leaving to the next plugging in
  SPhoneConfig phone{};
  // Called on the socket's thread as each phone leaves.
  std::function<void(const SPhoneReport&)> onPhoneDone{};
  int nDoneFd = -1;  // eventfd to signal when the socket has served all phones
  // Called on the socket's thread as a fault fires on a packet, with the
  // phone's index and the fault's text, before the phone acts on it: a test
  // learns that the host's command has arrived while its answer is held back.
  std::function<void(int nPhone, const std::string& strFault)> onFaultFired{};
};

class CSimSocket {
 public:
  explicit CSimSocket(SSocketOptions opt);
  ~CSimSocket();
  CSimSocket(const CSimSocket&) = delete;
  CSimSocket& operator=(const CSimSocket&) = delete;

  // Starts serving; returns once the first phone is plugged in, false (with
  // the reason in *pErr) if it could not be.
  bool Start(std::string* pErr = nullptr);
  // Unplugs the current phone and ends the socket's thread.
  void Stop();
  // True once all phones are served (or the socket stopped) within the time.
  bool WaitDone(int nTimeoutMs);
  // True once the k-th phone (from 1) has been plugged in within the time.
  bool WaitPlugged(int nPhone, int nTimeoutMs);
  // Reports of the phones that have left, in order.
  std::vector<SPhoneReport> Reports() const;
  // The last report; outcome Running if no phone has left yet.
  SPhoneReport Report() const;
  std::string LinkPath() const;
  // The device the host opens for the current phone; empty while none is in.
  std::string DevicePath() const;

 private:
  void Run();

  const SSocketOptions m_opt;
  CFd m_fdStop;  // eventfd, readable once Stop() was called
  std::thread m_thread;
  mutable std::mutex m_mtx;      // guards m_reports, m_nPlugged, m_strDevice, m_bDone, m_strError
  std::condition_variable m_cv;  // signalled when any of them changes
  std::vector<SPhoneReport> m_reports;
  int m_nPlugged = 0;
  std::string m_strDevice;
  bool m_bDone = false;
  std::string m_strError;
};

struct SFarmOptions {
  std::string strPortsDir{};
  int nSockets = 1;
  int nComBase = 1;                    // socket i uses COM nComBase + i
  std::vector<std::string> devices{};  // device mode: one device per socket (sets nSockets)
  int nPhonesPerSocket = 1;            // 0 forever
  int nReplugDelayMs = 1000;
  SPhoneConfig phone{};
  std::function<void(const SPhoneReport&)> onPhoneDone{};  // called on socket threads
};

// Several sockets served in parallel, one thread each.
class CPhoneFarm {
 public:
  explicit CPhoneFarm(SFarmOptions opt);
  ~CPhoneFarm();
  CPhoneFarm(const CPhoneFarm&) = delete;
  CPhoneFarm& operator=(const CPhoneFarm&) = delete;

  bool Start(std::string* pErr = nullptr);
  void Stop();
  bool WaitDone(int nTimeoutMs);
  // Readable whenever a socket finishes; then WaitDone(0) tells if all did.
  int DoneFd() const { return m_fdDone.Get(); }
  std::vector<SPhoneReport> Reports() const;
  CSimSocket& Socket(size_t i) { return *m_sockets[i]; }

 private:
  SFarmOptions m_opt;
  CFd m_fdDone;  // eventfd counting finished sockets
  std::vector<std::unique_ptr<CSimSocket>> m_sockets;
};

// Runs a shell command with SIM_COM and SIM_DEVICE set and waits for it;
// returns its exit status, or -1 if it could not run.
int RunShellCommand(const std::string& strCmd, int nCom, const std::string& strDevice);

}  // namespace sim
