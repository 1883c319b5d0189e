#include "qvtimer.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/qvdispatcher.h"

namespace pf = qv::platform;

// State shared by the timer and its thread. Every field but `thread` is
// guarded by `mutex`; `thread` is only touched by the owning timer.
class TqvTimerThread {
 public:
  explicit TqvTimerThread(TObject* sender) : sender_(sender) {}

  std::mutex mutex;
  std::condition_variable cv;
  bool enabled = false;
  bool stop = false;
  bool synchro = false;
  uint32_t interval = 1000;
  uint64_t generation = 0;  // bumped by every enable and disable
  TNotifyEvent onTimer;
  std::thread::id ticking;  // the thread inside OnTimer now, if any
  std::thread thread;
  pf::TDispatchGroup group;  // the Synchro ticks waiting for the main thread

  // Starts the thread on first need; the lock is held.
  void EnsureStarted(const std::shared_ptr<TqvTimerThread>& self) {
    if (!stop && !thread.joinable()) thread = std::thread([self] { self->Run(); });
  }

  void Run();

 private:
  // Calls OnTimer unless the timer was disabled or re-armed since `gen`; the lock is held.
  void Tick(std::unique_lock<std::mutex>& lock, uint64_t gen);

  TObject* const sender_;
};

void TqvTimerThread::Tick(std::unique_lock<std::mutex>& lock, uint64_t gen) {
  if (stop || !enabled || generation != gen || !onTimer) return;
  TNotifyEvent handler = onTimer;
  ticking = std::this_thread::get_id();
  lock.unlock();
  try {
    handler(sender_);  // may destroy the timer; only `this` (shared) is used afterwards
  } catch (...) {
    // A tick's failure must not end the timer thread; the handler reports its own errors.
  }
  lock.lock();
  ticking = std::thread::id();
}

void TqvTimerThread::Run() {
  std::unique_lock lock(mutex);
  while (!stop) {
    if (!enabled || interval == 0) {
      cv.wait(lock);
      continue;
    }
    const uint64_t gen = generation;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(interval);
    if (cv.wait_until(lock, deadline, [&] { return stop || generation != gen; })) continue;
    if (!synchro) {
      Tick(lock, gen);
      continue;
    }
    lock.unlock();
    pf::RunOnMainThread(group, [this, gen] {
      std::unique_lock inner(mutex);
      Tick(inner, gen);
    });
    lock.lock();
  }
}

// ---------------------------------------------------------------------------

TqvTimer::TqvTimer(bool AEnabled) : thread_(std::make_shared<TqvTimerThread>(this)) {
  SetEnabled(AEnabled);
}

TqvTimer::~TqvTimer() {
  auto& t = *thread_;
  bool fromTick;
  {
    std::lock_guard lock(t.mutex);
    t.stop = true;
    t.enabled = false;
    ++t.generation;
    const auto self = std::this_thread::get_id();
    fromTick = t.ticking == self || t.thread.get_id() == self ||
               (t.thread.joinable() && pf::IsRunningCallOf(t.thread.get_id()));
  }
  t.cv.notify_all();
  t.group.Cancel();  // a Synchro tick still waiting for the main thread is dropped
  if (!t.thread.joinable()) return;
  if (fromTick)
    pf::JoinLater(std::move(t.thread));  // it ends as soon as the tick returns
  else
    pf::JoinWhilePumping(t.thread);
}

bool TqvTimer::Enabled() const {
  std::lock_guard lock(thread_->mutex);
  return thread_->enabled;
}

void TqvTimer::SetEnabled(bool Value) {
  {
    std::lock_guard lock(thread_->mutex);
    if (thread_->enabled == Value) return;
    thread_->enabled = Value;
    ++thread_->generation;
    if (Value) thread_->EnsureStarted(thread_);
  }
  thread_->cv.notify_all();
}

void TqvTimer::Restart() {
  {
    std::lock_guard lock(thread_->mutex);
    thread_->enabled = true;
    ++thread_->generation;
    thread_->EnsureStarted(thread_);
  }
  thread_->cv.notify_all();
}

uint32_t TqvTimer::Interval() const {
  std::lock_guard lock(thread_->mutex);
  return thread_->interval;
}

void TqvTimer::SetInterval(uint32_t Value) {
  {
    std::lock_guard lock(thread_->mutex);
    thread_->interval = Value;
  }
  thread_->cv.notify_all();
}

bool TqvTimer::Synchro() const {
  std::lock_guard lock(thread_->mutex);
  return thread_->synchro;
}

void TqvTimer::SetSynchro(bool Value) {
  std::lock_guard lock(thread_->mutex);
  thread_->synchro = Value;
}

TNotifyEvent TqvTimer::OnTimer() const {
  std::lock_guard lock(thread_->mutex);
  return thread_->onTimer;
}

void TqvTimer::SetOnTimer(TNotifyEvent Value) {
  std::lock_guard lock(thread_->mutex);
  thread_->onTimer = std::move(Value);
}
