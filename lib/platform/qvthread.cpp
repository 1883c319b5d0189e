#include "platform/qvthread.h"

#include "platform/qveventcount.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <unordered_map>

namespace qv::platform {

namespace detail {
// Defined by the dispatcher: wakes a main thread in a pumping wait.
void PokeMainThread();
}  // namespace detail

namespace {

using Clock = std::chrono::steady_clock;

// Waits on `cv` until `ready()` or `timeoutMs` passed; the lock is held. A
// zero time-out only looks (a timed wait would still enter the kernel).
template <class Pred>
bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint32_t timeoutMs,
             Pred ready) {
  if (timeoutMs == 0) return ready();
  if (timeoutMs == kInfinite) {
    cv.wait(lock, ready);
    return true;
  }
  return cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
}

}  // namespace

// ---------------------------------------------------------------- events

struct TEvent::State {
  mutable std::mutex mutex;
  std::condition_variable cv;
  bool manual;
  bool signalled;
};

TEvent::TEvent(bool manualReset, bool initialState)
    : state_(std::make_unique<State>()) {
  state_->manual = manualReset;
  state_->signalled = initialState;
}

TEvent::~TEvent() = default;

void TEvent::Set() {
  {
    // Notified under the lock: a waiter that returns may destroy the event at
    // once, so nothing of it may be touched after the unlock.
    std::lock_guard lock(state_->mutex);
    state_->signalled = true;
    if (state_->manual)
      state_->cv.notify_all();
    else
      state_->cv.notify_one();
  }
  detail::PokeMainThread();
}

void TEvent::Reset() {
  std::lock_guard lock(state_->mutex);
  state_->signalled = false;
}

bool TEvent::Wait(uint32_t timeoutMs) {
  std::unique_lock lock(state_->mutex);
  if (!WaitFor(state_->cv, lock, timeoutMs, [this] { return state_->signalled; })) return false;
  if (!state_->manual) state_->signalled = false;
  return true;
}

bool TEvent::IsSet() const {
  std::lock_guard lock(state_->mutex);
  return state_->signalled;
}

bool TEvent::ManualReset() const { return state_->manual; }

// ---------------------------------------------------------------- registered messages

uint32_t RegisterMessage(std::u16string_view name) {
  static std::mutex mutex;
  static std::map<std::u16string, uint32_t, std::less<>> numbers;
  if (name.empty()) return 0;
  std::lock_guard lock(mutex);
  if (auto it = numbers.find(name); it != numbers.end()) return it->second;
  const uint32_t next = 0xC000u + uint32_t(numbers.size());
  if (next > 0xFFFFu) return 0;
  numbers.emplace(std::u16string(name), next);
  return next;
}

// ---------------------------------------------------------------- thread queues

namespace {

struct Queue {
  std::mutex mutex;
  std::deque<TMessage> messages;
  TEventCount posted;
};

struct QueueRegistry {
  std::mutex mutex;
  std::unordered_map<TThreadId, std::shared_ptr<Queue>> queues;
  TThreadId nextId = 1;
};

// Never destroyed: a thread's slot leaves it when the thread ends, which may
// be after static destruction began.
QueueRegistry& Registry() {
  alignas(QueueRegistry) static unsigned char storage[sizeof(QueueRegistry)];
  static QueueRegistry* registry = new (storage) QueueRegistry;
  return *registry;
}

// The calling thread's id and queue; the queue leaves the registry with the thread.
struct ThreadSlot {
  TThreadId id = 0;
  std::shared_ptr<Queue> queue;
  ~ThreadSlot() {
    if (id == 0) return;
    auto& r = Registry();
    std::lock_guard lock(r.mutex);
    r.queues.erase(id);
  }
};

ThreadSlot& Slot() {
  thread_local ThreadSlot slot;
  if (slot.id == 0) {
    auto& r = Registry();
    std::lock_guard lock(r.mutex);
    slot.id = r.nextId++;
    if (r.nextId == 0) r.nextId = 1;
    slot.queue = std::make_shared<Queue>();
    r.queues.emplace(slot.id, slot.queue);
  }
  return slot;
}

}  // namespace

TThreadId CurrentThreadId() { return Slot().id; }

bool PostThreadMessage(TThreadId id, const TMessage& msg) {
  std::shared_ptr<Queue> q;
  {
    auto& r = Registry();
    std::lock_guard lock(r.mutex);
    auto it = r.queues.find(id);
    if (it == r.queues.end()) return false;
    q = it->second;
  }
  {
    std::lock_guard lock(q->mutex);
    q->messages.push_back(msg);
  }
  q->posted.NotifyAll();
  return true;
}

bool GetMessage(TMessage& msg, uint32_t timeoutMs) {
  Queue& q = *Slot().queue;
  std::optional<Clock::time_point> deadline;
  if (timeoutMs != kInfinite) deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const uint32_t key = q.posted.Key();
    {
      std::lock_guard lock(q.mutex);
      if (!q.messages.empty()) {
        msg = q.messages.front();
        q.messages.pop_front();
        return true;
      }
    }
    if (deadline && Clock::now() >= *deadline) return false;
    q.posted.Wait(key, deadline);
  }
}

bool PeekMessage(TMessage& msg, bool remove) {
  Queue& q = *Slot().queue;
  std::lock_guard lock(q.mutex);
  if (q.messages.empty()) return false;
  msg = q.messages.front();
  if (remove) q.messages.pop_front();
  return true;
}

// ---------------------------------------------------------------- time

uint32_t GetTickCount() {
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch());
  return static_cast<uint32_t>(ms.count());
}

void Sleep(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// ---------------------------------------------------------------- reaper

namespace {

class Reaper {
 public:
  ~Reaper() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    cv_.notify_one();
    if (worker_.joinable()) worker_.join();
  }

  void Adopt(std::thread t) {
    {
      std::lock_guard lock(mutex_);
      threads_.push_back(std::move(t));
      if (!worker_.joinable()) worker_ = std::thread([this] { Run(); });
    }
    cv_.notify_one();
  }

 private:
  void Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      cv_.wait(lock, [this] { return stop_ || !threads_.empty(); });
      if (threads_.empty()) return;  // stopping and nothing left
      std::thread t = std::move(threads_.front());
      threads_.pop_front();
      lock.unlock();
      if (t.joinable()) t.join();
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::thread> threads_;
  bool stop_ = false;
  std::thread worker_;
};

}  // namespace

void JoinLater(std::thread thread) {
  static Reaper reaper;
  if (thread.joinable()) reaper.Adopt(std::move(thread));
}

}  // namespace qv::platform
