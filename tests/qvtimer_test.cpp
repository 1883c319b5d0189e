// TqvTimer life cycles: ticking, re-arming, Synchro ticks on the main thread,
// and destruction from every place a timer can be destroyed from.
#include "qvtimer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/qvdispatcher.h"

using namespace qv::platform;
using std::chrono::steady_clock;

namespace {

int64_t MsSince(steady_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(steady_clock::now() - t).count();
}

}  // namespace

TEST(Timer, DefaultsAndTicksOnItsOwnThread) {
  {
    TqvTimer created;
    EXPECT_TRUE(created.Enabled());
    EXPECT_EQ(created.Interval(), 1000u);
    EXPECT_FALSE(created.Synchro());
  }
  TqvTimer timer(false);
  std::atomic<int> ticks{0};
  std::atomic<bool> onMain{false}, senderOk{true};
  TEvent third(true, false);
  timer.SetOnTimer([&](TObject* sender) {
    senderOk = senderOk && sender == &timer;
    onMain = onMain || IsMainThread();
    if (++ticks == 3) third.Set();
  });
  timer.SetInterval(5);
  timer.SetEnabled(true);
  EXPECT_TRUE(third.Wait(10000));
  timer.SetEnabled(false);
  EXPECT_TRUE(senderOk);
  EXPECT_FALSE(onMain);
}

TEST(Timer, ZeroIntervalOrDisabledNeverTicks) {
  std::atomic<int> ticks{0};
  TqvTimer zero(false);
  zero.SetInterval(0);
  zero.SetOnTimer([&](TObject*) { ++ticks; });
  zero.SetEnabled(true);
  TqvTimer off(false);
  off.SetInterval(1);
  off.SetOnTimer([&](TObject*) { ++ticks; });
  Sleep(50);
  EXPECT_EQ(ticks, 0);
}

TEST(Timer, DisableFromTheTickStopsIt) {
  TqvTimer timer(false);
  std::atomic<int> ticks{0};
  timer.SetInterval(2);
  timer.SetOnTimer([&](TObject*) {
    ++ticks;
    timer.SetEnabled(false);
  });
  timer.SetEnabled(true);
  while (ticks == 0) Sleep(1);
  Sleep(40);
  EXPECT_EQ(ticks, 1);
  EXPECT_FALSE(timer.Enabled());
}

TEST(Timer, NoStaleTickAfterDisableAndEnable) {
  // Re-armed halfway to the first tick: the next tick counts from the
  // re-arming; the tick of the old arming never comes.
  constexpr int64_t kInterval = 300;
  for (const char* how : {"disable+enable", "restart"}) {
    TqvTimer timer(false);
    std::mutex m;
    std::vector<steady_clock::time_point> ticks;
    timer.SetInterval(kInterval);
    timer.SetOnTimer([&](TObject*) {
      const auto now = steady_clock::now();
      std::lock_guard lock(m);
      ticks.push_back(now);
    });
    timer.SetEnabled(true);
    Sleep(kInterval / 2);
    const auto rearmed = steady_clock::now();
    if (std::string(how) == "restart") {
      timer.Restart();
    } else {
      timer.SetEnabled(false);
      timer.SetEnabled(true);
    }
    for (;;) {
      Sleep(5);
      std::lock_guard lock(m);
      if (!ticks.empty() && ticks.back() > rearmed) break;
    }
    timer.SetEnabled(false);
    std::lock_guard lock(m);
    for (auto t : ticks) {
      if (t < rearmed) continue;  // only possible when the sleep overran the first arming
      const auto after = std::chrono::duration_cast<std::chrono::milliseconds>(t - rearmed).count();
      EXPECT_GE(after, kInterval - 2) << how;
    }
  }
}

TEST(Timer, SynchroTicksRunOnTheMainThread) {
  TqvTimer timer(false);
  TEvent ticked(false, false);
  bool onMain = false;
  timer.SetSynchro(true);
  timer.SetInterval(5);
  timer.SetOnTimer([&](TObject*) {
    onMain = IsMainThread();
    timer.SetEnabled(false);
    ticked.Set();
  });
  timer.SetEnabled(true);
  ASSERT_TRUE(WaitPumping(ticked, 10000));
  EXPECT_TRUE(onMain);
}

TEST(Timer, DisabledWhileASynchroTickWaitsForMainDropsTheTick) {
  TqvTimer timer(false);
  std::atomic<int> ticks{0};
  timer.SetSynchro(true);
  timer.SetInterval(2);
  timer.SetOnTimer([&](TObject*) { ++ticks; });
  timer.SetEnabled(true);
  while (PendingCalls() == 0) Sleep(1);  // a tick waits for the main thread
  timer.SetEnabled(false);
  ProcessMessages();
  EXPECT_EQ(ticks, 0) << "the tick was armed before the disable";
}

TEST(TimerLifeCycle, DestroyWhileASynchroTickWaitsOnTheMainThread) {
  std::atomic<int> ticks{0};
  auto timer = std::make_unique<TqvTimer>(false);
  timer->SetSynchro(true);
  timer->SetInterval(2);
  timer->SetOnTimer([&](TObject*) { ++ticks; });
  timer->SetEnabled(true);
  while (PendingCalls() == 0) Sleep(1);
  timer.reset();  // the main thread never pumped: the waiting tick is dropped
  EXPECT_EQ(PendingCalls(), 0u);
  ProcessMessages();
  EXPECT_EQ(ticks, 0);
}

TEST(TimerLifeCycle, DestroyWhileATickWaitsForACallOnTheMainThread) {
  std::atomic<int> served{0};
  auto timer = std::make_unique<TqvTimer>(false);
  timer->SetInterval(2);
  timer->SetOnTimer([&](TObject*) { RunOnMainThread([&] { ++served; }); });
  timer->SetEnabled(true);
  while (PendingCalls() == 0) Sleep(1);
  timer.reset();  // serves the call while it waits for the thread
  EXPECT_EQ(served, 1);
}

TEST(TimerLifeCycle, DestroyFromItsOwnTick) {
  for (bool synchro : {false, true}) {
    auto timer = std::make_unique<TqvTimer>(false);
    TEvent destroyed(true, false);
    std::atomic<int> ticks{0};
    timer->SetSynchro(synchro);
    timer->SetInterval(2);
    timer->SetOnTimer([&](TObject*) {
      ++ticks;
      timer.reset();
      destroyed.Set();
    });
    timer->SetEnabled(true);
    ASSERT_TRUE(WaitPumping(destroyed, 10000)) << "synchro " << synchro;
    Sleep(20);
    EXPECT_EQ(ticks, 1) << "synchro " << synchro;
  }
}

TEST(TimerLifeCycle, DestroyInsideACallThatTheTickWaitsFor) {
  auto timer = std::make_unique<TqvTimer>(false);
  TEvent done(true, false);
  timer->SetInterval(2);
  timer->SetOnTimer([&](TObject*) {
    RunOnMainThread([&] { timer.reset(); });
    done.Set();
  });
  timer->SetEnabled(true);
  ASSERT_TRUE(WaitPumping(done, 10000));
  EXPECT_EQ(timer, nullptr);
}

TEST(TimerLifeCycle, DestroyDoesNotWaitForTheInterval) {
  const auto start = steady_clock::now();
  {
    TqvTimer timer;  // enabled, 1000 ms
    timer.SetInterval(60000);
    Sleep(5);
  }
  EXPECT_LT(MsSince(start), 30000);
}

TEST(TimerLifeCycle, RearmingFromOtherThreadsWhileTicking) {
  TqvTimer timer(false);
  std::atomic<int> ticks{0};
  timer.SetInterval(1);
  timer.SetOnTimer([&](TObject*) {
    ++ticks;
    if (ticks % 5 == 0) timer.Restart();
  });
  timer.SetEnabled(true);
  std::vector<std::thread> togglers;
  for (int t = 0; t < 3; ++t)
    togglers.emplace_back([&timer, t] {
      for (int i = 0; i < 200; ++i) {
        timer.SetEnabled(i % 2 == 0);
        timer.SetInterval(1 + (i + t) % 3);
        if (i % 7 == 0) timer.SetSynchro(false);
      }
    });
  for (auto& t : togglers) t.join();
  timer.SetEnabled(true);
  const int before = ticks;
  while (ticks == before) Sleep(1);
}
