// Port discovery, the plug-and-play probe and saved configurations of the
// serial port. Placeholders until discovery arrives: no devices are listed
// and nothing is probed, saved or loaded.
#include "qvcomm.h"

void TqvCustomSerialComm::DeviceListLoad() {}

std::u16string TqvCustomSerialComm::GetPNPDeviceString() { return {}; }

bool TqvCustomSerialComm::SaveConfig(const std::u16string& /*Root*/, const std::u16string& /*Key*/,
                                     const std::u16string& /*Name*/) {
  return false;
}

bool TqvCustomSerialComm::LoadConfig(const std::u16string& /*Root*/, const std::u16string& /*Key*/,
                                     const std::u16string& /*Name*/) {
  return false;
}

bool TqvCustomSerialComm::WMDeviceChange(const TqvDeviceChangeMsg& Msg) {
  return TqvBaseIO::WMDeviceChange(Msg);
}
