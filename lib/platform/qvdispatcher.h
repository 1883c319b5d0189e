// The main-thread dispatcher: any thread hands a call to the main thread and
// (usually) waits for it; the main thread runs pending calls whenever it pumps.
//
// The main thread is the process's initial thread unless SetMainThread() names
// another one. Calls are run in the order they were handed over, so the calls
// of one thread run in that thread's order.
//
// The main thread pumps in these places:
//   - ProcessMessages(): run what is pending now;
//   - PumpFor(ms): wait up to ms for calls (or a wake-up) and run them;
//   - WaitPumping(event, ms): wait for an event and run calls meanwhile (the
//     synchronous waits of the library);
//   - JoinWhilePumping(thread): join a thread and run its calls meanwhile, so a
//     thread that waits on the main thread never deadlocks a main thread that
//     waits for it to end.
// A GUI installs a wake hook (SetWakeHook) which is called on the handing
// thread whenever a call is queued; a Qt adapter posts an event to its GUI
// thread there and calls ProcessMessages() when the event arrives. A GUI whose
// windows must stay alive while the main thread waits inside the library also
// installs a wait hook (SetWaitHook). Tests and headless programs pump by
// themselves.
//
// Cancellation: a call handed over with a TDispatchGroup is dropped, and its
// waiter released with false, when the group is cancelled (the owner is going
// away) before the main thread starts it. CancelPendingCalls() does the same
// for every queued call at shutdown.
//
// Holding: while a group is held, pumps leave its calls queued, in their
// order, and run the other calls past them. An owner holds its group while
// the main thread waits inside one of its operations, so that its own
// deferred work never runs in the middle of that wait.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

#include "platform/qvthread.h"
#include "qvapi.h"

QV_API_BEGIN

namespace qv::platform {

// The calling thread becomes the main thread (for a program or test whose
// main loop runs on a thread other than the initial one).
void SetMainThread();
bool IsMainThread();

// A cancellation scope for calls handed to the main thread by one owner.
// Cancel() drops its queued calls (their waiters return false) and refuses
// later ones until Reopen(). The destructor cancels.
class TDispatchGroup {
 public:
  TDispatchGroup();
  ~TDispatchGroup();
  TDispatchGroup(const TDispatchGroup&) = delete;
  TDispatchGroup& operator=(const TDispatchGroup&) = delete;

  void Cancel();
  void Reopen();
  bool Cancelled() const;

  // Holds nest; the calls run again once every Hold has its Release.
  void Hold();
  void Release();
  bool Held() const;

  struct State;  // shared with queued calls

 private:
  std::shared_ptr<State> state_;
  friend class TDispatchAccess;
};

// Runs `call` on the main thread and waits until it has run. On the main thread
// it runs inline. Returns false when the call was cancelled (its group was or
// got cancelled, or CancelPendingCalls) instead of being run. An exception that
// escapes `call` is caught on the main thread and rethrown here.
bool RunOnMainThread(const std::function<void()>& call);
bool RunOnMainThread(TDispatchGroup& group, const std::function<void()>& call);

// Queues `call` for the main thread without waiting (also from the main thread
// itself: it runs at the next pump). False when the group is cancelled.
// Exceptions escaping a posted call are written to standard error.
bool PostToMainThread(std::function<void()> call);
bool PostToMainThread(TDispatchGroup& group, std::function<void()> call);

// Main thread only (elsewhere they do nothing and return false / 0):
// runs the calls pending now; the number of calls run.
int ProcessMessages();
// Waits up to `timeoutMs` until a call is pending or WakeMainThread() is
// called, then runs what is pending. True when anything ran or a wake came.
bool PumpFor(uint32_t timeoutMs);

// Waits for `event` up to `timeoutMs`. On the main thread it runs handed-over
// calls while waiting; elsewhere it is event.Wait(timeoutMs).
bool WaitPumping(TEvent& event, uint32_t timeoutMs = kInfinite);

// Joins `thread` (if joinable). On the main thread it runs handed-over calls
// until the thread has ended. Never call it on `thread` itself.
void JoinWhilePumping(std::thread& thread);

// Wakes a main thread in PumpFor/WaitPumping (and calls the wake hook).
void WakeMainThread();

// Called (on the handing thread, outside any lock) whenever a call is queued.
// Pass nothing to remove it.
void SetWakeHook(std::function<void()> hook);

// Called on the main thread while it waits in PumpFor, WaitPumping or
// JoinWhilePumping: with a hook set those waits go in slices of at most
// kWaitHookSliceMs, and the hook runs between two slices, outside every lock
// of the dispatcher. A GUI runs its pending events there without blocking, so
// its windows repaint and take input during a long synchronous request; it
// must then cope with its own handlers being entered from inside such a wait.
// Pass nothing to remove it.
inline constexpr uint32_t kWaitHookSliceMs = 20;
void SetWaitHook(std::function<void()> hook);

// Drops every queued call; their waiters return false.
void CancelPendingCalls();

// True on the main thread while it runs (at any nesting depth) a call that
// thread `id` handed over with RunOnMainThread and is waiting for. An owner
// must not join that thread there: it would wait for itself.
bool IsRunningCallOf(std::thread::id id);

// Number of calls queued and not yet started, held ones included (for
// diagnostics and tests).
size_t PendingCalls();

}  // namespace qv::platform

QV_API_END
