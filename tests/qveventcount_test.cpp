// The futex-backed event count under the thread queues and the dispatcher.
#include "platform/qveventcount.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

using qv::platform::TEventCount;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Waits for `key` on another thread, for at most `limit`.
std::future<void> WaitAsync(TEventCount& ec, uint32_t key, std::chrono::milliseconds limit) {
  return std::async(std::launch::async, [&ec, key, limit] { ec.Wait(key, Clock::now() + limit); });
}

}  // namespace

TEST(EventCount, ANotifyIsNeverSleptThrough) {
  TEventCount ec;
  // Between the look at the condition and the sleep: the wait returns at once.
  const uint32_t key = ec.Key();
  ec.NotifyAll();
  EXPECT_NE(ec.Key(), key);
  EXPECT_EQ(WaitAsync(ec, key, 10s).wait_for(5s), std::future_status::ready);

  // While asleep: every sleeper wakes.
  const uint32_t now = ec.Key();
  auto a = WaitAsync(ec, now, 10s), b = WaitAsync(ec, now, 10s);
  EXPECT_EQ(a.wait_for(50ms), std::future_status::timeout);
  ec.NotifyAll();
  EXPECT_EQ(a.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(b.wait_for(5s), std::future_status::ready);
}

TEST(EventCount, AWaitEndsAtItsDeadline) {
  TEventCount ec;
  const auto start = Clock::now();
  ec.Wait(ec.Key(), start - 1ms);  // already passed
  ec.Wait(ec.Key(), start + 30ms);
  EXPECT_GE(Clock::now() - start, 29ms);
}
