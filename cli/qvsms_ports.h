// qvsms: the serial ports discovery finds, and the rule that picks the port
// to use when none is named.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace qvsms {

struct TPortInfo {
  int number = 0;            // in the port table (101 = ttyUSB0); 0 outside it
  std::string device;        // "/dev/ttyUSB0"
  std::string link;          // a /dev/serial/by-id link, else empty
  std::string description;   // maker and product
  std::string manufacturer;
  std::string serial;
  std::string driver;        // the kernel driver: "option", "cdc_acm", "serial8250"
  bool usb = false;          // a USB device behind it
};

// The ports present, in kernel-name order.
std::vector<TPortInfo> DiscoverPorts();

// The port used when none is named: the first one with a USB device behind
// it (a USB serial adapter, a USB modem or phone). An on-board UART
// (/dev/ttyS*) is never picked: only --device or --port open one.
std::optional<std::string> DefaultPort(const std::vector<TPortInfo>& ports);

}  // namespace qvsms
