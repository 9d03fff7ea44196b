// The INI reader and writer on arbitrary files. After a key is written, it
// reads back as written and every other key reads as it did before: the
// writer keeps all other lines, whatever the file held.

#include <array>
#include <utility>

#include "common/ini_file.h"
#include "fuzz_support.h"

namespace {

// Names the seeds use, in different cases, plus one that no seed has.
constexpr std::array<const char*, 5> kSections = {"S", "t", "FILE_1", "general", "absent"};
constexpr std::array<const char*, 4> kKeys = {"K", "j", "PATH", "absent"};
// No value read from a file can hold a line break.
constexpr char kMissing[] = "\n<missing>\n";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  static const CFuzzFolder folder;
  static const std::string strPath = folder.File("fuzz.ini");
  WriteFuzzFile(strPath, pData, nSize);

  std::array<std::array<std::string, kKeys.size()>, kSections.size()> before;
  for (size_t s = 0; s < kSections.size(); ++s) {
    for (size_t k = 0; k < kKeys.size(); ++k) {
      before[s][k] = IniGetString(kSections[s], kKeys[k], kMissing, strPath);
      // The value is trimmed: no blanks at its ends, never a line end inside.
      const std::string& v = before[s][k];
      FUZZ_CHECK(v == kMissing || v.find('\n') == std::string::npos);
      FUZZ_CHECK(v.empty() || (v.front() != ' ' && v.back() != ' '));
      const int n = IniGetInt(kSections[s], kKeys[k], -7, strPath);
      FUZZ_CHECK(v == kMissing ? n == -7 : n >= 0);
    }
  }

  // Write one key chosen by the input's size, then read everything back.
  const size_t nSection = nSize % kSections.size();
  const size_t nKey = (nSize / kSections.size()) % kKeys.size();
  const std::string strValue = "written " + std::to_string(nSize);
  FUZZ_CHECK(IniWriteString(kSections[nSection], kKeys[nKey], strValue, strPath));
  for (size_t s = 0; s < kSections.size(); ++s) {
    for (size_t k = 0; k < kKeys.size(); ++k) {
      const std::string strNow = IniGetString(kSections[s], kKeys[k], kMissing, strPath);
      const bool bWritten = s == nSection && k == nKey;
      FUZZ_CHECK(strNow == (bWritten ? strValue : before[s][k]));
    }
  }
  return 0;
}
