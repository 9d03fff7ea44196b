#include "platform/device_monitor.h"

#include <libudev.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace platform {

struct CDeviceMonitor::SSources {
  udev* m_pUdev = nullptr;
  udev_monitor* m_pMonitor = nullptr;
  int m_fdInotify = -1;

  ~SSources() {
    if (m_pMonitor) udev_monitor_unref(m_pMonitor);
    if (m_pUdev) udev_unref(m_pUdev);
    if (m_fdInotify >= 0) close(m_fdInotify);
  }

  void OpenUdev() {
    m_pUdev = udev_new();
    if (!m_pUdev) return;
    // Without a udev daemon nothing is ever sent on the "udev" source, so
    // listen to the kernel's own messages instead.
    const char* pszSource = access("/run/udev/control", F_OK) == 0 ? "udev" : "kernel";
    m_pMonitor = udev_monitor_new_from_netlink(m_pUdev, pszSource);
    if (!m_pMonitor) return;
    udev_monitor_filter_add_match_subsystem_devtype(m_pMonitor, "tty", nullptr);
    if (udev_monitor_enable_receiving(m_pMonitor) < 0) {
      udev_monitor_unref(m_pMonitor);
      m_pMonitor = nullptr;
    }
  }

  void OpenInotify(const std::string& strFolder) {
    if (strFolder.empty()) return;
    m_fdInotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_fdInotify < 0) return;
    if (inotify_add_watch(m_fdInotify, strFolder.c_str(),
                          IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO) < 0) {
      close(m_fdInotify);
      m_fdInotify = -1;
    }
  }

  // Reads every waiting udev message; true if a tty came or went.
  bool DrainUdev() {
    bool bChanged = false;
    while (udev_device* pDev = udev_monitor_receive_device(m_pMonitor)) {
      // The kernel source may not apply the subsystem filter, so check again.
      const char* pszSub = udev_device_get_subsystem(pDev);
      const char* pszAction = udev_device_get_action(pDev);
      if (pszSub && pszAction && std::strcmp(pszSub, "tty") == 0 &&
          (std::strcmp(pszAction, "add") == 0 || std::strcmp(pszAction, "remove") == 0)) {
        bChanged = true;
      }
      udev_device_unref(pDev);
    }
    return bChanged;
  }

  // Reads every waiting inotify event; true if any was a link change.
  bool DrainInotify() {
    bool bChanged = false;
    alignas(inotify_event) char buf[4096];
    ssize_t n;
    while ((n = read(m_fdInotify, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
      for (ssize_t off = 0; off < n;) {
        const auto* pEv = reinterpret_cast<const inotify_event*>(buf + off);
        // An overflow lost events, so something may have changed.
        if (pEv->mask & (IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_Q_OVERFLOW)) {
          bChanged = true;
        }
        off += static_cast<ssize_t>(sizeof(inotify_event) + pEv->len);
      }
    }
    return bChanged;
  }
};

CDeviceMonitor::CDeviceMonitor(std::function<void()> fnOnChange, const std::string& strLinkFolder)
    : m_fnOnChange(std::move(fnOnChange)), m_pSources(std::make_unique<SSources>()) {
  // The sources are open before this returns, so no change made afterwards is missed.
  m_pSources->OpenUdev();
  m_pSources->OpenInotify(strLinkFolder);
  m_thread = std::thread(&CDeviceMonitor::Run, this);
}

CDeviceMonitor::~CDeviceMonitor() {
  m_stop.Signal();
  m_thread.join();
}

void CDeviceMonitor::Run() {
  enum { kStop, kUdev, kInotify };
  pollfd fds[3] = {
      {m_stop.Handle(), POLLIN, 0},
      {m_pSources->m_pMonitor ? udev_monitor_get_fd(m_pSources->m_pMonitor) : -1, POLLIN, 0},
      {m_pSources->m_fdInotify, POLLIN, 0}};
  for (;;) {
    if (poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[kStop].revents) return;
    bool bChanged = false;
    for (int i : {kUdev, kInotify}) {
      if (!fds[i].revents) continue;
      bChanged |= i == kUdev ? m_pSources->DrainUdev() : m_pSources->DrainInotify();
      // A source that has failed for good would wake the loop forever; drop it.
      if (fds[i].revents & (POLLHUP | POLLNVAL)) fds[i].fd = -1;
    }
    if (bChanged) m_fnOnChange();
  }
}

}  // namespace platform
