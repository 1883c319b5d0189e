// POSIX serial backend: real ports and pseudo-terminals through termios (by
// way of qvserial_lines.cpp) and the tty ioctls.
//
// The event wait sleeps in epoll on the device and an eventfd. The device is
// watched edge-triggered, so every arrival of input wakes the wait once and
// unread input never does again: the handler's acknowledgement wakes the wait
// only when input came meanwhile that it did not see. The timeout is the
// nearest sampling tick, used only while sampled events are asked for and the
// device has the counters to tell them, or while output is held back. Every
// write() to the device happens under `mu_`, and data handed to WriteAsync
// goes out before later data.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <mutex>
#include <utility>
#include <optional>
#include <thread>
#include <algorithm>
#include <vector>

#include "platform/qvserial.h"
#include "platform/qvserial_events.h"
#include "platform/qvserial_lines.h"
#include "platform/qvsyscall.h"

namespace qv::platform {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSampleTickMs = 10;
constexpr int kDrainTickMs = 2;
constexpr int kMaxDrainTickMs = 64;

std::error_code Errno(int e = errno) { return {e, std::generic_category()}; }

bool IsLossErrno(int e) { return e == EIO || e == ENXIO || e == ENODEV || e == EBADF; }

// A descriptor that closes itself; close is not retried on EINTR.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) {
      Reset();
      fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
  }
  ~UniqueFd() { Reset(); }
  int Get() const { return fd_; }
  void Reset() {
    if (fd_ >= 0) Sys().close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// An eventfd used as a wake-up: Signal() makes it readable, Drain() resets it.
class Wakeup {
 public:
  Wakeup() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~Wakeup() {
    if (fd_ >= 0) ::close(fd_);
  }
  Wakeup(const Wakeup&) = delete;
  Wakeup& operator=(const Wakeup&) = delete;
  bool Valid() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  void Signal() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(fd_, &one, sizeof one);
  }
  void Drain() {
    uint64_t v;
    [[maybe_unused]] ssize_t n = ::read(fd_, &v, sizeof v);
  }

 private:
  int fd_;
};

// Calls `visit` with each process that has the character device at `path`
// open, where /proc tells it, until `visit` returns true; whether one did.
bool FindHolder(const std::string& path, const std::function<bool(int pid, const std::filesystem::path& proc)>& visit) {
  struct stat dev {};
  if (::stat(path.c_str(), &dev) != 0 || !S_ISCHR(dev.st_mode)) return false;
  std::error_code ec;
  for (const auto& proc : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string pidText = proc.path().filename().string();
    int pid = 0;
    auto [end, err] = std::from_chars(pidText.data(), pidText.data() + pidText.size(), pid);
    if (err != std::errc{} || end != pidText.data() + pidText.size()) continue;
    std::error_code ec2;
    for (const auto& fd : std::filesystem::directory_iterator(proc.path() / "fd", ec2)) {
      struct stat st {};
      if (::stat(fd.path().c_str(), &st) != 0) continue;
      if (!S_ISCHR(st.st_mode) || st.st_rdev != dev.st_rdev) continue;
      if (visit(pid, proc.path())) return true;
      break;
    }
  }
  return false;
}

// Which program holds the device, where /proc tells it.
std::string DescribeHolder(const std::string& path) {
  std::string who;
  FindHolder(path, [&who](int pid, const std::filesystem::path& proc) {
    if (pid == ::getpid()) {
      who = "this program";
    } else {
      std::ifstream comm(proc / "comm");
      std::string name;
      std::getline(comm, name);
      who = (name.empty() ? std::string("process") : name) + ", process " + std::to_string(pid);
    }
    return true;
  });
  return who;
}

class PosixSerialDevice final : public TqvSerialDevice {
 public:
  PosixSerialDevice(UniqueFd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}
  ~PosixSerialDevice() override { Close(); }

  std::error_code Init(bool exclusiveFlag);

  const std::string& Path() const override { return path_; }
  intptr_t NativeHandle() const override { return fd_.Get(); }

  std::error_code GetCommState(TDCB& dcb) override;
  std::error_code SetCommState(const TDCB& dcb) override;
  std::error_code SetupComm(uint32_t in, uint32_t out) override {
    std::lock_guard lock(mu_);
    if (closed_) return make_error_code(TSerialErrc::Closed);
    inQueue_ = in;  // a tty's queues have fixed sizes: remembered for CommProp only
    outQueue_ = out;
    return {};
  }
  std::error_code SetCommTimeouts(const TCommTimeouts& t) override {
    std::lock_guard lock(mu_);
    if (closed_) return make_error_code(TSerialErrc::Closed);
    timeouts_ = t;
    return {};
  }
  std::error_code GetCommTimeouts(TCommTimeouts& t) override {
    std::lock_guard lock(mu_);
    t = timeouts_;
    return closed_ ? make_error_code(TSerialErrc::Closed) : std::error_code{};
  }
  uint32_t SupportedEvents() const override {
    uint32_t ev = EV_RXCHAR | EV_TXEMPTY;
    if (hasCounters_ || hasModem_) ev |= EV_CTS | EV_DSR | EV_RLSD | EV_RING;
    if (hasCounters_) ev |= EV_BREAK | EV_ERR;
    return ev;
  }
  std::error_code SetCommMask(uint32_t mask) override {
    {
      std::lock_guard lock(mu_);
      if (closed_) return make_error_code(TSerialErrc::Closed);
      mask_ = mask;
      wakePending_ = true;
    }
    wake_.Signal();
    return {};
  }
  std::error_code WaitCommEvent(uint32_t& mask) override;
  void WakeWait() override {
    {
      std::lock_guard lock(mu_);
      wakePending_ = true;
    }
    wake_.Signal();
  }
  void AckReceive(uint32_t leftQueued) override {
    {
      std::lock_guard lock(mu_);
      if (closed_) return;
      // Input that came while the handler ran and is still there will not
      // arrive again: the wait reports it now.
      const uint32_t queued = rx_.MoreSinceReport() ? InQueueLocked() : leftQueued;
      if (!rx_.OnAck(leftQueued, queued)) return;
      rxDue_ = true;
    }
    wake_.Signal();
  }

  std::error_code Read(std::span<uint8_t> buf, size_t& got) override;
  std::error_code ReadAvailable(std::span<uint8_t> buf, size_t& got) override;
  std::error_code Write(std::span<const uint8_t> data, size_t& written) override;
  std::error_code WriteAsync(std::span<const uint8_t> data) override;
  std::error_code TakeWriteError() override {
    std::lock_guard lock(mu_);
    return std::exchange(writeError_, {});
  }
  std::error_code TransmitCommChar(uint8_t ch) override;
  std::error_code ClearCommError(uint32_t& errors, TComStat& stat) override;
  std::error_code PurgeComm(uint32_t flags) override;
  void CancelIo() override {
    readAbort_.Signal();
    writeAbort_.Signal();
  }
  std::error_code EscapeCommFunction(TEscape fn) override;
  std::error_code GetCommModemStatus(uint32_t& status) override {
    std::lock_guard lock(mu_);
    if (closed_) return make_error_code(TSerialErrc::Closed);
    return ModemLocked(status);
  }
  std::error_code GetCommProperties(TCommProp& prop) override;
  std::error_code Drain(std::chrono::milliseconds timeout) override;
  void Close() override;

 private:
  int Fd() const { return fd_.Get(); }
  uint32_t InQueueLocked() const {
    int n = 0;
    return Sys().ioctl(Fd(), FIONREAD, &n) == 0 && n > 0 ? uint32_t(n) : 0;
  }
  uint32_t OutQueueLocked() const {
    int n = 0;
    const uint32_t tty = Sys().ioctl(Fd(), TIOCOUTQ, &n) == 0 && n > 0 ? uint32_t(n) : 0;
    return tty + uint32_t(pending_.size() - pendingOff_);
  }
  std::error_code ModemLocked(uint32_t& status) const;
  LineSnapshot SnapshotLocked() const;
  // Writes what WriteAsync queued, as far as the device takes it now.
  void FlushPendingLocked();
  bool PendingLocked() const { return pendingOff_ < pending_.size(); }
  void StartTxWatchLocked() {
    txWatch_ = true;
    txTickMs_ = kDrainTickMs;
  }
  // One read into the rest of `buf`, EINTR retried: adds what came to `got`;
  // `wouldBlock` when nothing is queued; a hang-up or removal is a lost device.
  std::error_code ReadStep(std::span<uint8_t> buf, size_t& got, bool& wouldBlock);
  // The device in the wait's epoll set: input always, edge-triggered; room
  // for output only while output is held back.
  std::error_code WatchDevice(int op, bool output);
  void WatchOutputLocked();
  std::error_code SetLineLocked(int bit, bool on) {
    int arg = bit;
    if (Sys().ioctl(Fd(), on ? TIOCMBIS : TIOCMBIC, &arg) < 0) return Errno();
    return {};
  }
  // Waits for `events` on the device or for `abort`; false on timeout.
  // Returns an error for hang-up, abort or a failing poll.
  std::error_code WaitDevice(short events, Wakeup& abort, int timeoutMs, bool& ready);

  UniqueFd fd_;
  std::string path_;
  Wakeup wake_, readAbort_, writeAbort_;
  UniqueFd epoll_;
  bool hasCounters_ = false, hasModem_ = false, exclusiveFlag_ = false;
  bool savedValid_ = false;
  TermiosImage saved_;

  std::mutex waitMu_, readMu_, writeMu_;  // one blocking operation per direction
  mutable std::mutex mu_;                 // the state below and every write() to the device
  bool closed_ = false;
  uint32_t mask_ = 0;
  bool wakePending_ = false;
  RxArrivalReport rx_;
  bool arrived_ = false;     // input arrived and is not yet reported (the mask may not want it)
  bool rxDue_ = false;       // the handler's acknowledgement asked for a report
  bool outWatched_ = false;  // the wait also watches for room for output
  std::vector<uint8_t> pending_;
  size_t pendingOff_ = 0;
  bool txWatch_ = false;  // something was written since the output queue was last seen empty
  int txTickMs_ = kDrainTickMs;
  std::error_code writeError_;
  bool writeErrorReported_ = true;
  std::error_code dropped_;  // a failure dropped output since the last write was taken
  LineSnapshot eventBase_, errorBase_;
  TDCB dcb_;
  TCommTimeouts timeouts_;
  uint32_t inQueue_ = 4096, outQueue_ = 4096;
};

std::error_code PosixSerialDevice::Init(bool exclusiveFlag) {
  if (!wake_.Valid() || !readAbort_.Valid() || !writeAbort_.Valid()) return Errno();
  TermiosImage t;
  if (auto ec = ReadTermios(Fd(), t)) {
    return ec == std::errc::inappropriate_io_control_operation ? make_error_code(TSerialErrc::NotATty)
                                                                : ec;
  }
  // Two programs never share a modem. Root ignores TIOCEXCL, so flock is
  // the lock that holds for everyone; TIOCEXCL only adds a clear refusal
  // for other users and is cleared again before close.
  if (Sys().flock(Fd(), LOCK_EX | LOCK_NB) < 0) {
    return errno == EWOULDBLOCK ? make_error_code(TSerialErrc::PortBusy) : Errno();
  }
  if (exclusiveFlag && Sys().ioctl(Fd(), TIOCEXCL, nullptr) == 0) exclusiveFlag_ = true;
  saved_ = t;
  savedValid_ = true;
  MakeRaw(t);
  if (auto ec = WriteTermios(Fd(), t)) return ec;
  DcbFromTermios(t, dcb_);

  serial_icounter_struct ic{};
  hasCounters_ = Sys().ioctl(Fd(), TIOCGICOUNT, &ic) == 0;
  int bits = 0;
  hasModem_ = Sys().ioctl(Fd(), TIOCMGET, &bits) == 0;
  epoll_ = UniqueFd(::epoll_create1(EPOLL_CLOEXEC));
  if (epoll_.Get() < 0) return Errno();
  epoll_event wake{};
  wake.events = EPOLLIN;
  wake.data.fd = wake_.Fd();
  if (::epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, wake_.Fd(), &wake) < 0) return Errno();
  if (auto ec = WatchDevice(EPOLL_CTL_ADD, false)) return ec;
  std::lock_guard lock(mu_);
  eventBase_ = errorBase_ = SnapshotLocked();
  return {};
}

std::error_code PosixSerialDevice::WatchDevice(int op, bool output) {
  epoll_event e{};
  e.events = EPOLLIN | EPOLLET | (output ? uint32_t(EPOLLOUT) : 0u);
  e.data.fd = Fd();
  return ::epoll_ctl(epoll_.Get(), op, Fd(), &e) < 0 ? Errno() : std::error_code{};
}

// Room for output matters only while WriteAsync's bytes wait for it; watched
// always, every read of the far side would wake the wait.
void PosixSerialDevice::WatchOutputLocked() {
  const bool want = PendingLocked();
  if (want != outWatched_ && !WatchDevice(EPOLL_CTL_MOD, want)) outWatched_ = want;
}

std::error_code PosixSerialDevice::ModemLocked(uint32_t& status) const {
  status = 0;
  int bits = 0;
  if (Sys().ioctl(Fd(), TIOCMGET, &bits) < 0) return Errno();
  if (bits & TIOCM_CTS) status |= MS_CTS_ON;
  if (bits & TIOCM_DSR) status |= MS_DSR_ON;
  if (bits & TIOCM_RNG) status |= MS_RING_ON;
  if (bits & TIOCM_CAR) status |= MS_RLSD_ON;
  return {};
}

LineSnapshot PosixSerialDevice::SnapshotLocked() const {
  LineSnapshot s;
  serial_icounter_struct ic{};
  if (hasCounters_ && Sys().ioctl(Fd(), TIOCGICOUNT, &ic) == 0) {
    s.HasCounters = true;
    s.Cts = ic.cts;
    s.Dsr = ic.dsr;
    s.Ring = ic.rng;
    s.Dcd = ic.dcd;
    s.Frame = ic.frame;
    s.Overrun = ic.overrun;
    s.Parity = ic.parity;
    s.Brk = ic.brk;
    s.BufOverrun = ic.buf_overrun;
  }
  uint32_t modem = 0;
  if (hasModem_ && !ModemLocked(modem)) {
    s.HasModem = true;
    s.Modem = modem;
  }
  return s;
}

std::error_code PosixSerialDevice::GetCommState(TDCB& dcb) {
  std::lock_guard lock(mu_);
  if (closed_) return make_error_code(TSerialErrc::Closed);
  TermiosImage t;
  if (auto ec = ReadTermios(Fd(), t)) return ec;
  dcb = dcb_;
  DcbFromTermios(t, dcb);
  return {};
}

std::error_code PosixSerialDevice::SetCommState(const TDCB& dcb) {
  std::lock_guard lock(mu_);
  if (closed_) return make_error_code(TSerialErrc::Closed);
  // Read, edit a copy, set once, read back and compare; then DTR/RTS.
  TermiosImage current;
  if (auto ec = ReadTermios(Fd(), current)) return ec;
  TermiosImage wanted = current;
  if (auto ec = DcbToTermios(dcb, wanted)) return ec;
  if (auto ec = WriteTermios(Fd(), wanted)) return ec;
  TermiosImage got;
  if (auto ec = ReadTermios(Fd(), got)) return ec;
  if (!TermiosTookEffect(wanted, got)) {
    (void)WriteTermios(Fd(), current);
    return make_error_code(TSerialErrc::NotSupported);
  }
  const LineLevels levels = LineLevelsFromDcb(dcb);
  if (hasModem_) {  // a pseudo-terminal has no lines to set
    if (levels.Dtr) (void)SetLineLocked(TIOCM_DTR, *levels.Dtr);
    if (levels.Rts) (void)SetLineLocked(TIOCM_RTS, *levels.Rts);
  }
  dcb_ = dcb;
  return {};
}

void PosixSerialDevice::FlushPendingLocked() {
  while (PendingLocked()) {
    const long n = Sys().write(Fd(), pending_.data() + pendingOff_, pending_.size() - pendingOff_);
    if (n > 0) {
      pendingOff_ += size_t(n);
      StartTxWatchLocked();
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return;
    writeError_ = n < 0 ? (IsLossErrno(errno) ? make_error_code(TSerialErrc::DeviceLost) : Errno())
                        : make_error_code(TSerialErrc::DeviceLost);
    dropped_ = writeError_;
    writeErrorReported_ = false;
    break;
  }
  pending_.clear();
  pendingOff_ = 0;
}

std::error_code PosixSerialDevice::WaitCommEvent(uint32_t& mask) {
  std::lock_guard waitLock(waitMu_);
  mask = 0;
  for (;;) {
    int timeoutMs = -1;
    {
      std::lock_guard lock(mu_);
      if (closed_) return make_error_code(TSerialErrc::Closed);
      if (wakePending_) {
        wakePending_ = false;
        return {};
      }
      FlushPendingLocked();
      WatchOutputLocked();
      uint32_t ev = 0;
      if (!writeErrorReported_) {
        writeErrorReported_ = true;
        ev |= EV_WRITEERROR;
      }
      if (mask_ & EV_RXCHAR) {
        if (std::exchange(arrived_, false) && rx_.OnArrival()) ev |= EV_RXCHAR;
        if (std::exchange(rxDue_, false)) ev |= EV_RXCHAR;
      }
      if (txWatch_ && !PendingLocked()) {
        if (OutQueueLocked() == 0) {
          txWatch_ = false;
          ev |= mask_ & EV_TXEMPTY;
        } else {
          // Output held back (flow control, a far side that does not read):
          // look again on a tick that grows while nothing changes.
          timeoutMs = timeoutMs < 0 ? txTickMs_ : std::min(timeoutMs, txTickMs_);
          txTickMs_ = std::min(txTickMs_ * 2, kMaxDrainTickMs);
        }
      }
      if ((mask_ & kSampledEvents) && (hasCounters_ || hasModem_)) {
        const LineSnapshot now = SnapshotLocked();
        ev |= DiffEvents(eventBase_, now, mask_);
        eventBase_ = now;
        if (timeoutMs < 0) timeoutMs = kSampleTickMs;
      }
      if (ev) {
        mask = ev;
        return {};
      }
    }
    epoll_event events[2];
    const int n = ::epoll_wait(epoll_.Get(), events, 2, timeoutMs);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Errno();
    }
    bool arrived = false;
    for (int i = 0; i < n; ++i) {
      if (events[i].data.fd == wake_.Fd()) {
        wake_.Drain();
        continue;
      }
      if (events[i].events & (EPOLLHUP | EPOLLERR)) return make_error_code(TSerialErrc::DeviceLost);
      arrived = arrived || (events[i].events & EPOLLIN);
    }
    if (arrived) {
      std::lock_guard lock(mu_);
      arrived_ = true;
    }
  }
}

std::error_code PosixSerialDevice::WaitDevice(short events, Wakeup& abort, int timeoutMs, bool& ready) {
  ready = false;
  pollfd fds[2]{};
  fds[0].fd = Fd();
  fds[0].events = events;
  fds[1].fd = abort.Fd();
  fds[1].events = POLLIN;
  const int r = Sys().poll(fds, 2, timeoutMs);
  if (r < 0) return errno == EINTR ? std::error_code{} : Errno();
  if (fds[1].revents & POLLIN) {
    abort.Drain();
    std::lock_guard lock(mu_);
    return make_error_code(closed_ ? TSerialErrc::Closed : TSerialErrc::Cancelled);
  }
  if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) return make_error_code(TSerialErrc::DeviceLost);
  ready = (fds[0].revents & events) != 0;
  return {};
}

int RemainingMs(std::optional<Clock::time_point> deadline) {
  if (!deadline) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
  return left > 0 ? int(std::min<long long>(left, 1 << 30)) : 0;
}

std::error_code PosixSerialDevice::Read(std::span<uint8_t> buf, size_t& got) {
  got = 0;
  std::lock_guard dirLock(readMu_);
  readAbort_.Drain();  // an abort before this read started is not for it
  TCommTimeouts t;
  {
    std::lock_guard lock(mu_);
    if (closed_) return make_error_code(TSerialErrc::Closed);
    t = timeouts_;
  }
  const bool immediate = t.ReadIntervalTimeout == 0xFFFFFFFFu && t.ReadTotalTimeoutMultiplier == 0 &&
                         t.ReadTotalTimeoutConstant == 0;
  std::optional<Clock::time_point> total;
  const uint64_t totalMs = uint64_t(t.ReadTotalTimeoutMultiplier) * buf.size() + t.ReadTotalTimeoutConstant;
  if (totalMs) total = Clock::now() + std::chrono::milliseconds(totalMs);
  std::optional<Clock::time_point> interval;
  while (got < buf.size()) {
    bool wouldBlock = false;
    if (auto ec = ReadStep(buf, got, wouldBlock)) return ec;
    if (!wouldBlock) {
      if (t.ReadIntervalTimeout && !immediate)
        interval = Clock::now() + std::chrono::milliseconds(t.ReadIntervalTimeout);
      continue;
    }
    if (immediate) return {};
    std::optional<Clock::time_point> deadline = total;
    if (interval && (!deadline || *interval < *deadline)) deadline = interval;
    const int ms = RemainingMs(deadline);
    if (ms == 0) return {};
    bool ready = false;
    if (auto ec = WaitDevice(POLLIN, readAbort_, ms, ready)) return ec;
  }
  return {};
}

std::error_code PosixSerialDevice::ReadAvailable(std::span<uint8_t> buf, size_t& got) {
  got = 0;
  std::lock_guard dirLock(readMu_);
  {
    std::lock_guard lock(mu_);
    if (closed_) return make_error_code(TSerialErrc::Closed);
  }
  // One read: a tty hands over everything it holds up to the count, so a
  // short read has emptied the queue and another would only find it empty.
  bool wouldBlock = false;
  return buf.empty() ? std::error_code{} : ReadStep(buf, got, wouldBlock);
}

std::error_code PosixSerialDevice::ReadStep(std::span<uint8_t> buf, size_t& got, bool& wouldBlock) {
  for (;;) {
    const long n = Sys().read(Fd(), buf.data() + got, buf.size() - got);
    if (n > 0) {
      got += size_t(n);
      return {};
    }
    if (n == 0) return make_error_code(TSerialErrc::DeviceLost);  // hung up
    if (errno == EINTR) continue;
    if (errno == EAGAIN) {
      wouldBlock = true;
      return {};
    }
    return IsLossErrno(errno) ? make_error_code(TSerialErrc::DeviceLost) : Errno();
  }
}

std::error_code PosixSerialDevice::Write(std::span<const uint8_t> data, size_t& written) {
  written = 0;
  std::lock_guard dirLock(writeMu_);
  writeAbort_.Drain();
  std::optional<Clock::time_point> deadline;
  {
    std::lock_guard lock(mu_);
    if (closed_) return make_error_code(TSerialErrc::Closed);
    const uint64_t ms = uint64_t(timeouts_.WriteTotalTimeoutMultiplier) * data.size() +
                        timeouts_.WriteTotalTimeoutConstant;
    if (ms) deadline = Clock::now() + std::chrono::milliseconds(ms);
  }
  while (written < data.size()) {
    int err = 0;
    {
      std::lock_guard lock(mu_);
      if (closed_) return make_error_code(TSerialErrc::Closed);
      FlushPendingLocked();  // what WriteAsync took goes first
      if (!PendingLocked()) {
        const long n = Sys().write(Fd(), data.data() + written, data.size() - written);
        if (n > 0) {
          written += size_t(n);
          dropped_ = {};
          StartTxWatchLocked();
          continue;
        }
        err = n < 0 ? errno : EIO;
      } else {
        err = EAGAIN;
      }
    }
    if (err == EINTR) continue;
    if (err != EAGAIN) return IsLossErrno(err) ? make_error_code(TSerialErrc::DeviceLost) : Errno(err);
    const int ms = RemainingMs(deadline);
    if (ms == 0) return make_error_code(TSerialErrc::TimedOut);
    bool ready = false;
    if (auto ec = WaitDevice(POLLOUT, writeAbort_, ms, ready)) return ec;
  }
  wake_.Signal();  // the waiter watches for the output queue to run empty
  return {};
}

std::error_code PosixSerialDevice::WriteAsync(std::span<const uint8_t> data) {
  {
    std::lock_guard lock(mu_);
    if (closed_) return make_error_code(TSerialErrc::Closed);
    if (pending_.empty()) pendingOff_ = 0;
    pending_.insert(pending_.end(), data.begin(), data.end());
    dropped_ = {};
    FlushPendingLocked();
    if (!writeErrorReported_) {  // failed at once: the caller hears it now
      writeErrorReported_ = true;
      return std::exchange(writeError_, {});
    }
    // The waiter has work only when bytes wait for room or the output's
    // running empty is to be reported.
    if (!PendingLocked() && !(mask_ & EV_TXEMPTY)) return {};
  }
  wake_.Signal();
  return {};
}

std::error_code PosixSerialDevice::TransmitCommChar(uint8_t ch) {
  std::lock_guard lock(mu_);
  if (closed_) return make_error_code(TSerialErrc::Closed);
  for (;;) {
    const long n = Sys().write(Fd(), &ch, 1);
    if (n == 1) {
      StartTxWatchLocked();
      break;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return make_error_code(TSerialErrc::TimedOut);
    return n < 0 && !IsLossErrno(errno) ? Errno() : make_error_code(TSerialErrc::DeviceLost);
  }
  wake_.Signal();
  return {};
}

std::error_code PosixSerialDevice::ClearCommError(uint32_t& errors, TComStat& stat) {
  std::lock_guard lock(mu_);
  errors = 0;
  stat = {};
  if (closed_) return make_error_code(TSerialErrc::Closed);
  const LineSnapshot now = SnapshotLocked();
  errors = ErrorsBetween(errorBase_, now);
  errorBase_ = now;
  stat.cbInQue = InQueueLocked();
  stat.cbOutQue = OutQueueLocked();
  return {};
}

std::error_code PosixSerialDevice::PurgeComm(uint32_t flags) {
  std::error_code result;
  {
    std::lock_guard lock(mu_);
    if (closed_) return make_error_code(TSerialErrc::Closed);
    if (flags & (PURGE_TXABORT | PURGE_TXCLEAR)) {
      pending_.clear();
      pendingOff_ = 0;
    }
    result = FlushQueues(Fd(), flags & PURGE_RXCLEAR, flags & PURGE_TXCLEAR);
    if (flags & PURGE_RXCLEAR) {
      rx_.OnPurged();
      arrived_ = false;
    }
  }
  if (flags & PURGE_RXABORT) readAbort_.Signal();
  if (flags & PURGE_TXABORT) writeAbort_.Signal();
  wake_.Signal();
  return result;
}

std::error_code PosixSerialDevice::EscapeCommFunction(TEscape fn) {
  std::lock_guard lock(mu_);
  if (closed_) return make_error_code(TSerialErrc::Closed);
  switch (fn) {
    case TEscape::SETXOFF: return SuspendOutput(Fd(), true);
    case TEscape::SETXON: return SuspendOutput(Fd(), false);
    case TEscape::SETRTS: return SetLineLocked(TIOCM_RTS, true);
    case TEscape::CLRRTS: return SetLineLocked(TIOCM_RTS, false);
    case TEscape::SETDTR: return SetLineLocked(TIOCM_DTR, true);
    case TEscape::CLRDTR: return SetLineLocked(TIOCM_DTR, false);
    case TEscape::SETBREAK:
      return Sys().ioctl(Fd(), TIOCSBRK, nullptr) < 0 ? Errno() : std::error_code{};
    case TEscape::CLRBREAK:
      return Sys().ioctl(Fd(), TIOCCBRK, nullptr) < 0 ? Errno() : std::error_code{};
  }
  return make_error_code(TSerialErrc::NotSupported);
}

std::error_code PosixSerialDevice::GetCommProperties(TCommProp& prop) {
  std::lock_guard lock(mu_);
  if (closed_) return make_error_code(TSerialErrc::Closed);
  prop = {};
  prop.wPacketLength = sizeof(TCommProp);
  prop.wPacketVersion = 2;
  prop.dwServiceMask = 1;           // SP_SERIALCOMM
  prop.dwMaxBaud = 0x10000000;      // BAUD_USER: any rate
  prop.dwProvSubType = 1;           // PST_RS232
  // Parity check, XON/XOFF, settable XON/XOFF characters, total and interval
  // time-outs; the modem-line capabilities only where the device has lines.
  prop.dwProvCapabilities = 0x0008 | 0x0010 | 0x0020 | 0x0040 | 0x0080;
  if (hasModem_) prop.dwProvCapabilities |= 0x0001 | 0x0002 | 0x0004;  // DTR/DSR, RTS/CTS, RLSD
  prop.dwSettableParams = 0x7F;     // parity, baud, data bits, stop bits, handshaking, parity check, RLSD
  prop.dwSettableBaud = 0x10000000 | 0x3FFFF;
  prop.wSettableData = 0x000F;      // 5, 6, 7, 8 data bits
  prop.wSettableStopParity = 0x0001 | 0x0002 | 0x0004 | 0x0100 | 0x0200 | 0x0400 | 0x0800 | 0x1000;
  prop.dwCurrentTxQueue = outQueue_;
  prop.dwCurrentRxQueue = inQueue_;
  return {};
}

std::error_code PosixSerialDevice::Drain(std::chrono::milliseconds timeout) {
  std::optional<Clock::time_point> deadline;
  if (timeout.count() > 0) deadline = Clock::now() + timeout;
  for (;;) {
    {
      std::lock_guard lock(mu_);
      if (closed_) return make_error_code(TSerialErrc::Closed);
      FlushPendingLocked();
      if (OutQueueLocked() == 0) return dropped_;
    }
    const int left = RemainingMs(deadline);
    if (left == 0) return make_error_code(TSerialErrc::TimedOut);
    // The output queue count does not wake poll(): look again on a short tick.
    const int ms = left < 0 ? kDrainTickMs : std::min(left, kDrainTickMs);
    std::lock_guard dirLock(writeMu_);
    bool ready = false;
    if (auto ec = WaitDevice(0, writeAbort_, ms, ready)) return ec;  // only hang-up or abort end it early
  }
}

void PosixSerialDevice::Close() {
  {
    std::lock_guard lock(mu_);
    if (closed_) return;
    closed_ = true;
  }
  wake_.Signal();
  readAbort_.Signal();
  writeAbort_.Signal();
  std::scoped_lock dirLocks(waitMu_, readMu_, writeMu_);
  std::lock_guard lock(mu_);
  if (savedValid_) (void)WriteTermios(Fd(), saved_);
  // On a pseudo-terminal TIOCEXCL outlives the close and would lock every
  // unprivileged user out of the device.
  if (exclusiveFlag_) Sys().ioctl(Fd(), TIOCNXCL, nullptr);
  fd_.Reset();
  epoll_.Reset();
}

TqvSerialOpenResult Fail(std::error_code ec, const std::string& path) {
  TqvSerialOpenResult r;
  r.Error = ec;
  r.Message = ec.message();
  if (ec == TSerialErrc::PortBusy) {
    const std::string holder = DescribeHolder(path);
    if (!holder.empty()) r.Message += " (" + holder + ")";
  }
  return r;
}

TqvSerialOpenResult Finish(UniqueFd fd, const std::string& path, bool exclusiveFlag) {
  auto dev = std::make_shared<PosixSerialDevice>(std::move(fd), path);
  if (auto ec = dev->Init(exclusiveFlag)) {
    dev->Close();
    return Fail(ec, path);
  }
  TqvSerialOpenResult r;
  r.Device = std::move(dev);
  return r;
}

}  // namespace

bool HeldByAnotherProcess(const std::string& path) {
  return FindHolder(path, [](int pid, const std::filesystem::path&) { return pid != ::getpid(); });
}

TqvSerialOpenResult OpenPosixSerial(const std::string& path) {
  int fd;
  do {
    fd = Sys().open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    // EBUSY: another user's open set TIOCEXCL.
    return Fail(errno == EBUSY ? make_error_code(TSerialErrc::PortBusy) : Errno(), path);
  }
  return Finish(UniqueFd(fd), path, true);
}

TqvSerialOpenResult AdoptPosixSerial(int fd, const std::string& path) {
  if (fd < 0) return Fail(Errno(EBADF), path);
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  return Finish(UniqueFd(fd), path, false);
}

}  // namespace qv::platform
