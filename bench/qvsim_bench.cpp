// How fast the simulated modem answers: one command's round trip through the pseudo-terminal,
// and the interpreter alone on a long listing.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "qvsim.h"

namespace {

void BM_RoundTripThroughThePty(benchmark::State& state) {
  qvsim::Simulator sim("generic");
  const int fd = ::open(sim.DevicePath().c_str(), O_RDWR | O_NOCTTY);
  termios tio{};
  tcgetattr(fd, &tio);
  cfmakeraw(&tio);
  tcsetattr(fd, TCSANOW, &tio);
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

}  // namespace

BENCHMARK_MAIN();
