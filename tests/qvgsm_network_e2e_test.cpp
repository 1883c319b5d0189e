// End to end: network registration and operator, SIM codes, the service
// centre, emptying the message store, call state and tones of TqvGsm on the
// modem simulator; the operator compared with Debian's gammu.
#include <gtest/gtest.h>

#include "qvgsmrig.h"

using namespace qvgsmtest;
using qv::StringToUtf8;

namespace {

// A message delivered to us, hex with an empty service centre ("00").
constexpr const char* kDeliverPdu = "0004038121F300000101010000000004D4F29C0E";

}  // namespace

// ---------------------------------------------------------------------------
// Network

TEST(GsmNetworkParse, RegistrationAnswersAndNotifications) {
  using enum TNetworkRegistration;
  struct TCase {
    const char16_t* text;
    bool notification;
    TNetworkRegistration reg;
    int32_t act;
  };
  const TCase cases[] = {
      {u" 0,1", false, nrHome, -1},
      {u" 2,5,\"00C3\",\"1A2B\",7", false, nrRoaming, 7},
      {u" 2,2", false, nrSearching, -1},
      {u" 1", true, nrHome, -1},
      {u" 3", true, nrDenied, -1},
      {u" 1,\"00C3\",\"1A2B\",2", true, nrHome, 2},
      {u" 1, \"00C3\",\"1A2B\"", true, nrHome, -1},
      {u" 9", true, nrUnknown, -1},  // a state the standard does not know
      {u"", false, nrNotRead, -1},
      {u" x", false, nrNotRead, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(StringToUtf8(c.text));
    const auto f = qv::gsm::ParseRegistration(c.text);
    EXPECT_EQ(f.Registration, c.reg);
    if (c.reg == nrNotRead) continue;
    EXPECT_EQ(f.Notification, c.notification);
    EXPECT_EQ(f.Technology, c.act);
  }
}

// A reading gives state, technology and operator; later changes arrive as
// OnNetworkChange, in order, and the operator goes with the registration.
TEST(GsmNetworkE2E, ReadingAndNotifications) {
  for (const char* persona : {"generic", "nokia6230i"}) {
    SCOPED_TRACE(persona);
    TGsmRig rig(TRigOptions().Persona(persona).Timeout(3000));
    std::vector<TNetworkInfo> changes;
    rig.gsm->OnNetworkChange = [&](TObject*, const TNetworkInfo& i) { changes.push_back(i); };
    EXPECT_EQ(rig.gsm->NetworkInfo().Registration, TNetworkRegistration::nrNotRead);
    rig.sim->InjectRegistration(1, 7);
    ASSERT_TRUE(rig.gsm->UpdateNetworkInfo()) << StringToUtf8(rig.gsm->LastError());
    EXPECT_TRUE(rig.gsm->LastError().empty()) << StringToUtf8(rig.gsm->LastError());
    TNetworkInfo info = rig.gsm->NetworkInfo();
    EXPECT_EQ(info.Registration, TNetworkRegistration::nrHome);
    EXPECT_EQ(info.Technology, 7);
    EXPECT_EQ(StringToUtf8(info.OperatorName), qvsim::kOperatorName);
    EXPECT_EQ(StringToUtf8(info.OperatorNumeric), qvsim::kOperatorNumeric);
    EXPECT_TRUE(changes.empty());  // answers are no notifications

    rig.sim->InjectRegistration(2, 0);
    rig.sim->InjectRegistration(5, 2);
    ASSERT_TRUE(PumpUntil([&] { return changes.size() >= 2; }));
    EXPECT_EQ(changes[0].Registration, TNetworkRegistration::nrSearching);
    EXPECT_TRUE(changes[0].OperatorName.empty());
    EXPECT_EQ(changes[1].Registration, TNetworkRegistration::nrRoaming);
    EXPECT_EQ(changes[1].Technology, 2);
    EXPECT_EQ(rig.gsm->NetworkInfo().Registration, TNetworkRegistration::nrRoaming);
    ASSERT_TRUE(rig.gsm->UpdateNetworkInfo());
    EXPECT_EQ(StringToUtf8(rig.gsm->NetworkInfo().OperatorName), qvsim::kOperatorName);
    // Other activity goes on between notifications.
    rig.sim->InjectRegistration(3, 0);
    rig.gsm->UpdateSignalInfo();
    EXPECT_GT(rig.gsm->SignalQuality(), 0);
    ASSERT_TRUE(PumpUntil([&] { return changes.size() >= 3; }));
    EXPECT_EQ(changes[2].Registration, TNetworkRegistration::nrDenied);
    EXPECT_FALSE(rig.gsm->NetworkInfo().Registered());
  }
}

// A modem that refuses "AT+CREG=2" gets "AT+CREG=1": the state is read and
// its changes still come, without the cell.
TEST(GsmNetworkE2E, RefusedCellNotificationsFallBackToTheState) {
  TGsmRig rig(TRigOptions().Persona("siemens_mc35i").Timeout(3000));
  rig.sim->WithModem([](qvsim::Modem& m) { m.FailLine("+CREG=2", "ERROR"); });
  std::vector<TNetworkInfo> changes;
  rig.gsm->OnNetworkChange = [&](TObject*, const TNetworkInfo& i) { changes.push_back(i); };
  rig.sim->InjectRegistration(1, 0);
  ASSERT_TRUE(rig.gsm->UpdateNetworkInfo()) << StringToUtf8(rig.gsm->LastError());
  EXPECT_TRUE(rig.gsm->LastError().empty()) << StringToUtf8(rig.gsm->LastError());
  EXPECT_EQ(rig.gsm->NetworkInfo().Registration, TNetworkRegistration::nrHome);
  EXPECT_EQ(StringToUtf8(rig.gsm->NetworkInfo().OperatorName), qvsim::kOperatorName);
  EXPECT_EQ(Count(rig.sim->GetTranscript().ToModem(), "AT+CREG=1\r"), 1u);

  rig.sim->InjectRegistration(5, 0);
  ASSERT_TRUE(PumpUntil([&] { return !changes.empty(); }));
  EXPECT_EQ(changes[0].Registration, TNetworkRegistration::nrRoaming);
  // A modem that refuses both is no registration read.
  rig.sim->WithModem([](qvsim::Modem& m) { m.FailLine("+CREG=1", "ERROR"); });
  EXPECT_FALSE(rig.gsm->UpdateNetworkInfo());
}

// gammu and the library name the same operator.
TEST(GsmNetworkE2E, OperatorAsGammuShowsIt) {
  ASSERT_TRUE(TGammu::Installed()) << "gammu is missing: run scripts/setup-debian.sh";
  TGammu gammu;
  TGsmRig rig(TRigOptions().Persona("quectel_ec25").Timeout(3000).Deferred().Link(gammu.Link()));
  const std::string out = gammu.Run("networkinfo");
  ASSERT_TRUE(rig.Open());
  ASSERT_TRUE(rig.gsm->UpdateNetworkInfo()) << StringToUtf8(rig.gsm->LastError());
  const TNetworkInfo info = rig.gsm->NetworkInfo();
  const std::string numeric = StringToUtf8(info.OperatorNumeric);
  ASSERT_EQ(numeric.size(), 5u);
  // gammu writes the code as "001 01"
  EXPECT_NE(out.find(numeric.substr(0, 3) + " " + numeric.substr(3)), std::string::npos) << out;
  EXPECT_NE(out.find(StringToUtf8(info.OperatorName)), std::string::npos) << out;
  EXPECT_NE(out.find("home network"), std::string::npos) << out;
}

// ---------------------------------------------------------------------------
// SIM codes

// Unblocking and changing: the codes checked first, never in a log in
// clear, a rejected code never sent again; PIN and PINStatus follow.
TEST(GsmSimE2E, UnblockAndChangePin) {
  auto o = TRigOptions().Driver(0).Timeout(1000).Deferred();
  o.SimPin("1234", qvsim::PinState::SimPuk);
  TGsmRig rig(o);
  std::vector<std::string> errors;
  rig.gsm->OnGsmError = [&](TObject*, const std::u16string& s) { errors.push_back(StringToUtf8(s)); };
  rig.Open(false);
  ASSERT_TRUE(PumpUntil([&] { return !rig.gsm->IsBusy() && !errors.empty(); }));
  EXPECT_EQ(rig.gsm->PINStatus(), TGsmPinStatus::pinPUK);

  EXPECT_FALSE(rig.gsm->PINUnblock(u"1234567x", u"8642"));  // checked: nothing sent
  EXPECT_FALSE(rig.gsm->PINUnblock(u"13575318", u""));
  EXPECT_EQ(Count(rig.sim->GetTranscript().ToModem(), "AT+CPIN="), 0u);
  EXPECT_FALSE(rig.gsm->PINUnblock(u"13575318", u"8642"));  // the wrong PUK
  EXPECT_FALSE(rig.gsm->PINUnblock(u"13575318", u"5555"));  // not sent again
  EXPECT_EQ(Count(rig.sim->GetTranscript().ToModem(), "AT+CPIN=13575318"), 1u);
  EXPECT_EQ(StringToUtf8(rig.gsm->LastError()), "PINUnblock refused: the code was rejected before");

  ASSERT_TRUE(rig.gsm->PINUnblock(u"12345678", u"8642")) << StringToUtf8(rig.gsm->LastError());
  EXPECT_EQ(rig.gsm->PINStatus(), TGsmPinStatus::pinReady);
  EXPECT_EQ(StringToUtf8(rig.gsm->PIN()), "8642");
  EXPECT_EQ(rig.sim->WithModem([](qvsim::Modem& m) { return m.GetPinState(); }), qvsim::PinState::Ready);

  EXPECT_FALSE(rig.gsm->PINChange(u"7777", u"5318"));  // the wrong old PIN
  EXPECT_FALSE(rig.gsm->PINChange(u"7777", u"1111"));
  EXPECT_EQ(Count(rig.sim->GetTranscript().ToModem(), "AT+CPWD="), 1u);
  ASSERT_TRUE(rig.gsm->PINChange(u"8642", u"5318")) << StringToUtf8(rig.gsm->LastError());
  EXPECT_EQ(StringToUtf8(rig.gsm->PIN()), "5318");

  // The new PIN opens the SIM after a restart.
  rig.Close();
  rig.sim->WithModem([](qvsim::Modem& m) { m.PowerCycle(); });
  ASSERT_TRUE(rig.Open());
  EXPECT_EQ(rig.gsm->PINStatus(), TGsmPinStatus::pinReady);

  const std::string log = rig.log.All();
  for (const char* code : {"13575318", "12345678", "8642", "7777", "5318"}) {
    SCOPED_TRACE(code);
    EXPECT_EQ(log.find(code), std::string::npos) << log;
    std::string hex;  // as the port's dumps show it
    for (const char* p = code; *p; ++p) {
      const auto octet = static_cast<unsigned char>(*p);
      hex += (hex.empty() ? "" : " ") + std::string{"0123456789ABCDEF"[octet >> 4], "0123456789ABCDEF"[octet & 15]};
    }
    EXPECT_EQ(log.find(hex), std::string::npos) << log;
  }
  EXPECT_EQ(rig.log.Grep("send:AT+CPIN=********,****").size(), 2u) << log;
  EXPECT_EQ(rig.log.Grep("send:AT+CPWD=\"SC\",\"****\",\"****\"").size(), 2u) << log;
}

// ---------------------------------------------------------------------------
// Service centre and the message store

// A SIM without a service centre refuses every send; one given with the
// message, or set on the SIM, lets it go.
TEST(GsmSmsE2E, ServiceCentre) {
  TGsmRig rig(TRigOptions().Persona("siemens_mc35i").Timeout(3000));
  rig.sim->WithModem([](qvsim::Modem& m) { m.SetServiceCentre(""); });
  EXPECT_EQ(rig.gsm->GetServiceCentre(), std::optional<std::u16string>(u""));
  EXPECT_TRUE(rig.gsm->SmsSendWaitRefID(u"+4930123", u"hello", false).empty());
  EXPECT_NE(StringToUtf8(rig.gsm->LastError()).find("330"), std::string::npos) << StringToUtf8(rig.gsm->LastError());

  rig.gsm->SmsSend(u"+4930123", u"hello", false, u"+491720000001");
  ASSERT_TRUE(rig.gsm->SmsSendWait()) << StringToUtf8(rig.gsm->LastError());
  const auto submitted = rig.sim->WithModem([](qvsim::Modem& m) { return m.Submitted(); });
  ASSERT_EQ(submitted.size(), 1u);
  EXPECT_TRUE(submitted[0].starts_with("0791947102000010")) << submitted[0];

  EXPECT_FALSE(rig.gsm->SetServiceCentre(u"+49 172"));
  ASSERT_TRUE(rig.gsm->SetServiceCentre(u"+491720000002"));
  EXPECT_EQ(rig.sim->WithModem([](qvsim::Modem& m) { return m.ServiceCentre(); }), "+491720000002");
  EXPECT_EQ(rig.gsm->GetServiceCentre(), std::optional<std::u16string>(u"+491720000002"));
  EXPECT_FALSE(rig.gsm->SmsSendWaitRefID(u"+4930123", u"hello", false).empty());
}

// Deleting all, the read, the read and sent: in one line, and message by
// message where the modem refuses the one-line form.
TEST(GsmSmsE2E, DeleteAll) {
  struct TCase {
    const char* name;
    TSmsDeleteScope scope;
    std::vector<int> left;  // the statuses that stay
  };
  const TCase cases[] = {
      {"read", TSmsDeleteScope::sdRead, {0, 2, 3}},
      {"read and sent", TSmsDeleteScope::sdReadSent, {0, 2}},
      {"all", TSmsDeleteScope::sdAll, {}},
  };
  for (bool oneByOne : {false, true}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (oneByOne ? ", one by one" : ""));
      TGsmRig rig(TRigOptions().Persona("siemens_mc35i").Timeout(3000));
      rig.sim->WithModem([&](qvsim::Modem& m) {
        for (int status : {0, 1, 2, 3, 1}) m.StoreSms("SM", kDeliverPdu, status);
        if (oneByOne)
          for (int flag = 1; flag <= 4; ++flag) m.FailLine("+CMGD=1," + std::to_string(flag), "ERROR");
      });
      rig.gsm->SetMemoryRead(u"SM");
      rig.gsm->UpdateMemoryState();
      ASSERT_TRUE(rig.gsm->SmsDeleteAll(c.scope)) << StringToUtf8(rig.gsm->LastError());
      EXPECT_TRUE(rig.gsm->LastError().empty());
      std::vector<int> left;
      for (const auto& [index, sms] : rig.sim->WithModem([](qvsim::Modem& m) { return m.SmsIn("SM"); }))
        left.push_back(oneByOne && sms.status == 1 ? 0 : sms.status);  // read to find its status
      EXPECT_EQ(left, c.left);
      EXPECT_EQ(Count(rig.sim->GetTranscript().ToModem(), "AT+CMGD=1,"), 1u);
    }
  }
}

// A full store ("+CMS ERROR: 322") is reported as OnSmsMemoryFull; other
// errors are not.
TEST(GsmSmsE2E, FullStoreIsReported) {
  TGsmRig rig(TRigOptions().Persona("generic").Timeout(3000));
  int full = 0;
  std::vector<std::string> errors;
  rig.gsm->OnSmsMemoryFull = [&](TObject*) { ++full; };
  rig.gsm->OnGsmError = [&](TObject*, const std::u16string& s) { errors.push_back(StringToUtf8(s)); };
  rig.sim->InjectNetworkError(500);
  rig.sim->InjectNetworkError(322);
  ASSERT_TRUE(PumpUntil([&] { return errors.size() >= 2; }));
  PumpFor(50);
  EXPECT_EQ(full, 1);
}

// The "smsfull" indicator, once its events are on, tells the store filled:
// once, as the message that fills it is stored.
TEST(GsmSmsE2E, FullStoreIndicator) {
  TGsmRig rig(TRigOptions().Persona("siemens_mc35i").Timeout(3000));
  int full = 0;
  rig.gsm->OnSmsMemoryFull = [&](TObject*) { ++full; };
  rig.sim->WithModem([](qvsim::Modem& m) { m.SetSmsCapacity("SM", 2); });
  ASSERT_EQ(rig.sim->InjectSms(kDeliverPdu, qvsim::SmsRoute::Store), 1);
  ASSERT_TRUE(rig.gsm->EnableStoreIndicator()) << StringToUtf8(rig.gsm->LastError());
  EXPECT_EQ(Count(rig.sim->GetTranscript().ToModem(), "AT+CMER=3,0,0,1\r"), 1u);
  PumpFor(100);
  EXPECT_EQ(full, 0);
  ASSERT_EQ(rig.sim->InjectSms(kDeliverPdu, qvsim::SmsRoute::Store), 2);
  ASSERT_TRUE(PumpUntil([&] { return full > 0; }));
  EXPECT_EQ(rig.sim->InjectSms(kDeliverPdu, qvsim::SmsRoute::Store), -1);  // refused, told before
  rig.gsm->UpdateSignalInfo();  // other work goes on
  EXPECT_GT(rig.gsm->SignalQuality(), 0);
  PumpFor(100);
  EXPECT_EQ(full, 1);
}

TEST(GsmNetworkParse, IndicatorPlaces) {
  const std::string cind =
      "\r\n+CIND: (\"battchg\",(0-5)),(\"signal\",(0-5)),(\"service\",(0,1)),(\"message\",(0,1)),"
      "(\"call\",(0,1)),(\"roam\",(0,1)),(\"smsfull\",(0,1))\r\n\r\nOK\r\n";
  EXPECT_EQ(qv::gsm::IndicatorIndex(cind, "smsfull"), 7);
  EXPECT_EQ(qv::gsm::IndicatorIndex(cind, "BATTCHG"), 1);
  EXPECT_EQ(qv::gsm::IndicatorIndex(cind, "memfull"), 0);
  EXPECT_EQ(qv::gsm::IndicatorIndex("\r\nERROR\r\n", "smsfull"), 0);
  EXPECT_EQ(qv::gsm::IndicatorIndex("+CIND: (\"smsfull", "smsfull"), 0) << "an answer cut short";
}

// ---------------------------------------------------------------------------
// Calls

TEST(GsmCallsE2E, CallStateAndTones) {
  TGsmRig rig(TRigOptions().Persona("quectel_ec25").Timeout(3000));
  auto calls = rig.gsm->CallList();
  ASSERT_TRUE(calls.has_value()) << StringToUtf8(rig.gsm->LastError());
  EXPECT_TRUE(calls->empty());
  EXPECT_FALSE(rig.gsm->SendTones(u"1"));  // no call: the modem refuses

  ASSERT_TRUE(rig.gsm->MakeCall(u"+4930123"));
  calls = rig.gsm->CallList();
  ASSERT_TRUE(calls && calls->size() == 1u);
  EXPECT_EQ((*calls)[0].Index, 1);
  EXPECT_FALSE((*calls)[0].Incoming);
  EXPECT_EQ((*calls)[0].State, TCallState::csActive);
  EXPECT_EQ(StringToUtf8((*calls)[0].Number), "+4930123");
  ASSERT_TRUE(rig.gsm->SendTones(u"12*#A")) << StringToUtf8(rig.gsm->LastError());
  EXPECT_FALSE(rig.gsm->SendTones(u"1;ATH"));  // refused before anything goes out
  EXPECT_EQ(rig.sim->WithModem([](qvsim::Modem& m) { return m.Tones(); }), "12*#A");
  rig.gsm->Hungup();

  rig.sim->InjectRing("+491701234567", 1);
  ASSERT_TRUE(PumpUntil([&] { return rig.sim->WithModem([](qvsim::Modem& m) { return m.Ringing(); }); }));
  calls = rig.gsm->CallList();
  ASSERT_TRUE(calls && calls->size() == 1u);
  EXPECT_TRUE((*calls)[0].Incoming);
  EXPECT_EQ((*calls)[0].State, TCallState::csIncoming);
}
