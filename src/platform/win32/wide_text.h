#pragma once

#include <string>

// The program keeps text in UTF-8; the system's wide-character calls take
// UTF-16. Invalid input converts to an empty string.

namespace platform {

std::wstring Utf8ToWide(const std::string& str);
std::string WideToUtf8(const std::wstring& str);

}  // namespace platform
