#pragma once

#include <string>
#include <vector>

// Serial devices of the system that sit on a USB device, as plain facts. How
// they are named to the operator is decided by the serial layer.

namespace platform {

struct SUsbSerialPort {
  std::string m_strDevNode;    // the device to open, for example /dev/ttyACM0
  std::string m_strPhysPath;   // where the USB device is plugged in; the same for the same socket
  std::string m_strVendorId;   // four lowercase hex digits, for example 0525
  std::string m_strProductId;  // four lowercase hex digits, for example a4a7
  std::string m_strProduct;    // the USB product string; may be empty
  int m_nSystemCom = 0;        // the COM number the system gave it; 0 where it gives none
};

// Every serial device with a USB parent. Empty when there is none or the
// system cannot tell; never fails.
std::vector<SUsbSerialPort> ListUsbSerialPorts();

}  // namespace platform
