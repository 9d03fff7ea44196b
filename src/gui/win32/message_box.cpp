#include "gui/win32/message_box.h"

#include "platform/win32/wide_text.h"

namespace gui::win32 {

void ShowMessage(HWND hOwner, const std::string& strText, const std::string& strCaption) {
  MessageBoxW(hOwner, platform::Utf8ToWide(strText).c_str(),
              platform::Utf8ToWide(strCaption).c_str(), MB_OK | MB_ICONINFORMATION);
}

}  // namespace gui::win32
