// End to end: calls, USSD, battery and signal of TqvGsm on the modem
// simulator; USSD answers compared with Debian's gammu.
#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "qvgsmrig.h"

using namespace qvgsmtest;
using namespace std::chrono_literals;
using qv::StringToUtf8;

namespace {

struct TEvents {
  explicit TEvents(TqvGsm& gsm) {
    gsm.OnGsmError = [this](TObject*, const std::u16string& s) { errors.push_back(StringToUtf8(s)); };
    gsm.OnUnsolicited = [this](TObject*, const std::u16string& s) { unsolicited.push_back(StringToUtf8(s)); };
    gsm.OnUssdResult = [this](TObject*, TUssdStatus st, const std::u16string& s) {
      ussd.emplace_back(st, StringToUtf8(s));
    };
  }
  std::vector<std::string> errors, unsolicited;
  std::vector<std::pair<TUssdStatus, std::string>> ussd;
};

}  // namespace

// ---------------------------------------------------------------------------
// Calls

// Answered, busy at once, busy or not answered after the modem's OK.
TEST(GsmCallsE2E, CallOutcomes) {
  struct TCase {
    const char* name;
    const char* dialResult;
    const char* laterEnd;
    bool ok;
    std::vector<std::string> errors, unsolicited;
  };
  const TCase cases[] = {
      {"answered", "OK", "", true, {}, {}},
      {"busy", "BUSY", "", false, {"MakeCall: ATDT+4930123;: BUSY"}, {}},
      {"no answer", "NO ANSWER", "", false, {"MakeCall: ATDT+4930123;: NO ANSWER"}, {}},
      {"busy after OK", "OK", "BUSY", true, {}, {"BUSY"}},
      {"not answered after OK", "OK", "NO ANSWER", true, {}, {"NO ANSWER"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TGsmRig rig(TRigOptions().Persona("nokia6230i").Timeout(3000));
    TEvents events(*rig.gsm);
    rig.sim->WithModem([&](qvsim::Modem& m) {
      m.SetDialResult(c.dialResult);
      m.SetCallEnd(c.laterEnd, 100ms);
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(rig.gsm->MakeCall(u"+4930123"), c.ok);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s) << "never the whole time-out";
    PumpUntil([&] { return events.unsolicited.size() >= c.unsolicited.size(); }, 2000);
    PumpFor(50);
    EXPECT_EQ(events.errors, c.errors);
    EXPECT_EQ(events.unsolicited, c.unsolicited);
    if (c.ok && !*c.laterEnd) {
      rig.gsm->Hungup();
      EXPECT_TRUE(rig.sim->GetTranscript().ToModem().ends_with("ATH\rAT+CHUP\r"));
    }
  }
}

// OnRing runs on the main loop, outside the delivery: AnswerCall works there.
TEST(GsmCallsE2E, RingAnsweredFromOnRing) {
  TGsmRig rig(TRigOptions().Persona("nokia6230i").Timeout(3000));
  std::vector<std::string> rings;
  rig.gsm->OnRing = [&](TObject*, const std::u16string& number) {
    rings.push_back(StringToUtf8(number));
    rig.gsm->AnswerCall();
  };
  rig.sim->InjectRing("+491701234567", 5, 300ms);
  ASSERT_TRUE(PumpUntil([&] { return !rings.empty(); }));
  ASSERT_TRUE(PumpUntil([&] { return rig.sim->GetTranscript().ToModem().find("ATA\r") != std::string::npos; }));
  PumpFor(700);
  EXPECT_EQ(rings, std::vector<std::string>{"+491701234567"}) << "no more rings once answered";
  EXPECT_FALSE(rig.sim->WithModem([](qvsim::Modem& m) { return m.Ringing(); }));
  EXPECT_TRUE(rig.gsm->LastError().empty()) << StringToUtf8(rig.gsm->LastError());
}

TEST(GsmCallsE2E, RefusedHangUpSendsNoSecondLine) {
  TGsmRig rig(TRigOptions().Persona("nokia6230i").Timeout(3000));
  rig.sim->WithModem([](qvsim::Modem& m) { m.FailLine("H", "ERROR"); });
  rig.sim->GetTranscript().Clear();
  rig.gsm->Hungup();
  EXPECT_EQ(rig.sim->GetTranscript().ToModem(), "ATH\r");
  EXPECT_EQ(StringToUtf8(rig.gsm->LastError()), "Hungup: ATH: ERROR");
}

// ---------------------------------------------------------------------------
// USSD

// Answers before and after the OK, plain and packed, each status with and
// without text; a running session cancelled.
TEST(GsmCallsE2E, UssdAnswers) {
  struct TCase {
    const char* persona;
    qvsim::UssdTiming timing;
    int status;
    bool withText;
    qvsim::UssdForm form;
    TUssdStatus expected;
  };
  const std::string text = "Balance: 1,00 EUR, \"bonus\" 5";
  using enum qvsim::UssdTiming;
  using enum qvsim::UssdForm;
  const TCase cases[] = {
      {"nokia6230i", AfterOk, 0, true, Persona, TUssdStatus::usDone},
      {"nokia6230i", BeforeOk, 1, true, Persona, TUssdStatus::usActionRequired},
      {"nokia6230i", AfterOk, 0, true, Ucs2, TUssdStatus::usDone},
      {"huawei_e220", AfterOk, 0, true, Persona, TUssdStatus::usDone},
      {"huawei_e220", BeforeOk, 1, true, Persona, TUssdStatus::usActionRequired},
      {"nokia6230i", AfterOk, 2, false, Persona, TUssdStatus::usTerminated},
      {"huawei_e220", BeforeOk, 3, false, Persona, TUssdStatus::usOtherClient},
      {"nokia6230i", AfterOk, 4, false, Persona, TUssdStatus::usNotSupported},
      {"nokia6230i", AfterOk, 5, true, Persona, TUssdStatus::usTimedOut},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.persona) + " status " + std::to_string(c.status));
    TGsmRig rig(TRigOptions().Persona(c.persona).Timeout(3000));
    TEvents events(*rig.gsm);
    qvsim::UssdAnswer answer;
    answer.text = text;
    answer.status = c.status;
    answer.withText = c.withText;
    answer.timing = c.timing;
    answer.form = c.form;
    rig.sim->WithModem([&](qvsim::Modem& m) { m.SetUssdAnswer("*100#", answer); });
    EXPECT_TRUE(rig.gsm->SendUSSD(u"*100#")) << StringToUtf8(rig.gsm->LastError());
    ASSERT_TRUE(PumpUntil([&] { return !events.ussd.empty(); }));
    EXPECT_EQ(events.ussd[0], std::make_pair(c.expected, c.withText ? text : std::string()));
    EXPECT_TRUE(events.errors.empty());
  }
  TGsmRig rig(TRigOptions().Persona("nokia6230i").Timeout(3000));
  EXPECT_TRUE(rig.gsm->CancelUSSD());
  EXPECT_TRUE(rig.sim->GetTranscript().ToModem().ends_with("AT+CUSD=2\r"));
}

// gammu and the library show the same answer text.
TEST(GsmCallsE2E, UssdAsGammuShowsIt) {
  ASSERT_TRUE(TGammu::Installed()) << "gammu is missing: run scripts/setup-debian.sh";
  TGammu gammu;
  TGsmRig rig(TRigOptions().Persona("siemens_mc35i").Timeout(3000).Deferred().Link(gammu.Link()));
  qvsim::UssdAnswer answer;
  answer.text = "Balance: 1,00 EUR, \"bonus\" 5";
  rig.sim->WithModem([&](qvsim::Modem& m) { m.SetDefaultUssdAnswer(answer); });
  const std::string out = gammu.Run("getussd '*100#'");
  std::string shown;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);)
    if (line.rfind("Service reply", 0) == 0) shown = line.substr(line.find('"') + 1, line.rfind('"') - line.find('"') - 1);
  EXPECT_EQ(shown, answer.text) << out;

  ASSERT_TRUE(rig.Open());
  TEvents events(*rig.gsm);
  std::vector<std::string> texts;
  rig.gsm->OnUssd = [&](TObject*, const std::u16string& s) { texts.push_back(StringToUtf8(s)); };
  ASSERT_TRUE(rig.gsm->SendUSSD(u"*100#"));
  ASSERT_TRUE(PumpUntil([&] { return !texts.empty(); }));
  EXPECT_EQ(texts[0], shown);
}

// ---------------------------------------------------------------------------
// Battery and signal

// The readings take the turn like every other request: asked from another
// thread while the phone book is read, they go out after the reading's end.
TEST(GsmCallsE2E, BatteryAndSignalTakeTheirTurn) {
  TGsmRig rig(TRigOptions().Persona("nokia6230i").Timeout(3000));
  rig.sim->WithModem([](qvsim::Modem& m) {
    m.SetSignal(99, 99);
    m.SetBattery(1, 60);
    for (int i = 1; i <= 3; ++i) m.WritePhoneBook("SM", i, {"+4930", 145, "N" + std::to_string(i), "", 0});
  });
  rig.sim->DelayReplyTo("+CPBR", 100ms);
  bool finished = false;
  rig.gsm->OnPhoneListFinish = [&](TObject*) { finished = true; };
  rig.gsm->SetPhoneListType(TqvPhoneBookType::pltSim);
  rig.gsm->PhoneBookRead();
  std::atomic<bool> done{false};
  std::thread reader([&] {
    rig.gsm->UpdateSignalInfo();
    rig.gsm->UpdateBatteryInfo();
    done = true;
  });
  ASSERT_TRUE(PumpUntil([&] { return done && finished; }, 10000));
  reader.join();
  EXPECT_EQ(rig.gsm->SignalQuality(), 0);
  EXPECT_EQ(rig.gsm->SignalQualityMax(), 31);
  EXPECT_TRUE(rig.gsm->BatteryIsCharging());
  EXPECT_EQ(rig.gsm->BatteryLevel(), 60);
  const std::string sent = rig.sim->GetTranscript().ToModem();
  EXPECT_LT(sent.rfind("AT+CSCS=\"PCCP437\""), sent.rfind("AT+CSQ")) << sent;
  EXPECT_EQ(Count(sent.substr(sent.rfind("AT+CSCS=\"UCS2\"")), "AT+CPBR="), 3u) << "none cut short";
}
