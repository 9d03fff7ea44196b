// The window with its eight workers against eight simulated phones at once.

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <list>

#include "download_station.h"
#include "pty_phone.h"
#include "quillport/package/pack_list.h"
#include "quillport/ui/window_model.h"
#include "quillport/ui/window_texts.h"
#include "serial/port_discovery.h"
#include "serial/port_watcher.h"
#include "common/digest.h"
#include "sim/sim_phone.h"
#include "wait_until.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

class CQuietHost final : public IWindowHost {
 public:
  void MessageBox(const std::string& strText) override { boxes.push_back(strText); }
  std::optional<std::string> ChoosePackageFile() override { return std::nullopt; }
  void Changed() override {}
  std::vector<std::string> boxes;
};

class EightRowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetUpDownloadStation(m_base.Path(), m_ports.Path());
    WriteStationSettings(m_base.Path(), {0, 1, 2, 3, 4, 5, 6, 7});
  }

  void MakePackage() {
    ASSERT_EQ(MakeTestPackage(m_strPackage, kSmallPackage), "");
    // What each image holds, from the file itself.
    SPackDirectory dir;
    ASSERT_EQ(ReadPackDirectory(m_strPackage, &dir), EPackFault::kNone);
    std::ifstream in(m_strPackage, std::ios::binary);
    for (const PackEntry& entry : dir.m_entries) {
      std::vector<uint8_t> bytes(entry.m_dwSize);
      in.seekg(entry.m_dwOffset);
      in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
      m_sha.push_back(Sha256Hex(bytes));
    }
  }

  void StartFarm(uint64_t nRate) {
    sim::SFarmOptions opt;
    opt.strPortsDir = m_ports.Path();
    opt.nSockets = 8;
    opt.nComBase = 51;
    opt.nPhonesPerSocket = 0;
    opt.nReplugDelayMs = 100;
    opt.phone.nRateBytesPerSec = nRate;
    m_pFarm = std::make_unique<sim::CPhoneFarm>(opt);
    ASSERT_TRUE(m_pFarm->Start());
  }

  int PoweredOff() const {
    int n = 0;
    for (const sim::SPhoneReport& rep : m_pFarm->Reports())
      n += rep.eOutcome == sim::EOutcome::PoweredOff;
    return n;
  }

  CTempDir m_base, m_ports;
  std::string m_strPackage = m_base.File("t_norq_total.bin");
  std::vector<std::string> m_sha;
  CQuietHost m_host;
  CMessageQueue m_queue;
  CQueueBinding m_binding{m_queue};
  std::unique_ptr<sim::CPhoneFarm> m_pFarm;
};

TEST_F(EightRowsTest, EightRowsServePhonesAtOnceByteExact) {
  MakePackage();
  StartFarm(0);
  {
    CQuillportWindow window(m_host, m_queue, m_base.Path());
    CPortWatcher watcher([&](bool bArrived, const std::string& strCom) {
      m_queue.PostTask([&window, bArrived, strCom] { window.OnDeviceChange(bArrived, strCom); });
    });
    window.SetPackagePath(m_strPackage);
    window.OnStartAll();
    ASSERT_TRUE(m_host.boxes.empty()) << m_host.boxes.front();
    const bool bServed = PumpUntil(
        m_queue,
        [&] {
          for (const SRowView& row : window.View().rows) {
            if (row.nPassed < 2) return false;
          }
          return true;
        },
        120s);
    // A row counts its phone passed once POWER_OFF is sent; the phone may
    // take a moment longer to read it, and Stop all must not cut that short.
    const bool bOff = PumpUntil(
        m_queue, [&] { return PoweredOff() >= 16; }, 60s);
    window.OnStopAll();
    ASSERT_TRUE(bServed);
    ASSERT_TRUE(bOff);
    for (const SRowView& row : window.View().rows) {
      EXPECT_EQ(row.nFailed, 0);
      EXPECT_EQ(row.statusBox.strText, window_text::kStopped);
    }
  }
  m_pFarm->Stop();

  int nPoweredOff = 0;
  for (const sim::SPhoneReport& rep : m_pFarm->Reports()) {
    if (rep.eOutcome != sim::EOutcome::PoweredOff) continue;  // cut short by Stop all
    ++nPoweredOff;
    ASSERT_EQ(rep.images.size(), m_sha.size()) << rep.nCom;
    for (size_t i = 0; i < m_sha.size(); ++i) {
      const sim::SImageRecord& image = rep.images[i];
      EXPECT_EQ(image.strSha256, m_sha[i]) << rep.nCom << " image " << i;
      ASSERT_FALSE(image.packetNumbers.empty());
      EXPECT_EQ(image.packetNumbers.front(), 2u) << "data packets count from 2";
      EXPECT_EQ(image.bExecuted, i < 2) << "only the loaders run";
    }
    EXPECT_EQ(rep.strPartitionTable, "modem,system,boot");
    EXPECT_TRUE(rep.bPassed);
  }
  EXPECT_GE(nPoweredOff, 16);
}

TEST_F(EightRowsTest, StopAllDuringTransfersEndsEveryRowAndClosesThePorts) {
  MakePackage();
  StartFarm(200 * 1024);  // slow phones: every row is mid-transfer when stopped
  CQuillportWindow window(m_host, m_queue, m_base.Path());
  window.SetPackagePath(m_strPackage);
  window.OnStartAll();
  ASSERT_TRUE(PumpUntil(
      m_queue,
      [&] {
        for (const SRowView& row : window.View().rows) {
          if (row.progress.nPos < 0 || row.stateBox.strText.find("of") == std::string::npos) {
            return false;
          }
        }
        return true;
      },
      60s));
  const auto start = Clock::now();
  window.OnStopAll();
  EXPECT_LT(Clock::now() - start, 10s);
  EXPECT_FALSE(window.AnyBusy());
  for (const SRowView& row : window.View().rows) {
    EXPECT_EQ(row.statusBox.strText, window_text::kStopped);
    EXPECT_EQ(row.progress.nPos, -1);
  }
  // Every port is free again: an exclusive open of each works.
  std::list<SSerInfo> ports;
  ListSerialPorts(ports, true);
  EXPECT_EQ(ports.size(), 8u);
}

}  // namespace
