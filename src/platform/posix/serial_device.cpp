#include "platform/serial_device.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

namespace platform {
namespace {

bool IsGoneError(int err) {
  return err == EIO || err == ENODEV || err == ENXIO || err == EBADF;
}

class CPosixSerialDevice final : public ISerialDevice {
 public:
  explicit CPosixSerialDevice(int fd) : m_fd(fd) {}

  ~CPosixSerialDevice() override {
    // Clear exclusive mode for the next opener (it outlives this descriptor
    // when the other side keeps the terminal open).
    ioctl(m_fd, TIOCNXCL);
    // The last bytes written (a passed phone's power-off) must still reach
    // the phone, so the driver gets a bounded moment to send them. Only bytes
    // still stuck after it are discarded, so that close() does not wait for a
    // phone that stopped reading. A flush with nothing queued is skipped: on
    // a pseudo-terminal it would take back bytes the other side has not read.
    if (!m_bGone && WaitForOutputToLeave() > 0) tcflush(m_fd, TCOFLUSH);
    close(m_fd);
  }

  int BytesWaiting() override {
    if (m_bGone) return -1;
    pollfd pfd{m_fd, POLLIN, 0};
    if (poll(&pfd, 1, 0) < 0) return 0;
    int queued = 0;
    if (ioctl(m_fd, FIONREAD, &queued) < 0) {
      if (IsGoneError(errno)) return MarkGone();
      queued = 0;
    }
    if (queued > 0) return queued;
    if (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) return MarkGone();
    // A pseudo-terminal can be readable a moment before FIONREAD counts it.
    return (pfd.revents & POLLIN) ? 1 : 0;
  }

  int ReadSome(void* pBuf, size_t nMax) override {
    if (m_bGone) return -1;
    for (;;) {
      const ssize_t n = read(m_fd, pBuf, nMax);
      if (n > 0) return static_cast<int>(n);
      if (n == 0) return MarkGone();  // end of file: the other side hung up
      if (errno == EINTR) continue;
      if (errno == EAGAIN) return 0;
      return MarkGone();
    }
  }

  int WriteSome(const void* pBuf, size_t nLen, int* pErr) override {
    if (m_bGone) {
      *pErr = EIO;
      return -1;
    }
    for (;;) {
      const ssize_t n = write(m_fd, pBuf, nLen);
      if (n >= 0) return static_cast<int>(n);
      if (errno == EINTR) continue;
      if (errno == EAGAIN) return 0;
      *pErr = errno;
      if (IsGoneError(errno)) m_bGone = true;
      return -1;
    }
  }

  EWaitResult Wait(bool bForWrite, std::span<const WaitHandle> wakes, int nTimeoutMs,
                   int* pWokenIndex) override {
    if (m_bGone) return EWaitResult::Gone;
    pollfd fds[kMaxWakes + 1];
    size_t nFds = 0;
    fds[nFds++] = {m_fd, static_cast<short>(bForWrite ? POLLOUT : POLLIN), 0};
    for (int fd : wakes.first(std::min(wakes.size(), kMaxWakes))) fds[nFds++] = {fd, POLLIN, 0};
    int rc;
    while ((rc = poll(fds, nFds, nTimeoutMs)) < 0 && errno == EINTR) {
    }
    if (rc <= 0) return EWaitResult::TimedOut;
    for (size_t i = 1; i < nFds; ++i) {
      if (fds[i].revents) {
        if (pWokenIndex) *pWokenIndex = static_cast<int>(i - 1);
        return EWaitResult::Woken;
      }
    }
    const short ready = fds[0].revents;
    if (ready & (bForWrite ? POLLOUT : POLLIN)) return EWaitResult::Ready;
    if (ready & (POLLHUP | POLLERR | POLLNVAL)) {
      m_bGone = true;
      return EWaitResult::Gone;
    }
    return EWaitResult::TimedOut;
  }

  void DiscardInput() override { tcflush(m_fd, TCIFLUSH); }
  void DiscardBoth() override { tcflush(m_fd, TCIOFLUSH); }
  long NativeHandle() const override { return m_fd; }

 private:
  // Bytes the driver still holds for sending once the wait ends.
  int WaitForOutputToLeave() {
    constexpr auto kLimit = std::chrono::milliseconds(200);
    const auto deadline = std::chrono::steady_clock::now() + kLimit;
    int queued = 0;
    // No descriptor event says "sent", so the queue is polled; this runs once
    // per close and only while bytes are queued.
    while (ioctl(m_fd, TIOCOUTQ, &queued) == 0 && queued > 0 &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return queued;
  }

  int MarkGone() {
    m_bGone = true;
    return -1;
  }

  int m_fd;
  bool m_bGone = false;  // only the owning thread reads and writes the device
};

}  // namespace

std::unique_ptr<ISerialDevice> OpenSerialDevice(const std::string& strPath, int* pErr) {
  const int fd = open(strPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *pErr = errno;
    return nullptr;
  }
  // Root ignores TIOCEXCL, so an advisory lock is what keeps a second opener
  // out; TIOCEXCL still keeps out programs that do not take the lock.
  if (flock(fd, LOCK_EX | LOCK_NB) < 0) {
    *pErr = errno == EWOULDBLOCK ? EBUSY : errno;
    close(fd);
    return nullptr;
  }
  termios tio{};
  if (tcgetattr(fd, &tio) == 0) {
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;  // a modem line must not hang up the port
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &tio);
    ioctl(fd, TIOCEXCL);
  }
  return std::make_unique<CPosixSerialDevice>(fd);
}

}  // namespace platform
