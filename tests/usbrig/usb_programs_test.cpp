// Both programs from the console against the simulator serving the phone's
// end of the real link; the simulator plugs and unplugs its phones through
// the rig.

#include <filesystem>
#include <fstream>

#include "quillport/package/pack_list.h"
#include "common/digest.h"
#include "tavlo/factory/factory_data.h"
#include "usb_link.h"
#include "writer_station.h"

namespace usbrig {
namespace {

namespace fs = std::filesystem;

// What the simulator left about phone k.
std::string PhoneReport(const CTempDir& reports, int nCom, int nPhone) {
  return ReadWholeFile(
      reports.File("COM" + std::to_string(nCom) + "-" + std::to_string(nPhone) + ".json"));
}

class UsbQuillport : public CUsbRigTest {
 protected:
  void SetUp() override {
    CUsbRigTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    fs::create_directories(m_base.File("ini"));
    std::ofstream(m_base.File("pkg.ini"))
        << "[PDL1]\nfile=pattern:16k:1\naddr=0x100000\nby_addr=yes\nexec=yes\nchunk=4096\n"
           "[PDL2]\nfile=pattern:64k:2\naddr=0x80000000\nby_addr=yes\nexec=yes\nchunk=4096\n"
           "[modem]\nfile=pattern:300k:3\n[system]\nfile=pattern:1M:4\n[boot]\nfile=pattern:"
           "90001:5\n";
    std::string out;
    ASSERT_EQ(RunIn(m_base.Path(),
                    std::string(QUILLPORT_PACK_PATH) + " create pkg.ini -o " + kPackage, &out),
              0)
        << out;
    ASSERT_EQ(
        RunIn(m_base.Path(),
              std::string(QUILLPORT_PACK_PATH) + " filelist " + kPackage + " > ini/filelist.ini",
              &out),
        0)
        << out;
    std::ofstream(m_base.File("ini/download.ini")) << "[PORT_1]\nISUSED=Yes\nPORTNB=None\n";
    // What each image holds, from the package file itself.
    SPackDirectory dir;
    ASSERT_EQ(ReadPackDirectory(m_base.File(kPackage), &dir), EPackFault::kNone);
    std::ifstream in(m_base.File(kPackage), std::ios::binary);
    for (const PackEntry& entry : dir.m_entries) {
      std::vector<uint8_t> bytes(entry.m_dwSize);
      in.seekg(entry.m_dwOffset);
      in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
      m_sha.push_back(Sha256Hex(bytes));
    }
  }

  // Two phones, one after the other, on row 1; the exit status and output.
  int RunTwoPhones(std::string* pOut) {
    return RunIn(m_base.Path(),
                 std::string(QUILLPORT_PATH) +
                     " --headless --rows 1 --count 2 --timeout 20000 --package " + kPackage,
                 pOut);
  }

  void ExpectServedByteExact(const std::string& strReport) {
    EXPECT_EQ(JsonStrings(strReport, "outcome"), std::vector<std::string>{"powered-off"});
    EXPECT_EQ(JsonStrings(strReport, "sha256"), m_sha) << strReport;
    EXPECT_EQ(JsonStrings(strReport, "partition_table"),
              std::vector<std::string>{"modem,system,boot"});
    EXPECT_NE(strReport.find("\"passed\": true"), std::string::npos) << strReport;
  }

  static constexpr char kPackage[] = "usb_norq_total.bin";
  std::vector<std::string> m_sha;
  CTempDir m_reports;
};

TEST_F(UsbQuillport, DownloadsAPhonePowersItOffAndServesTheNextAfterReplug) {
  CChild sim(SimArgs(m_nCom, 2, m_reports.Path()), m_base.Path(), m_base.File("sim.txt"));
  std::string out;
  EXPECT_EQ(RunTwoPhones(&out), 0) << out << ReadWholeFile(m_base.File("sim.txt"));
  EXPECT_NE(out.find("quillport: 2 phone(s) passed, 0 failed"), std::string::npos) << out;
  ASSERT_EQ(sim.WaitExit(30s), 0) << ReadWholeFile(m_base.File("sim.txt"));
  for (int nPhone : {1, 2}) {
    SCOPED_TRACE("phone " + std::to_string(nPhone));
    ExpectServedByteExact(PhoneReport(m_reports, m_nCom, nPhone));
  }
}

TEST_F(UsbQuillport, PhonePulledInTheMiddleOfAnImageFailsItsRowAndTheNextPasses) {
  std::vector<std::string> args = SimArgs(m_nCom, 2, m_reports.Path());
  args.insert(args.end(), {"--fault", "image=system,unplug-after=500000,phone=1"});
  CChild sim(args, m_base.Path(), m_base.File("sim.txt"));
  std::string out;
  EXPECT_EQ(RunTwoPhones(&out), 1) << out << ReadWholeFile(m_base.File("sim.txt"));
  EXPECT_NE(out.find("quillport: 1 phone(s) passed, 1 failed"), std::string::npos) << out;
  EXPECT_NE(out.find("Get data[ACK] command failed!"), std::string::npos) << out;
  ASSERT_EQ(sim.WaitExit(30s), 0) << ReadWholeFile(m_base.File("sim.txt"));
  const std::string strFirst = PhoneReport(m_reports, m_nCom, 1);
  EXPECT_EQ(JsonStrings(strFirst, "outcome"), std::vector<std::string>{"unplugged"}) << strFirst;
  SCOPED_TRACE("the next phone");
  ExpectServedByteExact(PhoneReport(m_reports, m_nCom, 2));
}

class UsbTavlo : public CUsbRigTest {
 protected:
  void SetUp() override {
    CUsbRigTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    MakeWriterStation(m_base.Path(), 24576);
    std::ofstream(m_base.File("ini/wimei.ini"))
        << "[GENERAL]\nCHIPSET=c\nISWIMEI=Yes\nCHECK_IMEI=Yes\n[WIMEI]\nIMEINUM=1\nINPUTTYPE=0\n";
  }
  CTempDir m_reports;
};

TEST_F(UsbTavlo, WritesTheTypedImeiOverTheLinkChecksItAndKeepsTheHistory) {
  const std::string strImei = "352099001761481";
  std::vector<std::string> args = SimArgs(m_nCom, 1, m_reports.Path());
  // The writer probes a written phone with a connect until it goes: the
  // operator pulls it then.
  args.insert(args.end(), {"--fault", "cmd=connect,nth=2,unplug"});
  CChild sim(args, m_base.Path(), m_base.File("sim.txt"));
  std::string out;
  EXPECT_EQ(RunIn(m_base.Path(), std::string(TAVLO_PATH) + " --headless --imei1 " + strImei, &out),
            0)
      << out << ReadWholeFile(m_base.File("sim.txt"));
  EXPECT_NE(out.find("Find the phone on COM" + std::to_string(m_nCom) + ","), std::string::npos)
      << out;
  EXPECT_NE(out.find("Check IMEI OK!"), std::string::npos) << out;
  EXPECT_NE(out.find("tavlo: 1 phone(s) written, 0 failed"), std::string::npos) << out;
  const std::string strHistory = ReadWholeFile(m_base.File("data/wimei.history"));
  EXPECT_NE(strHistory.find("\t" + strImei + "\n"), std::string::npos) << strHistory;
  ASSERT_EQ(sim.WaitExit(20s), 0) << ReadWholeFile(m_base.File("sim.txt"));
  const std::string strReport = PhoneReport(m_reports, m_nCom, 1);
  EXPECT_EQ(JsonStrings(strReport, "detail"),
            std::vector<std::string>{"fault: cmd=connect,nth=2,unplug"})
      << "the phone left only at the probe after the write";
  // The phone holds the typed IMEI in every slot of a one-SIM phone:
  // filling it in again changes nothing.
  const std::vector<std::string> written = JsonStrings(strReport, "base64");
  ASSERT_EQ(written.size(), 1u) << strReport;
  std::vector<uint8_t> factory = FromBase64(written.front());
  ASSERT_EQ(factory.size(), kFactoryDataSize) << strReport;
  const std::vector<uint8_t> onPhone = factory;
  ASSERT_TRUE(FillImeiArea(FactoryDataImage(factory.data(), kFactoryDataSize), strImei, strImei,
                           strImei, strImei));
  EXPECT_TRUE(ImeiAreaMatches(
      std::span<const uint8_t, kFactoryDataSize>(onPhone.data(), kFactoryDataSize),
      std::span<const uint8_t, kFactoryDataSize>(factory.data(), kFactoryDataSize)));
}

}  // namespace
}  // namespace usbrig
