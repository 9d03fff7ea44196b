#pragma once

#include <string>
#include <vector>

// A private database server for the ledger tests: its own data folder below
// strRoot, a Unix socket in that folder and no TCP port (UseTls adds one on
// the loopback address, TLS only). The server refuses
// to run as root, so under root every step runs as the "postgres" user.
// Every step is bounded in time; the destructor stops the server whatever
// the test did, and removes the folder. A test process that dies leaves
// the server to the ledger tests' clean-up fixture, which stops every
// server below strRoot.
class CPrivatePostgres {
 public:
  // bDurable: the server syncs its writes as a production server does
  // (benchmarks); tests run without, for speed.
  CPrivatePostgres(std::string strBinDir, const std::string& strRoot, bool bDurable = false);
  ~CPrivatePostgres();
  CPrivatePostgres(const CPrivatePostgres&) = delete;
  CPrivatePostgres& operator=(const CPrivatePostgres&) = delete;

  // Creates the cluster and the "ledger" database on the first call, then
  // starts the server and waits until it takes connections.
  bool Start(std::string* pError);
  // A fast stop: connections are cut, as when the server goes away.
  bool Stop(std::string* pError = nullptr);
  bool Running() const { return m_bRunning; }
  // Before the first Start: the server listens on 127.0.0.1 too, on a free
  // port, taking TLS connections only there (hostssl, trust), with this
  // certificate and key; the Unix socket stays as it was.
  bool UseTls(const std::string& strCertFile, const std::string& strKeyFile, std::string* pError);
  // For libpq: the socket folder and the database.
  std::string ConnectString() const;
  // With UseTls: "host=127.0.0.1 port=N dbname=ledger", no user, no sslmode.
  std::string TcpConnectString() const;
  const std::string& Folder() const { return m_strFolder; }

 private:
  // Runs a server program as the server's user; its exit status, or -1.
  int RunAsServerUser(const std::vector<std::string>& args, std::string* pOutput);

  const std::string m_strBinDir;
  const bool m_bDurable;
  std::string m_strFolder;
  bool m_bCreated = false;
  bool m_bRunning = false;
  int m_nPort = 0;  // with UseTls
};
