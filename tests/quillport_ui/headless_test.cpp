#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "pty_phone.h"

namespace {

// Runs a command in a folder; returns its exit status and output.
int RunIn(const std::string& strDir, const std::string& strCommand, std::string* pOut) {
  const std::string out = strDir + "/out.txt";
  const int rc = std::system(("cd '" + strDir + "' && " + strCommand + " > out.txt 2>&1").c_str());
  *pOut = ReadWholeFile(out);
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

TEST(QuillportHeadless, ServesSimulatedPhonesOnEveryRowAndCountsThem) {
  CTempDir dir;
  std::filesystem::create_directories(dir.File("ini"));
  std::ofstream(dir.File("pkg.ini"))
      << "[PDL1]\nfile=pattern:16k\naddr=0x100000\nby_addr=yes\nexec=yes\n"
         "[PDL2]\nfile=pattern:64k\naddr=0x80000000\nby_addr=yes\nexec=yes\n"
         "[modem]\nfile=pattern:600k\n[system]\nfile=pattern:1M\n";
  std::string out;
  ASSERT_EQ(RunIn(dir.Path(), std::string(QUILLPORT_PACK_PATH) + " create pkg.ini -o t_norq_total.bin", &out), 0) << out;
  ASSERT_EQ(RunIn(dir.Path(), std::string(QUILLPORT_PACK_PATH) + " filelist t_norq_total.bin > ini/filelist.ini", &out), 0);

  const std::string cmd = std::string(QUILLPORT_PATH) +
                          " --headless --simulate 3 --count 2 --package t_norq_total.bin";
  ASSERT_EQ(RunIn(dir.Path(), cmd, &out), 0) << out;
  EXPECT_NE(out.find("quillport: 6 phone(s) passed, 0 failed"), std::string::npos) << out;
  EXPECT_NE(ReadWholeFile(dir.File("ini/download.ini")).find("[PORT_3]\nISUSED=Yes"),
            std::string::npos)
      << "the port selection is saved as the window would";
}

TEST(QuillportHeadless, BadUsageEndsWithTwo) {
  CTempDir dir;
  std::string out;
  EXPECT_EQ(RunIn(dir.Path(), std::string(QUILLPORT_PATH) + " --headless --rows 9", &out), 2);
  EXPECT_EQ(RunIn(dir.Path(), std::string(QUILLPORT_PATH) + " --headless --timeout 1234", &out), 2);
}

}  // namespace
