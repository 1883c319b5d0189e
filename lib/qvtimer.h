// TqvTimer: a periodic timer that ticks on a thread of its own.
//
// Each timer owns one long-lived thread (TqvTimerThread), started on the first
// enable and joined only in the timer's destructor. Enabling, disabling and
// changing the interval only re-arm that thread: every enable and disable bumps
// a generation counter, and a tick armed under an older generation is dropped,
// so no stale tick fires after a disable/enable.
//
// - Ticks call OnTimer(Sender = the timer) every Interval ms while Enabled.
//   The first tick comes Interval ms after the enable; the next one Interval ms
//   after the previous tick returned. Interval 0 never ticks.
// - Synchro: the tick runs on the main thread through the dispatcher and the
//   timer thread waits for it (qv::platform::RunOnMainThread).
// - Enabled/Interval/Synchro/OnTimer may be written from any thread, including
//   from the tick itself and from a call that a tick waits on; they never wait.
// - Destructor: no tick starts after it began, and it returns only when no
//   tick is running any more (it pumps the dispatcher while it waits on the
//   main thread, and drops a Synchro tick still waiting for the main thread).
//   Destroying the timer from its own tick is allowed: the thread then ends
//   after the tick and is joined by the runtime's reaper; the tick must not
//   touch the timer after destroying it.
// - An object whose method is bound to OnTimer must destroy (or
//   FreeKeepConnectionTimer/FreeAsyncTimer) the timer before its own members
//   and virtual overrides go away.
#pragma once

#include <cstdint>
#include <memory>

#include "qvcomponent.h"
#include "qvapi.h"

QV_API_BEGIN

// The thread behind a timer (defined in qvtimer.cpp). It is shared between the
// timer and its running thread, so that a tick may outlive the timer object.
class TqvTimerThread;

class TqvTimer : public TObject {
 public:
  // Interval 1000 ms; enabled at once unless `AEnabled` is false.
  explicit TqvTimer(bool AEnabled = true);
  ~TqvTimer() override;

  bool Enabled() const;
  void SetEnabled(bool Value);

  uint32_t Interval() const;
  // Effective from the next arming (the running wait keeps its length).
  void SetInterval(uint32_t Value);

  bool Synchro() const;
  void SetSynchro(bool Value);

  TNotifyEvent OnTimer() const;
  void SetOnTimer(TNotifyEvent Value);

  // Disables and enables again: the next tick comes Interval ms from now.
  void Restart();

 private:
  std::shared_ptr<TqvTimerThread> thread_;
};

QV_API_END
