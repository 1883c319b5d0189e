// Kernel device events (netlink uevents): the message parser and a watcher
// thread that reports each event to a handler. The watcher owns its thread and
// joins it in Stop() or its destructor.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include "qvapi.h"

QV_API_BEGIN

namespace qv::platform {

struct TqvUevent {
  std::string Action;     // "add", "remove", "change", "move", "bind", "unbind"
  std::string DevPath;    // "/devices/.../tty/ttyUSB0"
  std::string Subsystem;  // "tty"
  std::string DevName;    // "ttyUSB0"
  std::map<std::string, std::string> Env;  // every KEY=value pair
};

// One kernel uevent message: "action@devpath" followed by NUL-separated
// KEY=value pairs. Nothing for a message in udev's own format or one without
// ACTION, DEVPATH or SUBSYSTEM; a header that disagrees with ACTION/DEVPATH
// is rejected too.
std::optional<TqvUevent> ParseUevent(std::string_view message);

// A serial device came or went: a tty with a hardware device was added or
// removed (pseudo-terminals and virtual consoles raise no kernel events).
bool IsSerialDeviceChange(const TqvUevent& event);

class TqvUeventWatcher {
 public:
  using THandler = std::function<void(const TqvUevent&)>;

  TqvUeventWatcher() = default;
  TqvUeventWatcher(const TqvUeventWatcher&) = delete;
  TqvUeventWatcher& operator=(const TqvUeventWatcher&) = delete;
  ~TqvUeventWatcher() { Stop(); }

  // Listens to the kernel's uevent broadcast; `handler` runs on the watcher's
  // thread for every message that parses, and with Action "overflow" when the
  // kernel reports lost messages. Exceptions from it are swallowed.
  std::error_code Start(THandler handler);
  // The same over a datagram descriptor the watcher takes ownership of (tests
  // use one end of a socket pair and send recorded messages into the other).
  std::error_code StartOnDescriptor(int fd, THandler handler);
  // Wakes the thread and joins it; a handler call in progress finishes first.
  void Stop();
  bool Running() const { return thread_.joinable(); }

 private:
  std::error_code Launch(int fd, bool fromKernel, THandler handler);
  void Run(THandler handler);

  std::thread thread_;
  int fd_ = -1;
  int wake_ = -1;
  bool fromKernel_ = false;
};

}  // namespace qv::platform

QV_API_END
