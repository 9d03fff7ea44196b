// Measures the host side of the link over a pseudo-terminal: the round trip
// of a 10-byte command and its acknowledgement, and the throughput of data
// packets that are each acknowledged before the next one goes out. The phone
// is a minimal thread that blocks in poll(), so the figures show what the
// port and protocol layers add.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <vector>

#include "pdl/pdl_link.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kCom = 90;

// Reads exactly n bytes from the master, blocking in poll().
bool ReadAll(int fd, uint8_t* p, size_t n) {
  while (n > 0) {
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, 2000) <= 0) return false;
    const ssize_t got = read(fd, p, n);
    if (got <= 0) return false;
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

// Answers every packet with an ACK until the host stops sending.
void PhoneLoop(int master, std::atomic<bool>* pbStop) {
  std::vector<uint8_t> buf(pdl::kPacketBufferSize);
  uint8_t ack[10];
  pdl::BuildShortForm(ack, pdl::RSP_ACK);
  while (!*pbStop) {
    if (!ReadAll(master, buf.data(), pdl::kHeaderSize)) continue;
    const uint32_t nRest = pdl::GetU32(buf.data() + 1);
    if (nRest > buf.size() || !ReadAll(master, buf.data(), nRest)) return;
    if (write(master, ack, sizeof ack) != sizeof ack) return;
  }
}

// Writes all n bytes, blocking in poll() while the terminal is full.
bool WriteAll(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    const ssize_t put = write(fd, p, n);
    if (put < 0 && errno != EAGAIN) return false;
    if (put > 0) {
      p += put;
      n -= static_cast<size_t>(put);
      continue;
    }
    pollfd pfd{fd, POLLOUT, 0};
    poll(&pfd, 1, 2000);
  }
  return true;
}

int OpenRawMaster() {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  grantpt(master);
  unlockpt(master);
  termios tio{};
  tcgetattr(master, &tio);
  cfmakeraw(&tio);
  tcsetattr(master, TCSANOW, &tio);
  return master;
}

// The same exchanges without the port and protocol layers: the reference.
struct SReference {
  int master = OpenRawMaster();
  int slave = -1;
  std::atomic<bool> bStop{false};
  std::thread phone;
  SReference() {
    slave = open(ptsname(master), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios tio{};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    phone = std::thread(PhoneLoop, master, &bStop);
  }
  ~SReference() {
    bStop = true;
    Exchange(std::vector<uint8_t>(pdl::kPacketBufferSize).data(), 10);
    phone.join();
    close(slave);
    close(master);
  }
  bool Exchange(uint8_t* packet, size_t n) {
    uint8_t ack[10];
    return WriteAll(slave, packet, n) && ReadAll(slave, ack, sizeof ack);
  }
};

}  // namespace

int main() {
  const int master = OpenRawMaster();
  char dirTemplate[] = "/tmp/linkbench.XXXXXX";
  const std::string dir = mkdtemp(dirTemplate);
  std::filesystem::create_symlink(ptsname(master), dir + "/Gadget Serial (COM90)");
  setenv("PHONE_PORTS_DIR", dir.c_str(), 1);

  std::atomic<bool> bStop{false};
  std::thread phone(PhoneLoop, master, &bStop);
  std::vector<uint8_t> packet(pdl::kPacketBufferSize);
  g_iTimeout = 120000;
  {
    CPdlLink link(EToolFlavor::Download, packet.data());
    if (!link.uart_init(kCom, 921600, 0) || !link.uart_open()) return 1;

    SReference ref;
    auto timeRoundTrips = [&](auto&& fnExchange) {
      std::vector<double> rtt;
      for (int i = 0; i < 5000; ++i) {
        const auto start = Clock::now();
        if (!fnExchange()) return std::vector<double>{};
        rtt.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
      }
      std::sort(rtt.begin(), rtt.end());
      return rtt;
    };
    uint8_t command[10];
    pdl::BuildShortForm(command, pdl::CMD_CONNECT);
    const auto refRtt = timeRoundTrips([&] { return ref.Exchange(command, 10); });
    const auto rtt = timeRoundTrips(
        [&] { return link.SendConnectCmd() && link.WaitForAck(nullptr, kTimeout60s); });
    if (rtt.empty() || refRtt.empty()) return 1;
    std::printf("10-byte command + ack     link: median %6.1f us  p99 %6.1f us | reference: median %6.1f us\n",
                rtt[rtt.size() / 2], rtt[rtt.size() * 99 / 100], refRtt[refRtt.size() / 2]);

    for (uint32_t nChunk : {4096u, 65536u, 131072u, 262144u}) {
      const int nPackets = static_cast<int>((128u << 20) / nChunk / 4);
      auto rate = [&](auto&& fnPacket) {
        const auto start = Clock::now();
        for (int i = 0; i < nPackets; ++i) {
          if (!fnPacket(i)) return 0.0;
        }
        const double s = std::chrono::duration<double>(Clock::now() - start).count();
        return nPackets * double(nChunk) / s / 1e6;
      };
      const double refRate = rate([&](int i) {
        pdl::BuildLongForm(packet.data(), pdl::CMD_MID_DATA, static_cast<uint32_t>(i + 2), nChunk,
                           nChunk);
        return ref.Exchange(packet.data(), nChunk + 18);
      });
      const double linkRate = rate([&](int i) {
        return link.SendMidDataCmd(packet.data(), nChunk, static_cast<uint32_t>(i + 1)) &&
               link.WaitForAck(nullptr, kTimeout60s);
      });
      std::printf("%6u-byte data packets   link: %6.1f MB/s | reference: %6.1f MB/s (ratio %.2f)\n",
                  nChunk, linkRate, refRate, refRate > 0 ? linkRate / refRate : 0.0);
    }
    bStop = true;
    link.SendConnectCmd();  // lets the phone loop see the stop
  }
  phone.join();
  close(master);
  std::filesystem::remove_all(dir);
  return 0;
}
