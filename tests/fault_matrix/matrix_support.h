#pragma once

// What both fault tables share: the six actions, the simulated socket that
// serves a faulty phone and then a clean one, and the process's descriptor
// and thread counts.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/message_queue.h"
#include "pty_phone.h"
#include "sim/sim_phone.h"
#include "wait_until.h"

namespace fault_matrix {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

enum class EAction { Code, FailReply, Silent, Garbage, Unplug, Stop };

struct SActionInfo {
  EAction eAction;
  const char* pszName;
  const char* pszFault;  // the fault's action items
};

// A non-ACK code, a 0xEE reply, silence, stray bytes before the answer, the
// phone pulled instead of answering, and an answer held back while the
// operator presses Stop (long enough for the press, short of any time-out).
inline constexpr SActionInfo kActions[] = {
    {EAction::Code, "code", "code=9"},     {EAction::FailReply, "fail", "fail"},
    {EAction::Silent, "silent", "silent"}, {EAction::Garbage, "garbage", "garbage=64"},
    {EAction::Unplug, "unplug", "unplug"}, {EAction::Stop, "stop", "stall=1500"},
};

inline size_t CountFds() {
  const std::filesystem::directory_iterator it("/proc/self/fd");
  return static_cast<size_t>(std::distance(std::filesystem::begin(it), std::filesystem::end(it)));
}

// Descriptors of the process on pseudo-terminals. Once the simulator has
// let go of its phones, any such descriptor is a port the host left open.
inline size_t OpenTerminals() {
  size_t n = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    const std::string strTarget = std::filesystem::read_symlink(entry.path(), ec).string();
    n += strTarget.rfind("/dev/pts/", 0) == 0 || strTarget == "/dev/ptmx";
  }
  return n;
}

// Descriptors and threads of the process before a case; compared once the
// case has torn everything down.
class CLeakCheck {
 public:
  CLeakCheck() {
    // A sanitizer may start a helper thread with the first thread it sees.
    std::thread([] {}).join();
    m_nFds = CountFds();
    m_nThreads = CountThreads();
  }
  void Expect() const {
    // A joined thread can stay listed for a moment while the kernel ends it,
    // on either side of the case: only more than before is a leak.
    EXPECT_TRUE(WaitUntil([this] { return CountThreads() <= m_nThreads; }, 5s))
        << "threads before " << m_nThreads << ", after " << CountThreads();
    EXPECT_LE(CountFds(), m_nFds) << "descriptors left open";
  }

 private:
  size_t m_nFds = 0;
  int m_nThreads = 0;
};

// One socket that serves two phones: the first carries the case's fault, the
// second none. Every phone leaves when the host probes it with a second
// connect (after a failure in the download tool, after a written phone in
// the writer), and a phone whose port the host has closed for nClosedMs.
// The download tool's port search opens and closes a port to see that it
// is free just before it opens it for good: its phones need a wider margin.
class CTwoPhones {
 public:
  CTwoPhones(const std::string& strPortsDir, int nCom, const std::string& strFault, int nClosedMs,
             CMessageQueue& queue)
      : m_strFault(strFault) {
    sim::SPhoneConfig cfg;
    cfg.nUnplugOnCloseMs = nClosedMs;
    EXPECT_TRUE(sim::ApplySetting(cfg, "fault", strFault, nullptr)) << strFault;
    EXPECT_TRUE(sim::ApplySetting(cfg, "fault", "cmd=connect,nth=2,unplug", nullptr));
    sim::SSocketOptions opt;
    opt.strPortsDir = strPortsDir;
    opt.nCom = nCom;
    opt.nPhones = 2;
    opt.nReplugDelayMs = 100;
    opt.phone = cfg;
    opt.onFaultFired = [this, &queue](int nPhone, const std::string& strFired) {
      if (nPhone != 1 || strFired != m_strFault) return;
      m_bFired = true;
      queue.PostTask([] {});  // wakes the window thread's pump
    };
    m_pSocket = std::make_unique<sim::CSimSocket>(std::move(opt));
    std::string strErr;
    EXPECT_TRUE(m_pSocket->Start(&strErr)) << strErr;
  }

  // The case's fault reached the first phone: the host's command is in.
  bool Fired() const { return m_bFired; }
  size_t PhonesGone() const { return m_pSocket->Reports().size(); }
  std::vector<sim::SPhoneReport> Reports() const { return m_pSocket->Reports(); }
  bool WaitDone(std::chrono::milliseconds bound) {
    return m_pSocket->WaitDone(static_cast<int>(bound.count()));
  }
  // Ends the socket's thread and releases its descriptors.
  void Release() { m_pSocket.reset(); }

 private:
  const std::string m_strFault;
  std::atomic<bool> m_bFired{false};  // set on the socket's thread, read by the test
  std::unique_ptr<sim::CSimSocket> m_pSocket;
};

inline bool HasFault(const sim::SPhoneReport& rep, const std::string& strFault) {
  for (const std::string& s : rep.faultsFired) {
    if (s == strFault) return true;
  }
  return false;
}

// The answer the fault changed went out with its 64 stray bytes in front.
inline void ExpectGarbageSent(const sim::SPhoneReport& rep, const std::string& strFault) {
  const auto it =
      std::find_if(rep.commands.begin(), rep.commands.end(),
                   [&](const sim::SCommandRecord& cmd) { return cmd.strFault == strFault; });
  ASSERT_NE(it, rep.commands.end()) << sim::SummaryLine(rep);
  EXPECT_GE(it->nReplyLen, 64u + 10u);
  EXPECT_EQ(it->nReply, 0);
}

// "connect_code": a readable gtest name for a case.
template <typename TStep>
std::string CaseName(const TStep& step, const SActionInfo& action) {
  return std::string(step.pszName) + "_" + action.pszName;
}

}  // namespace fault_matrix
