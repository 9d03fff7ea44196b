// The port worker end to end: packages downloaded into simulated phones found
// through PHONE_PORTS_DIR, removals reported by the hot-plug watcher as the
// window reports them.

#include "quillport/worker/download_thread.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <thread>

#include "common/op_log.h"
#include "pty_phone.h"
#include "quillport/package/download_package.h"
#include "quillport/package/pack_writer.h"
#include "quillport/worker/worker_texts.h"
#include "recording_row_ui.h"
#include "serial/port_watcher.h"
#include "common/digest.h"
#include "sim/sim_phone.h"
#include "sim_socket.h"
#include "wait_until.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr int kCom = 31;
constexpr char kPortText[] = "端口 31";

size_t CountEntries(const char* pszDir) {
  const fs::directory_iterator it(pszDir);
  return static_cast<size_t>(std::distance(fs::begin(it), fs::end(it)));
}

Bytes Pattern(size_t n, uint32_t nSeed) {
  Bytes b(n);
  for (uint8_t& x : b) x = static_cast<uint8_t>((nSeed = nSeed * 1664525 + 1013904223) >> 24);
  return b;
}

std::vector<uint32_t> Split(uint32_t nSize, uint32_t nChunk) {
  std::vector<uint32_t> chunks;
  for (uint32_t n = 0; n < nSize; n += nChunk) chunks.push_back(std::min(nChunk, nSize - n));
  return chunks;
}

// Counts the opens of watched files, whoever makes them, from the moment the
// watch is added.
class COpenCounter {
 public:
  COpenCounter() : m_fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
  ~COpenCounter() { close(m_fd); }
  COpenCounter(const COpenCounter&) = delete;
  COpenCounter& operator=(const COpenCounter&) = delete;
  // Closes are watched too: the kernel merges an event into an identical
  // unread one, and open-close pairs never are.
  int Watch(const std::string& strPath) {
    return inotify_add_watch(m_fd, strPath.c_str(), IN_OPEN | IN_CLOSE);
  }
  int Opens(int nWatch) {
    alignas(inotify_event) char buf[4096];
    for (ssize_t n; (n = read(m_fd, buf, sizeof buf)) > 0;) {
      for (const char* p = buf; p < buf + n;) {
        const auto* pEvent = reinterpret_cast<const inotify_event*>(p);
        m_opens[pEvent->wd] += (pEvent->mask & IN_OPEN) != 0;
        p += sizeof(inotify_event) + pEvent->len;
      }
    }
    return m_opens[nWatch];
  }

 private:
  int m_fd;
  std::map<int, int> m_opens;
};

struct SImage {
  const char* pszName;
  uint32_t nSize;
  uint32_t dwPackLen;  // as packed: bytes for the loaders, kilobytes for the rest
  int32_t nFileKb;     // PACKLEN of the file list
  uint32_t dwAddr;     // nonzero: sent by address and executed
  uint32_t dwChunk;    // what the phone must see, given its units (modem 2112, others 2048)
};
constexpr SImage kImages[] = {
    {"PDL1", 9000, 4096, 4, 0x80000000, 4096}, {"PDL2", 20000, 4096, 4, 0x80100000, 4096},
    {"modem", 300000, 128, 128, 0, 135168},     // 2112 units: 32 steps of 4224
    {"system", 700000, 128, 256, 0, 262144},    // file list asks for more, image is larger
    {"userdata", 100000, 128, 128, 0, 131072},  // one short chunk
    {"boot", 70000, 128, 64, 0, 131072},        // file list asks for less
    {"cache", 10000, 4, 4, 0, 4096},            // reported but not sized: kilobytes
};
constexpr size_t kImageCount = std::size(kImages);
constexpr size_t kSystem = 3;

class DownloadWorker : public ::testing::Test {
 protected:
  void SetUp() override {
    // The thread sanitizer starts a helper thread of its own with the first thread.
    std::thread([] {}).join();
    m_nFdsBefore = CountEntries("/proc/self/fd");
    m_nThreadsBefore = CountEntries("/proc/self/task");
    InitLogFolders(m_logs.Path());
    setenv("PHONE_PORTS_DIR", m_ports.Path().c_str(), 1);
    setenv("PHONE_COM_MAP", (m_logs.Path() + "/com-ports.ini").c_str(), 1);
    m_settings.m_bFormatFlash = true;

    std::vector<SPackImage> images;
    for (size_t i = 0; i < kImageCount; ++i) {
      const SImage& img = kImages[i];
      m_images.push_back(Pattern(img.nSize, static_cast<uint32_t>(i + 1)));
      const std::string strFile = m_pkg.Path() + "/" + img.pszName + ".img";
      std::ofstream(strFile, std::ios::binary)
          .write(reinterpret_cast<const char*>(m_images.back().data()), img.nSize);
      images.push_back(
          {img.pszName, strFile, img.dwAddr, img.dwAddr != 0, img.dwAddr != 0, img.dwPackLen});
      m_settings.m_fileList.emplace_back();
      m_settings.m_fileList.back().m_nPackLen = img.nFileKb;
    }
    m_strPackPath = m_pkg.Path() + "/test_norq_total.bin";
    std::string strError;
    ASSERT_TRUE(WritePackage(m_strPackPath, images, &strError)) << strError;
  }

  void TearDown() override {
    m_pWatcher.reset();  // first: it calls into the worker
    m_pWorker.reset();
    m_pSocket.reset();
    m_pPackage.reset();  // its file is open while it lives
    unsetenv("PHONE_PORTS_DIR");
    unsetenv("PHONE_COM_MAP");
    g_bOpenDebug = false;
    // A joined thread may still be listed for a moment while the kernel
    // finishes it, longer on a loaded machine.
    EXPECT_TRUE(
        WaitUntil([this] { return CountEntries("/proc/self/task") == m_nThreadsBefore; }, 10s))
        << "threads left behind";
    EXPECT_EQ(CountEntries("/proc/self/fd"), m_nFdsBefore) << "descriptors left open";
  }

  void Plug(int nPhones, const std::vector<const char*>& faults) {
    m_pSocket = StartSimSocket(
        {.strPortsDir = m_ports.Path(), .nCom = kCom, .nPhones = nPhones, .nReplugDelayMs = 300},
        faults);
    ASSERT_TRUE(m_pSocket);
  }

  // Creates the worker and starts its run on the package as loaded with the
  // settings as they are now, to be read from strPackPath, with the window's
  // removal reports.
  void StartWorker(const std::string& strPackPath, bool bReportRemovals = true) {
    m_pWorker = std::make_unique<CDownloadThread>(m_ui, 0);
    if (bReportRemovals) AddRemovalReports();
    const std::shared_ptr<const CDownloadPackage> pLoaded = LoadPackage(m_strPackPath, m_settings);
    ASSERT_TRUE(pLoaded);
    // Another path: a package made without its file, as none can be read.
    m_pPackage = strPackPath == m_strPackPath ? pLoaded
                                              : std::make_shared<const CDownloadPackage>(
                                                    strPackPath, pLoaded->Entries(), m_settings);
    m_stop.SetStop(false);
    m_pWorker->SetLinkPolicy(DownloadLinkPolicy(3000, m_settings.m_dwDebugFlags));
    ASSERT_TRUE(m_pWorker->PostStart(0, &m_stop, m_pPackage));
  }
  void AddRemovalReports() {
    m_pWatcher = std::make_unique<CPortWatcher>([this](bool bArrived, const std::string& strCom) {
      if (bArrived) return m_pWorker->WakePortSearch();
      int n = 0;
      if (std::sscanf(strCom.c_str(), "COM%d", &n) == 1 && n > 0 && m_pWorker->GetPort() == n) {
        m_pWorker->SetPortRemoved();
      }
    });
  }

  // Waits until the socket has no phones left and the worker looks for the next one.
  void WaitForAllPhones(int nPhones) {
    ASSERT_TRUE(m_pSocket->WaitDone(90000));
    ASSERT_TRUE(m_ui.WaitForType(TYPE_UI_INIT, static_cast<size_t>(nPhones) + 1));
  }

  void ExpectPhoneGotPackage(const sim::SPhoneReport& rep) {
    EXPECT_TRUE(rep.bPassed) << rep.strDetail;
    EXPECT_EQ(rep.eOutcome, sim::EOutcome::PoweredOff);
    EXPECT_EQ(rep.strPartitionTable, "modem,system,userdata,boot,cache");
    EXPECT_TRUE(rep.bFormatRequested);
    ASSERT_EQ(rep.images.size(), kImageCount);
    for (size_t i = 0; i < kImageCount; ++i) {
      const SImage& img = kImages[i];
      SCOPED_TRACE(img.pszName);
      EXPECT_EQ(rep.images[i].strName, img.dwAddr ? "" : img.pszName);
      EXPECT_EQ(rep.images[i].nAddr, img.dwAddr ? img.dwAddr : pdl::kNameMarker);
      EXPECT_EQ(rep.images[i].strSha256, Sha256Hex(m_images[i]));
      EXPECT_EQ(rep.images[i].chunkSizes, Split(img.nSize, img.dwChunk));
      EXPECT_EQ(rep.images[i].bExecuted, img.dwAddr != 0);
    }
  }

  // The notifications, less the sent type 6 of the removal wait: that one
  // shows only when the phone was still listed as the wait began, and the
  // simulated phone goes at once when powered off or unplugged.
  std::vector<CRecordingRowUi::SNote> NotesBesideRemovalWait() const {
    std::vector<CRecordingRowUi::SNote> notes;
    for (const CRecordingRowUi::SNote& note : m_ui.Notes()) {
      if (note.notify.m_nType != TYPE_UI_DETECTED || !note.bSend) {
        notes.push_back(note);
        continue;
      }
      EXPECT_EQ(note.notify.m_strMsg, "");
      const int32_t nBefore = notes.empty() ? 0 : notes.back().notify.m_nType;
      EXPECT_TRUE(nBefore == TYPE_UI_PASS || nBefore == TYPE_UI_ERR || nBefore == TYPE_UI_DETECTED)
          << "a removal wait after type " << nBefore;
    }
    return notes;
  }
  std::vector<int32_t> TypesBesideRemovalWait() const {
    std::vector<int32_t> types;
    for (const CRecordingRowUi::SNote& note : NotesBesideRemovalWait()) {
      types.push_back(note.notify.m_nType);
    }
    return types;
  }

  std::string PortLog() const {
    std::ifstream in(PortLogPath(kCom));
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  size_t m_nFdsBefore = 0, m_nThreadsBefore = 0;
  CTempDir m_logs, m_ports, m_pkg;
  std::vector<Bytes> m_images;
  std::string m_strPackPath;
  SDownloadSettings m_settings;
  std::shared_ptr<const CDownloadPackage> m_pPackage;
  SStopBlock m_stop;
  CRecordingRowUi m_ui;
  std::unique_ptr<sim::CSimSocket> m_pSocket;
  std::unique_ptr<CDownloadThread> m_pWorker;
  std::unique_ptr<CPortWatcher> m_pWatcher;
};

TEST_F(DownloadWorker, ServesPhoneAfterPhoneOnOneRow) {
  g_bOpenDebug = true;
  m_settings.m_dwDebugFlags = 5;
  Plug(2, {});
  // A new start that clears the stop flag after the run saw it, before the run ended.
  m_ui.m_fnOnStopTimer = [this] { m_stop.SetStop(false); };
  StartWorker(m_strPackPath);
  WaitForAllPhones(2);
  m_stop.SetStop(true);
  ASSERT_TRUE(m_ui.WaitForType(TYPE_UI_FINISH));

  const std::vector<sim::SPhoneReport> reports = m_pSocket->Reports();
  ASSERT_EQ(reports.size(), 2u);
  for (const sim::SPhoneReport& rep : reports) {
    ExpectPhoneGotPackage(rep);
    EXPECT_EQ(rep.debugFlags, std::vector<uint32_t>{5});
  }
  // The reconciliation of the first phone stays in the row's directory; the
  // package the row was started with keeps what the file said.
  ASSERT_FALSE(m_pWorker->IsBusy());
  for (size_t i = 2; i < kImageCount; ++i) {
    EXPECT_EQ(m_pWorker->PackList()[i].m_dwPackLen, kImages[i].dwChunk) << kImages[i].pszName;
    EXPECT_EQ(m_pPackage->Entries()[i].m_dwPackLen, kImages[i].dwPackLen) << kImages[i].pszName;
  }
  EXPECT_EQ(m_pPackage.use_count(), 1) << "the ended run still holds its package";

  struct SExpected {
    int32_t nType;
    bool bSend;
    const char* pszPort;
  };
  const SExpected expected[] = {{1, true, "端口"},    {4, true, kPortText}, {1, true, "端口"},
                                {4, true, kPortText}, {1, true, "端口"},    {3, true, "端口"},
                                {7, false, "端口"}};
  const std::vector<CRecordingRowUi::SNote> notes = NotesBesideRemovalWait();
  ASSERT_EQ(notes.size(), std::size(expected)) << testing::PrintToString(m_ui.Types());
  for (size_t i = 0; i < notes.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(notes[i].notify.m_nType, expected[i].nType);
    EXPECT_EQ(notes[i].bSend, expected[i].bSend);
    EXPECT_EQ(notes[i].notify.m_strPort, expected[i].pszPort);
    EXPECT_EQ(notes[i].notify.m_strMsg, "");
    EXPECT_EQ(notes[i].notify.m_nIndex, 0);
  }
  EXPECT_EQ(m_ui.BoxText(ERowBox::State), "[7 of 7] cache");
  EXPECT_EQ(m_ui.BoxText(ERowBox::Status), "cache 下载中...");
  EXPECT_EQ(m_ui.DotColor(), COLOR_BUSY);
  const std::vector<int> progress = m_ui.Progress();
  EXPECT_EQ(progress.front(), -1);
  for (int n : {0, 100}) EXPECT_NE(std::find(progress.begin(), progress.end(), n), progress.end());
  EXPECT_TRUE(
      std::all_of(progress.begin(), progress.end(), [](int n) { return n >= -1 && n <= 100; }));
  EXPECT_TRUE(WaitUntil([this] { return !m_pWorker->IsBusy(); }, 10s));
  EXPECT_TRUE(m_pWorker->HasPassed());
  EXPECT_NE(PortLog().find("UpdateImageListInfo 5"), std::string::npos);
}

struct SFailCase {
  const char* pszName;
  std::vector<const char*> faults;
  int nPhones;  // phones plugged one after another; the second must pass
  bool bMissingPackage;
  int32_t nSystemFileKb;  // PACKLEN of system in the file list
  std::string strFail;
  std::vector<int32_t> types;  // stop set once every phone left; without the removal waits
};

void PrintTo(const SFailCase& c, std::ostream* pOut) {
  *pOut << c.pszName;
}

// A failed phone still answering is probed until it goes: the connect probe
// after the first failure unplugs it (the second connect of that phone).
constexpr char kUnplugOnProbe[] = "cmd=connect,nth=2,unplug,phone=1";

const SFailCase kFailCases[] = {
    {"NonAckCodeMidImage",
     {"cmd=mid,image=system,chunk=2,code=9,phone=1", kUnplugOnProbe},
     2,
     false,
     256,
     "Get data[ACK] command failed!",
     {1, 5, 6, 1, 4, 1, 2}},
    {"UnpluggedMidImage",
     {"image=system,unplug-after=300000,phone=1"},
     2,
     false,
     256,
     "Get data[ACK] command failed!",
     {1, 5, 1, 4, 1, 2}},
    {"FailureReplyToEnd",
     {"cmd=end,image=modem,fail,phone=1", kUnplugOnProbe},
     2,
     false,
     256,
     "Get end[ACK] command failed!",
     {1, 5, 6, 1, 4, 1, 2}},
    {"NoImageInformation",
     {"attr=empty,phone=1", kUnplugOnProbe},
     2,
     false,
     256,
     "Image信息读取失败!",
     {1, 5, 6, 1, 4, 1, 2}},
    // Claims 4 GiB at a pace that each read's limits would let through.
    {"OversizedImageInformation",
     {"cmd=attr,data-size=4294967295,drip=5000,phone=1", kUnplugOnProbe},
     2,
     false,
     256,
     "Image信息读取失败!",
     {1, 5, 6, 1, 4, 1, 2}},
    {"ConnectRefused",
     {"cmd=connect,nth=1,code=3,phone=1", kUnplugOnProbe},
     2,
     false,
     256,
     "Get connect[ACK] command failed!",
     {1, 5, 6, 1, 4, 1, 2}},
    {"PackageFileMissing", {kUnplugOnProbe}, 1, true, 256, "下载bin文件不存在!", {1, 5, 6, 1, 2}},
    {"ChunkBeyondThePacketBuffer",
     {kUnplugOnProbe},
     1,
     false,
     512,
     "Invalid chunk length 524288 for system!",
     {1, 5, 6, 1, 2}},
};

class DownloadWorkerFailure : public DownloadWorker,
                              public ::testing::WithParamInterface<SFailCase> {};

TEST_P(DownloadWorkerFailure, ShowsTheFailureWaitsForRemovalAndGoesOn) {
  const SFailCase& c = GetParam();
  m_settings.m_fileList[kSystem].m_nPackLen = c.nSystemFileKb;
  Plug(c.nPhones, c.faults);
  StartWorker(c.bMissingPackage ? m_pkg.Path() + "/gone_norq_total.bin" : m_strPackPath);
  WaitForAllPhones(c.nPhones);
  m_stop.SetStop(true);
  ASSERT_TRUE(m_ui.WaitForType(TYPE_UI_STOP));

  EXPECT_EQ(TypesBesideRemovalWait(), c.types);
  const std::vector<CRecordingRowUi::SNote> notes = NotesBesideRemovalWait();
  ASSERT_GE(notes.size(), 3u);
  const CRecordingRowUi::SNote& err = notes[1];
  EXPECT_EQ(err.notify.m_nType, TYPE_UI_ERR);
  EXPECT_FALSE(err.bSend);
  EXPECT_EQ(err.notify.m_strMsg, c.strFail);
  EXPECT_EQ(err.notify.m_strPort, kPortText);
  if (notes[2].notify.m_nType == TYPE_UI_DETECTED) {  // the phone answered the probe
    EXPECT_FALSE(notes[2].bSend);
    EXPECT_EQ(notes[2].notify.m_strMsg, c.strFail);
  }
  EXPECT_NE(PortLog().find(c.strFail), std::string::npos);
  EXPECT_NE(PortLog().find("---go to err!---"), std::string::npos);

  const std::vector<sim::SPhoneReport> reports = m_pSocket->Reports();
  ASSERT_EQ(reports.size(), static_cast<size_t>(c.nPhones));
  EXPECT_FALSE(reports[0].bPassed);
  if (c.nPhones == 2) ExpectPhoneGotPackage(reports[1]);
  EXPECT_TRUE(WaitUntil([this] { return !m_pWorker->IsBusy(); }, 10s));
  EXPECT_EQ(m_pWorker->HasPassed(), c.nPhones == 2);
  EXPECT_EQ(m_pWorker->GetPort(), -1);
}

INSTANTIATE_TEST_SUITE_P(Cases, DownloadWorkerFailure, ::testing::ValuesIn(kFailCases),
                         [](const auto& info) { return std::string(info.param.pszName); });

// Holds the first data packet of system unanswered for longer than any test.
constexpr char kStallSystem[] = "cmd=mid,image=system,chunk=1,stall=60000";

void WaitUntilInsideSystem(CRecordingRowUi& ui) {
  ASSERT_TRUE(ui.WaitFor([&] { return ui.m_boxText[ERowBox::Status] == "system 下载中..."; }));
  std::this_thread::sleep_for(500ms);  // into the unanswered data packet
}

TEST_F(DownloadWorker, APhoneStillListedAfterPowerOffIsWaitedForWithTypeSix) {
  sim::SPhoneConfig cfg;
  ASSERT_TRUE(sim::ApplySetting(cfg, "power-off-ms", "400", nullptr));
  m_pSocket = std::make_unique<sim::CSimSocket>(sim::SSocketOptions{.strPortsDir = m_ports.Path(),
                                                                    .nCom = kCom,
                                                                    .nPhones = 2,
                                                                    .nReplugDelayMs = 300,
                                                                    .phone = cfg});
  ASSERT_TRUE(m_pSocket->Start());
  StartWorker(m_strPackPath);
  ASSERT_TRUE(m_ui.WaitForType(TYPE_UI_INIT, 2)) << testing::PrintToString(m_ui.Types());
  m_stop.SetStop(true);
  ASSERT_TRUE(m_ui.WaitForType(TYPE_UI_STOP));
  // Pass, then the sent type 6 while the port is still there, then the next phone.
  const std::vector<int32_t> types = m_ui.Types();
  ASSERT_GE(types.size(), 4u);
  EXPECT_EQ(std::vector<int32_t>(types.begin(), types.begin() + 4),
            (std::vector<int32_t>{TYPE_UI_INIT, TYPE_UI_PASS, TYPE_UI_DETECTED, TYPE_UI_INIT}));
  EXPECT_TRUE(m_ui.Notes()[2].bSend);
  EXPECT_EQ(m_ui.Notes()[2].notify.m_strMsg, "");
}

TEST_F(DownloadWorker, StopDuringAnAcknowledgementEndsTheRunPromptly) {
  Plug(1, {kStallSystem});
  StartWorker(m_strPackPath);
  WaitUntilInsideSystem(m_ui);
  const Clock::time_point stopped = Clock::now();
  m_stop.SetStop(true);
  ASSERT_TRUE(m_ui.WaitForType(TYPE_UI_STOP, 1, 10000));
  EXPECT_LT(Clock::now() - stopped, 5s);
  EXPECT_EQ(m_pWorker->PhonesStopped(), 1) << "its port was open: the phone was cut short";

  // The wait fails with its step's text and the phone goes through the
  // failure handling (type 5, then type 6 as it still answers), which ends
  // the run on the stop flag; the phone is told as cut short by the stop.
  EXPECT_EQ(m_ui.Types(), (std::vector<int32_t>{1, 5, 6, 2}));
  const std::vector<CRecordingRowUi::SNote> notes = m_ui.Notes();
  ASSERT_EQ(notes.size(), 4u);
  EXPECT_FALSE(notes[1].bSend);
  EXPECT_EQ(notes[1].notify.m_strMsg, "Get data[ACK] command failed!");
  EXPECT_TRUE(notes[1].notify.m_bByStop);
  EXPECT_FALSE(notes.back().bSend);
  EXPECT_EQ(notes.back().notify.m_strMsg, "Get data[ACK] command failed!");
  EXPECT_NE(PortLog().find("Get data[ACK] command failed!\n---go to err!---\n"
                           "Post TYPE_UI_ERR m_nIndex:0\n"),
            std::string::npos)
      << PortLog();
  EXPECT_TRUE(WaitUntil([this] { return !m_pWorker->IsBusy(); }, 10s));
  EXPECT_EQ(m_pWorker->GetPort(), -1);
  EXPECT_FALSE(m_pWorker->HasPassed());
}

TEST_F(DownloadWorker, RunsReadTheFileTheyWereLoadedFromAndACutFileFailsThePhone) {
  // A hard link keeps a way to the loaded file once the path is given to another.
  const std::string strLoaded = m_pkg.Path() + "/loaded.bin";
  fs::create_hard_link(m_strPackPath, strLoaded);
  Plug(2, {"cmd=connect,nth=2,unplug,phone=2"});
  m_ui.m_fnOnNotify = [this, strLoaded, nCycles = 0](const UiNotify& notify) mutable {
    if (notify.m_nType != TYPE_UI_INIT) return;
    if (++nCycles == 1) {
      // Rows run: the package is rebuilt under its path with other bytes.
      const std::string strOther = m_pkg.Path() + "/other.bin";
      std::ofstream(strOther, std::ios::binary) << std::string(fs::file_size(strLoaded), 'X');
      fs::rename(strOther, m_strPackPath);
    } else if (nCycles == 2) {
      // The loaded file itself cut inside system.
      fs::resize_file(strLoaded, m_pPackage->Entries()[kSystem].m_dwOffset + 1000);
    }
  };
  StartWorker(m_strPackPath);
  WaitForAllPhones(2);
  m_stop.SetStop(true);
  ASSERT_TRUE(m_ui.WaitForType(TYPE_UI_STOP));

  const std::vector<sim::SPhoneReport> reports = m_pSocket->Reports();
  ASSERT_EQ(reports.size(), 2u);
  ExpectPhoneGotPackage(reports[0]);
  EXPECT_FALSE(reports[1].bPassed);
  ASSERT_EQ(reports[1].images.size(), kSystem + 1);
  EXPECT_FALSE(reports[1].images[kSystem].bEnded) << "no end command after a cut image";
  const std::vector<CRecordingRowUi::SNote> notes = NotesBesideRemovalWait();
  ASSERT_GE(notes.size(), 4u) << testing::PrintToString(m_ui.Types());
  EXPECT_EQ(notes[3].notify.m_nType, TYPE_UI_ERR);
  EXPECT_EQ(notes[3].notify.m_strMsg, worker_text::kPackageEnded);
}

TEST_F(DownloadWorker, AFailedPhoneThatStillAnswersKeepsTheRowWaiting) {
  Plug(2, {"cmd=mid,image=system,chunk=2,code=9,phone=1"});
  StartWorker(m_strPackPath);
  ASSERT_TRUE(m_ui.WaitForType(TYPE_UI_DETECTED));
  std::this_thread::sleep_for(1s);  // probes every 100 ms; the second phone never gets its turn
  const std::vector<CRecordingRowUi::SNote> notes = m_ui.Notes();
  ASSERT_EQ(notes.size(), 3u) << testing::PrintToString(m_ui.Types());
  EXPECT_EQ(notes[2].notify.m_nType, TYPE_UI_DETECTED);
  EXPECT_FALSE(notes[2].bSend);
  m_stop.SetStop(true);
  ASSERT_TRUE(m_ui.WaitForType(TYPE_UI_STOP));
  EXPECT_EQ(m_ui.Types(), (std::vector<int32_t>{1, 5, 6, 2}));

  m_pSocket->Stop();
  const std::vector<sim::SPhoneReport> reports = m_pSocket->Reports();
  ASSERT_EQ(reports.size(), 1u);
  const auto nConnects =
      std::count_if(reports[0].commands.begin(), reports[0].commands.end(),
                    [](const sim::SCommandRecord& rec) { return rec.nCmd == pdl::CMD_CONNECT; });
  EXPECT_GE(nConnects, 4) << "the phone was not probed while it answered";
}

TEST_F(DownloadWorker, APortRemovalTheWindowMissedDoesNotHoldTheRow) {
  Plug(2, {});
  StartWorker(m_strPackPath, false);
  WaitForAllPhones(2);
  for (const sim::SPhoneReport& rep : m_pSocket->Reports()) EXPECT_TRUE(rep.bPassed);
}

TEST_F(DownloadWorker, WithoutAPhoneStopEndsTheRunAndASecondStartIsDropped) {
  StartWorker(m_strPackPath);
  ASSERT_TRUE(m_pWorker->PostStart(0, &m_stop, m_pPackage));
  ASSERT_TRUE(m_ui.WaitForType(TYPE_UI_INIT));
  std::this_thread::sleep_for(300ms);  // search passes, each taking a pending message
  m_stop.SetStop(true);
  ASSERT_TRUE(m_ui.WaitForType(TYPE_UI_STOP, 1, 5000));
  EXPECT_TRUE(WaitUntil([this] { return !m_pWorker->IsBusy(); }, 10s));
  std::this_thread::sleep_for(300ms);  // a second run would have shown itself by now
  EXPECT_EQ(m_ui.Types(), (std::vector<int32_t>{1, 2}));
}

TEST_F(DownloadWorker, DestroyingAWorkerMidImageEndsItsRun) {
  Plug(1, {kStallSystem});
  StartWorker(m_strPackPath);
  WaitUntilInsideSystem(m_ui);
  m_pWatcher.reset();
  m_pWorker.reset();
  EXPECT_EQ(m_ui.Types().back(), TYPE_UI_STOP);
  // The threads and descriptors of the worker and its port are checked at tear-down.
}

}  // namespace

namespace {

// A terminal held by another program of the station, in its own mode.
class CHeldTerminal {
 public:
  CHeldTerminal() : m_master(posix_openpt(O_RDWR | O_NOCTTY)) {
    grantpt(m_master);
    unlockpt(m_master);
    m_strSlave = ptsname(m_master);
    m_held = open(m_strSlave.c_str(), O_RDWR | O_NOCTTY);
    tcgetattr(m_held, &m_mode);
  }
  ~CHeldTerminal() {
    close(m_held);
    close(m_master);
  }
  CHeldTerminal(const CHeldTerminal&) = delete;
  CHeldTerminal& operator=(const CHeldTerminal&) = delete;
  const std::string& Path() const { return m_strSlave; }
  bool Lock() { return flock(m_held, LOCK_EX | LOCK_NB) == 0; }
  bool ModeUnchanged() const {
    termios now{};
    tcgetattr(m_held, &now);
    return now.c_iflag == m_mode.c_iflag && now.c_oflag == m_mode.c_oflag &&
           now.c_cflag == m_mode.c_cflag && now.c_lflag == m_mode.c_lflag;
  }

 private:
  int m_master;
  int m_held = -1;
  std::string m_strSlave;
  termios m_mode{};
};

}  // namespace

TEST_F(DownloadWorker, OtherSerialDevicesOfTheStationAreNeverOpened) {
  // One locked by its program (a busy port), one merely open.
  CHeldTerminal modem, gps;
  ASSERT_TRUE(modem.Lock());
  fs::create_symlink(modem.Path(), m_ports.Path() + "/Foo Modem (COM11)");
  fs::create_symlink(gps.Path(), m_ports.Path() + "/GPS Receiver (COM12)");
  COpenCounter opens;
  const int nModem = opens.Watch(modem.Path()), nGps = opens.Watch(gps.Path());
  Plug(1, {});
  StartWorker(m_strPackPath);
  WaitForAllPhones(1);
  m_stop.SetStop(true);
  ASSERT_TRUE(m_ui.WaitForType(TYPE_UI_STOP));
  ExpectPhoneGotPackage(m_pSocket->Reports().at(0));

  EXPECT_EQ(opens.Opens(nModem), 0);
  EXPECT_EQ(opens.Opens(nGps), 0);
  EXPECT_TRUE(modem.ModeUnchanged());
  EXPECT_TRUE(gps.ModeUnchanged());
  EXPECT_FALSE(fs::exists(PortLogPath(0))) << "no busy line for a port without a phone";
  close(open(gps.Path().c_str(), O_RDWR | O_NOCTTY));  // the watch does see opens
  EXPECT_EQ(opens.Opens(nGps), 1);
}

TEST_F(DownloadWorker, APortThatWillNotOpenFailsAfterFiveAttempts) {
  // The search finds "(COM7)x" free, but an open of COM 7 leads to the first
  // port of that number, which another program holds locked.
  const std::string strHeld = m_pkg.Path() + "/held", strFree = m_pkg.Path() + "/free";
  std::ofstream(strHeld).put('h');
  std::ofstream(strFree).put('f');
  const int fdHeld = open(strHeld.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_EQ(flock(fdHeld, LOCK_EX | LOCK_NB), 0);
  fs::create_symlink(strHeld, m_ports.Path() + "/Gadget Serial (COM7)");
  fs::create_symlink(strFree, m_ports.Path() + "/Gadget Serial (COM7)x");
  COpenCounter opens;
  const int nHeld = opens.Watch(strHeld), nFree = opens.Watch(strFree);
  m_ui.m_fnOnNotify = [this](const UiNotify& notify) {
    if (notify.m_nType == TYPE_UI_ERR) m_stop.SetStop(true);
  };
  StartWorker(m_strPackPath, false);
  ASSERT_TRUE(m_ui.WaitForType(TYPE_UI_STOP));

  const std::vector<CRecordingRowUi::SNote> notes = m_ui.Notes();
  ASSERT_GE(notes.size(), 2u);
  EXPECT_EQ(notes[1].notify.m_nType, TYPE_UI_ERR);
  EXPECT_EQ(notes[1].notify.m_strMsg, worker_text::kPortOpenFailed);
  EXPECT_EQ(opens.Opens(nFree), 1) << "one search, which tried the free port once";
  EXPECT_EQ(opens.Opens(nHeld), 1 + 5) << "the search's busy test, then five attempts";
  close(fdHeld);
}
