// Shared by the TqvGsm implementation files only.
#pragma once

#include <optional>
#include <vector>

#include "qvgsm.h"

namespace qv::gsm {

// The components this thread is inside a wait of, or delivering received
// data to, innermost last.
using TMarks = std::vector<const TqvGsm*>;
extern thread_local TMarks tWaits;
extern thread_local TMarks tDeliveries;

inline bool Marked(const TMarks& marks, const TqvGsm* gsm) {
  for (const TqvGsm* g : marks)
    if (g == gsm) return true;
  return false;
}

// Marks this thread for as long as it lives.
class TMarkScope {
 public:
  TMarkScope(TMarks& marks, const TqvGsm* gsm) : marks_(marks) { marks_.push_back(gsm); }
  ~TMarkScope() { marks_.pop_back(); }
  TMarkScope(const TMarkScope&) = delete;
  TMarkScope& operator=(const TMarkScope&) = delete;

 private:
  TMarks& marks_;
};

// This thread waits inside the component: on the main thread the lane stays
// queued meanwhile.
class TWaitScope {
 public:
  TWaitScope(const TqvGsm* gsm, qv::platform::TDispatchGroup& lane) : mark_(tWaits, gsm) {
    if (!qv::platform::IsMainThread()) return;
    held_ = &lane;
    lane.Hold();
  }
  ~TWaitScope() {
    if (held_) held_->Release();
  }
  TWaitScope(const TWaitScope&) = delete;
  TWaitScope& operator=(const TWaitScope&) = delete;

 private:
  TMarkScope mark_;
  qv::platform::TDispatchGroup* held_ = nullptr;
};

// Hex text as the codec reads it: letter digits in upper case.
inline std::u16string UpperHexDigits(std::u16string_view s) {
  std::u16string r(s);
  for (char16_t& c : r)
    if (c >= u'a' && c <= u'f') c = static_cast<char16_t>(c - u'a' + u'A');
  return r;
}

}  // namespace qv::gsm

// A synchronous operation: waits for the turn and holds it, marks the wait,
// and when it ends releases the turn and runs the lane (main thread only).
// Tests false when the turn was refused; the reason is in LastError.
class TqvGsm::TSyncCall {
 public:
  TSyncCall(TqvGsm& g, const char16_t* what);
  ~TSyncCall();
  TSyncCall(const TSyncCall&) = delete;
  TSyncCall& operator=(const TSyncCall&) = delete;
  explicit operator bool() const { return held_ || queued_; }

  // RunCommand of the processor under this call; a failure goes to LastError.
  bool Run(int32_t id);
  // Why the turn was refused, or why the last Run failed.
  const std::u16string& Failure() const { return failure_; }
  // The queue that is about to start takes the turn over. Its events are not
  // run when the call ends, unless the call waits for the queue (DrainAtEnd).
  void HandToQueue();
  void DrainAtEnd() { drain_ = true; }

 private:
  TqvGsm& gsm_;
  const char16_t* what_;
  std::optional<qv::gsm::TWaitScope> wait_;
  std::u16string failure_;
  bool held_ = false;
  bool queued_ = false;
  bool drain_ = true;
};
