// How fast the simulated modem answers: one command's round trip through the pseudo-terminal,
// the interpreter alone on a long listing, and the rate a paced line really delivers.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "qvsim.h"

namespace {

int OpenRaw(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
  termios tio{};
  tcgetattr(fd, &tio);
  cfmakeraw(&tio);
  tcsetattr(fd, TCSANOW, &tio);
  return fd;
}

void BM_RoundTripThroughThePty(benchmark::State& state) {
  qvsim::Simulator sim("generic");
  const int fd = OpenRaw(sim.DevicePath());
  const std::string command = "ATE0\r";
  [[maybe_unused]] ssize_t n = ::write(fd, command.data(), command.size());
  char buf[256];
  std::string got;
  while (got.find("OK\r\n") == std::string::npos && (n = ::read(fd, buf, sizeof buf)) > 0) got.append(buf, n);
  for (auto _ : state) {
    n = ::write(fd, "AT\r", 3);
    got.clear();
    while (got.find("OK\r\n") == std::string::npos && (n = ::read(fd, buf, sizeof buf)) > 0) got.append(buf, n);
  }
  ::close(fd);
}
BENCHMARK(BM_RoundTripThroughThePty)->Unit(benchmark::kMicrosecond);

void BM_ListingThirtyMessages(benchmark::State& state) {
  qvsim::Modem modem(*qvsim::FindPersona("generic"));
  const std::string pdu = "07911326040000F0040B911346610089F60000208062917314080CC8F71D14969741F977FD07";
  for (int i = 0; i < 30; ++i) modem.StoreSms("SM", pdu, 1);
  std::vector<qvsim::Output> out;
  modem.Receive("ATE0\r", out);
  for (auto _ : state) {
    out.clear();
    modem.Receive("AT+CMGL=4\r", out);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_ListingThirtyMessages)->Unit(benchmark::kMicrosecond);

// Half a second of line time of output, read by a bare reader as fast as it comes: the
// delivered rate must be the set rate (ten bit times a byte).
void BM_PacedLineDeliversItsRate(benchmark::State& state) {
  const int baud = static_cast<int>(state.range(0));
  const size_t bytes = static_cast<size_t>(baud / 10 / 2);
  qvsim::Simulator sim("generic");
  sim.SetBaudRate(baud);
  const int fd = OpenRaw(sim.DevicePath());
  const std::string payload(bytes, 'x');
  char buf[4096];
  size_t delivered = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    sim.InjectRaw(payload);
    size_t got = 0;
    while (got < bytes) {
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    state.SetIterationTime(took.count());
    delivered += got;
  }
  ::close(fd);
  state.counters["set_Bps"] = baud / 10.0;
  state.counters["delivered_Bps"] = benchmark::Counter(static_cast<double>(delivered), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PacedLineDeliversItsRate)->Arg(9600)->Arg(115200)->UseManualTime()->Iterations(4)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
