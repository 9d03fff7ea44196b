#include "platform/usb_serial_ports.h"

#include <windows.h>
// windows.h first: these need its types.
#include <devguid.h>
#include <initguid.h>
#include <setupapi.h>

#include <cstdio>
#include <cwctype>

#include "platform/win32/wide_text.h"

namespace platform {
namespace {

std::wstring RegistryText(HDEVINFO hInfo, SP_DEVINFO_DATA* pData, DWORD dwProperty) {
  std::wstring text(256, L'\0');
  for (;;) {
    DWORD dwNeeded = 0;
    if (SetupDiGetDeviceRegistryPropertyW(
            hInfo, pData, dwProperty, nullptr, reinterpret_cast<BYTE*>(text.data()),
            static_cast<DWORD>(text.size() * sizeof(wchar_t)), &dwNeeded)) {
      text.resize(wcsnlen(text.c_str(), text.size()));
      return text;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return {};
    text.assign(dwNeeded / sizeof(wchar_t) + 1, L'\0');
  }
}

// Four lowercase hex digits following strKey ("VID_", "PID_") in a
// hardware id such as USB\VID_0525&PID_A4A7&REV_0100.
std::string IdAfter(const std::wstring& wstrId, const wchar_t* pszKey) {
  const size_t pos = wstrId.find(pszKey);
  if (pos == std::wstring::npos || pos + 8 > wstrId.size()) return {};
  std::string id;
  for (size_t i = pos + 4; i < pos + 8; ++i) {
    id += static_cast<char>(std::towlower(wstrId[i]));
  }
  return id;
}

}  // namespace

std::vector<SUsbSerialPort> ListUsbSerialPorts() {
  std::vector<SUsbSerialPort> ports;
  HDEVINFO hInfo = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
  if (hInfo == INVALID_HANDLE_VALUE) return ports;
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(hInfo, i, &data); ++i) {
    const std::wstring wstrFriendly = RegistryText(hInfo, &data, SPDRP_FRIENDLYNAME);
    const std::wstring wstrHardware = RegistryText(hInfo, &data, SPDRP_HARDWAREID);
    // Only USB devices, and only those whose friendly name carries their
    // COM number as "… (COMn)".
    if (wstrHardware.rfind(L"USB\\", 0) != 0) continue;
    const size_t open = wstrFriendly.rfind(L"(COM");
    int nCom = 0;
    if (open == std::wstring::npos ||
        swscanf(wstrFriendly.c_str() + open, L"(COM%d)", &nCom) != 1 || nCom < 1 || nCom > 255) {
      continue;
    }
    wchar_t szInstance[512] = {};
    SetupDiGetDeviceInstanceIdW(hInfo, &data, szInstance, 512, nullptr);
    std::wstring wstrProduct = wstrFriendly.substr(0, open);
    while (!wstrProduct.empty() && wstrProduct.back() == L' ') wstrProduct.pop_back();
    SUsbSerialPort port;
    port.m_strDevNode =
        nCom <= 9 ? "COM" + std::to_string(nCom) : "\\\\.\\COM" + std::to_string(nCom);
    port.m_strPhysPath = WideToUtf8(szInstance);
    port.m_strVendorId = IdAfter(wstrHardware, L"VID_");
    port.m_strProductId = IdAfter(wstrHardware, L"PID_");
    port.m_strProduct = WideToUtf8(wstrProduct);
    port.m_nSystemCom = nCom;
    ports.push_back(std::move(port));
  }
  SetupDiDestroyDeviceInfoList(hInfo);
  return ports;
}

}  // namespace platform
