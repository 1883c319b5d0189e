// Kernel uevent messages come from outside the program: the parser must take
// any datagram without reading past it.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/qvuevent.h"
#include "qvwin32di.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view msg(reinterpret_cast<const char*>(data), size);
  if (auto ev = qv::platform::ParseUevent(msg)) {
    (void)qv::TqvDeviceChangeWatcher::MessageFor(*ev);
    if (ev->Action.empty() || ev->DevPath.empty() || ev->Subsystem.empty()) __builtin_trap();
  }
  return 0;
}
