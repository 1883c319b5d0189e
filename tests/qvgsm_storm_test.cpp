// A loss storm: the simulated modem's device vanishes and a new one comes up
// behind the same link, over and over, at points a seeded generator draws:
// during the initialisation, a listing, a multi-part send and a phone book
// reading. KeepConnection reopens the port every time.
//
//   QV_STORM_SEED    the generator's seed (default: from the clock); always printed
//   QV_STORM_LOSSES  how many losses (default 200)
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>

#include "qvgsmrig.h"
#include "qvpty.h"

using namespace qvgsmtest;
using qv::StringToUtf8;
using qv::Utf8ToString;

namespace {

// Entries of a /proc folder: the process's threads or its open descriptors.
size_t CountEntries(const char* folder) {
  size_t n = 0;
  if (DIR* d = ::opendir(folder)) {
    while (const dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
  }
  return n;
}
size_t ThreadCount() { return CountEntries("/proc/self/task"); }
size_t DescriptorCount() { return CountEntries("/proc/self/fd"); }

uint64_t EnvNumber(const char* name, uint64_t fallback) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return fallback;
  return std::strtoull(v, nullptr, 10);
}

// A stored DELIVER message, service centre included.
constexpr const char* kStoredPdu = "07911326040000F0040B911346610089F60000208062917314080CC8F71D14969741F977FD07";

enum class TPhase { Init, Listing, Send, Book };
constexpr TPhase kPhases[] = {TPhase::Init, TPhase::Listing, TPhase::Send, TPhase::Book};
const char* Name(TPhase p) {
  switch (p) {
    case TPhase::Init: return "initialisation";
    case TPhase::Listing: return "listing";
    case TPhase::Send: return "multi-part send";
    case TPhase::Book: return "phone book reading";
  }
  return "?";
}

// The modem behind a stable link, the port on that link with KeepConnection,
// and what the component reports.
class TStorm {
 public:
  TStorm() : rig(Options(dir.Path() + "/modem")) {
    rig.comm->SetDevicePath(Utf8ToString(rig.sim->LinkPath()));
    rig.comm->SetKeepConnection(true);
    rig.comm->SetKeepConnectionInterval(10);
    rig.comm->OnFatalError = [](TObject*, uint32_t, uint32_t, const std::u16string&, bool& raise) { raise = false; };
    rig.comm->OnOpen = [this](TObject*) { ++opens; };
    rig.comm->OnClose = [this](TObject*) { ++closes; };
    rig.gsm->OnSmsSent = [this](TObject*, const std::u16string&, int32_t, TqvPduSms*) { ++confirmations; };
    rig.gsm->OnSmsListItem = [this](TObject*, const std::u16string&, int32_t, TqvPduSms* sms) {
      listed += sms != nullptr;
    };
    rig.gsm->OnPhoneListFinish = [this](TObject*) { ++bookEnds; };
    rig.gsm->OnGsmError = [this](TObject*, const std::u16string&) { ++errors; };
    rig.sim->WithModem([](qvsim::Modem& m) {
      for (int i = 0; i < 3; ++i) m.StoreSms("SM", kStoredPdu, 1);
      for (int i = 1; i <= 4; ++i)
        m.WritePhoneBook("SM", i * 2, {"+4930" + std::to_string(i), 145, "Name " + std::to_string(i), "", 0});
      return 0;
    });
    // The generic driver with a short pause between lines: every loss costs a whole initialisation.
    rig.gsm->AddDriverFromString(u"quick", u"Include = QVGSM_GENERIC\r\nHKR, Settings, gsmLinePause, 1, \"2\"\r\n");
    rig.gsm->SetDriverIndex(rig.gsm->DriverCount() - 1);
    rig.gsm->SetPhoneListType(TqvPhoneBookType::pltSim);
    rig.sim->GetTranscript().SetMaxEntries(4000);
  }

  // The generic modem with a small SIM phone book, so that a reading is a handful of lines.
  static const qvsim::Persona& SmallBookModem() {
    static const qvsim::Persona persona = [] {
      qvsim::Persona p = *qvsim::FindPersona("generic");
      for (auto& book : p.phoneBooks) book.capacity = std::min(book.capacity, 10);
      return p;
    }();
    return persona;
  }

  static TRigOptions Options(std::string link) {
    TRigOptions o;
    o.personaData = &SmallBookModem();
    o.autodetect = false;
    return o.Timeout(300).Deferred().Link(std::move(link));
  }

  size_t Output() const { return rig.sim->GetTranscript().FromModem().size(); }

  // The port saw the loss and everything of the old exchange is gone.
  ::testing::AssertionResult Lost() {
    if (!PumpUntil([&] { return !rig.comm->Active(); }, 5000))
      return ::testing::AssertionFailure() << "the loss went unseen";
    if (rig.gsm->IsBusy()) return ::testing::AssertionFailure() << "busy after the loss";
    if (rig.gsm->AwaitingCount() != 0) return ::testing::AssertionFailure() << "a send still awaits its confirmation";
    return ::testing::AssertionSuccess();
  }

  // A new device; KeepConnection reopens the port, and the component initialises.
  ::testing::AssertionResult BackAndInitialised() {
    const int inits = rig.AfterInitCount();
    if (const auto ec = rig.sim->BringUp()) return ::testing::AssertionFailure() << "no new device: " << ec.message();
    if (!PumpUntil([&] { return rig.AfterInitCount() > inits && !rig.gsm->IsBusy(); }, 10000))
      return ::testing::AssertionFailure() << "not initialised again; port open: " << rig.comm->Active();
    return ::testing::AssertionSuccess();
  }

  // Runs the operation of `phase` to its end; whether it got all it asked for.
  bool Run(TPhase phase) {
    errors = 0;
    switch (phase) {
      case TPhase::Init: return true;
      case TPhase::Listing: {
        listed = 0;
        rig.gsm->SmsList(true);
        return listed == 3 && errors == 0;
      }
      case TPhase::Send: {
        confirmations = 0;
        rig.gsm->SmsSend(u"+12345678901", std::u16string(200, u's'), false);
        const bool sent = rig.gsm->SmsSendWait();
        const std::string ref = rig.gsm->LastSentResult().second;
        // Confirmed with a reference, or reported failed: never both, never neither.
        const bool confirmed = sent && confirmations == 2 && !ref.empty();
        const bool failed = !sent && !rig.gsm->LastError().empty();
        EXPECT_NE(confirmed, failed) << "sent " << sent << ", confirmations " << confirmations << ", reference '" << ref
                                     << "', last error '" << StringToUtf8(rig.gsm->LastError()) << "'";
        return sent;
      }
      case TPhase::Book: {
        const int before = bookEnds;
        rig.gsm->PhoneBookRead();
        EXPECT_TRUE(PumpUntil([&] { return bookEnds > before; }, 5000)) << "the reading never ended";
        return rig.gsm->PhoneList()->Count() == 4 && errors == 0;  // and the character set restored
      }
    }
    return false;
  }

  // What an operation reported, against what it got: a complete one failed
  // nothing, one the loss cut short says why, once.
  void CheckReport(TPhase phase, bool complete) {
    const std::string why = StringToUtf8(rig.gsm->LastError());
    if (complete) {
      EXPECT_EQ(why, "") << "complete, yet reported failed";
      EXPECT_EQ(errors, 0);
      return;
    }
    EXPECT_TRUE(why.find("device closed") != std::string::npos || why.find("write failed") != std::string::npos)
        << "cut short without the reason: '" << why << "'";
    // The send's own outcome is its report; the others raise OnGsmError, on the lane.
    const int reports = phase == TPhase::Send ? 0 : 1;
    PumpUntil([&] { return errors >= reports; }, 2000);
    EXPECT_EQ(errors, reports) << why;
  }

  qv::test::TqvTempDir dir;
  TGsmRig rig;
  int opens = 0, closes = 0, confirmations = 0, listed = 0, bookEnds = 0, errors = 0;
};

}  // namespace

TEST(GsmStorm, DeviceLostAndBackAgainAtRandomPoints) {
  const uint64_t seed = EnvNumber("QV_STORM_SEED", static_cast<uint64_t>(std::random_device{}()));
  const uint64_t losses = EnvNumber("QV_STORM_LOSSES", 200);
  std::printf("loss storm: QV_STORM_SEED=%llu QV_STORM_LOSSES=%llu\n", static_cast<unsigned long long>(seed),
              static_cast<unsigned long long>(losses));
  std::fflush(stdout);
  RecordProperty("seed", std::to_string(seed));
  std::mt19937_64 random(seed);
  std::thread([] {}).join();  // a sanitizer's runtime starts a thread of its own with the first one
  const size_t threadsBefore = ThreadCount();
  const size_t descriptorsBefore = DescriptorCount();
  {
    TStorm storm;
    TGsmRig& rig = storm.rig;
    ASSERT_TRUE(rig.Open()) << rig.log.All();
    // How many bytes each activity reads when nothing goes wrong: the drop points fall inside.
    std::map<TPhase, size_t> span;
    span[TPhase::Init] = storm.Output();
    for (const TPhase phase : kPhases) {
      if (phase == TPhase::Init) continue;
      const size_t before = storm.Output();
      ASSERT_TRUE(storm.Run(phase)) << Name(phase) << ": " << StringToUtf8(rig.gsm->LastError());
      span[phase] = storm.Output() - before;
    }
    rig.sim->DropDevice();
    ASSERT_TRUE(storm.Lost());

    size_t threadsOpen = 0;  // taken at the first reopen, with the keep-connection timer's thread there
    std::map<TPhase, int> cutShort;
    for (uint64_t loss = 1; loss <= losses; ++loss) {
      const TPhase phase = kPhases[random() % std::size(kPhases)];
      const size_t point = random() % (span[phase] + 1);
      SCOPED_TRACE(testing::Message() << "seed " << seed << ", loss " << loss << " in the " << Name(phase) << " after "
                                      << point << " of " << span[phase] << " bytes");
      if (phase == TPhase::Init) {
        const int inits = rig.AfterInitCount();
        storm.errors = 0;
        rig.sim->DropAfterOutput(point);
        ASSERT_FALSE(rig.sim->BringUp());
        ASSERT_TRUE(PumpUntil([&] { return !rig.sim->IsUp() || rig.AfterInitCount() > inits; }, 10000));
        if (rig.sim->IsUp()) {  // the initialisation got all its bytes: the loss comes while idle
          rig.sim->DropAfterOutput(std::nullopt);
          rig.sim->DropDevice();
        }
        ASSERT_TRUE(storm.Lost());
        const bool complete = rig.AfterInitCount() > inits;
        cutShort[phase] += !complete;
        storm.CheckReport(phase, complete);
        if (!complete) {
          EXPECT_EQ(StringToUtf8(rig.gsm->LastError()).rfind("Initialization failed: ", 0), 0u);
        }
        continue;
      }
      ASSERT_TRUE(storm.BackAndInitialised()) << rig.log.All();
      if (threadsOpen == 0) threadsOpen = ThreadCount();
      EXPECT_EQ(ThreadCount(), threadsOpen) << "threads pile up";
      rig.sim->DropAfterOutput(point);
      const bool complete = storm.Run(phase);
      if (rig.sim->IsUp()) {  // the operation ended first: the loss comes while idle
        EXPECT_TRUE(complete) << "failed with the device still there: " << StringToUtf8(rig.gsm->LastError());
        rig.sim->DropAfterOutput(std::nullopt);
        rig.sim->DropDevice();
      }
      cutShort[phase] += !complete;
      storm.CheckReport(phase, complete);
      ASSERT_TRUE(storm.Lost());
    }
    ASSERT_TRUE(storm.BackAndInitialised());
    EXPECT_TRUE(storm.Run(TPhase::Send)) << "the component works after the storm";
    EXPECT_EQ(storm.opens, static_cast<int>(losses) + 2) << "every loss reopened";
    EXPECT_EQ(storm.closes, static_cast<int>(losses) + 1);
    std::printf("cut short: initialisation %d, listing %d, send %d, phone book %d\n", cutShort[TPhase::Init],
                cutShort[TPhase::Listing], cutShort[TPhase::Send], cutShort[TPhase::Book]);
    rig.Close();
  }
  EXPECT_EQ(ThreadCount(), threadsBefore) << "a thread was left behind";
  EXPECT_EQ(DescriptorCount(), descriptorsBefore) << "a descriptor was left open";
}

// An operation the loss cuts short fails with the reason, once: a listing or
// a phone book reading that ends here is told apart from a short one.
TEST(GsmLoss, OperationsCutShortSayWhy) {
  struct TCase {
    const char* command;
    std::function<void(TGsmRig&)> run;
    const char* error;
  };
  const TCase cases[] = {
      {"+CMGL", [](TGsmRig& r) { r.gsm->SmsList(true); }, "Listing failed: AT+CMGL=4: device closed"},
      {"+CPBR", [](TGsmRig& r) { r.gsm->PhoneBookRead(); }, "Phone book reading failed: AT+CPBR=?: device closed"},
      {"+CMGS",
       [](TGsmRig& r) {
         r.gsm->SmsSend(u"+12345678901", u"lost", false);
         EXPECT_FALSE(r.gsm->SmsSendWait());
       },
       "Sending failed: AT+CMGS=18: device closed"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.command);
    TGsmRig rig(TRigOptions().Timeout(300));
    rig.gsm->SetPhoneListType(TqvPhoneBookType::pltSim);
    std::vector<std::string> errors;
    rig.gsm->OnGsmError = [&](TObject*, const std::u16string& s) { errors.push_back(StringToUtf8(s)); };
    rig.sim->DropOnCommand(c.command);
    c.run(rig);
    ASSERT_TRUE(PumpUntil([&] { return !rig.comm->Active() && !rig.gsm->IsBusy(); }));
    PumpFor(50);  // the lane's events
    EXPECT_EQ(StringToUtf8(rig.gsm->LastError()), c.error);
    const bool send = std::string(c.command) == "+CMGS";
    EXPECT_EQ(errors, send ? std::vector<std::string>{} : std::vector<std::string>{c.error}) << "reported once";
  }
}

// The last part's confirmation came, its final OK never did: the send was
// made and is not reported failed as the loss ends its queue.
TEST(GsmLoss, SendConfirmedBeforeTheLossStaysConfirmed) {
  TGsmRig rig(TRigOptions().Timeout(500));
  rig.sim->WithModem([](qvsim::Modem& m) {
    m.SetNextReference(7);
    return 0;
  });
  auto output = [&] {
    EXPECT_TRUE(rig.sim->WaitOutputIdle());
    return rig.sim->GetTranscript().FromModem();
  };
  // A whole send first: what the modem answers to one, its final OK last.
  const size_t start = output().size();
  ASSERT_EQ(StringToUtf8(rig.gsm->SmsSendWaitRefID(u"+12345678901", u"made it", false)), " 7");
  ASSERT_TRUE(PumpUntil([&] { return !rig.gsm->IsBusy(); }));
  const std::string whole = output().substr(start);
  const std::string confirmation = "\r\n+CMGS: 7\r\n\r\nOK\r\n";
  ASSERT_TRUE(whole.ends_with(confirmation)) << whole;
  // The same again, each reply in pieces: the confirmation arrives, and the device goes
  // before the final OK.
  rig.sim->SetSplitWrites(std::string("\r\n+CMGS: 8\r\n").size(), std::chrono::milliseconds(150));
  rig.sim->DropAfterOutput(whole.size() - std::string("\r\nOK\r\n").size());
  EXPECT_EQ(StringToUtf8(rig.gsm->SmsSendWaitRefID(u"+12345678901", u"made it", false)), " 8");
  ASSERT_TRUE(PumpUntil([&] { return !rig.comm->Active() && !rig.gsm->IsBusy(); }));
  EXPECT_TRUE(output().ends_with("\r\n+CMGS: 8\r\n"));
  EXPECT_EQ(StringToUtf8(rig.gsm->LastError()), "");
  EXPECT_EQ(rig.gsm->AwaitingCount(), 0u);
}
