#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A loopback TCP relay in front of a server's Unix socket, as a switch
// between a station and its server: it listens on 127.0.0.1 (a free port)
// and forwards every connection both ways until told to stop forwarding,
// after which it keeps every connection open and reads nothing, as a link
// that has gone silent. POSIX only.
class CTcpRelay {
 public:
  explicit CTcpRelay(std::string strUnixSocket);
  ~CTcpRelay();
  CTcpRelay(const CTcpRelay&) = delete;
  CTcpRelay& operator=(const CTcpRelay&) = delete;

  bool Listening() const { return m_nPort > 0; }
  int Port() const { return m_nPort; }
  void Forward(bool bOn);
  // Bytes the clients sent that the relay holds unread (while silent).
  size_t HeldBytes();

 private:
  struct SPair {
    int client;
    int server;
  };
  void Run();
  // Copies what one side has to the other; false when either side ended.
  static bool Pass(int from, int to);

  const std::string m_strUnixSocket;
  int m_listen = -1;
  int m_wake = -1;  // eventfd: a change of forwarding, or the end
  int m_nPort = 0;
  std::atomic<bool> m_bForward{true};
  std::atomic<bool> m_bQuit{false};
  std::mutex m_mutex;  // guards m_pairs' list (the relay thread changes it)
  std::vector<SPair> m_pairs;
  std::thread m_thread;  // last: starts once everything above exists
};
