#include "common/op_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>
#include <vector>

#include "port_test.h"
#include "pty_phone.h"

namespace {

namespace fs = std::filesystem;

using OpLogTest = CPortLogTest;

TEST_F(OpLogTest, StartUpMakesTheThreeFoldersBelowTheBaseFolder) {
  for (const char* sub : {"log", "log/portslog", "log/factorydata"}) {
    EXPECT_TRUE(fs::is_directory(m_logs.File(sub))) << sub;
  }
  EXPECT_EQ(PortLogPath(4), m_logs.File("log/portslog/COM_4.log"));
  EXPECT_EQ(OperateLogPath(), m_logs.File("log/multi_operate.log"));
}

TEST_F(OpLogTest, DetailedLinesNeedTheDebugSwitch) {
  WritePortLog(5, 0, "detail %d", 1);
  WriteOperateLog("operation %d", 1);
  EXPECT_FALSE(fs::exists(PortLogPath(5))) << "no file is created for a suppressed line";
  EXPECT_FALSE(fs::exists(OperateLogPath()));

  WritePortLog(5, kLogAlways, "failure %s", "x");
  g_bOpenDebug = true;
  WritePortLog(5, 0, "detail %d", 2);
  WriteOperateLog("operation %d", 2);
  EXPECT_EQ(ReadWholeFile(PortLogPath(5)), "failure x\ndetail 2\n");
  EXPECT_EQ(ReadWholeFile(OperateLogPath()), "operation 2\n");
}

TEST_F(OpLogTest, PortZeroHasItsOwnFile) {
  WritePortLog(0, kLogAlways, "zero");
  EXPECT_EQ(ReadWholeFile(m_logs.File("log/portslog/COM_0.log")), "zero\n");
}

TEST_F(OpLogTest, LongLinesAreCutAt255BytesWithoutSplittingACharacter) {
  WritePortLog(6, kLogAlways, "%s", std::string(400, 'a').c_str());
  EXPECT_EQ(ReadWholeFile(PortLogPath(6)), std::string(255, 'a') + "\n");

  fs::remove(PortLogPath(6));
  const std::string chinese = std::string(254, 'b') + "\xE4\xB8\xAD";  // cut inside the character
  WritePortLog(6, kLogAlways, "%s", chinese.c_str());
  EXPECT_EQ(ReadWholeFile(PortLogPath(6)), std::string(254, 'b') + "\n");
}

TEST_F(OpLogTest, AMissingFolderLosesTheLineButNeverFails) {
  fs::remove_all(m_logs.File("log"));
  WritePortLog(7, kLogAlways, "lost");
  WriteOperateLog("lost");
  EXPECT_FALSE(fs::exists(PortLogPath(7)));
}

TEST_F(OpLogTest, ConcurrentWritersNeverInterleaveWithinALine) {
  std::vector<std::thread> writers;
  for (int t = 0; t < 8; ++t) {
    writers.emplace_back([t] {
      for (int i = 0; i < 200; ++i)
        WritePortLog(8, kLogAlways, "%d:%s", t, std::string(100, 'a' + t).c_str());
    });
  }
  for (auto& w : writers) w.join();
  const std::string log = ReadWholeFile(PortLogPath(8));
  size_t nLines = 0, at = 0;
  while (at < log.size()) {
    const size_t end = log.find('\n', at);
    ASSERT_NE(end, std::string::npos);
    const std::string line = log.substr(at, end - at);
    ASSERT_EQ(line.size(), 102u);
    EXPECT_EQ(line.substr(2), std::string(100, static_cast<char>('a' + (line[0] - '0'))));
    ++nLines;
    at = end + 1;
  }
  EXPECT_EQ(nLines, 1600u);
}

}  // namespace
