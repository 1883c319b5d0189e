// Sends through a faulty modem: junk between its lines, replies that come a
// byte at a time, submissions refused with "+CMS ERROR", silence until the
// time-out. Whatever happens, every send ends confirmed with a reference or
// reported failed: never both, never neither.
//
//   QV_FAULTS_SEED  the generator's seed (default: from the clock); always printed
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <thread>

#include "qvgsmrig.h"

using namespace qvgsmtest;
using namespace std::chrono_literals;
using qv::StringToUtf8;

namespace {

uint64_t Seed() {
  static const uint64_t seed = [] {
    const char* v = std::getenv("QV_FAULTS_SEED");
    const uint64_t s = v && *v ? std::strtoull(v, nullptr, 10) : static_cast<uint64_t>(std::random_device{}());
    std::printf("modem faults: QV_FAULTS_SEED=%llu\n", static_cast<unsigned long long>(s));
    std::fflush(stdout);
    return s;
  }();
  return seed;
}

struct TFaults {
  const char* name;
  bool junk = false;     // junk bytes between the modem's lines, all the time
  bool byBytes = false;  // every reply a byte at a time
  int refusals = 0;      // in how many of ten sends the submission is refused
  int silences = 0;      // in how many of ten sends the modem keeps silent
};

enum class TFault { None, Refused, Silent };

// What one send ended with, and what the component reported on the way.
struct TSendOutcome {
  bool sent = false;
  std::string ref;
  std::string lastError;
  int confirmations = 0;  // OnSmsSent, one per part
  int errors = 0;         // OnGsmError
  size_t submitted = 0;   // the modem's submissions after the send
};

class TSender {
 public:
  explicit TSender(TGsmRig& rig) : rig_(rig) {
    rig.gsm->OnSmsSent = [this](TObject*, const std::u16string&, int32_t, TqvPduSms*) { ++confirmations_; };
    rig.gsm->OnGsmError = [this](TObject*, const std::u16string&) { ++errors_; };
  }

  TSendOutcome Send(int parts) {
    confirmations_ = errors_ = 0;
    rig_.gsm->SmsSend(u"+12345678901", std::u16string(parts == 1 ? 40 : 153 * (parts - 1) + 20, u'f'), false);
    TSendOutcome o;
    o.sent = rig_.gsm->SmsSendWait();
    o.ref = std::string(qv::TrimView(std::string_view(rig_.gsm->LastSentResult().second)));
    o.lastError = StringToUtf8(rig_.gsm->LastError());
    o.confirmations = confirmations_;
    o.errors = errors_;
    o.submitted = rig_.sim->WithModem([](qvsim::Modem& m) { return m.Submitted().size(); });
    return o;
  }

 private:
  TGsmRig& rig_;
  int confirmations_ = 0, errors_ = 0;
};

// Junk between the modem's lines while the traffic runs: whatever InjectGarbage makes, each
// piece ahead of a line break so that it stays a line of its own.
class TJunkSource {
 public:
  TJunkSource(qvsim::Simulator& sim, uint64_t seed) : sim_(sim), thread_([this, seed] { Run(seed); }) {}
  ~TJunkSource() {
    stop_ = true;
    thread_.join();
  }
  TJunkSource(const TJunkSource&) = delete;
  TJunkSource& operator=(const TJunkSource&) = delete;

 private:
  void Run(uint64_t seed) {
    std::mt19937 random(static_cast<uint32_t>(seed));
    while (!stop_) {
      // Slower than a line that carries a byte a millisecond: the replies keep up.
      std::this_thread::sleep_for(std::chrono::milliseconds(5 + random() % 35));
      sim_.InjectGarbage(1 + random() % 12, random() | 1);
      sim_.InjectRaw("\r\n");
    }
  }

  qvsim::Simulator& sim_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace

TEST(GsmFaults, EverySendEndsConfirmedOrReportedFailed) {
  const TFaults cases[] = {
      {.name = "junk between lines", .junk = true},
      {.name = "replies a byte at a time", .byBytes = true},
      {.name = "+CMS ERROR on random sends", .refusals = 4},
      {.name = "silence until the time-out", .silences = 3},
      {.name = "all at once", .junk = true, .byBytes = true, .refusals = 3, .silences = 2},
  };
  const uint64_t seed = Seed();
  RecordProperty("seed", std::to_string(seed));
  for (const TFaults& c : cases) {
    SCOPED_TRACE(testing::Message() << c.name << ", seed " << seed);
    std::mt19937_64 random(seed ^ std::hash<std::string>{}(c.name));
    TGsmRig rig(TRigOptions().Timeout(300));
    TSender sender(rig);
    if (c.byBytes) rig.sim->SetSplitWrites(1, 1ms);
    std::optional<TJunkSource> junk;
    if (c.junk) junk.emplace(*rig.sim, random());
    int confirmed = 0, failed = 0;
    for (int i = 0; i < 10; ++i) {
      const int parts = 1 + static_cast<int>(random() % 3);
      const uint64_t pick = random() % 10;
      const TFault fault = pick < static_cast<uint64_t>(c.refusals)                ? TFault::Refused
                           : pick < static_cast<uint64_t>(c.refusals + c.silences) ? TFault::Silent
                                                                                   : TFault::None;
      SCOPED_TRACE(testing::Message() << "send " << i << ", " << parts << " parts, fault " << static_cast<int>(fault));
      const size_t before = rig.sim->WithModem([&](qvsim::Modem& m) {
        if (fault == TFault::Refused) m.FailSubmissions(500 + i, 1);
        return m.Submitted().size();
      });
      if (fault == TFault::Silent) rig.sim->SetSilent(true);
      const TSendOutcome o = sender.Send(parts);
      rig.sim->SetSilent(false);
      rig.sim->WithModem([](qvsim::Modem& m) {
        m.FailSubmissions(0, 0);
        return 0;
      });
      // Confirmed: every part, the modem's reference of the last one, and nothing reported failed.
      const bool isConfirmed = o.sent && o.confirmations == parts && o.submitted == before + parts &&
                               o.ref == std::to_string(o.submitted & 0xFF) && o.lastError.empty() && o.errors == 0;
      // Failed: told so, with the reason.
      const bool isFailed = !o.sent && o.confirmations < parts && !o.lastError.empty();
      EXPECT_NE(isConfirmed, isFailed) << "sent " << o.sent << ", reference '" << o.ref << "', " << o.confirmations
                                       << " confirmations, " << o.submitted - before << " submitted, " << o.errors
                                       << " errors, last error '" << o.lastError << "'";
      if (fault != TFault::None) {
        EXPECT_TRUE(isFailed) << "the fault went unnoticed";
      } else if (!c.junk) {
        EXPECT_TRUE(isConfirmed) << "failed with nothing wrong: " << o.lastError;
      }
      if (fault == TFault::Refused) {
        EXPECT_NE(o.lastError.find("+CMS ERROR: " + std::to_string(500 + i)), std::string::npos) << o.lastError;
      }
      confirmed += isConfirmed;
      failed += isFailed;
      // A send learns its outcome at its last confirmation; the final OK may still be on its way.
      EXPECT_TRUE(PumpUntil([&] { return !rig.gsm->IsBusy(); }, 2000));
      EXPECT_EQ(rig.gsm->AwaitingCount(), 0u);
    }
    junk.reset();
    std::printf("%s: %d confirmed, %d failed\n", c.name, confirmed, failed);
    // The modem is still usable once the faults stop.
    rig.sim->SetSplitWrites(0);
    EXPECT_FALSE(rig.gsm->SmsSendWaitRefID(u"+12345678901", u"after the faults", false).empty()) << rig.log.All();
  }
}
