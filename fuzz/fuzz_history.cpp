// The write history loader on arbitrary files: every entry it keeps has a
// 19-character time stamp and a number without line breaks (empty for a line
// of 20 characters), and every number loaded counts as used.

#include "fuzz_support.h"
#include "tavlo/settings/write_history.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  static const CFuzzFolder folder;
  static const std::string strPath = folder.File("wimei.history");
  WriteFuzzFile(strPath, pData, nSize);

  CWriteHistory history(strPath);
  history.Load();
  const std::vector<HistoryEntry> entries = history.Entries();
  FUZZ_CHECK(entries.size() <= nSize / 20);  // each entry takes 20 bytes or more
  for (const HistoryEntry& entry : entries) {
    FUZZ_CHECK(entry.m_strTime.size() == 19);
    FUZZ_CHECK(entry.m_strTime[0] != '#');
    FUZZ_CHECK(entry.m_strNumber.find('\n') == std::string::npos);
    FUZZ_CHECK(history.Contains(entry.m_strNumber));
  }
  return 0;
}
