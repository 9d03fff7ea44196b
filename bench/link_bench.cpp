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
//   link_bench phone DIR N ATTR [paired]
//                                   N minimal phones linked in DIR, each serving one download;
//                                   paired: with the reference loop interleaved
//   link_bench host DEVICE CHUNK MB the reference host loop downloading MB to a phone on DEVICE,
//                                   interleaved with the reference loop
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
#include <optional>
#include <string>
#include <thread>
#include <utility>
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

// What a phone sees per data packet: from its answer written to the next
// packet's header (the host's turnaround), and from that header to the
// packet's last byte (the packet's way over the link).
struct SPacketTimes {
  std::vector<double> turnaroundUs, receiveUs;
  Clock::time_point answered, header;
  bool bAnswered = false;
  void Header() {
    header = Clock::now();
    if (bAnswered) turnaroundUs.push_back(Micros(header - answered));
    bAnswered = false;
  }
  void Received() { receiveUs.push_back(Micros(Clock::now() - header)); }
  void Answered() {
    answered = Clock::now();
    bAnswered = true;
  }
  std::string Json() const {
    char sz[128];
    std::snprintf(sz, sizeof sz, "\"turnaround_median_us\": %.1f, \"receive_median_us\": %.1f",
                  Percentile(turnaroundUs, 0.5), Percentile(receiveUs, 0.5));
    return sz;
  }
};

// Reads exactly n bytes, blocking in poll() at most nWaitMs for each piece.
bool ReadAll(int fd, uint8_t* p, size_t n, int nWaitMs = 5000) {
  while (n > 0) {
    const ssize_t got = read(fd, p, n);
    if (got > 0) {
      p += got;
      n -= static_cast<size_t>(got);
      continue;
    }
    if (got == 0 || errno != EAGAIN) return false;
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, nWaitMs) <= 0) return false;
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
    if (m_pTimesOut) *m_pTimesOut = std::move(m_times);
  }
  // Where the destructor leaves the thread's CPU time and packet times.
  double* m_pCpuSecondsOut = nullptr;
  SPacketTimes* m_pTimesOut = nullptr;
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
      m_times.Header();
      const uint32_t nRest = pdl::GetU32(buf.data() + 1);
      if (nRest == 0 || nRest > buf.size() || !ReadAll(m_fd, buf.data(), nRest)) break;
      m_times.Received();
      if (!WriteAll(m_fd, reply.data(), nReplyLen)) break;
      m_times.Answered();
    }
    m_cpuSeconds = ThreadCpuSeconds() - start;
  }

  int m_fd;
  double m_cpuSeconds = 0;
  SPacketTimes m_times;
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
  // From now on the host's close hangs the master up.
  void CloseSlave() {
    if (m_slave >= 0) close(m_slave);
    m_slave = -1;
  }
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
    m_pPhone->m_pTimesOut = &m_phoneTimes;
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
  // The phone's packet times, once it has been stopped.
  const SPacketTimes& PhoneTimes() const { return m_phoneTimes; }

 private:
  bool DrainReply(size_t n) {
    std::vector<uint8_t> rest(n);
    return ReadAll(m_pair.Slave(), rest.data(), n);
  }

  CPtyPair m_pair;
  std::vector<uint8_t> m_packet;
  uint8_t m_reply[pdl::kAckSize * 2] = {};
  double m_phoneCpuSeconds = 0;
  SPacketTimes m_phoneTimes;
  std::unique_ptr<CReferencePhone> m_pPhone;
};

// Interleaves the reference loop with a run it is compared with: whenever
// the run has moved about 2 MB in one stretch, as many packets of the same
// size go through the reference loop while the run waits for its next
// answer. On a shared machine whose load changes within seconds, both then
// see the same load; the ratio of the two rates is what counts.
class CInterleave {
 public:
  struct SSums {
    double runUs = 0, refUs = 0, refCpuSeconds = 0;
    uint64_t nRunBytes = 0, nRefBytes = 0;
  };
  // A stretch of the run starts now, unless one is going.
  void Begin() {
    if (m_bInStretch) return;
    m_bInStretch = true;
    m_start = Clock::now();
    m_nPackets = 0;
    m_nBytes = 0;
  }
  // A packet of nChunk bytes of the stretch is through; at the stretch's
  // end the reference runs. False when the reference loop failed.
  bool Packet(uint32_t nChunk) {
    if (!m_bInStretch) return true;
    ++m_nPackets;
    m_nBytes += nChunk;
    if (m_nBytes < kStretchBytes) return true;
    m_sums.runUs += Micros(Clock::now() - m_start);
    m_sums.nRunBytes += m_nBytes;
    m_bInStretch = false;
    if (!m_pRef) m_pRef = std::make_unique<CReferenceLoop>();
    const double cpuStart = ThreadCpuSeconds();
    const auto start = Clock::now();
    for (uint32_t i = 0; i < m_nPackets; ++i) {
      if (!m_pRef->Ok() || !m_pRef->DataPacket(nChunk)) return false;
    }
    m_sums.refUs += Micros(Clock::now() - start);
    m_sums.refCpuSeconds += ThreadCpuSeconds() - cpuStart;
    m_sums.nRefBytes += m_nBytes;
    return true;
  }
  // Ends the reference phone; returns the CPU time its thread used.
  double StopReference() { return m_pRef ? m_pRef->StopPhone() : 0; }
  // The sums so far, and a fresh start; a stretch cut short is dropped.
  SSums Take() {
    m_bInStretch = false;
    return std::exchange(m_sums, SSums{});
  }

 private:
  static constexpr uint64_t kStretchBytes = 2 << 20;
  std::unique_ptr<CReferenceLoop> m_pRef;
  bool m_bInStretch = false;
  Clock::time_point m_start;
  uint32_t m_nPackets = 0;
  uint64_t m_nBytes = 0;
  SSums m_sums;
};

struct SSawResult {
  double mbPerSecond = 0;
  double hostCpuPerMb = 0;
  double phoneCpuPerMb = 0;
  double packetMedianUs = 0;
  std::string strPhoneTimes;
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
  result.strPhoneTimes = loop.PhoneTimes().Json();
  result.mbPerSecond = mb / seconds;
  result.packetMedianUs = Percentile(packetUs, 0.5);
  return result;
}

int SawMode(uint32_t nChunk, double megabytes) {
  const SSawResult r = RunSaw(nChunk, megabytes);
  if (r.mbPerSecond <= 0) return 1;
  std::printf(
      "{\"chunk\": %u, \"mb_per_s\": %.3f, \"host_cpu_s_per_mb\": %.6f, "
      "\"phone_cpu_s_per_mb\": %.6f, \"packet_median_us\": %.2f, %s}\n",
      nChunk, r.mbPerSecond, r.hostCpuPerMb, r.phoneCpuPerMb, r.packetMedianUs,
      r.strPhoneTimes.c_str());
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

// Per image a phone received by name: its bytes, its largest chunk, when
// its start command was answered and when its end command arrived; with
// the reference interleaved, the paired stretches' sums.
struct SImageWindow {
  std::string strName;
  uint64_t nBytes = 0;
  uint32_t nChunk = 0;
  double startUs = 0;
  double endUs = 0;
  CInterleave::SSums paired;  // with the reference interleaved
  SPacketTimes times;         // of its data packets
};

// The least a phone can do to serve a whole download over a pty: it
// acknowledges every packet, answers READ_IMAGE_ATTR with the units it was
// given and leaves at POWER_OFF. It blocks in poll() like the reference
// phone and keeps no report beyond the image windows.
class CMinimalPhone {
 public:
  CMinimalPhone(const std::string& strDir, int nCom, const std::string& strAttr,
                Clock::time_point tZero, bool bInterleave)
      : m_bInterleave(bInterleave),
        m_strLink(strDir + "/Gadget Serial (COM" + std::to_string(nCom) + ")"),
        m_tZero(tZero),
        m_attrReply(pdl::kHeaderSize + strAttr.size() + 1, 0) {
    pdl::BuildHeader(m_attrReply.data(), static_cast<uint32_t>(strAttr.size() + 1));
    std::copy(strAttr.begin(), strAttr.end(), m_attrReply.begin() + pdl::kHeaderSize);
    if (!m_pair.Ok()) return;
    const std::string strTmp = strDir + "/.COM" + std::to_string(nCom) + ".new";
    unlink(strTmp.c_str());
    if (symlink(ptsname(m_pair.Master()), strTmp.c_str()) != 0 ||
        rename(strTmp.c_str(), m_strLink.c_str()) != 0) {
      return;
    }
    m_thread = std::thread([this] { Run(); });
  }
  ~CMinimalPhone() {
    Join();
    unlink(m_strLink.c_str());
  }
  void Join() {
    if (m_thread.joinable()) m_thread.join();
  }
  CMinimalPhone(const CMinimalPhone&) = delete;
  CMinimalPhone& operator=(const CMinimalPhone&) = delete;

  // After the thread ended: the phone was powered off, and its JSON record.
  bool PoweredOff() const { return m_bPoweredOff; }
  std::string Json() const {
    std::string strOut = "{\"cpu_s\": " + std::to_string(m_cpuSeconds) +
                         ", \"powered_off\": " + (m_bPoweredOff ? "true" : "false") +
                         ", \"left\": \"" + m_strEnd + "\"" + ", \"images\": [";
    for (size_t i = 0; i < m_images.size(); ++i) {
      const SImageWindow& w = m_images[i];
      char sz[512];
      std::snprintf(sz, sizeof sz,
                    "%s{\"name\": \"%s\", \"bytes\": %llu, \"chunk\": %u, \"start_us\": %.1f, "
                    "\"end_us\": %.1f, \"paired_bytes\": %llu, \"paired_us\": %.1f, "
                    "\"ref_bytes\": %llu, \"ref_us\": %.1f, \"ref_host_cpu_s\": %.6f, %s}",
                    i ? ", " : "", w.strName.c_str(), static_cast<unsigned long long>(w.nBytes),
                    w.nChunk, w.startUs, w.endUs,
                    static_cast<unsigned long long>(w.paired.nRunBytes), w.paired.runUs,
                    static_cast<unsigned long long>(w.paired.nRefBytes), w.paired.refUs,
                    w.paired.refCpuSeconds, w.times.Json().c_str());
      strOut += sz;
    }
    return strOut + "]}";
  }

 private:
  double Now() const { return Micros(Clock::now() - m_tZero); }

  void Run() {
    const int fd = m_pair.Master();
    std::vector<uint8_t> buf(pdl::kPacketBufferSize + pdl::kPayloadOffset);
    uint8_t ack[pdl::kAckSize];
    pdl::BuildHeader(ack, 4);
    pdl::PutU32(ack + pdl::kHeaderSize, pdl::RSP_ACK);
    const double cpuStart = ThreadCpuSeconds();
    std::optional<SImageWindow> open;
    // The tool may take a while to start; once it talks, a minute of silence ends the phone.
    int nWaitMs = 120000;
    for (;;) {
      m_strEnd = "no packet";
      if (!ReadAll(fd, buf.data(), pdl::kHeaderSize, nWaitMs)) {
        m_strEnd = errno == EIO ? "host closed" : "no packet";
        break;
      }
      if (nWaitMs > 60000) m_pair.CloseSlave();  // the host has the port open now
      nWaitMs = 60000;
      if (open) m_times.Header();
      const uint32_t nData = pdl::GetU32(buf.data() + 1);
      m_strEnd = "bad packet";
      if (buf[0] != pdl::kHeaderByte || nData < 4 || nData > buf.size() - pdl::kHeaderSize ||
          !ReadAll(fd, buf.data() + pdl::kHeaderSize, nData, nWaitMs)) {
        break;
      }
      m_strEnd = "answer not written";
      const uint32_t nCmd = pdl::GetU32(buf.data() + pdl::kHeaderSize);
      if (nCmd == pdl::CMD_POWER_OFF) {
        m_strEnd = "powered off";
        m_bPoweredOff = true;
        break;
      }
      const bool bData = nCmd == pdl::CMD_MID_DATA && open;
      if (bData) m_times.Received();
      if (nCmd == pdl::CMD_END_DATA && open) {
        open->endUs = Now();
        open->paired = m_interleave.Take();
        open->times = std::exchange(m_times, SPacketTimes{});
        m_images.push_back(std::move(*open));
        open.reset();
      } else if (bData) {
        const uint32_t nChunk = nData - 12;
        open->nBytes += nChunk;
        open->nChunk = std::max(open->nChunk, nChunk);
        // The stretch ends with this packet's arrival, before its answer.
        if (m_bInterleave && !m_interleave.Packet(nChunk)) {
          m_strEnd = "reference loop failed";
          break;
        }
      }
      const bool bAttr = nCmd == pdl::CMD_READ_IMAGE_ATTR;
      if (!WriteAll(fd, bAttr ? m_attrReply.data() : ack,
                    bAttr ? m_attrReply.size() : sizeof ack)) {
        break;
      }
      if (bData) m_times.Answered();
      if (bData && m_bInterleave) m_interleave.Begin();
      if (nCmd == pdl::CMD_START_DATA && pdl::GetU32(buf.data() + 10) == pdl::kNameMarker &&
          nData > 13) {
        m_interleave.Take();
        open = SImageWindow{};
        open->strName.assign(
            reinterpret_cast<const char*>(buf.data()) + pdl::kPayloadOffset,
            strnlen(reinterpret_cast<const char*>(buf.data()) + pdl::kPayloadOffset, nData - 12));
        open->startUs = Now();
      }
    }
    m_cpuSeconds = ThreadCpuSeconds() - cpuStart;
    // Gone from the port list as a powered-off phone is.
    unlink(m_strLink.c_str());
  }

  const bool m_bInterleave;  // the reference loop's stretches between the tool's
  CInterleave m_interleave;
  SPacketTimes m_times;  // of the open image
  CPtyPair m_pair;
  std::string m_strLink;
  Clock::time_point m_tZero;
  std::vector<uint8_t> m_attrReply;
  std::vector<SImageWindow> m_images;
  bool m_bPoweredOff = false;
  std::string m_strEnd;  // why the phone left
  double m_cpuSeconds = 0;
  std::thread m_thread;
};

// nPhones minimal phones as COM1.. in strDir; prints their windows when every
// one has left.
int PhoneMode(const std::string& strDir, int nPhones, const std::string& strAttr,
              bool bInterleave) {
  std::filesystem::create_directories(strDir);
  const auto tZero = Clock::now();
  std::vector<std::unique_ptr<CMinimalPhone>> phones;
  for (int k = 1; k <= nPhones; ++k) {
    phones.push_back(std::make_unique<CMinimalPhone>(strDir, k, strAttr, tZero, bInterleave));
  }
  bool bAll = true;
  std::string strOut = "{\"phones\": [";
  for (size_t i = 0; i < phones.size(); ++i) {
    phones[i]->Join();
    bAll = bAll && phones[i]->PoweredOff();
    strOut += (i ? ", " : "") + phones[i]->Json();
  }
  std::printf("%s]}\n", strOut.c_str());
  return bAll ? 0 : 1;
}

// The reference host loop driving a whole download of one image of about
// nMegabytes to a phone on strDevice (the simulator's, say): connect, start
// by name, nChunk-byte data packets, end, power off. Each packet goes out
// whole and its answer is read whole, as in the reference loop.
int HostMode(const std::string& strDevice, uint32_t nChunk, double megabytes) {
  const int fd = open(strDevice.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 || !MakeRaw(fd)) return 1;
  std::vector<uint8_t> packet(pdl::kPacketBufferSize + pdl::kPayloadOffset);
  uint8_t reply[pdl::kAckSize];
  const auto acked = [&](size_t nSend) {
    return WriteAll(fd, packet.data(), nSend) && ReadAll(fd, reply, sizeof reply) &&
           reply[0] == pdl::kHeaderByte && reply[5] == pdl::kFlowIdPc &&
           pdl::GetU32(reply + pdl::kHeaderSize) == pdl::RSP_ACK;
  };
  const auto nPackets = static_cast<uint32_t>(std::max(50.0, megabytes * 1e6 / nChunk));
  const uint32_t nImage = nPackets * nChunk;
  static constexpr char kName[] = "system";
  bool bOk = acked(pdl::BuildShortForm(packet.data(), pdl::CMD_CONNECT));
  pdl::BuildLongForm(packet.data(), pdl::CMD_START_DATA, pdl::kNameMarker, nImage, sizeof kName);
  std::copy(kName, kName + sizeof kName, packet.begin() + pdl::kPayloadOffset);
  bOk = bOk && acked(pdl::kPayloadOffset + sizeof kName);
  // Payload byte j is j * 7 + 3 (mod 256) in every packet.
  for (size_t j = 0; j + pdl::kPayloadOffset < packet.size(); ++j) {
    packet[pdl::kPayloadOffset + j] = static_cast<uint8_t>(j * 7 + 3);
  }
  // Every payload holds the same bytes, so the phone's digest can be checked.
  // Stretches of about 2 MB alternate with the reference loop's.
  CInterleave interleave;
  const double cpuStart = ThreadCpuSeconds();
  for (uint32_t i = 0; bOk && i < nPackets; ++i) {
    interleave.Begin();
    pdl::BuildLongForm(packet.data(), pdl::CMD_MID_DATA, i + 2, nChunk, nChunk);
    bOk = acked(pdl::kPayloadOffset + nChunk) && interleave.Packet(nChunk);
  }
  const double cpu = ThreadCpuSeconds() - cpuStart;
  bOk = bOk && acked(pdl::BuildShortForm(packet.data(), pdl::CMD_END_DATA));
  pdl::BuildShortForm(packet.data(), pdl::CMD_POWER_OFF);
  bOk = bOk && WriteAll(fd, packet.data(), pdl::kShortFormSize);
  close(fd);
  const double refPhoneCpu = interleave.StopReference();
  const CInterleave::SSums sums = interleave.Take();
  if (!bOk || sums.nRunBytes == 0 || sums.nRefBytes == 0) return 1;
  const double mb = static_cast<double>(nImage) / 1e6;
  const double refMb = static_cast<double>(sums.nRefBytes) / 1e6;
  std::printf(
      "{\"chunk\": %u, \"packets\": %u, \"mb_per_s\": %.3f, \"ref_mb_per_s\": %.3f, "
      "\"host_cpu_s_per_mb\": %.6f, \"ref_host_cpu_s_per_mb\": %.6f, "
      "\"ref_phone_cpu_s_per_mb\": %.6f}\n",
      nChunk, nPackets, static_cast<double>(sums.nRunBytes) / sums.runUs,
      refMb / (sums.refUs * 1e-6), (cpu - sums.refCpuSeconds) / mb, sums.refCpuSeconds / refMb,
      refPhoneCpu / refMb);
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
  if (strMode == "phone" && (argc == 5 || (argc == 6 && std::string(argv[5]) == "paired"))) {
    const int nPhones = std::atoi(argv[3]);
    if (nPhones < 1 || nPhones > 64) return 2;
    return PhoneMode(argv[2], nPhones, argv[4], argc == 6);
  }
  if (strMode == "host" && argc == 5) {
    const auto nChunk = static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10));
    const double megabytes = std::strtod(argv[4], nullptr);
    if (nChunk == 0 || nChunk > pdl::kPacketBufferSize - pdl::kPayloadOffset || megabytes <= 0 ||
        megabytes > 2000) {
      return 2;
    }
    return HostMode(argv[2], nChunk, megabytes);
  }
  std::fprintf(stderr,
               "usage: link_bench [saw|eight CHUNK MB | ack | replay FILE | phone DIR N ATTR | "
               "host DEVICE CHUNK MB]\n");
  return 2;
}
