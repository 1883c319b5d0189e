// Closing a device handle of the I/O base (a file descriptor on this system).
#pragma once

#include <cstdint>

namespace qv::platform {

// Closes `handle` if it is not -1; false when the close failed.
bool CloseHandle(std::intptr_t handle);

}  // namespace qv::platform
