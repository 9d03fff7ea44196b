#include "platform/usb_serial_ports.h"

#include <libudev.h>

#include <cctype>
#include <memory>
#include <mutex>

namespace platform {
namespace {

struct SUdevUnref {
  void operator()(udev* p) const { udev_unref(p); }
  void operator()(udev_enumerate* p) const { udev_enumerate_unref(p); }
  void operator()(udev_device* p) const { udev_device_unref(p); }
};
// libudev keeps process-wide state that two threads listing at once race on
// (the window's hot-plug watcher and a worker's port search): one at a time.
std::mutex g_udevMutex;

template <typename T>
using TUdevPtr = std::unique_ptr<T, SUdevUnref>;

// Reads a sysfs attribute rather than a udev database property, so that the
// facts are there even where no udev daemon runs (containers, CI).
std::string Attr(udev_device* pDev, const char* pszName, bool bLower) {
  const char* psz = udev_device_get_sysattr_value(pDev, pszName);
  std::string str = psz ? psz : "";
  if (bLower) {
    for (char& c : str) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return str;
}

}  // namespace

std::vector<SUsbSerialPort> ListUsbSerialPorts() {
  std::vector<SUsbSerialPort> ports;
  std::lock_guard lock(g_udevMutex);
  TUdevPtr<udev> pUdev(udev_new());
  if (!pUdev) return ports;
  TUdevPtr<udev_enumerate> pEnum(udev_enumerate_new(pUdev.get()));
  if (!pEnum || udev_enumerate_add_match_subsystem(pEnum.get(), "tty") < 0 ||
      udev_enumerate_scan_devices(pEnum.get()) < 0) {
    return ports;
  }
  udev_list_entry* pEntry = nullptr;
  udev_list_entry_foreach(pEntry, udev_enumerate_get_list_entry(pEnum.get())) {
    TUdevPtr<udev_device> pDev(
        udev_device_new_from_syspath(pUdev.get(), udev_list_entry_get_name(pEntry)));
    if (!pDev) continue;
    // The parent belongs to pDev and is released with it.
    udev_device* pUsb =
        udev_device_get_parent_with_subsystem_devtype(pDev.get(), "usb", "usb_device");
    const char* pszNode = udev_device_get_devnode(pDev.get());
    const char* pszPhys = pUsb ? udev_device_get_devpath(pUsb) : nullptr;
    if (!pszNode || !pszPhys) continue;
    ports.push_back({pszNode, pszPhys, Attr(pUsb, "idVendor", true), Attr(pUsb, "idProduct", true),
                     Attr(pUsb, "product", false)});
  }
  return ports;
}

}  // namespace platform
