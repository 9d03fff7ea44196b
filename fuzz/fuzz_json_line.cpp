// The records line parser on arbitrary bytes: it never crashes or loops,
// and whatever it takes it takes the same way again when the text is padded
// with blanks, and refuses once the text is cut short inside its value.

#include <string>
#include <string_view>

#include "common/json_line.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  const std::string_view text(reinterpret_cast<const char*>(pData), nSize);
  const auto value = ParseJsonLine(text);
  const auto padded = ParseJsonLine(" " + std::string(text) + "\t\r\n");
  FUZZ_CHECK(value.has_value() == padded.has_value());
  if (value && nSize > 1 && value->Kind() != CJsonValue::EKind::Number) {
    // Objects, arrays, strings and words end on their own last byte.
    const size_t nEnd = text.find_last_not_of(" \t\r\n");
    if (nEnd != std::string_view::npos && nEnd > 0) {
      FUZZ_CHECK(!ParseJsonLine(text.substr(0, nEnd)));
    }
  }
  return 0;
}
