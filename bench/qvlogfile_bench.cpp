// Log lines per second at dlDebug, buffered (loSafeMode off, a Save every
// 10000 lines of a thread) and safe (every line appended to the file), from one
// and from four threads sharing one log. "limit" is the SizeLimit: with the
// default 204800 the file is soon full and from then on every write trims it
// (reads the kept part and writes it with the new text to a file renamed over
// the log); with 0 the file only grows.
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <mutex>

#include "qvlogfile.h"
#include "qvtext.h"

namespace {

std::filesystem::path BenchDir() {
  static const std::filesystem::path dir = [] {
    std::string tmpl = (std::filesystem::temp_directory_path() / "qvlogbench.XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) std::abort();
    return std::filesystem::path(tmpl);
  }();
  return dir;
}

TqvLogFile& SharedLog(bool safe, uint32_t limit) {
  static std::unique_ptr<TqvLogFile> logs[4];
  static std::once_flag once[4];
  const int slot = safe * 2 + (limit != 0);
  std::call_once(once[slot], [safe, limit, slot] {
    auto log = std::make_unique<TqvLogFile>();
    TLogOptions options{TLogOption::loDate, TLogOption::loTime, TLogOption::loMSec};
    if (safe) options.Include(TLogOption::loSafeMode);
    log->SetOptions(options);
    log->SetFileName(qv::u((BenchDir() / ("log" + std::to_string(slot) + ".log")).string()));
    log->SetSizeLimit(limit);
    log->SetDetailLevel(TDetailLevel::dlDebug);
    logs[slot] = std::move(log);
  });
  return *logs[slot];
}

void BM_LogLines(benchmark::State& state) {
  const bool safe = state.range(0) != 0;
  TqvLogFile& log = SharedLog(safe, static_cast<uint32_t>(state.range(1)));
  const std::u16string line = u"qvComm: read: 2B 43 4D 54 49 3A 20 22 53 4D 22 2C 33 0D 0A (+CMTI: \"SM\",3\r\n)";
  int64_t n = 0;
  for (auto _ : state) {
    log.AddLog(TDetailLevel::dlDebug, line);
    if (!safe && ++n % 10000 == 0) log.Save();
  }
  if (!safe) log.Save();
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_LogLines)
    ->ArgNames({"safe", "limit"})
    ->Args({0, 204800})
    ->Args({1, 204800})
    ->Args({1, 0})
    ->Threads(1)
    ->Threads(4)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  std::filesystem::remove_all(BenchDir(), ec);
  return 0;
}
