#include "platform/qvhandle.h"

#include <unistd.h>

namespace qv::platform {

bool CloseHandle(std::intptr_t handle) {
  if (handle < 0) return false;
  // close() is not retried on EINTR: the descriptor is released either way on Linux.
  return ::close(static_cast<int>(handle)) == 0;
}

}  // namespace qv::platform
