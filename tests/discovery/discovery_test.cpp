#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <tuple>

#include "common/ini_file.h"
#include "common/op_log.h"
#include "common/text.h"
#include "platform/serial_device.h"
#include "platform/usb_serial_ports.h"
#include "port_event_log.h"
#include "serial/port_discovery.h"
#include "serial/port_naming.h"
#include "serial/port_watcher.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// A pseudo-terminal whose slave side stands in for a phone's serial device.
class CPty {
 public:
  CPty() : m_fdMaster(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    if (m_fdMaster < 0 || grantpt(m_fdMaster) != 0 || unlockpt(m_fdMaster) != 0) {
      throw std::runtime_error("no pseudo-terminal");
    }
    m_strSlave = ptsname(m_fdMaster);
  }
  ~CPty() { close(m_fdMaster); }
  const std::string& Slave() const { return m_strSlave; }

 private:
  int m_fdMaster;  // kept open so that the slave stays usable
  std::string m_strSlave;
};

std::string ReadFile(const std::string& strPath) {
  std::ifstream in(strPath);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> ComNames(const std::list<SSerInfo>& ports) {
  std::vector<std::string> names;
  for (const SSerInfo& port : ports) names.push_back(port.m_strComName);
  return names;
}

std::list<SSerInfo> List(bool bLeaveOutBusy, bool bLogBusy = true) {
  std::list<SSerInfo> ports{{"stale", "COM99", "stale", ""}};  // must be emptied first
  ListSerialPorts(ports, bLeaveOutBusy, SPortPolicy{.bLogBusyPorts = bLogBusy});
  return ports;
}

class DiscoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/discovery_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    m_strDir = tmpl;
    m_strPorts = m_strDir + "/ports";
    fs::create_directory(m_strPorts);
    setenv("PHONE_PORTS_DIR", m_strPorts.c_str(), 1);
    // Keep real devices of a developer's machine out of the user's own map.
    setenv("PHONE_COM_MAP", (m_strDir + "/com-ports.ini").c_str(), 1);
    InitLogFolders(m_strDir);
    g_bOpenDebug = true;  // so that a missing operation-log line is a real absence
  }
  void TearDown() override {
    g_bOpenDebug = false;
    unsetenv("PHONE_PORTS_DIR");
    unsetenv("PHONE_COM_MAP");
    fs::remove_all(m_strDir);
  }
  void AddLink(const std::string& strName, const std::string& strTarget) {
    fs::create_symlink(strTarget, m_strPorts + "/" + strName);
  }

  std::string m_strDir;
  std::string m_strPorts;
};

TEST_F(DiscoveryTest, ListsEveryPhoneLinkByNameWithItsTargetInComOrder) {
  CPty pty9, pty10, pty11;
  AddLink("Gadget Serial (COM10)", pty10.Slave());
  AddLink("Gadget Serial (COM9)", pty9.Slave());
  AddLink("Foo Modem (COM11)", pty11.Slave());
  std::ofstream(m_strPorts + "/notes.txt") << "not a port";

  std::vector<std::tuple<std::string, std::string, std::string, int>> seen;
  for (const SSerInfo& p : List(false)) {
    seen.emplace_back(p.m_strComName, p.m_strFriendly, p.m_strOpenName,
                      GadgetComNumber(p.m_strFriendly));
  }
  // Another serial device is no phone: never listed, so never opened.
  EXPECT_EQ(seen, (decltype(seen){{"COM9", "Gadget Serial (COM9)", pty9.Slave(), 9},
                                  {"COM10", "Gadget Serial (COM10)", pty10.Slave(), 10}}));
  EXPECT_EQ(DeviceOfComPort(10), pty10.Slave());
  EXPECT_EQ(DeviceOfComPort(11), "");
  EXPECT_EQ(DeviceOfComPort(12), "");
}

// Where links are not at hand (a Windows station offering simulated phones
// on mapped COM ports) an entry named after the port offers that COM port.
TEST_F(DiscoveryTest, EntryThatIsNoLinkOffersTheComPortItIsNamedAfter) {
  std::ofstream(m_strPorts + "/Gadget Serial (COM12)");
  std::ofstream(m_strPorts + "/Gadget Serial (COM7)");
  fs::create_directory(m_strPorts + "/Gadget Serial (COM4)");
  std::vector<std::tuple<std::string, std::string, std::string>> seen;
  for (const SSerInfo& p : List(false))
    seen.emplace_back(p.m_strComName, p.m_strFriendly, p.m_strOpenName);
  EXPECT_EQ(seen, (decltype(seen){{"COM7", "Gadget Serial (COM7)", "COM7"},
                                  {"COM12", "Gadget Serial (COM12)", "\\\\.\\COM12"}}));
}

TEST_F(DiscoveryTest, BusyPortLeftOutOnlyWhenAskedAndLoggedOnlyByDownloadTool) {
  CPty pty9, pty10;
  AddLink("Gadget Serial (COM9)", pty9.Slave());
  AddLink("Gadget Serial (COM10)", pty10.Slave());
  int err = 0;
  auto pHeld = platform::OpenSerialDevice(pty9.Slave(), &err);  // another worker's port
  ASSERT_TRUE(pHeld);

  EXPECT_EQ(ComNames(List(false)), (std::vector<std::string>{"COM9", "COM10"}));
  EXPECT_EQ(ComNames(List(true)), (std::vector<std::string>{"COM10"}));
  // The free port was only tried, and is free again.
  EXPECT_TRUE(platform::OpenSerialDevice(pty10.Slave(), &err));

  EXPECT_FALSE(platform::OpenSerialDevice(pty9.Slave(), &err));
  const std::string strLine = FormatText("INVALID_HANDLE_VALUE Gadget Serial (COM9),err:%d\n", err);
  EXPECT_EQ(ReadFile(PortLogPath(9)), strLine);
  EXPECT_EQ(ReadFile(OperateLogPath()), strLine);

  // The writer tool leaves it out too, but logs nothing.
  fs::remove_all(m_strDir + "/log");
  InitLogFolders(m_strDir);
  EXPECT_EQ(ComNames(List(true, false)), (std::vector<std::string>{"COM10"}));
  EXPECT_FALSE(fs::exists(PortLogPath(9)));
  EXPECT_FALSE(fs::exists(OperateLogPath()));

  pHeld.reset();
  EXPECT_EQ(ComNames(List(true)), (std::vector<std::string>{"COM9", "COM10"}));
}

TEST_F(DiscoveryTest, WatcherReportsArrivalsAndRemovals) {
  CPty pty9, pty10;
  AddLink("Gadget Serial (COM10)", pty10.Slave());  // present before: not reported
  CPortEventLog log;
  CPortWatcher watcher(
      [&log](bool bArrived, const std::string& strCom) { log.Add(bArrived, strCom); });

  AddLink("Gadget Serial (COM9)", pty9.Slave());
  EXPECT_TRUE(log.WaitForEvent("+COM9", 10s)) << "+COM9";

  fs::rename(m_strPorts + "/Gadget Serial (COM9)", m_strPorts + "/Gadget Serial (COM12)");
  EXPECT_TRUE(log.WaitForEvent("-COM9", 10s)) << "-COM9";
  EXPECT_TRUE(log.WaitForEvent("+COM12", 10s)) << "+COM12";

  fs::remove(m_strPorts + "/Gadget Serial (COM12)");
  EXPECT_TRUE(log.WaitForEvent("-COM12", 10s)) << "-COM12";

  EXPECT_EQ(log.Events(), (std::vector<std::string>{"+COM9", "-COM9", "+COM12", "-COM12"}));
}

TEST_F(DiscoveryTest, ComMapKeepsNumbersAndGivesLowestFreeFromThree) {
  const std::string strMap = m_strDir + "/map.ini";
  IniWriteString("ports", "/devices/a", "3", strMap);
  IniWriteString("ports", "/devices/b", "5", strMap);
  IniWriteString("ports", "/devices/low", "1", strMap);

  EXPECT_EQ(AssignComNumbers(strMap, {"/devices/c", "/devices/b", "/devices/d", "/devices/c"}),
            (std::vector<int>{4, 5, 6, 4}));
  EXPECT_EQ(AssignComNumbers(strMap, {"/devices/d", "/devices/e", "/devices/a"}),
            (std::vector<int>{6, 7, 3}));
  EXPECT_EQ(IniGetInt("ports", "/devices/c", 0, strMap), 4);

  // Every number up to 255 taken: a new path gets none, known ones keep theirs.
  for (int n = 8; n <= 255; ++n) {
    std::ofstream(strMap, std::ios::app) << "/devices/x" << n << "=" << n << "\n";
  }
  EXPECT_EQ(AssignComNumbers(strMap, {"/devices/new", "/devices/x255"}),
            (std::vector<int>{0, 255}));
}

TEST_F(DiscoveryTest, ComMapGivesDistinctNumbersToProcessesAssigningAtOnce) {
  const std::string strMap = m_strDir + "/map.ini";
  constexpr int kEach = 60;
  int fdsReady[2];
  ASSERT_EQ(pipe(fdsReady), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  // Both start together, so that their assignments overlap.
  char c = 0;
  const bool bTogether = pid == 0 ? write(fdsReady[1], &c, 1) == 1 : read(fdsReady[0], &c, 1) == 1;
  close(fdsReady[0]);
  close(fdsReady[1]);
  const std::string strWho = pid == 0 ? "child" : "parent";
  for (int i = 0; i < kEach; ++i)
    AssignComNumbers(strMap, {"/devices/" + strWho + std::to_string(i)});
  if (pid == 0) _exit(0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(bTogether);

  std::vector<std::string> all;
  for (int i = 0; i < kEach; ++i) {
    all.push_back("/devices/child" + std::to_string(i));
    all.push_back("/devices/parent" + std::to_string(i));
  }
  const std::vector<int> nums = AssignComNumbers(strMap, all);
  const std::set<int> distinct(nums.begin(), nums.end());
  EXPECT_EQ(distinct.size(), all.size());
  EXPECT_EQ(*distinct.begin(), 3);
  EXPECT_EQ(*distinct.rbegin(), 2 + 2 * kEach);  // no gaps: nobody took a number twice
}

TEST_F(DiscoveryTest, FriendlyNameFromIdTableElseBuiltInElseProduct) {
  const std::string strTable = m_strDir + "/usbdevices.ini";
  const platform::SUsbSerialPort gadget{"/dev/ttyACM0", "/devices/u1", "0525", "a4a7",
                                        "Gadget Serial v2.4"};
  const platform::SUsbSerialPort modem{"/dev/ttyACM1", "/devices/u2", "1234", "5678", "Foo Modem"};
  const platform::SUsbSerialPort bare{"/dev/ttyACM2", "/devices/u3", "1234", "9999", ""};
  EXPECT_EQ(FriendlyNameOf(gadget, strTable, 12), "Gadget Serial (COM12)");
  EXPECT_EQ(FriendlyNameOf(modem, strTable, 5), "Foo Modem (COM5)");
  EXPECT_EQ(FriendlyNameOf(bare, strTable, 7), "COM7");

  IniWriteString("0525:a4a7", "DESCRIPTION", "Loader Port", strTable);
  IniWriteString("1234:5678", "DESCRIPTION", "Bar Port", strTable);
  EXPECT_EQ(FriendlyNameOf(gadget, strTable, 12), "Loader Port (COM12)");
  EXPECT_EQ(FriendlyNameOf(modem, strTable, 5), "Bar Port (COM5)");
}

TEST_F(DiscoveryTest, SystemUsbDevicesListWithoutErrorEvenWhenNone) {
  auto isHex4 = [](const std::string& s) {
    return s.size() == 4 && s.find_first_not_of("0123456789abcdef") == std::string::npos;
  };
  for (const platform::SUsbSerialPort& port : platform::ListUsbSerialPorts()) {
    EXPECT_FALSE(port.m_strDevNode.empty());
    EXPECT_FALSE(port.m_strPhysPath.empty());
    EXPECT_TRUE(isHex4(port.m_strVendorId)) << port.m_strVendorId;
    EXPECT_TRUE(isHex4(port.m_strProductId)) << port.m_strProductId;
  }
  unsetenv("PHONE_PORTS_DIR");
  for (const SSerInfo& port : List(false)) {
    EXPECT_EQ(port.m_strComName.rfind("COM", 0), 0u);
    EXPECT_FALSE(port.m_strFriendly.empty());
  }
}

}  // namespace
