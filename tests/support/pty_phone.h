#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A pseudo-terminal pair standing in for a phone: the test plays the phone
// on the master side; the slave is published as a virtual port
// "Gadget Serial (COM<n>)" in a private PHONE_PORTS_DIR folder.
class CPtyPhone {
 public:
  // Publishes the port in strDir, or in a folder of its own (made the
  // process's PHONE_PORTS_DIR) when strDir is empty.
  explicit CPtyPhone(int nCom, const std::string& strDir = {});
  ~CPtyPhone();
  CPtyPhone(const CPtyPhone&) = delete;
  CPtyPhone& operator=(const CPtyPhone&) = delete;

  const std::string& SlavePath() const { return m_strSlave; }
  const std::string& PortsDir() const { return m_strDir; }

  void Send(const std::vector<uint8_t>& bytes);
  void Send(const std::string& bytes) { Send(std::vector<uint8_t>(bytes.begin(), bytes.end())); }
  // Everything the host wrote that arrives within nWaitMs of quiet.
  std::vector<uint8_t> Receive(int nWaitMs = 100);
  // Reads exactly n bytes, waiting up to nTimeoutMs; fewer on time-out.
  std::vector<uint8_t> ReceiveExactly(size_t n, int nTimeoutMs = 2000);
  // The phone goes away: link removed, master closed.
  void Unplug();

 private:
  int m_master = -1;
  int m_keepSlave = -1;  // keeps the terminal from hanging up between host opens
  std::string m_strSlave;
  std::string m_strDir;
  std::string m_strLink;
  bool m_bOwnDir = false;
};

// An acknowledgement packet with the given code and flow id.
std::vector<uint8_t> AckPacket(uint32_t nCode, uint8_t nFlowId = 0xFF, uint32_t nDataSize = 4);
// A data reply carrying the given bytes.
std::vector<uint8_t> DataReply(const std::vector<uint8_t>& data, uint8_t nFlowId = 0xFF);

// A temporary folder, removed with its contents at the end.
class CTempDir {
 public:
  CTempDir();
  ~CTempDir();
  const std::string& Path() const { return m_strPath; }
  std::string File(const std::string& name) const { return m_strPath + "/" + name; }

 private:
  std::string m_strPath;
};

std::string ReadWholeFile(const std::string& path);
// Threads of this process, for checking that none is left behind; with a
// name, only the threads of that name.
int CountThreads(const std::string& strName = {});
