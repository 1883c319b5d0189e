// Shared by the TqvGsm implementation files only.
#pragma once

#include <string_view>

#include "qvgsm.h"

namespace qv::gsm {

// Nesting of this thread inside a wait of the component, and inside byte
// processing: a request made there never waits for the turn.
extern thread_local int tWaitDepth;
extern thread_local int tProcessingDepth;

struct TDepthScope {
  explicit TDepthScope(int& d) : depth(d) { ++depth; }
  ~TDepthScope() { --depth; }
  TDepthScope(const TDepthScope&) = delete;
  TDepthScope& operator=(const TDepthScope&) = delete;
  int& depth;
};

}  // namespace qv::gsm

// Holds the turn for a synchronous operation; tests false when refused.
class TqvGsm::TTurnGuard {
 public:
  explicit TTurnGuard(TqvGsm& g, const char16_t* what = u"request") : gsm(g) {
    held = gsm.AcquireTurn();
    if (!held && !gsm.fCancelled) gsm.LogBusy(what);
  }
  ~TTurnGuard() {
    if (held) gsm.ReleaseTurn();
  }
  TTurnGuard(const TTurnGuard&) = delete;
  TTurnGuard& operator=(const TTurnGuard&) = delete;
  explicit operator bool() const { return held; }
  // The queue that is about to start takes the turn over.
  void HandToQueue() {
    gsm.TurnToQueue();
    held = false;
  }

 private:
  TqvGsm& gsm;
  bool held = false;
};
