#pragma once

#include <windows.h>

#include <string>

// Window texts in the program's UTF-8, through the system's UTF-16 calls.
namespace gui::win32 {

void SetText(HWND hWnd, const std::string& strText);
// Sets the text only when it differs: a repaint per change, not per render.
void SetTextIfChanged(HWND hWnd, const std::wstring& wstrText);
std::string GetText(HWND hWnd);
std::wstring GetWideText(HWND hWnd);

}  // namespace gui::win32
