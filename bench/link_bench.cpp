// Measures the link the tools run over, a pseudo-terminal, and what the host
// side of the link adds to it. The reference is the least a stop-and-wait
// exchange can cost: a host and a phone thread that each block in poll(),
// write a packet whole and read its answer whole.
//
//   link_bench                      a readable summary
//   link_bench saw CHUNK MB         reference loop, CHUNK-byte payloads, MB of them
//   link_bench eight CHUNK MB       eight reference loops at once, MB each
//   link_bench ack                  10-byte round trip; what the port layer adds per ack
//   link_bench replay FILE          reference round trips for "SEND REPLY" byte counts
//
// Every mode but the first prints one JSON object on stdout.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "pdl/pdl_link.h"
#include "serial/hst_port.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kCom = 90;

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double Micros(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

// Reads exactly n bytes, blocking in poll().
bool ReadAll(int fd, uint8_t* p, size_t n) {
  while (n > 0) {
    const ssize_t got = read(fd, p, n);
    if (got > 0) {
      p += got;
      n -= static_cast<size_t>(got);
      continue;
    }
    if (got == 0 || errno != EAGAIN) return false;
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, 5000) <= 0) return false;
  }
  return true;
}

// Writes all n bytes, blocking in poll() while the terminal is full.
bool WriteAll(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    const ssize_t put = write(fd, p, n);
    if (put > 0) {
      p += put;
      n -= static_cast<size_t>(put);
      continue;
    }
    if (put < 0 && errno != EAGAIN) return false;
    pollfd pfd{fd, POLLOUT, 0};
    if (poll(&pfd, 1, 5000) <= 0) return false;
  }
  return true;
}

bool MakeRaw(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return false;
  cfmakeraw(&tio);
  return tcsetattr(fd, TCSANOW, &tio) == 0;
}

int OpenRawMaster() {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || !MakeRaw(master)) return -1;
  return master;
}

// The reference phone: reads one packet (its header says how long), answers
// with nReplyLen bytes in one write, until a packet of data size 0 comes.
class CReferencePhone {
 public:
  explicit CReferencePhone(int fd) : m_fd(fd), m_thread([this] { Run(); }) {}
  ~CReferencePhone() {
    m_thread.join();
    if (m_pCpuSecondsOut) *m_pCpuSecondsOut = m_cpuSeconds;
  }
  // Where the destructor leaves the thread's CPU time.
  double* m_pCpuSecondsOut = nullptr;
  CReferencePhone(const CReferencePhone&) = delete;
  CReferencePhone& operator=(const CReferencePhone&) = delete;

  // Set by the host before the packet it applies to; stop-and-wait orders it.
  std::atomic<uint32_t> nReplyLen{pdl::kAckSize};

 private:
  void Run() {
    std::vector<uint8_t> buf(pdl::kPacketBufferSize + pdl::kPayloadOffset);
    std::vector<uint8_t> reply(pdl::kPacketBufferSize);
    pdl::BuildHeader(reply.data(), 4);
    pdl::PutU32(reply.data() + pdl::kHeaderSize, pdl::RSP_ACK);
    const double start = ThreadCpuSeconds();
    for (;;) {
      if (!ReadAll(m_fd, buf.data(), pdl::kHeaderSize)) break;
      const uint32_t nRest = pdl::GetU32(buf.data() + 1);
      if (nRest == 0 || nRest > buf.size() || !ReadAll(m_fd, buf.data(), nRest)) break;
      if (!WriteAll(m_fd, reply.data(), nReplyLen)) break;
    }
    m_cpuSeconds = ThreadCpuSeconds() - start;
  }

  int m_fd;
  double m_cpuSeconds = 0;
  std::thread m_thread;
};

// One raw pty pair: the host end is the slave, as the tools see a port.
class CPtyPair {
 public:
  CPtyPair() : m_master(OpenRawMaster()) {
    if (m_master < 0) return;
    m_slave = open(ptsname(m_master), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (m_slave >= 0 && !MakeRaw(m_slave)) {
      close(m_slave);
      m_slave = -1;
    }
  }
  ~CPtyPair() {
    if (m_slave >= 0) close(m_slave);
    if (m_master >= 0) close(m_master);
  }
  CPtyPair(const CPtyPair&) = delete;
  CPtyPair& operator=(const CPtyPair&) = delete;
  bool Ok() const { return m_master >= 0 && m_slave >= 0; }
  int Master() const { return m_master; }
  int Slave() const { return m_slave; }

 private:
  int m_master;
  int m_slave = -1;
};

// The reference host: one packet out whole, its answer in whole.
class CReferenceLoop {
 public:
  CReferenceLoop() : m_packet(pdl::kPacketBufferSize + pdl::kPayloadOffset) {
    if (!m_pair.Ok()) return;
    m_pPhone = std::make_unique<CReferencePhone>(m_pair.Master());
    m_pPhone->m_pCpuSecondsOut = &m_phoneCpuSeconds;
  }
  ~CReferenceLoop() {
    if (!m_pPhone) return;
    uint8_t quit[pdl::kHeaderSize] = {};
    pdl::BuildHeader(quit, 0);
    WriteAll(m_pair.Slave(), quit, sizeof quit);
    m_pPhone.reset();
  }
  CReferenceLoop(const CReferenceLoop&) = delete;
  CReferenceLoop& operator=(const CReferenceLoop&) = delete;

  bool Ok() const { return m_pPhone != nullptr; }
  // A packet of nSend bytes (at least the 10-byte short form), nReply back.
  bool Exchange(uint32_t nSend, uint32_t nReply) {
    nSend = std::max<uint32_t>(nSend, pdl::kShortFormSize);
    pdl::BuildHeader(m_packet.data(), nSend - static_cast<uint32_t>(pdl::kHeaderSize));
    m_pPhone->nReplyLen = nReply;
    return WriteAll(m_pair.Slave(), m_packet.data(), nSend) &&
           ReadAll(m_pair.Slave(), m_reply, std::min<size_t>(nReply, sizeof m_reply)) &&
           (nReply <= sizeof m_reply || DrainReply(nReply - sizeof m_reply));
  }
  // A data packet: the 18-byte long form and nChunk bytes, a 10-byte answer.
  bool DataPacket(uint32_t nChunk) {
    return Exchange(nChunk + static_cast<uint32_t>(pdl::kPayloadOffset), pdl::kAckSize);
  }
  // Ends the phone thread; returns the CPU time it used.
  double StopPhone() {
    uint8_t quit[pdl::kHeaderSize] = {};
    pdl::BuildHeader(quit, 0);
    WriteAll(m_pair.Slave(), quit, sizeof quit);
    m_pPhone.reset();
    return m_phoneCpuSeconds;
  }

 private:
  bool DrainReply(size_t n) {
    std::vector<uint8_t> rest(n);
    return ReadAll(m_pair.Slave(), rest.data(), n);
  }

  CPtyPair m_pair;
  std::vector<uint8_t> m_packet;
  uint8_t m_reply[pdl::kAckSize * 2] = {};
  double m_phoneCpuSeconds = 0;
  std::unique_ptr<CReferencePhone> m_pPhone;
};

struct SSawResult {
  double mbPerSecond = 0;
  double hostCpuPerMb = 0;
  double phoneCpuPerMb = 0;
  double packetMedianUs = 0;
};

// The reference stop-and-wait loop: nMegabytes of nChunk-byte payloads.
SSawResult RunSaw(uint32_t nChunk, double megabytes) {
  SSawResult result;
  CReferenceLoop loop;
  if (!loop.Ok()) return result;
  for (int i = 0; i < 20; ++i) loop.DataPacket(nChunk);  // warms both ends
  const auto nPackets = static_cast<size_t>(std::max(50.0, megabytes * 1e6 / nChunk));
  std::vector<double> packetUs;
  packetUs.reserve(nPackets);
  const double cpuStart = ThreadCpuSeconds();
  const auto start = Clock::now();
  auto last = start;
  for (size_t i = 0; i < nPackets; ++i) {
    if (!loop.DataPacket(nChunk)) return result;
    const auto now = Clock::now();
    packetUs.push_back(Micros(now - last));
    last = now;
  }
  const double seconds = std::chrono::duration<double>(last - start).count();
  const double mb = static_cast<double>(nPackets) * nChunk / 1e6;
  result.hostCpuPerMb = (ThreadCpuSeconds() - cpuStart) / mb;
  result.phoneCpuPerMb = loop.StopPhone() / mb;
  result.mbPerSecond = mb / seconds;
  result.packetMedianUs = Percentile(packetUs, 0.5);
  return result;
}

int SawMode(uint32_t nChunk, double megabytes) {
  const SSawResult r = RunSaw(nChunk, megabytes);
  if (r.mbPerSecond <= 0) return 1;
  std::printf(
      "{\"chunk\": %u, \"mb_per_s\": %.3f, \"host_cpu_s_per_mb\": %.6f, "
      "\"phone_cpu_s_per_mb\": %.6f, \"packet_median_us\": %.2f}\n",
      nChunk, r.mbPerSecond, r.hostCpuPerMb, r.phoneCpuPerMb, r.packetMedianUs);
  return 0;
}

// Eight reference loops at once, each on its own pty pair and threads.
int EightMode(uint32_t nChunk, double megabytesEach) {
  constexpr int kLoops = 8;
  std::vector<double> rates(kLoops, 0.0);
  std::atomic<int> nReady{0};
  std::atomic<bool> bGo{false};
  std::vector<std::thread> hosts;
  for (int k = 0; k < kLoops; ++k) {
    hosts.emplace_back([&, k] {
      CReferenceLoop loop;
      ++nReady;
      while (!bGo) std::this_thread::yield();
      if (!loop.Ok()) return;
      const auto nPackets = static_cast<size_t>(megabytesEach * 1e6 / nChunk);
      const auto start = Clock::now();
      for (size_t i = 0; i < nPackets; ++i) {
        if (!loop.DataPacket(nChunk)) return;
      }
      const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
      rates[k] = static_cast<double>(nPackets) * nChunk / 1e6 / seconds;
    });
  }
  while (nReady < kLoops) std::this_thread::yield();
  const auto start = Clock::now();
  bGo = true;
  for (std::thread& t : hosts) t.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const auto [slowest, fastest] = std::minmax_element(rates.begin(), rates.end());
  if (*slowest <= 0) return 1;
  std::printf(
      "{\"chunk\": %u, \"aggregate_mb_per_s\": %.3f, \"slowest_mb_per_s\": %.3f, "
      "\"fastest_mb_per_s\": %.3f}\n",
      nChunk, kLoops * megabytesEach / seconds, *slowest, *fastest);
  return 0;
}

// A phone on a pty whose slave is listed as a COM port, for the port layer.
struct SListedPhone {
  CPtyPair pair;
  std::string strDir;
  std::unique_ptr<CReferencePhone> pPhone;
  SListedPhone() {
    char dirTemplate[] = "/tmp/linkbench.XXXXXX";
    strDir = mkdtemp(dirTemplate);
    std::filesystem::create_symlink(ptsname(pair.Master()),
                                    strDir + "/Gadget Serial (COM" + std::to_string(kCom) + ")");
    setenv("PHONE_PORTS_DIR", strDir.c_str(), 1);
    pPhone = std::make_unique<CReferencePhone>(pair.Master());
  }
  ~SListedPhone() {
    std::error_code ec;
    std::filesystem::remove_all(strDir, ec);
  }
};

// The 10-byte round trip, and per acknowledged packet what the download
// tool's port and protocol layers take beyond the reference for the same
// exchange. Reference and link runs alternate in rounds, so that drift on a
// shared machine reaches both.
int AckMode() {
  SListedPhone phone;
  CReferenceLoop ref;
  std::vector<uint8_t> packet(pdl::kPacketBufferSize);
  const SLinkPolicy policy = DownloadLinkPolicy(120000, 0);
  CHstPort port(policy.port);
  CPdlLink link(port, policy, packet.data());
  if (!ref.Ok() || !port.uart_init(kCom, 921600, 0) || !port.uart_open()) return 1;
  constexpr uint32_t kDataChunk = 4096;
  std::vector<double> rtt0, refData, linkShort, linkData;
  auto timed = [](std::vector<double>& out, auto&& fnExchange) {
    for (int i = 0; i < 500; ++i) {
      const auto start = Clock::now();
      if (!fnExchange()) return false;
      out.push_back(Micros(Clock::now() - start));
    }
    return true;
  };
  uint32_t nPacket = 0;
  for (int round = 0; round < 10; ++round) {
    const bool bOk =
        timed(rtt0, [&] { return ref.Exchange(pdl::kShortFormSize, pdl::kAckSize); }) &&
        timed(linkShort,
              [&] { return link.SendConnectCmd() && link.WaitForAck(nullptr, kTimeout60s); }) &&
        timed(refData, [&] { return ref.DataPacket(kDataChunk); }) && timed(linkData, [&] {
          return link.SendMidDataCmd(packet.data(), kDataChunk, ++nPacket) &&
                 link.WaitForAck(nullptr, kTimeout60s);
        });
    if (!bOk) return 1;
  }
  const double rtt0Median = Percentile(rtt0, 0.5), refDataMedian = Percentile(refData, 0.5);
  auto added = [](std::vector<double> v, double base) {
    for (double& x : v) x -= base;
    return v;
  };
  const std::vector<double> addedShort = added(linkShort, rtt0Median);
  const std::vector<double> addedData = added(linkData, refDataMedian);
  std::printf(
      "{\"rtt0_median_us\": %.2f, \"rtt0_p99_us\": %.2f, \"ref_data4k_median_us\": %.2f, "
      "\"added_short_median_us\": %.2f, \"added_short_p99_us\": %.2f, "
      "\"added_data4k_median_us\": %.2f, \"added_data4k_p99_us\": %.2f}\n",
      rtt0Median, Percentile(rtt0, 0.99), refDataMedian, Percentile(addedShort, 0.5),
      Percentile(addedShort, 0.99), Percentile(addedData, 0.5), Percentile(addedData, 0.99));
  ref.StopPhone();
  // Stops the listed phone: a packet of data size 0.
  uint8_t quit[pdl::kHeaderSize] = {};
  pdl::BuildHeader(quit, 0);
  port.uart_write(quit, sizeof quit);
  port.uart_cleanup();
  return 0;
}

// Each line "SEND REPLY": a packet of SEND bytes answered with REPLY bytes.
// Prints the sum of the median reference round trip of every line.
int ReplayMode(const char* pszFile) {
  std::ifstream in(pszFile);
  std::vector<std::pair<uint32_t, uint32_t>> exchanges;
  for (uint32_t nSend = 0, nReply = 0; in >> nSend >> nReply;)
    exchanges.emplace_back(nSend, nReply);
  CReferenceLoop loop;
  if (!loop.Ok() || exchanges.empty()) return 1;
  constexpr int kRepeats = 15;
  double sumUs = 0;
  for (const auto& [nSend, nReply] : exchanges) {
    std::vector<double> us;
    for (int i = 0; i < kRepeats; ++i) {
      const auto start = Clock::now();
      if (!loop.Exchange(nSend, nReply)) return 1;
      us.push_back(Micros(Clock::now() - start));
    }
    sumUs += Percentile(us, 0.5);
  }
  std::printf("{\"packets\": %zu, \"sum_us\": %.1f}\n", exchanges.size(), sumUs);
  return 0;
}

int Summary() {
  if (AckMode() != 0) return 1;
  for (uint32_t nChunk : {4096u, 65536u, 131072u, 270336u}) {
    if (SawMode(nChunk, 64) != 0) return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string strMode = argc > 1 ? argv[1] : "";
  if (strMode.empty()) return Summary();
  if ((strMode == "saw" || strMode == "eight") && argc == 4) {
    const auto nChunk = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));
    const double megabytes = std::strtod(argv[3], nullptr);
    if (nChunk == 0 || nChunk > pdl::kPacketBufferSize - pdl::kPayloadOffset || megabytes <= 0) {
      return 2;
    }
    return strMode == "saw" ? SawMode(nChunk, megabytes) : EightMode(nChunk, megabytes);
  }
  if (strMode == "ack" && argc == 2) return AckMode();
  if (strMode == "replay" && argc == 3) return ReplayMode(argv[2]);
  std::fprintf(stderr, "usage: link_bench [saw|eight CHUNK MB | ack | replay FILE]\n");
  return 2;
}
