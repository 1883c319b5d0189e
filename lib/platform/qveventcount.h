// A count that threads sleep on until it moves, on one futex word: the waits
// of the thread message queues and of the main-thread dispatcher.
//
// A waiter takes Key(), then looks at its condition under its own lock, and
// sleeps with Wait(key) unless the condition holds. A notifier changes the
// condition under that lock, then calls NotifyAll(). A notify between Key()
// and Wait() moves the count, so the wait does not sleep through it. Unlike a
// condition variable, the woken waiter does not queue on a lock again, and
// NotifyAll enters the kernel only when somebody sleeps.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>

namespace qv::platform {

class TEventCount {
 public:
  uint32_t Key() const { return count_.load(); }
  // Sleeps until the count moved from `key` or `deadline` passed (none: no
  // limit). It may return early; the caller looks at its condition again.
  void Wait(uint32_t key, std::optional<std::chrono::steady_clock::time_point> deadline);
  void NotifyAll();

 private:
  std::atomic<uint32_t> count_{0};
  std::atomic<uint32_t> sleepers_{0};
};

}  // namespace qv::platform
