// One seam for the system calls of the serial backend, so that tests reach
// error paths (EIO on removal, ENOTTY from a pseudo-terminal's modem-line
// ioctls, EINTR, EAGAIN) without hardware. Each call returns what the system
// call returns and leaves errno as it does.
#pragma once

#include <cstddef>

struct pollfd;

namespace qv::platform {

struct SysCalls {
  int (*open)(const char* path, int flags) = nullptr;
  int (*close)(int fd) = nullptr;
  long (*read)(int fd, void* buf, size_t n) = nullptr;
  long (*write)(int fd, const void* buf, size_t n) = nullptr;
  int (*ioctl)(int fd, unsigned long request, void* arg) = nullptr;
  int (*poll)(pollfd* fds, unsigned long nfds, int timeoutMs) = nullptr;
  int (*flock)(int fd, int op) = nullptr;
};

// The calls in use; the real ones unless a test replaced them.
const SysCalls& Sys();
// The real system calls.
const SysCalls& RealSysCalls();
// Replaces the calls in use (nullptr: back to the real ones). For tests; set
// it before the device under test is opened and reset it after it is closed.
void SetSysCalls(const SysCalls* calls);

}  // namespace qv::platform
