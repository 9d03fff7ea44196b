#include "private_postgres.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

// Every server step is wrapped in this, so that none can hang a test.
constexpr const char* kStepSeconds = "120";

std::string Quoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// A port nobody listens on now; the server takes it a moment later.
int FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t nLen = sizeof addr;
  int nPort = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &nLen) == 0) {
    nPort = ntohs(addr.sin_port);
  }
  close(fd);
  return nPort;
}

// The server's user must reach its folder: as root the server runs as
// "postgres", who may not enter $TMPDIR below root's home.
std::string TemporaryRoot() {
  const char* pszTmp = std::getenv("TMPDIR");
  if (geteuid() != 0 && pszTmp && *pszTmp) return pszTmp;
  return "/tmp";
}

}  // namespace

bool CPrivatePostgres::UseTls(const std::string& strCertFile, const std::string& strKeyFile,
                              std::string* pError) {
  // The server reads its key only when the server's user owns it, mode 600.
  std::error_code ec;
  const std::string strCert = m_strFolder + "/server.crt", strKey = m_strFolder + "/server.key";
  fs::copy_file(strCertFile, strCert, fs::copy_options::overwrite_existing, ec);
  if (!ec) fs::copy_file(strKeyFile, strKey, fs::copy_options::overwrite_existing, ec);
  bool bOk = !ec && chmod(strKey.c_str(), 0600) == 0 && chmod(strCert.c_str(), 0644) == 0;
  if (bOk && geteuid() == 0) {
    const passwd* pw = getpwnam("postgres");
    bOk = pw && chown(strKey.c_str(), pw->pw_uid, pw->pw_gid) == 0 &&
          chown(strCert.c_str(), pw->pw_uid, pw->pw_gid) == 0;
  }
  std::ofstream(m_strFolder + "/hba.conf")
      << "local all all trust\nhostssl all all 127.0.0.1/32 trust\n";
  m_nPort = bOk ? FreeLoopbackPort() : 0;
  if (m_nPort == 0 && pError) *pError = "cannot set up TLS in " + m_strFolder;
  return m_nPort != 0;
}

CPrivatePostgres::CPrivatePostgres(std::string strBinDir, const std::string& strRegistry,
                                   bool bDurable)
    : m_strBinDir(std::move(strBinDir)), m_bDurable(bDurable) {
  std::string tmpl = TemporaryRoot() + "/" + kFolderPrefix + "XXXXXX";
  if (!mkdtemp(tmpl.data())) return;
  m_strFolder = tmpl;
  // Registered before anything runs in it, so that no server goes unnamed.
  std::error_code ec;
  fs::create_directories(strRegistry, ec);
  m_strRegistryEntry = strRegistry + "/" + fs::path(m_strFolder).filename().string();
  std::ofstream(m_strRegistryEntry) << m_strFolder << "\n";
  if (geteuid() == 0) {
    const passwd* pw = getpwnam("postgres");
    if (!pw || chown(m_strFolder.c_str(), pw->pw_uid, pw->pw_gid) != 0) {
      fs::remove_all(m_strFolder, ec);
      m_strFolder.clear();
    }
  }
}

CPrivatePostgres::~CPrivatePostgres() {
  if (m_bRunning) {
    RunAsServerUser({m_strBinDir + "/pg_ctl", "stop", "-D", m_strFolder + "/data", "-m",
                     "immediate", "-w", "-t", "60"},
                    nullptr);
  }
  std::error_code ec;
  if (!m_strFolder.empty()) fs::remove_all(m_strFolder, ec);
  if (!m_strRegistryEntry.empty()) fs::remove(m_strRegistryEntry, ec);
}

int CPrivatePostgres::RunAsServerUser(const std::vector<std::string>& args, std::string* pOutput) {
  // Started in the server's folder: the caller's may be closed to that user.
  std::string strCommand = "cd " + Quoted(m_strFolder) + " && timeout " + kStepSeconds + " ";
  if (geteuid() == 0) strCommand += "runuser -u postgres -- ";
  for (const std::string& a : args) strCommand += Quoted(a) + " ";
  strCommand += "2>&1";
  FILE* pipe = popen(strCommand.c_str(), "r");
  if (!pipe) return -1;
  char buf[4096];
  std::string out;
  for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
  const int status = pclose(pipe);
  if (pOutput) *pOutput = out;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool CPrivatePostgres::Start(std::string* pError) {
  if (m_strFolder.empty()) {
    if (pError) *pError = "no folder for the server";
    return false;
  }
  std::string out;
  const std::string strData = m_strFolder + "/data";
  if (!m_bCreated) {
    if (RunAsServerUser({m_strBinDir + "/initdb", "-D", strData, "-U", "tavlo", "-A", "trust",
                         "--no-sync", "-E", "UTF8", "--locale=C"},
                        &out) != 0) {
      if (pError) *pError = "initdb: " + out;
      return false;
    }
    m_bCreated = true;
  }
  std::string strOptions =
      "-c unix_socket_directories=" + m_strFolder + " -c max_connections=60 -c fsync=off";
  if (m_nPort == 0) {
    strOptions += " -c listen_addresses=''";
  } else {
    strOptions += " -c listen_addresses=127.0.0.1 -c port=" + std::to_string(m_nPort) +
                  " -c ssl=on -c ssl_cert_file=" + m_strFolder +
                  "/server.crt -c ssl_key_file=" + m_strFolder +
                  "/server.key -c hba_file=" + m_strFolder + "/hba.conf";
  }
  if (RunAsServerUser({m_strBinDir + "/pg_ctl", "start", "-D", strData, "-l",
                       m_strFolder + "/server.log", "-o", strOptions, "-w", "-t", "60"},
                      &out) != 0) {
    if (pError) *pError = "pg_ctl start: " + out;
    return false;
  }
  m_bRunning = true;
  if (!fs::exists(m_strFolder + "/.created")) {
    if (RunAsServerUser({m_strBinDir + "/createdb", "-h", m_strFolder, "-p",
                         std::to_string(m_nPort ? m_nPort : 5432), "-U", "tavlo", "ledger"},
                        &out) != 0) {
      if (pError) *pError = "createdb: " + out;
      return false;
    }
    RunAsServerUser({"touch", m_strFolder + "/.created"}, nullptr);
  }
  return true;
}

bool CPrivatePostgres::Stop(std::string* pError) {
  if (!m_bRunning) return true;
  std::string out;
  if (RunAsServerUser({m_strBinDir + "/pg_ctl", "stop", "-D", m_strFolder + "/data", "-m", "fast",
                       "-w", "-t", "60"},
                      &out) != 0) {
    if (pError) *pError = "pg_ctl stop: " + out;
    return false;
  }
  m_bRunning = false;
  return true;
}

std::string CPrivatePostgres::ConnectString() const {
  return "host=" + m_strFolder + " dbname=ledger user=tavlo" +
         (m_nPort ? " port=" + std::to_string(m_nPort) : std::string());
}

std::string CPrivatePostgres::TcpConnectString() const {
  return "host=127.0.0.1 port=" + std::to_string(m_nPort) + " dbname=ledger";
}

std::vector<int> CPrivatePostgres::Processes() const {
  std::vector<int> pids;
  if (!m_bRunning) return pids;
  int nPostmaster = 0;
  std::ifstream(m_strFolder + "/data/postmaster.pid") >> nPostmaster;
  if (nPostmaster <= 0) return pids;
  pids.push_back(nPostmaster);
  std::error_code ec;
  for (const auto& e : fs::directory_iterator("/proc", ec)) {
    const std::string strName = e.path().filename().string();
    if (strName.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in(e.path() / "stat");
    std::string strStat;
    std::getline(in, strStat);
    // "pid (comm) state ppid ...": the name may hold spaces and brackets.
    const size_t nClose = strStat.rfind(')');
    if (nClose == std::string::npos) continue;
    std::istringstream fields(strStat.substr(nClose + 1));
    std::string strState;
    int nParent = 0;
    fields >> strState >> nParent;
    if (nParent == nPostmaster) pids.push_back(std::stoi(strName));
  }
  return pids;
}
