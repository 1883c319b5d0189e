// The comm-event wait of both serial backends as small pure pieces:
//   - a snapshot of the line (interrupt counters, modem bits) and the diff of
//     two snapshots under an event mask;
//   - the receive-report state, which makes "characters received" an edge:
//     one report per arrival, the next only after the handler consumed it;
//     RxReportState for a wait that sees whether input is there (level),
//     RxArrivalReport for one that hears each arrival (edge-triggered).
#pragma once

#include <cstdint>

#include "platform/qvserial.h"

namespace qv::platform {

struct LineSnapshot {
  bool HasCounters = false;  // the device keeps interrupt counters
  uint32_t Cts = 0, Dsr = 0, Ring = 0, Dcd = 0;
  uint32_t Frame = 0, Overrun = 0, Parity = 0, Brk = 0, BufOverrun = 0;
  bool HasModem = false;  // the device has modem lines
  uint32_t Modem = 0;     // MS_ bits
};

// Events that only a sampled snapshot can tell (they wake no wait).
inline constexpr uint32_t kSampledEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_BREAK | EV_ERR;

// Line events between two snapshots, limited to `mask`. Counters, where the
// device has them, catch pulses shorter than a sampling tick; otherwise a
// change of the modem bits counts (a ring on its rising edge).
uint32_t DiffEvents(const LineSnapshot& before, const LineSnapshot& now, uint32_t mask);
// Line errors (CE_ bits) between two snapshots.
uint32_t ErrorsBetween(const LineSnapshot& before, const LineSnapshot& now);

class RxReportState {
 public:
  enum class State { Idle, Reported, Unread };
  State Current() const { return state_; }
  // Idle: wait for input to become readable.
  bool WantsReadable() const { return state_ == State::Idle; }
  // Unread: the handler left bytes; only growth of the queue is news.
  bool WantsSampling() const { return state_ == State::Unread; }
  // Input became readable; true when that is to be reported.
  bool OnReadable();
  // The handler is done; it left `left` bytes and `queued` are there now.
  void OnAck(uint32_t left, uint32_t queued);
  // A sample of the input queue while Unread; true when it is to be reported.
  bool OnSample(uint32_t queued);
  // Someone read `n` bytes; true when the wait should look again.
  bool OnRead(uint32_t n);
  // The input queue was emptied by a purge.
  void OnPurged();

 private:
  State state_ = State::Idle;
  uint32_t baseline_ = 0;
};

// The same report for a wait that is told of every arrival of input and of
// nothing else: the handler's acknowledgement only looks at the queue when
// bytes arrived while it ran, and calls for a report when some of them are
// still there beyond what it left; otherwise the wait stays asleep.
class RxArrivalReport {
 public:
  // Input arrived; true when that is to be reported now.
  bool OnArrival();
  // Input arrived since the last report.
  bool MoreSinceReport() const { return more_; }
  // The handler is done; it left `left` bytes and `queued` are there now
  // (only asked for when MoreSinceReport()). True when a report is due now.
  bool OnAck(uint32_t left, uint32_t queued);
  // The input queue was emptied by a purge.
  void OnPurged() { more_ = false; }

 private:
  bool reported_ = false;
  bool more_ = false;
};

}  // namespace qv::platform
