#include "platform/qvuevent.h"

#include <linux/netlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace qv::platform {
namespace {

std::error_code LastError() { return {errno, std::generic_category()}; }

}  // namespace

std::optional<TqvUevent> ParseUevent(std::string_view msg) {
  const size_t headEnd = msg.find('\0');
  const std::string_view head = msg.substr(0, headEnd);
  const size_t at = head.find('@');
  if (at == std::string_view::npos || at == 0) return std::nullopt;  // also udev's "libudev" header
  TqvUevent ev;
  size_t pos = headEnd == std::string_view::npos ? msg.size() : headEnd + 1;
  while (pos < msg.size()) {
    size_t end = msg.find('\0', pos);
    if (end == std::string_view::npos) end = msg.size();
    const std::string_view kv = msg.substr(pos, end - pos);
    pos = end + 1;
    const size_t eq = kv.find('=');
    if (eq == std::string_view::npos || eq == 0) continue;
    ev.Env[std::string(kv.substr(0, eq))] = std::string(kv.substr(eq + 1));
  }
  auto get = [&](const char* k) { auto it = ev.Env.find(k); return it == ev.Env.end() ? std::string() : it->second; };
  ev.Action = get("ACTION");
  ev.DevPath = get("DEVPATH");
  ev.Subsystem = get("SUBSYSTEM");
  ev.DevName = get("DEVNAME");
  if (ev.Action.empty() || ev.DevPath.empty() || ev.Subsystem.empty()) return std::nullopt;
  if (head.substr(0, at) != ev.Action || head.substr(at + 1) != ev.DevPath) return std::nullopt;
  if (ev.DevName.empty()) ev.DevName = ev.DevPath.substr(ev.DevPath.rfind('/') + 1);
  return ev;
}

bool IsSerialDeviceChange(const TqvUevent& ev) {
  if (ev.Action == "overflow") return true;  // events were lost: assume a change
  if (ev.Subsystem != "tty" || (ev.Action != "add" && ev.Action != "remove")) return false;
  // Virtual ttys live below /devices/virtual; hardware ports below a bus.
  return ev.DevPath.rfind("/devices/virtual/", 0) != 0;
}

std::error_code TqvUeventWatcher::Start(THandler handler) {
  const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
  if (fd < 0) return LastError();
  sockaddr_nl addr{};
  addr.nl_family = AF_NETLINK;
  addr.nl_groups = 1;  // the kernel's own broadcast (udev re-sends on group 2)
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    auto ec = LastError();
    ::close(fd);
    return ec;
  }
  return Launch(fd, true, std::move(handler));
}

std::error_code TqvUeventWatcher::StartOnDescriptor(int fd, THandler handler) {
  return Launch(fd, false, std::move(handler));
}

std::error_code TqvUeventWatcher::Launch(int fd, bool fromKernel, THandler handler) {
  Stop();
  wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_ < 0) {
    auto ec = LastError();
    ::close(fd);
    return ec;
  }
  fd_ = fd;
  fromKernel_ = fromKernel;
  try {
    thread_ = std::thread(&TqvUeventWatcher::Run, this, std::move(handler));
  } catch (const std::system_error& e) {
    ::close(fd_);
    ::close(wake_);
    fd_ = wake_ = -1;
    return e.code();
  }
  return {};
}

void TqvUeventWatcher::Stop() {
  if (thread_.joinable()) {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_, &one, sizeof one);
    thread_.join();
  }
  if (fd_ >= 0) ::close(fd_);
  if (wake_ >= 0) ::close(wake_);
  fd_ = wake_ = -1;
}

void TqvUeventWatcher::Run(THandler handler) {
  std::array<char, 16384> buf;
  for (;;) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
      if (!(fds[0].revents & POLLIN)) return;
    }
    if (!(fds[0].revents & POLLIN)) continue;
    sockaddr_nl from{};
    socklen_t fromLen = sizeof from;
    const ssize_t n = fromKernel_ ? ::recvfrom(fd_, buf.data(), buf.size(), MSG_DONTWAIT,
                                               reinterpret_cast<sockaddr*>(&from), &fromLen)
                                  : ::recv(fd_, buf.data(), buf.size(), MSG_DONTWAIT);
    if (n < 0) {
      if (errno == ENOBUFS) {  // the kernel dropped events: the list may be stale
        TqvUevent lost;
        lost.Action = "overflow";
        lost.Subsystem = "tty";
        try {
          handler(lost);
        } catch (...) {
        }
        continue;
      }
      if (errno == EINTR || errno == EAGAIN) continue;
      return;
    }
    if (n == 0 && !fromKernel_) return;  // the test's peer closed
    if (fromKernel_ && from.nl_pid != 0) continue;  // only the kernel speaks here
    if (auto ev = ParseUevent(std::string_view(buf.data(), static_cast<size_t>(n)))) {
      try {
        handler(*ev);
      } catch (...) {
      }
    }
  }
}

}  // namespace qv::platform
