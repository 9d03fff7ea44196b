#pragma once

#include <functional>
#include <list>
#include <memory>
#include <string>

#include "serial/port_policy.h"

// Serial port discovery. A phone in loader mode lists as a port whose friendly
// name reads "Gadget Serial (COM<n>)".
//
// Ports come from two places:
//  - USB serial devices of the system. A device's description comes from the
//    USB id table (ini/usbdevices.ini below the base folder, with a built-in
//    entry 0525:a4a7 "Gadget Serial"), else from its USB product string; its
//    COM number stays the same for the same physical USB socket.
//  - A folder of virtual ports named by the environment variable
//    PHONE_PORTS_DIR: every symbolic link in it is a port whose friendly name
//    is the link's name and whose device is the link's target.

struct SSerInfo {
  std::string m_strOpenName;  // the device to open, for example /dev/ttyACM0
  std::string m_strComName;   // COM<n>
  std::string m_strFriendly;  // for example Gadget Serial (COM12)
  std::string m_strUsbPath;   // where the USB device is plugged in; empty where unknown
};

// Empties the list and fills it with the phone ports present (a friendly
// name holding "Gadget Serial"), in a stable order; other serial devices are
// neither listed nor opened. With bLeaveOutBusy every port that cannot be
// opened exclusively right now is left out, and logged when the policy says
// so.
void ListSerialPorts(std::list<SSerInfo>& ports, bool bLeaveOutBusy,
                     const SPortPolicy& policy = {});

// The device to open for COM port nPort; empty when no such port is present.
std::string DeviceOfComPort(int nPort);

// Reads the number from a friendly name with "Gadget Serial (COM%d)"; 0 when
// the name does not have that form.
int GadgetComNumber(const std::string& strFriendly);
