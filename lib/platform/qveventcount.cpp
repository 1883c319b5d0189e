#include "platform/qveventcount.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <climits>

namespace qv::platform {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) && std::atomic<uint32_t>::is_always_lock_free);

namespace {

long Futex(std::atomic<uint32_t>& word, int op, uint32_t value, const timespec* deadline, uint32_t mask) {
  return ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), op, value, deadline, nullptr, mask);
}

}  // namespace

// The sleeper is counted before the count is compared, and the notifier moves
// the count before it looks for sleepers (both sequentially consistent): one
// of them sees the other.
void TEventCount::Wait(uint32_t key, std::optional<std::chrono::steady_clock::time_point> deadline) {
  timespec until{};
  if (deadline) {
    // The steady clock is CLOCK_MONOTONIC, the clock of an absolute futex wait.
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline->time_since_epoch()).count();
    if (ns <= 0) return;
    until.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
    until.tv_nsec = static_cast<long>(ns % 1'000'000'000);
  }
  sleepers_.fetch_add(1);
  if (count_.load() == key)
    Futex(count_, FUTEX_WAIT_BITSET_PRIVATE, key, deadline ? &until : nullptr, FUTEX_BITSET_MATCH_ANY);
  sleepers_.fetch_sub(1);
}

void TEventCount::NotifyAll() {
  count_.fetch_add(1);
  if (sleepers_.load() != 0) Futex(count_, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, 0);
}

}  // namespace qv::platform
