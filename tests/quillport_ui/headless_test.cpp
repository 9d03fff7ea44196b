#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "child_process.h"
#include "json_reader.h"
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

// The files of log/records/, as one text.
std::string RecordsOf(const CTempDir& dir) {
  std::string text;
  const std::string folder = dir.File("log/records");
  if (!std::filesystem::is_directory(folder)) return text;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    EXPECT_EQ(entry.path().extension(), ".jsonl");
    text += ReadWholeFile(entry.path().string());
  }
  return text;
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
  // Its record says so, with the step it was in.
  const std::optional<std::vector<SJson>> records = ParseJsonLines(RecordsOf(dir));
  ASSERT_TRUE(records);
  ASSERT_EQ(records->size(), 1u);
  EXPECT_EQ((*records)[0]["result"].s, "stopped");
  EXPECT_NE((*records)[0]["step"].s.find("system"), std::string::npos) << (*records)[0]["step"].s;
}

TEST(QuillportHeadless, JsonStreamOfATwoPhoneRunAndARecordOfEachPhone) {
  CTempDir dir;
  MakeStation(dir);
  std::string out;
  // Standard error apart: the stream on standard output must parse whole.
  ASSERT_EQ(RunIn(dir.Path(),
                  "sh -c '" + std::string(QUILLPORT_PATH) +
                      " --headless --json --simulate 2 --count 1 --package t_norq_total.bin"
                      " > json.txt 2> err.txt'",
                  &out),
            0)
      << ReadWholeFile(dir.File("err.txt"));
  const std::string stream = ReadWholeFile(dir.File("json.txt"));
  const std::optional<std::vector<SJson>> events = ParseJsonLines(stream);
  ASSERT_TRUE(events) << stream;
  int nPhones = 0, nSummaries = 0;
  std::map<double, std::vector<double>> progress;  // per row
  std::map<double, int> states;
  for (const SJson& e : *events) {
    const std::string strEvent = e["event"].s;
    if (strEvent == "progress") {
      ASSERT_EQ(nSummaries, 0) << "the summary comes last";
      progress[e["row"].d].push_back(e["percent"].d);
    } else if (strEvent == "row") {
      ++states[e["row"].d];
      EXPECT_TRUE(e.Has("port") && e.Has("state") && e.Has("status"));
    } else if (strEvent == "phone") {
      const SJson& r = e["record"];
      EXPECT_EQ(r["tool"].s, "quillport");
      // A row that got its count first may open the next phone before the
      // stop: that one is told as stopped, and counts for nothing.
      if (r["result"].s == "stopped") continue;
      ++nPhones;
      EXPECT_EQ(r["result"].s, "passed");
      EXPECT_TRUE(r["failure"].IsNull());
      EXPECT_EQ(r["package"].s, "t_norq_total.bin");
      EXPECT_EQ(r["package_sha256"].s.size(), 64u);
      ASSERT_EQ(r["images"].items.size(), 4u);
      EXPECT_EQ(r["images"].items[0]["name"].s, "PDL1");
      EXPECT_EQ(r["images"].items[3]["size"].d, 1024 * 1024);
      EXPECT_EQ(r["port"].s.rfind("COM", 0), 0u);
      EXPECT_GE(r["seconds"].d, 0);
      // ISO 8601 with the offset: "2026-12-10T18:05:03+01:00".
      EXPECT_EQ(r["started"].s.size(), 25u) << r["started"].s;
      EXPECT_TRUE(r["started"].s <= r["ended"].s);
    } else if (strEvent == "summary") {
      ++nSummaries;
      EXPECT_EQ(e["passed"].d, 2);
      EXPECT_EQ(e["failed"].d, 0);
      EXPECT_EQ(e["exit"].d, 0);
    } else {
      ADD_FAILURE() << "unknown event " << strEvent;
    }
  }
  EXPECT_EQ(nPhones, 2);
  EXPECT_EQ(nSummaries, 1);
  EXPECT_EQ(events->back()["event"].s, "summary");
  ASSERT_EQ(progress.size(), 2u);
  for (const auto& [row, steps] : progress) {
    EXPECT_GE(states[row], 2) << "row " << row;
    for (size_t i = 0; i < steps.size(); ++i) {
      EXPECT_EQ(static_cast<int>(steps[i]) % 5, 0);
      if (i > 0 && steps[i] > steps[i - 1]) {
        EXPECT_LE(steps[i] - steps[i - 1], 5) << "row " << row;
      }
    }
    EXPECT_NE(std::find(steps.begin(), steps.end(), 100), steps.end()) << "row " << row;
  }

  // The records file holds the same records, one a line, rows 1 and 2.
  const std::optional<std::vector<SJson>> records = ParseJsonLines(RecordsOf(dir));
  ASSERT_TRUE(records);
  std::vector<double> rows;
  for (const SJson& r : *records) {
    if (r["result"].s == "passed")
      rows.push_back(r["row"].d);
    else
      EXPECT_EQ(r["result"].s, "stopped");
    for (const char* pszField :
         {"tool", "version", "station", "row", "port", "usb_path", "started", "ended", "seconds",
          "result", "failure", "step", "package", "package_sha256", "images"})
      EXPECT_TRUE(r.Has(pszField)) << pszField;
  }
  std::sort(rows.begin(), rows.end());
  EXPECT_EQ(rows, (std::vector<double>{1, 2}));
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
