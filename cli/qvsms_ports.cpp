#include "qvsms_ports.h"

#include "qvtext.h"
#include "qvwin32di.h"

namespace qvsms {

std::vector<TPortInfo> DiscoverPorts() {
  std::vector<TPortInfo> ports;
  for (const auto& d : qv::EnumPnpDevices(true)) {
    TPortInfo p;
    p.number = d->Data > 0 && d->Data <= 0xFFFF ? d->Data : 0;
    p.device = qv::StringToUtf8(d->NamePDO);
    if (d->NameSymbolic != d->NamePDO) p.link = qv::StringToUtf8(d->NameSymbolic);
    p.description = qv::StringToUtf8(d->Description);
    p.manufacturer = qv::StringToUtf8(d->Manufacturer);
    p.serial = qv::StringToUtf8(d->SerialNumber);
    p.driver = qv::StringToUtf8(d->Service);
    p.usb = !d->InstanceIdParent.empty();
    ports.push_back(std::move(p));
  }
  return ports;
}

std::optional<std::string> DefaultPort(const std::vector<TPortInfo>& ports) {
  for (const auto& p : ports)
    if (p.usb && !p.device.empty()) return p.device;
  return std::nullopt;
}

}  // namespace qvsms
