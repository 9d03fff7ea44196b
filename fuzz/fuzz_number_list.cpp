// The number list import on arbitrary files, for each kind: every number
// taken passes the kind's test, carries no line end and is no comment.

#include "fuzz_support.h"
#include "tavlo/numbers/number_checks.h"
#include "tavlo/numbers/number_pool.h"

namespace {

bool IsImeiLine(const std::string& s, int) {
  return IsImeiDigits(s);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  static const CFuzzFolder folder;
  static const std::string strPath = folder.File("numbers.txt");
  WriteFuzzFile(strPath, pData, nSize);

  for (const std::string& strImei : ReadNumberList(strPath, kImeiLength, IsImeiLine, 0)) {
    FUZZ_CHECK(IsImeiDigits(strImei));
  }
  for (int nLength : {1, 16, 20, kMaxSerialLength}) {
    const std::vector<std::string> numbers =
        ReadNumberList(strPath, static_cast<size_t>(nLength), IsValidMbsn, nLength);
    FUZZ_CHECK(numbers.size() <= nSize / static_cast<size_t>(nLength));
    for (const std::string& strNumber : numbers) {
      FUZZ_CHECK(IsValidMbsn(strNumber, nLength));
      FUZZ_CHECK(strNumber.find('\n') == std::string::npos);
      FUZZ_CHECK(strNumber[0] != '#');
    }
  }
  return 0;
}
