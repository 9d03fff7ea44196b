#pragma once

#include <string>
#include <vector>

#include "platform/usb_serial_ports.h"

// How USB serial devices get their names and COM numbers. Used by the port
// discovery; separate so that it can be tried on given facts and files.

// "<description> (COM<n>)", or "COM<n>" when there is no description. The
// description is the USB id table's DESCRIPTION in section "vvvv:pppp" of the
// file strTablePath, else a built-in entry, else the USB product string.
std::string FriendlyNameOf(const platform::SUsbSerialPort& port, const std::string& strTablePath,
                           int nCom);

// The COM number map: $PHONE_COM_MAP, else norq/com-ports.ini in the user's
// state folder, which is created when missing.
std::string ComMapPath();

// The COM number of each physical path, in the same order. A path in the map
// keeps its number; a new one gets the lowest free number from 3 to 255 and is
// recorded. 0 when no number is free. Threads and processes sharing the map
// file never give one number to two paths.
std::vector<int> AssignComNumbers(const std::string& strMapPath,
                                  const std::vector<std::string>& physPaths);
