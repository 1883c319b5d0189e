#include "platform/qvdispatcher.h"

#include "platform/qveventcount.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <exception>
#include <iterator>
#include <vector>
#include <mutex>
#include <new>
#include <optional>
#include <utility>

namespace qv::platform {

struct TDispatchGroup::State {
  // Guarded by the dispatcher's mutex.
  bool cancelled = false;
  int holds = 0;
};

namespace {

using Clock = std::chrono::steady_clock;

// The waiting side of a call handed over by RunOnMainThread: the main thread
// finishes the call with no lock and at most one wake-up.
struct Waiter {
  enum class Result { Pending, Done, Cancelled };
  std::atomic<Result> result{Result::Pending};
  std::exception_ptr error;  // written before `result`, read after it
  TEventCount finished;

  void Finish(Result r, std::exception_ptr e = nullptr) {
    error = std::move(e);
    result.store(r);
    finished.NotifyAll();
  }

  Result Wait() {
    for (;;) {
      const uint32_t key = finished.Key();
      if (const Result r = result.load(); r != Result::Pending) return r;
      finished.Wait(key, std::nullopt);
    }
  }
};

struct Call {
  std::function<void()> fn;
  std::shared_ptr<TDispatchGroup::State> group;  // may be empty
  std::shared_ptr<Waiter> waiter;                 // empty for posted calls
  std::thread::id from;                           // the handing thread
};

// The threads whose waited-for calls the main thread is running now, innermost last.
thread_local std::vector<std::thread::id> tServing;

using THook = std::shared_ptr<std::function<void()>>;

struct Dispatcher {
  std::mutex mutex;
  TEventCount moved;  // the main thread waits here; moved by every call queued and every wake-up
  std::deque<Call> calls;
  uint64_t wakes = 0;          // bumped by every wake-up
  // The thread SetMainThread named; none: the process's initial thread.
  // Read on every main-thread check, so without the lock.
  std::atomic<std::thread::id> mainId{};

  std::mutex hookMutex;
  THook hook;
  THook waitHook;
};

// Never destroyed: threads joined during static destruction (the reaper's)
// may still set events, which wake the dispatcher.
Dispatcher& D() {
  alignas(Dispatcher) static unsigned char storage[sizeof(Dispatcher)];
  static Dispatcher* d = new (storage) Dispatcher;
  return *d;
}

THook HookOf(THook Dispatcher::*which) {
  auto& d = D();
  std::lock_guard lock(d.hookMutex);
  return d.*which;
}

void StoreHook(THook Dispatcher::*which, std::function<void()> hook) {
  auto& d = D();
  auto h = hook ? std::make_shared<std::function<void()>>(std::move(hook)) : nullptr;
  std::lock_guard lock(d.hookMutex);
  d.*which = std::move(h);
}

void CallHook() {
  auto hook = HookOf(&Dispatcher::hook);
  if (hook && *hook) (*hook)();
}

bool Runnable(const Call& call) { return !call.group || call.group->holds == 0; }

// Under the dispatcher's lock.
size_t RunnableCalls(const Dispatcher& d) {
  return static_cast<size_t>(std::count_if(d.calls.begin(), d.calls.end(), Runnable));
}

// Queues a call unless its group is cancelled; false when it was refused.
bool Enqueue(Call call) {
  auto& d = D();
  {
    std::lock_guard lock(d.mutex);
    if (call.group && call.group->cancelled) return false;
    d.calls.push_back(std::move(call));
  }
  d.moved.NotifyAll();
  CallHook();
  return true;
}

void ReleaseWaiter(Call& call) {
  if (call.waiter) call.waiter->Finish(Waiter::Result::Cancelled);
}

bool RunSync(const std::shared_ptr<TDispatchGroup::State>& group, const std::function<void()>& fn) {
  if (IsMainThread()) {
    if (group) {
      std::lock_guard lock(D().mutex);
      if (group->cancelled) return false;
    }
    fn();
    return true;
  }
  auto waiter = std::make_shared<Waiter>();
  if (!Enqueue(Call{fn, group, waiter, std::this_thread::get_id()})) return false;
  const Waiter::Result result = waiter->Wait();
  if (auto error = std::exchange(waiter->error, nullptr)) std::rethrow_exception(std::move(error));
  return result == Waiter::Result::Done;
}

bool Post(const std::shared_ptr<TDispatchGroup::State>& group, std::function<void()> fn) {
  return Enqueue(Call{std::move(fn), group, nullptr, std::this_thread::get_id()});
}

// Runs the first queued call that is not held; false when there is none.
bool RunOne() {
  auto& d = D();
  Call call;
  {
    std::lock_guard lock(d.mutex);
    const auto it = std::find_if(d.calls.begin(), d.calls.end(), Runnable);
    if (it == d.calls.end()) return false;
    call = std::move(*it);
    d.calls.erase(it);
    if (call.group && call.group->cancelled) {
      ReleaseWaiter(call);
      return true;
    }
  }
  std::exception_ptr error;
  if (call.waiter) tServing.push_back(call.from);
  try {
    call.fn();
  } catch (...) {
    error = std::current_exception();
  }
  if (call.waiter) tServing.pop_back();
  if (call.waiter) {
    // Handed over, not copied: the waiting thread alone releases it.
    call.waiter->Finish(Waiter::Result::Done, std::move(error));
  } else if (error) {
    try {
      std::rethrow_exception(error);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "qv: exception in a call posted to the main thread: %s\n", e.what());
    } catch (...) {
      std::fprintf(stderr, "qv: exception in a call posted to the main thread\n");
    }
  }
  return true;
}

// Waits on the dispatcher until a call is queued, a wake-up comes, `extra()`
// holds or the deadline passes. The dispatcher's lock is held around extra().
// With a wait hook the wait goes in slices and the hook runs between them.
template <class Extra>
bool WaitMain(Clock::time_point deadline, bool infinite, uint64_t wakesSeen, Extra extra) {
  auto& d = D();
  const auto waitHook = HookOf(&Dispatcher::waitHook);
  const bool hooked = waitHook && *waitHook;
  auto ready = [&] {
    std::lock_guard lock(d.mutex);
    return RunnableCalls(d) > 0 || d.wakes != wakesSeen || extra();
  };
  for (;;) {
    std::optional<Clock::time_point> sliceEnd;
    if (hooked) sliceEnd = Clock::now() + std::chrono::milliseconds(kWaitHookSliceMs);
    if (!infinite) sliceEnd = sliceEnd ? std::min(*sliceEnd, deadline) : deadline;
    for (;;) {
      const uint32_t key = d.moved.Key();
      if (ready()) return true;
      if (sliceEnd && Clock::now() >= *sliceEnd) break;
      d.moved.Wait(key, sliceEnd);
    }
    if (!infinite && Clock::now() >= deadline) return false;
    (*waitHook)();
  }
}

uint64_t Wakes() {
  std::lock_guard lock(D().mutex);
  return D().wakes;
}

}  // namespace

namespace detail {
void PokeMainThread() {
  auto& d = D();
  {
    std::lock_guard lock(d.mutex);
    ++d.wakes;
  }
  d.moved.NotifyAll();
}
}  // namespace detail

// ---------------------------------------------------------------- main thread

void SetMainThread() { D().mainId.store(std::this_thread::get_id()); }

bool IsMainThread() {
  const std::thread::id named = D().mainId.load();
  if (named != std::thread::id()) return named == std::this_thread::get_id();
  // By default the main thread is the process's initial thread; a thread
  // never changes its answer, so it asks the system once.
  thread_local const bool initial = ::syscall(SYS_gettid) == ::getpid();
  return initial;
}

// ---------------------------------------------------------------- groups

TDispatchGroup::TDispatchGroup() : state_(std::make_shared<State>()) {}

TDispatchGroup::~TDispatchGroup() { Cancel(); }

void TDispatchGroup::Cancel() {
  auto& d = D();
  std::deque<Call> dropped;
  {
    std::lock_guard lock(d.mutex);
    state_->cancelled = true;
    auto keep = std::stable_partition(d.calls.begin(), d.calls.end(),
                                      [this](const Call& c) { return c.group != state_; });
    std::move(keep, d.calls.end(), std::back_inserter(dropped));
    d.calls.erase(keep, d.calls.end());
  }
  for (auto& c : dropped) ReleaseWaiter(c);
}

void TDispatchGroup::Reopen() {
  std::lock_guard lock(D().mutex);
  state_->cancelled = false;
}

bool TDispatchGroup::Cancelled() const {
  std::lock_guard lock(D().mutex);
  return state_->cancelled;
}

void TDispatchGroup::Hold() {
  std::lock_guard lock(D().mutex);
  ++state_->holds;
}

void TDispatchGroup::Release() {
  {
    std::lock_guard lock(D().mutex);
    if (state_->holds > 0) --state_->holds;
  }
  // Its calls may run now: a thread waiting in a pump sees them.
  detail::PokeMainThread();
}

bool TDispatchGroup::Held() const {
  std::lock_guard lock(D().mutex);
  return state_->holds > 0;
}

class TDispatchAccess {
 public:
  static const std::shared_ptr<TDispatchGroup::State>& Of(TDispatchGroup& g) { return g.state_; }
};

// ---------------------------------------------------------------- handing over

bool RunOnMainThread(const std::function<void()>& call) { return RunSync(nullptr, call); }

bool RunOnMainThread(TDispatchGroup& group, const std::function<void()>& call) {
  return RunSync(TDispatchAccess::Of(group), call);
}

bool PostToMainThread(std::function<void()> call) { return Post(nullptr, std::move(call)); }

bool PostToMainThread(TDispatchGroup& group, std::function<void()> call) {
  return Post(TDispatchAccess::Of(group), std::move(call));
}

// ---------------------------------------------------------------- pumping

int ProcessMessages() {
  if (!IsMainThread()) return 0;
  size_t pending;
  {
    std::lock_guard lock(D().mutex);
    pending = RunnableCalls(D());
  }
  // Only what is pending now: calls queued meanwhile wait for the next pump,
  // so a busy producer cannot keep the main thread here.
  int ran = 0;
  for (size_t i = 0; i < pending && RunOne(); ++i) ++ran;
  return ran;
}

bool PumpFor(uint32_t timeoutMs) {
  if (!IsMainThread()) return false;
  const uint64_t seen = Wakes();
  if (ProcessMessages() > 0) return true;
  const bool woke = WaitMain(Clock::now() + std::chrono::milliseconds(timeoutMs),
                             timeoutMs == kInfinite, seen, [] { return false; });
  return ProcessMessages() > 0 || woke;
}

bool WaitPumping(TEvent& event, uint32_t timeoutMs) {
  if (!IsMainThread()) return event.Wait(timeoutMs);
  const bool infinite = timeoutMs == kInfinite;
  const auto deadline = Clock::now() + std::chrono::milliseconds(infinite ? 0 : timeoutMs);
  for (;;) {
    ProcessMessages();
    bool signalled = false;
    const uint64_t seen = Wakes();
    // The event is tested under the dispatcher's lock: a Set() after the test
    // bumps the wake counter under that lock, so it cannot be missed.
    WaitMain(deadline, infinite, seen, [&] { return signalled = event.Wait(0); });
    if (signalled) return true;
    if (!infinite && Clock::now() >= deadline) {
      ProcessMessages();
      return event.Wait(0);
    }
  }
}

void JoinWhilePumping(std::thread& thread) {
  if (!thread.joinable()) return;
  if (!IsMainThread()) {
    thread.join();
    return;
  }
  // std::thread has no timed join: a helper joins it and signals, while this
  // thread goes on running the calls that the joined thread may wait for.
  TEvent ended(true, false);
  std::thread helper([&] {
    thread.join();
    ended.Set();
  });
  WaitPumping(ended);
  helper.join();
}

void WakeMainThread() {
  detail::PokeMainThread();
  CallHook();
}

void SetWakeHook(std::function<void()> hook) { StoreHook(&Dispatcher::hook, std::move(hook)); }

void SetWaitHook(std::function<void()> hook) { StoreHook(&Dispatcher::waitHook, std::move(hook)); }

void CancelPendingCalls() {
  auto& d = D();
  std::deque<Call> dropped;
  {
    std::lock_guard lock(d.mutex);
    dropped.swap(d.calls);
  }
  for (auto& c : dropped) ReleaseWaiter(c);
}

bool IsRunningCallOf(std::thread::id id) {
  return std::find(tServing.begin(), tServing.end(), id) != tServing.end();
}

size_t PendingCalls() {
  std::lock_guard lock(D().mutex);
  return D().calls.size();
}

}  // namespace qv::platform
