#include "qvatcmd.h"

#include <algorithm>
#include <filesystem>
#include <utility>

#include "platform/qvdispatcher.h"
#include "qvresource.h"
#include "qvtext.h"

namespace pf = qv::platform;
using TDL = TDetailLevel;

namespace {

// Reply bytes kept while no line is pending: what completes no pattern is
// only ever context for the next reply, so its oldest part is dropped.
constexpr size_t kIdleReplyLimit = 4096;
constexpr size_t kIdleReplyKeep = 1024;
// The most bytes a notification's text may hold (a header line and a PDU line).
constexpr size_t kNotificationTextLimit = 2048;
constexpr uint32_t kWaitSliceMs = 50;

const char16_t kDefaultDriverScript[] =
    u"HKR, Responses, \"<cr><lf>OK<cr><lf>\", 1, 0, 0\r\n"
    u"HKR, Responses, \"<cr><lf>ERROR<cr><lf>\", 1, 3, 0\r\n";

std::u16string Text(std::string_view bytes) { return qv::AnsiToString(bytes); }

bool EndsWith(std::string_view s, std::string_view tail) { return s.ends_with(tail); }

std::string RemoveAll(std::string s, std::string_view what) {
  for (size_t pos; (pos = s.find(what)) != std::string::npos;) s.erase(pos, what.size());
  return s;
}

// Counts a nesting level for as long as it lives.
struct TDepth {
  explicit TDepth(int& d) : d_(d) { ++d_; }
  ~TDepth() { --d_; }
  int& d_;
};

}  // namespace

// ---------------------------------------------------------------------------
// TATReply

void TATReply::Clear() {
  sData.clear();
  sDataUseful.clear();
  idResponse = -1;
  idDriverCmd = -1;
  flReady = false;
}

void TATReply::Assign(const TATReply* Source) {
  if (!Source) return;
  sData = Source->sData;
  sDataUseful = Source->sDataUseful;
  idResponse = Source->idResponse;
  idDriverCmd = Source->idDriverCmd;
  flReady = Source->flReady;
}

bool TATReply::IsError() const {
  if (idResponse < 0 || !fOwner) return false;
  auto* d = fOwner->Driver();
  return idResponse < static_cast<int32_t>(d->slResponses.size()) &&
         d->GetResponse(idResponse)->Tag == qv::resp::kError;
}

// ---------------------------------------------------------------------------
// TqvReentrantMutex

namespace qv {

void TqvReentrantMutex::lock() {
  const auto me = std::this_thread::get_id();
  std::unique_lock l(m_);
  if (owner_ == me) {
    ++depth_;
    return;
  }
  cv_.wait(l, [&] { return depth_ == 0; });
  owner_ = me;
  depth_ = 1;
}

void TqvReentrantMutex::unlock() {
  std::lock_guard l(m_);
  if (--depth_ == 0) {
    owner_ = {};
    cv_.notify_one();
  }
}

int TqvReentrantMutex::ReleaseAll() {
  std::lock_guard l(m_);
  if (owner_ != std::this_thread::get_id()) return 0;
  const int depth = depth_;
  depth_ = 0;
  owner_ = {};
  cv_.notify_one();
  return depth;
}

void TqvReentrantMutex::Reacquire(int depth) {
  if (depth == 0) return;
  std::unique_lock l(m_);
  cv_.wait(l, [&] { return depth_ == 0; });
  owner_ = std::this_thread::get_id();
  depth_ = depth;
}

bool TqvReentrantMutex::HeldByCurrentThread() const {
  std::lock_guard l(m_);
  return owner_ == std::this_thread::get_id();
}

}  // namespace qv

// ---------------------------------------------------------------------------
// Construction

TqvCustomATProcessor::TqvCustomATProcessor(TqvComponent* AOwner)
    : TqvCustomDataProcessor(AOwner), fGapTimer(std::make_unique<TqvTimer>(false)) {
  fGapTimer->SetOnTimer(TNotifyEvent::Bind(this, &TqvCustomATProcessor::GapTick));
  fDefaultDriver.ParseLines(kDefaultDriverScript);
  UseDriver(&fDefaultDriver);
  fReply.Clear();
  fReplyLast.Clear();
  sLogPrefix = u"qvAT: ";
}

TqvCustomATProcessor::~TqvCustomATProcessor() {
  FreeAsyncTimer();  // no tick may reach a half-destroyed processor
  fGapTimer.reset();
}

// ---------------------------------------------------------------------------
// Drivers

TqvCustomATDriver* TqvCustomATProcessor::AddDriverFromString(const std::u16string& caption,
                                                             const std::u16string& text) {
  auto driver = std::make_unique<TqvCustomATDriver>();
  driver->SetCaption(caption);
  // A script that fails to parse, or yields neither a response nor a command
  // (not a driver script at all), does not become a driver.
  if (!driver->LoadFromString(qv::StringToAnsi(text)) ||
      (driver->slResponses.empty() && driver->slCommands.empty())) {
    WriteLogFmt(TDL::dlSimple, u"Driver script not loaded: %s", {caption});
    return nullptr;
  }
  for (auto& e : driver->slCommands) e.Object->idCmd = CommandIdOf(*e.Object);
  for (auto& e : driver->slSettings) e.Object->idCmd = CommandIdOf(*e.Object);
  driver->MoveResponses(qv::resp::kOk, 3);
  driver->MoveResponses(qv::resp::kRinging, 0);
  auto guard = Guard();
  fDrivers.push_back(std::move(driver));
  return fDrivers.back().get();
}

TqvCustomATDriver* TqvCustomATProcessor::AddDriverFromFile(const std::u16string& aCaption,
                                                           const std::string& aFilePath) {
  std::u16string text;
  if (!qv::ReadTextFile(aFilePath, text)) throw EqvError("Cannot open file \"" + aFilePath + "\"");
  std::u16string caption = aCaption;
  if (caption.empty()) caption = qv::Utf8ToString(std::filesystem::path(aFilePath).filename().string());
  return AddDriverFromString(caption, text);
}

TqvCustomATDriver* TqvCustomATProcessor::AddDriverFromResource(const std::u16string& caption,
                                                               std::string_view name) {
  auto script = qv::FindEmbeddedResource(name);
  if (!script) {
    WriteLogFmt(TDL::dlSimple, u"Driver script not found: %s", {qv::AnsiToString(name)});
    return nullptr;
  }
  return AddDriverFromString(caption, qv::AnsiToString(*script));
}

int32_t TqvCustomATProcessor::CommandIdOf(const TATCommand& /*entry*/) { return 0; }

void TqvCustomATProcessor::DriversClearAll() {
  auto guard = Guard();
  fDrivers.clear();
  fDriverIndex = -1;
  UseDriver(&fDefaultDriver);
}

void TqvCustomATProcessor::UseDriver(TqvCustomATDriver* driver) {
  fCurrentDriver = driver;
  fLineGap = driver->LinePause();
  fMachine.SetLineGap(fLineGap > 0);
}

TqvCustomATDriver* TqvCustomATProcessor::GetDriver(int32_t Index) const {
  auto guard = Guard();
  if (Index < 0 || Index >= static_cast<int32_t>(fDrivers.size()))
    throw EqvError("List index out of bounds (" + std::to_string(Index) + ")");
  return fDrivers[Index].get();
}

int32_t TqvCustomATProcessor::DriverCount() const {
  auto guard = Guard();
  return static_cast<int32_t>(fDrivers.size());
}

int32_t TqvCustomATProcessor::DriverIndex() const {
  auto guard = Guard();
  return fDriverIndex;
}

void TqvCustomATProcessor::SetDriverIndex(int32_t Value) {
  auto guard = Guard();
  TqvCustomATDriver* driver = Value < 0 ? &fDefaultDriver : GetDriver(Value);  // throws when out of range
  fDriverIndex = Value;
  UseDriver(driver);
  driver->ResponsesResetState();  // partial matches from its last use are stale
}

TqvCustomATDriver* TqvCustomATProcessor::Driver() const {
  auto guard = Guard();
  return fCurrentDriver;
}

uint32_t TqvCustomATProcessor::LineGap() const {
  auto guard = Guard();
  return fLineGap;
}

TatInternalState TqvCustomATProcessor::ATState() const {
  auto guard = Guard();
  if (fMachine.Awaiting(qv::TLineKind::lkSync)) return TatInternalState::atWaitReply;
  if (fMachine.Awaiting(qv::TLineKind::lkQueued)) return TatInternalState::atQWaitReply;
  return TatInternalState::atIdle;
}

qv::TReplyState TqvCustomATProcessor::ReplyState() const {
  auto guard = Guard();
  return fMachine.State();
}

int32_t TqvCustomATProcessor::ExpectedReplyID() const {
  auto guard = Guard();
  return fExpectedReplyID;
}

int32_t TqvCustomATProcessor::CommandIndex() const {
  auto guard = Guard();
  return fCommandIndex;
}

size_t TqvCustomATProcessor::QueueCount() const {
  auto guard = Guard();
  return slCommands.size();
}

// ---------------------------------------------------------------------------
// Tokens

std::u16string TqvCustomATProcessor::ExpandCommand(const std::u16string& text) {
  using qv::ReplaceTextNoCase;
  auto s = ReplaceTextNoCase(text, u"<cr>", u"\r");
  s = ReplaceTextNoCase(s, u"<lf>", u"\n");
  s = ReplaceTextNoCase(s, u"<#26>", u"\x1A");
  s = ReplaceTextNoCase(s, u"<q>", u"\"");
  return ReplaceTextNoCase(s, u"<sem>", u";");
}

std::u16string TqvCustomATProcessor::EncodeTokens(const std::u16string& text) {
  using qv::ReplaceTextNoCase;
  auto s = ReplaceTextNoCase(text, u"\r", u"<cr>");
  s = ReplaceTextNoCase(s, u"\n", u"<lf>");
  s = ReplaceTextNoCase(s, u"\x1A", u"<#26>");
  s = ReplaceTextNoCase(s, u"\"", u"<q>");
  return ReplaceTextNoCase(s, u";", u"<sem>");
}

std::string TqvCustomATProcessor::StripFinalResult(const std::string& text) {
  auto s = std::string(qv::TrimView(RemoveAll(text, "\r\nOK\r\n")));
  return std::string(qv::TrimView(RemoveAll(s, "\r\nERROR\r\n")));
}

// ---------------------------------------------------------------------------
// Sending

void TqvCustomATProcessor::SetExpectedReply(int32_t id) {
  auto guard = Guard();
  fExpectedReplyID = id;
  fCurrentDriver->MoveResponses(id, 1);
}

void TqvCustomATProcessor::ClearReply() {
  auto guard = Guard();
  fReply.Clear();
  fAppendedRun = 0;
}

void TqvCustomATProcessor::Feed(qv::TReplyInput input, qv::TLineKind kind) {
  if (input == qv::TReplyInput::riPatternCompleted || input == qv::TReplyInput::riFinalResult ||
      input == qv::TReplyInput::riPromptAnswered || input == qv::TReplyInput::riErrorResult)
    NoteProgress();
  Apply(fMachine.Input(input, kind));
}

// Under the lock. The waiter learns its outcome before any next line leaves.
void TqvCustomATProcessor::Apply(const qv::TReplyActions& a) {
  using qv::TReplyTimer;
  if (a.Timer == TReplyTimer::rtStop) StopTimer();
  if (a.Timer == TReplyTimer::rtReply) ArmTimer(TimeOut());
  // The gap is kept within the grace, never after it.
  if (a.Timer == TReplyTimer::rtGrace) ArmTimer(std::max(FinalGrace(), fLineGap));
  if (a.Gap == qv::TGapClock::gcStart) ArmGap();
  if (a.Gap == qv::TGapClock::gcStop) StopGap();
  if (a.Signal != qv::TLineOutcome::loPending) {
    fOutcome = a.Signal;
    hReplyEvent.Set();
  }
  // Only a close ends a queue that has no line pending (it waited for the slot).
  if (a.EndQueue) QueueStopped(a.Signal != qv::TLineOutcome::loPending ? a.Signal : qv::TLineOutcome::loClosed);
  if (a.SendCaller) fSlotFree.Set();
  if (a.SendAck) SendNextAck();
  if (a.SendQueued) QueueSendNext();
}

void TqvCustomATProcessor::SendLine(const std::string& bytes, int32_t expected, qv::TLineKind kind) {
  auto guard = Guard();
  if (!IsDeviceOpen()) {
    Feed(qv::TReplyInput::riSendFailed, kind);
    return;
  }
  const bool own = kind != qv::TLineKind::lkAck;  // an acknowledgement's reply is nobody's
  ClearReply();
  fCmeLine = false;
  SetExpectedReply(expected);
  if (own) {
    fOutcome = qv::TLineOutcome::loPending;
    fLastLine = bytes;
    fLastErrorResult.clear();
  }
  const uint64_t seq = ++fLineSeq;
  fLineStartRx = fRxCount;
  // In place before the first byte leaves: the lock stays held while sending,
  // so a reply delivered on another thread waits for it, and one delivered
  // inline (re-entering) finds the line pending.
  Feed(qv::TReplyInput::riLineSent, kind);
  const bool sent = DoDataSend(bytes.data(), static_cast<uint32_t>(bytes.size()));
  WriteLog(TDL::dlDebug, u"send:" + Text(bytes));
  if (!sent && fLineSeq == seq && fMachine.Awaiting(kind)) {
    WriteLog(TDL::dlDetail, u"Send failed");
    ClearReply();
    if (own) fReplyLast.Clear();
    Feed(qv::TReplyInput::riSendFailed, kind);
  }
}

void TqvCustomATProcessor::SendAhead(const std::vector<std::string>& lines) {
  auto guard = Guard();
  for (const std::string& line : lines) {
    if (line.empty()) continue;
    fAckLines.push_back(line);
    Feed(qv::TReplyInput::riAckWanted, qv::TLineKind::lkAck);
  }
}

void TqvCustomATProcessor::SendNextAck() {
  if (fAckLines.empty()) {  // dropped by a reopen: the machine still counts it
    Feed(qv::TReplyInput::riSendFailed, qv::TLineKind::lkAck);
    return;
  }
  const std::string line = std::move(fAckLines.front());
  fAckLines.pop_front();
  SendLine(line, qv::resp::kOk, qv::TLineKind::lkAck);
}

bool TqvCustomATProcessor::InProcessingHere() const {
  return fProcessingDepth > 0 && fProcessingThread == std::this_thread::get_id();
}

void TqvCustomATProcessor::StartLine(const std::string& bytes, int32_t expected) {
  if (bytes.empty() || !IsDeviceOpen()) return;
  auto guard = Guard();
  fSlotFree.Reset();
  const qv::TReplyActions a = fMachine.Input(qv::TReplyInput::riLineWanted, qv::TLineKind::lkSync);
  Apply(a);
  if (!a.SendCaller) WaitForSlot();
  hReplyEvent.Reset();
  SendLine(bytes, expected, qv::TLineKind::lkSync);
}

// Waits (lock released, dispatcher pumped) until the machine lets the
// caller's line go: an owed final or an acknowledgement in flight ends within
// FinalGrace or TimeOut, the line gap or a hold when its clock runs out. On
// the thread that processes received data nothing can end while it waits:
// the line goes at once there.
void TqvCustomATProcessor::WaitForSlot() {
  if (InProcessingHere()) return;
  const uint32_t limit = TimeOut() + FinalGrace() + std::max(fLineGap, GapLeftMs()) + kWaitSliceMs;
  const int depth = fLock.ReleaseAll();
  if (fManualClock) {
    WaitOnManualClock(fSlotFree, limit);
  } else {
    const uint32_t start = pf::GetTickCount();
    while (IsDeviceOpen() && pf::TicksSince(start) < limit && !pf::WaitPumping(fSlotFree, kWaitSliceMs)) {
    }
  }
  fLock.Reacquire(depth);
}

void TqvCustomATProcessor::SendCommand(const std::string& text) { StartLine(text, qv::resp::kOk); }

bool TqvCustomATProcessor::SendAndWait(const std::string& text) {
  SendCommand(text);
  bool r = WaitReply(nullptr, 0);
  if (!r) {
    auto guard = Guard();
    fReplyLast.Clear();
  }
  return r;
}

std::u16string TqvCustomATProcessor::CmdSendAndWaitResult(const std::string& sAT) {
  SendCommand(qv::StringToAnsi(ExpandCommand(qv::AnsiToString(sAT))));
  bool r = WaitReply(nullptr, 0);
  auto guard = Guard();
  if (!r) fReplyLast.Clear();
  return Text(fReplyLast.sData);
}

bool TqvCustomATProcessor::SendCommandNoWait(int32_t id) {
  bool found = false;
  for (int32_t n = 1;; ++n) {
    std::u16string text;
    {
      auto guard = Guard();
      const int32_t i = fCurrentDriver->IndexOfCommand(id, n);
      if (i < 0 || !IsDeviceOpen()) break;
      text = fCurrentDriver->GetCommands(i)->fCommand;
    }
    found = true;
    SendCommand(qv::StringToAnsi(ExpandCommand(text)));
  }
  return found;
}

void TqvCustomATProcessor::NoteProgress() { fProgressTick = pf::GetTickCount(); }

// ---------------------------------------------------------------------------
// Waiting

bool TqvCustomATProcessor::WaitReply(qv::platform::TEvent* handle, uint32_t ms) {
  pf::TEvent& event = handle ? *handle : hReplyEvent;
  // Waiting for the exchange itself follows its time-out, which list items re-arm.
  const bool exchange = !handle && ms == 0;
  if (ms == 0) ms = TimeOut();
  uint64_t seq;
  {
    auto guard = Guard();
    seq = fLineSeq;
  }
  // Never wait holding the lock: the exchange ends under it on another thread.
  const int depth = fLock.ReleaseAll();
  const uint32_t start = pf::GetTickCount();
  bool signalled = fManualClock && WaitOnManualClock(event, ms);
  while (!fManualClock && IsDeviceOpen()) {
    if (pf::WaitPumping(event, kWaitSliceMs)) {
      signalled = true;
      break;
    }
    if (exchange && ExchangeOverdue(seq)) continue;  // ended now: the event is set
    if (exchange && LinePending(seq)) continue;
    if (event.IsSet()) {  // ended between the slice and the test above
      signalled = true;
      break;
    }
    if (pf::TicksSince(start) >= ms) break;
  }
  if (!signalled) signalled = event.Wait(0);  // ended by the close that ended the loop
  fLock.Reacquire(depth);
  if (!signalled || handle) return signalled;
  auto guard = Guard();
  return fOutcome == qv::TLineOutcome::loReplied || fOutcome == qv::TLineOutcome::loError;
}

bool TqvCustomATProcessor::LinePending(uint64_t seq) const {
  auto guard = Guard();
  return fLineSeq == seq && (fMachine.Awaiting(qv::TLineKind::lkSync) || fMachine.Awaiting(qv::TLineKind::lkQueued));
}

// A backstop for the timer: a pending line well past its time-out is ended here.
bool TqvCustomATProcessor::ExchangeOverdue(uint64_t seq) {
  auto guard = Guard();
  if (!LinePending(seq) || !fTimerArmed) return false;
  if (Now() < fTimerDeadline + std::chrono::milliseconds(kWaitSliceMs)) return false;
  StopTimer();
  TimeOutLine();
  return true;
}

// ---------------------------------------------------------------------------
// Synchronous commands

bool TqvCustomATProcessor::RunCommand(int32_t id) {
  bool r = false;
  if (!IsDeviceOpen()) return false;
  for (int32_t n = 1;; ++n) {
    int32_t index;
    std::u16string raw;
    int32_t expected;
    {
      auto guard = Guard();
      index = fCurrentDriver->IndexOfCommand(id, n);
      if (index < 0 || !IsDeviceOpen()) break;
      raw = fCurrentDriver->GetCommands(index)->fCommand;
      expected = fCurrentDriver->GetCommands(index)->idExpectedReply;
    }
    WriteLog(TDL::dlDetail, u"cmd: " + raw);
    int32_t c = -1;
    if (auto guard = Guard(); fCashReply) {
      auto it = std::find_if(slCashCommands.begin(), slCashCommands.end(),
                             [&](const std::u16string& s) { return qv::SameTextNoCase(s, raw); });
      if (it != slCashCommands.end()) c = static_cast<int32_t>(it - slCashCommands.begin());
    }
    if (c < 0) {
      const std::string bytes = qv::StringToAnsi(ExpandCommand(raw));
      if (bytes.empty()) {  // nothing to send: nothing to wait for
        r = true;
        continue;
      }
      StartLine(bytes, expected);
      r = WaitReply(nullptr, 0);
    } else {
      // A stored reply is judged like a live one: it must be the expected reply.
      auto guard = Guard();
      ClearReply();
      SetExpectedReply(expected);
      r = ProcessReplyText(ExpandCommand(slCashReplies[c])) && fReplyLast.idResponse >= 0 &&
          fCurrentDriver->GetResponse(fReplyLast.idResponse)->Tag == expected;
    }
    auto guard = Guard();
    if (r) {
      fReplyLast.idDriverCmd = index;
      // An error ends the line whatever the reply looks like ("+CMS ERROR").
      r = !IsErrorReply(fReplyLast) && (c >= 0 || fOutcome == qv::TLineOutcome::loReplied);
    }
    if (!r) fReplyLast.Clear();
    if (fCashReply && c < 0 && !fReplyLast.sData.empty()) {
      slCashCommands.push_back(raw);
      slCashReplies.push_back(EncodeTokens(qv::BytesToString(fReplyLast.sData)));
    }
    if (!r) break;
  }
  return r;
}

bool TqvCustomATProcessor::ProcessReplyText(const std::u16string& text) {
  auto guard = Guard();
  ClearReply();
  fReply.sData = qv::StringToBytes(text);
  fCurrentDriver->ResponsesResetState();
  for (char16_t ch : text) {
    const int32_t i = fCurrentDriver->IsResponse(static_cast<uint8_t>(ch & 0xFF));
    // A module's own status line ends no line live, nor does it here.
    if (i >= 0 && qv::resp::IsModuleStatus(fCurrentDriver->GetResponse(i)->Tag)) continue;
    if (i >= 0) {
      fReply.idResponse = i;
      fReply.flReady = true;
      const size_t len = static_cast<size_t>(fCurrentDriver->GetResponse(i)->Len());
      const size_t useful = text.size() > len ? text.size() - len : 0;
      fReply.sDataUseful = std::string(qv::TrimView(std::string_view(fReply.sData).substr(0, useful)));
      fReply.idDriverCmd = (fCommandIndex > 0 && fCommandIndex <= static_cast<int32_t>(slCommands.size()))
                               ? slCommands[fCommandIndex - 1].Object
                               : -1;
      break;
    }
  }
  fCurrentDriver->ResponsesResetState();
  const bool r = fReply.flReady;
  fReplyLast.Assign(&fReply);
  ClearReply();
  return r;
}

void TqvCustomATProcessor::SetReplyCache(bool on) {
  auto guard = Guard();
  slCashCommands.clear();
  slCashReplies.clear();
  fCashReply = on;
}

// ---------------------------------------------------------------------------
// Queue

void TqvCustomATProcessor::ClearQueue() {
  auto guard = Guard();
  slCommands.clear();
  fCommandIndex = -1;
}

void TqvCustomATProcessor::EnqueueCommand(int32_t id) {
  auto guard = Guard();
  for (int32_t n = 1;; ++n) {
    const int32_t i = fCurrentDriver->IndexOfCommand(id, n);
    if (i < 0) break;
    slCommands.push_back({ExpandCommand(fCurrentDriver->GetCommands(i)->fCommand), i});
  }
}

void TqvCustomATProcessor::EnqueueText(const std::u16string& text) {
  auto guard = Guard();
  slCommands.push_back({text, -1});
}

void TqvCustomATProcessor::StartQueue() {
  auto guard = Guard();
  fCommandIndex = 0;
  QueueNext();
}

void TqvCustomATProcessor::QueueNext() {
  auto guard = Guard();
  const bool answered = fCommandIndex >= 1 && fCommandIndex <= static_cast<int32_t>(slCommands.size()) &&
                        fMachine.Awaiting(qv::TLineKind::lkQueued);
  if (answered) {
    if (!CommandSucceeded()) --fCommandIndex;
    Feed(TakeAnswer());
  }
  // The next line asks for the slot, which an owed final, an acknowledgement
  // or the line gap may still hold; a queue with nothing left ends now.
  if (QueueHasNext())
    Feed(qv::TReplyInput::riLineWanted, qv::TLineKind::lkQueued);
  else
    QueueFinished();
}

bool TqvCustomATProcessor::QueueHasNext() {
  auto guard = Guard();
  const auto count = static_cast<int32_t>(slCommands.size());
  // A line with nothing to send is no line: the queue must not stall on it.
  while (fCommandIndex >= 0 && fCommandIndex < count && slCommands[fCommandIndex].Text.empty()) ++fCommandIndex;
  return fCommandIndex >= 0 && fCommandIndex < count && IsDeviceOpen();
}

void TqvCustomATProcessor::QueueSendNext() {
  auto guard = Guard();
  if (QueueHasNext()) {
    const TqvQueueEntry entry = slCommands[fCommandIndex];
    if (HoldQueue(entry)) return;
    const auto& lines = fCurrentDriver->slCommands;
    const int32_t expected = (entry.Object >= 0 && entry.Object < static_cast<int32_t>(lines.size()))
                                 ? lines[entry.Object].Object->idExpectedReply
                                 : qv::resp::kOk;
    // Counted before sending, so that a reply processed during the send sees this entry as answered.
    ++fCommandIndex;
    SendLine(qv::StringToAnsi(entry.Text), expected, qv::TLineKind::lkQueued);
  } else {
    QueueFinished();
  }
}

void TqvCustomATProcessor::QueueFinished() { WriteLog(TDL::dlDetail, u"Queue finished"); }

bool TqvCustomATProcessor::HoldQueue(const TqvQueueEntry& /*next*/) { return false; }

void TqvCustomATProcessor::ResumeQueue() {
  auto guard = Guard();
  Feed(qv::TReplyInput::riLineWanted, qv::TLineKind::lkQueued);
}

void TqvCustomATProcessor::QueueStopped(qv::TLineOutcome /*why*/) {}

// ---------------------------------------------------------------------------
// Judging replies

bool TqvCustomATProcessor::IsErrorReply(const TATReply& reply) {
  auto guard = Guard();
  return reply.idResponse >= 0 && reply.idResponse < static_cast<int32_t>(fCurrentDriver->slResponses.size()) &&
         fCurrentDriver->GetResponse(reply.idResponse)->Tag == qv::resp::kError;
}

void TqvCustomATProcessor::ReplyComplete(TATReply& reply) {
  auto guard = Guard();
  const bool sync = fMachine.Awaiting(qv::TLineKind::lkSync);
  if ((!sync && !fMachine.Awaiting(qv::TLineKind::lkQueued)) || reply.idResponse < 0) return;
  if (fCurrentDriver->GetResponse(reply.idResponse)->Tag != fExpectedReplyID) return;
  if (!sync) {
    QueueNext();
    return;
  }
  CommandSucceeded();
  Feed(TakeAnswer());
}

// How the line just answered ended: still owing the final result that follows
// its pattern, at the input prompt, or with its final result.
qv::TReplyInput TqvCustomATProcessor::TakeAnswer() {
  if (std::exchange(fCompletedWithoutFinal, false)) return qv::TReplyInput::riPatternCompleted;
  return fCompletedTag == qv::resp::kPrompt ? qv::TReplyInput::riPromptAnswered : qv::TReplyInput::riFinalResult;
}

bool TqvCustomATProcessor::CommandSucceeded() {
  auto guard = Guard();
  WriteLogFmt(TDL::dlDetail, u"OK Returned !!! %s", {Text(fReply.sData)});
  fReplyLast.Assign(&fReply);
  ClearReply();
  return true;
}

void TqvCustomATProcessor::DoError() {
  auto guard = Guard();
  StopTimer();
  WriteLogFmt(TDL::dlDetail, u"ERROR Returned !!! %s", {Text(fReply.sData)});
  const auto lines = qv::SplitLines(qv::TrimView(fReply.sData));
  fLastErrorResult = lines.empty() ? std::string() : std::string(qv::TrimView(lines.back()));
  fReplyLast.Assign(&fReply);
  ClearReply();
  Feed(qv::TReplyInput::riErrorResult);
}

void TqvCustomATProcessor::EndLineAsError(const std::string& finalLine) {
  auto guard = Guard();
  if (fMachine.Awaiting(qv::TLineKind::lkAck)) {
    ClearReply();
    Feed(qv::TReplyInput::riErrorResult, qv::TLineKind::lkAck);
    return;
  }
  if (!fMachine.Awaiting(qv::TLineKind::lkSync) && !fMachine.Awaiting(qv::TLineKind::lkQueued)) return;
  // The reply reads as the error it is, whatever the driver calls its errors.
  fReply.sData += finalLine;
  fReply.sDataUseful = std::string(qv::TrimView(fReply.sData));
  fReply.idResponse = fCurrentDriver->IndexOfResponseById(qv::resp::kError);
  fReply.flReady = true;
  DoError();
}

// ---------------------------------------------------------------------------
// Received bytes

void TqvCustomATProcessor::DoProcessing(const char* Data, uint32_t Len, TIgnoreTypes& R) {
  if (Active() && Data) {
    auto guard = Guard();
    TDepth depth(fProcessingDepth);
    fProcessingThread = std::this_thread::get_id();
    fDeliveredOnMain = pf::IsMainThread();
    for (uint32_t i = 0; i < Len; ++i) ProcessByte(static_cast<uint8_t>(Data[i]));
  }
  TqvCustomDataProcessor::DoProcessing(Data, Len, R);
}

bool TqvCustomATProcessor::ProcessByte(uint8_t b) {
  auto guard = Guard();
  if (!AddReplyByte(b)) return false;
  HandleCompletion();
  return true;
}

void TqvCustomATProcessor::SetCompletedReply(int32_t index, size_t patternLen) {
  const size_t cut = std::min({patternLen, fAppendedRun, fReply.sData.size()});
  fBeforePattern = fReply.sData.size() - cut;
  fReply.idResponse = index;
  fReply.flReady = true;
  fReply.sDataUseful = std::string(qv::TrimView(std::string_view(fReply.sData).substr(0, fBeforePattern)));
  fReply.idDriverCmd = (fCommandIndex > 0 && fCommandIndex <= static_cast<int32_t>(slCommands.size()))
                           ? slCommands[fCommandIndex - 1].Object
                           : -1;
}

bool TqvCustomATProcessor::AddReplyByte(uint8_t b) {
  auto guard = Guard();
  ++fRxCount;
  // A notification's text stays out of the reply; the matchers still see it.
  bool keepOut = false;
  if (fSkipCRs > 0) {
    keepOut = true;
    if ((b == '\r' && --fSkipCRs == 0) || --fSkipBudget == 0) {
      fSkipCRs = 0;
      fSkipLF = (b == '\r');
    }
  } else if (fSkipLF) {
    fSkipLF = false;
    keepOut = (b == '\n');
  }
  if (keepOut) {
    fAppendedRun = 0;
  } else {
    fReply.sData += static_cast<char>(b);
    ++fAppendedRun;
  }

  const bool pending = fMachine.State() == qv::TReplyState::rsAwaitingReply;
  const int32_t i = fCurrentDriver->IsResponse(b);
  const bool cmeHead = fCmeHead.IsEvent(b, 0);
  if (i >= 0) {
    const TCommEventNew& m = *fCurrentDriver->GetResponse(i);
    fCmeHead.Reset();
    fCmeLine = false;
    fCompletedTag = m.Tag;
    fCompletedStale = pending && fRxCount - static_cast<uint64_t>(m.Len()) < fLineStartRx;
    fCompletedWithoutFinal = pending && !CompletesWithFinal(m);
    SetCompletedReply(i, static_cast<size_t>(m.Len()));
    return true;
  }
  // "+CME ERROR: n" ends a pending line as an error final result at the end of its line.
  if (cmeHead && pending && fRxCount - fCmeHead.Str().size() >= fLineStartRx) fCmeLine = true;
  if (fCmeLine && b == '\r') {
    fCmeLine = false;
    const int32_t err = fCurrentDriver->IndexOfResponseById(qv::resp::kError);
    if (pending && err >= 0) {
      fSkipLF = true;
      fCompletedTag = qv::resp::kError;
      fCompletedStale = false;
      fCompletedWithoutFinal = false;
      SetCompletedReply(err, 0);
      return true;
    }
  }
  if (!pending && fReply.sData.size() > kIdleReplyLimit) {
    fReply.sData.erase(0, fReply.sData.size() - kIdleReplyKeep);
    fAppendedRun = std::min(fAppendedRun, fReply.sData.size());
  }
  return false;
}

// Whether the device sends nothing more after this pattern: it ends with the
// final result itself, is an error, or is the input prompt.
bool TqvCustomATProcessor::CompletesWithFinal(const TCommEventNew& m) const {
  if (m.Tag == qv::resp::kError || m.Tag == qv::resp::kPrompt) return true;
  if (m.Tag != fExpectedReplyID) return true;  // only the expected pattern can leave a final owed
  return EndsWith(m.Str(), "\r\nOK\r\n") || EndsWith(m.Str(), "\r\nERROR\r\n");
}

// The pattern that just completed is not the pending line's end: the reply
// keeps what it had, without the pattern.
void TqvCustomATProcessor::KeepReplyWithoutPattern() {
  fReply.sData.resize(fBeforePattern);
  fReply.sDataUseful.clear();
  fReply.idResponse = -1;
  fReply.flReady = false;
  fAppendedRun = 0;
}

void TqvCustomATProcessor::HandleCompletion() {
  const int32_t tag = fCompletedTag;
  const bool finalResult = tag == qv::resp::kOk || tag == qv::resp::kError;
  const bool head = qv::resp::IsNotificationHead(tag);
  if (finalResult && (fMachine.OwesFinal() || (fMachine.Awaiting(qv::TLineKind::lkAck) && !fCompletedStale))) {
    // The final result of a line already answered, or an acknowledgement's answer.
    fCompletedWithoutFinal = false;
    ClearReply();
    Feed(qv::TReplyInput::riFinalResult);
    return;
  }
  if (fCompletedStale && !head) {  // began before the pending line was sent: never its reply
    fCompletedWithoutFinal = false;
    KeepReplyWithoutPattern();
    return;
  }

  const bool pending = fMachine.Awaiting(qv::TLineKind::lkSync) || fMachine.Awaiting(qv::TLineKind::lkQueued);
  const uint64_t seq = fLineSeq;
  if (pending && IsErrorReply(fReply))
    DoError();
  else
    ReplyComplete(fReply);  // the success hooks read fCompletedWithoutFinal
  fCompletedWithoutFinal = false;

  const bool sameLine = fLineSeq == seq;
  const bool stillPending = sameLine && pending && fMachine.State() == qv::TReplyState::rsAwaitingReply;
  if (stillPending) {
    KeepReplyWithoutPattern();
    // Each item of a message listing keeps the listing alive.
    if (tag == qv::resp::kSmsListItem) {
      NoteProgress();
      ArmTimer(TimeOut());
    }
  } else if (sameLine) {
    ClearReply();
  }
  if (head && !(pending && !stillPending && sameLine)) {
    fSkipCRs = qv::resp::NotificationLineCount(tag);
    fSkipLF = false;
    fSkipBudget = kNotificationTextLimit;
  }
}

// ---------------------------------------------------------------------------
// Timer

void TqvCustomATProcessor::ArmTimer(uint32_t ms) {
  fTimerArmed = true;
  fTimerDeadline = Now() + std::chrono::milliseconds(ms);
  if (!fManualClock) StartAsyncTimer(ms);
}

void TqvCustomATProcessor::StopTimer() {
  fTimerArmed = false;
  StartAsyncTimer(0);
}

// Under the lock.
void TqvCustomATProcessor::ArmGap() {
  using namespace std::chrono;
  const auto now = Now();
  fGapDeadline = std::max(now + milliseconds(fLineGap), fHoldUntil);
  fGapArmed = true;
  if (fManualClock) return;
  const auto ms = std::max<int64_t>(ceil<milliseconds>(fGapDeadline - now).count(), 1);
  // The queue's next line goes out on the thread that delivers received data
  // when that is the main thread; no other thread takes calls.
  fGapTimer->SetSynchro(fDeliveredOnMain);
  fGapTimer->SetInterval(static_cast<uint32_t>(ms));
  fGapTimer->Restart();  // a tick of an earlier arming is dropped
}

void TqvCustomATProcessor::StopGap() {
  fGapArmed = false;
  if (fGapTimer) fGapTimer->SetEnabled(false);
}

uint32_t TqvCustomATProcessor::GapLeftMs() const {
  using namespace std::chrono;
  if (!fGapArmed) return 0;
  return static_cast<uint32_t>(std::max<int64_t>(ceil<milliseconds>(fGapDeadline - Now()).count(), 0));
}

void TqvCustomATProcessor::GapTick(TObject* /*Sender*/) {
  auto guard = Guard();
  // A tick of an earlier arming may still come after a re-arm, a stop or a reopen.
  if (!fGapArmed || Now() + std::chrono::milliseconds(1) < fGapDeadline) return;
  StopGap();
  Feed(qv::TReplyInput::riGapOver);
}

void TqvCustomATProcessor::HoldNextLine(uint32_t ms) {
  auto guard = Guard();
  fHoldUntil = Now() + std::chrono::milliseconds(ms);
  Feed(qv::TReplyInput::riHoldWanted);
}

void TqvCustomATProcessor::AsyncTimerTick(TObject* /*Sender*/) {
  auto guard = Guard();
  // A tick of an earlier arming may still arrive after the timer was re-armed.
  if (!fTimerArmed || Now() + std::chrono::milliseconds(1) < fTimerDeadline) return;
  StopTimer();
  if (fMachine.State() == qv::TReplyState::rsAwaitingReply)
    TimeOutLine();
  else
    Feed(qv::TReplyInput::riTimeOut);  // the grace for an owed final is over
}

void TqvCustomATProcessor::TimeOutLine() {
  if (fMachine.State() != qv::TReplyState::rsAwaitingReply) return;
  WriteLogFmt(TDL::dlDetail, u"Timeout!!! %u ms \"%s\"", {uint64_t(TimeOut()), Text(fReply.sData)});
  ClearReply();
  if (!fMachine.Awaiting(qv::TLineKind::lkAck)) fReplyLast.Clear();  // a timed-out exchange has no reply
  Feed(qv::TReplyInput::riTimeOut);
}

// ---------------------------------------------------------------------------
// Clock

void TqvCustomATProcessor::SetManualClock() {
  auto guard = Guard();
  if (fManualClock) return;
  fManualNow = std::chrono::steady_clock::now();
  fManualClock = true;
  StartAsyncTimer(0);
  if (fGapTimer) fGapTimer->SetEnabled(false);
}

bool TqvCustomATProcessor::ManualClock() const { return fManualClock; }

TqvCustomATProcessor::TClockPoint TqvCustomATProcessor::Now() const {
  if (!fManualClock) return std::chrono::steady_clock::now();
  auto guard = Guard();
  return fManualNow;
}

uint32_t TqvCustomATProcessor::ClockTicks() const {
  if (!fManualClock) return pf::GetTickCount();
  using namespace std::chrono;
  return static_cast<uint32_t>(duration_cast<milliseconds>(Now().time_since_epoch()).count());
}

void TqvCustomATProcessor::AdvanceClock(uint32_t ms) {
  auto guard = Guard();
  if (fManualClock) AdvanceClockTo(fManualNow + std::chrono::milliseconds(ms));
}

TqvCustomATProcessor::TClockPoint TqvCustomATProcessor::NextDeadline(TClockPoint until) const {
  if (fTimerArmed) until = std::min(until, fTimerDeadline);
  if (fGapArmed) until = std::min(until, fGapDeadline);
  if (const auto own = OwnDeadline()) until = std::min(until, *own);
  return until;
}

// Each step goes to the earliest deadline not after `until` and runs what is
// due there; what that arms anew may fall due within the same advance.
void TqvCustomATProcessor::AdvanceClockTo(TClockPoint until) {
  for (;;) {
    fManualNow = std::max(fManualNow, NextDeadline(until));
    const std::optional<TClockPoint> own = OwnDeadline();
    if (fTimerArmed && fTimerDeadline <= fManualNow) {
      AsyncTimerTick(this);
    } else if (fGapArmed && fGapDeadline <= fManualNow) {
      GapTick(this);
    } else if (own && *own <= fManualNow) {
      OwnDeadlineDue();
    } else if (fManualNow >= until) {
      return;
    }
  }
}

// Every byte was delivered inline, so only a deadline can set `event`: time
// moves on from one to the next until it is set or `ms` have passed. The
// main thread runs the calls handed to it at each step, as a pumping wait does.
bool TqvCustomATProcessor::WaitOnManualClock(pf::TEvent& event, uint32_t ms) {
  const TClockPoint until = Now() + std::chrono::milliseconds(ms);
  for (;;) {
    if (pf::IsMainThread()) pf::ProcessMessages();
    if (event.IsSet()) return true;
    auto guard = Guard();
    if (!IsDeviceOpen() || fManualNow >= until) return event.IsSet();
    AdvanceClockTo(std::max(NextDeadline(until), fManualNow));
  }
}

void TqvCustomATProcessor::MediumClosed() {
  {
    auto guard = Guard();
    fAckLines.clear();
    Feed(qv::TReplyInput::riDeviceClosed);
  }
  TqvCustomDataProcessor::MediumClosed();
}

void TqvCustomATProcessor::AttachDevice(TqvBaseIO* Device) {
  if (!Device) {
    auto guard = Guard();
    StopGap();
  }
  TqvCustomDataProcessor::AttachDevice(Device);
}

void TqvCustomATProcessor::MediumOpened() {
  {
    auto guard = Guard();
    StopTimer();
    StopGap();
    fHoldUntil = {};
    ClearQueue();
    ClearReply();
    fMachine.Reset();
    fAckLines.clear();
    fSlotFree.Set();
    fSkipCRs = 0;
    fSkipLF = false;
    fCmeLine = false;
    fCurrentDriver->ResponsesResetState();
    fCmeHead.Reset();
  }
  TqvCustomDataProcessor::MediumOpened();
}
