#include "qvsms_ports.h"

#include <algorithm>

#include "platform/qvportnames.h"
#include "qvcomm.h"
#include "qvtext.h"

namespace qvsms {

namespace {

std::string AnswerName(TqvAtAnswer a) {
  switch (a) {
    case TqvAtAnswer::aaAnswers: return "answers";
    case TqvAtAnswer::aaSilent: return "silent";
    case TqvAtAnswer::aaHeld: return "held";
    case TqvAtAnswer::aaNotProbed: break;
  }
  return {};
}

TPortInfo PortOf(const TqvDevice& d) {
  using qv::StringToUtf8;
  TPortInfo p;
  p.device = StringToUtf8(d.NamePDO);
  p.number = qv::platform::PortNumberOf(p.device).value_or(0);
  if (d.NameSymbolic != d.NamePDO) p.link = StringToUtf8(d.NameSymbolic);
  p.name = StringToUtf8(d.NameFriendly);
  p.description = StringToUtf8(d.Description);
  p.manufacturer = StringToUtf8(d.Manufacturer);
  p.serial = StringToUtf8(d.SerialNumber);
  p.driver = StringToUtf8(d.Service);
  p.usb = !d.InstanceIdParent.empty();
  p.usbInterface = d.UsbInterface;
  p.at = AnswerName(d.AtAnswer);
  return p;
}

}  // namespace

std::vector<TPortInfo> DiscoverPorts(bool probe) {
  TqvComm comm;
  comm.SetEnumPorts(TqvEnumPorts::epFullPresent);
  comm.SetProbeAT(probe);
  comm.GetDeviceList(nullptr);
  const TqvDevice* chosen = FirstModemDevice(comm);
  std::vector<TPortInfo> ports;
  for (int32_t i = 0; i < comm.DeviceCount(); ++i) {
    const TqvDevice* d = comm.GetDevice(i);
    ports.push_back(PortOf(*d));
    ports.back().isDefault = d == chosen;
  }
  return ports;
}

std::optional<std::string> DefaultPort(const std::vector<TPortInfo>& ports) {
  const auto it = std::find_if(ports.begin(), ports.end(), [](const TPortInfo& p) { return p.isDefault; });
  if (it == ports.end()) return std::nullopt;
  return it->device;
}

}  // namespace qvsms
