#include "platform/qvsyscall.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>

namespace qv::platform {
namespace {

int RealOpen(const char* path, int flags) { return ::open(path, flags); }
int RealClose(int fd) { return ::close(fd); }
long RealRead(int fd, void* buf, size_t n) { return ::read(fd, buf, n); }
long RealWrite(int fd, const void* buf, size_t n) { return ::write(fd, buf, n); }
int RealIoctl(int fd, unsigned long request, void* arg) { return ::ioctl(fd, request, arg); }
int RealPoll(pollfd* fds, unsigned long nfds, int timeoutMs) {
  return ::poll(fds, static_cast<nfds_t>(nfds), timeoutMs);
}
int RealFlock(int fd, int op) { return ::flock(fd, op); }

const SysCalls kReal{RealOpen, RealClose, RealRead, RealWrite, RealIoctl, RealPoll, RealFlock};
std::atomic<const SysCalls*> gCalls{&kReal};

}  // namespace

const SysCalls& Sys() { return *gCalls.load(std::memory_order_acquire); }
const SysCalls& RealSysCalls() { return kReal; }
void SetSysCalls(const SysCalls* calls) {
  gCalls.store(calls ? calls : &kReal, std::memory_order_release);
}

}  // namespace qv::platform
