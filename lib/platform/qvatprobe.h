// The short AT probe of device discovery: does a serial interface answer "AT"
// with OK? Modules expose several interfaces of which only some speak AT.
#pragma once

#include <cstdint>
#include <string>

namespace qv::platform {

enum class TAtProbe {
  apSkipped,  // not probed: an on-board UART (ttyS*), or no character device
  apHeld,     // another program (or this one) holds the port: left alone
  apSilent,   // opened, but no OK came
  apAnswers,  // answered AT with OK
};

// Opens `node` only when no other process has it open (as /proc tells) and
// leaves it at once, unwritten, when a port of this process holds its flock;
// never a /dev/ttyS* port. Sends "AT\r" at 115200 8N1 and waits up to `timeoutMs` for
// OK; the port's settings are restored and its lock released before it closes.
TAtProbe ProbeAt(const std::string& node, uint32_t timeoutMs = 300);

}  // namespace qv::platform
