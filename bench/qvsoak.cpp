// qvsoak: a long run of mixed traffic between the GSM component and the modem simulator, with
// every count checked at the end. Run it through scripts/soak.sh (an hour by default).
//
// Traffic, drawn from a seeded generator: sends (now and then one the modem refuses), incoming
// messages (read at once and deleted, so the store never fills), delivery reports, listings,
// USSD requests, rings, signal and battery readings. At the end:
//   - every send was confirmed with a reference or reported failed, never both, and failed only
//     where the simulator was told to refuse it;
//   - every incoming message and report was received exactly once;
//   - every USSD request was answered and every ring heard;
//   - resident memory grew by less than 1 MiB from the settling point (minute 5) to the end.
// Exit status 0 when all of that holds, 1 when not, 2 on a usage error.
#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "platform/qvdispatcher.h"
#include "qvcomm.h"
#include "qvgsm.h"
#include "qvlogfile.h"
#include "qvtext.h"
#include "qvsim.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace pf = qv::platform;

constexpr char kPeer[] = "+491701234567";
constexpr long kAllowedGrowthKiB = 1024;

struct TOptions {
  std::chrono::seconds duration = 3600s;
  std::chrono::seconds settle = 300s;  // where the memory baseline is taken
  unsigned seed = 0;
  std::string persona = "siemens_mc35i";
  std::string log;
};

struct TCounts {
  long sends = 0, confirmed = 0, failed = 0, refusalsAsked = 0, sentEvents = 0, submitted = 0;
  long injected = 0, received = 0, duplicates = 0, strangers = 0, deleted = 0, deleteFailed = 0;
  long reportsInjected = 0, reportsReceived = 0;
  long listings = 0, listingFailed = 0, listedItems = 0;
  long ussdAsked = 0, ussdAnswered = 0, ringsInjected = 0, ringsHeard = 0, readings = 0;
};

// The heap's bytes in use, in KiB: what grows when something is kept, without the allocator's
// and the kernel's noise of resident pages.
long HeapKiB() {
  return static_cast<long>(mallinfo2().uordblks / 1024);
}

long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string key;
  long value = 0;
  while (status >> key) {
    if (key == "VmRSS:") {
      status >> value;
      return value;
    }
    status.ignore(1 << 12, '\n');
  }
  return -1;
}

bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() >= end) return done();
    pf::PumpFor(10);
  }
  return true;
}

// What arrives on the component's workers, handed to the main thread.
struct TIncoming {
  std::u16string mem;
  int32_t index;
  bool report;
  std::string text;
};

class TSoak {
 public:
  TSoak(const TOptions& o) : fOpt(o), fRandom(o.seed), fSim(o.persona) {
    fSim.GetTranscript().SetMaxEntries(64);
    fSeen.reserve(1 << 20);
    SetUpComponent();
  }
  ~TSoak() {
    fGsm.OnSmsReceived = nullptr;
    if (fComm.Active()) fComm.SetActive(false);
    fComm.SetDataProcessor(nullptr);
  }

  bool Open();
  void Run();
  bool Check() const;

 private:
  void SetUpComponent();
  void Step();
  void Send();
  void Incoming();
  void Report();
  void Listing();
  void Ussd();
  void Ring();
  void Reading();
  void Drain();
  void HandleIncoming(const TIncoming& in);
  void Progress(std::chrono::seconds elapsed);

  TOptions fOpt;
  std::mt19937 fRandom;
  qvsim::Simulator fSim;
  TqvLogFile fLog;
  TqvComm fComm;
  TqvGsm fGsm;
  TCounts fCount;
  // Times each incoming message was received, by its number; reserved up front so that the
  // harness's own bookkeeping does not show as growth.
  std::vector<uint8_t> fSeen;
  std::mutex fInboxMutex;
  std::vector<TIncoming> fInbox;
  long fNextIncoming = 0;
  int fNextReference = 0;
  bool fInitialised = false;
  long fBaselineKiB = -1, fPeakKiB = 0, fEndKiB = 0;
  long fBaselineHeapKiB = -1, fEndHeapKiB = 0;
};

void TSoak::SetUpComponent() {
  if (!fOpt.log.empty()) {
    // Every line written at once, as a program that must keep its trace would.
    fLog.SetFileName(qv::Utf8ToString(fOpt.log));
    fLog.SetOptions({TLogOption::loSafeMode, TLogOption::loDate, TLogOption::loTime, TLogOption::loMSec});
    fLog.SetDetailLevel(TDetailLevel::dlDebug);
    fComm.SetLog(&fLog);
    fGsm.SetLog(&fLog);
  }
  fComm.SetDevicePath(qv::Utf8ToString(fSim.DevicePath()));
  fComm.SetBaudRate(115200);
  fGsm.SetTimeOut(3000);
  fGsm.SetNewSmsMode(TgsmNewSmsMode::nsmRead);
  fGsm.OnAfterInit = [this](TObject*) { fInitialised = true; };
  fGsm.OnSmsSent = [this](TObject*, const std::u16string&, int32_t, TqvPduSms*) { ++fCount.sentEvents; };
  fGsm.OnUssd = [this](TObject*, const std::u16string&) { ++fCount.ussdAnswered; };
  fGsm.OnRing = [this](TObject*, const std::u16string&) { ++fCount.ringsHeard; };
  fGsm.OnSmsListItem = [this](TObject*, const std::u16string&, int32_t index, TqvPduSms*) {
    if (index > 0) ++fCount.listedItems;
  };
  // On a worker thread.
  fGsm.OnSmsReceived = [this](TObject*, const std::u16string& mem, int32_t index, TqvPduSms* sms) {
    TIncoming in{mem, index, sms && sms->Report(), sms ? qv::StringToUtf8(sms->Text()) : std::string()};
    std::lock_guard lk(fInboxMutex);
    fInbox.push_back(std::move(in));
    pf::WakeMainThread();
  };
  fGsm.SetActive(true);
  fComm.SetDataProcessor(&fGsm);
}

bool TSoak::Open() {
  fComm.SetActive(true);
  return PumpUntil([&] { return fInitialised; }, 30s);
}

void TSoak::Run() {
  const auto start = Clock::now();
  auto nextProgress = start + 60s;
  bool baselineTaken = false;
  while (Clock::now() - start < fOpt.duration) {
    Step();
    Drain();
    const auto now = Clock::now();
    if (!baselineTaken && now - start >= fOpt.settle) {
      fBaselineKiB = ResidentKiB();
      fBaselineHeapKiB = HeapKiB();
      baselineTaken = true;
    }
    fPeakKiB = std::max(fPeakKiB, ResidentKiB());
    if (now >= nextProgress) {
      Progress(std::chrono::duration_cast<std::chrono::seconds>(now - start));
      nextProgress += 60s;
    }
  }
  // The last arrivals and events.
  PumpUntil(
      [&] {
        Drain();
        return fCount.received + fCount.duplicates >= fCount.injected &&
               fCount.reportsReceived >= fCount.reportsInjected && fCount.ussdAnswered >= fCount.ussdAsked &&
               fCount.sentEvents >= fCount.confirmed;
      },
      10s);
  fEndKiB = ResidentKiB();
  fEndHeapKiB = HeapKiB();
  Progress(std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start));
}

void TSoak::Step() {
  // Weights of the kinds of traffic, out of 100.
  static constexpr std::pair<int, void (TSoak::*)()> kMix[] = {
      {30, &TSoak::Send},  {30, &TSoak::Incoming}, {10, &TSoak::Report}, {8, &TSoak::Listing},
      {8, &TSoak::Ussd},   {6, &TSoak::Ring},      {8, &TSoak::Reading},
  };
  int draw = std::uniform_int_distribution<int>(0, 99)(fRandom);
  for (const auto& [weight, action] : kMix) {
    if (draw < weight) return (this->*action)();
    draw -= weight;
  }
}

void TSoak::Send() {
  const bool refuse = std::uniform_int_distribution<int>(0, 19)(fRandom) == 0;
  if (refuse) {
    fSim.WithModem([](qvsim::Modem& m) { m.FailSubmissions(500, 1); });
    ++fCount.refusalsAsked;
  }
  ++fCount.sends;
  const std::u16string text = qv::Utf8ToString("soak out " + std::to_string(fCount.sends));
  const std::u16string ref = fGsm.SmsSendWaitRefID(qv::Utf8ToString(kPeer), text, false);
  if (!ref.empty()) ++fCount.confirmed;
  else ++fCount.failed;
  fCount.submitted += static_cast<long>(fSim.WithModem([](qvsim::Modem& m) { return m.TakeSubmitted().size(); }));
}

void TSoak::Incoming() {
  const long n = fNextIncoming++;
  const std::string pdu = qvsim::MakeDeliverPdu(kPeer, "soak in " + std::to_string(n), std::time(nullptr));
  if (fSim.InjectSms(pdu) < 0) {
    std::fprintf(stderr, "the simulator refused incoming message %ld\n", n);
    return;
  }
  ++fCount.injected;
}

void TSoak::Report() {
  const std::string pdu = qvsim::MakeStatusReportPdu(fNextReference++ & 0xFF, kPeer, std::time(nullptr));
  if (fSim.InjectStatusReport(pdu) < 0) {
    std::fprintf(stderr, "the simulator refused a status report\n");
    return;
  }
  ++fCount.reportsInjected;
}

void TSoak::Listing() {
  ++fCount.listings;
  fGsm.SmsList(true);
  if (!fGsm.LastError().empty()) ++fCount.listingFailed;
}

void TSoak::Ussd() {
  const long before = fCount.ussdAnswered;
  if (!fGsm.SendUSSD(u"*100#")) return;
  ++fCount.ussdAsked;
  PumpUntil([&] { return fCount.ussdAnswered > before; }, 5s);
}

void TSoak::Ring() {
  const long before = fCount.ringsHeard;
  fSim.InjectRing(kPeer, 1);
  ++fCount.ringsInjected;
  PumpUntil([&] { return fCount.ringsHeard > before; }, 5s);
  fSim.InjectHangup();
}

void TSoak::Reading() {
  ++fCount.readings;
  if (std::uniform_int_distribution<int>(0, 1)(fRandom) == 0) fGsm.UpdateSignalInfo();
  else fGsm.UpdateBatteryInfo();
}

void TSoak::Drain() {
  pf::PumpFor(0);
  std::vector<TIncoming> batch;
  {
    std::lock_guard lk(fInboxMutex);
    batch.swap(fInbox);
  }
  for (const TIncoming& in : batch) HandleIncoming(in);
}

void TSoak::HandleIncoming(const TIncoming& in) {
  if (in.report) {
    ++fCount.reportsReceived;
  } else if (in.text.starts_with("soak in ")) {
    const long n = std::strtol(in.text.c_str() + 8, nullptr, 10);
    if (n < 0 || n >= fNextIncoming) {
      ++fCount.strangers;
    } else {
      if (static_cast<size_t>(n) >= fSeen.size()) fSeen.resize(static_cast<size_t>(n) + 1);
      if (++fSeen[static_cast<size_t>(n)] == 1) ++fCount.received;
      else ++fCount.duplicates;
    }
  } else {
    ++fCount.strangers;
  }
  // Read messages are deleted, so the store never fills.
  if (in.index <= 0) return;
  if (!in.mem.empty() && in.mem != fGsm.MemoryRead()) fGsm.SetMemoryRead(in.mem);
  if (fGsm.SmsDelete(in.index)) ++fCount.deleted;
  else ++fCount.deleteFailed;
}

void TSoak::Progress(std::chrono::seconds elapsed) {
  const TCounts& c = fCount;
  std::printf(
      "%5lds  sends %ld (confirmed %ld, failed %ld, refusals asked %ld)  incoming %ld/%ld (duplicates %ld)"
      "  reports %ld/%ld  listings %ld  ussd %ld/%ld  rings %ld/%ld  rss %ld KiB  heap %ld KiB\n",
      static_cast<long>(elapsed.count()), c.sends, c.confirmed, c.failed, c.refusalsAsked, c.received, c.injected,
      c.duplicates, c.reportsReceived, c.reportsInjected, c.listings, c.ussdAnswered, c.ussdAsked, c.ringsHeard,
      c.ringsInjected, ResidentKiB(), HeapKiB());
  std::fflush(stdout);
}

bool TSoak::Check() const {
  const TCounts& c = fCount;
  bool ok = true;
  auto expect = [&](bool holds, const char* what, long a, long b) {
    std::printf("%-52s %8ld %8ld  %s\n", what, a, b, holds ? "ok" : "MISMATCH");
    ok = ok && holds;
  };
  std::printf("\n%-52s %8s %8s\n", "check", "counted", "expected");
  expect(c.confirmed + c.failed == c.sends, "sends confirmed + failed = sends", c.confirmed + c.failed, c.sends);
  expect(c.failed == c.refusalsAsked, "sends failed = refusals the simulator was told", c.failed, c.refusalsAsked);
  expect(c.sentEvents == c.confirmed, "OnSmsSent events = confirmed sends", c.sentEvents, c.confirmed);
  expect(c.submitted == c.confirmed, "messages the modem took = confirmed sends", c.submitted, c.confirmed);
  expect(c.received == c.injected, "incoming messages received once = injected", c.received, c.injected);
  expect(c.duplicates == 0, "incoming messages received twice", c.duplicates, 0);
  expect(c.strangers == 0, "unknown messages received", c.strangers, 0);
  expect(c.deleteFailed == 0, "deletes that failed", c.deleteFailed, 0);
  expect(c.reportsReceived == c.reportsInjected, "reports received = injected", c.reportsReceived,
         c.reportsInjected);
  expect(c.listingFailed == 0, "listings that failed", c.listingFailed, 0);
  expect(c.ussdAnswered == c.ussdAsked, "USSD answers = requests", c.ussdAnswered, c.ussdAsked);
  expect(c.ringsHeard == c.ringsInjected, "rings heard = rings", c.ringsHeard, c.ringsInjected);
  std::printf("listed items %ld, deleted %ld, readings %ld\n", c.listedItems, c.deleted, c.readings);
  if (fBaselineKiB < 0) {
    std::printf("resident memory: the run ended before the settling point; no growth figure\n");
  } else {
    std::printf("resident memory: %ld KiB at the settling point, %ld KiB at the end, peak %ld KiB\n",
                fBaselineKiB, fEndKiB, fPeakKiB);
    std::printf("heap in use: %ld KiB at the settling point, %ld KiB at the end\n", fBaselineHeapKiB, fEndHeapKiB);
    expect(fEndKiB - fBaselineKiB < kAllowedGrowthKiB, "growth from the settling point (KiB) < 1024",
           fEndKiB - fBaselineKiB, kAllowedGrowthKiB);
  }
  std::printf("%s\n", ok ? "SOAK PASSED" : "SOAK FAILED");
  return ok;
}

const char kUsage[] =
    "usage: qvsoak [--seconds N] [--settle N] [--seed N] [--model NAME] [--log FILE]\n"
    "  --seconds N   how long the traffic runs (default 3600)\n"
    "  --settle N    when the memory baseline is taken (default 300, at most a quarter of the run)\n"
    "  --seed N      the traffic generator's seed (default: from the clock; always printed)\n"
    "  --model NAME  the simulator's persona (default siemens_mc35i)\n"
    "  --log FILE    the component's log file (default none)\n";

bool ParseOptions(int argc, char** argv, TOptions& o) {
  o.seed = static_cast<unsigned>(std::time(nullptr));
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) return false;
    const std::string v = argv[++i];
    if (a == "--seconds") o.duration = std::chrono::seconds(std::strtol(v.c_str(), nullptr, 10));
    else if (a == "--settle") o.settle = std::chrono::seconds(std::strtol(v.c_str(), nullptr, 10));
    else if (a == "--seed") o.seed = static_cast<unsigned>(std::strtoul(v.c_str(), nullptr, 10));
    else if (a == "--model") o.persona = v;
    else if (a == "--log") o.log = v;
    else return false;
  }
  o.settle = std::min(o.settle, o.duration / 4);
  return o.duration.count() > 0;
}

}  // namespace

int main(int argc, char** argv) {
  TOptions options;
  if (!ParseOptions(argc, argv, options)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::printf("qvsoak: %lld s of traffic on the simulated %s, seed %u, memory baseline at %lld s\n",
              static_cast<long long>(options.duration.count()), options.persona.c_str(), options.seed,
              static_cast<long long>(options.settle.count()));
  std::fflush(stdout);
  TSoak soak(options);
  if (!soak.Open()) {
    std::fprintf(stderr, "qvsoak: the component's initialisation did not end\n");
    return 1;
  }
  soak.Run();
  return soak.Check() ? 0 : 1;
}
