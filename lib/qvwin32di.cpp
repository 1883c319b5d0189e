#include "qvwin32di.h"

#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "platform/qvportnames.h"
#include "qvtext.h"

namespace qv {
namespace {

std::mutex rootsMutex;
qv::platform::TqvDeviceRoots& Roots() {
  static qv::platform::TqvDeviceRoots roots;
  return roots;
}

std::u16string U(const std::string& s) { return Utf8ToString(s); }

}  // namespace

void SetDeviceRoots(const qv::platform::TqvDeviceRoots& roots) {
  std::lock_guard g(rootsMutex);
  Roots() = roots;
}

qv::platform::TqvDeviceRoots DeviceRoots() {
  std::lock_guard g(rootsMutex);
  return Roots();
}

bool SetupApiLoad() {
  std::error_code ec;
  return std::filesystem::is_directory(DeviceRoots().Sys / "class" / "tty", ec);
}

std::vector<std::unique_ptr<TqvDevice>> EnumPnpDevices(bool presentOnly) {
  std::vector<std::unique_ptr<TqvDevice>> out;
  for (const auto& tty : qv::platform::EnumerateTtyDevices(DeviceRoots())) {
    if (tty.LegacyUart && !tty.UartKnown) continue;  // a UART slot with nothing behind it
    if (presentOnly && !tty.Present) continue;
    auto d = std::make_unique<TqvDevice>();
    const auto number = qv::platform::PortNumberOf(tty.Name);
    // Outside the table the node itself names the port (the port opens paths).
    d->PortName = number ? u"COM" + IntToStr(*number) : U(tty.DevNode);
    d->NameDeviceDos = d->PortName;
    d->NameFriendly = d->PortName;
    d->Data = number ? *number : 0;
    d->NamePDO = U(tty.DevNode);
    std::string description = tty.Description();
    if (description.empty() && tty.LegacyUart) description = "Serial port";
    d->Description = U(description);
    d->Manufacturer = U(tty.Manufacturer);
    d->SerialNumber = U(tty.SerialNumber);
    d->Service = U(tty.Driver);
    d->Driver = U(tty.DevicePath);
    d->InstanceId = U(tty.DevicePath);
    d->InstanceIdParent = U(tty.UsbDevicePath);
    d->RegKey = U(tty.ClassPath);
    d->NameSymbolic = U(tty.ById.empty() ? tty.DevNode : tty.ById);
    d->DiskNumber = -1;
    if (!tty.UsbDevicePath.empty() && !tty.Interface.empty())
      d->UsbInterface = static_cast<int32_t>(std::strtol(tty.Interface.c_str(), nullptr, 16));
    out.push_back(std::move(d));
  }
  return out;
}

std::optional<TqvDeviceChangeMsg> TqvDeviceChangeWatcher::MessageFor(const qv::platform::TqvUevent& ev) {
  if (!qv::platform::IsSerialDeviceChange(ev)) return std::nullopt;
  TqvDeviceChangeMsg msg;
  if (ev.Action == "add") {
    msg.Event = DBT_DEVICEARRIVAL;
    msg.DeviceType = DBT_DEVTYP_PORT;
  } else if (ev.Action == "remove") {
    msg.Event = DBT_DEVICEREMOVECOMPLETE;
    msg.DeviceType = DBT_DEVTYP_PORT;
  } else {
    msg.Event = DBT_DEVNODES_CHANGED;
  }
  return msg;
}

std::error_code TqvDeviceChangeWatcher::Start() {
  Stop();
  group_.Reopen();
  return watcher_.Start([this](const qv::platform::TqvUevent& ev) { OnEvent(ev); });
}

std::error_code TqvDeviceChangeWatcher::StartOnDescriptor(int fd) {
  Stop();
  group_.Reopen();
  return watcher_.StartOnDescriptor(fd, [this](const qv::platform::TqvUevent& ev) { OnEvent(ev); });
}

void TqvDeviceChangeWatcher::Stop() {
  watcher_.Stop();   // no new events after this
  group_.Cancel();   // and none of the posted ones runs any more
}

// On the watcher's thread: post, never wait, so stopping the watcher from the
// main thread can always join it.
void TqvDeviceChangeWatcher::OnEvent(const qv::platform::TqvUevent& ev) {
  const auto msg = MessageFor(ev);
  if (!msg || !onChange_) return;
  qv::platform::PostToMainThread(group_, [this, m = *msg] { onChange_(m); });
}

}  // namespace qv
