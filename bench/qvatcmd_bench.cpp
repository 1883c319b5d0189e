// Received bytes per second through the response matchers of the largest
// built-in driver, over a realistic reply stream: message listings with PDUs,
// signal and identity replies, notifications.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "qvatcmd.h"
#include "qvtext.h"

namespace {

std::atomic<uint64_t> gAllocations{0};

std::string ReplyStream() {
  const std::string pdu =
      "07911326040000F0040B911346610089F60000208062917314080CC8F71D14969741F977FD07";
  std::string s;
  for (int round = 0; round < 20; ++round) {
    s += "\r\n+CSQ: 17,99\r\n\r\nOK\r\n";
    for (int i = 1; i <= 10; ++i)
      s += "\r\n+CMGL: " + std::to_string(i) + ",1,,39\r\n" + pdu + "\r\n";
    s += "\r\nOK\r\n";
    s += "\r\n+CMTI: \"SM\"," + std::to_string(round) + "\r\n";
    s += "\r\n+CPMS: \"SM\",10,30,\"SM\",10,30,\"SM\",10,30\r\n\r\nOK\r\n";
    s += "WAVECOM MODEM\r\n\r\nOK\r\n\r\n+CPIN: READY\r\n\r\nOK\r\n";
  }
  return s;
}

void BM_IsResponseLargestDriver(benchmark::State& state) {
  TqvCustomATProcessor proc;  // orders the responses as a processor does
  TqvCustomATDriver* driver = proc.AddDriverFromResource(u"Wavecom Modem", "QVGSM_WAVECOM_MULTIBAND_900E");
  if (!driver || driver->slResponses.size() != 36) {
    state.SkipWithError("driver not loaded");
    return;
  }
  driver->MoveResponses(0, 1);
  const std::string stream = ReplyStream();
  for (char c : stream) driver->IsResponse(static_cast<uint8_t>(c));  // warm-up
  int64_t completions = 0;
  const uint64_t before = gAllocations.load();
  for (auto _ : state) {
    for (char c : stream) completions += driver->IsResponse(static_cast<uint8_t>(c)) >= 0;
    benchmark::ClobberMemory();
  }
  const uint64_t allocations = gAllocations.load() - before;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(stream.size()));
  state.counters["completions_per_pass"] =
      benchmark::Counter(static_cast<double>(completions) / static_cast<double>(state.iterations()));
  state.counters["allocations"] = benchmark::Counter(static_cast<double>(allocations));
}
BENCHMARK(BM_IsResponseLargestDriver);

// For comparison: every matcher stepped for every byte, in list order.
void BM_SteppingEveryMatcher(benchmark::State& state) {
  TqvCustomATProcessor proc;
  TqvCustomATDriver* driver = proc.AddDriverFromResource(u"Wavecom Modem", "QVGSM_WAVECOM_MULTIBAND_900E");
  if (!driver) {
    state.SkipWithError("driver not loaded");
    return;
  }
  const std::string stream = ReplyStream();
  int64_t completions = 0;
  for (auto _ : state) {
    for (char c : stream) {
      for (auto& e : driver->slResponses) {
        if (e.Object->IsEvent(static_cast<uint8_t>(c), 0)) {
          for (auto& r : driver->slResponses) r.Object->Reset();
          ++completions;
          break;
        }
      }
    }
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(stream.size()));
  state.counters["completions_per_pass"] =
      benchmark::Counter(static_cast<double>(completions) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_SteppingEveryMatcher);

}  // namespace

// Counts every allocation, so that the benchmark can show the matcher makes none.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t n) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

BENCHMARK_MAIN();
