#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/op_log.h"

// Shared by the fuzz targets: a scratch folder for the files a parser reads,
// and checks that stop the run as a crash, so libFuzzer keeps the input.

// Aborts with the failed property; libFuzzer reports it and saves the input.
#define FUZZ_CHECK(cond)                                                            \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                 \
    }                                                                               \
  } while (0)

// One folder per fuzzing process, in memory where possible: the INI writer
// syncs every file it writes, which would dominate a run on a disk.
class CFuzzFolder {
 public:
  CFuzzFolder() {
    const char* pszRoot = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string strTemplate = std::string(pszRoot) + "/norq-fuzz-XXXXXX";
    if (mkdtemp(strTemplate.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    m_strPath = strTemplate;
    // Log lines are formatted but go nowhere: "<folder>/nolog/log" is never
    // created, so millions of runs do not fill a disk with port logs.
    InitLogFolders(m_strPath + "/nolog");
    g_bOpenDebug = true;
  }
  ~CFuzzFolder() {
    std::error_code ec;
    std::filesystem::remove_all(m_strPath, ec);
  }
  CFuzzFolder(const CFuzzFolder&) = delete;
  CFuzzFolder& operator=(const CFuzzFolder&) = delete;

  const std::string& Path() const { return m_strPath; }
  std::string File(const std::string& strRelative) const { return m_strPath + "/" + strRelative; }

 private:
  std::string m_strPath;
};

// Replaces the file's content with the input; the folder must exist.
inline void WriteFuzzFile(const std::string& strPath, const uint8_t* pData, size_t nSize) {
  const int fd = open(strPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  FUZZ_CHECK(fd >= 0);
  size_t nDone = 0;
  while (nDone < nSize) {
    const ssize_t n = write(fd, pData + nDone, nSize - nDone);
    FUZZ_CHECK(n > 0);
    nDone += static_cast<size_t>(n);
  }
  close(fd);
}
