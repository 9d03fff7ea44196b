#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "child_process.h"
#include "pty_phone.h"
#include "wait_until.h"

namespace {

using namespace std::chrono_literals;

// A station folder with a small package and its file list.
void MakeStation(const CTempDir& dir) {
  std::filesystem::create_directories(dir.File("ini"));
  std::ofstream(dir.File("pkg.ini"))
      << "[PDL1]\nfile=pattern:16k\naddr=0x100000\nby_addr=yes\nexec=yes\n"
         "[PDL2]\nfile=pattern:64k\naddr=0x80000000\nby_addr=yes\nexec=yes\n"
         "[modem]\nfile=pattern:600k\n[system]\nfile=pattern:1M\n";
  std::string out;
  ASSERT_EQ(RunIn(dir.Path(),
                  std::string(QUILLPORT_PACK_PATH) + " create pkg.ini -o t_norq_total.bin", &out),
            0)
      << out;
  ASSERT_EQ(
      RunIn(dir.Path(),
            std::string(QUILLPORT_PACK_PATH) + " filelist t_norq_total.bin > ini/filelist.ini",
            &out),
      0);
}

TEST(QuillportHeadless, ServesSimulatedPhonesOnEveryRowAndCountsThem) {
  CTempDir dir;
  MakeStation(dir);
  std::string out;
  const std::string cmd =
      std::string(QUILLPORT_PATH) + " --headless --simulate 3 --count 2 --package t_norq_total.bin";
  ASSERT_EQ(RunIn(dir.Path(), cmd, &out), 0) << out;
  EXPECT_NE(out.find("quillport: 6 phone(s) passed, 0 failed, 0 stopped"), std::string::npos)
      << out;
  EXPECT_NE(ReadWholeFile(dir.File("ini/download.ini")).find("[PORT_3]\nISUSED=Yes"),
            std::string::npos)
      << "the port selection is saved as the window would";
}

TEST(QuillportHeadless, APhoneCutShortByAStopIsNoSuccess) {
  CTempDir dir, ports;
  MakeStation(dir);
  CChild sim({PDL_PHONE_SIM_PATH, "--ports-dir", ports.Path(), "--com-base", "5", "--quiet",
              "--fault", "cmd=mid,image=system,chunk=1,stall=60000"},
             dir.Path(), dir.File("sim.txt"));
  CChild tool({QUILLPORT_PATH, "--headless", "--rows", "1", "--package", "t_norq_total.bin"},
              dir.Path(), dir.File("out.txt"),
              {"PHONE_PORTS_DIR=" + ports.Path(), "PHONE_COM_MAP=" + dir.File("com.ini"),
               "XDG_RUNTIME_DIR=" + dir.Path()});
  // Inside the last image, whose first data packet the phone never answers.
  const bool bInside = WaitForText(dir.File("out.txt"), "system 下载中...", 60s);
  tool.Signal(SIGTERM);
  EXPECT_EQ(tool.WaitExit(60s), 1) << ReadWholeFile(dir.File("out.txt"));
  ASSERT_TRUE(bInside) << ReadWholeFile(dir.File("out.txt"));
  EXPECT_NE(
      ReadWholeFile(dir.File("out.txt")).find("quillport: 0 phone(s) passed, 0 failed, 1 stopped"),
      std::string::npos)
      << ReadWholeFile(dir.File("out.txt"));
}

TEST(QuillportHeadless, BadUsageEndsWithTwo) {
  CTempDir dir;
  std::string out;
  EXPECT_EQ(RunIn(dir.Path(), std::string(QUILLPORT_PATH) + " --headless --rows 9", &out), 2);
  EXPECT_EQ(RunIn(dir.Path(), std::string(QUILLPORT_PATH) + " --headless --timeout 1234", &out), 2);
  EXPECT_EQ(RunIn(dir.Path(), std::string(QUILLPORT_PATH) + " --headless --pin 9=COM5", &out), 2);
  EXPECT_EQ(RunIn(dir.Path(), std::string(QUILLPORT_PATH) + " --headless --pin 1=COMX", &out), 2);
}

TEST(QuillportHeadless, TwoRowsPinnedToOnePortAreRefusedAtStart) {
  CTempDir dir;
  std::string out;
  EXPECT_EQ(
      RunIn(dir.Path(),
            std::string(QUILLPORT_PATH) +
                " --headless --rows 1-3 --pin 3=COM5,1=COM7,2=COM5 --package t_norq_total.bin",
            &out),
      1);
  EXPECT_NE(out.find("Rows 2 and 3 are both pinned to COM5"), std::string::npos) << out;
}

TEST(QuillportHeadless, AStopSignalDuringStartUpStopsTheRowsNotTheProcess) {
  CTempDir dir;
  MakeStation(dir);
  CChild tool({QUILLPORT_PATH, "--headless", "--simulate", "1", "--package", "t_norq_total.bin"},
              dir.Path(), dir.File("out.txt"), {"XDG_RUNTIME_DIR=" + dir.Path()});
  // The simulated phones' threads are the first to start: the signal comes
  // while the rest of start-up is still to do.
  ASSERT_TRUE(WaitUntil([&] { return tool.ThreadCount() != 1; }, 30s));
  tool.Signal(SIGTERM);
  const std::optional<int> rc = tool.WaitExit(60s);
  ASSERT_TRUE(rc);
  EXPECT_TRUE(*rc == 0 || *rc == 1) << "ended by the signal: " << *rc << "\n"
                                    << ReadWholeFile(dir.File("out.txt"));
}

}  // namespace
