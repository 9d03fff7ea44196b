// End to end: the write worker against simulated phones published through
// PHONE_PORTS_DIR, reporting to a recording window.

#include "tavlo/worker/write_thread.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>

#include "pdl/packet.h"
#include "pty_phone.h"
#include "recording_writer_ui.h"
#include "sim/sim_config.h"
#include "common/digest.h"
#include "sim/sim_phone.h"
#include "sim_socket.h"
#include "tavlo/factory/factory_data.h"
#include "tavlo/numbers/number_checks.h"
#include "wait_until.h"

namespace {

constexpr int kCom = 37;
const std::string kImei = AppendImeiCheckDigit("35209900176148");
const std::string kImei2 = AppendImeiCheckDigit("35209900176149");

std::vector<uint8_t> Pattern(size_t n, uint32_t nSeed) {
  std::vector<uint8_t> b(n);
  for (uint8_t& x : b) x = static_cast<uint8_t>((nSeed = nSeed * 1664525 + 1013904223) >> 24);
  return b;
}

using Lines = std::vector<std::pair<std::string, int>>;

class WriteThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("PHONE_PORTS_DIR", m_ports.Path().c_str(), 1);
    setenv("PHONE_COM_MAP", m_base.File("com-ports.ini").c_str(), 1);
    std::filesystem::create_directories(m_base.File("images"));
    m_settings.m_strImageDir = m_base.File("images");
    m_settings.m_strFactName = "factorydata";
    m_settings.m_nMagicNumber = 0x12345678;
    m_settings.m_bWriteImei = true;
    m_settings.m_nImeiInputType = INPUT_MANUAL;
    m_settings.m_nImeiCount = 1;
    m_ui.SetField(ENumberField::Imei1, kImei);
    WriteBootImage(10000);
  }
  void TearDown() override {
    m_pWorker.reset();
    m_pSocket.reset();
    unsetenv("PHONE_PORTS_DIR");
    unsetenv("PHONE_COM_MAP");
  }
  void WriteBootImage(size_t nSize) {
    m_bootImage = Pattern(nSize, static_cast<uint32_t>(nSize));
    std::ofstream out(m_base.File("images/boot_fact.bin"), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(m_bootImage.data()),
              static_cast<std::streamsize>(m_bootImage.size()));
  }
  void Plug(const std::vector<const char*>& faults, int nPhones = 1) {
    m_pSocket = StartSimSocket(
        {.strPortsDir = m_ports.Path(), .nCom = kCom, .nPhones = nPhones, .nReplugDelayMs = 300},
        faults);
    ASSERT_TRUE(m_pSocket);
  }
  void Start() {
    m_pWorker =
        std::make_unique<CWriteThread>(m_ui, m_settings, m_sources, m_histories, m_packet.data());
    ASSERT_TRUE(m_pWorker->PostStart());
  }
  bool WaitState(int nState) {
    return m_ui.WaitFor([&] { return !m_ui.m_states.empty() && m_ui.m_states.back() == nState; });
  }
  // Waits for the run's summary line (kind 1) and returns it.
  std::string WaitSummary() {
    std::string strLine;
    m_ui.WaitFor([&] {
      for (const auto& [s, k] : m_ui.m_log)
        if (k == kLogSummary) strLine = s;
      return !strLine.empty();
    });
    return strLine;
  }
  // The partition the phone should hold after a write of kImei in every slot.
  static std::vector<uint8_t> ExpectedPartition(const std::string& strImei, uint32_t nMagic) {
    std::vector<uint8_t> expected = sim::DefaultFactoryData();
    FactoryDataImage image(expected.data(), kFactoryDataSize);
    EXPECT_TRUE(FillImeiArea(image, strImei, strImei, strImei, strImei));
    EXPECT_EQ(FillLcdDdrBlock(image, false, false, {nMagic, "dsi", "", ""}), LcdDdrResult::Ok);
    return expected;
  }
  Lines Log() {
    return m_ui.Locked([&] { return m_ui.m_log; });
  }

  CTempDir m_base, m_ports;
  WriterSettings m_settings;
  CWriteHistories m_histories{m_base.Path()};
  CNumberSources m_sources{m_histories};
  CRecordingWriterUi m_ui;
  std::vector<uint8_t> m_packet = std::vector<uint8_t>(pdl::kPacketBufferSize);
  std::vector<uint8_t> m_bootImage;
  std::unique_ptr<sim::CSimSocket> m_pSocket;
  std::unique_ptr<CWriteThread> m_pWorker;  // last: gone before everything it uses
};

TEST_F(WriteThreadTest, TypedImeiReachesThePhoneAndTheHistory) {
  m_settings.m_strFactName = "norqfact";
  Plug({});
  Start();
  ASSERT_TRUE(WaitState(kStateDone));
  // Start again during the run: dropped.
  ASSERT_TRUE(m_pWorker->PostStart());
  m_pSocket->Stop();  // the operator unplugs the phone
  EXPECT_EQ(WaitSummary().rfind("Write cost ", 0), 0u);
  EXPECT_FALSE(m_pWorker->IsBusy());
  EXPECT_EQ(m_pWorker->ComPort(), -1);

  const Lines expected = {
      {"Please plugin a new phone and power on!", kLogProgress},
      {"Find the phone on COM37, now open it", kLogProgress},
      {"Open port OK!", kLogSuccess},
      {"Start to write boot_fact", kLogProgress},
      {"Write boot_fact 4096 bytes of 10000 bytes ...", kLogProgress},
      {"Write boot_fact 8192 bytes of 10000 bytes ...", kLogProgress},
      {"Write boot_fact 10000 bytes of 10000 bytes ...", kLogProgress},
      {"Write boot_fact OK!", kLogSuccess},
      {"Exec boot_fact OK!", kLogSuccess},
      {"Set SET_FACTMODE cmd OK!", kLogSuccess},
      {"Reading factorydata...", kLogProgress},
      {"Writting data to Flash ...", kLogProgress},
      {"Write Flash partion OK!", kLogSuccess},
      {"Reading data from Flash partion...", kLogProgress},
      {"Read Flash partion OK!", kLogSuccess},
      {"Check IMEI OK!", kLogSuccess},
      {"Write OK!", kLogWriteOk},
  };
  Lines log = Log();
  ASSERT_FALSE(log.empty());
  log.pop_back();  // the summary
  EXPECT_EQ(log, expected);
  m_ui.Locked([&] {
    EXPECT_EQ(m_ui.m_states, (std::vector<int>{1, 1, 2, 2, 2, 2, 3, 3, 1}));
    EXPECT_EQ(m_ui.m_notify, (std::vector<int>{kNotifyImeiTyped, 0, 0}));
    return 0;
  });

  const sim::SPhoneReport rep = m_pSocket->Report();
  EXPECT_TRUE(rep.bFactMode);
  EXPECT_EQ(rep.strFactoryName, "norqfact");
  EXPECT_EQ(rep.factoryWritten, ExpectedPartition(kImei, 0x12345678));
  ASSERT_FALSE(rep.images.empty());
  EXPECT_EQ(rep.images[0].nAddr, 0x100100u);
  EXPECT_EQ(rep.images[0].chunkSizes, (std::vector<uint32_t>{4096, 4096, 1808}));
  EXPECT_EQ(rep.images[0].strSha256, Sha256Hex(m_bootImage));
  // The factory data is read by its fixed name; the check reads the named partition.
  std::vector<std::string> reads;
  for (const sim::SCommandRecord& c : rep.commands)
    if (c.nCmd == pdl::CMD_READ_PARTITION) reads.push_back(c.strName);
  EXPECT_EQ(reads, (std::vector<std::string>{"factorydata", "norqfact"}));

  const std::string strHistory = ReadWholeFile(m_histories.ImeiHistory().Path());
  EXPECT_NE(strHistory.find("\t" + kImei + "\n"), std::string::npos);
  EXPECT_TRUE(m_histories.IsImeiUsed(kImei));
}

TEST_F(WriteThreadTest, BootImageChunksAndProgressLines) {
  struct {
    size_t nSize;
    std::vector<uint32_t> chunks;
    std::vector<int> progress;
  } cases[] = {
      {8192, {4096, 4096}, {4096, 8192, 8192}},
      {1000, {1000}, {1000, 1000}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.nSize);
    WriteBootImage(c.nSize);
    m_settings.m_bWriteImei = false;
    m_settings.m_bWriteLcd = true;  // a single-phone run without numbers
    m_ui.Locked([&] {
      m_ui.m_log.clear();
      m_ui.m_states.clear();
      return 0;
    });
    Plug({});
    Start();
    ASSERT_TRUE(WaitState(kStateDone));
    m_pSocket->Stop();
    EXPECT_EQ(WaitSummary().rfind("Write cost ", 0), 0u);
    std::vector<int> progress;
    for (const auto& [s, k] : Log()) {
      int nSent = 0, nSize = 0;
      if (sscanf(s.c_str(), "Write boot_fact %d bytes of %d bytes", &nSent, &nSize) == 2) {
        EXPECT_EQ(nSize, static_cast<int>(c.nSize));
        progress.push_back(nSent);
      }
    }
    EXPECT_EQ(progress, c.progress);
    const sim::SPhoneReport rep = m_pSocket->Report();
    ASSERT_FALSE(rep.images.empty());
    EXPECT_EQ(rep.images[0].chunkSizes, c.chunks);
    // Without IMEIs no read-back happens, whatever CHECK_IMEI says.
    EXPECT_FALSE(m_ui.HasLine("Reading data from Flash partion..."));
    m_pWorker.reset();
    m_pSocket.reset();
  }
}

TEST_F(WriteThreadTest, PhoneFailuresEndInTheFailedState) {
  struct {
    const char* pszFault;
    const char* pszLine;
    bool bWrittenBack;  // the phone may hold the IMEI: it is never handed out again
  } cases[] = {
      {"cmd=factmode,code=9", "WaitForAck SendFactModeCmd failed!", false},
      {"cmd=read-part,read-len=16000", "Read factorydata failed!", false},
      // Claims 4 GiB at a pace that each read's limits would let through.
      {"cmd=read-part,data-size=4294967295,drip=200", "Read factorydata failed!", false},
      {"cmd=read-part,nth=2,code=9", "Read Flash partion failed!", true},
      {"cmd=mid,nth=4,code=9", "WaitForAck Write Flash partion failed!", true},
  };
  int nCase = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pszFault);
    const std::string strImei = AppendImeiCheckDigit("3520990017620" + std::to_string(nCase++));
    m_ui.SetField(ENumberField::Imei1, strImei);
    m_ui.Locked([&] {
      m_ui.m_log.clear();
      m_ui.m_states.clear();
      m_ui.m_notify.clear();
      return 0;
    });
    Plug({c.pszFault});
    Start();
    EXPECT_EQ(WaitSummary(), "Write Error!");
    EXPECT_TRUE(m_ui.HasLine(c.pszLine, kLogError)) << ::testing::PrintToString(Log());
    EXPECT_TRUE(m_ui.HasLine("Write failed!", kLogError));
    EXPECT_FALSE(m_ui.HasLine("Write OK!"));
    EXPECT_EQ(m_ui.Locked([&] { return m_ui.m_states.back(); }), kStateFailed);
    EXPECT_EQ(m_ui.Locked([&] { return m_ui.m_notify; }), std::vector<int>{0});
    EXPECT_EQ(m_histories.IsImeiUsed(strImei), c.bWrittenBack);
    EXPECT_FALSE(std::filesystem::exists(m_histories.ImeiHistory().PendingPath()));
    m_pWorker.reset();
    m_pSocket.reset();
  }
}

TEST_F(WriteThreadTest, HistoryThatCannotBeWrittenFailsThePhone) {
  std::filesystem::create_directories(m_histories.ImeiHistory().Path());
  Plug({});
  Start();
  EXPECT_EQ(WaitSummary(), "Write Error!");
  const Lines log = Log();
  ASSERT_GE(log.size(), 4u);
  EXPECT_EQ(log[log.size() - 4], (std::pair<std::string, int>{"Check IMEI OK!", kLogSuccess}));
  EXPECT_EQ(log[log.size() - 3].first.rfind("Write history failed! ", 0), 0u);
  EXPECT_EQ(log[log.size() - 3].second, kLogError);
  EXPECT_EQ(log[log.size() - 2], (std::pair<std::string, int>{"Write failed!", kLogError}));
  EXPECT_FALSE(m_ui.HasLine("Write OK!"));
  EXPECT_FALSE(m_pWorker->HasSucceeded());
  m_ui.Locked([&] {
    EXPECT_EQ(m_ui.m_states.back(), kStateFailed);
    EXPECT_EQ(m_ui.m_notify, std::vector<int>{0});  // no "typed kind written" notice
    return 0;
  });
  EXPECT_TRUE(m_histories.IsImeiUsed(kImei));  // never handed out again by this process
}

TEST_F(WriteThreadTest, StopEndsASlowReplyAtOnce) {
  std::atomic<bool> bAsked{false};
  sim::SSocketOptions opt{.strPortsDir = m_ports.Path(), .nCom = kCom, .nReplugDelayMs = 300};
  opt.onFaultFired = [&](int, const std::string&) { bAsked = true; };
  // The whole partition at 100 bytes a second would take minutes.
  m_pSocket = StartSimSocket(opt, {"cmd=read-part,drip=100"});
  ASSERT_TRUE(m_pSocket);
  Start();
  ASSERT_TRUE(WaitUntil([&] { return bAsked.load(); }, std::chrono::seconds(30)));
  m_pWorker->RequestStop();
  EXPECT_EQ(WaitSummary(), "Write Stop!");
  EXPECT_FALSE(m_ui.HasLine("Read factorydata failed!")) << "a stop is no failure";
  EXPECT_FALSE(m_ui.HasLine("Write failed!"));
  EXPECT_EQ(m_pWorker->PhonesStopped(), 1);
  EXPECT_EQ(m_pWorker->PhonesFailed(), 0);
  EXPECT_FALSE(m_histories.IsImeiUsed(kImei));
}

TEST_F(WriteThreadTest, FilesThatCannotBeReadFailThePhoneBeforeTheWriteBack) {
  struct {
    const char* pszCase;
    std::function<void()> fnPrepare;
    const char* pszLine;
  } cases[] = {
      // The recording window names no DDR file: one removed since Start.
      {"DDR file gone", [&] { m_settings.m_bWriteDdr = true; }, "Read DDR file failed!"},
      {"boot image a FIFO",
       [&] {
         m_settings.m_bWriteDdr = false;
         std::filesystem::remove(m_base.File("images/boot_fact.bin"));
         ASSERT_EQ(mkfifo(m_base.File("images/boot_fact.bin").c_str(), 0644), 0);
       },
       "Open boot_fact failed!"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pszCase);
    c.fnPrepare();
    Plug({});
    Start();
    EXPECT_EQ(WaitSummary(), "Write Error!");
    EXPECT_TRUE(m_ui.HasLine(c.pszLine, kLogError)) << ::testing::PrintToString(Log());
    EXPECT_FALSE(m_ui.HasLine("Writting data to Flash ..."));
    EXPECT_FALSE(m_histories.IsImeiUsed(kImei));
    m_pWorker.reset();
    m_pSocket->Stop();
    EXPECT_TRUE(m_pSocket->Report().factoryWritten.empty());
    m_pSocket.reset();
    m_ui.Locked([&] {
      m_ui.m_log.clear();
      return 0;
    });
  }
}

TEST_F(WriteThreadTest, StopWhileWaitingForAPhone) {
  Start();
  ASSERT_TRUE(
      m_ui.WaitFor([&] { return m_ui.HasLine("Please plugin a new phone and power on!"); }));
  m_pWorker->RequestStop();
  EXPECT_EQ(WaitSummary(), "Write Stop!");
  EXPECT_FALSE(m_pWorker->IsBusy());
  EXPECT_EQ(m_pWorker->ComPort(), -1);
  m_ui.Locked([&] {
    EXPECT_EQ(m_ui.m_states, std::vector<int>{kStateIdle});
    EXPECT_EQ(m_ui.m_notify, std::vector<int>{0});
    return 0;
  });
}

TEST_F(WriteThreadTest, InvalidTypedImeiEndsTheRunWithoutTouchingThePort) {
  m_ui.SetField(ENumberField::Imei1, kImei.substr(0, 14));
  Plug({});
  Start();
  ASSERT_TRUE(m_ui.WaitFor([&] { return !m_ui.m_messages.empty() && !m_ui.m_notify.empty(); }));
  ASSERT_TRUE(m_ui.WaitFor([&] { return !m_pWorker->IsBusy(); }, 5000));
  m_pWorker.reset();
  EXPECT_EQ(m_ui.m_messages, std::vector<std::string>{kMsgBadImei});
  EXPECT_TRUE(m_ui.m_states.empty());
  EXPECT_TRUE(m_ui.m_log.empty());
  m_pSocket->Stop();
  EXPECT_EQ(m_pSocket->Report().nHostOpens, 0);
}

TEST_F(WriteThreadTest, ListRunKeepsThePortAndServesTheNextPhone) {
  std::ofstream(m_base.File("imei.txt")) << kImei << "\n" << kImei2 << "\n";
  m_settings.m_nImeiInputType = INPUT_FROM_FILE;
  m_settings.m_strImeiFile = m_base.File("imei.txt");
  m_sources.LoadPools(m_settings);
  m_ui.SetField(ENumberField::Imei1, "");
  // Each phone leaves when the worker probes it for the first time after the write.
  Plug({"cmd=connect,nth=2,unplug"}, 2);
  Start();
  ASSERT_TRUE(m_pSocket->WaitDone(30000));
  // Both phones written; the third cycle finds the pool used up.
  EXPECT_EQ(WaitSummary(), "Write Error!");
  EXPECT_TRUE(m_ui.HasLine("There were no unused IMEI now 1!", kLogError));
  EXPECT_EQ(m_ui.Locked([&] { return m_ui.m_messages; }), std::vector<std::string>{kMsgNoImei});
  const std::vector<sim::SPhoneReport> reps = m_pSocket->Reports();
  ASSERT_EQ(reps.size(), 2u);
  EXPECT_EQ(reps[0].factoryWritten, ExpectedPartition(kImei, 0x12345678));
  EXPECT_EQ(reps[1].factoryWritten, ExpectedPartition(kImei2, 0x12345678));
  EXPECT_TRUE(m_histories.IsImeiUsed(kImei));
  EXPECT_TRUE(m_histories.IsImeiUsed(kImei2));
}

}  // namespace
