// The threading runtime: events, thread messages, registered numbers, ticks,
// and the main-thread dispatcher. Test bodies run on the process's initial
// thread, which is the main thread.
#include "platform/qvdispatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace qv::platform;

namespace {

// Restores the default wake hook and drops leftovers between tests.
struct DispatcherTest : ::testing::Test {
  void SetUp() override { ASSERT_TRUE(IsMainThread()); }
  void TearDown() override {
    SetWakeHook(nullptr);
    SetWaitHook(nullptr);
    ProcessMessages();
    EXPECT_EQ(PendingCalls(), 0u);
  }
};

}  // namespace

// ------------------------------------------------------------------ events

TEST(Event, AutoResetReleasesOneWaiterAndResets) {
  TEvent ev(false, false);
  EXPECT_FALSE(ev.Wait(0));
  ev.Set();
  EXPECT_TRUE(ev.IsSet());
  EXPECT_TRUE(ev.Wait(0));
  EXPECT_FALSE(ev.Wait(0)) << "a successful wait resets an auto-reset event";

  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 2; ++i) waiters.emplace_back([&] { released += ev.Wait(2000) ? 1 : 0; });
  ev.Set();
  while (released < 1) Sleep(1);
  Sleep(20);
  EXPECT_EQ(released, 1) << "one Set, one waiter";
  ev.Set();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(released, 2) << "each Set releases one waiter";
}

TEST(Event, ManualResetStaysSignalledUntilReset) {
  TEvent ev(true, true);
  EXPECT_TRUE(ev.Wait(0));
  EXPECT_TRUE(ev.Wait(0));
  std::thread a([&] { EXPECT_TRUE(ev.Wait(kInfinite)); });
  std::thread b([&] { EXPECT_TRUE(ev.Wait(kInfinite)); });
  a.join();
  b.join();
  ev.Reset();
  EXPECT_FALSE(ev.Wait(20));
}

// ------------------------------------------------------------------ registered messages and queues

TEST(ThreadMessages, RegisteredNumbersAreStablePerName) {
  const uint32_t a = RegisterMessage(u"qvTestMsgA");
  const uint32_t b = RegisterMessage(u"qvTestMsgB");
  EXPECT_GE(a, 0xC000u);
  EXPECT_LE(a, 0xFFFFu);
  EXPECT_NE(a, b);
  EXPECT_EQ(RegisterMessage(u"qvTestMsgA"), a);
  EXPECT_NE(RegisterMessage(u"qvtestmsga"), a) << "names are compared exactly";
  EXPECT_EQ(RegisterMessage(u""), 0u);
  // The same number from another thread.
  uint32_t other = 0;
  std::thread([&] { other = RegisterMessage(u"qvTestMsgB"); }).join();
  EXPECT_EQ(other, b);
}

TEST(ThreadMessages, PostedMessagesArriveInOrder) {
  TEvent ready(true, false);
  std::atomic<TThreadId> id{0};
  std::vector<TMessage> got;
  std::thread receiver([&] {
    id = CurrentThreadId();
    ready.Set();
    TMessage m;
    while (GetMessage(m, 2000) && m.Message != 0xC001) got.push_back(m);
  });
  ready.Wait();
  EXPECT_NE(id.load(), CurrentThreadId());
  for (uint32_t i = 0; i < 100; ++i) ASSERT_TRUE(PostThreadMessage(id, {0xC000, i, -intptr_t(i)}));
  ASSERT_TRUE(PostThreadMessage(id, {0xC001, 0, 0}));
  receiver.join();
  ASSERT_EQ(got.size(), 100u);
  for (uint32_t i = 0; i < 100; ++i) {
    EXPECT_EQ(got[i].WParam, i);
    EXPECT_EQ(got[i].LParam, -intptr_t(i));
  }
  EXPECT_FALSE(PostThreadMessage(id, {0xC000, 0, 0})) << "the queue ends with its thread";
  EXPECT_FALSE(PostThreadMessage(0xFFFFFFF0u, {0xC000, 0, 0}));
}

TEST(ThreadMessages, PeekAndTimedGetOnOwnQueue) {
  TMessage m;
  EXPECT_FALSE(PeekMessage(m, true));
  EXPECT_FALSE(GetMessage(m, 10));
  ASSERT_TRUE(PostThreadMessage(CurrentThreadId(), {0xC005, 7, 8}));
  ASSERT_TRUE(PeekMessage(m, false));
  EXPECT_EQ(m.WParam, 7u);
  ASSERT_TRUE(PeekMessage(m, true)) << "a peek without removal leaves it queued";
  EXPECT_FALSE(PeekMessage(m, true));
}

TEST(Ticks, AdvanceAcrossSleep) {
  const uint32_t start = GetTickCount();
  Sleep(30);
  EXPECT_GE(TicksSince(start), 29u);
  EXPECT_LT(TicksSince(start), 60000u);
}

// ------------------------------------------------------------------ dispatcher

TEST_F(DispatcherTest, CallsFromTheMainThreadRunInline) {
  bool ran = false;
  EXPECT_TRUE(RunOnMainThread([&] { ran = true; }));
  EXPECT_TRUE(ran);
  EXPECT_EQ(PendingCalls(), 0u);
}

TEST_F(DispatcherTest, ThreadWaitingOnMainWhileMainJoinsItDoesNotDeadlock) {
  std::thread::id ranOn;
  std::thread worker([&] {
    EXPECT_FALSE(IsMainThread());
    EXPECT_TRUE(RunOnMainThread([&] { ranOn = std::this_thread::get_id(); }));
    // Twice, so that a second hand-over during the same join also gets served.
    EXPECT_TRUE(RunOnMainThread([] {}));
  });
  JoinWhilePumping(worker);
  EXPECT_FALSE(worker.joinable());
  EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST_F(DispatcherTest, ManyThreadsCallsAllRunInOrderPerThread) {
  constexpr int kThreads = 6, kCalls = 150;
  std::map<int, std::vector<int>> seen;  // touched on the main thread only
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&seen, t] {
      for (int i = 0; i < kCalls; ++i) {
        auto record = [&seen, t, i] {
          EXPECT_TRUE(IsMainThread());
          seen[t].push_back(i);
        };
        // Posted and waited-for calls share one queue and one order.
        if (i % 3 == 0)
          EXPECT_TRUE(PostToMainThread(record));
        else
          EXPECT_TRUE(RunOnMainThread(record));
      }
      EXPECT_TRUE(RunOnMainThread([] {}));  // flushes the posted tail
    });
  }
  for (auto& t : threads) JoinWhilePumping(t);
  ASSERT_EQ(seen.size(), size_t(kThreads));
  for (auto& [t, calls] : seen) {
    ASSERT_EQ(calls.size(), size_t(kCalls)) << "thread " << t;
    for (int i = 0; i < kCalls; ++i) EXPECT_EQ(calls[i], i) << "thread " << t;
  }
}

TEST_F(DispatcherTest, ExceptionOfACallReachesTheWaitingThread) {
  std::string caught;
  std::thread worker([&] {
    try {
      RunOnMainThread([] { throw std::runtime_error("boom"); });
    } catch (const std::runtime_error& e) {
      caught = e.what();
    }
  });
  JoinWhilePumping(worker);
  EXPECT_EQ(caught, "boom");
}

TEST_F(DispatcherTest, CancellingAGroupReleasesItsWaitersAndRefusesNewCalls) {
  TDispatchGroup group;
  TDispatchGroup other;
  std::atomic<int> results{-1};
  bool groupRan = false, otherRan = false;
  std::thread worker([&] { results = RunOnMainThread(group, [&] { groupRan = true; }) ? 1 : 0; });
  std::thread bystander([&] { EXPECT_TRUE(RunOnMainThread(other, [&] { otherRan = true; })); });
  while (PendingCalls() < 2) Sleep(1);
  group.Cancel();
  worker.join();  // released without the main thread pumping
  EXPECT_EQ(results, 0);
  EXPECT_FALSE(groupRan);
  EXPECT_TRUE(group.Cancelled());
  EXPECT_FALSE(PostToMainThread(group, [] {}));
  EXPECT_FALSE(RunOnMainThread(group, [&] { groupRan = true; })) << "even inline on the main thread";
  JoinWhilePumping(bystander);
  EXPECT_TRUE(otherRan) << "other groups are untouched";

  group.Reopen();
  EXPECT_TRUE(RunOnMainThread(group, [&] { groupRan = true; }));
  EXPECT_TRUE(groupRan);
}

// A held group's calls wait, in their order, while later calls of others run
// past them; a wait for one of them ends only once the hold is released.
TEST_F(DispatcherTest, HeldGroupKeepsItsCallsQueuedInOrder) {
  TDispatchGroup lane;
  std::vector<std::string> ran;
  ASSERT_TRUE(PostToMainThread(lane, [&] { ran.push_back("lane 1"); }));
  {
    lane.Hold();
    EXPECT_TRUE(lane.Held());
    ASSERT_TRUE(PostToMainThread(lane, [&] { ran.push_back("lane 2"); }));
    ASSERT_TRUE(PostToMainThread([&] { ran.push_back("other"); }));
    std::atomic<bool> served{false};
    std::thread worker([&] { served = RunOnMainThread([&] { ran.push_back("worker"); }); });
    TEvent never(true, false);
    EXPECT_FALSE(WaitPumping(never, 50)) << "a wait serves the calls that are not held";
    worker.join();
    EXPECT_TRUE(served);
    EXPECT_EQ(ran, (std::vector<std::string>{"other", "worker"}));
    EXPECT_EQ(PendingCalls(), 2u);
    lane.Hold();
    lane.Release();
    EXPECT_TRUE(lane.Held()) << "holds nest";
    EXPECT_EQ(ProcessMessages(), 0);
    lane.Release();
  }
  EXPECT_FALSE(lane.Held());
  EXPECT_EQ(ProcessMessages(), 2);
  EXPECT_EQ(ran, (std::vector<std::string>{"other", "worker", "lane 1", "lane 2"}));
}

TEST_F(DispatcherTest, CancelPendingCallsReleasesEveryWaiter) {
  std::atomic<int> cancelled{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i)
    threads.emplace_back([&] { cancelled += RunOnMainThread([] { FAIL(); }) ? 0 : 1; });
  while (PendingCalls() < 3) Sleep(1);
  CancelPendingCalls();
  for (auto& t : threads) t.join();
  EXPECT_EQ(cancelled, 3);
}

TEST_F(DispatcherTest, WaitPumpingServesCallsUntilTheEventComes) {
  TEvent done(false, false);
  int served = 0;
  std::thread worker([&] {
    RunOnMainThread([&] { ++served; });
    RunOnMainThread([&] { ++served; });
    done.Set();
  });
  EXPECT_TRUE(WaitPumping(done, 5000));
  EXPECT_EQ(served, 2);
  worker.join();
  EXPECT_FALSE(WaitPumping(done, 20)) << "the auto-reset event was consumed";
}

TEST_F(DispatcherTest, WakeHookIsCalledWhenACallIsQueued) {
  std::atomic<int> wakes{0};
  SetWakeHook([&] { ++wakes; });
  EXPECT_TRUE(PostToMainThread([] {}));
  EXPECT_EQ(wakes, 1);
  // A GUI adapter pumps from its event; here the hook itself stands for it.
  std::thread worker([&] { EXPECT_TRUE(RunOnMainThread([] {})); });
  while (wakes < 2) Sleep(1);
  EXPECT_EQ(ProcessMessages(), 2);
  worker.join();
}

// A GUI keeps its windows alive while the main thread waits: the wait hook
// runs between slices of every kind of wait, and a call it queues (as a GUI
// handler would) still runs inside that wait.
TEST_F(DispatcherTest, WaitHookRunsBetweenSlicesOfEveryWait) {
  int hooked = 0;
  bool posted = false, ran = false;
  SetWaitHook([&] {
    ++hooked;
    if (!posted) posted = PostToMainThread([&] { ran = true; });
  });
  TEvent never(true, false);
  EXPECT_FALSE(WaitPumping(never, 5 * kWaitHookSliceMs));
  EXPECT_GE(hooked, 2);
  EXPECT_TRUE(ran) << "a call queued from the hook runs inside the same wait";

  hooked = 0;
  EXPECT_FALSE(PumpFor(3 * kWaitHookSliceMs));
  EXPECT_GE(hooked, 1);

  hooked = 0;
  std::thread slow([] { Sleep(4 * kWaitHookSliceMs); });
  JoinWhilePumping(slow);
  EXPECT_GE(hooked, 1);

  hooked = 0;
  TEvent set(true, true);
  EXPECT_TRUE(WaitPumping(set, 1000));
  EXPECT_EQ(hooked, 0) << "a wait that ends at once never calls the hook";

  SetWaitHook(nullptr);
  EXPECT_FALSE(PumpFor(3 * kWaitHookSliceMs));
  EXPECT_EQ(hooked, 0);
}

TEST_F(DispatcherTest, PumpForReturnsOnWakeOrTimeout) {
  EXPECT_FALSE(PumpFor(10));
  std::thread waker([] {
    Sleep(20);
    WakeMainThread();
  });
  EXPECT_TRUE(PumpFor(10000));
  waker.join();
}

TEST_F(DispatcherTest, OnlyTheMainThreadPumps) {
  std::thread other([] {
    EXPECT_EQ(ProcessMessages(), 0);
    EXPECT_FALSE(PumpFor(0));
  });
  other.join();
}

TEST_F(DispatcherTest, AnotherThreadCanBeMadeTheMainThread) {
  std::atomic<bool> stop{false};
  std::atomic<int> ran{0};
  TEvent isMain(true, false);
  std::thread loop([&] {
    SetMainThread();
    isMain.Set();
    while (!stop) PumpFor(20);
    ProcessMessages();
  });
  isMain.Wait();
  EXPECT_FALSE(IsMainThread());
  EXPECT_TRUE(RunOnMainThread([&] { ++ran; }));  // from the old main thread, now a worker
  EXPECT_EQ(ran, 1);
  stop = true;
  loop.join();
  SetMainThread();  // back to this thread
  EXPECT_TRUE(IsMainThread());
}

TEST_F(DispatcherTest, IsRunningCallOfNamesTheWaitingThread) {
  bool inside = false, claimsMain = true;
  std::thread worker([&] {
    const auto me = std::this_thread::get_id();
    EXPECT_TRUE(RunOnMainThread([&] {
      inside = IsRunningCallOf(me);
      claimsMain = IsRunningCallOf(std::this_thread::get_id());
    }));
  });
  const auto workerId = worker.get_id();
  JoinWhilePumping(worker);
  EXPECT_TRUE(inside);
  EXPECT_FALSE(claimsMain);
  EXPECT_FALSE(IsRunningCallOf(workerId)) << "only while the call runs";
}

TEST(Reaper, JoinsAdoptedThreadsAfterTheyEnd) {
  TEvent finished(true, false);
  std::thread t([&] {
    Sleep(10);
    finished.Set();
  });
  JoinLater(std::move(t));
  EXPECT_FALSE(t.joinable());
  EXPECT_TRUE(finished.Wait(5000));
}
