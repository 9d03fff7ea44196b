// The window with its eight workers against eight simulated phones at once.

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <list>
#include <set>

#include "common/digest.h"
#include "download_station.h"
#include "pty_phone.h"
#include "quillport/package/pack_list.h"
#include "quillport/ui/window_model.h"
#include "quillport/ui/window_texts.h"
#include "serial/port_discovery.h"
#include "serial/port_watcher.h"
#include "sim/sim_phone.h"
#include "wait_until.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

class CQuietHost final : public IWindowHost {
 public:
  void MessageBox(const std::string& strText) override { boxes.push_back(strText); }
  std::optional<std::string> ChoosePackageFile() override { return std::nullopt; }
  void Changed() override {
    if (onChanged) onChanged();
  }
  std::vector<std::string> boxes;
  std::function<void()> onChanged;  // sees every state the rows pass through
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

  void StartFarm(uint64_t nRate, int nSockets = 8, int nPhonesPerSocket = 0) {
    sim::SFarmOptions opt;
    opt.strPortsDir = m_ports.Path();
    opt.nSockets = nSockets;
    opt.nComBase = 51;
    opt.nPhonesPerSocket = nPhonesPerSocket;
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

TEST_F(EightRowsTest, PinnedRowsServeOnlyTheirOwnSockets) {
  MakePackage();
  WriteStationSettings(m_base.Path(), {0, 1, 2});
  StartFarm(0, 3, 1);  // COM51, COM52, COM53, one phone each
  std::array<std::set<std::string>, kPortRows> labels;
  {
    CQuillportWindow window(m_host, m_queue, m_base.Path());
    window.SetPackagePath(m_strPackage);
    // Two rows on one socket: refused, nothing starts.
    window.SetPortPin(0, "COM52");
    window.SetPortPin(2, "COM52");
    window.OnStartAll();
    ASSERT_EQ(m_host.boxes.size(), 1u);
    EXPECT_NE(m_host.boxes[0].find("Rows 1 and 3 are both pinned to COM52"), std::string::npos);
    EXPECT_FALSE(window.AnyBusy());
    EXPECT_TRUE(window.View().bStartAllEnabled);
    m_host.boxes.clear();

    // Reverse order: the first free port would hand each row another phone.
    // Row 2 stays free and must leave the sockets pinned to rows 1 and 3 alone.
    window.SetPortPin(0, "COM53");
    window.SetPortPin(2, "COM51");
    EXPECT_EQ(PortLabelShown(window.View().rows[0]), std::string(window_text::kPort) + " → COM53");
    m_host.onChanged = [&] {
      for (int r = 0; r < kPortRows; ++r) {
        labels[r].insert(window.View().rows[r].portLabel.strText);
      }
    };
    CPortWatcher watcher([&](bool bArrived, const std::string& strCom) {
      m_queue.PostTask([&window, bArrived, strCom] { window.OnDeviceChange(bArrived, strCom); });
    });
    window.OnStartAll();
    ASSERT_TRUE(m_host.boxes.empty()) << m_host.boxes.front();
    const bool bServed = PumpUntil(
        m_queue,
        [&] {
          const auto& rows = window.View().rows;
          return rows[0].nPassed + rows[1].nPassed + rows[2].nPassed >= 3 && PoweredOff() >= 3;
        },
        60s);
    window.OnStopAll();
    m_host.onChanged = nullptr;
    ASSERT_TRUE(bServed);
    for (int r = 0; r < 3; ++r) EXPECT_EQ(window.View().rows[r].nPassed, 1) << "row " << r + 1;
  }
  const std::string strPort = window_text::kPort;
  const std::array<std::string, 3> expected = {strPort + " 53", strPort + " 52", strPort + " 51"};
  for (int r = 0; r < 3; ++r) {
    for (const std::string& strLabel : labels[r]) {
      // "端口" alone or the COM device name between phones; a number only of its own socket.
      if (strLabel.rfind(strPort + " ", 0) == 0) {
        EXPECT_EQ(strLabel, expected[r]) << "row " << r + 1;
      }
    }
    EXPECT_EQ(labels[r].count(expected[r]), 1u) << "row " << r + 1;
  }
  // The pins are the station's: saved with the port selection.
  PortSettings ports;
  LoadDownloadIni(m_base.Path(), &ports);
  EXPECT_EQ(ports[0].m_strPortNb, "COM53");
  EXPECT_EQ(ports[1].m_strPortNb, "None");
  EXPECT_EQ(ports[2].m_strPortNb, "COM51");
}

}  // namespace
