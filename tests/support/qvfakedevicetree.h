// A fake device tree for discovery tests: sys/ shaped like the kernel's sysfs
// (class links, device links, driver and subsystem links, USB attributes), a
// dev/ folder with plain files for device nodes and serial/by-id links, and a
// udev database folder. Removed with the object.
#pragma once

#include <filesystem>
#include <map>
#include <string>

#include "platform/qvsysfs.h"

class TqvFakeDeviceTree {
 public:
  TqvFakeDeviceTree();
  ~TqvFakeDeviceTree();
  TqvFakeDeviceTree(const TqvFakeDeviceTree&) = delete;
  TqvFakeDeviceTree& operator=(const TqvFakeDeviceTree&) = delete;

  qv::platform::TqvDeviceRoots Roots() const;
  const std::filesystem::path& Base() const { return base_; }

  struct UsbDevice {
    std::string Port = "1-1";  // bus position, "1-1"
    std::string VendorId = "0403", ProductId = "6001";
    std::string Manufacturer, Product, Serial;
  };
  // A USB serial converter interface (usb-serial bus): ttyUSBn below the
  // interface's own usb-serial port device.
  void AddUsbSerial(const UsbDevice& usb, int interfaceNo, const std::string& tty,
                    const std::string& driver, const std::string& majMin, bool node = true);
  // A CDC ACM interface: ttyACMn directly below the interface.
  void AddAcm(const UsbDevice& usb, int interfaceNo, const std::string& tty, const std::string& majMin,
              bool node = true);
  // An on-board UART of the 8250 driver; type "0" means no UART answered.
  void AddLegacyUart(const std::string& tty, const std::string& type, const std::string& majMin, bool node = true);
  // A tty without a device behind it (virtual console).
  void AddVirtualTty(const std::string& tty);
  void AddByIdLink(const std::string& linkName, const std::string& tty);
  void AddUdevProperties(const std::string& majMin, const std::map<std::string, std::string>& props);
  void RemoveNode(const std::string& tty);

 private:
  std::filesystem::path UsbDeviceDir(const UsbDevice& usb);
  void AddTtyClassEntry(const std::filesystem::path& ttyDir, const std::string& tty,
                        const std::filesystem::path& deviceDir, const std::string& majMin, bool node);
  void Link(const std::filesystem::path& at, const std::filesystem::path& target);
  void Write(const std::filesystem::path& file, const std::string& text);

  std::filesystem::path base_;
};
