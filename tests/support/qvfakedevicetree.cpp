#include "qvfakedevicetree.h"

#include <stdlib.h>

#include <fstream>
#include <stdexcept>

namespace fs = std::filesystem;

TqvFakeDeviceTree::TqvFakeDeviceTree() {
  std::string tmpl = (fs::temp_directory_path() / "qvfaketree.XXXXXX").string();
  if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  base_ = tmpl;
  fs::create_directories(base_ / "sys" / "class" / "tty");
  fs::create_directories(base_ / "sys" / "bus" / "usb" / "drivers");
  fs::create_directories(base_ / "sys" / "bus" / "usb-serial" / "drivers");
  fs::create_directories(base_ / "sys" / "bus" / "platform" / "drivers" / "serial8250");
  fs::create_directories(base_ / "dev");
  fs::create_directories(base_ / "udev");
}

TqvFakeDeviceTree::~TqvFakeDeviceTree() {
  std::error_code ec;
  fs::remove_all(base_, ec);
}

qv::platform::TqvDeviceRoots TqvFakeDeviceTree::Roots() const {
  return {base_ / "sys", base_ / "dev", base_ / "udev"};
}

void TqvFakeDeviceTree::Link(const fs::path& at, const fs::path& target) {
  fs::create_directories(at.parent_path());
  if (fs::exists(fs::symlink_status(at))) return;
  fs::create_symlink(fs::relative(target, at.parent_path()), at);
}

void TqvFakeDeviceTree::Write(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file) << text << "\n";
}

fs::path TqvFakeDeviceTree::UsbDeviceDir(const UsbDevice& usb) {
  const fs::path dir = base_ / "sys/devices/pci0000:00/0000:00:14.0/usb1" / usb.Port;
  if (!fs::exists(dir / "idVendor")) {
    Write(dir / "idVendor", usb.VendorId);
    Write(dir / "idProduct", usb.ProductId);
    if (!usb.Manufacturer.empty()) Write(dir / "manufacturer", usb.Manufacturer);
    if (!usb.Product.empty()) Write(dir / "product", usb.Product);
    if (!usb.Serial.empty()) Write(dir / "serial", usb.Serial);
    Link(dir / "subsystem", base_ / "sys/bus/usb");
  }
  return dir;
}

void TqvFakeDeviceTree::AddTtyClassEntry(const fs::path& ttyDir, const std::string& tty,
                                         const fs::path& deviceDir, const std::string& majMin, bool node) {
  Write(ttyDir / "dev", majMin);
  Link(ttyDir / "device", deviceDir);
  Link(base_ / "sys/class/tty" / tty, ttyDir);
  if (node) Write(base_ / "dev" / tty, "");
}

void TqvFakeDeviceTree::AddUsbSerial(const UsbDevice& usb, int interfaceNo, const std::string& tty,
                                     const std::string& driver, const std::string& majMin, bool node) {
  const fs::path iface = UsbDeviceDir(usb) / (usb.Port + ":1." + std::to_string(interfaceNo));
  Write(iface / "bInterfaceNumber", (interfaceNo < 10 ? "0" : "") + std::to_string(interfaceNo));
  fs::create_directories(base_ / "sys/bus/usb/drivers" / driver);
  fs::create_directories(base_ / "sys/bus/usb-serial/drivers" / driver);
  Link(iface / "driver", base_ / "sys/bus/usb/drivers" / driver);
  const fs::path port = iface / tty;
  Link(port / "driver", base_ / "sys/bus/usb-serial/drivers" / driver);
  Link(port / "subsystem", base_ / "sys/bus/usb-serial");
  AddTtyClassEntry(port / "tty" / tty, tty, port, majMin, node);
}

void TqvFakeDeviceTree::AddAcm(const UsbDevice& usb, int interfaceNo, const std::string& tty,
                               const std::string& majMin, bool node) {
  const fs::path iface = UsbDeviceDir(usb) / (usb.Port + ":1." + std::to_string(interfaceNo));
  Write(iface / "bInterfaceNumber", (interfaceNo < 10 ? "0" : "") + std::to_string(interfaceNo));
  fs::create_directories(base_ / "sys/bus/usb/drivers/cdc_acm");
  Link(iface / "driver", base_ / "sys/bus/usb/drivers/cdc_acm");
  Link(iface / "subsystem", base_ / "sys/bus/usb");
  AddTtyClassEntry(iface / "tty" / tty, tty, iface, majMin, node);
}

void TqvFakeDeviceTree::AddLegacyUart(const std::string& tty, const std::string& type,
                                      const std::string& majMin, bool node) {
  const fs::path dev = base_ / "sys/devices/platform/serial8250";
  Link(dev / "driver", base_ / "sys/bus/platform/drivers/serial8250");
  Link(dev / "subsystem", base_ / "sys/bus/platform");
  const fs::path ttyDir = dev / "tty" / tty;
  Write(ttyDir / "type", type);
  AddTtyClassEntry(ttyDir, tty, dev, majMin, node);
}

void TqvFakeDeviceTree::AddVirtualTty(const std::string& tty) {
  const fs::path ttyDir = base_ / "sys/devices/virtual/tty" / tty;
  Write(ttyDir / "dev", "4:1");
  Link(base_ / "sys/class/tty" / tty, ttyDir);
  Write(base_ / "dev" / tty, "");
}

void TqvFakeDeviceTree::AddByIdLink(const std::string& linkName, const std::string& tty) {
  const fs::path at = base_ / "dev/serial/by-id" / linkName;
  fs::create_directories(at.parent_path());
  fs::create_symlink(fs::path("../..") / tty, at);
}

void TqvFakeDeviceTree::AddUdevProperties(const std::string& majMin, const std::map<std::string, std::string>& props) {
  std::ofstream out(base_ / "udev" / ("c" + majMin));
  out << "I:123456\n";
  for (const auto& [k, v] : props) out << "E:" << k << "=" << v << "\n";
  out << "G:systemd\n";
}

void TqvFakeDeviceTree::RemoveNode(const std::string& tty) { fs::remove(base_ / "dev" / tty); }
