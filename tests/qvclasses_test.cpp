// The I/O device base, its notify list, and the data processor chain, over an
// in-memory device, log and terminal.
#include "qvclasses.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/qvdispatcher.h"

using namespace qv;
using namespace qv::platform;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

std::string A(const std::u16string& s) { return StringToUtf8(s); }

class MemLog : public TqvCustomLogFile {
 public:
  using TqvCustomLogFile::TqvCustomLogFile;
  void Save() override {}
  void Clear() override {
    std::lock_guard lock(m);
    lines.clear();
  }
  void Add(const std::u16string& s) override {
    std::lock_guard lock(m);
    lines.push_back(A(s));
  }
  void AddSysInfo() override { Add(u"<sysinfo>"); }
  void AddLog(TDetailLevel l, const std::u16string& s) override {
    if (DetailLevel() >= l) Add(s);
  }
  void AddFmt(const std::u16string& f, const std::vector<TqvFmtArg>& args) override { Add(Format(f, args)); }
  void AddLogFmt(TDetailLevel l, const std::u16string& f, const std::vector<TqvFmtArg>& args) override {
    if (DetailLevel() >= l) AddFmt(f, args);
  }
  std::vector<std::string> Lines() {
    std::lock_guard lock(m);
    return lines;
  }
  bool Has(const std::string& line) {
    auto l = Lines();
    return std::find(l.begin(), l.end(), line) != l.end();
  }

 private:
  std::mutex m;
  std::vector<std::string> lines;
};

class MemTerminal : public TqvCustomTerminal {
 public:
  using TqvCustomTerminal::TqvCustomTerminal;
  void TypeChar(char16_t ch) override { shown.push_back("key:" + A(std::u16string(1, ch))); }
  void ReplaceSel(std::u16string_view t) override { shown.push_back(A(std::u16string(t))); }
  void DeviceBound(TqvBaseIO* d) override { boundTo = d; }
  std::vector<std::string> shown;
  TqvBaseIO* boundTo = nullptr;
};

// A device whose handle is a plain number and whose output is a string.
class MemIO : public TqvBaseIO {
 public:
  using TqvBaseIO::TqvBaseIO;
  ~MemIO() override { FreeKeepConnectionTimer(); }

  THandle OpenHandle() override {
    if (failOpen) throw EqvError("port busy");
    return 42;
  }
  void CloseDeviceHandle(THandle) override { ++closes; }
  int32_t GetDeviceIndex() override { return 0; }
  void DeviceListLoad() override {
    ++loads;
    auto d = std::make_unique<TqvDevice>();
    d->Data = 1;
    d->NameFriendly = u"COM1";
    DeviceAdd(std::move(d));
  }
  bool SendChar(char16_t ch) override { return SendString(std::string(1, char(ch))); }
  bool SendString(std::string_view s) override { return SendData(s.data(), uint32_t(s.size())); }
  bool SendData(const char* b, uint32_t n) override {
    if (failSend) return false;
    std::lock_guard lock(m);
    sent.append(b, n);
    return true;
  }
  void ClearDeviceInput() override {}
  void ClearDeviceOutput() override {}
  void ClearDeviceBuffers() override {}
  std::error_code FlushOutput(uint32_t ms) override {
    flushDeadline = ms;
    return flushError;
  }
  uint32_t WriteTimeout() const override { return writeTimeout; }

  void Notify(int32_t code) { DoNotify(code); }
  int NotifyCount() const { return qvNotifyList.Count(); }
  std::string Sent() {
    std::lock_guard lock(m);
    return sent;
  }

  bool failOpen = false, failSend = false;
  std::error_code flushError;
  uint32_t writeTimeout = 0, flushDeadline = 0;
  int closes = 0, loads = 0;

 private:
  std::mutex m;
  std::string sent;
};

// A processor that records what reaches it.
class RecProc : public TqvCustomDataProcessor {
 public:
  RecProc(std::string n, std::vector<std::string>* journal = nullptr) : name(std::move(n)), journal_(journal) {
    sLogPrefix = u"rec: ";
  }
  ~RecProc() override { FreeAsyncTimer(); }
  void MediumOpened() override {
    Note("opened");
    TqvCustomDataProcessor::MediumOpened();
  }
  void MediumClosed() override { Note("closed"); }
  void DoProcessing(const char* d, uint32_t n, TIgnoreTypes& R) override {
    Note("data:" + std::string(d, n));
    if (hideFromTerminal) R.Include(TIgnoreType::itTerminal);
    TqvCustomDataProcessor::DoProcessing(d, n, R);
  }
  void DoAfterSendComplete(bool& claim) override {
    ++sendCompletes;
    claim = claimSendComplete;
  }
  void Note(const std::string& what) {
    std::lock_guard lock(m);
    if (journal_) journal_->push_back(name + " " + what);
    notes.push_back(what);
  }
  std::vector<std::string> Notes() {
    std::lock_guard lock(m);
    return notes;
  }

  std::string name;
  bool hideFromTerminal = false, claimSendComplete = false;
  std::atomic<int> sendCompletes{0};

 private:
  std::mutex m;
  std::vector<std::string>* journal_;
  std::vector<std::string> notes;
};

struct Subscriber {
  void OnNotify(TObject*, int32_t code) { codes.push_back(code); }
  std::vector<int32_t> codes;
};

TqvNotifyEvent Sub(Subscriber& s) { return TqvNotifyEvent::Bind(&s, &Subscriber::OnNotify); }

std::unique_ptr<TqvDevice> Dev(int32_t data, std::u16string name = u"") {
  auto d = std::make_unique<TqvDevice>();
  d->Data = data;
  d->NameFriendly = name.empty() ? u"D" + IntToStr(data) : name;
  return d;
}

}  // namespace

// =================================================================== notify list

TEST(NotifyList, TwoObjectsOfOneClassSubscribeIndependently) {
  MemIO io;
  Subscriber a, b;
  io.NotifyAdd(Sub(a));
  io.NotifyAdd(Sub(b));
  io.NotifyAdd(Sub(a));  // a second add of the same handler is ignored
  EXPECT_EQ(io.NotifyCount(), 2);
  io.NotifyDelete(Sub(b));
  io.Notify(3);
  EXPECT_THAT(a.codes, ElementsAre(3)) << "b's unsubscribe must not remove a's entry";
  EXPECT_THAT(b.codes, IsEmpty());
  io.NotifyDelete(Sub(b));  // absent: nothing
  EXPECT_EQ(io.NotifyCount(), 1);
}

TEST(NotifyList, IndexOperations) {
  TqvNotifyList list;
  Subscriber a, b, c;
  EXPECT_EQ(list.Add(Sub(a)), 0);
  EXPECT_EQ(list.Add(Sub(b)), 1);
  EXPECT_EQ(list.IndexOf(Sub(b)), 1);
  EXPECT_EQ(list.IndexOf(Sub(c)), -1);
  list.Put(1, Sub(c));
  EXPECT_EQ(list.IndexOf(Sub(b)), -1);
  EXPECT_EQ(list.Get(1), Sub(c));
  EXPECT_FALSE(list.Get(7));
  list.Delete(9);  // out of range: ignored
  list.Call(nullptr, 2);
  EXPECT_THAT(a.codes, ElementsAre(2));
  EXPECT_THAT(c.codes, ElementsAre(2));
  list.Delete(0);
  EXPECT_EQ(list.IndexOf(Sub(c)), 0);
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
}

TEST(NotifyList, SubscriberDestroyedDuringTheCallIsNotCalled) {
  TqvNotifyList list;
  auto victim = std::make_unique<Subscriber>();
  Subscriber after;
  int killerCalls = 0;
  TqvNotifyEvent killer = [&](TObject*, int32_t) {
    ++killerCalls;
    list.Delete(list.IndexOf(Sub(*victim)));
    victim.reset();
  };
  list.Add(killer);
  list.Add(Sub(*victim));
  list.Add(Sub(after));
  list.Call(nullptr, 1);  // under ASan a call of the destroyed victim would fault
  EXPECT_EQ(killerCalls, 1);
  EXPECT_THAT(after.codes, ElementsAre(1));
  EXPECT_EQ(list.Count(), 2);
}

TEST(NotifyList, CallbackMayRemoveItself) {
  TqvNotifyList list;
  Subscriber other;
  int calls = 0;
  TqvNotifyEvent self = [&](TObject*, int32_t) {
    ++calls;
    list.Delete(0);
  };
  list.Add(self);
  list.Add(Sub(other));
  list.Call(nullptr, 1);
  list.Call(nullptr, 2);
  EXPECT_EQ(calls, 1);
  EXPECT_THAT(other.codes, ElementsAre(1, 2));
}

TEST(NotifyList, EverySubscriberHearsTheCodeAndTheFirstErrorFollows) {
  TqvNotifyList list;
  Subscriber before, between, after;
  auto thrower = [](const char* what) {
    return TqvNotifyEvent([what](TObject*, int32_t) { throw EqvError(what); });
  };
  list.Add(Sub(before));
  list.Add(thrower("first"));
  list.Add(Sub(between));
  list.Add(thrower("second"));
  list.Add(Sub(after));
  try {
    list.Call(nullptr, 1);
    ADD_FAILURE() << "the error was swallowed";
  } catch (const EqvError& e) {
    EXPECT_STREQ(e.what(), "first");
  }
  for (const Subscriber* s : {&before, &between, &after}) EXPECT_THAT(s->codes, ElementsAre(1));
}

TEST(NotifyList, CodeRaisedOnAnotherThreadWhileMainSubscribes) {
  TqvNotifyList list;
  std::atomic<bool> stop{false};
  std::thread raiser([&] {
    while (!stop) list.Call(nullptr, 1);
  });
  struct Guarded {
    std::atomic<bool> removed{false};
    std::atomic<int> lateCalls{0};
    void OnNotify(TObject*, int32_t) {
      if (removed) ++lateCalls;
    }
  };
  for (int i = 0; i < 300; ++i) {
    auto g = std::make_unique<Guarded>();
    auto ev = TqvNotifyEvent::Bind(g.get(), &Guarded::OnNotify);
    list.AddUnique(ev);
    ASSERT_TRUE(list.Remove(ev));
    g->removed = true;  // Remove returned: no call of g may be running or start
    EXPECT_EQ(g->lateCalls, 0);
  }
  stop = true;
  raiser.join();
}

TEST(NotifyList, RemoveWaitsForARunningCallThatWaitsOnTheMainThread) {
  TqvNotifyList list;
  TEvent inside(true, false);
  std::atomic<bool> served{false};
  TqvNotifyEvent slow = [&](TObject*, int32_t) {
    inside.Set();
    RunOnMainThread([&] { served = true; });
  };
  list.Add(slow);
  std::thread raiser([&] { list.Call(nullptr, 1); });
  inside.Wait();
  EXPECT_TRUE(list.Remove(slow));  // pumps while it waits, so the call completes
  EXPECT_TRUE(served);
  JoinWhilePumping(raiser);
}

TEST(NotifyList, UnsubscribeInsideTheCallThatTheCallbackWaitsFor) {
  // Code 1 raised on a device thread; the handler hands work to the main
  // thread, and that work unsubscribes the handler (its owner goes away).
  TqvNotifyList list;
  TqvNotifyEvent handler = [&](TObject*, int32_t) { RunOnMainThread([&] { list.Remove(handler); }); };
  list.Add(handler);
  std::thread raiser([&] { list.Call(nullptr, 1); });
  JoinWhilePumping(raiser);
  EXPECT_EQ(list.Count(), 0);
}

// =================================================================== device list

TEST(DeviceList, InsertKeepsDataOrderAndIndexes) {
  struct Case {
    std::vector<int32_t> before;
    int32_t data;
    int expected;
    std::vector<int32_t> after;
  };
  const Case cases[] = {
      {{}, 5, 0, {5}},
      {{1, 3}, 7, 2, {1, 3, 7}},
      {{1, 3, 9}, 4, 2, {1, 3, 4, 9}},
      {{2, 3}, -1, 0, {-1, 2, 3}},
      {{1, 3, 9}, 3, -1, {1, 3, 9}},
      {{4}, 4, -1, {4}},
  };
  for (const auto& c : cases) {
    MemIO io;
    for (int32_t d : c.before) io.DeviceAdd(Dev(d));
    auto dev = Dev(c.data, u"new");
    TqvDevice* raw = dev.get();
    EXPECT_EQ(io.DeviceInsert(dev), c.expected) << c.data;
    EXPECT_EQ(dev == nullptr, c.expected >= 0) << "ownership moves only on success";
    ASSERT_EQ(io.DeviceCount(), int(c.after.size()));
    for (int i = 0; i < io.DeviceCount(); ++i) {
      EXPECT_EQ(io.GetDevice(i)->Data, c.after[i]);
      EXPECT_EQ(io.GetDevice(i)->Index(), i);
      EXPECT_EQ(io.GetDevice(i)->Parent(), &io);
    }
    if (c.expected >= 0) {
      EXPECT_EQ(io.IndexOfDevice(raw), c.expected);
      EXPECT_EQ(io.DeviceName(c.expected), u"new");
    }
  }
}

TEST(DeviceList, LookupsAndLoading) {
  MemIO io;
  EXPECT_EQ(io.GetDevice(0), nullptr);
  EXPECT_EQ(io.GetDevice(-1), nullptr);
  TqvDeviceRefs refs{{u"stale", nullptr}};
  io.GetDeviceList(&refs);  // empty list: loads first
  EXPECT_EQ(io.loads, 1);
  ASSERT_EQ(refs.size(), 1u);
  EXPECT_EQ(refs[0].first, u"COM1");
  EXPECT_EQ(refs[0].second, io.GetDevice(0));
  io.GetDeviceList(nullptr);
  EXPECT_EQ(io.loads, 1);
  io.DeviceAdd(Dev(7));
  EXPECT_EQ(io.IndexOfDeviceData(7), 1);
  EXPECT_EQ(io.IndexOfDeviceData(8), -1);
  EXPECT_EQ(io.IndexOfDevice(nullptr), -1);
  io.DeviceListClear();
  EXPECT_EQ(io.DeviceCount(), 0);
}

TEST(DeviceList, DeviceChangeBroadcast) {
  struct Case {
    uint32_t msg, event, type;
    bool handled;
  };
  const Case cases[] = {
      {WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0, true},
      {WM_DEVICECHANGE, DBT_DEVICEARRIVAL, DBT_DEVTYP_PORT, true},
      {WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, DBT_DEVTYP_PORT, true},
      {WM_DEVICECHANGE, DBT_DEVICEARRIVAL, DBT_DEVTYP_VOLUME, false},
      {WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, 0, false},
      {WM_DEVICECHANGE, 0x8001, DBT_DEVTYP_PORT, false},
      {0x0218, DBT_DEVNODES_CHANGED, 0, false},
  };
  for (const auto& c : cases) {
    MemIO io;
    Subscriber s;
    io.NotifyAdd(Sub(s));
    EXPECT_EQ(io.WMDeviceChange({c.msg, c.event, c.type}), c.handled) << c.event << "/" << c.type;
    EXPECT_EQ(s.codes.size(), c.handled ? 1u : 0u);
    if (c.handled) {
      EXPECT_EQ(s.codes[0], qvNotifyDeviceChanged);
    }
  }
}

// =================================================================== reception and terminal

TEST(Reception, LogsHandsOnAndShows) {
  MemIO io;
  MemLog log;
  log.SetDetailLevel(TDetailLevel::dlDebug);
  RecProc proc("p");
  MemTerminal term;
  std::string after;
  io.SetLog(&log);
  io.SetDataProcessor(&proc);
  io.SetTerminal(&term);
  io.SetTerminalUsage(TTerminalUsage::tuBoth);
  io.OnAfterReceive = [&](TObject* com, const char* b, uint32_t n) {
    EXPECT_EQ(com, &io);
    after.assign(b, n);
  };
  EXPECT_FALSE(io.DataReceived("AT\r", 3));
  EXPECT_TRUE(log.Has("MemIOInput data length: 3 [41 54 0D ]"));
  EXPECT_THAT(proc.Notes(), ElementsAre("data:AT\r"));
  EXPECT_THAT(term.shown, ElementsAre("AT\r"));
  EXPECT_EQ(after, "AT\r");

  proc.hideFromTerminal = true;  // a processor keeps a block off the terminal
  io.DataReceived("OK", 2);
  EXPECT_EQ(term.shown.size(), 1u);
  EXPECT_EQ(after, "OK");
}

TEST(Reception, TerminalOutputShapes) {
  struct Case {
    std::string block;
    std::vector<std::string> shown;
  };
  const Case cases[] = {
      {"\b", {"key:\b"}},
      {std::string("AB\0CD", 5), {"AB", "CD"}},
      {std::string("\0\0\0", 3), {}},
      {std::string("\0X\0\0YZ\0", 7), {"X", "YZ"}},
      {"\xE9\xFF", {"\xC3\xA9\xC3\xBF"}},  // bytes widen one to one
  };
  for (const auto& c : cases) {
    MemIO io;
    MemTerminal term;
    io.SetTerminal(&term);
    io.SetTerminalUsage(TTerminalUsage::tuReceive);
    io.DataReceived(c.block.data(), uint32_t(c.block.size()));
    EXPECT_EQ(term.shown, c.shown);
  }
}

TEST(Terminal, UsageDecidesWhatIsShownAndWhatIsSent) {
  struct Case {
    TTerminalUsage usage;
    bool echo;
    bool shown;     // received data reaches the terminal
    bool sent;      // a typed key is sent
    bool keyShown;  // a typed key appears locally
  };
  const Case cases[] = {
      {TTerminalUsage::tuNone, false, false, false, true},
      {TTerminalUsage::tuSend, false, false, true, false},
      {TTerminalUsage::tuSend, true, false, true, true},
      {TTerminalUsage::tuReceive, false, true, false, true},
      {TTerminalUsage::tuBoth, false, true, true, false},
      {TTerminalUsage::tuBoth, true, true, true, true},
  };
  for (const auto& c : cases) {
    MemIO io;
    MemTerminal term;
    io.SetTerminal(&term);
    io.SetTerminalUsage(c.usage);
    io.SetTerminalEcho(c.echo);
    EXPECT_EQ(term.boundTo, &io);
    io.DataReceived("in", 2);
    term.KeyTyped(u'k');
    const std::string usage = std::to_string(int(c.usage)) + (c.echo ? " echo" : "");
    EXPECT_EQ(std::count(term.shown.begin(), term.shown.end(), "in") == 1, c.shown) << usage;
    EXPECT_EQ(io.Sent() == "k", c.sent) << usage;
    EXPECT_EQ(std::count(term.shown.begin(), term.shown.end(), "key:k") == 1, c.keyShown) << usage;
  }
}

TEST(Terminal, UnbindingAndDestruction) {
  MemIO io;
  {
    MemTerminal term;
    io.SetTerminal(&term);
    io.SetTerminalUsage(TTerminalUsage::tuBoth);
    io.SetTerminal(nullptr);
    EXPECT_EQ(term.boundTo, nullptr);
    term.KeyTyped(u'x');  // no longer hooked: shown, not sent
    EXPECT_EQ(io.Sent(), "");
    io.SetTerminal(&term);
  }
  EXPECT_EQ(io.Terminal(), nullptr) << "a destroyed terminal is forgotten";
  io.DataReceived("zz", 2);
}

// =================================================================== life cycle

TEST(BaseIO, OpenCloseAndHandlersThatThrow) {
  MemIO io;
  int opens = 0, closes = 0;
  io.OnOpen = [&](TObject*) {
    ++opens;
    throw std::runtime_error("handler");
  };
  io.OnClose = [&](TObject*) {
    ++closes;
    throw std::runtime_error("handler");
  };
  EXPECT_FALSE(io.Active());
  EXPECT_EQ(io.Handle(), INVALID_HANDLE_VALUE);
  io.SetActive(true);
  EXPECT_TRUE(io.Active());
  EXPECT_EQ(io.Handle(), 42);
  io.SetActive(true);  // unchanged: nothing
  EXPECT_EQ(opens, 1);
  io.SetActive(false);
  io.Close();
  EXPECT_EQ(closes, 1);
  EXPECT_EQ(io.closes, 1);
}

TEST(BaseIO, ActiveWhileLoadingOpensAtLoaded) {
  MemIO io;
  io.BeginLoading();
  io.SetActive(true);
  EXPECT_FALSE(io.IsOpen());
  EXPECT_TRUE(io.Active()) << "the stored value while loading";
  io.Loaded();
  EXPECT_TRUE(io.IsOpen());
}

TEST(BaseIO, LoadedShowsTheErrorAndGoesOn) {
  std::vector<std::string> boxes;
  auto old = SetMessageBoxHook([&](std::u16string_view text, std::u16string_view caption, TMsgBoxIcon icon) {
    EXPECT_EQ(icon, TMsgBoxIcon::mbError);
    boxes.push_back(A(std::u16string(caption)) + "|" + A(std::u16string(text)));
  });
  MemIO io;
  io.failOpen = true;
  io.BeginLoading();
  io.SetActive(true);
  io.Loaded();
  SetMessageBoxHook(old);
  EXPECT_THAT(boxes, ElementsAre("Error|error: port busy"));
  EXPECT_FALSE(io.IsLoading());
}

TEST(BaseIO, DesignModeTestOpenRecordsTheResult) {
  MemIO io;
  io.SetDesigning(true);
  io.SetActive(true);
  EXPECT_FALSE(io.IsOpen()) << "a test open closes again";
  EXPECT_TRUE(io.Active());
  io.failOpen = true;
  EXPECT_THROW(io.SetActive(true), EqvError);
}

TEST(BaseIO, FatalErrorPath) {
  struct Case {
    bool clear, show, loading;
    bool throws, boxed;
  };
  const Case cases[] = {
      {false, false, false, true, false},
      {true, false, false, false, false},
      {false, true, false, false, true},
      {true, true, false, false, false},
      {false, false, true, false, false},
  };
  for (const auto& c : cases) {
    MemIO io;
    MemLog log;
    int boxes = 0;
    auto old = SetMessageBoxHook([&](auto, auto, auto) { ++boxes; });
    io.SetLog(&log);
    io.OnFatalError = [&](TObject* s, uint32_t code, uint32_t detail, const std::u16string& msg, bool& raise) {
      EXPECT_EQ(s, &io);
      EXPECT_EQ(code, 5u);
      EXPECT_EQ(detail, 6u);
      EXPECT_EQ(msg, u"bad");
      EXPECT_TRUE(raise);
      if (c.clear) raise = false;
    };
    if (c.loading) io.BeginLoading();
    bool threw = false;
    try {
      io.DoFatalError(5, 6, u"bad", c.show);
    } catch (const EqvError& e) {
      threw = true;
      EXPECT_STREQ(e.what(), "bad");
    }
    SetMessageBoxHook(old);
    EXPECT_EQ(threw, c.throws);
    EXPECT_EQ(boxes, c.boxed ? 1 : 0);
    EXPECT_THAT(log.Lines(), ElementsAre("Fatal Error: 5, 6, bad")) << "no prefix";
  }
}

TEST(BaseIO, LoggingOperations) {
  MemIO io;
  io.WriteLog(TDetailLevel::dlSimple, u"nothing without a log");
  EXPECT_FALSE(io.IsLogLevel(TDetailLevel::dlSimple));
  MemLog log;
  io.SetLog(&log);
  log.SetDetailLevel(TDetailLevel::dlDetail);
  EXPECT_TRUE(io.IsLogLevel(TDetailLevel::dlDetail));
  EXPECT_FALSE(io.IsLogLevel(TDetailLevel::dlDebug));
  io.WriteLog(TDetailLevel::dlDetail, u"a");
  io.WriteLog(TDetailLevel::dlDebug, u"hidden");
  io.WriteLog(TDetailLevel::dlSimple, u"");
  io.WriteLogFmt(TDetailLevel::dlSimple, u"n=%d", {int64_t(4)});
  EXPECT_THAT(log.Lines(), ElementsAre("MemIOa", "<sysinfo>", "MemIOn=4")) << "the class's own name";
}

TEST(BaseIO, LogPrefixIsTheNameOfTheMostDerivedClass) {
  struct SerialLikeIO : MemIO {};
  struct NamedIO : MemIO {
    NamedIO() { sLogPrefix = u"named: "; }
  };
  MemLog log;
  SerialLikeIO derived;
  NamedIO named;
  for (TqvBaseIO* io : std::initializer_list<TqvBaseIO*>{&derived, &named}) {
    io->SetLog(&log);
    io->WriteLog(TDetailLevel::dlSimple, u"x");
  }
  EXPECT_THAT(log.Lines(), ElementsAre("SerialLikeIOx", "named: x"));
  EXPECT_EQ(A(derived.LogPrefix()), "SerialLikeIO");
}

TEST(BaseIO, KeepConnectionTicksUntilSwitchedOff) {
  for (bool keep : {true, false}) {
    MemIO io;
    io.SetKeepConnectionInterval(3);
    std::atomic<int> ticks{0};
    TEvent ticked(false, false);
    io.OnKeepConnection = [&](TObject* s) {
      EXPECT_EQ(s, &io);
      ++ticks;
      ticked.Set();
    };
    io.SetKeepConnection(keep);
    io.KeepConnectionStart();
    ASSERT_TRUE(ticked.Wait(10000));
    if (keep) {
      ASSERT_TRUE(ticked.Wait(10000)) << "it goes on ticking";
      io.KeepConnectionStop();
    } else {
      Sleep(30);
      EXPECT_EQ(ticks, 1) << "with KeepConnection off a tick stops its timer itself";
    }
  }
}

TEST(BaseIO, DestroyedWhileKeepConnectionTicks) {
  auto io = std::make_unique<MemIO>();
  io->SetKeepConnectionInterval(1);
  io->SetKeepConnection(true);
  TEvent ticked(true, false);
  io->OnKeepConnection = [&](TObject*) { ticked.Set(); };
  io->KeepConnectionStart();
  ticked.Wait();
  io.reset();
}

TEST(BaseIO, NoKeepConnectionTimerIsMadeAgainOnceItWasFreed) {
  // A loss handled on another thread while the device is being destroyed
  // must not bring the timer back.
  struct DyingIO : MemIO {
    using MemIO::FreeKeepConnectionTimer;
  } io;
  io.SetKeepConnectionInterval(1);
  io.SetKeepConnection(true);
  std::atomic<int> ticks{0};
  io.OnKeepConnection = [&](TObject*) { ++ticks; };
  io.FreeKeepConnectionTimer();
  io.KeepConnectionStart();
  Sleep(50);
  EXPECT_EQ(ticks, 0);
}

TEST(BaseIO, ThreadIOHandsBlocksToTheMainThread) {
  struct ThreadedIO : MemIO {
    ThreadedIO() {
      isThreaded = true;
      SetUseMainThread(true);
    }
    ~ThreadedIO() override { Close(); }
    void ThreadExecute(TqvThreadIO& t) override {
      DataReceived("hi", 2);
      while (!t.Terminated()) Sleep(1);
    }
  };
  ThreadedIO io;
  std::thread::id deliveredOn;
  io.OnAfterReceive = [&](TObject*, const char*, uint32_t) { deliveredOn = std::this_thread::get_id(); };
  io.Open();
  while (deliveredOn == std::thread::id()) PumpFor(10);
  EXPECT_EQ(deliveredOn, std::this_thread::get_id());
  io.Close();  // stops and joins the thread
}

TEST(BaseIO, AThreadedDeviceClosedFromItsOwnThread) {
  // Closed by ThreadExecute itself, or by a handler in the main-thread call
  // that the thread waits on: neither may end the process or deadlock.
  struct ThreadedIO : MemIO {
    explicit ThreadedIO(bool viaMainThread) : viaMain(viaMainThread) {
      isThreaded = true;
      SetUseMainThread(true);
      if (viaMain) OnAfterReceive = [this](TObject*, const char*, uint32_t) { Close(); };
    }
    ~ThreadedIO() override { Close(); }
    void ThreadExecute(TqvThreadIO& t) override {
      if (viaMain)
        DataReceived("bye", 3);
      else
        Close();
      while (!t.Terminated()) Sleep(1);
      ended = true;
    }
    const bool viaMain;
    std::atomic<bool> ended{false};
  };
  for (bool viaMain : {false, true}) {
    SCOPED_TRACE(viaMain ? "from the call it waits on" : "from the thread");
    ThreadedIO io(viaMain);
    io.Open();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!io.ended && std::chrono::steady_clock::now() < deadline) PumpFor(10);
    EXPECT_TRUE(io.ended);
    EXPECT_FALSE(io.IsOpen());
    EXPECT_EQ(io.closes, 1);
  }
}

// =================================================================== processor chain

TEST(Processor, ReplacingTheProcessorDetachesTheOldOne) {
  MemIO io;
  RecProc first("first"), second("second");
  io.SetDataProcessor(&first);
  io.SetDataProcessor(&second);
  EXPECT_EQ(first.Device(), nullptr);
  EXPECT_EQ(second.Device(), &io);
  io.Notify(qvNotifyOpened);
  io.DataReceived("x", 1);
  EXPECT_THAT(first.Notes(), IsEmpty());
  EXPECT_THAT(second.Notes(), ElementsAre("opened", "data:x"));
  EXPECT_FALSE(first.DoTextSend("AT")) << "the old one no longer sends";
  io.SetDataProcessor(nullptr);
  EXPECT_EQ(second.Device(), nullptr);
  EXPECT_EQ(io.NotifyCount(), 0);
}

TEST(Processor, ChainHearsTheDeviceAndPassesBlocksOn) {
  std::vector<std::string> journal;
  for (bool chainFirst : {false, true}) {
    journal.clear();
    MemIO io;
    RecProc a("A", &journal), b("B", &journal);
    if (chainFirst) a.SetDataProcessor(&b);
    io.SetDataProcessor(&a);
    if (!chainFirst) a.SetDataProcessor(&b);
    EXPECT_EQ(b.Device(), &io);
    io.Notify(qvNotifyOpened);
    io.DataReceived("OK", 2);
    io.Notify(qvNotifyClosed);
    io.Notify(qvNotifyDeviceChanged);  // ignored by processors
    EXPECT_THAT(journal, ElementsAre("A opened", "B opened", "A data:OK", "B data:OK", "A closed", "B closed"))
        << "chain built " << (chainFirst ? "before" : "after") << " attaching";
  }
}

TEST(Processor, SelfLinkAndDestroyedNeighbours) {
  auto io = std::make_unique<MemIO>();
  RecProc a("A");
  a.SetDataProcessor(&a);
  EXPECT_EQ(a.DataProcessor(), nullptr);
  {
    RecProc b("B");
    io->SetDataProcessor(&a);
    a.SetDataProcessor(&b);
    EXPECT_EQ(io->NotifyCount(), 2);
  }
  EXPECT_EQ(a.DataProcessor(), nullptr);
  EXPECT_EQ(io->NotifyCount(), 1) << "a destroyed processor unsubscribed";
  {
    RecProc c("C");
    io->SetDataProcessor(&c);
  }
  EXPECT_EQ(io->DataProcessor(), nullptr);
  io->SetDataProcessor(&a);
  io.reset();
  EXPECT_EQ(a.Device(), nullptr);
  EXPECT_FALSE(a.IsDeviceOpen());
}

namespace {

// A processor whose destructor, like the GSM component's, still has work to
// do after it shut down; the flags outlive it.
class MortalProc : public TqvCustomDataProcessor {
 public:
  struct Flags {
    std::atomic<bool> dying{false}, lateBlock{false}, inside{false}, left{false};
    std::chrono::milliseconds hold{0};  // how long a block stays inside
    std::function<void()> whileDying;   // the rest of the destructor
  };
  explicit MortalProc(Flags& f) : f_(f) {}
  ~MortalProc() override {
    ShutDown();
    f_.dying = true;
    if (f_.whileDying) f_.whileDying();
  }
  void DoProcessing(const char*, uint32_t, TIgnoreTypes&) override {
    if (f_.dying) f_.lateBlock = true;
    f_.inside = true;
    std::this_thread::sleep_for(f_.hold);
    f_.left = true;
  }

 private:
  Flags& f_;
};

}  // namespace

TEST(Processor, NoBlockReachesAProcessorWhoseDestructorPumps) {
  MemIO io;
  MortalProc::Flags f;
  f.whileDying = [&] {
    // It waits for a worker and serves the main thread meanwhile; a block
    // the device hands over runs now.
    std::thread device([&] { RunOnMainThread([&] { io.DataReceived("late", 4); }); });
    JoinWhilePumping(device);
  };
  {
    MortalProc p(f);
    io.SetDataProcessor(&p);
  }
  EXPECT_FALSE(f.lateBlock);
  EXPECT_EQ(io.DataProcessor(), nullptr);
  EXPECT_EQ(io.NotifyCount(), 0);
}

TEST(Processor, ShuttingDownWaitsForABlockHandedOverOnAnotherThread) {
  MemIO io;
  MortalProc::Flags f;
  f.hold = std::chrono::milliseconds(50);
  auto p = std::make_unique<MortalProc>(f);
  io.SetDataProcessor(p.get());
  std::thread device([&] { io.DataReceived("x", 1); });
  while (!f.inside) Sleep(1);
  f.whileDying = [&] { EXPECT_TRUE(f.left) << "the block was still inside"; };
  p.reset();
  device.join();
}

TEST(Processor, DataSendReportsFailures) {
  const auto timedOut = std::make_error_code(std::errc::timed_out);
  const auto ioError = std::make_error_code(std::errc::io_error);
  struct Case {
    const char* name;
    bool noDevice, failSend;
    std::error_code flushError;
    bool throwInHook;
    uint32_t writeTimeout;
    bool ok;
    std::string logLine;  // expected besides the debug line
  };
  const Case cases[] = {
      {"sent", false, false, {}, false, 0, true, ""},
      {"device write time-out", false, false, {}, false, 100, true, ""},
      {"no device", true, false, {}, false, 0, false, "rec: DoDataSend: no device, 3 bytes not sent"},
      {"write fails", false, true, {}, false, 0, false, "rec: DoDataSend: sending 3 bytes failed"},
      {"flush runs past the deadline", false, false, timedOut, false, 0, false,
       "rec: DoDataSend: output not flushed within 5000 ms"},
      {"the write fails while it is flushed", false, false, ioError, false, 0, false,
       "rec: DoDataSend: output not flushed: " + ioError.message()},
      {"hook throws", false, false, {}, true, 0, false, "rec: DoDataSend: hook failed"},
  };
  for (const auto& c : cases) {
    MemIO io;
    MemLog log;
    log.SetDetailLevel(TDetailLevel::dlDebug);
    RecProc p("p");
    p.SetLog(&log);
    if (!c.noDevice) io.SetDataProcessor(&p);
    io.failSend = c.failSend;
    io.flushError = c.flushError;
    io.writeTimeout = c.writeTimeout;
    if (c.throwInHook) p.OnDataSend = [](TObject*, const char*, uint32_t, bool, bool&) { throw EqvError("hook failed"); };
    EXPECT_EQ(p.DoDataSend("AT\r", 3), c.ok) << c.name;
    if (c.ok) {
      EXPECT_EQ(io.Sent(), "AT\r") << c.name;
      EXPECT_EQ(io.flushDeadline, c.writeTimeout ? c.writeTimeout : p.SendTimeout()) << c.name;
    }
    if (!c.logLine.empty()) {
      EXPECT_TRUE(log.Has(c.logLine)) << c.name;
    }
    EXPECT_EQ(log.Has("rec: DoDataSend: 3 bytes"), !c.throwInHook) << c.name;
  }
}

TEST(Processor, TextSendReportsFailuresWithoutFlush) {
  MemIO io;
  RecProc p("p");
  EXPECT_FALSE(p.DoTextSend("AT"));
  io.SetDataProcessor(&p);
  EXPECT_TRUE(p.DoTextSend("AT"));
  EXPECT_TRUE(p.DoTextSend(""));
  EXPECT_EQ(io.Sent(), "AT");
  EXPECT_EQ(io.flushDeadline, 0u) << "no flush for text";
  io.failSend = true;
  EXPECT_FALSE(p.DoTextSend("AT"));
}

TEST(Processor, OnDataSendTakesOverSending) {
  MemIO io;
  MemLog log;
  log.SetDetailLevel(TDetailLevel::dlDebug);
  RecProc p("p");
  p.SetLog(&log);
  io.SetDataProcessor(&p);
  std::vector<std::string> seen;
  p.OnDataSend = [&](TObject* s, const char* b, uint32_t n, bool synchro, bool& handled) {
    EXPECT_EQ(s, &p);
    seen.push_back(std::string(b, n) + (synchro ? " text" : " block"));
    handled = true;
  };
  EXPECT_TRUE(p.DoDataSend(nullptr, 3));
  EXPECT_TRUE(p.DoDataSend("x", 0));
  EXPECT_THAT(seen, IsEmpty()) << "nothing to send: no hook";
  p.StartAsyncTimer(20);
  p.StartAsyncTimer(0);  // stopped, keeping its interval
  EXPECT_TRUE(p.DoDataSend("AT\r", 3));  // restarts the timer, as if a send completed
  EXPECT_TRUE(p.DoTextSend("hello"));
  EXPECT_THAT(seen, ElementsAre("AT\r block", "hello text"));
  EXPECT_EQ(io.Sent(), "");
  EXPECT_THAT(log.Lines(), ElementsAre("rec: DoDataSend: 3 bytes"));
  while (p.sendCompletes == 0) Sleep(1);
  EXPECT_FALSE(p.AsyncTimerEnabled()) << "one shot";
}

TEST(Processor, AsyncTimerIsOneShot) {
  MemIO io;
  RecProc p("p");
  io.SetDataProcessor(&p);
  p.claimSendComplete = true;
  EXPECT_TRUE(io.AfterSendComplete()) << "the processor claims the transmit-empty event";
  p.sendCompletes = 0;
  p.StartAsyncTimer(5);
  EXPECT_TRUE(p.AsyncTimerEnabled());
  while (p.sendCompletes == 0) Sleep(1);
  Sleep(30);
  EXPECT_EQ(p.sendCompletes, 1);
  p.StartAsyncTimer(60000);
  p.StartAsyncTimer(0);
  EXPECT_FALSE(p.AsyncTimerEnabled());
  Sleep(30);
  EXPECT_EQ(p.sendCompletes, 1);
}

TEST(Processor, DestroyedWhileItsTimerIsArmed) {
  auto p = std::make_unique<RecProc>("p");
  p->StartAsyncTimer(1);
  while (p->sendCompletes == 0) Sleep(1);
  p->StartAsyncTimer(1);
  p.reset();
}

TEST(Processor, FatalErrorsAndLogLines) {
  RecProc p("p");
  MemLog log;
  log.SetDetailLevel(TDetailLevel::dlDebug);
  p.SetLog(&log);
  p.OnFatalError = [](TObject*, uint32_t, uint32_t, const std::u16string&, bool& raise) { raise = false; };
  p.DoFatalErrors(1, 2, u"quiet");
  p.OnFatalError = nullptr;
  p.BeginLoading();  // a processor throws even while loading
  EXPECT_THROW(p.DoFatalErrors(3, 4, u"loud"), EqvError);
  p.DeviceNotify(nullptr, qvNotifyOpened);
  p.TqvCustomDataProcessor::MediumClosed();
  EXPECT_THAT(log.Lines(), ElementsAre("Fatal Error: 1, 2, quiet", "Fatal Error: 3, 4, loud", "rec: Medium Opened",
                                       "rec: Medium Closed"));
  {
    MemLog gone;
    p.SetLog(&gone);
  }
  EXPECT_EQ(p.Log(), nullptr);
}

TEST(LogFile, FatalErrorOfTheLogInterface) {
  MemLog log;
  EXPECT_THROW(log.DoFatalError(1, 2, u"disk full"), EqvError);
  log.OnFatalError = [](TObject*, uint32_t, uint32_t, const std::u16string&, bool& raise) { raise = false; };
  log.DoFatalError(1, 2, u"disk full");
  EXPECT_EQ(log.DetailLevel(), TDetailLevel::dlSimple);
}
