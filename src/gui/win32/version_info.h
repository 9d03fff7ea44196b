#pragma once

#include <string>

namespace gui::win32 {

// The ProductVersion of a file's version resource (first translation of
// VarFileInfo, commas shown as dots), or empty text when it has none.
std::string ProductVersionOf(const std::wstring& wstrFile);
// The same for the running program's own file.
std::string OwnProductVersion();

}  // namespace gui::win32
