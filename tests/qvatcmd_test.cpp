#include "qvatcmd.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/qvdispatcher.h"
#include "qvmemorylog.h"
#include "qvscripteddevice.h"
#include "qvtext.h"

using qv::u;
using qv::test::TqvMemoryLog;
using qvtest::TqvScriptedDevice;
using TDelivery = TqvScriptedDevice::TDelivery;
using TChunk = TqvScriptedDevice::TChunk;

namespace {

enum : int32_t { kDetect = 1, kInit, kManufacturer, kPinStatus, kSend, kModel, kList, kDiag, kConfirm, kNotify };

// A processor with the command names of the tests, recording every answered line.
class TTestProcessor : public TqvCustomATProcessor {
 public:
  int32_t CommandIdOf(const TATCommand& e) override {
    static const std::map<std::u16string, int32_t> ids = {
        {u"gsmDetect", kDetect},       {u"gsmInit", kInit},   {u"gsmGetManufacturer", kManufacturer},
        {u"gsmGetPINStatus", kPinStatus}, {u"gsmSend", kSend}, {u"gsmGetModel", kModel},
        {u"gsmSMSList", kList},        {u"gsmDiagnostics", kDiag},
        {u"gsmSMSDirectConfirm", kConfirm}, {u"gsmSMSNotifyEnable", kNotify}};
    auto it = ids.find(e.fName);
    return it == ids.end() ? 99 : it->second;
  }
  bool CommandSucceeded() override {
    auto guard = Guard();
    answered.push_back(fReply.sDataUseful);
    if (repeatOnce && answered.size() == 1) {
      // Send the same entry again, with a new text.
      slCommands[fCommandIndex - 1].Text = u"AT+RETRY\r";
      TqvCustomATProcessor::CommandSucceeded();
      return false;
    }
    return TqvCustomATProcessor::CommandSucceeded();
  }
  void QueueFinished() override {
    TqvCustomATProcessor::QueueFinished();
    auto guard = Guard();
    ++finished;
  }
  void QueueStopped(qv::TLineOutcome why) override {
    auto guard = Guard();
    stopped.push_back(why);
  }
  std::vector<qv::TLineOutcome> Stopped() const {
    auto guard = Guard();
    return stopped;
  }
  // Acknowledgement lines, as the GSM component sends them.
  void Acknowledge(const std::string& line) { SendAhead({line}); }
  std::vector<std::string> Answered() const {
    auto guard = Guard();
    return answered;
  }
  int Finished() const {
    auto guard = Guard();
    return finished;
  }
  TATReply& Reply() { return fReply; }

  bool repeatOnce = false;

 private:
  std::vector<std::string> answered;
  std::vector<qv::TLineOutcome> stopped;
  int finished = 0;
};

// A device, a processor and a log wired together; the device opened.
struct TRig {
  explicit TRig(TDelivery delivery = TDelivery::dlInline, uint32_t timeout = 300) : device(delivery) {
    proc.SetLog(&log);
    proc.SetTimeOut(timeout);
    proc.SetFinalGrace(150);
    proc.SetActive(true);
    device.SetDataProcessor(&proc);
    device.OpenDevice();
  }
  ~TRig() { device.Stop(); }

  TqvCustomATDriver* Use(const std::u16string& script) {
    auto* d = proc.AddDriverFromString(u"test", script);
    proc.SetDriverIndex(proc.DriverCount() - 1);
    return d;
  }
  TqvCustomATDriver* UseBuiltIn(const char* name) {
    auto* d = proc.AddDriverFromResource(u"built-in", name);
    proc.SetDriverIndex(proc.DriverCount() - 1);
    return d;
  }
  // Waits (pumping) until the queue has finished or stopped.
  void WaitQueue(uint32_t ms = 3000) {
    PumpUntil([&] { return proc.ATState() == TatInternalState::atIdle && proc.Finished() > 0; }, ms);
    device.Drain();
  }
  // Pumps until `done` holds, at most `ms`; its last answer.
  static bool PumpUntil(const std::function<bool()>& done, uint32_t ms = 3000) {
    const uint32_t start = qv::platform::GetTickCount();
    while (!done()) {
      if (qv::platform::TicksSince(start) >= ms) return done();
      qv::platform::PumpFor(5);
    }
    return true;
  }

  TqvMemoryLog log;
  TTestProcessor proc;
  TqvScriptedDevice device;
};

std::vector<TChunk> Chunks(std::initializer_list<std::string> parts, uint32_t delay = 0) {
  std::vector<TChunk> out;
  for (const auto& p : parts) out.push_back({p, delay});
  return out;
}

std::vector<TChunk> Bytewise(const std::string& s) {
  std::vector<TChunk> out;
  for (char c : s) out.push_back({std::string(1, c), 0});
  return out;
}

const TDelivery kDeliveries[] = {TDelivery::dlInline, TDelivery::dlThread, TDelivery::dlMainThread};

std::string Name(TDelivery d) {
  switch (d) {
    case TDelivery::dlInline: return "Inline";
    case TDelivery::dlThread: return "Thread";
    default: return "MainThread";
  }
}

// ---- single exchanges ------------------------------------------------------

struct ExchangeCase {
  const char* name;
  std::vector<TChunk> reply;
  bool result;
  std::string data, useful;
  bool isError;
};

class Exchange : public ::testing::TestWithParam<std::tuple<ExchangeCase, TDelivery>> {};

TEST_P(Exchange, SendAndWaitJudgesTheReply) {
  const auto& [c, delivery] = GetParam();
  TRig rig(delivery);
  rig.UseBuiltIn("QVGSM_SIEMENS_MC35I");
  rig.device.SetReplies({{"AT+CMD\r", c.reply}});
  EXPECT_EQ(rig.proc.SendAndWait("AT+CMD\r"), c.result);
  EXPECT_EQ(rig.device.Sent(), std::vector<std::string>{"AT+CMD\r"});
  EXPECT_EQ(rig.proc.ReplyLast().sData, c.data);
  EXPECT_EQ(rig.proc.ReplyLast().sDataUseful, c.useful);
  EXPECT_EQ(rig.proc.ReplyLast().IsError(), c.isError);
  EXPECT_EQ(rig.proc.ATState(), TatInternalState::atIdle);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Exchange,
    ::testing::Combine(
        ::testing::Values(
            ExchangeCase{"Ok", Chunks({"\r\nOK\r\n"}), true, "\r\nOK\r\n", "", false},
            ExchangeCase{"SignalQuality", Chunks({"\r\n+CSQ: 20,99\r\n\r\nOK\r\n"}), true,
                         "\r\n+CSQ: 20,99\r\n\r\nOK\r\n", "+CSQ: 20,99", false},
            ExchangeCase{"EchoIsPartOfTheReply", Chunks({"AT+CMD\r\r\nX\r\n\r\nOK\r\n"}), true,
                         "AT+CMD\r\r\nX\r\n\r\nOK\r\n", "AT+CMD\r\r\nX", false},
            ExchangeCase{"SplitReads", Chunks({"\r\n+CSQ: 1", "0,99\r\n\r\nO", "K\r", "\n"}), true,
                         "\r\n+CSQ: 10,99\r\n\r\nOK\r\n", "+CSQ: 10,99", false},
            ExchangeCase{"Bytewise", Bytewise("\r\nA\r\n\r\nOK\r\n"), true, "\r\nA\r\n\r\nOK\r\n", "A", false},
            ExchangeCase{"Error", Chunks({"\r\nERROR\r\n"}), true, "\r\nERROR\r\n", "", true},
            ExchangeCase{"NotSupported", Chunks({"\r\nCOMMAND NOT SUPPORT\r\n"}), true,
                         "\r\nCOMMAND NOT SUPPORT\r\n", "", true},
            ExchangeCase{"CmeErrorEndsAtOnce", Chunks({"\r\n+CME ERROR: 10\r\n"}), true,
                         "\r\n+CME ERROR: 10\r", "+CME ERROR: 10", true},
            // An unsolicited line keeps out of the reply, which keeps what it had.
            ExchangeCase{"RingInsideReply", Chunks({"\r\n+CSQ: 5,99\r\n\r\nRING\r\n", "\r\nOK\r\n"}), true,
                         "\r\n+CSQ: 5,99\r\n\r\nOK\r\n", "+CSQ: 5,99", false},
            ExchangeCase{"NoReply", {}, false, "", "", false},
            ExchangeCase{"OnlyARing", Chunks({"\r\nRING\r\n"}), false, "", "", false}),
        ::testing::ValuesIn(kDeliveries)),
    [](const auto& info) { return std::string(std::get<0>(info.param).name) + Name(std::get<1>(info.param)); });

// ---- notification heads inside a pending reply -------------------------------

struct HeadCase {
  const char* name;
  std::string stream;  // what the device sends after AT+CGMI
};

std::string HeadCaseName(const ::testing::TestParamInfo<std::tuple<HeadCase, int>>& info) {
  static const char* splits[] = {"Merged", "Bytewise", "Fives"};
  return std::string(std::get<0>(info.param).name) + splits[std::get<1>(info.param)];
}

class HeadInsideReply : public ::testing::TestWithParam<std::tuple<HeadCase, int>> {};

TEST_P(HeadInsideReply, ReplyKeepsItsOwnBytes) {
  const auto& [c, split] = GetParam();
  TRig rig(TDelivery::dlThread);
  rig.UseBuiltIn("QVGSM_SIEMENS_MC35I");
  std::vector<TChunk> chunks;
  if (split == 0) chunks = Chunks({c.stream});     // one merged read
  else if (split == 1) chunks = Bytewise(c.stream);  // one byte a read
  else for (size_t i = 0; i < c.stream.size(); i += 5) chunks.push_back({c.stream.substr(i, 5), 0});
  rig.device.SetReplies({{"AT+CGMI\r", chunks}});
  ASSERT_TRUE(rig.proc.SendAndWait("AT+CGMI\r"));
  EXPECT_EQ(rig.proc.ReplyLast().sDataUseful, "SIEMENS");
}

const std::string kCmti = "\r\n+CMTI: \"SM\",3\r\n";
const std::string kCmt = "\r\n+CMT: ,23\r\n07911326040000F0040B911346610089F60000208062917314080CC8F71D14969741F977FD07\r\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, HeadInsideReply,
    ::testing::Combine(::testing::Values(HeadCase{"HeadBefore", kCmti + "\r\nSIEMENS\r\n\r\nOK\r\n"},
                                         HeadCase{"HeadBetweenLines", "\r\nSIEMENS\r\n" + kCmti + "\r\nOK\r\n"},
                                         HeadCase{"HeadInsideLine", "\r\nSIEM" + kCmti + "ENS\r\n\r\nOK\r\n"},
                                         HeadCase{"HeadAfter", "\r\nSIEMENS\r\n\r\nOK\r\n" + kCmti},
                                         HeadCase{"TwoLineHead", "\r\nSIEMENS\r\n" + kCmt + "\r\nOK\r\n"},
                                         HeadCase{"RingAndClip", "\r\nSIEMENS\r\n\r\nRING\r\n\r\n+CLIP: \"+4912\",145\r\n\r\nOK\r\n"}),
                       ::testing::Values(0, 1, 2)),
    HeadCaseName);

// ---- time-outs -------------------------------------------------------------

TEST(ATProcessorTimeOut, TimedOutExchangeHasNoReply) {
  TRig rig(TDelivery::dlInline, 120);
  rig.device.SetReplies({{"AT\r", Chunks({"\r\nOK\r\n"})}, {"AT+SLOW\r", Chunks({"\r\npartial"})}});
  ASSERT_TRUE(rig.proc.SendAndWait("AT\r"));
  EXPECT_FALSE(rig.proc.SendAndWait("AT+SLOW\r"));
  EXPECT_EQ(rig.proc.ReplyLast().sData, "");
  EXPECT_EQ(rig.proc.CmdSendAndWaitResult("AT+SLOW<cr>"), u"");
  EXPECT_EQ(rig.device.Sent().back(), "AT+SLOW\r");
  EXPECT_EQ(rig.proc.ATState(), TatInternalState::atIdle);
  EXPECT_TRUE(rig.log.Contains("qvAT: Timeout!!! 120 ms \"\r\npartial\""));
}

TEST(ATProcessorTimeOut, NotificationsDoNotStopTheTimeOut) {
  TRig rig(TDelivery::dlThread, 150);
  rig.UseBuiltIn("QVGSM_SIEMENS_MC35I");
  rig.device.SetReplies({{"AT+CMD\r", Chunks({kCmti, "\r\nRING\r\n", "\r\n+CLIP: \"1\",129\r\n"}, 10)}});
  EXPECT_FALSE(rig.proc.SendAndWait("AT+CMD\r"));
  rig.device.Drain();
  // The timer ended the exchange: nothing is left pending.
  EXPECT_EQ(rig.proc.ATState(), TatInternalState::atIdle);
}

TEST(ATProcessorTimeOut, ListItemsKeepAListingAlive) {
  TRig rig(TDelivery::dlThread, 200);
  rig.UseBuiltIn("QVGSM_SIEMENS_MC35I");
  std::vector<TChunk> items;
  for (int i = 1; i <= 6; ++i)
    items.push_back({"\r\n+CMGL: " + std::to_string(i) + ",1,,23\r\n07911326040000F0040B911346610089F6\r\n", 70});
  items.push_back({"\r\nOK\r\n", 70});
  rig.device.SetReplies({{"AT+CMGL=4\r", items}});
  EXPECT_TRUE(rig.proc.SendAndWait("AT+CMGL=4\r"));
  EXPECT_EQ(rig.proc.ReplyLast().sData, "\r\nOK\r\n");
}

TEST(ATProcessorTimeOut, QueuedLineTimeOutStopsTheQueue) {
  TRig rig(TDelivery::dlInline, 100);
  rig.device.SetReplies({{"A1\r", Chunks({"\r\nOK\r\n"})}});
  for (auto t : {u"A1\r", u"A2\r", u"A3\r"}) rig.proc.EnqueueText(t);
  rig.proc.StartQueue();
  ASSERT_TRUE(TRig::PumpUntil([&] { return !rig.proc.Stopped().empty(); }, 2000));
  EXPECT_EQ(rig.proc.Stopped(), std::vector<qv::TLineOutcome>{qv::TLineOutcome::loTimedOut});
  EXPECT_EQ(rig.device.Sent(), (std::vector<std::string>{"A1\r", "A2\r"}));
  EXPECT_EQ(rig.proc.Finished(), 0);
  EXPECT_FALSE(rig.log.Contains("Queue finished"));
}

// ---- queue, commands, prompt -------------------------------------------------

const char16_t kScript[] =
    u"Include = qvgsm_AT_responses\r\n"
    u"HKR, Responses, \"<cr><lf>>\", 1, 101\r\n"
    u"HKR, Responses, \"<cr><lf>+CMGS:\", 1, 102\r\n"
    u"HKR, gsmInit, \"AT<cr>\", 1\r\n"
    u"HKR, gsmInit, \"ATE0<cr>\", 2\r\n"
    u"HKR, gsmInit, \"AT+CSCS=<q>GSM<q><sem><cr>\", 3\r\n"
    u"HKR, gsmSend, \"AT+CMGS=5<cr>\", 1, 101\r\n"
    u"HKR, gsmSend, \"0011<#26>\", 2\r\n";

TEST(ATProcessorQueue, SendsEveryLineAfterItsPredecessorWasAnswered) {
  for (auto delivery : kDeliveries) {
    SCOPED_TRACE(Name(delivery));
    TRig rig(delivery);
    rig.Use(kScript);
    rig.device.SetReplies({{"AT\r", Chunks({"\r\nOK\r\n"})},
                           {"ATE0\r", Chunks({"ATE0\r\r\nOK", "\r\n"})},
                           {"AT+CSCS=\"GSM\";\r", Chunks({"\r\nOK\r\n"})}});
    rig.proc.EnqueueCommand(kInit);
    rig.proc.EnqueueText(u"AT\r");
    ASSERT_EQ(rig.proc.QueueCount(), 4u);
    rig.proc.StartQueue();
    rig.WaitQueue();
    EXPECT_EQ(rig.device.Sent(), (std::vector<std::string>{"AT\r", "ATE0\r", "AT+CSCS=\"GSM\";\r", "AT\r"}));
    EXPECT_EQ(rig.proc.Answered(), (std::vector<std::string>{"", "ATE0", "", ""}));
    EXPECT_EQ(rig.proc.Finished(), 1);
    EXPECT_TRUE(rig.log.Contains("qvAT: Queue finished"));
  }
}

TEST(ATProcessorQueue, FalseFromTheSuccessHookRepeatsTheLine) {
  TRig rig;
  rig.proc.repeatOnce = true;
  rig.device.SetReplies({{"AT1\r", Chunks({"\r\nOK\r\n"})}, {"AT+RETRY\r", Chunks({"\r\nOK\r\n"})},
                         {"AT2\r", Chunks({"\r\nOK\r\n"})}});
  rig.proc.EnqueueText(u"AT1\r");
  rig.proc.EnqueueText(u"AT2\r");
  rig.proc.StartQueue();
  rig.WaitQueue();
  EXPECT_EQ(rig.device.Sent(), (std::vector<std::string>{"AT1\r", "AT+RETRY\r", "AT2\r"}));
}

TEST(ATProcessorQueue, ErrorStopsTheQueue) {
  TRig rig;
  rig.device.SetReplies({{"A1\r", Chunks({"\r\n+CME ERROR: 3\r\n"})}});
  rig.proc.EnqueueText(u"A1\r");
  rig.proc.EnqueueText(u"A2\r");
  rig.proc.StartQueue();
  EXPECT_EQ(rig.device.Sent(), std::vector<std::string>{"A1\r"});
  EXPECT_EQ(rig.proc.ATState(), TatInternalState::atIdle);
  EXPECT_TRUE(rig.proc.ReplyLast().IsError());
  EXPECT_TRUE(rig.log.Contains("qvAT: ERROR Returned !!! \r\n+CME ERROR: 3\r"));
}

// A queue never stalls with a line pending on nothing: an entry with nothing
// to send is passed over, a failed write ends the queue at once.
TEST(ATProcessorQueue, NoEntryStallsTheQueue) {
  TRig rig;
  rig.device.SetReplies({{"A1\r", Chunks({"\r\nOK\r\n"})}, {"A3\r", Chunks({"\r\nOK\r\n"})}});
  for (auto t : {u"A1\r", u"", u"A3\r"}) rig.proc.EnqueueText(t);
  rig.proc.StartQueue();
  rig.WaitQueue();
  EXPECT_EQ(rig.device.Sent(), (std::vector<std::string>{"A1\r", "A3\r"}));
  EXPECT_EQ(rig.proc.Finished(), 1);

  rig.proc.ClearQueue();
  rig.proc.EnqueueText(u"A1\r");
  rig.proc.EnqueueText(u"A2\r");
  rig.device.SetFailSends(true);
  rig.proc.StartQueue();
  ASSERT_TRUE(TRig::PumpUntil([&] { return !rig.proc.Stopped().empty(); }));
  EXPECT_EQ(rig.proc.Stopped(), std::vector<qv::TLineOutcome>{qv::TLineOutcome::loSendFailed});
  EXPECT_EQ(rig.proc.ReplyState(), qv::TReplyState::rsSendFailed);
  EXPECT_EQ(rig.proc.Finished(), 1);
}

// The line after a reply that came without its final result leaves once the
// final has come; when that write fails, the queue ends there as failed.
TEST(ATProcessorQueue, FailedWriteAfterADelayedFinalEndsTheQueue) {
  TRig rig(TDelivery::dlThread, 2000);
  rig.proc.SetFinalGrace(1500);
  rig.UseBuiltIn("QVGSM_WAVECOM_MULTIBAND_900E");
  rig.device.SetReplies({{"ATI0\r", {{"WAVECOM MODEM\r\n", 0}, {"\r\nOK\r\n", 150}}}});
  rig.proc.EnqueueCommand(kDetect);
  rig.proc.EnqueueCommand(kModel);
  rig.proc.StartQueue();
  const uint32_t start = qv::platform::GetTickCount();
  while (rig.proc.ReplyState() != qv::TReplyState::rsFinalGrace && qv::platform::TicksSince(start) < 1000)
    qv::platform::Sleep(1);
  ASSERT_EQ(rig.proc.ReplyState(), qv::TReplyState::rsFinalGrace) << "the next line waits for the final";
  rig.device.SetFailSends(true);
  rig.device.Drain();
  ASSERT_TRUE(TRig::PumpUntil([&] { return !rig.proc.Stopped().empty(); }));
  EXPECT_EQ(rig.proc.Stopped(), std::vector<qv::TLineOutcome>{qv::TLineOutcome::loSendFailed});
  EXPECT_LT(qv::platform::TicksSince(start), 1000u) << "ended by the final result and the gap, not by the grace";
  EXPECT_EQ(rig.proc.Finished(), 0);
  EXPECT_EQ(rig.device.Sent(), std::vector<std::string>{"ATI0\r"});
}

// An acknowledgement goes out right after the current line's final result,
// ahead of the queue's next line and of a caller's next line, and its reply
// reaches neither.
TEST(ATProcessorQueue, AcknowledgementGoesAheadOfWaitingLines) {
  for (auto delivery : {TDelivery::dlThread, TDelivery::dlMainThread}) {
    SCOPED_TRACE(Name(delivery));
    TRig rig(delivery, 2000);
    rig.device.SetReplies({{"A1\r", Chunks({"\r\nONE\r\n\r\nOK\r\n"}, 80)},
                           {"A2\r", Chunks({"\r\nTWO\r\n\r\nOK\r\n"})},
                           {"ACK\r", Chunks({"\r\nOK\r\n"}, 40)},
                           {"S1\r", Chunks({"\r\nMINE\r\n\r\nOK\r\n"})}});
    rig.proc.EnqueueText(u"A1\r");
    rig.proc.EnqueueText(u"A2\r");
    rig.proc.StartQueue();
    rig.proc.Acknowledge("ACK\r");
    rig.WaitQueue();
    EXPECT_EQ(rig.device.Sent(), (std::vector<std::string>{"A1\r", "ACK\r", "A2\r"}));
    EXPECT_EQ(rig.proc.Answered(), (std::vector<std::string>{"ONE", "TWO"}));

    rig.proc.Acknowledge("ACK\r");  // goes at once: the slot is free
    EXPECT_TRUE(rig.proc.SendAndWait("S1\r"));
    EXPECT_EQ(rig.proc.ReplyLast().sDataUseful, "MINE");
    EXPECT_EQ(rig.device.Sent().size(), 5u);
    EXPECT_EQ(rig.device.Sent()[4], "S1\r");
    rig.device.Drain();
  }
}

TEST(ATProcessorQueue, ErrorWhileIdleIsIgnored) {
  TRig rig;
  rig.device.Inject(Chunks({"\r\nERROR\r\n", "\r\n+CME ERROR: 4\r\n"}));
  EXPECT_FALSE(rig.log.Contains("ERROR Returned"));
  EXPECT_EQ(rig.proc.ReplyLast().sData, "");
  EXPECT_EQ(rig.proc.ATState(), TatInternalState::atIdle);
}

TEST(ATProcessorQueue, ReopenedDeviceStartsIdle) {
  TRig rig(TDelivery::dlInline, 5000);
  rig.device.SetReplies({{"A1\r", Chunks({"\r\nOK\r\n"})}});
  for (auto t : {u"A1\r", u"A2\r", u"A3\r"}) rig.proc.EnqueueText(t);
  rig.proc.StartQueue();
  ASSERT_TRUE(TRig::PumpUntil([&] { return rig.device.Sent().size() == 2; }));  // A2 stays unanswered
  rig.device.CloseDevice();
  rig.device.OpenDevice();
  EXPECT_EQ(rig.proc.ATState(), TatInternalState::atIdle);
  EXPECT_EQ(rig.proc.QueueCount(), 0u);
  rig.device.Inject(Chunks({"\r\nOK\r\n"}));  // a late answer to A2 sends nothing more
  EXPECT_EQ(rig.device.Sent(), (std::vector<std::string>{"A1\r", "A2\r"}));
}

TEST(ATProcessorCommands, RunCommandWithPrompt) {
  for (auto delivery : kDeliveries) {
    SCOPED_TRACE(Name(delivery));
    TRig rig(delivery);
    rig.Use(kScript);
    rig.device.SetReplies({{"AT+CMGS=5\r", Chunks({"\r\n> "})},
                           {"0011\x1A", Chunks({"\r\n+CMGS: 12\r\n", "\r\nOK\r\n"})}});
    EXPECT_TRUE(rig.proc.RunCommand(kSend));
    EXPECT_EQ(rig.device.Sent(), (std::vector<std::string>{"AT+CMGS=5\r", "0011\x1A"}));
    EXPECT_EQ(rig.proc.ReplyLast().sData, "\r\nOK\r\n");
    EXPECT_TRUE(rig.log.Contains("qvAT: cmd: AT+CMGS=5<cr>"));
    EXPECT_TRUE(rig.log.Contains("qvAT: send:0011\x1A"));
  }
}

TEST(ATProcessorCommands, RunCommandFailures) {
  TRig rig(TDelivery::dlInline, 100);
  rig.Use(kScript);
  rig.device.SetReplies({{"AT\r", Chunks({"\r\nOK\r\n"})}, {"ATE0\r", Chunks({"\r\nERROR\r\n"})}});
  EXPECT_FALSE(rig.proc.RunCommand(kInit));  // second line fails, the third is not sent
  EXPECT_EQ(rig.device.Sent(), (std::vector<std::string>{"AT\r", "ATE0\r"}));
  EXPECT_FALSE(rig.proc.RunCommand(kDetect));  // no such command: nothing sent
  EXPECT_EQ(rig.device.Sent().size(), 2u);
  rig.device.CloseDevice();
  EXPECT_FALSE(rig.proc.RunCommand(kInit));
  EXPECT_EQ(rig.device.Sent().size(), 2u);
}

TEST(ATProcessorCommands, FailedSendFailsTheLineAtOnce) {
  TRig rig(TDelivery::dlInline, 5000);
  rig.device.SetReplies({{"AT\r", Chunks({"\r\nOK\r\n"})}});
  ASSERT_TRUE(rig.proc.SendAndWait("AT\r"));
  rig.device.SetFailSends(true);
  const uint32_t start = qv::platform::GetTickCount();
  EXPECT_FALSE(rig.proc.SendAndWait("AT\r"));
  EXPECT_LT(qv::platform::TicksSince(start), 2000u);
  EXPECT_EQ(rig.proc.ReplyLast().sData, "");
  EXPECT_EQ(rig.proc.ATState(), TatInternalState::atIdle);
}

TEST(ATProcessorCommands, TokensAndFinalResultStripping) {
  TTestProcessor p;
  EXPECT_EQ(p.ExpandCommand(u"AT<CR><lf><#26><q>x<Q><sem>"), u"AT\r\n\x1A\"x\";");
  EXPECT_EQ(p.EncodeTokens(u"a\r\n\x1A\";"), u"a<cr><lf><#26><q><sem>");
  EXPECT_EQ(p.StripFinalResult("\r\n+CSQ: 1\r\n\r\nOK\r\n"), "+CSQ: 1");
  EXPECT_EQ(p.StripFinalResult("\r\n+A\r\n\r\nOK\r\n\r\nERROR\r\n\r\n+B"), "+A\r\n\r\n+B");
}

TEST(ATProcessorCommands, SendCommandNoWaitSendsBackToBack) {
  TRig rig(TDelivery::dlThread, 200);
  rig.UseBuiltIn("QVGSM_SIMCOM_SIM7600");
  EXPECT_TRUE(rig.proc.SendCommandNoWait(kNotify));
  EXPECT_EQ(rig.device.Sent(), (std::vector<std::string>{"AT+CSMS=1\r", "AT+CNMI=1,1,2,1\r"}));
  EXPECT_TRUE(rig.proc.SendCommandNoWait(kConfirm));  // its one line is empty: nothing is sent
  EXPECT_FALSE(rig.proc.SendCommandNoWait(kDetect + 1000));
  EXPECT_EQ(rig.device.Sent().size(), 2u);
}

TEST(ATProcessorCommands, IdleBytesAreBounded) {
  TRig rig;
  std::string noise(300000, 'x');
  for (size_t i = 0; i < noise.size(); i += 97) noise[i] = '\r';
  rig.device.Inject(Chunks({noise}));
  EXPECT_LE(rig.proc.Reply().sData.size(), 4096u);
  rig.device.SetReplies({{"AT\r", Chunks({"\r\nOK\r\n"})}});
  EXPECT_TRUE(rig.proc.SendAndWait("AT\r"));
  EXPECT_EQ(rig.proc.ReplyLast().sData, "\r\nOK\r\n");
}

// ---- reply cache -------------------------------------------------------------

TEST(ATProcessorCache, StoredReplyIsJudgedLikeALiveOne) {
  TRig rig(TDelivery::dlInline, 100);
  rig.Use(u"HKR, Responses, \"<cr><lf>RINGING<cr><lf>\", 1, 1\r\n"
          u"HKR, Responses, \"<cr><lf>ERROR<cr><lf>\", 1, 3\r\n"
          u"HKR, Responses, \"<cr><lf>X<cr><lf>\", 1, 2\r\n"
          u"HKR, Responses, \"<cr><lf>OK<cr><lf>\", 1, 0\r\n"
          u"HKR, Responses, \"<cr><lf>Nokia<cr><lf><cr><lf>OK<cr><lf>\", 1, 109\r\n"
          u"HKR, gsmGetModel, \"ATI<cr>\", 1\r\n"
          u"HKR, gsmDetect, \"ATI<cr>\", 1, 109\r\n");
  rig.device.SetReplies({{"ATI\r", Chunks({"\r\nSamsung\r\n\r\nOK\r\n"})}});
  rig.proc.SetReplyCache(true);
  EXPECT_TRUE(rig.proc.RunCommand(kModel));
  EXPECT_FALSE(rig.proc.RunCommand(kDetect));  // from the cache: OK is not the expected 109
  EXPECT_EQ(rig.device.Sent().size(), 1u);
  EXPECT_TRUE(rig.log.Contains("qvAT: cmd: ATI<cr>"));
  rig.proc.SetReplyCache(false);

  // With a Nokia reply cached, detection from the cache succeeds and sends nothing.
  rig.device.SetReplies({{"ATI\r", Chunks({"\r\nNokia\r\n\r\nOK\r\n"})}});
  rig.proc.SetReplyCache(true);
  EXPECT_TRUE(rig.proc.RunCommand(kDetect));
  EXPECT_TRUE(rig.proc.RunCommand(kDetect));
  EXPECT_EQ(rig.device.Sent().size(), 2u);
  EXPECT_EQ(rig.proc.ReplyLast().sData, "\r\nNokia\r\n\r\nOK\r\n");
}

TEST(ATProcessorCache, TimedOutExchangeIsNotStored) {
  TRig rig(TDelivery::dlInline, 80);
  rig.UseBuiltIn("QVGSM_NOKIA6230I");
  rig.device.SetReplies({{"ATI\r", Chunks({"\r\nSamsung\r\n\r\nOK\r\n"})}});
  rig.proc.SetReplyCache(true);
  EXPECT_FALSE(rig.proc.RunCommand(kDetect));
  EXPECT_FALSE(rig.proc.RunCommand(kDetect));
  EXPECT_EQ(rig.device.Sent(), (std::vector<std::string>{"ATI\r", "ATI\r"}));
}

// ---- final result owned by a line answered before it --------------------------

struct OwedCase {
  const char* name;
  const char* script;
  int32_t command;
  std::string line, answer;  // the first line and its pattern without the final
};

std::string OwedCaseName(const ::testing::TestParamInfo<std::tuple<OwedCase, int>>& info) {
  static const char* v[] = {"SameWrite", "LaterWrite", "Split"};
  return std::string(std::get<0>(info.param).name) + v[std::get<1>(info.param)];
}

class OwedFinal : public ::testing::TestWithParam<std::tuple<OwedCase, int>> {};

TEST_P(OwedFinal, NextLineWaitsForTheFinalResult) {
  const auto& [c, variant] = GetParam();
  TRig rig(TDelivery::dlThread, 1000);
  rig.proc.SetFinalGrace(800);
  rig.UseBuiltIn(c.script);
  std::vector<TChunk> first;
  if (variant == 0) first = Chunks({c.answer + "\r\nOK\r\n"});          // same write
  if (variant == 1) first = {{c.answer, 0}, {"\r\nOK\r\n", 60}};        // a later write
  if (variant == 2) first = {{c.answer + "\r\nO", 0}, {"K\r\n", 30}};   // split
  rig.device.SetReplies({{c.line, first}, {"AT+CGMM\r", Chunks({"\r\nmodel\r\n\r\nOK\r\n"})}});
  rig.proc.EnqueueCommand(c.command);
  rig.proc.EnqueueCommand(kModel);
  rig.proc.StartQueue();
  rig.WaitQueue();
  EXPECT_EQ(rig.proc.Answered(), (std::vector<std::string>{"", "model"}));
  const auto events = rig.device.Events();
  auto pos = [&](const std::string& e) { return std::find(events.begin(), events.end(), e) - events.begin(); };
  EXPECT_LT(pos(variant == 2 ? "rx:K\r\n" : events[variant == 1 ? 2 : 1]), pos("tx:AT+CGMM\r"));

  // The same order for synchronous commands.
  rig.proc.ClearQueue();
  EXPECT_TRUE(rig.proc.RunCommand(c.command));
  EXPECT_TRUE(rig.proc.RunCommand(kModel));
  EXPECT_EQ(rig.proc.ReplyLast().sDataUseful, "model");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OwedFinal,
    ::testing::Combine(
        ::testing::Values(OwedCase{"WavecomDetect", "QVGSM_WAVECOM_MULTIBAND_900E", kDetect, "ATI0\r",
                                   "WAVECOM MODEM\r\n"},
                          OwedCase{"WirelessCpuDetect", "QVGSM_WAVECOM_WIRELESS_CPU", kDetect, "AT+CGMI\r",
                                   "WAVECOM WIRELESS CPU\r\n"},
                          OwedCase{"SierraPin", "QVGSM_SIERRA_WIRELESS", kPinStatus, "AT+CPIN?\r",
                                   "\r\n+CPIN: READY\r\n"}),
        ::testing::Values(0, 1, 2)),
    OwedCaseName);

TEST(OwedFinalGrace, MissingFinalDelaysOnlyByTheGrace) {
  TRig rig(TDelivery::dlThread, 1000);
  rig.proc.SetFinalGrace(60);
  rig.UseBuiltIn("QVGSM_WAVECOM_MULTIBAND_900E");
  rig.device.SetReplies({{"ATI0\r", Chunks({"WAVECOM MODEM\r\n"})}, {"AT+CGMI\r", Chunks({"\r\nm\r\n\r\nOK\r\n"})}});
  rig.proc.EnqueueCommand(kDetect);
  rig.proc.EnqueueCommand(kManufacturer);
  rig.proc.StartQueue();
  rig.WaitQueue();
  EXPECT_EQ(rig.proc.Answered(), (std::vector<std::string>{"", "m"}));
  EXPECT_EQ(rig.proc.Finished(), 1);
}

// ---- the line gap ------------------------------------------------------------

// A driver with two-line commands whose gsmLinePause setting is `value`
// (none when empty).
std::u16string GapScript(const std::string& value) {
  std::u16string s = u"Include = qvgsm_AT_responses\r\n"
                     u"HKR, gsmInit, \"A1<cr>\", 1\r\n"
                     u"HKR, gsmInit, \"A2<cr>\", 2\r\n";
  if (!value.empty()) s += u"HKR, Settings, gsmLinePause, 1, \"" + qv::u(value) + u"\"\r\n";
  return s;
}

// Every line the device was sent, when and on which thread; each answered OK at once.
struct TSendLog {
  struct TSend {
    std::string line;
    std::chrono::steady_clock::time_point at;
    std::thread::id thread;
  };
  void Note(const std::string& sent) {
    std::lock_guard l(mutex);
    sends.push_back({sent, std::chrono::steady_clock::now(), std::this_thread::get_id()});
  }
  void AnswerAll(TqvScriptedDevice& device) {
    device.SetResponder([this](const std::string& sent) {
      Note(sent);
      return Chunks({"\r\nOK\r\n"});
    });
  }
  // Milliseconds between the sends of lines `a` and `b` (by position).
  double Between(size_t a, size_t b) const {
    std::lock_guard l(mutex);
    return std::chrono::duration<double, std::milli>(sends.at(b).at - sends.at(a).at).count();
  }
  std::vector<TSend> All() const {
    std::lock_guard l(mutex);
    return sends;
  }

 private:
  mutable std::mutex mutex;
  std::vector<TSend> sends;
};

TEST(ATProcessorLineGap, TheDriverSettingNamesTheGap) {
  const struct {
    const char* value;
    uint32_t gap;
  } rows[] = {{"", 20}, {"0", 0}, {"150", 150}, {"$20", 32}, {"-5", 20}, {"soon", 20}, {"20 ms", 20}};
  TTestProcessor p;
  EXPECT_EQ(p.LineGap(), 20u) << "the default driver";
  for (const auto& row : rows) {
    p.AddDriverFromString(u"gap", GapScript(row.value));
    p.SetDriverIndex(p.DriverCount() - 1);
    EXPECT_EQ(p.LineGap(), row.gap) << "\"" << row.value << "\"";
  }
  p.AddDriverFromString(u"case", u"Include = qvgsm_AT_responses\r\nHKR, Settings, GSMLINEPAUSE, 0, \"7\"\r\n");
  p.SetDriverIndex(p.DriverCount() - 1);
  EXPECT_EQ(p.LineGap(), 7u) << "the name's letter case is ignored";
  p.DriversClearAll();
  EXPECT_EQ(p.LineGap(), 20u);
  // The Quectel modules need no gap after their manuals; every other built-in driver keeps the spacing.
  for (const auto& model : qv::kModelDrivers) {
    p.AddDriverFromResource(std::u16string(model.Caption), model.Script);
    p.SetDriverIndex(p.DriverCount() - 1);
    const std::string caption = qv::StringToUtf8(std::u16string(model.Caption));
    EXPECT_EQ(p.LineGap(), caption.starts_with("Quectel") ? 0u : 20u) << caption;
  }
}

// Whoever sends the next line, it leaves the gap after the final result
// before it; a synchronous caller is woken at the final result all the same.
TEST(ATProcessorLineGap, TheNextLineWaitsWhoeverSendsIt) {
  constexpr uint32_t kGap = 200;
  struct TSender {
    const char* name;
    TDelivery delivery;
    std::function<void(TRig&)> send;  // sends A1, then A2
    bool callerWokenInTheGap;         // the first line's caller returns while the gap runs
  };
  const TSender senders[] = {
      {"queue", TDelivery::dlMainThread, [](TRig& r) { r.proc.EnqueueCommand(kInit), r.proc.StartQueue(), r.WaitQueue(); }, false},
      {"queue, thread delivery", TDelivery::dlThread,
       [](TRig& r) { r.proc.EnqueueCommand(kInit), r.proc.StartQueue(), r.WaitQueue(); }, false},
      {"a command's second line", TDelivery::dlMainThread, [](TRig& r) { ASSERT_TRUE(r.proc.RunCommand(kInit)); }, false},
      {"a caller's next line", TDelivery::dlMainThread,
       [](TRig& r) {
         ASSERT_TRUE(r.proc.SendAndWait("A1\r"));
         EXPECT_EQ(r.proc.ReplyState(), qv::TReplyState::rsLineGap) << "woken at the final result";
         ASSERT_TRUE(r.proc.SendAndWait("A2\r"));
       },
       true},
      {"another thread's line", TDelivery::dlMainThread,
       [](TRig& r) {
         ASSERT_TRUE(r.proc.SendAndWait("A1\r"));
         bool ok = false;
         std::thread other([&] { ok = r.proc.SendAndWait("A2\r"); });
         TRig::PumpUntil([&] { return r.device.Sent().size() == 2; });
         qv::platform::JoinWhilePumping(other);
         EXPECT_TRUE(ok);
       },
       true},
  };
  for (const auto& s : senders) {
    SCOPED_TRACE(s.name);
    TRig rig(s.delivery, 2000);
    rig.Use(GapScript(std::to_string(kGap)));
    TSendLog sends;
    sends.AnswerAll(rig.device);
    s.send(rig);
    ASSERT_EQ(rig.device.Sent(), (std::vector<std::string>{"A1\r", "A2\r"}));
    // The first line's final came after it was sent: the gap counts from later still.
    EXPECT_GE(sends.Between(0, 1), kGap - 2.0);
  }
}

// The gap keeps the spacing after a success final result only: after an
// error final the next line goes at once, and the input prompt asks for it.
TEST(ATProcessorLineGap, ErrorsAndThePromptAreNotFollowedByIt) {
  constexpr uint32_t kGap = 500;
  TRig rig(TDelivery::dlInline, 2000);
  rig.Use(kScript + std::u16string(u"HKR, Settings, gsmLinePause, 1, \"500\"\r\n"));
  TSendLog sends;
  rig.device.SetResponder([&](const std::string& sent) {
    sends.Note(sent);
    if (sent == "E1\r") return Chunks({"\r\nERROR\r\n"});
    return Chunks({sent == "AT+CMGS=5\r" ? "\r\n> " : "\r\nOK\r\n"});
  });
  ASSERT_TRUE(rig.proc.SendAndWait("E1\r"));
  ASSERT_TRUE(rig.proc.RunCommand(kSend));
  ASSERT_EQ(rig.device.Sent(), (std::vector<std::string>{"E1\r", "AT+CMGS=5\r", "0011\x1A"}));
  EXPECT_LT(sends.Between(0, 1), kGap) << "after the error";
  EXPECT_LT(sends.Between(1, 2), kGap) << "after the prompt";
  EXPECT_EQ(rig.proc.ReplyState(), qv::TReplyState::rsLineGap) << "after the command's final OK";
}

// An acknowledgement goes right after a final result, gap or not; the next
// line keeps the gap after the acknowledgement's own final.
TEST(ATProcessorLineGap, AnAcknowledgementDoesNotWaitForIt) {
  constexpr uint32_t kGap = 200;
  TRig rig(TDelivery::dlInline, 2000);
  rig.Use(GapScript(std::to_string(kGap)));
  TSendLog sends;
  sends.AnswerAll(rig.device);
  ASSERT_TRUE(rig.proc.SendAndWait("A1\r"));
  rig.proc.Acknowledge("ACK\r");
  EXPECT_EQ(rig.device.Sent(), (std::vector<std::string>{"A1\r", "ACK\r"})) << "sent inside the gap";
  ASSERT_TRUE(rig.proc.SendAndWait("A2\r"));
  EXPECT_GE(sends.Between(1, 2), kGap - 2.0);
}

// When the queue's next line waits for the gap and the final result was
// delivered on the main thread, the line leaves from the main thread.
TEST(ATProcessorLineGap, TheQueueGoesOnOnTheThreadThatDeliversReplies) {
  TRig rig(TDelivery::dlMainThread, 2000);
  rig.Use(GapScript("30"));
  TSendLog sends;
  sends.AnswerAll(rig.device);
  std::thread starter([&] { rig.proc.EnqueueCommand(kInit), rig.proc.StartQueue(); });
  qv::platform::JoinWhilePumping(starter);
  rig.WaitQueue();
  const auto all = sends.All();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_NE(all[0].thread, std::this_thread::get_id()) << "the first line left from the starting thread";
  EXPECT_EQ(all[1].thread, std::this_thread::get_id());
}

// Without a gap, a queue whose replies are delivered inline runs to its end
// inside StartQueue, as it did before there was a gap.
TEST(ATProcessorLineGap, NoGapSendsTheNextLineAtOnce) {
  TRig rig(TDelivery::dlInline, 2000);
  rig.Use(GapScript("0"));
  TSendLog sends;
  sends.AnswerAll(rig.device);
  rig.proc.EnqueueCommand(kInit);
  rig.proc.StartQueue();
  EXPECT_EQ(rig.device.Sent(), (std::vector<std::string>{"A1\r", "A2\r"}));
  EXPECT_EQ(rig.proc.Finished(), 1);
}

// A device closed while the queue's next line waits for the gap ends the
// queue without sending it, and the gap's tick sends nothing after a reopen.
TEST(ATProcessorLineGap, ClosingInTheGapDropsTheWaitingLine) {
  TRig rig(TDelivery::dlInline, 2000);
  rig.Use(GapScript("100"));
  TSendLog sends;
  sends.AnswerAll(rig.device);
  rig.proc.EnqueueCommand(kInit);
  rig.proc.StartQueue();
  ASSERT_EQ(rig.proc.ReplyState(), qv::TReplyState::rsLineGap);
  rig.device.CloseDevice();
  EXPECT_EQ(rig.proc.Stopped(), std::vector<qv::TLineOutcome>{qv::TLineOutcome::loClosed});
  rig.device.OpenDevice();
  qv::platform::PumpFor(250);
  EXPECT_EQ(rig.device.Sent(), std::vector<std::string>{"A1\r"});
  EXPECT_EQ(rig.proc.Finished(), 0);
  EXPECT_TRUE(rig.proc.SendAndWait("A3\r")) << "the reopened device has no gap to wait for";
}

// An owed final that never comes is waited for the longer of the grace and
// the gap, and no gap follows the grace.
TEST(ATProcessorLineGap, AMissingFinalWaitsTheLongerOfGraceAndGap) {
  constexpr uint32_t kGap = 250;
  TRig rig(TDelivery::dlThread, 2000);
  rig.proc.SetFinalGrace(60);
  rig.Use(u"Include = QVGSM_WAVECOM_MULTIBAND_900E\r\nHKR, Settings, gsmLinePause, 1, \"250\"\r\n");
  TSendLog sends;
  rig.device.SetResponder([&](const std::string& sent) {
    sends.Note(sent);
    return sent == "ATI0\r" ? Chunks({"WAVECOM MODEM\r\n"}) : Chunks({"\r\nm\r\n\r\nOK\r\n"});
  });
  rig.proc.EnqueueCommand(kDetect);
  rig.proc.EnqueueCommand(kManufacturer);
  rig.proc.StartQueue();
  rig.WaitQueue();
  EXPECT_EQ(rig.proc.Answered(), (std::vector<std::string>{"", "m"}));
  EXPECT_GE(sends.Between(0, 1), kGap - 2.0);
}

// ---- drivers -----------------------------------------------------------------

// On the manual clock time stands still until the caller moves it: the gap
// and the reply time-out run out exactly then, and a caller's wait moves the
// clock by itself, by its time-out.
TEST(ATProcessorManualClock, TimeRunsOnlyWhenTheCallerMovesIt) {
  TRig rig(TDelivery::dlInline, 1000);
  rig.proc.SetManualClock();
  rig.Use(GapScript("200"));
  rig.device.SetReplies({{"A1\r", Chunks({"\r\nOK\r\n"})}, {"A3\r", Chunks({"\r\nOK\r\n"})}});
  for (auto t : {u"A1\r", u"A2\r", u"A3\r"}) rig.proc.EnqueueText(t);
  rig.proc.StartQueue();
  EXPECT_EQ(rig.proc.ReplyState(), qv::TReplyState::rsLineGap);
  rig.proc.AdvanceClock(199);
  EXPECT_EQ(rig.device.Sent(), std::vector<std::string>{"A1\r"});
  rig.proc.AdvanceClock(1);
  EXPECT_EQ(rig.device.Sent(), (std::vector<std::string>{"A1\r", "A2\r"}));
  rig.proc.AdvanceClock(999);
  EXPECT_TRUE(rig.proc.Stopped().empty());
  rig.proc.AdvanceClock(1);
  EXPECT_EQ(rig.proc.Stopped(), std::vector<qv::TLineOutcome>{qv::TLineOutcome::loTimedOut});

  const uint32_t before = rig.proc.ClockTicks();
  EXPECT_FALSE(rig.proc.SendAndWait("A2\r"));
  EXPECT_EQ(rig.proc.ClockTicks() - before, 1000u);
  EXPECT_EQ(rig.proc.ReplyState(), qv::TReplyState::rsTimedOut);
  EXPECT_TRUE(rig.proc.SendAndWait("A3\r"));
  EXPECT_EQ(rig.proc.ClockTicks() - before, 1000u) << "an answered line takes no time";
}

TEST(ATProcessorDrivers, DriverListAndIndex) {
  TTestProcessor p;
  EXPECT_EQ(p.DriverIndex(), -1);
  EXPECT_EQ(p.DriverCount(), 0);
  ASSERT_EQ(p.Driver()->slResponses.size(), 2u);
  auto* d = p.AddDriverFromResource(u"Siemens M35i[t]", "qvgsm_siemens_mc35i");
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(p.DriverIndex(), -1);  // adding does not select
  EXPECT_EQ(d->Caption(), u"Siemens M35i[t]");
  // RINGING first, then the id-0 patterns moved to position 3.
  EXPECT_EQ(d->GetResponse(0)->Tag, 1);
  EXPECT_EQ(d->GetResponse(3)->Tag, 0);
  p.SetDriverIndex(0);
  EXPECT_EQ(p.Driver(), d);
  EXPECT_THROW(p.SetDriverIndex(5), EqvError);
  EXPECT_EQ(p.DriverIndex(), 0);
  EXPECT_EQ(p.Driver(), d);
  EXPECT_EQ(p.GetDriver(0)->GetCommands(44)->idCmd, 99);  // CommandIdOf assigned every entry
  p.DriversClearAll();
  EXPECT_EQ(p.DriverIndex(), -1);
  EXPECT_EQ(p.Driver()->slResponses.size(), 2u);
}

TEST(ATProcessorDrivers, ScriptsThatAreNotDriversAreRejected) {
  TqvMemoryLog log;
  TTestProcessor p;
  p.SetLog(&log);
  EXPECT_EQ(p.AddDriverFromString(u"junk", u"\x7F\x45LF binary junk\r\n; nothing here"), nullptr);
  EXPECT_EQ(p.DriverCount(), 0);
  EXPECT_TRUE(log.Contains("qvAT: Driver script not loaded: junk"));
  EXPECT_THROW(p.AddDriverFromFile(u"", "/nonexistent/dir/x.inf"), EqvError);
  EXPECT_EQ(p.DriverCount(), 0);
}

TEST(ATProcessorDrivers, AddDriverFromFileNamesItAfterTheFile) {
  const auto path = std::filesystem::temp_directory_path() / "qvatcmd_test_model.inf";
  std::ofstream(path, std::ios::binary) << "Include = qvgsm_AT_responses\r\nHKR, gsmInit, \"AT<cr>\", 1\r\n";
  TTestProcessor p;
  auto* d = p.AddDriverFromFile(u"", path.string());
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->Caption(), u"qvatcmd_test_model.inf");
  EXPECT_EQ(d->slResponses.size(), 10u);
  std::filesystem::remove(path);
}

}  // namespace
