// Device discovery and device change: the serial devices the system has, as
// plug-and-play records for the device list, and a watcher that hands every
// serial device arrival or removal to the main thread.
//
// The tree that discovery reads (sysfs, /dev, the udev database) is one
// process-wide setting, so tests point it at a fake tree.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <system_error>
#include <vector>

#include "platform/qvdispatcher.h"
#include "platform/qvsysfs.h"
#include "platform/qvuevent.h"
#include "qvclasses.h"
#include "qvapi.h"

QV_API_BEGIN

namespace qv {

void SetDeviceRoots(const qv::platform::TqvDeviceRoots& roots);
qv::platform::TqvDeviceRoots DeviceRoots();

// Discovery is available: the device tree can be read.
bool SetupApiLoad();

// One record per serial device with a hardware device behind it (only those
// present with `presentOnly`; never an on-board UART slot where no UART
// answered), in kernel-name order:
//   PortName      "COMn" from the port-number table, else the device node ("/dev/ttyXRUSB0")
//   NameDeviceDos the same; NamePDO the device node ("/dev/ttyUSB0")
//   Description   maker and product ("Serial port" for an on-board UART without a name)
//   Manufacturer, SerialNumber from the USB device or udev's database
//   Service       the kernel driver ("ftdi_sio", "cdc_acm", "serial8250")
//   Driver, InstanceId  the device's sysfs path; InstanceIdParent the USB device's
//   RegKey        the tty's sysfs class entry
//   NameSymbolic  a /dev/serial/by-id link when there is one, else the node
//   Data          the port number (0 outside the table); DiskNumber -1
//   UsbInterface  the USB interface number ("bInterfaceNumber"), else -1
std::vector<std::unique_ptr<TqvDevice>> EnumPnpDevices(bool presentOnly);

// Kernel device events turned into device-change messages on the main thread.
// `OnChange` runs there (posted, never waited for) with DBT_DEVICEARRIVAL or
// DBT_DEVICEREMOVECOMPLETE and device type DBT_DEVTYP_PORT, or with
// DBT_DEVNODES_CHANGED when the kernel reports lost events. Start, Stop and
// destruction belong to the main thread; nothing runs after Stop returns.
class TqvDeviceChangeWatcher {
 public:
  using THandler = std::function<void(const TqvDeviceChangeMsg&)>;

  explicit TqvDeviceChangeWatcher(THandler onChange) : onChange_(std::move(onChange)) {}
  ~TqvDeviceChangeWatcher() { Stop(); }
  TqvDeviceChangeWatcher(const TqvDeviceChangeWatcher&) = delete;
  TqvDeviceChangeWatcher& operator=(const TqvDeviceChangeWatcher&) = delete;

  std::error_code Start();
  // Over a datagram descriptor (taken over) that carries recorded uevents.
  std::error_code StartOnDescriptor(int fd);
  void Stop();
  bool Running() const { return watcher_.Running(); }

  // The message a kernel event stands for; nothing when it is no serial change.
  static std::optional<TqvDeviceChangeMsg> MessageFor(const qv::platform::TqvUevent& event);

 private:
  void OnEvent(const qv::platform::TqvUevent& event);

  THandler onChange_;
  qv::platform::TDispatchGroup group_;
  qv::platform::TqvUeventWatcher watcher_;
};

}  // namespace qv

QV_API_END
