// TqvGsm over TqvComm and the modem simulator pacing its bytes at 115200 baud:
// listing 100 stored messages and sending 10 single-part messages, beside
// the time the bytes of the same exchanges alone need on the line. On an
// unpaced simulator: one raw command on an idle line (beside the same
// exchange on a plain descriptor), and the start-up.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <vector>

#include "../tests/qvgsmrig.h"

namespace {

using qvgsmtest::TGsmRig;
using qvgsmtest::TRigOptions;
constexpr int kBaud = 115200;

// A DELIVER PDU of a 7-bit text of 40 characters.
const char* kPdu =
    "00000B911346610089F60000208062917314002841D09CFE9697C9A076793E0F9FCBA0B719647ECBE979D0181D9687C7F4B27CEE72B95C";

std::unique_ptr<TGsmRig> MakeRig() {
  auto rig = std::make_unique<TGsmRig>(TRigOptions().Driver(0).Timeout(3000));
  rig->log.SetDetailLevel(TDetailLevel::dlSimple);
  rig->sim->SetBaudRate(std::getenv("QV_BENCH_UNPACED") ? 0 : kBaud);
  return rig;
}

// Bytes both ways since the transcript was cleared, and their time on the line
// (10 bit times a byte; the exchange is request then reply, so the two ways add).
double LineSeconds(TGsmRig& rig, size_t& bytes) {
  auto& t = rig.sim->GetTranscript();
  bytes = t.ToModem().size() + t.FromModem().size();
  return static_cast<double>(bytes) * 10.0 / kBaud;
}

void Report(benchmark::State& state, double wall, double line, size_t bytes) {
  state.counters["line_ms"] = line * 1000.0;
  state.counters["wall_ms"] = wall * 1000.0;
  state.counters["bytes"] = static_cast<double>(bytes);
  state.counters["wall_per_line"] = wall / line;
}

void BM_List100Stored(benchmark::State& state) {
  auto rig = MakeRig();
  rig->sim->WithModem([](qvsim::Modem& m) {
    for (int i = 0; i < 100; ++i) m.StoreSms("ME", kPdu, 1);
    return 0;
  });
  rig->gsm->SetMemoryRead(u"ME");
  int items = 0;
  rig->gsm->OnSmsListItem = [&](TObject*, const std::u16string&, int32_t, TqvPduSms* sms) { items += sms != nullptr; };
  double wall = 0, line = 0;
  size_t bytes = 0;
  for (auto _ : state) {
    items = 0;
    rig->sim->GetTranscript().Clear();
    const auto start = std::chrono::steady_clock::now();
    rig->gsm->SmsList(true);
    wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(wall);
    if (items != 100) state.SkipWithError("not every message was listed");
    line = LineSeconds(*rig, bytes);
  }
  Report(state, wall, line, bytes);
}
BENCHMARK(BM_List100Stored)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

// The argument is the line gap: 20 is the built-in drivers' own, any other
// value comes from a driver that includes the same script and sets gsmLinePause.
void BM_Send10SinglePart(benchmark::State& state) {
  auto rig = MakeRig();
  const auto gap = state.range(0);
  if (gap != 20) {
    rig->gsm->AddDriverFromString(u"Nokia 6230i, own gap", u"Include = QVGSM_NOKIA6230I\r\nHKR, Settings, gsmLinePause, 1, \"" +
                                                              qv::IntToStr(gap) + u"\"\r\n");
    rig->gsm->SetDriverIndex(rig->gsm->DriverCount() - 1);
  }
  if (rig->gsm->LineGap() != static_cast<uint32_t>(gap)) state.SkipWithError("the driver has another gap");
  double wall = 0, line = 0;
  size_t bytes = 0;
  for (auto _ : state) {
    rig->sim->GetTranscript().Clear();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 10; ++i)
      if (rig->gsm->SmsSendWaitRefID(u"+491701234567", u"Benchmark message number " + qv::IntToStr(i), false).empty())
        state.SkipWithError("a send failed");
    wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(wall);
    line = LineSeconds(*rig, bytes);
  }
  Report(state, wall, line, bytes);
}
BENCHMARK(BM_Send10SinglePart)->Arg(20)->Arg(0)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Median and 90th percentile of `us` as counters.
void ReportSpread(benchmark::State& state, std::vector<double> us) {
  if (us.empty()) return;
  std::sort(us.begin(), us.end());
  state.counters["median_us"] = us[us.size() / 2];
  state.counters["p90_us"] = us[us.size() * 9 / 10];
}

// Each call starts on an idle line: the pause before it (outside the timing)
// is longer than any gap the driver keeps between lines.
void BM_CmdSendAndWaitResultIdle(benchmark::State& state) {
  TGsmRig rig(TRigOptions().Driver(0).Timeout(3000));
  rig.log.SetDetailLevel(TDetailLevel::dlSimple);
  rig.sim->SetBaudRate(0);
  std::vector<double> us;
  for (auto _ : state) {
    qvgsmtest::PumpFor(40);
    const auto start = Clock::now();
    const std::u16string reply = rig.gsm->CmdSendAndWaitResult("AT\r");
    const double s = SecondsSince(start);
    state.SetIterationTime(s);
    us.push_back(s * 1e6);
    if (reply.find(u"OK") == std::u16string::npos) state.SkipWithError("no OK");
  }
  ReportSpread(state, us);
}
BENCHMARK(BM_CmdSendAndWaitResultIdle)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(100);

// The floor for the one above: the same line and reply through the same
// simulator, written and read on a plain descriptor by the main thread.
void BM_RawPtyRoundTripIdle(benchmark::State& state) {
  qvsim::Simulator sim("generic");
  const int fd = ::open(sim.DevicePath().c_str(), O_RDWR | O_NOCTTY);
  termios t{};
  ::tcgetattr(fd, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(fd, TCSANOW, &t);
  std::vector<double> us;
  for (auto _ : state) {
    ::usleep(40000);
    const auto start = Clock::now();
    (void)!::write(fd, "AT\r", 3);
    std::string got;
    char buf[256];
    while (got.find("OK\r\n") == std::string::npos) {
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
    const double s = SecondsSince(start);
    state.SetIterationTime(s);
    us.push_back(s * 1e6);
  }
  ::close(fd);
  ReportSpread(state, us);
}
BENCHMARK(BM_RawPtyRoundTripIdle)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(100);

// Opening the port until OnAfterInit, autodetection on: the generic modem
// answers no model's detection, so every built-in driver is tried before
// the fallback to the first one.
void BM_StartUpUnpaced(benchmark::State& state) {
  TGsmRig rig(TRigOptions().Deferred().Timeout(3000));
  rig.log.SetDetailLevel(TDetailLevel::dlSimple);
  rig.sim->SetBaudRate(0);
  size_t lines = 0;
  for (auto _ : state) {
    rig.sim->GetTranscript().Clear();
    const auto start = Clock::now();
    if (!rig.Open()) state.SkipWithError("no OnAfterInit");
    state.SetIterationTime(SecondsSince(start));
    const std::string sent = rig.sim->GetTranscript().ToModem();
    lines = static_cast<size_t>(std::count(sent.begin(), sent.end(), '\r'));
    rig.Close();
  }
  state.counters["lines"] = static_cast<double>(lines);
}
BENCHMARK(BM_StartUpUnpaced)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
