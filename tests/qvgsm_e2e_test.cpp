// End to end: TqvGsm on a real TqvComm over the modem simulator's pseudo-
// terminal. PDUs are checked against, and made by, python3-gammu.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <set>
#include <sstream>

#include "qvgsmrig.h"
#include "qvmodeldrivers.h"

using namespace qvgsmtest;
using namespace std::chrono_literals;
using qv::StringToUtf8;
using qv::Utf8ToString;

namespace {

// The oracle's reading of submitted PDUs: one line per PDU,
// "type|number|text-as-hex-utf8|part|parts|id". The junk the binding may pad
// a text with can hold lone surrogates, which must not stop the print.
std::vector<std::string> OracleDecode(const std::vector<std::string>& pdus) {
  std::string py = "import gammu, binascii\n";
  for (const auto& p : pdus) {
    py += "d = gammu.DecodePDU(binascii.unhexlify('" + p + "'))\n";
    py += "u = d['UDH']\n";
    py += "print('%s|%s|%s|%d|%d|%d' % (d['Type'], d['Number'], (d['Text'] or '').encode('utf-8', 'surrogatepass').hex(),"
          " u['PartNumber'], u['AllParts'], u['ID8bit']))\n";
  }
  std::vector<std::string> lines;
  std::istringstream in(RunPython(py));
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

std::string HexUtf8(const std::string& s) {
  static const char* d = "0123456789abcdef";
  std::string r;
  for (unsigned char c : s) r += {d[c >> 4], d[c & 15]};
  return r;
}

// A DELIVER PDU made by the oracle, with the modem's "00" service centre prefix.
std::string OracleDeliver(const std::string& number, const std::string& textUtf8, bool ucs2) {
  const std::string py =
      "import gammu, binascii\n"
      "d = gammu.DecodePDU(binascii.unhexlify('07911326040000F0040B911346610089F60000208062917314080CC8F71D14969741F977FD07'))\n"
      "d['Text'] = bytes.fromhex('" + HexUtf8(textUtf8) + "').decode('utf-8')\n"
      "d['Number'] = '" + number + "'\n" +
      (ucs2 ? "d['Coding'] = 'Unicode_No_Compression'\n" : "") +
      "e = binascii.hexlify(gammu.EncodePDU(d, Layout='Deliver')).decode().upper()\n"
      "n = int(e[0:2], 16)\n"
      "print('00' + e[2 + 2 * n:])\n";
  std::string out = RunPython(py);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

std::vector<std::string> Submitted(TGsmRig& rig) {
  return rig.sim->WithModem([](qvsim::Modem& m) { return m.Submitted(); });
}

}  // namespace

// ---------------------------------------------------------------------------
// Initialisation

TEST(GsmE2E, AutodetectFindsEveryModelDriver) {
  const auto& personas = qvsim::Personas();
  ASSERT_EQ(personas.size(), qv::kModelDrivers.size());
  for (size_t i = 0; i < personas.size(); ++i) {
    SCOPED_TRACE(personas[i].caption);
    TGsmRig rig(TRigOptions().Persona(personas[i].id).Timeout(400));
    EXPECT_EQ(rig.AfterInitCount(), 1) << rig.log.All();
    EXPECT_EQ(rig.gsm->DriverIndex(), static_cast<int32_t>(i));
    EXPECT_EQ(rig.log.Grep("=== Autodetect driver: " + personas[i].caption).size(), 1u);
    EXPECT_FALSE(rig.gsm->DeviceIMEI().empty());
    EXPECT_FALSE(rig.gsm->MemoryRead().empty());
    EXPECT_FALSE(rig.gsm->IsBusy());
  }
}

// A modem that no maker's driver claims works on the generic driver.
TEST(GsmE2E, UnknownModemLandsOnTheGenericDriver) {
  TGsmRig rig(TRigOptions().Persona("generic").Timeout(300));
  EXPECT_EQ(rig.AfterInitCount(), 1);
  EXPECT_EQ(rig.gsm->DriverIndex(), rig.gsm->DriverCount() - 1);
  EXPECT_EQ(rig.log.Grep("qvGsm: Check driver: ").size(), qv::kModelDrivers.size());
  EXPECT_EQ(rig.log.Grep("qvGsm: === Autodetect driver: Generic 3GPP modem").size(), 1u);
  EXPECT_EQ(StringToUtf8(rig.gsm->DeviceIMSI()), "262019876543210");
  EXPECT_EQ(rig.gsm->MemReadTotal(), 30);
  EXPECT_EQ(rig.gsm->SignalQuality(), 21);
  EXPECT_EQ(rig.gsm->SignalQualityMax(), 31);
  EXPECT_FALSE(rig.gsm->IsBusy());
}

TEST(GsmE2E, ClosingClearsDeviceInformation) {
  TGsmRig rig(TRigOptions().Timeout(300));
  ASSERT_FALSE(rig.gsm->DeviceName().empty());
  rig.Close();
  EXPECT_TRUE(rig.gsm->DeviceName().empty());
  EXPECT_TRUE(rig.gsm->DeviceIMEI().empty());
  EXPECT_TRUE(rig.gsm->DeviceManufacturer().empty());
  EXPECT_FALSE(rig.gsm->IsBusy());
}

struct TPinCase {
  const char* name;
  qvsim::PinState state;
  const char16_t* pin;
  bool expectSent;
  bool expectError;
  qvsim::PinState after;
  TGsmPinStatus status;  // PINStatus follows the last "+CPIN:" answer, the check after the PIN included
};

TEST(GsmE2E, PinFlows) {
  const TPinCase cases[] = {
      {"ready", qvsim::PinState::Ready, u"1234", false, false, qvsim::PinState::Ready, TGsmPinStatus::pinReady},
      {"needed and given", qvsim::PinState::SimPin, u"1234", true, false, qvsim::PinState::Ready,
       TGsmPinStatus::pinReady},
      {"needed and missing", qvsim::PinState::SimPin, u"", false, true, qvsim::PinState::SimPin,
       TGsmPinStatus::pinPIN},
      {"not digits", qvsim::PinState::SimPin, u"12\"4", false, true, qvsim::PinState::SimPin, TGsmPinStatus::pinPIN},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto o = TRigOptions().Driver(0).Timeout(400).Pin(c.pin).Deferred();
    o.SimPin("1234", c.state);
    TGsmRig rig(o);
    std::vector<std::string> errors;
    rig.gsm->OnGsmError = [&](TObject*, const std::u16string& s) { errors.push_back(StringToUtf8(s)); };
    rig.Open(false);
    // Without a PIN the SIM refuses the later lines: the initialisation ends there.
    ASSERT_TRUE(PumpUntil([&] { return !rig.gsm->IsBusy() && (rig.AfterInitCount() > 0 || !errors.empty()); }));
    EXPECT_EQ(rig.AfterInitCount(), c.expectError ? 0 : 1);
    const std::string sent = rig.sim->GetTranscript().ToModem();
    EXPECT_EQ(Count(sent, "AT+CPIN=") > 0, c.expectSent);
    EXPECT_EQ(!errors.empty(), c.expectError);
    EXPECT_EQ(rig.sim->WithModem([](qvsim::Modem& m) { return m.GetPinState(); }), c.after);
    EXPECT_EQ(rig.gsm->PINStatus(), c.status);
    EXPECT_FALSE(rig.gsm->IsBusy());
  }
}

// A rejected PIN is never sent again until the application sets a new one.
TEST(GsmE2E, WrongPinIsNotResentOnReopen) {
  auto o = TRigOptions().Driver(0).Timeout(400).Pin(u"9999").Deferred();
  o.SimPin("1234", qvsim::PinState::SimPin);
  TGsmRig rig(o);
  rig.Open(false);
  PumpUntil([&] { return !rig.gsm->IsBusy(); });
  EXPECT_EQ(rig.log.Grep("qvGsm: Enter PIN/PUK is failed!").size(), 1u);
  EXPECT_EQ(rig.AfterInitCount(), 0);
  // The desktop program writes the PIN on every open: the same value keeps its rejection.
  for (int i = 0; i < 3; ++i) {
    rig.Close();
    rig.gsm->SetPIN(u"9999");
    rig.Open(false);
    PumpUntil([&] { return !rig.gsm->IsBusy(); });
  }
  rig.Close();
  EXPECT_EQ(Count(rig.sim->GetTranscript().ToModem(), "AT+CPIN=9999"), 1u);
  EXPECT_EQ(rig.sim->WithModem([](qvsim::Modem& m) { return m.PinAttempts(); }), 2);
  // A new PIN is tried.
  rig.gsm->SetPIN(u"1234");
  ASSERT_TRUE(rig.Open());
  EXPECT_EQ(rig.sim->WithModem([](qvsim::Modem& m) { return m.GetPinState(); }), qvsim::PinState::Ready);
}

TEST(GsmE2E, PinNeverReachesTheLogInClear) {
  auto o = TRigOptions().Driver(0).Timeout(400).Pin(u"2468").Deferred();
  o.SimPin("2468", qvsim::PinState::SimPin);
  TGsmRig rig(o);
  rig.comm->SetLog(&rig.log);  // the port dumps every write and every read in hex
  ASSERT_TRUE(rig.Open());
  EXPECT_EQ(Count(rig.sim->GetTranscript().ToModem(), "AT+CPIN=2468"), 1u);
  EXPECT_EQ(rig.log.All().find("2468"), std::string::npos) << rig.log.All();
  EXPECT_EQ(rig.log.All().find("32 34 36 38"), std::string::npos) << rig.log.All();
  EXPECT_EQ(rig.log.Grep("qvGsm: send:AT+CPIN=****").size(), 1u);
  EXPECT_EQ(rig.log.Grep("41 54 2B 43 50 49 4E 3D ** ** ** ** 0D").size(), 1u) << rig.log.All();
}

// ---------------------------------------------------------------------------
// Sending

struct TSendCase {
  const char* name;
  std::string text;  // UTF-8
  bool pduForm;
  size_t parts;
};

TEST(GsmE2E, SendsSingleAndConcatenatedMessages) {
  const std::string ru(300, 'x');
  std::string cyr;
  for (int i = 0; i < 40; ++i) cyr += "Жёлтый ";
  const TSendCase cases[] = {
      {"7-bit single", "Hello [world] {1}", false, 1},
      {"7-bit concatenated", std::string(200, 'a'), false, 2},
      {"UCS2 single", "Привет, мир!", false, 1},
      {"UCS2 concatenated", cyr, false, 5},
      {"PDU form, 7-bit", "from the record", true, 1},
      {"PDU form, concatenated", ru, true, 2},
  };
  TGsmRig rig(TRigOptions().Timeout(500));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t before = Submitted(rig).size();
    std::u16string ref;
    if (c.pduForm) {
      TqvPduSms sms(false);
      sms.SetPhone(u"+12345678901");
      sms.SetAutoCutText(true);
      sms.SetText(Utf8ToString(c.text));
      ref = rig.gsm->SmsSendWaitRefID(sms);
    } else {
      ref = rig.gsm->SmsSendWaitRefID(u"+12345678901", Utf8ToString(c.text), false);
    }
    EXPECT_FALSE(ref.empty()) << rig.log.All();
    EXPECT_FALSE(rig.gsm->IsBusy());
    EXPECT_EQ(rig.gsm->AwaitingCount(), 0u);
    auto pdus = Submitted(rig);
    pdus.erase(pdus.begin(), pdus.begin() + static_cast<std::ptrdiff_t>(before));
    ASSERT_EQ(pdus.size(), c.parts);
    std::string joined;
    std::set<std::string> ids;
    const auto decoded = OracleDecode(pdus);
    ASSERT_EQ(decoded.size(), c.parts);
    for (size_t i = 0; i < decoded.size(); ++i) {
      std::vector<std::string> f;
      std::istringstream in(decoded[i]);
      for (std::string x; std::getline(in, x, '|');) f.push_back(x);
      ASSERT_EQ(f.size(), 6u) << decoded[i];
      EXPECT_EQ(f[0], "Submit");
      EXPECT_EQ(f[1], "+12345678901");
      joined += f[2];
      if (c.parts > 1) {
        EXPECT_EQ(f[3], std::to_string(i + 1));
        EXPECT_EQ(f[4], std::to_string(c.parts));
        ids.insert(f[5]);
      }
    }
    // python3-gammu's binding counts each extension character of the 7-bit
    // alphabet twice in its text length and pads the text with junk; the
    // message itself is compared in full.
    const bool extension = c.text.find_first_of("[]{}") != std::string::npos;
    EXPECT_EQ(extension ? joined.substr(0, HexUtf8(c.text).size()) : joined, HexUtf8(c.text));
    if (c.parts > 1) {
      EXPECT_EQ(ids.size(), 1u) << "one reference for all parts";
    }
  }
}

TEST(GsmE2E, CmsErrorFailsTheSendAtOnce) {
  TGsmRig rig(TRigOptions().Timeout(2000));
  std::vector<std::string> errors;
  rig.gsm->OnGsmError = [&](TObject*, const std::u16string& s) { errors.push_back(StringToUtf8(s)); };
  rig.sim->WithModem([](qvsim::Modem& m) {
    m.FailSubmissions(500, 1);
    return 0;
  });
  const auto start = std::chrono::steady_clock::now();
  rig.gsm->SmsSend(u"+12345678901", std::u16string(200, u'b'), false);  // two parts, the first refused
  EXPECT_FALSE(rig.gsm->SmsSendWait());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms) << "ended by the error, not by a time-out";
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], " 500");
  EXPECT_FALSE(rig.gsm->IsBusy());
  EXPECT_EQ(rig.gsm->AwaitingCount(), 0u) << "the second part left the awaiting list";
  EXPECT_TRUE(Submitted(rig).empty());
  // The component goes on working.
  EXPECT_FALSE(rig.gsm->SmsSendWaitRefID(u"+12345678901", u"again", false).empty());
}

TEST(GsmE2E, SendsThatDoNotFitAreRefused) {
  TGsmRig rig(TRigOptions().Timeout(500));
  std::vector<std::string> errors;
  rig.gsm->OnGsmError = [&](TObject*, const std::u16string& s) { errors.push_back(StringToUtf8(s)); };
  rig.sim->GetTranscript().Clear();
  TqvPduSms cut(false);
  cut.SetPhone(u"+12345678901");
  cut.SetText(std::u16string(200, u'c'));  // AutoCutText clear
  EXPECT_TRUE(rig.gsm->SmsSendWaitRefID(cut).empty());
  EXPECT_TRUE(rig.gsm->SmsSendWaitRefID(u"", u"to nobody", false).empty());
  EXPECT_TRUE(rig.gsm->SmsSendWaitRefID(u"+1234;AT+CFUN=0", u"injected", false).empty());
  EXPECT_TRUE(rig.gsm->SmsSendWaitRefID(u"+1234", std::u16string(256 * 153 + 1, u'd'), false).empty());
  EXPECT_EQ(errors.size(), 4u);
  EXPECT_EQ(rig.sim->GetTranscript().ToModem().find("CMGS"), std::string::npos);
  EXPECT_FALSE(rig.gsm->IsBusy());
}

// ---------------------------------------------------------------------------
// Receiving

struct TReceived {
  std::string mem;
  int index;
  std::string text;
  bool hasRecord;
  bool report;
};

class TReceiver {
 public:
  explicit TReceiver(TqvGsm& g) {
    g.OnSmsReceived = [this](TObject*, const std::u16string& mem, int32_t id, TqvPduSms* sms) {
      std::lock_guard lk(m);
      got.push_back({StringToUtf8(mem), id, sms ? StringToUtf8(sms->Text()) : "", sms != nullptr,
                     sms && sms->Report()});
    };
  }
  std::vector<TReceived> Got() {
    std::lock_guard lk(m);
    return got;
  }
  size_t Size() {
    std::lock_guard lk(m);
    return got.size();
  }

 private:
  std::mutex m;
  std::vector<TReceived> got;
};

TEST(GsmE2E, ReceivesStoredAndDirectMessages) {
  const std::string pdu7 = OracleDeliver("+491701234567", "Stored hello", false);
  const std::string pduU = OracleDeliver("+491701234567", "Прямо", true);
  ASSERT_FALSE(pdu7.empty());
  {
    SCOPED_TRACE("stored, notify only");
    TGsmRig rig(TRigOptions().Timeout(500));
    TReceiver r(*rig.gsm);
    const int index = rig.sim->InjectSms(pdu7, qvsim::SmsRoute::Store);
    ASSERT_TRUE(PumpUntil([&] { return r.Size() == 1; }));
    EXPECT_EQ(r.Got()[0].mem, "SM");
    EXPECT_EQ(r.Got()[0].index, index);
    EXPECT_FALSE(r.Got()[0].hasRecord);
    EXPECT_EQ(StringToUtf8(rig.gsm->SmsGetText(index)), "Stored hello");
    EXPECT_TRUE(rig.gsm->SmsDelete(index));
    EXPECT_TRUE(rig.gsm->SmsGet(index).IsEmpty());
    EXPECT_FALSE(rig.gsm->IsBusy());
  }
  {
    SCOPED_TRACE("stored, read at once");
    TGsmRig rig(TRigOptions().Timeout(500).Mode(TgsmNewSmsMode::nsmRead));
    TReceiver r(*rig.gsm);
    rig.sim->InjectSms(pdu7, qvsim::SmsRoute::Store);
    ASSERT_TRUE(PumpUntil([&] { return r.Size() == 1; }));
    EXPECT_EQ(r.Got()[0].text, "Stored hello");
    EXPECT_EQ(StringToUtf8(rig.gsm->MemoryRead()), "SM");
  }
  {
    SCOPED_TRACE("delivered directly, confirmed");
    TGsmRig rig(TRigOptions().Persona("siemens_mc35i").Timeout(500).Mode(TgsmNewSmsMode::nsmSkipSave));
    TReceiver r(*rig.gsm);
    rig.sim->InjectSms(pduU, qvsim::SmsRoute::Deliver);
    rig.sim->InjectStatusReport("000624" "0B911346610089F6" "2080629173140820806291731408" "00",
                                qvsim::SmsRoute::Deliver);
    ASSERT_TRUE(PumpUntil([&] { return r.Size() == 2; })) << rig.log.All();
    // Each notification has its own worker, and the events keep the notifications' order.
    const auto got = r.Got();
    EXPECT_EQ(got[0].mem, "");
    EXPECT_EQ(got[0].index, 0);
    EXPECT_EQ(got[0].text, "Прямо");
    EXPECT_FALSE(got[0].report);
    EXPECT_TRUE(got[1].report);
    EXPECT_EQ(got[1].mem, "");
    PumpUntil([&] { return Count(rig.sim->GetTranscript().ToModem(), "AT+CNMA") == 2; });
    EXPECT_EQ(Count(rig.sim->GetTranscript().ToModem(), "AT+CNMA"), 2u);
    PumpUntil([&] { return !rig.gsm->IsBusy(); });
    EXPECT_FALSE(rig.gsm->IsBusy());
  }
}

TEST(GsmE2E, CellBroadcastIsNoSms) {
  const std::pair<const char*, const char*> cases[] = {
      {"siemens_mc35i", "\r\n+CBM: 88\r\n001000DD001133DAED46ABD56AB5186CD668341A8D46A3D168341A8D46A3D100\r\n"},
      {"nokia6230i", "\r\n+CBSI: \"BM\",1\r\n"},
  };
  for (const auto& [persona, bytes] : cases) {
    SCOPED_TRACE(persona);
    TGsmRig rig(TRigOptions().Persona(persona).Timeout(500).Mode(TgsmNewSmsMode::nsmRead));
    TReceiver r(*rig.gsm);
    std::vector<std::string> other;
    rig.gsm->OnUnsolicited = [&](TObject*, const std::u16string& s) { other.push_back(StringToUtf8(s)); };
    rig.sim->GetTranscript().Clear();
    rig.sim->InjectRaw(bytes);
    ASSERT_TRUE(PumpUntil([&] { return other.size() == 1; })) << rig.log.All();
    PumpFor(100);
    EXPECT_EQ(r.Size(), 0u);
    EXPECT_EQ(rig.sim->GetTranscript().ToModem(), "") << "nothing read, nothing confirmed";
  }
}

TEST(GsmE2E, ListsReadsAndDeletes) {
  TGsmRig rig(TRigOptions().Timeout(500));
  std::map<int, std::string> stored;
  for (int i = 0; i < 5; ++i) {
    const std::string text = "message " + std::to_string(i);
    const int index = rig.sim->WithModem([&](qvsim::Modem& m) {
      return m.StoreSms("SM", OracleDeliver("+4917012345", text, false), 1);
    });
    stored[index] = text;
  }
  for (bool wait : {false, true}) {
    SCOPED_TRACE(wait ? "waiting" : "queued");
    std::map<int, std::string> listed;
    int endMarks = 0;
    rig.gsm->OnSmsListItem = [&](TObject*, const std::u16string& mem, int32_t id, TqvPduSms* sms) {
      if (!sms) {
        EXPECT_TRUE(mem.empty());
        EXPECT_EQ(id, 0);
        ++endMarks;
        return;
      }
      EXPECT_EQ(StringToUtf8(mem), "SM");
      listed[id] = StringToUtf8(sms->Text());
    };
    rig.gsm->SmsList(wait);
    if (!wait) {
      ASSERT_TRUE(PumpUntil([&] { return endMarks == 1; }));
    }
    EXPECT_EQ(listed, stored);
    EXPECT_EQ(endMarks, wait ? 0 : 1);
    EXPECT_FALSE(rig.gsm->IsBusy());
  }
  rig.gsm->UpdateMemoryState();
  EXPECT_EQ(rig.gsm->MemReadUsed(), 5);
  // A slot the store does not have: "+CMS ERROR" fails the command.
  EXPECT_FALSE(rig.gsm->SmsDelete(999));
  EXPECT_EQ(StringToUtf8(rig.gsm->LastError()), "SmsDelete: AT+CMGD=999: +CMS ERROR: 321");
}

// A notification in the middle of an activity leaves that activity whole.
TEST(GsmE2E, NotificationsDuringInitialisationAndListing) {
  TGsmRig rig(TRigOptions().Timeout(1500).Deferred());
  TReceiver r(*rig.gsm);
  std::vector<std::string> rings;
  rig.gsm->OnRing = [&](TObject*, const std::u16string& s) { rings.push_back(StringToUtf8(s)); };
  rig.sim->DelayReplyTo("+CGSN", 300ms);
  std::thread inject([&] {
    rig.sim->GetTranscript().WaitFor(qvsim::Transcript::Direction::ToModem, "AT+CGSN", 10s);
    rig.sim->InjectRaw("\r\n+CMTI: \"SM\",7\r\n");
    rig.sim->InjectRaw("\r\nRING\r\n\r\n+CLIP: \"+4930123456\",145\r\n");
  });
  ASSERT_TRUE(rig.Open());
  inject.join();
  EXPECT_EQ(rig.AfterInitCount(), 1);
  EXPECT_EQ(StringToUtf8(rig.gsm->DeviceIMEI()), "356938035643809");
  ASSERT_TRUE(PumpUntil([&] { return r.Size() == 1 && !rings.empty(); }));
  EXPECT_EQ(r.Got()[0].index, 7);
  EXPECT_EQ(rings[0], "+4930123456");

  rig.sim->WithModem([&](qvsim::Modem& m) { return m.StoreSms("SM", OracleDeliver("+4917", "listed", false), 1); });
  rig.sim->DelayReplyTo("+CMGL", 300ms);
  int items = 0, marks = 0;
  rig.gsm->OnSmsListItem = [&](TObject*, const std::u16string&, int32_t, TqvPduSms* sms) {
    if (sms)
      ++items;
    else
      ++marks;
  };
  std::thread inject2([&] {
    rig.sim->GetTranscript().WaitFor(qvsim::Transcript::Direction::ToModem, "AT+CMGL", 10s);
    rig.sim->InjectRaw("\r\n+CMTI: \"SM\",8\r\n");
  });
  rig.gsm->SmsList(false);
  const bool ended = PumpUntil([&] { return marks == 1; });
  inject2.join();
  ASSERT_TRUE(ended);
  EXPECT_EQ(items, 1);
  ASSERT_TRUE(PumpUntil([&] { return r.Size() == 2; }));
  EXPECT_EQ(r.Got()[1].index, 8);
  EXPECT_FALSE(rig.gsm->IsBusy());
}

struct TBurstCase {
  const char* name;
  bool direct;
};

TEST(GsmE2E, BurstOfHundredIncomingMessages) {
  for (const TBurstCase c : {TBurstCase{"stored", false}, TBurstCase{"direct", true}}) {
    SCOPED_TRACE(c.name);
    TGsmRig rig(TRigOptions().Persona("siemens_mc35i").Timeout(1000).Mode(c.direct ? TgsmNewSmsMode::nsmSkipSave : TgsmNewSmsMode::nsmNotifyOnly));
    TReceiver r(*rig.gsm);
    std::string burst;
    const std::string pdu = OracleDeliver("+4917", "burst", false);
    for (int i = 1; i <= 100; ++i)
      burst += c.direct ? "\r\n+CMT: ," + std::to_string(pdu.size() / 2 - 1) + "\r\n" + pdu + "\r\n"
                        : "\r\n+CMTI: \"SM\"," + std::to_string(i) + "\r\n";
    rig.sim->InjectRaw(burst);
    ASSERT_TRUE(PumpUntil([&] { return r.Size() >= 100; }, 60000)) << r.Size();
    PumpFor(200);
    const auto got = r.Got();
    EXPECT_EQ(got.size(), 100u);
    if (!c.direct) {
      std::vector<int> indexes, expected;
      for (const auto& g : got) indexes.push_back(g.index);
      for (int i = 1; i <= 100; ++i) expected.push_back(i);
      EXPECT_EQ(indexes, expected) << "in the order the notifications came";
    } else {
      for (const auto& g : got) EXPECT_EQ(g.text, "burst");
      PumpUntil([&] { return Count(rig.sim->GetTranscript().ToModem(), "AT+CNMA") == 100; }, 30000);
      EXPECT_EQ(Count(rig.sim->GetTranscript().ToModem(), "AT+CNMA"), 100u);
    }
  }
}

// ---------------------------------------------------------------------------
// Losses and time-outs

TEST(GsmE2E, DeviceLostDuringSendAndListing) {
  for (const char* command : {"+CMGS", "+CMGL"}) {
    SCOPED_TRACE(command);
    TGsmRig rig(TRigOptions().Timeout(800));
    rig.sim->DropOnCommand(command);
    if (std::string(command) == "+CMGS") {
      rig.gsm->SmsSend(u"+12345678901", u"lost", false);
      EXPECT_FALSE(rig.gsm->SmsSendWait());
    } else {
      rig.gsm->SmsList(true);
    }
    PumpUntil([&] { return !rig.comm->Active(); });
    EXPECT_FALSE(rig.gsm->IsBusy());
    EXPECT_EQ(rig.gsm->AwaitingCount(), 0u);
    ASSERT_FALSE(rig.sim->BringUp());
    rig.sim->DropOnCommand("");
    rig.comm->SetDevicePath(Utf8ToString(rig.sim->DevicePath()));
    rig.Close();
    ASSERT_TRUE(rig.Open());
    EXPECT_FALSE(rig.gsm->SmsSendWaitRefID(u"+12345678901", u"back again", false).empty());
    EXPECT_FALSE(rig.gsm->IsBusy());
  }
}

TEST(GsmE2E, DiagnosticThatTimesOutLeavesIdle) {
  TGsmRig rig(TRigOptions().Timeout(300));
  int ends = 0;
  rig.gsm->OnDiagnostic = [&](TObject*, const std::u16string& at, const std::u16string&, bool&) {
    if (at.empty()) ++ends;
  };
  rig.sim->SetSilent(true);
  rig.gsm->RunDiagnostic();
  EXPECT_TRUE(rig.gsm->IsBusy());
  ASSERT_TRUE(PumpUntil([&] { return ends == 1; }));
  EXPECT_FALSE(rig.gsm->IsBusy());
  rig.sim->SetSilent(false);
  EXPECT_TRUE(rig.gsm->SmsDelete(1) || !rig.gsm->IsBusy());
}

// ---------------------------------------------------------------------------
// Handlers that call synchronous operations

// A headless program: initialisation, a listing, a read, a send and a ring,
// with a synchronous call in every handler. Each call gets its reply; nothing
// waits out a time-out.
TEST(GsmE2E, HandlersCallSynchronousOperations) {
  std::vector<std::string> steps;
  std::vector<int> listed;
  // Driver 0 reads the battery, as the generic driver does not.
  TGsmRig rig(TRigOptions().Timeout(5000).Driver(0).Deferred());
  for (const char* text : {"first", "second"})
    rig.sim->WithModem([&](qvsim::Modem& m) { return m.StoreSms("SM", OracleDeliver("+4917", text, false), 1); });
  TqvGsm& gsm = *rig.gsm;
  gsm.OnAfterInit = [&](TObject*) {
    rig.sim->WithModem([](qvsim::Modem& m) {
      m.SetSignal(9, 99);
      return 0;
    });
    gsm.UpdateSignalInfo();
    steps.push_back("init: signal " + std::to_string(gsm.SignalQuality()));
  };
  gsm.OnSmsListItem = [&](TObject*, const std::u16string&, int32_t id, TqvPduSms* sms) {
    if (sms) {
      listed.push_back(id);
      steps.push_back("item " + StringToUtf8(sms->Text()) + ": " + StringToUtf8(gsm.SmsGetText(id)));
    } else {
      steps.push_back("end: " + StringToUtf8(gsm.SmsGet(listed.at(0)).Text()));
    }
  };
  gsm.OnSmsSent = [&](TObject*, const std::u16string& ref, int32_t, TqvPduSms*) {
    rig.sim->WithModem([](qvsim::Modem& m) {
      m.SetBattery(0, 42);
      return 0;
    });
    gsm.UpdateBatteryInfo();
    steps.push_back("sent" + StringToUtf8(ref) + ": battery " + std::to_string(gsm.BatteryLevel()));
  };
  gsm.OnRing = [&](TObject*, const std::u16string& number) {
    const std::string reply = StringToUtf8(gsm.CmdSendAndWaitResult("AT+CGMI<cr>"));
    const auto lines = qv::SplitLines(qv::TrimView(std::string_view(reply)));
    steps.push_back("ring " + StringToUtf8(number) + ": " + (lines.empty() ? "" : std::string(lines.front())) + " " +
                    (lines.empty() ? "" : std::string(lines.back())));
  };

  rig.Open(false);
  ASSERT_TRUE(PumpUntil([&] { return steps.size() == 1; })) << rig.log.All();
  gsm.SmsList(false);
  ASSERT_TRUE(PumpUntil([&] { return steps.size() == 4; })) << rig.log.All();
  const std::u16string ref = gsm.SmsSendWaitRefID(u"+12345678901", u"hello", false);
  rig.sim->InjectRaw("\r\nRING\r\n\r\n+CLIP: \"+4930123456\",145\r\n");
  ASSERT_TRUE(PumpUntil([&] { return steps.size() == 6; })) << rig.log.All();

  ASSERT_EQ(steps.size(), 6u);
  EXPECT_EQ(steps[0], "init: signal 9");
  EXPECT_EQ(steps[1], "item first: first");
  EXPECT_EQ(steps[2], "item second: second");
  EXPECT_EQ(steps[3], "end: first");
  EXPECT_EQ(steps[4], "sent" + StringToUtf8(ref) + ": battery 42") << "delivered before the send returned";
  EXPECT_EQ(steps[5], "ring +4930123456: " + StringToUtf8(gsm.DeviceManufacturer()) + " OK");
  EXPECT_TRUE(rig.log.Grep("Timeout!!!").empty()) << rig.log.All();
  EXPECT_TRUE(rig.log.Grep("refused").empty()) << rig.log.All();
  EXPECT_FALSE(gsm.IsBusy());
}

// A handler of the state change that starts an operation as a queue ends,
// here on the timer's thread: it runs once the queue has let go of the turn.
TEST(GsmE2E, QueueEndHandlerStartsAnOperation) {
  int ends = 0, signal = -1;
  TGsmRig rig(TRigOptions().Timeout(300));
  TqvGsm& gsm = *rig.gsm;
  gsm.OnDiagnostic = [&](TObject*, const std::u16string& at, const std::u16string&, bool&) { ends += at.empty(); };
  rig.sim->SetSilent(true);
  gsm.RunDiagnostic();
  gsm.OnGsmChangeState = [&](TObject*) {
    if (gsm.IsBusy() || signal >= 0) return;
    rig.sim->SetSilent(false);
    gsm.UpdateSignalInfo();
    signal = gsm.SignalQuality();
  };
  ASSERT_TRUE(PumpUntil([&] { return ends == 1 && signal >= 0; }));
  EXPECT_EQ(signal, 21);
  EXPECT_EQ(rig.log.Grep("Timeout!!!").size(), 1u) << "the diagnostic's own line only";
}

// OnDiagnostic for each line runs inside the delivery of the reply (its
// flBreak steers the queue): a synchronous request from there fails at once.
TEST(GsmE2E, RequestFromInsideTheDeliveryFailsAtOnce) {
  std::vector<bool> results;
  std::vector<std::string> reasons;
  TGsmRig rig(TRigOptions().Timeout(2000));
  TqvGsm& gsm = *rig.gsm;
  gsm.OnDiagnostic = [&](TObject*, const std::u16string& at, const std::u16string&, bool&) {
    if (at.empty() || !results.empty()) return;
    results.push_back(gsm.SmsDelete(1));
    reasons.push_back(StringToUtf8(gsm.LastError()));
  };
  gsm.RunDiagnostic();
  ASSERT_TRUE(PumpUntil([&] { return !gsm.IsBusy(); }, 20000));
  EXPECT_EQ(results, std::vector<bool>{false});
  ASSERT_EQ(reasons.size(), 1u);
  EXPECT_NE(reasons[0].find("busy"), std::string::npos) << reasons[0];
  EXPECT_EQ(rig.sim->GetTranscript().ToModem().find("AT+CMGD"), std::string::npos);
  EXPECT_TRUE(rig.log.Grep("Timeout!!!").empty()) << rig.log.All();
}

// Without UseMainThread the lane runs on the port's thread right after each
// delivery; a synchronous request from there fails at once.
TEST(GsmE2E, RequestFromTheReceiveThreadFailsAtOnce) {
  std::mutex m;
  std::condition_variable cv;
  std::string reply = "unset", reason;
  bool onMainThread = true;
  uint32_t tookMs = 0;
  TGsmRig rig(TRigOptions().Timeout(5000).ReceiveThread().Deferred());
  TqvGsm& gsm = *rig.gsm;
  gsm.OnRing = [&](TObject*, const std::u16string&) {
    const uint32_t start = qv::platform::GetTickCount();
    const std::string r = StringToUtf8(gsm.CmdSendAndWaitResult("AT+CGMI<cr>"));
    std::lock_guard lk(m);
    tookMs = qv::platform::TicksSince(start);
    reply = r;
    reason = StringToUtf8(gsm.LastError());
    onMainThread = qv::platform::IsMainThread();
    cv.notify_all();
  };
  ASSERT_TRUE(rig.Open());
  rig.sim->InjectRaw("\r\n+CLIP: \"+4930123456\",145\r\n");
  std::unique_lock lk(m);
  ASSERT_TRUE(cv.wait_for(lk, 3s, [&] { return reply != "unset"; }));
  EXPECT_EQ(reply, "");
  EXPECT_NE(reason.find("called from the receive thread"), std::string::npos) << reason;
  EXPECT_FALSE(onMainThread);
  EXPECT_LT(tookMs, 1000u);
  lk.unlock();
  EXPECT_FALSE(StringToUtf8(gsm.CmdSendAndWaitResult("AT+CGMI<cr>")).empty()) << "and from the main thread it works";
}

// The acknowledgement of a directly delivered message goes out right after
// the final result of the line in progress, ahead of the queue's next line.
TEST(GsmE2E, AcknowledgementGoesAheadOfQueuedLines) {
  int marks = 0;
  TGsmRig rig(TRigOptions().Persona("siemens_mc35i").Timeout(2000).Mode(TgsmNewSmsMode::nsmSkipSave));
  TReceiver received(*rig.gsm);
  rig.gsm->OnSmsListItem = [&](TObject*, const std::u16string&, int32_t, TqvPduSms* sms) { marks += sms == nullptr; };
  const std::string pdu = OracleDeliver("+4917", "direct", false);
  rig.sim->DelayReplyTo("+CPMS", 300ms);
  rig.sim->GetTranscript().Clear();
  std::thread inject([&] {
    rig.sim->GetTranscript().WaitFor(qvsim::Transcript::Direction::ToModem, "AT+CPMS", 10s);
    rig.sim->InjectSms(pdu, qvsim::SmsRoute::Deliver);
  });
  rig.gsm->SmsList(false);
  const bool ended = PumpUntil([&] { return marks == 1 && received.Size() == 1; });
  inject.join();
  ASSERT_TRUE(ended) << rig.log.All();
  // The message comes behind the delayed reply to AT+CPMS, while AT+CMGF runs.
  const std::string sent = rig.sim->GetTranscript().ToModem();
  const size_t cnma = sent.find("AT+CNMA");
  ASSERT_NE(cnma, std::string::npos) << sent;
  EXPECT_LT(sent.find("AT+CPMS"), cnma) << sent;
  EXPECT_LT(cnma, sent.find("AT+CMGL")) << "ahead of the queue's next line: " << sent;
  EXPECT_EQ(received.Got()[0].text, "direct");
}
