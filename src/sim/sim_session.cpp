#include "sim/sim_session.h"

#include <poll.h>
#include <sys/inotify.h>
#include <sys/prctl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <optional>
#include <sstream>

#include "pdl/packet.h"
#include "common/digest.h"

namespace sim {
namespace {

using TClock = std::chrono::steady_clock;
using TTime = TClock::time_point;
using std::chrono::microseconds;
using std::chrono::milliseconds;

// Largest packet taken: a full host packet buffer of payload.
constexpr uint32_t kMaxDataSize = 12 + pdl::kPacketBufferSize;
constexpr int kNoReply = -1;

enum class EStage { Boot, Loader1, Loader, Factory };

const char* StageName(EStage e) {
  switch (e) {
    case EStage::Boot:
      return "boot";
    case EStage::Loader1:
      return "loader1";
    case EStage::Loader:
      return "loader";
    case EStage::Factory:
      return "factory";
  }
  return "";
}

bool IsShortCmd(uint32_t c) {
  return c == pdl::CMD_CONNECT || c == pdl::CMD_END_DATA || c == pdl::CMD_EXEC_DATA ||
         c == pdl::CMD_FORMAT_FLASH || c == pdl::CMD_SET_FACTMODE || c == pdl::CMD_POWER_OFF;
}

bool IsLongCmd(uint32_t c) {
  return c == pdl::CMD_START_DATA || c == pdl::CMD_MID_DATA || c == pdl::CMD_READ_PARTITION ||
         c == pdl::CMD_READ_IMAGE_ATTR || c == pdl::CMD_DEBUG || c == pdl::CMD_PARTITION_TABLE;
}

std::string HexAddr(uint32_t n) {
  std::ostringstream out;
  out << "0x" << std::hex << n;
  return out.str();
}

timespec ToTimespec(TClock::duration d) {
  const auto us = std::max<int64_t>(0, std::chrono::duration_cast<microseconds>(d).count());
  return {static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
}

// Growing the receive buffer before each read leaves the new bytes as they
// are: the read overwrites them, and zeroing 64 KiB per read would cost the
// phone more than the read itself.
template <typename T>
struct SUninitialisedAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = SUninitialisedAllocator<U>;
  };
  using std::allocator<T>::allocator;
  template <typename U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

struct SPacket {
  uint32_t nDataSize = 0;
  uint8_t nFlow = 0;
  uint32_t nCmd = 0, nAddr = 0, nSize = 0;
  const uint8_t* pPayload = nullptr;
  size_t nPayload = 0;
};

// The zero-terminated name a by-name packet carries as its whole payload.
bool NameOf(const SPacket& k, std::string& strName) {
  if (k.nPayload < 2 || k.pPayload[k.nPayload - 1] != 0) return false;
  strName.assign(reinterpret_cast<const char*>(k.pPayload), k.nPayload - 1);
  return strName.find('\0') == std::string::npos;
}

struct SReply {
  int nCode = pdl::RSP_ACK;  // kNoReply: say nothing
  bool bData = false;
  std::vector<uint8_t> data;
  microseconds work{0};  // flash or format time before answering
};

SReply Code(int nCode) {
  return SReply{nCode, false, {}, {}};
}

class CSession {
 public:
  CSession(const SPhoneConfig& cfg, CPhonePort& port, int fdStop, SPhoneReport& rep,
           const std::function<void(const std::string&)>& onFault)
      : m_cfg(cfg),
        m_port(port),
        m_fdStop(fdStop),
        m_rep(rep),
        m_onFault(onFault),
        m_factory(cfg.factoryData),
        m_faultHits(cfg.faults.size(), 0),
        m_unplugFired(cfg.faults.size(), false) {
    if (m_factory.empty()) m_factory = DefaultFactoryData();
  }
  void Run();

 private:
  void WaitInput();
  // The received bytes start with a whole packet (or a header no packet can have).
  bool HoldsWholePacket() const {
    return m_rx.size() >= pdl::kHeaderSize && m_rx[0] == pdl::kHeaderByte &&
           m_rx.size() >= pdl::kHeaderSize + pdl::GetU32(&m_rx[1]);
  }
  bool WaitUntil(TTime t);
  bool WriteAll(const std::vector<uint8_t>& buf);
  // Sends what of a trickling answer is due by now.
  void Drip();
  void ReadWatch();
  void Leave(EOutcome e, std::string strDetail = {});
  void Handle(const uint8_t* p, size_t nLen);
  void FramingError(const std::string& strWhy);
  SReply Execute(const SPacket& k);
  bool Legal(uint32_t c) const;
  SReply StartImage(const SPacket& k);
  SReply ImageData(const SPacket& k);
  SReply EndImage();
  SReply ExecImage();
  void FinishOpenImage();
  // Adds the payload of the packet just handled to the open image's digest.
  void DigestReceived();
  int64_t SincePlugUs(TTime t) const {
    return std::chrono::duration_cast<microseconds>(t - m_tStart).count();
  }
  void Fired(const std::string& strFault) {
    m_rep.faultsFired.push_back(strFault);
    if (m_onFault) m_onFault(strFault);
  }
  std::vector<const SFault*> MatchFaults(const SPacket& k);
  void Answer(SReply reply, const std::vector<const SFault*>& faults, SCommandRecord& rec,
              uint32_t nCmd);

  const SPhoneConfig& m_cfg;
  CPhonePort& m_port;
  const int m_fdStop;
  SPhoneReport& m_rep;
  const std::function<void(const std::string&)>& m_onFault;
  std::vector<uint8_t, SUninitialisedAllocator<uint8_t>>
      m_rx;  // received, not yet handled; starts at 0xAE when not empty
  EStage m_eStage = EStage::Boot;
  bool m_bConnected = false;
  int m_nOpenImage = -1;                // report index of the image being received
  int m_nLastEnded = -1;                // report index of the image EXEC would run
  CSha256 m_sha;                        // of the open image
  std::span<const uint8_t> m_toDigest;  // payload of the packet being answered, for m_sha
  std::vector<uint8_t> m_imageData;     // the open image's bytes, kept in the factory stage only
  std::vector<uint8_t> m_factory;
  std::vector<std::string> m_partitions;
  bool m_bTable = false;
  std::vector<int> m_faultHits;     // matching packets seen, per fault
  std::vector<bool> m_unplugFired;  // per fault
  const TTime m_tStart = TClock::now();
  // Pacing: when the bytes received so far would have crossed the link. The
  // phone reads them as they come and answers no earlier than this, so that
  // a paced link costs one timed wait per packet, not one per read.
  TTime m_tRxCrossed = m_tStart;
  TTime m_tWriteOk = m_tStart;  // pacing: the previous answer's transfer ends here
  TTime m_tLastRx = m_tStart;
  int m_nHostOpenNow = 0;
  // When the operator pulls the phone, if ever.
  std::optional<TTime> PulledAt() const {
    if (m_cfg.nPulledAfterMs == 0) return std::nullopt;
    return m_tStart + milliseconds(m_cfg.nPulledAfterMs);
  }

  std::optional<TTime> m_tPowerOff;    // set after POWER_OFF while the phone still shows
  std::optional<TTime> m_tHostClosed;  // set while the host has the port closed after using it
  bool m_bLeft = false;
  uint32_t m_nGarbageSeed = 0x2545F491;
  // An answer that trickles out (fault drip=) while the phone goes on
  // reading: its bytes as built, then zeros up to the size its header claims.
  struct SDrip {
    std::vector<uint8_t> head;
    uint64_t nTotal = 0;
    uint64_t nSent = 0;
    int nBytesPerSec = 1;
    TTime tStart, tNext;
  };
  std::optional<SDrip> m_drip;
};

void CSession::Run() {
  m_rep.strDevice = m_port.Device();
  // A paced or delayed answer is due at a set time; the default timer slack
  // of 50 us would make every one late by up to that much.
  if (m_cfg.nRateBytesPerSec || m_cfg.nAckLatencyUs) prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
  while (!m_bLeft) {
    if (PulledAt() && TClock::now() >= *PulledAt()) {
      Leave(EOutcome::Unplugged, "pulled after " + std::to_string(m_cfg.nPulledAfterMs) + " ms");
      break;
    }
    if (m_tPowerOff) {
      // Powering off: the port is still there, but nothing answers.
      m_rx.clear();
      if (TClock::now() >= *m_tPowerOff) {
        Leave(EOutcome::PoweredOff);
        break;
      }
    }
    const auto it = std::find(m_rx.begin(), m_rx.end(), pdl::kHeaderByte);
    m_rep.nStrayBytes += it - m_rx.begin();
    m_rx.erase(m_rx.begin(), it);
    if (m_rx.size() >= pdl::kHeaderSize) {
      const uint32_t nDataSize = pdl::GetU32(&m_rx[1]);
      if (nDataSize < 4 || nDataSize > kMaxDataSize) {
        FramingError("data_size " + std::to_string(nDataSize));
        continue;
      }
      const size_t nLen = pdl::kHeaderSize + nDataSize;
      if (m_rx.size() >= nLen) {
        Handle(m_rx.data(), nLen);
        m_rx.erase(m_rx.begin(), m_rx.begin() + std::min(nLen, m_rx.size()));
        continue;
      }
    }
    WaitInput();
  }
  FinishOpenImage();
  m_rep.strStage = StageName(m_eStage);
  m_rep.nDurationMs = std::chrono::duration_cast<milliseconds>(TClock::now() - m_tStart).count();
  const bool bAllEnded = std::all_of(m_rep.images.begin(), m_rep.images.end(),
                                     [](const SImageRecord& m) { return m.bEnded; });
  m_rep.bPassed =
      (m_rep.eOutcome == EOutcome::PoweredOff || m_rep.eOutcome == EOutcome::HostClosed) &&
      m_rep.nErrorReplies == 0 && m_rep.faultsFired.empty() && bAllEnded;
}

void CSession::Leave(EOutcome e, std::string strDetail) {
  if (m_bLeft) return;
  m_bLeft = true;
  if (e == EOutcome::Stopped && m_tHostClosed) e = EOutcome::HostClosed;
  m_rep.eOutcome = e;
  m_rep.strDetail = std::move(strDetail);
}

// One wait for host bytes, a host open/close, a timer or stop; then acts on it.
void CSession::WaitInput() {
  const TTime tNow = TClock::now();
  std::optional<TTime> tWake;
  const auto Earliest = [&](TTime t) { tWake = tWake ? std::min(*tWake, t) : t; };
  if (!m_rx.empty()) Earliest(m_tLastRx + milliseconds(m_cfg.nGapMs));
  if (m_tPowerOff) Earliest(*m_tPowerOff);
  if (PulledAt()) Earliest(*PulledAt());
  if (m_tHostClosed && m_cfg.nUnplugOnCloseMs >= 0) {
    Earliest(*m_tHostClosed + milliseconds(m_cfg.nUnplugOnCloseMs));
  }
  if (m_drip) Earliest(m_drip->tNext);
  pollfd fds[3] = {{m_fdStop, POLLIN, 0}, {m_port.Fd(), POLLIN, 0}, {m_port.WatchFd(), POLLIN, 0}};
  timespec ts{};
  if (tWake) ts = ToTimespec(*tWake - tNow);
  if (ppoll(fds, 3, tWake ? &ts : nullptr, nullptr) < 0 && errno != EINTR) {
    return Leave(EOutcome::Error, "poll failed");
  }
  if (fds[0].revents) return Leave(EOutcome::Stopped);
  if (fds[2].revents) ReadWatch();
  bool bGotBytes = false;
  if (fds[1].revents & POLLIN) {
    // A terminal hands over at most a few KiB per read while the host is
    // still writing the rest of a large packet: read again at once until
    // the packet is whole or nothing is left, and poll only then. A poll
    // before every read doubled the phone's system calls.
    // With pacing, take about 20 ms worth at a time.
    size_t nMax = 65536;
    if (m_cfg.nRateBytesPerSec) nMax = std::clamp<size_t>(m_cfg.nRateBytesPerSec / 50, 1, nMax);
    // Bounded, so that a host that never stops sending still lets the stop through.
    for (size_t nTaken = 0; nTaken < 2 * kMaxDataSize;) {
      const size_t nOld = m_rx.size();
      m_rx.resize(nOld + nMax);
      const ssize_t n = read(m_port.Fd(), m_rx.data() + nOld, nMax);
      m_rx.resize(nOld + std::max<ssize_t>(n, 0));
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        return Leave(EOutcome::HostClosed, "device went away");
      }
      if (n < 0) break;
      bGotBytes = true;
      nTaken += static_cast<size_t>(n);
      m_tLastRx = TClock::now();
      if (m_cfg.nRateBytesPerSec) {
        m_tRxCrossed = std::max(m_tRxCrossed, m_tLastRx) +
                       microseconds(n * 1000000 / static_cast<int64_t>(m_cfg.nRateBytesPerSec));
      }
      if (HoldsWholePacket()) break;
    }
  } else if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) {
    return Leave(EOutcome::HostClosed, "device hung up");
  }
  const TTime tAfter = TClock::now();
  if (m_drip && tAfter >= m_drip->tNext) Drip();
  if (!bGotBytes && !m_rx.empty() && tAfter >= m_tLastRx + milliseconds(m_cfg.nGapMs)) {
    // Fewer bytes came than data_size announced.
    FramingError("packet cut short: " + std::to_string(m_rx.size()) + " bytes");
  }
  if (m_tHostClosed && m_cfg.nUnplugOnCloseMs >= 0 &&
      tAfter >= *m_tHostClosed + milliseconds(m_cfg.nUnplugOnCloseMs)) {
    Leave(EOutcome::HostClosed, "host closed the port");
  }
}

void CSession::ReadWatch() {
  alignas(inotify_event) char buf[4096];
  ssize_t n;
  while ((n = read(m_port.WatchFd(), buf, sizeof buf)) > 0) {
    for (ssize_t i = 0; i < n;) {
      const auto* pEv = reinterpret_cast<const inotify_event*>(buf + i);
      if (pEv->mask & IN_OPEN) {
        ++m_nHostOpenNow;
        ++m_rep.nHostOpens;
        m_tHostClosed.reset();
      }
      if ((pEv->mask & IN_CLOSE) && m_nHostOpenNow > 0 && --m_nHostOpenNow == 0) {
        m_tHostClosed = TClock::now();
        m_drip.reset();  // nobody reads it any more
      }
      i += sizeof(inotify_event) + pEv->len;
    }
  }
}

// Waits for a time while staying stoppable; false if stopped.
bool CSession::WaitUntil(TTime t) {
  for (TTime tNow; (tNow = TClock::now()) < t;) {
    pollfd pfd{m_fdStop, POLLIN, 0};
    const timespec ts = ToTimespec(t - tNow);
    if (ppoll(&pfd, 1, &ts, nullptr) > 0) {
      Leave(EOutcome::Stopped);
      return false;
    }
  }
  return true;
}

// One write() normally; the rest only if the host's queue was full.
bool CSession::WriteAll(const std::vector<uint8_t>& buf) {
  for (size_t nDone = 0; nDone < buf.size();) {
    const ssize_t n = write(m_port.Fd(), buf.data() + nDone, buf.size() - nDone);
    if (n > 0) {
      nDone += n;
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      Leave(EOutcome::HostClosed, "device went away");
      return false;
    }
    // The host may have closed the port while the answer was due (a stop
    // that cut its read short): nobody drains the terminal then, and the
    // answer is dropped rather than waited on for ever.
    pollfd fds[3] = {
        {m_fdStop, POLLIN, 0}, {m_port.Fd(), POLLOUT, 0}, {m_port.WatchFd(), POLLIN, 0}};
    if (poll(fds, 3, -1) > 0 && fds[0].revents) {
      Leave(EOutcome::Stopped);
      return false;
    }
    if (fds[2].revents) ReadWatch();
    if (m_tHostClosed) return false;
  }
  return true;
}

void CSession::Drip() {
  SDrip& d = *m_drip;
  const TTime tNow = TClock::now();
  const auto us = std::chrono::duration_cast<microseconds>(tNow - d.tStart).count();
  uint64_t nDue =
      std::min<uint64_t>(d.nTotal, 1 + static_cast<uint64_t>(us) * d.nBytesPerSec / 1000000);
  nDue = std::min<uint64_t>(nDue, d.nSent + 65536);  // a phone held up long catches up in steps
  if (nDue > d.nSent) {
    std::vector<uint8_t> piece(static_cast<size_t>(nDue - d.nSent), 0);
    for (uint64_t i = d.nSent; i < nDue && i < d.head.size(); ++i) piece[i - d.nSent] = d.head[i];
    const ssize_t n = write(m_port.Fd(), piece.data(), piece.size());
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      m_drip.reset();  // the host has gone; it reads nothing more
      return;
    }
    d.nSent += static_cast<uint64_t>(std::max<ssize_t>(n, 0));
  }
  if (d.nSent >= d.nTotal) {
    m_drip.reset();
    return;
  }
  // Pieces of about 20 ms worth, so that a fast trickle costs few writes.
  const TTime tByte =
      d.tStart + microseconds(static_cast<int64_t>(d.nSent * 1000000 / d.nBytesPerSec));
  d.tNext = std::max(tByte, tNow + milliseconds(20));
}

void CSession::FramingError(const std::string& strWhy) {
  SCommandRecord rec;
  if (m_rx.size() >= 10) rec.nCmd = pdl::GetU32(&m_rx[6]);
  rec.strFault = strWhy;
  m_rx.clear();
  Answer(Code(pdl::RSP_PACKET_ERROR), {}, rec, rec.nCmd);
}

void CSession::Handle(const uint8_t* p, size_t nLen) {
  m_drip.reset();  // the host has given up on the answer that trickled
  SPacket k;
  k.nDataSize = pdl::GetU32(p + 1);
  k.nFlow = p[5];
  k.nCmd = pdl::GetU32(p + 6);
  if (nLen >= pdl::kLongFormSize) {
    k.nAddr = pdl::GetU32(p + 10);
    k.nSize = pdl::GetU32(p + 14);
    k.pPayload = p + pdl::kPayloadOffset;
    k.nPayload = nLen - pdl::kPayloadOffset;
  }
  SCommandRecord rec;
  rec.nRxUs = SincePlugUs(TClock::now());
  rec.nCmd = k.nCmd;
  rec.nAddr = k.nAddr;
  rec.nSize = k.nSize;
  rec.nPayload = static_cast<uint32_t>(k.nPayload);
  if (k.nCmd == pdl::CMD_START_DATA || k.nCmd == pdl::CMD_READ_PARTITION) NameOf(k, rec.strName);
  const std::vector<const SFault*> faults = MatchFaults(k);
  SReply reply = Execute(k);
  if (reply.nCode != pdl::RSP_ACK) {
    DigestReceived();  // before the bytes it points at go
    m_rx.clear();      // the rest belongs to the refused exchange
  }
  Answer(std::move(reply), faults, rec, k.nCmd);
  DigestReceived();
}

void CSession::DigestReceived() {
  if (!m_toDigest.empty()) m_sha.Update(m_toDigest);
  m_toDigest = {};
}

std::vector<const SFault*> CSession::MatchFaults(const SPacket& k) {
  // The image this packet concerns, and its data packet number.
  std::string strImage;
  int nChunk = 0;
  const SImageRecord* pOpen = m_nOpenImage >= 0 ? &m_rep.images[m_nOpenImage] : nullptr;
  if (k.nCmd == pdl::CMD_START_DATA) {
    if (k.nAddr == pdl::kNameMarker) {
      NameOf(k, strImage);
    } else {
      strImage = HexAddr(k.nAddr);
    }
  } else if ((k.nCmd == pdl::CMD_MID_DATA || k.nCmd == pdl::CMD_END_DATA) && pOpen) {
    strImage = pOpen->strName.empty() ? HexAddr(pOpen->nAddr) : pOpen->strName;
    if (k.nCmd == pdl::CMD_MID_DATA) nChunk = static_cast<int>(pOpen->chunkSizes.size()) + 1;
  }
  std::vector<const SFault*> fired;
  for (size_t i = 0; i < m_cfg.faults.size(); ++i) {
    const SFault& f = m_cfg.faults[i];
    if (f.nUnplugAfter >= 0 || (f.nCmd >= 0 && static_cast<uint32_t>(f.nCmd) != k.nCmd) ||
        (!f.strImage.empty() && f.strImage != strImage) || (f.nChunk && f.nChunk != nChunk)) {
      continue;
    }
    if (++m_faultHits[i] == f.nNth || f.nNth == 0) fired.push_back(&f);
  }
  return fired;
}

bool CSession::Legal(uint32_t c) const {
  using namespace pdl;
  if (c == CMD_CONNECT || c == CMD_POWER_OFF) return true;
  if (!m_bConnected) return false;
  const bool bImage = c == CMD_START_DATA || c == CMD_MID_DATA || c == CMD_END_DATA;
  switch (m_eStage) {
    case EStage::Boot:
    case EStage::Loader1:
      return bImage || c == CMD_EXEC_DATA;
    case EStage::Loader:
      return bImage || c == CMD_PARTITION_TABLE || c == CMD_DEBUG || c == CMD_FORMAT_FLASH ||
             c == CMD_READ_IMAGE_ATTR;
    case EStage::Factory:
      return bImage || c == CMD_SET_FACTMODE || c == CMD_READ_PARTITION;
  }
  return false;
}

SReply CSession::Execute(const SPacket& k) {
  using namespace pdl;
  if (k.nFlow != kFlowIdPc) return Code(RSP_PACKET_ERROR);
  const bool bShort = IsShortCmd(k.nCmd);
  if (!bShort && !IsLongCmd(k.nCmd)) return Code(RSP_UNKNOWN_CMD);
  if (bShort ? k.nDataSize != 4 : k.nDataSize < 12) return Code(RSP_PACKET_ERROR);
  if (!Legal(k.nCmd)) return Code(RSP_INVALID_CMD);
  std::string strName;
  switch (k.nCmd) {
    case CMD_CONNECT:
      if (m_cfg.bLeaveAfterWrite && !m_rep.factoryWritten.empty()) {
        Leave(EOutcome::Unplugged, "taken away after its write-back");
        return Code(kNoReply);
      }
      m_bConnected = true;
      return Code(RSP_ACK);
    case CMD_START_DATA:
      return StartImage(k);
    case CMD_MID_DATA:
      return ImageData(k);
    case CMD_END_DATA:
      return EndImage();
    case CMD_EXEC_DATA:
      return ExecImage();
    case CMD_POWER_OFF:
      if (m_cfg.nPowerOffMs > 0) {
        m_tPowerOff = TClock::now() + milliseconds(m_cfg.nPowerOffMs);  // going, still listed
      } else {
        Leave(EOutcome::PoweredOff);
      }
      return Code(kNoReply);
    case CMD_SET_FACTMODE:
      m_rep.bFactMode = true;
      return Code(RSP_ACK);
    case CMD_FORMAT_FLASH: {
      m_rep.bFormatRequested = true;
      SReply r;
      r.work = milliseconds(m_cfg.nFormatMs);
      return r;
    }
    case CMD_READ_PARTITION: {
      if (k.nAddr != kNameMarker) return Code(RSP_INVALID_ADDR);
      if (!NameOf(k, strName)) return Code(RSP_PACKET_ERROR);
      if (k.nSize != kFactoryPartitionSize) return Code(RSP_INVALID_SIZE);
      return SReply{RSP_ACK, true, m_factory, {}};
    }
    case CMD_READ_IMAGE_ATTR: {
      if (k.nPayload) return Code(RSP_PACKET_ERROR);
      if (k.nAddr != kNameMarker) return Code(RSP_INVALID_ADDR);
      if (k.nSize <= m_cfg.strImageAttr.size()) return Code(RSP_INVALID_SIZE);
      SReply r{RSP_ACK, true, {m_cfg.strImageAttr.begin(), m_cfg.strImageAttr.end()}, {}};
      r.data.push_back(0);
      return r;
    }
    case CMD_DEBUG:
      if (k.nPayload) return Code(RSP_PACKET_ERROR);
      if (k.nSize != 0) return Code(RSP_INVALID_SIZE);
      m_rep.debugFlags.push_back(k.nAddr);
      return Code(RSP_ACK);
    case CMD_PARTITION_TABLE: {
      if (k.nAddr != kNameMarker) return Code(RSP_INVALID_ADDR);
      if (k.nPayload != size_t{k.nSize} + 1 || !NameOf(k, strName)) return Code(RSP_INVALID_SIZE);
      m_rep.strPartitionTable = strName;
      m_partitions.clear();
      std::stringstream in(strName);
      for (std::string s; std::getline(in, s, ',');) m_partitions.push_back(s);
      m_bTable = true;
      return Code(RSP_ACK);
    }
  }
  return Code(RSP_UNKNOWN_CMD);
}

SReply CSession::StartImage(const SPacket& k) {
  using namespace pdl;
  const bool bByName = k.nAddr == kNameMarker;
  std::string strName;
  if (bByName ? !NameOf(k, strName) : k.nPayload != 0) return Code(RSP_PACKET_ERROR);
  if (k.nSize == 0) return Code(RSP_INVALID_SIZE);
  const bool bLate = m_eStage == EStage::Loader || m_eStage == EStage::Factory;
  if (bLate && !bByName) return Code(RSP_INVALID_ADDR);
  if (m_eStage == EStage::Loader && m_bTable &&
      std::find(m_partitions.begin(), m_partitions.end(), strName) == m_partitions.end()) {
    return Code(RSP_INVALID_PARTITION);
  }
  if (m_eStage == EStage::Factory && k.nSize != kFactoryPartitionSize) {
    return Code(RSP_INVALID_SIZE);
  }
  FinishOpenImage();  // a restarted image leaves the unfinished one in the report
  SImageRecord img;
  img.strName = strName;
  img.nAddr = k.nAddr;
  img.strStage = StageName(m_eStage);
  img.nAnnounced = k.nSize;
  m_rep.images.push_back(std::move(img));
  m_nOpenImage = static_cast<int>(m_rep.images.size()) - 1;
  m_sha.Reset();
  m_imageData.clear();
  return Code(RSP_ACK);
}

SReply CSession::ImageData(const SPacket& k) {
  using namespace pdl;
  if (m_nOpenImage < 0) return Code(RSP_INVALID_CMD);
  SImageRecord& img = m_rep.images[m_nOpenImage];
  if (k.nSize == 0 || k.nPayload != k.nSize || img.nReceived + k.nSize > img.nAnnounced) {
    return Code(RSP_INVALID_SIZE);
  }
  // The downloader numbers data packets 2, 3, ... per image; the writer uses the name marker.
  if (k.nAddr != kNameMarker && k.nAddr != img.chunkSizes.size() + 2) {
    return Code(RSP_INVALID_ADDR);
  }
  // Digested once the answer is out, while the host prepares its next packet.
  m_toDigest = {k.pPayload, k.nPayload};
  if (m_eStage == EStage::Factory)
    m_imageData.insert(m_imageData.end(), k.pPayload, k.pPayload + k.nPayload);
  img.chunkSizes.push_back(k.nSize);
  img.packetNumbers.push_back(k.nAddr);
  img.nReceived += k.nSize;
  for (size_t i = 0; i < m_cfg.faults.size(); ++i) {
    const SFault& f = m_cfg.faults[i];
    const std::string strImage = img.strName.empty() ? HexAddr(img.nAddr) : img.strName;
    if (f.nUnplugAfter >= 0 && !m_unplugFired[i] && f.strImage == strImage &&
        img.nReceived >= static_cast<uint64_t>(f.nUnplugAfter)) {
      m_unplugFired[i] = true;
      Fired(f.strText);
      Leave(EOutcome::Unplugged, "fault: " + f.strText);
      return Code(kNoReply);
    }
  }
  SReply r;
  if (m_eStage == EStage::Loader) {
    r.work = microseconds(uint64_t{k.nSize} * m_cfg.nFlashMsPerMiB * 1000 / (1 << 20));
  }
  return r;
}

SReply CSession::EndImage() {
  if (m_nOpenImage < 0) return Code(pdl::RSP_INVALID_CMD);
  SImageRecord& img = m_rep.images[m_nOpenImage];
  if (img.nReceived != img.nAnnounced) return Code(pdl::RSP_INVALID_SIZE);
  img.bEnded = true;
  img.strSha256 = m_sha.FinishHex();
  m_nLastEnded = m_nOpenImage;
  m_nOpenImage = -1;
  if (m_eStage == EStage::Factory) {
    m_factory = m_imageData;
    m_rep.factoryWritten = m_imageData;
    m_rep.strFactoryName = img.strName;
  }
  return Code(pdl::RSP_ACK);
}

SReply CSession::ExecImage() {
  if (m_nLastEnded < 0 || m_rep.images[m_nLastEnded].bExecuted) {
    return Code(pdl::RSP_INVALID_CMD);
  }
  SImageRecord& img = m_rep.images[m_nLastEnded];
  img.bExecuted = true;
  if (m_eStage == EStage::Loader1) {
    m_eStage = EStage::Loader;
  } else {
    const bool bFactory = img.strName.empty() && img.nAddr == m_cfg.nFactoryAddr;
    m_eStage = bFactory ? EStage::Factory : EStage::Loader1;
  }
  return Code(pdl::RSP_ACK);
}

void CSession::FinishOpenImage() {
  if (m_nOpenImage < 0) return;
  m_rep.images[m_nOpenImage].strSha256 = m_sha.FinishHex();
  m_nOpenImage = -1;
}

void CSession::Answer(SReply reply, const std::vector<const SFault*>& faults, SCommandRecord& rec,
                      uint32_t nCmd) {
  bool bFail = false;
  int nGarbage = 0;
  int nDripBytesPerSec = 0;
  int64_t nClaimedSize = -1;
  microseconds delay = reply.work + microseconds(m_cfg.nAckLatencyUs);
  for (const SFault* f : faults) {
    Fired(f->strText);
    rec.strFault += (rec.strFault.empty() ? "" : "; ") + f->strText;
    if (f->bUnplug) Leave(EOutcome::Unplugged, "fault: " + f->strText);
    if (f->bSilent) reply.nCode = kNoReply;
    if (reply.bData && nCmd == pdl::CMD_READ_IMAGE_ATTR && !f->strAttr.empty()) {
      const std::string strBad = "modem(2112#system)(20x8)##userdata(";
      reply.data.assign(strBad.begin(), strBad.end());
      if (f->strAttr == "empty")
        reply.data.clear();
      else
        reply.data.push_back(0);
    }
    if (reply.bData && nCmd == pdl::CMD_READ_PARTITION && f->nReadLen >= 0) {
      reply.data.resize(f->nReadLen, 0);
    }
    if (f->nCode >= 0 && reply.nCode != kNoReply) reply = Code(f->nCode);
    bFail = bFail || f->bFailReply;
    nGarbage += f->nGarbage;
    delay += milliseconds(f->nStallMs);
    if (f->nDripBytesPerSec > 0) nDripBytesPerSec = f->nDripBytesPerSec;
    if (f->nDataSize >= 0) nClaimedSize = f->nDataSize;
  }
  if (bFail && reply.nCode != kNoReply) {
    reply = Code(reply.nCode == pdl::RSP_ACK ? int{pdl::RSP_OPERATION_FAILED} : reply.nCode);
  }
  if (m_bLeft || reply.nCode == kNoReply) {
    m_rep.commands.push_back(std::move(rec));
    return;
  }
  std::vector<uint8_t> buf;
  for (int i = 0; i < nGarbage; ++i) {
    m_nGarbageSeed = m_nGarbageSeed * 1103515245 + 12345;
    const uint8_t b = static_cast<uint8_t>(m_nGarbageSeed >> 16);
    buf.push_back(b == pdl::kHeaderByte ? 0x5A : b);
  }
  const size_t nAt = buf.size();
  uint64_t nClaimedRest = 0;  // claimed bytes beyond the real data
  if (reply.bData) {
    if (nClaimedSize >= 0) {
      const auto nClaimed = static_cast<uint64_t>(nClaimedSize);
      if (nClaimed < reply.data.size()) reply.data.resize(static_cast<size_t>(nClaimed));
      nClaimedRest = nClaimed - reply.data.size();
    }
    buf.resize(nAt + pdl::kHeaderSize);
    pdl::BuildHeader(buf.data() + nAt, static_cast<uint32_t>(reply.data.size() + nClaimedRest));
    buf.insert(buf.end(), reply.data.begin(), reply.data.end());
  } else {
    buf.resize(nAt + pdl::kAckSize);
    pdl::BuildHeader(buf.data() + nAt, 4, bFail ? pdl::kFlowIdFailure : pdl::kFlowIdPc);
    pdl::PutU32(buf.data() + nAt + pdl::kHeaderSize, reply.nCode);
  }
  rec.nReply = reply.nCode;
  rec.bFailReply = bFail;
  rec.nReplyLen = static_cast<uint32_t>(buf.size());
  m_rep.nErrorReplies += reply.nCode != pdl::RSP_ACK || bFail;
  m_rep.commands.push_back(rec);
  // Pacing: the answer arrives when its bytes would have crossed the link.
  TTime tDue = std::max(std::max(TClock::now(), m_tRxCrossed) + delay, m_tWriteOk);
  if (m_cfg.nRateBytesPerSec) {
    tDue += microseconds(buf.size() * 1000000 / m_cfg.nRateBytesPerSec);
  }
  m_tWriteOk = tDue;
  if (nDripBytesPerSec > 0) {
    // Only the claimed zeros that trickle after the real data are sent.
    m_drip = SDrip{std::move(buf), 0, 0, nDripBytesPerSec, tDue, tDue};
    m_drip->nTotal = m_drip->head.size() + nClaimedRest;
    return;
  }
  // When the answer must wait anyway (pacing, an answer delay), the digest
  // is taken in that wait rather than after the answer, where it would hold
  // up reading the next packet and so push back when its bytes are counted
  // as having crossed. About 2 us per KiB leaves room for the digest.
  if (tDue - TClock::now() >= microseconds(m_toDigest.size() / 512)) DigestReceived();
  if (WaitUntil(tDue) && WriteAll(buf)) m_rep.commands.back().nReplyUs = SincePlugUs(TClock::now());
}

}  // namespace

void ServePhone(const SPhoneConfig& cfg, CPhonePort& port, int fdStop, SPhoneReport& rep,
                const std::function<void(const std::string&)>& onFault) {
  CSession(cfg, port, fdStop, rep, onFault).Run();
}

}  // namespace sim
