#include "platform/qvserial.h"

#include "platform/qvserial_events.h"

namespace qv::platform {
namespace {

class SerialCategoryImpl : public std::error_category {
 public:
  const char* name() const noexcept override { return "serial"; }
  std::string message(int ev) const override {
    switch (static_cast<TSerialErrc>(ev)) {
      case TSerialErrc::PortBusy: return "The port is held by another program";
      case TSerialErrc::NotATty: return "The device is not a serial port or terminal";
      case TSerialErrc::NotSupported: return "The device does not support these line settings";
      case TSerialErrc::DeviceLost: return "The device was removed or hung up";
      case TSerialErrc::Cancelled: return "The operation was cancelled";
      case TSerialErrc::TimedOut: return "The operation timed out";
      case TSerialErrc::Closed: return "The device is closed";
    }
    return "Unknown serial error";
  }
  std::error_condition default_error_condition(int ev) const noexcept override {
    switch (static_cast<TSerialErrc>(ev)) {
      case TSerialErrc::PortBusy: return std::errc::device_or_resource_busy;
      case TSerialErrc::NotATty: return std::errc::inappropriate_io_control_operation;
      case TSerialErrc::NotSupported: return std::errc::not_supported;
      case TSerialErrc::DeviceLost: return std::errc::io_error;
      case TSerialErrc::Cancelled: return std::errc::operation_canceled;
      case TSerialErrc::TimedOut: return std::errc::timed_out;
      case TSerialErrc::Closed: return std::errc::bad_file_descriptor;
    }
    return {ev, *this};
  }
};

}  // namespace

const std::error_category& SerialCategory() {
  static const SerialCategoryImpl category;
  return category;
}

std::error_code make_error_code(TSerialErrc e) { return {static_cast<int>(e), SerialCategory()}; }

uint32_t DiffEvents(const LineSnapshot& before, const LineSnapshot& now, uint32_t mask) {
  uint32_t ev = 0;
  if (before.HasCounters && now.HasCounters) {
    if (now.Cts != before.Cts) ev |= EV_CTS;
    if (now.Dsr != before.Dsr) ev |= EV_DSR;
    if (now.Dcd != before.Dcd) ev |= EV_RLSD;
    if (now.Ring != before.Ring) ev |= EV_RING;
  }
  if (before.HasModem && now.HasModem) {
    const uint32_t changed = before.Modem ^ now.Modem;
    if (changed & MS_CTS_ON) ev |= EV_CTS;
    if (changed & MS_DSR_ON) ev |= EV_DSR;
    if (changed & MS_RLSD_ON) ev |= EV_RLSD;
    if (changed & now.Modem & MS_RING_ON) ev |= EV_RING;
  }
  const uint32_t errors = ErrorsBetween(before, now);
  if (errors & CE_BREAK) ev |= EV_BREAK;
  if (errors & ~CE_BREAK) ev |= EV_ERR;
  return ev & mask;
}

uint32_t ErrorsBetween(const LineSnapshot& before, const LineSnapshot& now) {
  if (!before.HasCounters || !now.HasCounters) return 0;
  uint32_t ce = 0;
  if (now.BufOverrun != before.BufOverrun) ce |= CE_RXOVER;
  if (now.Overrun != before.Overrun) ce |= CE_OVERRUN;
  if (now.Parity != before.Parity) ce |= CE_RXPARITY;
  if (now.Frame != before.Frame) ce |= CE_FRAME;
  if (now.Brk != before.Brk) ce |= CE_BREAK;
  return ce;
}

bool RxReportState::OnReadable() {
  if (state_ != State::Idle) return false;
  state_ = State::Reported;
  return true;
}

void RxReportState::OnAck(uint32_t left, uint32_t queued) {
  if (state_ != State::Reported) return;
  if (queued == 0 || queued > left) {
    state_ = State::Idle;  // empty, or bytes came after the handler looked: report them
  } else {
    state_ = State::Unread;
    baseline_ = queued;
  }
}

bool RxReportState::OnSample(uint32_t queued) {
  if (state_ != State::Unread) return false;
  if (queued == 0) {
    state_ = State::Idle;
    return false;
  }
  if (queued > baseline_) {
    state_ = State::Reported;
    return true;
  }
  baseline_ = queued;  // someone read part of it
  return false;
}

bool RxReportState::OnRead(uint32_t n) {
  if (state_ != State::Unread) return false;
  baseline_ = baseline_ > n ? baseline_ - n : 0;
  if (baseline_ == 0) state_ = State::Idle;  // what was left is gone: new input is news
  return state_ == State::Idle;
}

void RxReportState::OnPurged() {
  if (state_ == State::Unread) state_ = State::Idle;
}

bool RxArrivalReport::OnArrival() {
  if (reported_) {
    more_ = true;
    return false;
  }
  reported_ = true;
  more_ = false;
  return true;
}

bool RxArrivalReport::OnAck(uint32_t left, uint32_t queued) {
  if (!reported_) return false;
  // What arrived while the handler ran and it did not see is news; what it
  // read or left is not.
  reported_ = more_ && queued > left;
  more_ = false;
  return reported_;
}

}  // namespace qv::platform
