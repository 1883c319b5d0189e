#include "platform/qvserial_memory.h"

#include <atomic>
#include <optional>
#include <utility>

namespace qv::platform {
namespace {

using Clock = std::chrono::steady_clock;

std::optional<Clock::time_point> DeadlineAfter(uint64_t ms) {
  if (ms == 0) return std::nullopt;
  return Clock::now() + std::chrono::milliseconds(ms);
}

intptr_t NextHandle() {
  static std::atomic<intptr_t> next{0x4D000};
  return ++next;
}

}  // namespace

std::shared_ptr<TqvMemorySerial> TqvMemorySerial::Create(std::string path) {
  return std::make_shared<TqvMemorySerial>(std::move(path));
}

TqvMemorySerial::TqvMemorySerial(std::string path) : path_(std::move(path)), handle_(NextHandle()) {
  dcb_.BaudRate = 9600;
}

TqvSerialOpenResult TqvMemorySerial::Open() {
  TqvSerialOpenResult r;
  std::lock_guard lock(mu_);
  if (!present_) {
    r.Error = std::make_error_code(std::errc::no_such_file_or_directory);
  } else if (open_) {
    r.Error = make_error_code(TSerialErrc::PortBusy);
  }
  if (r.Error) {
    r.Message = r.Error.message();
    return r;
  }
  open_ = true;
  lost_ = false;
  ++openCount_;
  input_.clear();
  outQueue_.clear();
  errors_ = pendingEvents_ = mask_ = 0;
  wakePending_ = false;
  rx_ = {};
  txWatch_ = false;
  writeError_ = dropped_ = {};
  writeErrorPending_ = false;
  r.Device = shared_from_this();
  return r;
}

TqvSerialOpener TqvMemorySerial::Opener() {
  std::weak_ptr<TqvMemorySerial> self = weak_from_this();
  return [self](const std::string&) {
    if (auto dev = self.lock()) return dev->Open();
    TqvSerialOpenResult r;
    r.Error = std::make_error_code(std::errc::no_such_device);
    r.Message = r.Error.message();
    return r;
  };
}

// ---------------------------------------------------------------- test side

void TqvMemorySerial::FeedInput(std::string_view bytes) {
  std::lock_guard lock(mu_);
  input_.insert(input_.end(), bytes.begin(), bytes.end());
  cv_.notify_all();
}

std::string TqvMemorySerial::TakeOutput() {
  std::lock_guard lock(mu_);
  return std::exchange(transmitted_, {});
}

void TqvMemorySerial::SetOutputHook(TOutputHook hook) {
  std::lock_guard lock(mu_);
  hook_ = hook ? std::make_shared<TOutputHook>(std::move(hook)) : nullptr;
}

void TqvMemorySerial::CallHook(const std::string& left) {
  if (left.empty()) return;
  std::shared_ptr<TOutputHook> hook;
  {
    std::lock_guard lock(mu_);
    hook = hook_;
  }
  if (hook) (*hook)(left);
}

void TqvMemorySerial::SetWriteStall(bool stalled) {
  std::string left;
  {
    std::lock_guard lock(mu_);
    stalled_ = stalled;
    if (!stalled_) {
      left.assign(outQueue_.begin(), outQueue_.end());
      transmitted_ += left;
      outQueue_.clear();
    }
    cv_.notify_all();
  }
  CallHook(left);
}

void TqvMemorySerial::SetModemLines(uint32_t msBits) {
  std::lock_guard lock(mu_);
  LineSnapshot before, now;
  before.HasModem = now.HasModem = true;
  before.Modem = modem_;
  now.Modem = msBits;
  pendingEvents_ |= DiffEvents(before, now, ~0u);
  modem_ = msBits;
  cv_.notify_all();
}

void TqvMemorySerial::InjectLineError(uint32_t ceBits) {
  std::lock_guard lock(mu_);
  errors_ |= ceBits;
  if (ceBits & CE_BREAK) pendingEvents_ |= EV_BREAK;
  if (ceBits & ~CE_BREAK) pendingEvents_ |= EV_ERR;
  cv_.notify_all();
}

void TqvMemorySerial::InjectLineError(uint32_t ceBits, std::string_view bytes) {
  std::lock_guard lock(mu_);
  errors_ |= ceBits;
  if (ceBits & CE_BREAK) pendingEvents_ |= EV_BREAK;
  if (ceBits & ~CE_BREAK) pendingEvents_ |= EV_ERR;
  input_.insert(input_.end(), bytes.begin(), bytes.end());
  cv_.notify_all();
}

void TqvMemorySerial::RaiseEvents(uint32_t ev) {
  std::lock_guard lock(mu_);
  pendingEvents_ |= ev;
  cv_.notify_all();
}

void TqvMemorySerial::FailPendingWrites(std::error_code ec) {
  std::lock_guard lock(mu_);
  outQueue_.clear();
  writeError_ = dropped_ = ec;
  writeErrorPending_ = true;
  cv_.notify_all();
}

void TqvMemorySerial::FailWrites(std::error_code ec) {
  std::lock_guard lock(mu_);
  failWrites_ = ec;
}

void TqvMemorySerial::Lose() {
  std::lock_guard lock(mu_);
  present_ = false;
  if (open_) lost_ = true;
  cv_.notify_all();
}

void TqvMemorySerial::Restore() {
  std::lock_guard lock(mu_);
  present_ = true;
}

bool TqvMemorySerial::IsOpen() const { std::lock_guard l(mu_); return open_; }
int TqvMemorySerial::OpenCount() const { std::lock_guard l(mu_); return openCount_; }
TDCB TqvMemorySerial::Dcb() const { std::lock_guard l(mu_); return dcb_; }
TCommTimeouts TqvMemorySerial::Timeouts() const { std::lock_guard l(mu_); return timeouts_; }
uint32_t TqvMemorySerial::Mask() const { std::lock_guard l(mu_); return mask_; }
bool TqvMemorySerial::Dtr() const { std::lock_guard l(mu_); return dtr_; }
bool TqvMemorySerial::Rts() const { std::lock_guard l(mu_); return rts_; }
bool TqvMemorySerial::BreakOn() const { std::lock_guard l(mu_); return break_; }
bool TqvMemorySerial::OutputSuspended() const { std::lock_guard l(mu_); return suspended_; }
std::vector<uint32_t> TqvMemorySerial::Purges() const { std::lock_guard l(mu_); return purges_; }
std::vector<TEscape> TqvMemorySerial::Escapes() const { std::lock_guard l(mu_); return escapes_; }
uint32_t TqvMemorySerial::InputQueued() const { std::lock_guard l(mu_); return uint32_t(input_.size()); }
uint32_t TqvMemorySerial::OutputQueued() const { std::lock_guard l(mu_); return uint32_t(outQueue_.size()); }
int TqvMemorySerial::AcksSeen() const { std::lock_guard l(mu_); return acks_; }

// ---------------------------------------------------------------- device side

std::error_code TqvMemorySerial::UsableLocked() const {
  if (!open_) return make_error_code(TSerialErrc::Closed);
  if (lost_) return make_error_code(TSerialErrc::DeviceLost);
  return {};
}

std::error_code TqvMemorySerial::GetCommState(TDCB& dcb) {
  std::lock_guard lock(mu_);
  if (auto ec = UsableLocked()) return ec;
  dcb = dcb_;
  return {};
}

std::error_code TqvMemorySerial::SetCommState(const TDCB& dcb) {
  std::lock_guard lock(mu_);
  if (auto ec = UsableLocked()) return ec;
  dcb_ = dcb;
  const uint32_t dtr = (dcb.Flags & DCB_fDtrControlMask) >> DCB_fDtrControlShift;
  const uint32_t rts = (dcb.Flags & DCB_fRtsControlMask) >> DCB_fRtsControlShift;
  if (dtr != DTR_CONTROL_HANDSHAKE) dtr_ = dtr == DTR_CONTROL_ENABLE;
  if (rts != RTS_CONTROL_HANDSHAKE) rts_ = rts == RTS_CONTROL_ENABLE;
  return {};
}

std::error_code TqvMemorySerial::SetupComm(uint32_t in, uint32_t out) {
  std::lock_guard lock(mu_);
  if (auto ec = UsableLocked()) return ec;
  inQueueSize_ = in;
  outQueueSize_ = out;
  return {};
}

std::error_code TqvMemorySerial::SetCommTimeouts(const TCommTimeouts& t) {
  std::lock_guard lock(mu_);
  if (auto ec = UsableLocked()) return ec;
  timeouts_ = t;
  return {};
}

std::error_code TqvMemorySerial::GetCommTimeouts(TCommTimeouts& t) {
  std::lock_guard lock(mu_);
  t = timeouts_;
  return UsableLocked();
}

std::error_code TqvMemorySerial::SetCommMask(uint32_t mask) {
  std::lock_guard lock(mu_);
  if (auto ec = UsableLocked()) return ec;
  mask_ = mask;
  wakePending_ = true;
  cv_.notify_all();
  return {};
}

std::error_code TqvMemorySerial::WaitCommEvent(uint32_t& mask) {
  std::unique_lock lock(mu_);
  mask = 0;
  for (;;) {
    if (auto ec = UsableLocked()) return ec;
    if (wakePending_) {
      wakePending_ = false;
      return {};
    }
    uint32_t ev = 0;
    if (writeErrorPending_) {
      writeErrorPending_ = false;
      ev |= EV_WRITEERROR;
    }
    if (mask_ & EV_RXCHAR) {
      const uint32_t queued = uint32_t(input_.size());
      if (queued && rx_.WantsReadable() && rx_.OnReadable()) ev |= EV_RXCHAR;
      if (rx_.WantsSampling() && rx_.OnSample(queued)) ev |= EV_RXCHAR;
    }
    if (txWatch_ && outQueue_.empty()) {
      txWatch_ = false;
      ev |= mask_ & EV_TXEMPTY;
    }
    ev |= pendingEvents_ & mask_;
    pendingEvents_ = 0;
    if (ev) {
      mask = ev;
      return {};
    }
    cv_.wait(lock);
  }
}

void TqvMemorySerial::WakeWait() {
  std::lock_guard lock(mu_);
  wakePending_ = true;
  cv_.notify_all();
}

void TqvMemorySerial::AckReceive(uint32_t leftQueued) {
  std::lock_guard lock(mu_);
  ++acks_;
  rx_.OnAck(leftQueued, uint32_t(input_.size()));
  cv_.notify_all();
}

std::error_code TqvMemorySerial::Read(std::span<uint8_t> buf, size_t& got) {
  got = 0;
  std::unique_lock lock(mu_);
  const TCommTimeouts t = timeouts_;
  const bool immediate = t.ReadIntervalTimeout == 0xFFFFFFFFu && t.ReadTotalTimeoutMultiplier == 0 &&
                         t.ReadTotalTimeoutConstant == 0;
  const auto total = DeadlineAfter(uint64_t(t.ReadTotalTimeoutMultiplier) * buf.size() +
                                   t.ReadTotalTimeoutConstant);
  std::optional<Clock::time_point> interval;
  const uint64_t gen = readAbortGen_;
  while (got < buf.size()) {
    if (auto ec = UsableLocked()) return ec;
    if (readAbortGen_ != gen) return make_error_code(TSerialErrc::Cancelled);
    if (!input_.empty()) {
      const size_t before = got;
      while (got < buf.size() && !input_.empty()) {
        buf[got++] = input_.front();
        input_.pop_front();
      }
      if (rx_.OnRead(uint32_t(got - before))) cv_.notify_all();
      if (t.ReadIntervalTimeout && !immediate)
        interval = Clock::now() + std::chrono::milliseconds(t.ReadIntervalTimeout);
      continue;
    }
    if (immediate) return {};
    auto deadline = total;
    if (interval && (!deadline || *interval < *deadline)) deadline = interval;
    if (deadline) {
      if (cv_.wait_until(lock, *deadline) == std::cv_status::timeout && input_.empty()) return {};
    } else {
      cv_.wait(lock);
    }
  }
  return {};
}

std::error_code TqvMemorySerial::ReadAvailable(std::span<uint8_t> buf, size_t& got) {
  got = 0;
  std::lock_guard lock(mu_);
  if (auto ec = UsableLocked()) return ec;
  while (got < buf.size() && !input_.empty()) {
    buf[got++] = input_.front();
    input_.pop_front();
  }
  if (rx_.OnRead(uint32_t(got))) cv_.notify_all();
  return {};
}

std::string TqvMemorySerial::PushOutputLocked(std::span<const uint8_t> data) {
  dropped_ = {};
  std::string left;
  if (stalled_) {
    outQueue_.insert(outQueue_.end(), data.begin(), data.end());
  } else {
    left.assign(data.begin(), data.end());
    transmitted_ += left;
  }
  txWatch_ = true;
  cv_.notify_all();
  return left;
}

std::error_code TqvMemorySerial::Write(std::span<const uint8_t> data, size_t& written) {
  written = 0;
  std::unique_lock lock(mu_);
  if (auto ec = UsableLocked()) return ec;
  if (failWrites_) return failWrites_;
  const auto deadline = DeadlineAfter(uint64_t(timeouts_.WriteTotalTimeoutMultiplier) * data.size() +
                                      timeouts_.WriteTotalTimeoutConstant);
  const uint64_t gen = writeAbortGen_;
  // A blocking write completes when the line took the bytes.
  while (stalled_) {
    if (auto ec = UsableLocked()) return ec;
    if (writeAbortGen_ != gen) return make_error_code(TSerialErrc::Cancelled);
    if (deadline) {
      if (cv_.wait_until(lock, *deadline) == std::cv_status::timeout && stalled_)
        return make_error_code(TSerialErrc::TimedOut);
    } else {
      cv_.wait(lock);
    }
  }
  if (auto ec = UsableLocked()) return ec;
  const std::string left = PushOutputLocked(data);
  written = data.size();
  lock.unlock();
  CallHook(left);
  return {};
}

std::error_code TqvMemorySerial::WriteAsync(std::span<const uint8_t> data) {
  std::string left;
  {
    std::lock_guard lock(mu_);
    if (auto ec = UsableLocked()) return ec;
    if (failWrites_) return failWrites_;
    left = PushOutputLocked(data);
  }
  CallHook(left);
  return {};
}

std::error_code TqvMemorySerial::TakeWriteError() {
  std::lock_guard lock(mu_);
  return std::exchange(writeError_, {});
}

std::error_code TqvMemorySerial::TransmitCommChar(uint8_t ch) {
  {
    std::lock_guard lock(mu_);
    if (auto ec = UsableLocked()) return ec;
    if (failWrites_) return failWrites_;
    transmitted_.push_back(char(ch));  // ahead of whatever is stalled
    txWatch_ = true;
    cv_.notify_all();
  }
  CallHook(std::string(1, char(ch)));
  return {};
}

std::error_code TqvMemorySerial::ClearCommError(uint32_t& errors, TComStat& stat) {
  std::lock_guard lock(mu_);
  errors = 0;
  stat = {};
  if (auto ec = UsableLocked()) return ec;
  errors = std::exchange(errors_, 0);
  stat.cbInQue = uint32_t(input_.size());
  stat.cbOutQue = uint32_t(outQueue_.size());
  return {};
}

std::error_code TqvMemorySerial::PurgeComm(uint32_t flags) {
  std::lock_guard lock(mu_);
  if (auto ec = UsableLocked()) return ec;
  purges_.push_back(flags);
  if (flags & PURGE_RXCLEAR) {
    input_.clear();
    rx_.OnPurged();
  }
  if (flags & (PURGE_TXCLEAR | PURGE_TXABORT)) outQueue_.clear();
  if (flags & PURGE_RXABORT) ++readAbortGen_;
  if (flags & PURGE_TXABORT) ++writeAbortGen_;
  cv_.notify_all();
  return {};
}

void TqvMemorySerial::CancelIo() {
  std::lock_guard lock(mu_);
  ++readAbortGen_;
  ++writeAbortGen_;
  cv_.notify_all();
}

std::error_code TqvMemorySerial::EscapeCommFunction(TEscape fn) {
  std::lock_guard lock(mu_);
  if (auto ec = UsableLocked()) return ec;
  escapes_.push_back(fn);
  switch (fn) {
    case TEscape::SETXOFF: suspended_ = true; break;
    case TEscape::SETXON: suspended_ = false; break;
    case TEscape::SETRTS: rts_ = true; break;
    case TEscape::CLRRTS: rts_ = false; break;
    case TEscape::SETDTR: dtr_ = true; break;
    case TEscape::CLRDTR: dtr_ = false; break;
    case TEscape::SETBREAK: break_ = true; break;
    case TEscape::CLRBREAK: break_ = false; break;
  }
  return {};
}

std::error_code TqvMemorySerial::GetCommModemStatus(uint32_t& status) {
  std::lock_guard lock(mu_);
  status = 0;
  if (auto ec = UsableLocked()) return ec;
  status = modem_;
  return {};
}

std::error_code TqvMemorySerial::GetCommProperties(TCommProp& prop) {
  std::lock_guard lock(mu_);
  if (auto ec = UsableLocked()) return ec;
  prop = {};
  prop.wPacketLength = sizeof(TCommProp);
  prop.dwServiceMask = 1;
  prop.dwMaxBaud = 0x10000000;
  prop.dwProvSubType = 1;
  prop.dwProvCapabilities = 0x3FF;
  prop.dwCurrentTxQueue = outQueueSize_;
  prop.dwCurrentRxQueue = inQueueSize_;
  return {};
}

std::error_code TqvMemorySerial::Drain(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mu_);
  const auto deadline = DeadlineAfter(uint64_t(timeout.count()));
  while (!outQueue_.empty()) {
    if (auto ec = UsableLocked()) return ec;
    if (deadline) {
      if (cv_.wait_until(lock, *deadline) == std::cv_status::timeout && !outQueue_.empty())
        return make_error_code(TSerialErrc::TimedOut);
    } else {
      cv_.wait(lock);
    }
  }
  if (auto ec = UsableLocked()) return ec;
  return dropped_;
}

void TqvMemorySerial::Close() {
  std::lock_guard lock(mu_);
  open_ = false;
  outQueue_.clear();
  cv_.notify_all();
}

}  // namespace qv::platform
