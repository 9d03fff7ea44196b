#pragma once

#include <string>
#include <vector>

// A private database server for the ledger tests: its own data folder, a
// Unix socket in that folder and no TCP port (UseTls adds one on the
// loopback address, TLS only). The folder is a fresh one in the system's
// temporary folder, owned by the server's user, so that the server can
// reach it wherever the build tree is (a clone below a home only its owner
// may enter). The server refuses to run as root, so under root every step
// runs as the "postgres" user, started in the server's folder.
// Every step is bounded in time; the destructor stops the server whatever
// the test did, and removes the folder. strRegistry (in the build tree)
// holds one small file per server naming its folder: a test process that
// dies leaves the server to the ledger tests' clean-up fixture, which stops
// every server the registry names.
class CPrivatePostgres {
 public:
  // The name every server folder starts with, in the temporary folder.
  static constexpr const char* kFolderPrefix = "norq-ledger-pg.";

  // bDurable: the server syncs its writes as a production server does
  // (benchmarks); tests run without, for speed.
  CPrivatePostgres(std::string strBinDir, const std::string& strRegistry, bool bDurable = false);
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
  // The server's processes: the postmaster first, then its children; empty
  // when it does not run.
  std::vector<int> Processes() const;

 private:
  // Runs a server program as the server's user; its exit status, or -1.
  int RunAsServerUser(const std::vector<std::string>& args, std::string* pOutput);

  const std::string m_strBinDir;
  const bool m_bDurable;
  std::string m_strFolder;
  std::string m_strRegistryEntry;  // names m_strFolder for the clean-up fixture
  bool m_bCreated = false;
  bool m_bRunning = false;
  int m_nPort = 0;  // with UseTls
};
