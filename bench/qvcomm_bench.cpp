// The serial port's reception path over a pseudo-terminal: the far side (the
// pty master) writes, the port (UseMainThread, as the desktop program runs
// it) delivers to a data processor on the main thread, which this program
// pumps.
//   BM_ReceiveThroughput: bytes per second into the processor.
//   BM_ReceiveLatency:    time from the far side's write of one byte to the
//                         processor's DoProcessing on the main thread;
//                         median and 99th percentile as counters (us), and
//                         the process's CPU time per block over all its
//                         threads (the far side's write included).
// System calls per block: run BM_ReceiveLatency under `strace -f -c` and
// divide by its iterations.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/qvdispatcher.h"
#include "qvcomm.h"

namespace {

using Clock = std::chrono::steady_clock;

// CPU time of every thread of the process so far, in microseconds.
double ProcessCpuUs() {
  timespec ts{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) * 1e6 + double(ts.tv_nsec) / 1e3;
}

class Pty {
 public:
  Pty() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
      throw std::runtime_error("no pseudo-terminal");
    char name[128];
    ::ptsname_r(master_, name, sizeof name);
    slave_ = name;
    const int s = ::open(name, O_RDWR | O_NOCTTY);
    termios t{};
    ::tcgetattr(s, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(s, TCSANOW, &t);
    ::close(s);
  }
  ~Pty() { ::close(master_); }
  void WriteAll(const char* p, size_t n) {
    while (n > 0) {
      const ssize_t w = ::write(master_, p, n);
      if (w > 0) {
        p += w;
        n -= size_t(w);
      } else if (w < 0 && errno != EINTR && errno != EAGAIN) {
        throw std::runtime_error("pty write failed");
      }
    }
  }
  const std::string& Slave() const { return slave_; }

 private:
  int master_ = -1;
  std::string slave_;
};

class Counter : public TqvCustomDataProcessor {
 public:
  void DoProcessing(const char* /*Data*/, uint32_t Len, TIgnoreTypes& /*R*/) override {
    bytes += Len;
    last = Clock::now();
  }
  uint64_t bytes = 0;  // main thread only
  Clock::time_point last;
};

struct Port {
  Pty pty;
  Counter proc;
  TqvComm comm;
  Port() {
    comm.SetDataProcessor(&proc);
    comm.SetStreamProtocol(TStreamProtocol::spNone);
    comm.SetDevicePath(qv::Utf8ToString(pty.Slave()));
    comm.SetActive(true);
    if (!comm.Active()) throw std::runtime_error("port did not open");
  }
  ~Port() { comm.SetActive(false); }
  void PumpUntil(uint64_t bytes) {
    while (proc.bytes < bytes) qv::platform::PumpFor(10);
  }
};

void BM_ReceiveThroughput(benchmark::State& state) {
  Port port;
  const size_t chunk = 1 << 20;
  const std::string data(chunk, 'x');
  uint64_t target = 0;
  for (auto _ : state) {
    target += chunk;
    std::thread writer([&] { port.pty.WriteAll(data.data(), data.size()); });
    port.PumpUntil(target);
    writer.join();
  }
  state.SetBytesProcessed(int64_t(target));
}
BENCHMARK(BM_ReceiveThroughput)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

void BM_ReceiveLatency(benchmark::State& state) {
  Port port;
  std::vector<double> us;
  uint64_t target = 0;
  const double cpuStart = ProcessCpuUs();
  for (auto _ : state) {
    const Clock::time_point t0 = Clock::now();
    port.pty.WriteAll("a", 1);
    ++target;
    port.PumpUntil(target);
    us.push_back(std::chrono::duration<double, std::micro>(port.proc.last - t0).count());
  }
  if (target > 0) state.counters["cpu_us_per_block"] = (ProcessCpuUs() - cpuStart) / double(target);
  std::sort(us.begin(), us.end());
  if (!us.empty()) {
    state.counters["median_us"] = us[us.size() / 2];
    state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
  }
}
BENCHMARK(BM_ReceiveLatency)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(5000);

}  // namespace

BENCHMARK_MAIN();
