// TqvGsm against a scripted device (exact bytes both ways), and its parsers.
#include <gtest/gtest.h>

#include <map>
#include <mutex>

#include "platform/qvdispatcher.h"
#include "qvgsm.h"
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
  explicit TRig(int driver = 0) : device(TqvScriptedDevice::TDelivery::dlMainThread) {
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

  // Answers by the first table entry whose key starts the sent text.
  void Answer(std::vector<std::pair<std::string, std::string>> table) {
    device.SetResponder([table](const std::string& sent) -> std::vector<TChunk> {
      for (const auto& [key, reply] : table)
        if (sent.rfind(key, 0) == 0) return {{reply, 0}};
      return {{"\r\nOK\r\n", 0}};
    });
  }

  TqvMemoryLog log;
  TqvGsm gsm;
  TqvScriptedDevice device;
};

constexpr char kPduHello[] = "07911326040000F0040B911346610089F60000208062917314080CC8F71D14969741F977FD07";

}  // namespace

TEST(Gsm, StartsWithTheModelDriversAndDefaults) {
  TqvGsm gsm;
  EXPECT_EQ(gsm.DriverCount(), 19);
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
  int ref = 11;
  rig.device.SetResponder([&](const std::string& sent) -> std::vector<TChunk> {
    if (sent.rfind("AT+CMGS=", 0) == 0) return {{"\r\n> ", 0}};
    if (!sent.empty() && sent.back() == '\x1A') return {{"\r\n+CMGS: " + std::to_string(++ref) + "\r\n\r\nOK\r\n", 0}};
    return {{"\r\nOK\r\n", 0}};
  });
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
  rig.device.SetResponder([&](const std::string& sent) -> std::vector<TChunk> {
    if (sent.rfind("AT+CMGS=", 0) == 0) return {{"\r\n> ", 0}};
    if (!sent.empty() && sent.back() == '\x1A') return {{"\r\n+CMGS: 3\r\n\r\nOK\r\n", 0}};
    return {{"\r\nOK\r\n", 0}};
  });
  rig.gsm.SmsSend(u"+4917", u"x", true);
  EXPECT_TRUE(rig.gsm.SmsSendWait());
  EXPECT_EQ(rig.gsm.AwaitingCount(), 0u);
}

TEST(Gsm, DecodesUssdAnswers) {
  TRig rig;
  std::vector<std::string> answers;
  rig.gsm.OnUssd = [&](TObject*, const std::u16string& s) { answers.push_back(StringToUtf8(s)); };
  rig.device.Inject({{"\r\n+CUSD: 0,\"AA180C3602\",15\r\n", 0},
                     {"\r\n+CUSD: 0,\"00480069\",72\r\n", 0}});
  rig.device.Drain();
  ASSERT_TRUE(PumpUntil([&] { return answers.size() == 2; }));
  EXPECT_EQ(answers[0], "*100#");
  EXPECT_EQ(answers[1], "Hi");
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

// An initialisation line that fails ends the initialisation and leaves the
// component idle; with IgnoreInitErrors it goes on to OnAfterInit.
TEST(Gsm, InitialisationErrorsEndTheQueue) {
  for (bool ignore : {false, true}) {
    TRig rig;
    rig.gsm.SetIgnoreInitErrors(ignore);
    rig.Answer({{"AT+CGMR", "\r\nERROR\r\n"}, {"AT+CPIN?", "\r\n+CPIN: READY\r\n\r\nOK\r\n"}});
    int after = 0;
    rig.gsm.OnAfterInit = [&](TObject*) { ++after; };
    rig.gsm.Initialize();
    ASSERT_TRUE(PumpUntil([&] { return !rig.gsm.IsBusy(); }));
    pf::PumpFor(50);
    EXPECT_EQ(after, ignore ? 1 : 0);
  }
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
