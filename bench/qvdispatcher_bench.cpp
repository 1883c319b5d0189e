// Costs of the threading runtime: a hand-over to the main thread and back,
// re-arming a timer, and raising a notify code.
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

#include "platform/qvdispatcher.h"
#include "qvclasses.h"
#include "qvtimer.h"

using namespace qv::platform;

// One waited-for call from a worker, served by the main thread: an iteration
// ends when exactly one more call has run (a pump may run the call it waited
// for, so counting the pumps that found one would time a varying number of
// round trips).
static void BM_RunOnMainThreadRoundTrip(benchmark::State& state) {
  std::atomic<bool> stop{false};
  uint64_t served = 0;  // main thread only
  std::thread worker([&] {
    while (!stop) RunOnMainThread([&] { ++served; });
  });
  for (auto _ : state) {
    const uint64_t before = served;
    while (served == before) PumpFor(1000);
  }
  stop = true;
  JoinWhilePumping(worker);
}
BENCHMARK(BM_RunOnMainThreadRoundTrip);

static void BM_TimerRearm(benchmark::State& state) {
  TqvTimer timer(false);
  timer.SetInterval(60000);
  for (auto _ : state) {
    timer.SetEnabled(true);
    timer.SetEnabled(false);
  }
}
BENCHMARK(BM_TimerRearm);

namespace {
struct Counter {
  void OnNotify(TObject*, int32_t) { ++calls; }
  int calls = 0;
};
}  // namespace

static void BM_NotifyCallThreeSubscribers(benchmark::State& state) {
  TqvNotifyList list;
  Counter a, b, c;
  for (Counter* s : {&a, &b, &c}) list.Add(TqvNotifyEvent::Bind(s, &Counter::OnNotify));
  for (auto _ : state) list.Call(nullptr, 1);
  benchmark::DoNotOptimize(a.calls);
}
BENCHMARK(BM_NotifyCallThreeSubscribers);

BENCHMARK_MAIN();
