#include "tcp_relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

CTcpRelay::CTcpRelay(std::string strUnixSocket) : m_strUnixSocket(std::move(strUnixSocket)) {
  m_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t nLength = sizeof addr;
  if (m_listen >= 0 && m_wake >= 0 &&
      bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      listen(m_listen, 16) == 0 &&
      getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &nLength) == 0) {
    m_nPort = ntohs(addr.sin_port);
  }
  m_thread = std::thread([this] { Run(); });
}

CTcpRelay::~CTcpRelay() {
  m_bQuit = true;
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(m_wake, &one, sizeof one);
  m_thread.join();
  for (const SPair& p : m_pairs) {
    close(p.client);
    close(p.server);
  }
  if (m_listen >= 0) close(m_listen);
  if (m_wake >= 0) close(m_wake);
}

void CTcpRelay::Forward(bool bOn) {
  m_bForward = bOn;
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(m_wake, &one, sizeof one);
}

size_t CTcpRelay::HeldBytes() {
  std::lock_guard lock(m_mutex);
  size_t nHeld = 0;
  for (const SPair& p : m_pairs) {
    int nPending = 0;
    if (ioctl(p.client, FIONREAD, &nPending) == 0 && nPending > 0)
      nHeld += static_cast<size_t>(nPending);
  }
  return nHeld;
}

bool CTcpRelay::Pass(int from, int to) {
  char buf[65536];
  const ssize_t n = read(from, buf, sizeof buf);
  if (n <= 0) return false;
  for (ssize_t nSent = 0; nSent < n;) {
    const ssize_t w = send(to, buf + nSent, static_cast<size_t>(n - nSent), MSG_NOSIGNAL);
    if (w <= 0) return false;
    nSent += w;
  }
  return true;
}

void CTcpRelay::Run() {
  while (!m_bQuit) {
    // Silent: only the wake-up is watched, every socket stays as it is.
    const bool bForward = m_bForward;
    std::vector<pollfd> fds = {{m_wake, POLLIN, 0}};
    std::vector<SPair> pairs;
    if (bForward) {
      fds.push_back({m_listen, POLLIN, 0});
      std::lock_guard lock(m_mutex);
      pairs = m_pairs;
    }
    for (const SPair& p : pairs) {
      fds.push_back({p.client, POLLIN, 0});
      fds.push_back({p.server, POLLIN, 0});
    }
    if (poll(fds.data(), fds.size(), -1) < 0) continue;
    if (fds[0].revents) {
      uint64_t value = 0;
      [[maybe_unused]] ssize_t n = read(m_wake, &value, sizeof value);
      continue;  // the forwarding may have changed: look again
    }
    if (!bForward) continue;
    if (fds[1].revents) {
      const int client = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
      const int server = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_un addr{};
      addr.sun_family = AF_UNIX;
      std::strncpy(addr.sun_path, m_strUnixSocket.c_str(), sizeof addr.sun_path - 1);
      if (client >= 0 && server >= 0 &&
          connect(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        std::lock_guard lock(m_mutex);
        m_pairs.push_back({client, server});
      } else {
        if (client >= 0) close(client);
        if (server >= 0) close(server);
      }
    }
    for (size_t i = 0; i < pairs.size(); ++i) {
      const pollfd& c = fds[2 + 2 * i];
      const pollfd& s = fds[3 + 2 * i];
      bool bOpen = true;
      if (c.revents) bOpen = Pass(pairs[i].client, pairs[i].server);
      if (bOpen && s.revents) bOpen = Pass(pairs[i].server, pairs[i].client);
      if (bOpen) continue;
      std::lock_guard lock(m_mutex);
      for (auto it = m_pairs.begin(); it != m_pairs.end(); ++it) {
        if (it->client != pairs[i].client) continue;
        close(it->client);
        close(it->server);
        m_pairs.erase(it);
        break;
      }
    }
  }
}
