// Threading primitives of the runtime: events, registered message numbers,
// per-thread message queues, a millisecond tick count, sleeping, and a reaper
// that joins threads which cannot be joined where they end.
//
// All of it is standard C++ underneath; nothing here exposes an OS type.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <thread>

#include "qvapi.h"

QV_API_BEGIN

namespace qv::platform {

// A wait without a time limit.
inline constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// An event object: manual-reset events stay signalled until Reset(); auto-reset
// events release one waiter and reset themselves. Every Set() also wakes a main
// thread that waits for it through the dispatcher (WaitPumping, qvdispatcher.h).
class TEvent {
 public:
  explicit TEvent(bool manualReset = false, bool initialState = false);
  ~TEvent();
  TEvent(const TEvent&) = delete;
  TEvent& operator=(const TEvent&) = delete;

  void Set();
  void Reset();
  // True when the event was signalled within `timeoutMs` (kInfinite: no limit).
  // An auto-reset event is reset by a successful wait.
  bool Wait(uint32_t timeoutMs = kInfinite);
  // Signalled right now? Does not consume an auto-reset event.
  bool IsSet() const;
  bool ManualReset() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// A number in 0xC000..0xFFFF for a message name; the same name always gives the
// same number within the process (names are compared exactly). 0 when the range
// is used up or the name is empty.
uint32_t RegisterMessage(std::u16string_view name);

// One message of a thread's queue.
struct TMessage {
  uint32_t Message = 0;
  uintptr_t WParam = 0;
  intptr_t LParam = 0;
};

// A small, process-unique number of the calling thread (never 0). The first call
// on a thread also gives it its message queue, which lives as long as the thread.
using TThreadId = uint32_t;
TThreadId CurrentThreadId();

// Appends a message to the queue of thread `id`. False when that thread has no
// queue (it never called CurrentThreadId, or it has ended).
bool PostThreadMessage(TThreadId id, const TMessage& msg);

// Takes the oldest message of the calling thread's queue, waiting up to
// `timeoutMs` for one. False when none came in time.
bool GetMessage(TMessage& msg, uint32_t timeoutMs = kInfinite);

// Looks at the oldest message without waiting; `remove` takes it off the queue.
bool PeekMessage(TMessage& msg, bool remove);

// Milliseconds since an arbitrary start, from a monotonic clock, wrapping at
// 2^32 like the system tick count. Compare ticks by unsigned difference.
uint32_t GetTickCount();

// Unsigned difference now - `since`, correct across one wrap.
inline uint32_t TicksSince(uint32_t since) { return GetTickCount() - since; }

void Sleep(uint32_t ms);

// Hands a thread that is ending (or about to end) to a process-wide reaper that
// joins it. For the one case where the owner cannot join: an object destroyed
// on its own thread, or from a call that its thread waits on. The thread must
// end on its own soon; the reaper joins every adopted thread before the process
// exits.
void JoinLater(std::thread thread);

}  // namespace qv::platform

QV_API_END
