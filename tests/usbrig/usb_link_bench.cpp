// Data throughput over the rig's real USB link: 128 KiB data packets sent by
// the protocol link (CPdlLink over CHstPort on the PC's tty), each
// acknowledged before the next goes out, against a bare stop-and-wait loop
// over the same link in the same run (18-byte header and the chunk out, a
// 10-byte reply back, both ends blocking in poll()). The phone's end is the
// same minimal loop for both. Prints MB/s; exits 1 when bytes went missing.
//   usb_link_bench [MiB per round, default 8]

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "common/op_log.h"
#include "pdl/packet.h"
#include "port_link.h"
#include "pty_phone.h"
#include "usb_link.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kChunk = 128 * 1024;
constexpr int kRounds = 5;

bool ReadAll(int fd, uint8_t* p, size_t n) {
  while (n > 0) {
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, 10000) <= 0) return false;
    const ssize_t got = read(fd, p, n);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (got <= 0) return false;
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

bool WriteAll(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    const ssize_t put = write(fd, p, n);
    if (put < 0 && errno != EAGAIN && errno != EINTR) return false;
    if (put > 0) {
      p += put;
      n -= static_cast<size_t>(put);
      continue;
    }
    pollfd pfd{fd, POLLOUT, 0};
    if (poll(&pfd, 1, 10000) <= 0) return false;
  }
  return true;
}

// The phone: acknowledges every packet until told to stop; counts the
// payload bytes it took in.
class CAckingPhone {
 public:
  explicit CAckingPhone(int fd) : m_fd(fd), m_thread([this] { Loop(); }) {}
  ~CAckingPhone() {
    m_bStop = true;
    m_thread.join();
  }
  uint64_t PayloadBytes() const { return m_nPayload; }

 private:
  void Loop() {
    std::vector<uint8_t> buf(pdl::kPacketBufferSize);
    uint8_t ack[pdl::kAckSize];
    pdl::BuildShortForm(ack, pdl::RSP_ACK);
    while (!m_bStop) {
      pollfd pfd{m_fd, POLLIN, 0};
      if (poll(&pfd, 1, 100) <= 0) continue;
      if (!ReadAll(m_fd, buf.data(), pdl::kHeaderSize)) return;
      const uint32_t nRest = pdl::GetU32(buf.data() + 1);
      if (nRest > buf.size() || !ReadAll(m_fd, buf.data(), nRest)) return;
      if (nRest > pdl::kLongFormSize - pdl::kHeaderSize)
        m_nPayload += nRest - (pdl::kLongFormSize - pdl::kHeaderSize);
      if (!WriteAll(m_fd, ack, sizeof ack)) return;
    }
  }
  const int m_fd;
  std::atomic<bool> m_bStop{false};
  std::atomic<uint64_t> m_nPayload{0};
  std::thread m_thread;
};

int OpenRaw(const std::string& strPath) {
  const int fd = open(strPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  termios tio{};
  if (fd >= 0 && tcgetattr(fd, &tio) == 0) {
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
  }
  return fd;
}

// MB/s of nPackets stop-and-wait exchanges; 0 when one failed.
template <typename F>
double Rate(int nPackets, F&& fnPacket) {
  const auto start = Clock::now();
  for (int i = 0; i < nPackets; ++i) {
    if (!fnPacket(i)) return 0.0;
  }
  const double s = std::chrono::duration<double>(Clock::now() - start).count();
  return nPackets * double(kChunk) / s / 1e6;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (!usbrig::InRig()) {
    std::fprintf(stderr, "usb_link_bench: runs inside the USB rig: scripts/usb-rig %s\n", argv[0]);
    return 77;
  }
  const int nMiB = argc > 1 ? std::atoi(argv[1]) : 8;
  const int nPackets = nMiB * 1024 * 1024 / static_cast<int>(kChunk);
  CTempDir base;
  unsetenv("PHONE_PORTS_DIR");
  setenv("PHONE_COM_MAP", base.File("com-ports.ini").c_str(), 1);
  InitLogFolders(base.Path());
  const std::optional<SSerInfo> port = usbrig::WaitForGadgetPort(true);
  if (!port) {
    std::fprintf(stderr, "usb_link_bench: no Gadget Serial port\n");
    return 1;
  }
  const int gadget = OpenRaw(usbrig::kGadgetDevice);
  if (gadget < 0) return 1;
  std::vector<uint8_t> packet(pdl::kPacketBufferSize);
  for (size_t i = 0; i < packet.size(); ++i) packet[i] = static_cast<uint8_t>(i * 13);

  std::vector<double> refRates, linkRates;
  uint64_t nExpected = 0, nTaken = 0;
  // Rounds alternate, so that neither side gets all the quieter moments of a
  // shared machine; the median round of each counts.
  for (int nRound = 0; nRound < kRounds; ++nRound) {
    {
      const int pc = OpenRaw(port->m_strOpenName);
      if (pc < 0) return 1;
      CAckingPhone phone(gadget);
      refRates.push_back(Rate(nPackets, [&](int i) {
        pdl::BuildLongForm(packet.data(), pdl::CMD_MID_DATA, static_cast<uint32_t>(i + 2), kChunk,
                           kChunk);
        uint8_t ack[pdl::kAckSize];
        return WriteAll(pc, packet.data(), pdl::kLongFormSize + kChunk) &&
               ReadAll(pc, ack, sizeof ack);
      }));
      close(pc);
      nExpected += uint64_t(nPackets) * kChunk;
      nTaken += phone.PayloadBytes();
    }
    {
      SPortLink host(DownloadLinkPolicy(120000, 0), packet.data());
      CPdlLink& link = host.link;
      if (!host.Open(GadgetComNumber(port->m_strFriendly))) return 1;
      CAckingPhone phone(gadget);
      linkRates.push_back(Rate(nPackets, [&](int i) {
        return link.SendMidDataCmd(packet.data(), kChunk, static_cast<uint32_t>(i + 1)) &&
               link.WaitForAck(nullptr, kTimeout60s);
      }));
      host.port.uart_cleanup();
      nExpected += uint64_t(nPackets) * kChunk;
      nTaken += phone.PayloadBytes();
    }
  }
  const double refRate = Median(refRates), linkRate = Median(linkRates);
  auto list = [](const std::vector<double>& rates) {
    std::string str;
    for (double r : rates) str += (str.empty() ? "" : " ") + std::to_string(r).substr(0, 4);
    return str;
  };
  std::printf("rounds (MB/s): link %s | reference %s\n", list(linkRates).c_str(),
              list(refRates).c_str());
  close(gadget);
  std::printf(
      "USB link, %u-byte data packets, %d MiB per round: link %.2f MB/s | reference %.2f MB/s "
      "(ratio %.2f)\n",
      kChunk, nMiB, linkRate, refRate, refRate > 0 ? linkRate / refRate : 0.0);
  if (nTaken != nExpected || *std::min_element(linkRates.begin(), linkRates.end()) == 0 ||
      *std::min_element(refRates.begin(), refRates.end()) == 0) {
    std::fprintf(stderr, "usb_link_bench: the phone took %llu of %llu payload bytes\n",
                 static_cast<unsigned long long>(nTaken),
                 static_cast<unsigned long long>(nExpected));
    return 1;
  }
  return 0;
}
