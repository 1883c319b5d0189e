// Serial devices from the kernel's device tree (sysfs) and, where its database
// exists, udev's properties. Every root is a parameter, so tests walk a fake
// tree. Nothing here opens a device node.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "qvapi.h"

QV_API_BEGIN

namespace qv::platform {

struct TqvDeviceRoots {
  std::filesystem::path Sys = "/sys";
  std::filesystem::path Dev = "/dev";
  std::filesystem::path UdevData = "/run/udev/data";
};

// One tty that has a hardware device behind it.
struct TqvTtyDevice {
  std::string Name;          // kernel name: "ttyUSB0", "ttyACM0", "ttyS1"
  std::string DevNode;       // Dev / Name
  std::string ClassPath;     // Sys/class/tty/<Name>
  std::string DevicePath;    // resolved path of the tty's `device`
  std::string Driver;        // bound driver: "ftdi_sio", "cdc_acm", "serial8250"
  std::string Bus;           // subsystem of the device: "usb-serial", "usb", "platform", "pnp"...
  std::string Manufacturer;  // USB manufacturer string, else udev's vendor name
  std::string Product;       // USB product string, else udev's model name
  std::string SerialNumber;
  std::string VendorId, ProductId;  // USB ids, "0403" / "6001"
  std::string Interface;     // USB interface number, "00"
  std::string UsbDevicePath; // resolved path of the USB device (parent of all its interfaces)
  std::string ById;          // a /dev/serial/by-id link to this node, else empty
  bool LegacyUart = false;   // a serial-core port with a `type` attribute
  bool UartKnown = true;     // for a legacy UART: its type is not 0 (unknown)
  bool NodeExists = false;   // the device node is there
  bool Present = false;      // NodeExists and, for a legacy UART, UartKnown

  // "Maker Product", or whichever of the two is known (a product text that
  // already starts with the maker's name is not prefixed twice).
  std::string Description() const;
};

// Every tty below Sys/class/tty with a `device` link, in name order (ttyS10
// after ttyS9: the number part compares as a number).
std::vector<TqvTtyDevice> EnumerateTtyDevices(const TqvDeviceRoots& roots = {});

}  // namespace qv::platform

QV_API_END
