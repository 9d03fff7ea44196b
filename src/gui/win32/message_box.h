#pragma once

#include <windows.h>

#include <string>

namespace gui::win32 {

// Every message box of the tools: OK only, the program's name as caption,
// owned by hOwner (may be null). Returns when the operator closed it.
void ShowMessage(HWND hOwner, const std::string& strText, const std::string& strCaption);

}  // namespace gui::win32
