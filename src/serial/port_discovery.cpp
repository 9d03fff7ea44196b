#include "serial/port_discovery.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <tuple>
#include <vector>

#include "common/ini_file.h"
#include "common/op_log.h"
#include "common/text.h"
#include "platform/serial_device.h"
#include "serial/port_naming.h"

namespace fs = std::filesystem;

namespace {

constexpr char kUsbTablePath[] = "ini/usbdevices.ini";  // below the base folder, the working one
constexpr char kMapSection[] = "ports";
constexpr int kFirstFreeCom = 3;
constexpr int kLastCom = 255;
constexpr char kPhonePortName[] = "Gadget Serial";

// Serialises the map's read-assign-write between threads of this process.
std::mutex g_mapMutex;

std::string ComName(int n) {
  return "COM" + std::to_string(n);
}

// Holds an exclusive lock for the map's read-assign-write between processes.
// It locks a file beside the map because every write of the map replaces the
// map file, and a lock on a replaced file keeps nobody out.
class CMapLock {
 public:
  explicit CMapLock(const std::string& strMapPath)
      : m_fd(open((strMapPath + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
    while (m_fd >= 0 && flock(m_fd, LOCK_EX) < 0 && errno == EINTR) {
    }
  }
  ~CMapLock() {
    if (m_fd >= 0) close(m_fd);  // closing releases the lock
  }
  CMapLock(const CMapLock&) = delete;
  CMapLock& operator=(const CMapLock&) = delete;

 private:
  int m_fd;
};

// The [ports] section as path -> number; entries with unusable numbers are left out.
std::map<std::string, int> ReadComMap(const std::string& strMapPath) {
  std::map<std::string, int> map;
  std::ifstream in(strMapPath);
  bool bInSection = false;
  for (std::string line; std::getline(in, line);) {
    line = TrimBlanks(line);
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      bInSection = EqualsNoCase(TrimBlanks(line.substr(1, line.find(']') - 1)), kMapSection);
      continue;
    }
    const size_t eq = line.find('=');
    if (!bInSection || eq == std::string::npos) continue;
    const int n = std::atoi(line.c_str() + eq + 1);
    if (n >= 1 && n <= kLastCom) map.emplace(TrimBlanks(line.substr(0, eq)), n);
  }
  return map;
}

int ComNumberInName(const std::string& strName) {
  const size_t pos = strName.find("(COM");
  int n = 0;
  if (pos == std::string::npos || std::sscanf(strName.c_str() + pos, "(COM%d)", &n) != 1) return 0;
  return n;
}

// Sorts by COM number, ports without one last, so that lists keep their order.
void AppendSorted(std::vector<std::pair<int, SSerInfo>>& found, std::list<SSerInfo>& ports) {
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
    return std::make_tuple(a.first == 0, a.first, a.second.m_strFriendly) <
           std::make_tuple(b.first == 0, b.first, b.second.m_strFriendly);
  });
  for (auto& [n, info] : found) ports.push_back(std::move(info));
}

void AddUsbPorts(std::list<SSerInfo>& ports) {
  const std::vector<platform::SUsbSerialPort> usb = platform::ListUsbSerialPorts();
  if (usb.empty()) return;  // do not create the map folder on machines without devices
  // Numbers the system gives are kept; the map numbers only the others.
  std::vector<std::string> paths;
  for (const auto& port : usb) {
    if (port.m_nSystemCom == 0) paths.push_back(port.m_strPhysPath);
  }
  const std::vector<int> mapped =
      paths.empty() ? std::vector<int>() : AssignComNumbers(ComMapPath(), paths);
  std::vector<int> nums;
  size_t nMapped = 0;
  for (const auto& port : usb)
    nums.push_back(port.m_nSystemCom > 0 ? port.m_nSystemCom : mapped[nMapped++]);
  std::vector<std::pair<int, SSerInfo>> found;
  for (size_t i = 0; i < usb.size(); ++i) {
    if (nums[i] == 0) continue;  // no number left to give it
    found.push_back({nums[i],
                     {usb[i].m_strDevNode, ComName(nums[i]),
                      FriendlyNameOf(usb[i], kUsbTablePath, nums[i]), usb[i].m_strPhysPath}});
  }
  AppendSorted(found, ports);
}

// Every symbolic link in $PHONE_PORTS_DIR is a port. Links come and go at any
// moment, so a link that cannot be read is simply not there. Where links are
// not at hand (Windows, or a link Wine shows as what it points to), an entry
// named "<description> (COM<n>)" that is not a folder offers
// the system's port COM<n> under that name.
void AddVirtualPorts(std::list<SSerInfo>& ports) {
  const char* pszDir = std::getenv("PHONE_PORTS_DIR");
  if (!pszDir || !*pszDir) return;
  std::vector<std::pair<int, SSerInfo>> found;
  std::error_code ec;
  for (fs::directory_iterator it(pszDir, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code ecLink;
    const std::string strName = it->path().filename().string();
    const int n = ComNumberInName(strName);
    fs::path target;
    if (it->is_symlink(ecLink)) {
      target = fs::read_symlink(it->path(), ecLink);
      if (ecLink) continue;
      if (target.is_relative()) target = fs::path(pszDir) / target;
    } else if (n > 0 && !it->is_directory(ecLink)) {
      target = n <= 9 ? ComName(n) : "\\\\.\\" + ComName(n);
    } else {
      continue;
    }
    found.push_back({n, {target.string(), n > 0 ? ComName(n) : "", strName, ""}});
  }
  AppendSorted(found, ports);
}

// True when the port cannot be opened exclusively now; a port that can is
// closed again at once.
bool IsBusy(const SSerInfo& port, const SPortPolicy& policy) {
  int err = 0;
  if (platform::OpenSerialDevice(port.m_strOpenName, &err)) return false;
  if (policy.bLogBusyPorts) {
    const char* pszName = port.m_strFriendly.c_str();
    WriteOperateLog("INVALID_HANDLE_VALUE %s,err:%d", pszName, err);
    WritePortLog(GadgetComNumber(port.m_strFriendly), kLogAlways, "INVALID_HANDLE_VALUE %s,err:%d",
                 pszName, err);
  }
  return true;
}

}  // namespace

std::string FriendlyNameOf(const platform::SUsbSerialPort& port, const std::string& strTablePath,
                           int nCom) {
  const std::string strIds = port.m_strVendorId + ":" + port.m_strProductId;
  std::string strDesc = IniGetString(strIds, "DESCRIPTION", "", strTablePath);
  if (strDesc.empty() && strIds == "0525:a4a7") strDesc = "Gadget Serial";
  if (strDesc.empty()) strDesc = TrimBlanks(port.m_strProduct);
  return strDesc.empty() ? ComName(nCom) : strDesc + " (" + ComName(nCom) + ")";
}

std::string ComMapPath() {
  if (const char* psz = std::getenv("PHONE_COM_MAP"); psz && *psz) return psz;
  fs::path dir;
  if (const char* psz = std::getenv("XDG_STATE_HOME"); psz && *psz) {
    dir = psz;
  } else {
    const char* pszHome = std::getenv("HOME");
    dir = fs::path(pszHome && *pszHome ? pszHome : ".") / ".local/state";
  }
  dir /= "norq";
  std::error_code ec;
  fs::create_directories(dir, ec);  // when it fails, numbers are still given, just not kept
  return (dir / "com-ports.ini").string();
}

std::vector<int> AssignComNumbers(const std::string& strMapPath,
                                  const std::vector<std::string>& physPaths) {
  std::lock_guard lock(g_mapMutex);
  CMapLock fileLock(strMapPath);
  std::map<std::string, int> map = ReadComMap(strMapPath);
  std::set<int> used;
  for (const auto& [path, n] : map) used.insert(n);
  std::vector<int> nums;
  for (const std::string& path : physPaths) {
    auto it = map.find(path);
    if (it == map.end()) {
      int n = kFirstFreeCom;
      while (n <= kLastCom && used.count(n)) ++n;
      if (n > kLastCom) {
        nums.push_back(0);
        continue;
      }
      used.insert(n);
      it = map.emplace(path, n).first;
      IniWriteString(kMapSection, path, std::to_string(n), strMapPath);
    }
    nums.push_back(it->second);
  }
  return nums;
}

int GadgetComNumber(const std::string& strFriendly) {
  int n = 0;
  if (std::sscanf(strFriendly.c_str(), "Gadget Serial (COM%d)", &n) != 1) return 0;
  return n;
}

void ListSerialPorts(std::list<SSerInfo>& ports, bool bLeaveOutBusy, const SPortPolicy& policy) {
  ports.clear();
  AddUsbPorts(ports);
  AddVirtualPorts(ports);
  // Only a phone is ever listed: the busy test below opens each port
  // exclusively and switches it to raw mode, which a barcode scanner, a GPS
  // receiver or a modem on the same station must never suffer.
  std::erase_if(ports, [](const SSerInfo& port) {
    return port.m_strFriendly.find(kPhonePortName) == std::string::npos;
  });
  if (bLeaveOutBusy) {
    std::erase_if(ports, [&policy](const SSerInfo& port) { return IsBusy(port, policy); });
  }
}

std::string DeviceOfComPort(int nPort) {
  std::list<SSerInfo> ports;
  ListSerialPorts(ports, false);
  const std::string strCom = ComName(nPort);
  for (const SSerInfo& port : ports) {
    if (port.m_strComName == strCom) return port.m_strOpenName;
  }
  return {};
}
