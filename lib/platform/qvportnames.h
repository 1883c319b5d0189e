// Port numbers <-> Linux device names: the one table, used by the serial
// port to open a port by number and by discovery to number what it finds.
//
//   ComPortNo 1..100    /dev/ttyS0..ttyS99     (COM1..COM4 = ttyS0..ttyS3)
//   ComPortNo 101..200  /dev/ttyUSB0..ttyUSB99 (USB serial adapters)
//   ComPortNo 201..300  /dev/ttyACM0..ttyACM99 (USB modems, phones)
//   ComPortNo 301..400  /dev/ttyAMA0..ttyAMA99 (on-board UARTs of ARM boards)
//   ComPortNo 401..500  /dev/rfcomm0..rfcomm99 (Bluetooth serial links)
//
// One-to-one: no two device names share a number. Numbers outside the table
// (0, above 500) name no device. The device folder is /dev unless a test or
// a sandbox points it elsewhere (SetPortDeviceRoot), so that ports opened by
// number land on pseudo-terminal links there.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace qv::platform {

struct TPortNameRow {
  std::string_view Prefix;  // device name without its number ("ttyUSB")
  uint16_t First;           // ComPortNo of number 0
  uint16_t Count;           // how many numbers the row holds
};

std::span<const TPortNameRow> PortNameTable();

// "ttyUSB0" for 101; empty for a number outside the table.
std::string PortDeviceName(uint16_t portNo);
// The device path of a number under the device folder ("/dev/ttyUSB0").
std::string PortDevicePath(uint16_t portNo);
// The number of a device name or path ("/dev/ttyACM2" -> 203); links are
// not followed. Nothing for a name outside the table.
std::optional<uint16_t> PortNumberOf(std::string_view nameOrPath);

// The folder that holds the devices; "/dev" unless replaced. An empty text
// goes back to "/dev".
std::string PortDeviceRoot();
void SetPortDeviceRoot(std::string root);

}  // namespace qv::platform
