// qvsms: the serial ports discovery finds, which of them answer AT, and the
// port used when none is named.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace qvsms {

struct TPortInfo {
  int number = 0;            // in the port table (101 = ttyUSB0); 0 outside it
  std::string device;        // "/dev/ttyUSB0"
  std::string link;          // a /dev/serial/by-id link, else empty
  std::string name;          // "COM102 (Quectel EC25, interface 2, answers AT)"
  std::string description;   // maker and product
  std::string manufacturer;
  std::string serial;
  std::string driver;        // the kernel driver: "option", "cdc_acm", "serial8250"
  bool usb = false;          // a USB device behind it
  int usbInterface = -1;     // its USB interface number; -1 for none
  std::string at;            // "answers", "silent", "held" (another program has it); empty: not asked
  bool isDefault = false;    // the port used when none is named
};

// The ports present, in port-number order. With `probe`, each USB port that
// no program holds is asked for a short "AT" (an on-board UART never is).
// The default port is the first that answered, else the first USB port; an
// on-board UART (/dev/ttyS*) is never the default: only --device or --port
// open one.
std::vector<TPortInfo> DiscoverPorts(bool probe);

// The device path of the default port, if there is one.
std::optional<std::string> DefaultPort(const std::vector<TPortInfo>& ports);

}  // namespace qvsms
