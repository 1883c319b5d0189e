// TqvGsm against a scripted device (exact bytes both ways), and its parsers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "platform/qvdispatcher.h"
#include "qvgsm.h"
#include "qvmodeldrivers.h"
#include "qvmemorylog.h"
#include "qvscripteddevice.h"
#include "qvtext.h"

using qv::test::TqvMemoryLog;
using qvtest::TqvScriptedDevice;
using TChunk = TqvScriptedDevice::TChunk;
using qv::StringToUtf8;
namespace pf = qv::platform;

namespace {

bool PumpUntil(const std::function<bool()>& done, uint32_t ms = 3000) {
  const uint32_t start = pf::GetTickCount();
  while (!done()) {
    if (pf::TicksSince(start) > ms) return done();
    pf::PumpFor(5);
  }
  return true;
}

// A component on a scripted device, driver 0 (the Nokia 6230i script), no
// initialisation: the tests run the operations themselves.
struct TRig {
  explicit TRig(int driver = 0, TqvScriptedDevice::TDelivery delivery = TqvScriptedDevice::TDelivery::dlMainThread)
      : device(delivery) {
    gsm.SetLog(&log);
    gsm.SetTimeOut(400);
    gsm.SetFinalGrace(100);
    gsm.SetAutodetect(false);
    gsm.SetDriverIndex(driver);
    device.SetDataProcessor(&gsm);
    device.OpenDevice();  // not active yet: no initialisation
    gsm.SetActive(true);
  }
  ~TRig() { device.Stop(); }

  // Answers by the first table entry whose key starts the sent text; an
  // empty reply is no reply at all.
  void Answer(std::vector<std::pair<std::string, std::string>> table) {
    device.SetResponder([table](const std::string& sent) -> std::vector<TChunk> {
      for (const auto& [key, reply] : table)
        if (sent.rfind(key, 0) == 0) return reply.empty() ? std::vector<TChunk>{} : std::vector<TChunk>{{reply, 0}};
      return {{"\r\nOK\r\n", 0}};
    });
  }
  // Every OnGsmError text, in order.
  std::vector<std::string>& RecordErrors() {
    gsm.OnGsmError = [this](TObject*, const std::u16string& s) { errors.push_back(StringToUtf8(s)); };
    return errors;
  }
  // The modem side of a send: the prompt, then "+CMGS: <ref>" counting up from 11.
  void AnswerSends(std::function<std::string(int ref)> confirm = nullptr) {
    device.SetResponder([this, confirm](const std::string& sent) -> std::vector<TChunk> {
      if (sent.rfind("AT+CMGS=", 0) == 0) return {{"\r\n> ", 0}};
      if (!sent.empty() && sent.back() == '\x1A') {
        const int ref = ++lastRef;
        return {{confirm ? confirm(ref) : "\r\n+CMGS: " + std::to_string(ref) + "\r\n\r\nOK\r\n", 0}};
      }
      return {{"\r\nOK\r\n", 0}};
    });
  }
  size_t SentCount(std::string_view prefix) const {
    size_t n = 0;
    for (const auto& line : device.Sent()) n += line.rfind(prefix, 0) == 0;
    return n;
  }

  std::vector<std::string> errors;
  std::atomic<int> lastRef{11};
  TqvMemoryLog log;
  TqvGsm gsm;
  TqvScriptedDevice device;
};

constexpr char kPduHello[] = "07911326040000F0040B911346610089F60000208062917314080CC8F71D14969741F977FD07";

}  // namespace

TEST(Gsm, StartsWithTheModelDriversAndDefaults) {
  TqvGsm gsm;
  EXPECT_EQ(gsm.DriverCount(), static_cast<int32_t>(qv::kModelDrivers.size()));
  EXPECT_EQ(gsm.DriverIndex(), 0);
  EXPECT_EQ(StringToUtf8(gsm.Driver()->Caption()), "Nokia 6230i");
  EXPECT_TRUE(gsm.Autodetect());
  EXPECT_EQ(gsm.TimeOut(), 7000u);
  EXPECT_EQ(StringToUtf8(gsm.MemoryRead()), "SM");
  EXPECT_EQ(StringToUtf8(gsm.MemoryWrite()), "SM");
  EXPECT_TRUE(gsm.MemorySpecial().empty());
  EXPECT_EQ(gsm.NewSmsMode(), TgsmNewSmsMode::nsmNotifyOnly);
  EXPECT_EQ(gsm.PhoneListType(), TqvPhoneBookType::pltMem);
  EXPECT_FALSE(gsm.IsBusy());
  EXPECT_EQ(qv::gsm::CommandIdOfName(u"GSMSENDSMSPDU"), 301);
  EXPECT_EQ(qv::gsm::CommandIdOfName(u"gsmPhoneBookMem"), 504);
  EXPECT_EQ(qv::gsm::CommandIdOfName(u"gsmNoSuchThing"), 0);
  // Every command line of every built-in driver has a known id.
  for (int d = 0; d < gsm.DriverCount(); ++d)
    for (const auto& e : gsm.GetDriver(d)->slCommands)
      EXPECT_NE(e.Object->idCmd, 0) << StringToUtf8(e.Object->fName);
}

TEST(Gsm, StateStack) {
  TqvGsm gsm;
  int changes = 0;
  gsm.OnGsmChangeState = [&](TObject*) { ++changes; };
  gsm.PushState(1);
  gsm.PushState(6);
  EXPECT_EQ(gsm.CurrentState(), 6);
  EXPECT_EQ(gsm.PopState(), 6);
  EXPECT_EQ(gsm.CurrentState(), 1);
  gsm.SetState(13);
  EXPECT_EQ(gsm.StateStack(), std::vector<int>{13});
  gsm.SetState(0);
  EXPECT_FALSE(gsm.IsBusy());
  EXPECT_EQ(gsm.PopState(), 0);
  EXPECT_EQ(changes, 0) << "the events wait in the lane for the main loop";
  pf::ProcessMessages();
  EXPECT_EQ(changes, 6);
}

TEST(Gsm, ValueChecks) {
  using qv::gsm::CheckValue;
  using qv::gsm::TValueKind;
  struct TCase {
    TValueKind kind;
    std::u16string value;
    bool ok;
  };
  const TCase cases[] = {
      {TValueKind::vkPhone, u"+12345678901", true},   {TValueKind::vkPhone, u"*100#", true},
      {TValueKind::vkPhone, u"", false},              {TValueKind::vkPhone, u"123\r\nAT+CFUN=0", false},
      {TValueKind::vkPhone, u"12\"3", false},         {TValueKind::vkPhone, u"Info", false},
      {TValueKind::vkAlphaPhone, u"Info 24", true},   {TValueKind::vkPin, u"0000", true},
      {TValueKind::vkPin, u"12a4", false},            {TValueKind::vkPin, u"", false},
      {TValueKind::vkUssd, u"*100#", true},           {TValueKind::vkUssd, u"*1\x1A", false},
      {TValueKind::vkUssd, u"*1\"", false},           {TValueKind::vkUssd, u"*1;D123", false},
      {TValueKind::vkUssd, u"\x1B", false},           {TValueKind::vkName, u"Bob", true},
      {TValueKind::vkUssd, u"*1*\u20AC[x]#", true},   {TValueKind::vkUssd, u"*1*\u0416#", false},
      {TValueKind::vkUssd, u"*1\\22#", false},        {TValueKind::vkDial, u"+49*31#ABCDpw,", true},
      {TValueKind::vkDial, u"49+1", false},           {TValueKind::vkDial, u"49T1", false},
      {TValueKind::vkBookNumber, u"+49 (30) 12", true}, {TValueKind::vkBookNumber, u"12\"", false},
      {TValueKind::vkBookNumber, u"", true},          {TValueKind::vkCaption, u"Say \"hi\"; ok", true},
      {TValueKind::vkName, u"Say \"hi\"", false},     {TValueKind::vkCaption, u"A\nB", false},
      {TValueKind::vkCaption, u"A\x1B", false},
  };
  for (const auto& c : cases) EXPECT_EQ(CheckValue(c.kind, c.value).empty(), c.ok) << StringToUtf8(c.value);
}

TEST(Gsm, ExpansionFillsEachPlaceholderOnce) {
  TqvGsm gsm;
  gsm.SetPIN(u"1234");
  gsm.SetMemoryRead(u"ME");
  gsm.fTmpRecName = u"<PIN><cr>";  // a value is never expanded again
  gsm.fTmpRecNo = 7;
  EXPECT_EQ(StringToUtf8(gsm.ExpandCommand(u"AT+CPBW=<PhBkRecNo>,<q><phbkname><q><cr>")),
            "AT+CPBW=7,\"<PIN><cr>\"\r");
  EXPECT_EQ(StringToUtf8(gsm.ExpandCommand(u"AT+CPMS=<q><SMSrmem><q>;+CPIN=<PIN>")), "AT+CPMS=\"ME\";+CPIN=1234");
  gsm.fTmpRecName = u"Bob";
  EXPECT_EQ(StringToUtf8(gsm.ExpandCommand(u"<PhBkNameU>|<PhBkMem>")), "0042006F0062|??");
}

TEST(Gsm, ParsesMemoryState) {
  struct TCase {
    const char* reply;
    bool countsOnly;
    const char* rmem;
    std::array<int, 6> counts;  // read used/total, write used/total, special used/total
  };
  const TCase cases[] = {
      {"+CPMS: \"SM\",3,20,\"ME\",0,100,\"SM\",3,20", false, "SM", {3, 20, 0, 100, 3, 20}},
      {"+CPMS: 3,30,3,30,0,50", true, "SM", {3, 30, 3, 30, 0, 50}},
      {"+CPMS: 3,30", true, "SM", {3, 30, -1, -1, -1, -1}},
      {"+CPMS: \"ME\",x,150", false, "ME", {-1, 150, -1, -1, -1, -1}},
  };
  for (const auto& c : cases) {
    TqvGsm gsm;
    gsm.ParseMemoryState(c.reply, c.countsOnly);
    EXPECT_EQ(StringToUtf8(gsm.MemoryRead()), c.rmem) << c.reply;
    const std::array<int, 6> got = {gsm.MemReadUsed(),  gsm.MemReadTotal(), gsm.MemWriteUsed(),
                                    gsm.MemWriteTotal(), gsm.MemSpecUsed(),  gsm.MemSpecTotal()};
    EXPECT_EQ(got, c.counts) << c.reply;
  }
}

TEST(Gsm, DetectsPinStatusAndParsesStatusReplies) {
  const std::pair<const char*, TGsmPinStatus> pins[] = {
      {"\r\n+CPIN: READY\r\n\r\nOK\r\n", TGsmPinStatus::pinReady},
      {"\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n", TGsmPinStatus::pinPIN},
      {"\r\n+CPIN: SIM PIN2\r\n\r\nOK\r\n", TGsmPinStatus::pinPIN2},
      {"\r\n+CPIN: SIM PUK\r\n\r\nOK\r\n", TGsmPinStatus::pinPUK},
      {"\r\n+CME ERROR: 10\r\n", TGsmPinStatus::pinError},
      {"\r\nOK\r\n", TGsmPinStatus::pinUnknown},
  };
  for (const auto& [reply, status] : pins) {
    TATReply r(nullptr);
    r.sData = reply;
    EXPECT_EQ(TqvGsm::DetectPinStatus(r), status) << reply;
  }
  EXPECT_EQ(StringToUtf8(TqvGsm::PinStatusName(TGsmPinStatus::pinPhNetPIN)), "PH-NET PIN");

  TqvGsm gsm;
  TATCommand battery, signal;
  battery.idCmd = 208;
  battery.Data = {1, 2};
  signal.idCmd = 209;
  signal.Data = {1, 31};
  gsm.ParseBattery("+CBC: 1,100", &battery);
  EXPECT_TRUE(gsm.BatteryIsCharging());
  EXPECT_EQ(gsm.BatteryLevel(), 100);
  gsm.ParseBattery("+CBC: 2,x", &battery);
  EXPECT_FALSE(gsm.BatteryIsCharging());
  EXPECT_EQ(gsm.BatteryLevel(), 0);
  gsm.ParseSignal("+CSQ: 99,99", &signal);
  EXPECT_EQ(gsm.SignalQuality(), 0);
  EXPECT_EQ(gsm.SignalQualityMax(), 31);
  signal.Data = {1, 5};
  gsm.ParseSignal("+CSQ: 4,0", &signal);
  EXPECT_EQ(gsm.SignalQuality(), 4);
  EXPECT_EQ(gsm.SignalQualityMax(), 5);
  gsm.ParseSignal("+CSQ: 17,99", &battery);  // not the signal line: nothing changes
  EXPECT_EQ(gsm.SignalQuality(), 4);
  EXPECT_EQ(qv::gsm::StripReplyPrefix("  +CSQ: 17,99 "), " 17,99");
  EXPECT_EQ(qv::gsm::StripReplyPrefix("17,99"), "17,99");
}

// "hello" to +12345678901, and a 200-character text in two parts with one
// reference; the next send uses the next reference.
TEST(Gsm, SendQueuesEachPartWithItsLengthAndPdu) {
  TRig rig;
  rig.AnswerSends();
  std::vector<std::pair<std::string, int>> sent;
  rig.gsm.OnSmsSent = [&](TObject*, const std::u16string& text, int32_t id, TqvPduSms* sms) {
    ASSERT_NE(sms, nullptr);
    sent.emplace_back(StringToUtf8(text), id);
  };
  EXPECT_EQ(StringToUtf8(rig.gsm.SmsSendWaitRefID(u"+12345678901", u"hello", false)), " 12");
  auto lines = rig.device.Sent();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "AT+CMGF=0\r");
  EXPECT_EQ(lines[1], "AT+CMGS=19\r");
  EXPECT_EQ(lines[2], "0011000B912143658709F10000AA05E8329BFD06\x1A");

  EXPECT_EQ(StringToUtf8(rig.gsm.SmsSendWaitRefID(u"+12345678901", std::u16string(200, u'a'), false)), " 14");
  lines = rig.device.Sent();
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(lines[4], "AT+CMGS=154\r");
  EXPECT_EQ(lines[7], "AT+CMGS=62\r");
  // Same reference in both headers (UDH 05 00 03 ref n m), one above the first send's.
  const std::string ref1 = lines[5].substr(36, 2), ref2 = lines[8].substr(36, 2);
  EXPECT_EQ(lines[5].substr(30, 6), "050003");
  EXPECT_EQ(ref1, ref2);
  EXPECT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0], (std::pair<std::string, int>{" 12", 12}));
  EXPECT_EQ(rig.gsm.AwaitingCount(), 0u);
  EXPECT_FALSE(rig.gsm.IsBusy());
}

// The <stat> of each listing head and of a read's head reaches the record.
TEST(Gsm, ListedAndReadMessagesCarryTheirStoredStatus) {
  TRig rig;
  std::string listing;
  for (int stat = 0; stat <= 3; ++stat)
    listing += "\r\n+CMGL: " + std::to_string(stat + 1) + "," + std::to_string(stat) + ",,24\r\n" + kPduHello + "\r\n";
  listing += "\r\n+CMGL: 5,,,24\r\n" + std::string(kPduHello) + "\r\n";  // a head without its <stat>
  rig.Answer({{"AT+CMGL=", listing + "\r\nOK\r\n"},
              {"AT+CMGR=1", "\r\n+CMGR: 2,,24\r\n" + std::string(kPduHello) + "\r\n\r\nOK\r\n"},
              {"AT+CMGR=2", "\r\n+CMGR: \"REC UNREAD\",,24\r\n" + std::string(kPduHello) + "\r\n\r\nOK\r\n"}});
  std::map<int, TqvPduStatus> listed;
  rig.gsm.OnSmsListItem = [&](TObject*, const std::u16string&, int32_t id, TqvPduSms* sms) {
    if (sms) listed[id] = sms->StoredStatus();
  };
  rig.gsm.SmsList(true);
  using enum TqvPduStatus;
  EXPECT_EQ(listed, (std::map<int, TqvPduStatus>{
                        {1, psRecUnread}, {2, psRecRead}, {3, psStoUnsent}, {4, psStoSent}, {5, psUnknown}}));
  EXPECT_EQ(rig.gsm.SmsGet(1).StoredStatus(), psStoUnsent);
  EXPECT_EQ(StringToUtf8(rig.gsm.SmsGet(1).Text()), "How are you?");
  EXPECT_EQ(rig.gsm.SmsGet(2).StoredStatus(), psRecUnread);
}

// Notifications interleaved with a listing's items, byte for byte.
TEST(Gsm, ListingKeepsItsItemsAroundNotifications) {
  TRig rig;
  const std::string item = "\r\n+CMGL: 1,1,,24\r\n" + std::string(kPduHello) + "\r\n";
  const std::string item2 = "\r\n+CMGL: 2,1,,24\r\n" + std::string(kPduHello) + "\r\n";
  rig.Answer({{"AT+CMGL=", item + "\r\n+CMTI: \"SM\",5\r\n" + item2 + "\r\n+CMGS: 77\r\n\r\nOK\r\n"}});
  std::map<int, std::string> items;
  int marks = 0;
  rig.gsm.OnSmsListItem = [&](TObject*, const std::u16string&, int32_t id, TqvPduSms* sms) {
    if (sms)
      items[id] = StringToUtf8(sms->Text());
    else
      ++marks;
  };
  std::mutex m;
  std::vector<int> received;
  rig.gsm.OnSmsReceived = [&](TObject*, const std::u16string&, int32_t id, TqvPduSms*) {
    std::lock_guard lk(m);
    received.push_back(id);
  };
  rig.gsm.SmsList(false);
  ASSERT_TRUE(PumpUntil([&] { return marks == 1; }));
  EXPECT_EQ(items, (std::map<int, std::string>{{1, "How are you?"}, {2, "How are you?"}}));
  ASSERT_TRUE(PumpUntil([&] {
    std::lock_guard lk(m);
    return received.size() == 1;
  }));
  EXPECT_EQ(received[0], 5);
  EXPECT_FALSE(rig.gsm.IsBusy());
  EXPECT_TRUE(rig.gsm.StateStack().empty());
  // Outside a listing the head is no item.
  rig.device.Inject({{item, 0}});
  rig.device.Drain();
  pf::PumpFor(20);
  EXPECT_EQ(items.size(), 2u);
  EXPECT_EQ(marks, 1);
}

// The combined index of a "ME" notification is only adjusted with a known total.
TEST(Gsm, CombinedIndexNeedsAKnownTotal) {
  struct TCase {
    const char* cpms;
    int expected;
  };
  for (const TCase c : {TCase{"\r\n+CPMS: 3,20,3,20,0,20\r\n\r\nOK\r\n", 3}, TCase{"\r\nERROR\r\n", 23}}) {
    TRig rig;
    rig.gsm.SetMemoryRead(u"MT");
    rig.Answer({{"AT+CPMS=", c.cpms}});
    std::mutex m;
    std::vector<std::pair<std::string, int>> got;
    rig.gsm.OnSmsReceived = [&](TObject*, const std::u16string& mem, int32_t id, TqvPduSms* sms) {
      EXPECT_EQ(sms, nullptr);
      std::lock_guard lk(m);
      got.emplace_back(StringToUtf8(mem), id);
    };
    rig.device.Inject({{"\r\n+CMTI: \"ME\",23\r\n", 0}});
    ASSERT_TRUE(PumpUntil([&] {
      std::lock_guard lk(m);
      return got.size() == 1;
    }));
    EXPECT_EQ(got[0], (std::pair<std::string, int>{"ME", c.expected})) << c.cpms;
    EXPECT_EQ(rig.device.Sent().at(0), "AT+CPMS=\"SM\",\"SM\",\"\"\r");
    EXPECT_EQ(StringToUtf8(rig.gsm.MemoryRead()), "MT") << "a worker never overwrites MemoryRead";
  }
}

TEST(Gsm, SentConfirmationWithoutHandlerStillLeavesTheList) {
  TRig rig;
  rig.AnswerSends();
  rig.gsm.SmsSend(u"+4917", u"x", true);
  EXPECT_TRUE(rig.gsm.SmsSendWait());
  EXPECT_EQ(rig.gsm.AwaitingCount(), 0u);
}

// USSD answers in the forms modems and networks send them. Plain text unless
// the driver packs its requests (Huawei E220); a driver without USSD lines
// (BenQ M2x) takes hex of whole octets with a letter digit as packed.
TEST(Gsm, DecodesUssdAnswersInEveryForm) {
  constexpr int kPlain = 0, kPacked = 12, kNeither = 11;
  struct TCase {
    const char* name;
    int driver;
    std::string line;  // after "+CUSD:"
    std::string text;
    TUssdStatus status;
  };
  const TCase cases[] = {
      {"plain", kPlain, " 0,\"Your balance is 1.00\",15", "Your balance is 1.00", TUssdStatus::usDone},
      {"commas and quotes", kPlain, " 1,\"Say \"hi\", then 1,2\",15", "Say \"hi\", then 1,2",
       TUssdStatus::usActionRequired},
      {"line breaks", kPlain, " 1,\"Menu:\r\n1 Balance\r\n2 Top-up\",15", "Menu:\r\n1 Balance\r\n2 Top-up",
       TUssdStatus::usActionRequired},
      {"all digits, plain", kPlain, " 0,\"1234\",15", "1234", TUssdStatus::usDone},
      {"no quotes", kPlain, " 0,Balance 5,15", "Balance 5", TUssdStatus::usDone},
      {"no coding scheme", kPlain, " 0,\"Done\"", "Done", TUssdStatus::usDone},
      {"no closing quote", kPlain, " 0,\"Unclosed\r\n\r\nOK", "Unclosed", TUssdStatus::usDone},
      {"language before 7-bit", kPlain, " 0,\"en\rHello\",16", "Hello", TUssdStatus::usDone},
      {"packed", kPacked, " 0,\"AA180C3602\",15", "*100#", TUssdStatus::usDone},
      {"packed, CR filler", kPacked, " 0,\"AA180CA68A8D1A\",15", "*100*1#", TUssdStatus::usDone},
      {"packed, lower case", kPacked, " 2,\"aa180c3602\",0", "*100#", TUssdStatus::usTerminated},
      {"UCS2", kPlain, " 0,\"00420061044F\",72", "Ba\u044F", TUssdStatus::usDone},
      {"language before UCS2", kPlain, " 0,\"653700480069\",17", "Hi", TUssdStatus::usDone},
      {"8-bit data", kPlain, " 0,\"48656C6C6F\",68", "Hello", TUssdStatus::usDone},
      {"ended", kPlain, " 2", "", TUssdStatus::usTerminated},
      {"other client", kPacked, " 3", "", TUssdStatus::usOtherClient},
      {"not supported", kPlain, " 4", "", TUssdStatus::usNotSupported},
      {"timed out, with text", kPlain, " 5,\"Session timed out\",15", "Session timed out", TUssdStatus::usTimedOut},
      {"fallback: packed", kNeither, " 0,\"E8329BFD06\",15", "hello", TUssdStatus::usDone},
      {"fallback: all digits", kNeither, " 0,\"1234\",15", "1234", TUssdStatus::usDone},
      {"fallback: words", kNeither, " 0,\"Balance 5\",15", "Balance 5", TUssdStatus::usDone},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TRig rig(c.driver);
    std::vector<std::string> texts;
    std::vector<std::pair<TUssdStatus, std::string>> results;
    rig.gsm.OnUssd = [&](TObject*, const std::u16string& s) { texts.push_back(StringToUtf8(s)); };
    rig.gsm.OnUssdResult = [&](TObject*, TUssdStatus st, const std::u16string& s) {
      results.emplace_back(st, StringToUtf8(s));
    };
    rig.device.Inject({{"\r\n+CUSD:" + c.line + "\r\n", 0}});
    rig.device.Drain();
    ASSERT_TRUE(PumpUntil([&] { return !results.empty(); }));
    EXPECT_EQ(results, (decltype(results){{c.status, c.text}}));
    EXPECT_EQ(texts, std::vector<std::string>{c.text});
    EXPECT_TRUE(rig.gsm.StateStack().empty());
  }
}

// The application's own lines are sent as written: no value is filled in.
TEST(Gsm, InitCommandsStayRawLines) {
  TRig rig;
  rig.gsm.SetPIN(u"1234");
  rig.gsm.SetInitCommands(u"AT+CSCS=<q>GSM<q>\r\nAT+X=<PIN>");
  rig.Answer({{"AT+CPIN?", "\r\n+CPIN: READY\r\n\r\nOK\r\n"}});
  int after = 0;
  rig.gsm.OnAfterInit = [&](TObject*) { ++after; };
  rig.gsm.Initialize();
  ASSERT_TRUE(PumpUntil([&] { return after == 1; })) << [&] {
    std::string all;
    for (auto& l : rig.log.Lines()) all += l + "\n";
    return all;
  }();
  const auto sent = rig.device.Sent();
  ASSERT_GE(sent.size(), 2u);
  EXPECT_EQ(sent[sent.size() - 2], "AT+CSCS=\"GSM\"\r");
  EXPECT_EQ(sent.back(), "AT+X=<PIN>\r");
  EXPECT_FALSE(rig.gsm.IsBusy());
}

// An initialisation that ends on an error reply, or on a time-out (which
// IgnoreInitErrors does not cover), says so through OnGsmError and LastError;
// an ignored error goes on to OnAfterInit.
TEST(Gsm, InitialisationFailuresAreReported) {
  struct TCase {
    const char* name;
    bool ignore;
    const char* reply;  // to AT+CGMR; empty: none
    int after;
    const char* error;
  };
  const TCase cases[] = {
      {"error", false, "\r\nERROR\r\n", 0, "Initialization failed: AT+CGMR: ERROR"},
      {"modem error", false, "AT+CGMR\r\r\n+CME ERROR: 100\r\n", 0, "Initialization failed: AT+CGMR: +CME ERROR: 100"},
      {"error ignored", true, "\r\nERROR\r\n", 1, ""},
      {"time-out", false, "", 0, "Initialization failed: AT+CGMR: timeout"},
      {"time-out, errors ignored", true, "", 0, "Initialization failed: AT+CGMR: timeout"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TRig rig;
    rig.gsm.SetIgnoreInitErrors(c.ignore);
    auto& errors = rig.RecordErrors();
    rig.Answer({{"AT+CGMR", c.reply}, {"AT+CPIN?", "\r\n+CPIN: READY\r\n\r\nOK\r\n"}});
    int after = 0;
    rig.gsm.OnAfterInit = [&](TObject*) { ++after; };
    rig.gsm.Initialize();
    ASSERT_TRUE(PumpUntil([&] { return !rig.gsm.IsBusy() && after + errors.size() > 0; }));
    pf::PumpFor(50);
    EXPECT_EQ(after, c.after);
    EXPECT_EQ(errors, *c.error ? std::vector<std::string>{c.error} : std::vector<std::string>{});
    EXPECT_EQ(StringToUtf8(rig.gsm.LastError()), c.error);
  }
}

// A listing or a read whose memory selection or command fails is reported,
// before the end mark, and told apart from an empty store or an empty slot.
TEST(Gsm, ListingAndReadingFailuresAreReported) {
  struct TCase {
    const char* name;
    std::vector<std::pair<std::string, std::string>> replies;
    bool read;  // SmsGet(4) instead of a listing
    std::vector<std::string> events;
  };
  const TCase cases[] = {
      {"store selection fails", {{"AT+CPMS=", "\r\nERROR\r\n"}}, false,
       {"error Listing failed: AT+CPMS=\"SM\": ERROR", "end"}},
      {"listing command fails", {{"AT+CMGL=", "\r\n+CMS ERROR: 302\r\n"}}, false,
       {"error  302", "error Listing failed: AT+CMGL=4: +CMS ERROR: 302", "end"}},
      {"empty store", {{"AT+CMGL=", "\r\nOK\r\n"}}, false, {"end"}},
      {"read fails", {{"AT+CMGR=", "\r\n+CMS ERROR: 321\r\n"}}, true,
       {"error  321", "error Reading failed: AT+CMGR=4: +CMS ERROR: 321"}},
      {"empty slot", {{"AT+CMGR=", "\r\nOK\r\n"}}, true, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TRig rig;
    rig.Answer(c.replies);
    std::vector<std::string> events;
    rig.gsm.OnGsmError = [&](TObject*, const std::u16string& s) { events.push_back("error " + StringToUtf8(s)); };
    rig.gsm.OnSmsListItem = [&](TObject*, const std::u16string&, int32_t, TqvPduSms* sms) {
      events.push_back(sms ? "item" : "end");
    };
    if (c.read) {
      EXPECT_TRUE(rig.gsm.SmsGet(4).IsEmpty());
    } else {
      rig.gsm.SmsList(false);
      ASSERT_TRUE(PumpUntil([&] { return !events.empty() && events.back() == "end"; }));
    }
    EXPECT_EQ(events, c.events);
    const std::string last = c.events.size() > 1 ? c.events[c.events.size() - (c.read ? 1 : 2)].substr(6) : "";
    EXPECT_EQ(StringToUtf8(rig.gsm.LastError()), last);
  }
}

// "+CMS ERROR" is the final result of the line it answers: the command fails
// and what it would have read stays as it was.
TEST(Gsm, CmsErrorFailsSynchronousCommands) {
  TRig rig;
  rig.Answer({{"AT+CPMS=\"SM\",", "\r\n+CPMS: 3,30,3,30,0,50\r\n\r\nOK\r\n"}});
  rig.gsm.UpdateMemoryState();
  ASSERT_EQ(rig.gsm.MemReadUsed(), 3);
  rig.Answer({{"AT+CMGD=", "\r\n+CMS ERROR: 321\r\n"}, {"AT+CPMS=\"SM\",", "\r\n+CMS ERROR: 302\r\n"}});
  EXPECT_FALSE(rig.gsm.SmsDelete(7));
  EXPECT_EQ(StringToUtf8(rig.gsm.LastError()), "SmsDelete: AT+CMGD=7: +CMS ERROR: 321");
  rig.gsm.UpdateMemoryState();
  EXPECT_EQ(rig.gsm.MemReadUsed(), 3);
  EXPECT_EQ(rig.gsm.MemSpecTotal(), 50);
  EXPECT_EQ(StringToUtf8(rig.gsm.LastError()), "UpdateMemoryState: AT+CPMS=\"SM\",\"SM\",\"\": +CMS ERROR: 302");
  rig.Answer({});
  EXPECT_TRUE(rig.gsm.SmsDelete(7));
  EXPECT_TRUE(rig.gsm.LastError().empty()) << "an operation that starts clears it";
}

// The parts of a send follow the record as it is when it is sent; a text
// that would be cut is refused, not sent short.
TEST(Gsm, SendFollowsTheRecordsFinalSettings) {
  struct TCase {
    const char* name;
    size_t length;                           // of a 7-bit text
    std::function<void(TqvPduSms&)> settle;  // after the text was set
    size_t parts;                            // 0: refused
  };
  const TCase cases[] = {
      {"AutoCutText after the text", 200, [](TqvPduSms& m) { m.SetAutoCutText(true); }, 2},
      {"16-bit port after the text", 155, [](TqvPduSms& m) {
         m.SetAutoCutText(true);
         m.SetPortType(TqvPduPort::pp16bit);
       }, 2},
      {"UCS2 after the text", 155, [](TqvPduSms& m) {
         m.SetAutoCutText(true);
         m.SetCoding(TqvPduCoding::pc16bit);
       }, 3},
      {"16-bit port after the text, no cutting", 155, [](TqvPduSms& m) { m.SetPortType(TqvPduPort::pp16bit); }, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TRig rig;
    rig.AnswerSends();
    auto& errors = rig.RecordErrors();
    TqvPduSms sms(false);
    sms.SetPhone(u"+12345678901");
    sms.SetText(std::u16string(c.length, u'a'));
    c.settle(sms);
    const bool sent = !rig.gsm.SmsSendWaitRefID(sms).empty();
    EXPECT_EQ(sent, c.parts > 0);
    EXPECT_EQ(rig.SentCount("AT+CMGS="), c.parts);
    EXPECT_EQ(errors.size(), c.parts > 0 ? 0u : 1u);
  }
}

// Each send has its own outcome: a waiter learns that of its own message,
// whatever ran before it or is refused while it waits.
TEST(Gsm, EachSendHasItsOwnOutcome) {
  TRig rig;
  EXPECT_FALSE(rig.gsm.SmsSendWait()) << "no send of this thread";
  rig.AnswerSends([](int ref) {
    return ref == 12 ? std::string("\r\n+CMS ERROR: 500\r\n") : "\r\n+CMGS: " + std::to_string(ref) + "\r\n\r\nOK\r\n";
  });
  EXPECT_EQ(StringToUtf8(rig.gsm.SmsSendWaitRefID(u"+4917", u"first", false)), "");
  EXPECT_EQ(StringToUtf8(rig.gsm.SmsSendWaitRefID(u"+4917", u"second", false)), " 13");

  // A send refused in an OnSmsSent handler, while another thread waits for
  // its two-part message.
  int refused = 0;
  rig.gsm.OnSmsSent = [&](TObject*, const std::u16string&, int32_t, TqvPduSms*) {
    if (refused++ == 0) rig.gsm.SmsSend(u"", u"to nobody", false);
  };
  std::u16string ref;
  std::atomic<bool> done{false};
  std::thread sender([&] {
    ref = rig.gsm.SmsSendWaitRefID(u"+4917", std::u16string(200, u'z'), false);
    done = true;
  });
  ASSERT_TRUE(PumpUntil([&] { return done.load(); }, 5000));
  sender.join();
  pf::PumpFor(20);
  EXPECT_EQ(StringToUtf8(ref), " 15") << "the reference of the caller's own last part";
  EXPECT_GE(refused, 1);
  EXPECT_FALSE(rig.gsm.SmsSendWait()) << "this thread's own send was the refused one";
}

// Update while a queue runs starts over: the old queue ends, the turn is free.
TEST(Gsm, UpdateDuringAQueueStartsOver) {
  TRig rig;
  rig.device.SetResponder([](const std::string&) -> std::vector<TChunk> { return {}; });  // silent
  int ends = 0, after = 0;
  rig.gsm.OnDiagnostic = [&](TObject*, const std::u16string& at, const std::u16string&, bool&) { ends += at.empty(); };
  rig.gsm.OnAfterInit = [&](TObject*) { ++after; };
  rig.gsm.RunDiagnostic();
  EXPECT_TRUE(rig.gsm.IsBusy());
  rig.Answer({{"AT+CPIN?", "\r\n+CPIN: READY\r\n\r\nOK\r\n"}});
  rig.gsm.Update();
  ASSERT_TRUE(PumpUntil([&] { return after == 1; }));
  EXPECT_EQ(ends, 1);
  EXPECT_FALSE(rig.gsm.IsBusy());
}

// Only the component sends lines past its turn: the processor's raw sending
// and queue operations are not public on it.
template <class T>
concept SendsPastTheTurn = requires(T& p) {
  p.SendCommand(std::string());
  p.StartQueue();
};
static_assert(SendsPastTheTurn<TqvCustomATProcessor>);
static_assert(!SendsPastTheTurn<TqvGsm>);

// A wait for the turn ends when the holder has had no line answered for
// TimeOut, or when the device closes; a holder whose lines keep being
// answered is waited for, however long it runs.
TEST(Gsm, WaitForTheTurnNeverWedges) {
  struct TCase {
    const char* name;
    std::function<void(TRig&)> hold;  // on another thread, holding the turn
    bool closeMeanwhile;
    bool granted;
    const char* why;
  };
  const TCase cases[] = {
      // PINApply's second line waits out a line gap longer than TimeOut, the turn held.
      {"holder idle",
       [](TRig& r) {
         r.gsm.AddDriverFromString(u"slow", u"Include = QVGSM_NOKIA6230I\r\nHKR, Settings, gsmLinePause, 1, \"400\"\r\n");
         r.gsm.SetDriverIndex(r.gsm.DriverCount() - 1);
         r.gsm.PINApply();
       },
       false, false, "had no line answered"},
      // A listing whose items come slower than TimeOut in all, each within it.
      {"holder keeps answering", [](TRig& r) { r.gsm.SmsList(true); }, false, true, ""},
      {"device closes", [](TRig& r) { r.gsm.CmdSendAndWaitResult("AT+SILENT\r"); }, true, false, "device"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TRig rig;
    rig.gsm.SetTimeOut(150);
    rig.gsm.SetPIN(u"1234");
    rig.device.SetResponder([](const std::string& sent) -> std::vector<TChunk> {
      if (sent.rfind("AT+SILENT", 0) == 0) return {};
      if (sent.rfind("AT+CMGL", 0) != 0) return {{"\r\nOK\r\n", 0}};
      std::vector<TChunk> items;
      for (int i = 1; i <= 6; ++i)
        items.push_back({"\r\n+CMGL: " + std::to_string(i) + ",1,,24\r\n" + std::string(kPduHello) + "\r\n", 100});
      items.push_back({"\r\nOK\r\n", 100});
      return items;
    });
    std::atomic<bool> held{false}, holderDone{false};
    std::thread holder([&] {
      held = true;
      c.hold(rig);
      holderDone = true;
    });
    while (!held || !rig.log.Contains("send:")) pf::Sleep(1);
    std::thread closer;
    if (c.closeMeanwhile) {
      closer = std::thread([&] {
        pf::Sleep(50);
        rig.device.CloseDevice();
      });
    }
    const bool ok = rig.gsm.SmsDelete(3);
    const bool gaveUpFirst = !holderDone;
    pf::JoinWhilePumping(holder);  // its own lines are answered on this thread
    if (closer.joinable()) closer.join();
    EXPECT_EQ(ok, c.granted) << StringToUtf8(rig.gsm.LastError());
    EXPECT_NE(StringToUtf8(rig.gsm.LastError()).find(c.why), std::string::npos) << StringToUtf8(rig.gsm.LastError());
    if (c.closeMeanwhile) continue;
    if (c.granted) {
      // the holder lets go once its last line is answered: the waiter's line comes after it
      const std::string all = rig.log.All();
      const auto lastItem = all.find("Sms List Item:  6"), deleted = all.find("AT+CMGD");
      ASSERT_NE(lastItem, std::string::npos);
      EXPECT_NE(deleted, std::string::npos);
      EXPECT_GT(deleted, lastItem) << "a holder that keeps answering is waited for";
    } else {
      EXPECT_TRUE(gaveUpFirst) << "an idle holder is given up on before it lets go";
    }
  }
}

// PINApply leaves the SIM half a second before the next line without keeping
// its caller: it returns with the next line held back, and the next request's
// line leaves once that time has passed.
TEST(Gsm, PinApplyHoldsTheNextLineBackNotItsCaller) {
  TRig rig;
  rig.gsm.SetPIN(u"1234");
  std::mutex mutex;
  std::vector<std::chrono::steady_clock::time_point> sent;
  rig.device.SetResponder([&](const std::string&) -> std::vector<TChunk> {
    std::lock_guard l(mutex);
    sent.push_back(std::chrono::steady_clock::now());
    return {{"\r\nOK\r\n", 0}};
  });
  ASSERT_TRUE(rig.gsm.PINApply());
  EXPECT_EQ(rig.gsm.ReplyState(), qv::TReplyState::rsLineGap) << "returned while the SIM is left alone";
  EXPECT_FALSE(rig.gsm.IsBusy());
  EXPECT_NE(rig.gsm.CmdSendAndWaitResult("AT\r").find(u"OK"), std::u16string::npos);
  ASSERT_EQ(rig.device.Sent(), (std::vector<std::string>{"AT+CPIN=1234\r", "AT+CPIN?\r", "AT\r"}));
  std::lock_guard l(mutex);
  const double heldMs = std::chrono::duration<double, std::milli>(sent[2] - sent[1]).count();
  EXPECT_GE(heldMs, 498.0);
}

// Reaping ended workers happens inside byte processing: it must not run the
// main thread's other calls there.
TEST(Gsm, ReapingWorkersDoesNotPumpInsideByteProcessing) {
  TRig rig(0, TqvScriptedDevice::TDelivery::dlInline);
  std::atomic<int> received{0};
  rig.gsm.OnSmsReceived = [&](TObject*, const std::u16string&, int32_t, TqvPduSms*) { ++received; };
  rig.device.Inject({{"\r\n+CMTI: \"SM\",1\r\n", 0}});
  ASSERT_TRUE(PumpUntil([&] { return received == 1; }));
  pf::Sleep(20);  // the worker has ended
  bool delivering = false, ranInside = false;
  ASSERT_TRUE(pf::PostToMainThread([&] { ranInside = delivering; }));
  delivering = true;
  rig.device.Inject({{"\r\n+CMTI: \"SM\",2\r\n", 0}});  // on this thread: the delivery runs here
  delivering = false;
  pf::ProcessMessages();
  EXPECT_FALSE(ranInside);
  EXPECT_TRUE(PumpUntil([&] { return received == 2; }));
}

TEST(Gsm, LogProxyTakesABadFormatWithoutThrowing) {
  TqvMemoryLog log;
  TqvGsm gsm;
  gsm.SetLog(&log);
  EXPECT_NO_THROW(gsm.WriteLogFmt(TDetailLevel::dlSimple, u"%s and %s", {std::u16string(u"one")}));
  EXPECT_EQ(log.Lines(), std::vector<std::string>{"Log format ERROR!!!"});
}

// ---------------------------------------------------------------------------
// Phone book

TEST(Gsm, ParsesPhoneBookReplies) {
  TqvGsm gsm;
  TATCommand counts, limits, record;
  counts.Data = {0, 1};
  gsm.ParsePhoneBookCounts("+CPBR: (1-250),40,14", &counts);
  EXPECT_EQ(std::make_pair(gsm.PhoneList()->Used(), gsm.PhoneList()->Total()), std::make_pair(-1, 250));
  counts.Data = {2, 3};
  gsm.ParsePhoneBookCounts("+CPBS: \"SM\",10,250", &counts);
  EXPECT_EQ(std::make_pair(gsm.PhoneList()->Used(), gsm.PhoneList()->Total()), std::make_pair(10, 250));
  gsm.ParsePhoneBookCounts("+CPBS: \"SM\"", &counts);
  EXPECT_EQ(std::make_pair(gsm.PhoneList()->Used(), gsm.PhoneList()->Total()), std::make_pair(-1, -1));
  limits.Data = {2, 3};
  gsm.ParsePhoneBookLimits("+CPBR: (1-250),40,14", &limits);
  EXPECT_EQ(std::make_pair(gsm.PhoneList()->MaxNumberLength(), gsm.PhoneList()->MaxCaptionLength()),
            std::make_pair(40, 14));

  // Records: the fields of the memory's setting (driver 0: 1,2,104 for the
  // phone's memory; Samsung's call lists: 1,103,105,106 with a date).
  struct TCase {
    int driver;
    TqvPhoneBookType type;
    const char* reply;
    int index;  // 0: no record
    std::string phone, name;
    double date;
  };
  const double march25 = qv::PduDateTime({2008, 3, 25, 14, 30, 0, 0});
  const TCase cases[] = {
      {0, TqvPhoneBookType::pltMem, "+CPBR: 7,\"+12345678901\",145,\"0042006F0062\"", 7, "+12345678901", "Bob", 0},
      {0, TqvPhoneBookType::pltMem, "+CPBR: 8,\"030\",129,\"80041f0440\"", 8, "030", "\u041F\u0440", 0},
      {0, TqvPhoneBookType::pltMem, "+CPBR: 9,\"\",129,\"0041\"", 9, "", "A", 0},
      {0, TqvPhoneBookType::pltMem, "+CPBR: x,\"555\",129,\"\"", 1, "555", "", 0},
      {0, TqvPhoneBookType::pltMem, "+CPBR: 3,\"\",129,\"\"", 0, "", "", 0},
      {0, TqvPhoneBookType::pltMem, "", 0, "", "", 0},
      {5, TqvPhoneBookType::pltDialed,
       "+CPBR: 2,0,\"002B0034003900330030\",145,\"0041006E006E\",\"0032003000300038002F00300033002F00320035002C00310034003A00330030\"",
       2, "+4930", "Ann", march25},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    TqvGsm g;
    g.SetDriverIndex(c.driver);
    g.LoadMemoryTypes();
    g.SetPhoneListType(c.type);
    TATCommand line;
    line.Data = {1, 2, 104};
    EXPECT_EQ(g.ParsePhoneRecord(c.reply, &line), c.index != 0);
    ASSERT_EQ(g.PhoneList()->Count(), c.index != 0 ? 1 : 0);
    if (c.index == 0) continue;
    const TqvPhoneRecord* r = g.PhoneList()->GetPhoneItem(0);
    EXPECT_EQ(r->Index(), c.index);
    EXPECT_EQ(StringToUtf8(r->Phone()), c.phone);
    EXPECT_EQ(StringToUtf8(r->Caption()), c.name);
    EXPECT_EQ(r->ItemType(), c.type);
    EXPECT_DOUBLE_EQ(r->DateTime(), c.date);
  }
}

// A reading of a 3-slot SIM memory (driver 0: its counts from AT+CPBS?), byte
// for byte: empty slots are passed over however the modem answers them; any
// other end of the reading still restores the character set, then reports.
TEST(Gsm, PhoneBookReadingAlwaysRestoresTheCharacterSet) {
  const std::string rec1 = "\r\n+CPBR: 1,\"+4930\",145,\"0041006E006E\"\r\n\r\nOK\r\n";
  const std::string rec3 = "\r\n+CPBR: 3,\"555\",129,\"0042006F0062\"\r\n\r\nOK\r\n";
  const std::vector<std::string> head = {"AT+CPBS=\"SM\"\r", "AT+CPBS?\r", "AT+CPBR=?\r", "AT+CSCS=\"UCS2\"\r"};
  auto lines = [&](std::vector<std::string> tail) {
    std::vector<std::string> all = head;
    all.insert(all.end(), tail.begin(), tail.end());
    return all;
  };
  const std::string restore = "AT+CSCS=\"PCCP437\"\r";
  struct TCase {
    const char* name;
    std::vector<std::pair<std::string, std::string>> replies;
    bool breakFirst;
    std::vector<std::string> sent;
    std::vector<int> records;
    int used;
    std::string error;
  };
  const TCase cases[] = {
      {"empty slot answered OK, count unknown", {{"AT+CPBS?", "\r\n+CPBS: \"SM\",,3\r\n\r\nOK\r\n"}}, false,
       lines({"AT+CPBR=1\r", "AT+CPBR=2\r", "AT+CPBR=3\r", restore}), {1, 3}, 2, ""},
      {"empty slot answered ERROR", {{"AT+CPBR=2", "\r\nERROR\r\n"}}, false,
       lines({"AT+CPBR=1\r", "AT+CPBR=2\r", "AT+CPBR=3\r", restore}), {1, 3}, 2, ""},
      {"empty slot not found", {{"AT+CPBR=2", "\r\n+CME ERROR: 22\r\n"}}, false,
       lines({"AT+CPBR=1\r", "AT+CPBR=2\r", "AT+CPBR=3\r", restore}), {1, 3}, 2, ""},
      {"break after the first", {}, true, lines({"AT+CPBR=1\r", restore}), {1}, 2, ""},
      {"error in the middle", {{"AT+CPBR=2", "\r\n+CME ERROR: 21\r\n"}}, false,
       lines({"AT+CPBR=1\r", "AT+CPBR=2\r", restore}), {1}, 2,
       "Phone book reading failed: AT+CPBR=2: +CME ERROR: 21"},
      {"time-out in the middle", {{"AT+CPBR=2", ""}}, false, lines({"AT+CPBR=1\r", "AT+CPBR=2\r", restore}), {1}, 2,
       "Phone book reading failed: AT+CPBR=2: timeout"},
      {"character set refused", {{"AT+CSCS=\"UCS2\"", "\r\nERROR\r\n"}}, false, lines({restore}), {}, 2,
       "Phone book reading failed: AT+CSCS=\"UCS2\": ERROR"},
      {"memory refused", {{"AT+CPBS=\"SM\"", "\r\n+CME ERROR: 4\r\n"}}, false, {"AT+CPBS=\"SM\"\r"}, {}, 0,
       "Phone book reading failed: AT+CPBS=\"SM\": +CME ERROR: 4"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TRig rig;
    rig.gsm.LoadMemoryTypes();
    rig.gsm.SetPhoneListType(TqvPhoneBookType::pltSim);
    auto replies = c.replies;
    replies.insert(replies.end(), {{"AT+CPBS?", "\r\n+CPBS: \"SM\",2,3\r\n\r\nOK\r\n"},
                                   {"AT+CPBR=?", "\r\n+CPBR: (1-3),40,14\r\n\r\nOK\r\n"},
                                   {"AT+CPBR=1", rec1},
                                   {"AT+CPBR=3", rec3}});
    rig.Answer(replies);
    std::vector<std::string> events;
    rig.gsm.OnGsmError = [&](TObject*, const std::u16string& s) { events.push_back(StringToUtf8(s)); };
    rig.gsm.OnPhoneListFinish = [&](TObject*) { events.push_back("finish"); };
    int progress = 0;
    rig.gsm.OnPhoneListProgress = [&](TObject*, bool& flBreak) {
      ++progress;
      if (c.breakFirst) flBreak = true;
    };
    rig.gsm.PhoneBookRead();
    ASSERT_TRUE(PumpUntil([&] { return !events.empty() && events.back() == "finish"; }));
    EXPECT_EQ(rig.device.Sent(), c.sent);
    std::vector<int> records;
    for (int i = 0; i < rig.gsm.PhoneList()->Count(); ++i) records.push_back(rig.gsm.PhoneList()->GetPhoneItem(i)->Index());
    EXPECT_EQ(records, c.records);
    if (c.used != 0) {
      EXPECT_EQ(rig.gsm.PhoneList()->Used(), c.used);
    }
    std::vector<std::string> expected = {"finish"};
    if (!c.error.empty()) expected.insert(expected.begin(), c.error);
    EXPECT_EQ(events, expected);
    EXPECT_EQ(StringToUtf8(rig.gsm.LastError()), c.error);
    EXPECT_FALSE(rig.gsm.IsBusy());
  }
}

// Writing: the name goes as UCS2 hex; a write that fails after switching to
// UCS2 switches back. Values that would break the line are refused unsent.
TEST(Gsm, PhoneBookWriteChecksAndRestores) {
  struct TCase {
    const char* name;
    int driver;
    std::u16string phone, caption;
    std::string cpbw;  // reply to AT+CPBW
    bool ok;
    std::vector<std::string> sent;
  };
  const TCase cases[] = {
      {"written", 0, u"+4930", u"A\"", "\r\nOK\r\n", true,
       {"AT+CPBS=\"ME\"\r", "AT+CSCS=\"UCS2\"\r", "AT+CPBW=5,\"+4930\",,\"00410022\"\r", "AT+CSCS=\"PCCP437\"\r"}},
      {"refused by the modem", 0, u"+4930", u"A", "\r\n+CME ERROR: 24\r\n", false,
       {"AT+CPBS=\"ME\"\r", "AT+CSCS=\"UCS2\"\r", "AT+CPBW=5,\"+4930\",,\"0041\"\r", "AT+CSCS=\"PCCP437\"\r"}},
      {"plain name", 1, u"+4930", u"Ann", "\r\nOK\r\n", true,
       {"AT+CPBS=\"ME\"\r", "AT+CSCS=\"PCCP437\"\r", "AT+CPBW=5,\"+4930\",,\"Ann\"\r"}},
      {"quote in a plain name", 1, u"+4930", u"A\"", "", false, {}},
      {"quote in the number", 0, u"+49\"30", u"A", "", false, {}},
      {"line break in the name", 0, u"+4930", u"A\rAT+CFUN=0", "", false, {}},
      {"Ctrl-Z in the number", 0, u"+49\x1A", u"A", "", false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TRig rig(c.driver);
    rig.gsm.LoadMemoryTypes();
    auto& errors = rig.RecordErrors();
    rig.Answer({{"AT+CPBW=", c.cpbw}});
    EXPECT_EQ(rig.gsm.PhoneBookWrite(c.phone, c.caption, 5), c.ok);
    EXPECT_EQ(rig.device.Sent(), c.sent);
    pf::PumpFor(10);
    EXPECT_EQ(errors.size(), !c.ok && c.sent.empty() ? 1u : 0u) << "refusals are raised";
    EXPECT_EQ(rig.gsm.LastError().empty(), c.ok);
  }
  TRig rig;
  rig.gsm.LoadMemoryTypes();
  rig.Answer({});
  EXPECT_TRUE(rig.gsm.PhoneBookDel(5));
  EXPECT_EQ(rig.device.Sent(), (std::vector<std::string>{"AT+CPBS=\"ME\"\r", "AT+CPBW=5\r"}));
}

// ---------------------------------------------------------------------------
// Calls and USSD

// A dial that the modem answers with a call result ends at once, named in
// OnGsmError; a dial string that would break the line is never sent.
TEST(Gsm, DialResultsEndTheCallAtOnce) {
  struct TCase {
    std::u16string number;
    std::string reply;  // to ATDT
    bool ok;
    std::string error;  // empty: none
  };
  const TCase cases[] = {
      {u"+4930", "\r\nOK\r\n", true, ""},
      {u"*31#0301234p1w2,3", "\r\nOK\r\n", true, ""},
      {u"+4930", "\r\nBUSY\r\n", false, "MakeCall: ATDT+4930;: BUSY"},
      {u"+4930", "\r\nNO ANSWER\r\n", false, "MakeCall: ATDT+4930;: NO ANSWER"},
      {u"+4930", "\r\nNO CARRIER\r\n", false, "MakeCall: ATDT+4930;: NO CARRIER"},
      {u"+4930", "\r\nNO DIALTONE\r\n", false, "MakeCall: ATDT+4930;: NO DIALTONE"},
      {u"+4930", "\r\nERROR\r\n", false, "MakeCall: ATDT+4930;: ERROR"},
      {u"0301234;ATH", "", false, "MakeCall refused: the dial string holds a character that is not allowed: ';'"},
      {u"0301234\r", "", false, "MakeCall refused: the dial string holds a character that is not allowed: U+000D"},
      {u"03\"01", "", false, "MakeCall refused: the dial string holds a character that is not allowed: '\"'"},
      {u"030\x1A", "", false, "MakeCall refused: the dial string holds a character that is not allowed: U+001A"},
      {u"030+1", "", false, "MakeCall refused: the dial string holds a character that is not allowed: '+'"},
      {u"", "", false, "MakeCall refused: the dial string is empty"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(StringToUtf8(c.number));
    TRig rig;
    auto& errors = rig.RecordErrors();
    rig.Answer({{"ATDT", c.reply}});
    const uint32_t start = pf::GetTickCount();
    EXPECT_EQ(rig.gsm.MakeCall(c.number), c.ok);
    EXPECT_LT(pf::TicksSince(start), rig.gsm.TimeOut()) << "a call result is final";
    pf::PumpFor(10);
    EXPECT_EQ(errors, c.error.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.error});
    const bool sent = c.error.find("refused") == std::string::npos;
    EXPECT_EQ(rig.device.Sent(), sent ? std::vector<std::string>{"ATDT" + StringToUtf8(c.number) + ";\r"}
                                      : std::vector<std::string>{});
  }
}

TEST(Gsm, CallEndsWhileIdleAreReportedAndHangUpStopsAtAnError) {
  TRig rig;
  std::vector<std::string> unsolicited;
  rig.gsm.OnUnsolicited = [&](TObject*, const std::u16string& s) { unsolicited.push_back(StringToUtf8(s)); };
  rig.device.Inject({{"\r\nNO CARRIER\r\n", 0}, {"\r\nBUSY\r\n", 0}});
  rig.device.Drain();
  ASSERT_TRUE(PumpUntil([&] { return unsolicited.size() == 2; }));
  EXPECT_EQ(unsolicited, (std::vector<std::string>{"NO CARRIER", "BUSY"}));

  rig.Answer({{"ATH", "\r\nERROR\r\n"}});
  rig.gsm.Hungup();
  EXPECT_EQ(rig.device.Sent(), std::vector<std::string>{"ATH\r"}) << "no AT+CHUP after a refused ATH";
  rig.Answer({});
  rig.gsm.Hungup();
  EXPECT_EQ(rig.device.Sent().size(), 3u);
  EXPECT_EQ(rig.device.Sent().back(), "AT+CHUP\r");
}

// The request goes packed where the driver packs it, a string of 8n-1
// septets with a CR in its spare bits; one that would break the line is not sent.
TEST(Gsm, UssdRequestsAndTheirChecks) {
  struct TCase {
    int driver;
    std::u16string request;
    std::string sent;  // empty: refused
  };
  const TCase cases[] = {
      {0, u"*100#", "AT+CUSD=1,\"*100#\",0\r"},
      {12, u"*100#", "AT+CUSD=1,\"AA180C3602\",15\r"},
      {12, u"*100*1#", "AT+CUSD=1,\"AA180CA68A8D1A\",15\r"},
      {12, u"*@_#", "AT+CUSD=1,\"2A406404\",15\r"},
      {0, u"", "AT+CUSD=1,\"\",0\r"},
      {0, u"*1\"#", ""},
      {0, u"*1\r#", ""},
      {0, u"*1\x1A", ""},
      {0, u"*1;D123", ""},
      {0, u"*1\u0416#", ""},  // no character of the GSM alphabet
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(StringToUtf8(c.request));
    TRig rig(c.driver);
    rig.Answer({});
    auto& errors = rig.RecordErrors();
    EXPECT_EQ(rig.gsm.SendUSSD(c.request), !c.sent.empty());
    EXPECT_EQ(rig.device.Sent(), c.sent.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.sent});
    pf::PumpFor(10);
    EXPECT_EQ(errors.size(), c.sent.empty() ? 1u : 0u);
  }
  TRig rig;
  rig.Answer({});
  EXPECT_TRUE(rig.gsm.CancelUSSD());
  EXPECT_EQ(rig.device.Sent(), std::vector<std::string>{"AT+CUSD=2\r"});
  TRig benq(11);  // no USSD in its driver
  EXPECT_FALSE(benq.gsm.CancelUSSD());
  EXPECT_TRUE(benq.device.Sent().empty());
}
