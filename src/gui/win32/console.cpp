#include "gui/win32/console.h"

#include <windows.h>

#include <cstdio>

namespace gui::win32 {
namespace {

bool Inherited(DWORD nStd) {
  HANDLE h = GetStdHandle(nStd);
  return h != nullptr && h != INVALID_HANDLE_VALUE && GetFileType(h) != FILE_TYPE_UNKNOWN;
}

}  // namespace

bool AttachParentConsole() {
  const bool bOut = Inherited(STD_OUTPUT_HANDLE), bErr = Inherited(STD_ERROR_HANDLE);
  if (bOut && bErr) return true;
  if (!AttachConsole(ATTACH_PARENT_PROCESS)) return bOut || bErr;
  // The C streams of a GUI program start unbound: bind the missing ones.
  if (!bOut && std::freopen("CONOUT$", "w", stdout)) std::setvbuf(stdout, nullptr, _IONBF, 0);
  if (!bErr) std::freopen("CONOUT$", "w", stderr);
  return true;
}

}  // namespace gui::win32
