#include "qvatcmd.h"

#include <algorithm>
#include <filesystem>

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
// A successful line is followed by this pause before the waiter or the queue goes on.
constexpr uint32_t kSuccessPauseMs = 20;
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

TqvCustomATProcessor::TqvCustomATProcessor(TqvComponent* AOwner) : TqvCustomDataProcessor(AOwner) {
  fDefaultDriver.ParseLines(kDefaultDriverScript);
  fCurrentDriver = &fDefaultDriver;
  fReply.Clear();
  fReplyLast.Clear();
  sLogPrefix = u"qvAT: ";
}

TqvCustomATProcessor::~TqvCustomATProcessor() {
  FreeAsyncTimer();  // no tick may reach a half-destroyed processor
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
  fCurrentDriver = &fDefaultDriver;
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
  fCurrentDriver = driver;
  driver->ResponsesResetState();  // partial matches from its last use are stale
}

TqvCustomATDriver* TqvCustomATProcessor::Driver() const {
  auto guard = Guard();
  return fCurrentDriver;
}

TatInternalState TqvCustomATProcessor::ATState() const {
  auto guard = Guard();
  return fATState;
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

void TqvCustomATProcessor::StartLine(const std::string& bytes, int32_t expected, TatInternalState state) {
  if (bytes.empty() || !IsDeviceOpen()) return;
  auto guard = Guard();
  WaitForOwedFinal();
  hReplyEvent.Reset();
  ClearReply();
  fCmeLine = false;
  fATState = state;
  SetExpectedReply(expected);
  fOutcome = TLineOutcome::loPending;
  const uint64_t seq = ++fLineSeq;
  fLineStartRx = fRxCount;
  ArmTimer(TTimerUse::tuReply, TimeOut());
  // The lock stays held while sending: a reply delivered on another thread is
  // processed once the line is fully in place; one delivered inline re-enters.
  const bool sent = DoDataSend(bytes.data(), static_cast<uint32_t>(bytes.size()));
  WriteLog(TDL::dlDebug, u"send:" + Text(bytes));
  if (!sent && fLineSeq == seq && fATState != TatInternalState::atIdle) {
    WriteLog(TDL::dlDetail, u"Send failed");
    StopTimer();
    ClearReply();
    fReplyLast.Clear();
    fATState = TatInternalState::atIdle;
    SignalEnd(TLineOutcome::loSendFailed);
  }
}

void TqvCustomATProcessor::SendCommand(const std::string& text) {
  StartLine(text, qv::resp::kOk, TatInternalState::atWaitReply);
}

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

// ---------------------------------------------------------------------------
// Waiting

void TqvCustomATProcessor::SignalEnd(TLineOutcome outcome) {
  fOutcome = outcome;
  hReplyEvent.Set();
}

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
  bool signalled = false;
  while (IsDeviceOpen()) {
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
  fLock.Reacquire(depth);
  if (!signalled || handle) return signalled;
  auto guard = Guard();
  return fOutcome == TLineOutcome::loReplied || fOutcome == TLineOutcome::loError;
}

bool TqvCustomATProcessor::LinePending(uint64_t seq) const {
  auto guard = Guard();
  return fLineSeq == seq && fATState != TatInternalState::atIdle;
}

// A backstop for the timer: a pending line well past its time-out is ended here.
bool TqvCustomATProcessor::ExchangeOverdue(uint64_t seq) {
  auto guard = Guard();
  if (fLineSeq != seq || fATState == TatInternalState::atIdle || fTimerUse != TTimerUse::tuReply) return false;
  if (std::chrono::steady_clock::now() < fTimerDeadline + std::chrono::milliseconds(kWaitSliceMs)) return false;
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
      StartLine(qv::StringToAnsi(ExpandCommand(raw)), expected, TatInternalState::atWaitReply);
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
      r = !IsErrorReply(fReplyLast);
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
  if (fCommandIndex >= 1 && fCommandIndex <= static_cast<int32_t>(slCommands.size())) {
    if (!CommandSucceeded()) --fCommandIndex;
    if (fCompletedWithoutFinal) {
      // The answered line still owns the final result the device sends next.
      fCompletedWithoutFinal = false;
      OweFinal(true);
      return;
    }
  }
  QueueSendNext();
}

void TqvCustomATProcessor::QueueSendNext() {
  auto guard = Guard();
  if (fCommandIndex >= 0 && fCommandIndex < static_cast<int32_t>(slCommands.size()) && IsDeviceOpen()) {
    const TqvQueueEntry entry = slCommands[fCommandIndex];
    const auto& lines = fCurrentDriver->slCommands;
    const int32_t expected = (entry.Object >= 0 && entry.Object < static_cast<int32_t>(lines.size()))
                                 ? lines[entry.Object].Object->idExpectedReply
                                 : qv::resp::kOk;
    // Counted before sending, so that a reply processed during the send sees this entry as answered.
    ++fCommandIndex;
    StartLine(qv::StringToAnsi(entry.Text), expected, TatInternalState::atQWaitReply);
  } else {
    fATState = TatInternalState::atIdle;
    QueueFinished();
  }
}

void TqvCustomATProcessor::QueueFinished() { WriteLog(TDL::dlDetail, u"Queue finished"); }

// ---------------------------------------------------------------------------
// Judging replies

bool TqvCustomATProcessor::IsErrorReply(const TATReply& reply) {
  auto guard = Guard();
  return reply.idResponse >= 0 && reply.idResponse < static_cast<int32_t>(fCurrentDriver->slResponses.size()) &&
         fCurrentDriver->GetResponse(reply.idResponse)->Tag == qv::resp::kError;
}

void TqvCustomATProcessor::ReplyComplete(TATReply& reply) {
  auto guard = Guard();
  if (fATState == TatInternalState::atIdle || reply.idResponse < 0) return;
  if (fCurrentDriver->GetResponse(reply.idResponse)->Tag != fExpectedReplyID) return;
  StopTimer();
  if (fATState == TatInternalState::atWaitReply)
    CommandSucceeded();
  else if (fATState == TatInternalState::atQWaitReply)
    QueueNext();
}

bool TqvCustomATProcessor::CommandSucceeded() {
  auto guard = Guard();
  pf::Sleep(kSuccessPauseMs);
  WriteLogFmt(TDL::dlDetail, u"OK Returned !!! %s", {Text(fReply.sData)});
  fReplyLast.Assign(&fReply);
  ClearReply();
  fATState = TatInternalState::atIdle;
  SignalEnd(TLineOutcome::loReplied);
  return true;
}

void TqvCustomATProcessor::DoError() {
  auto guard = Guard();
  StopTimer();
  WriteLogFmt(TDL::dlDetail, u"ERROR Returned !!! %s", {Text(fReply.sData)});
  fReplyLast.Assign(&fReply);
  ClearReply();
  fATState = TatInternalState::atIdle;
  SignalEnd(TLineOutcome::loError);
}

// ---------------------------------------------------------------------------
// Received bytes

void TqvCustomATProcessor::DoProcessing(const char* Data, uint32_t Len, TIgnoreTypes& R) {
  if (Active() && Data) {
    auto guard = Guard();
    TDepth depth(fProcessingDepth);
    fProcessingThread = std::this_thread::get_id();
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

  const bool pending = fATState != TatInternalState::atIdle;
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

void TqvCustomATProcessor::HandleCompletion() {
  const int32_t tag = fCompletedTag;
  const bool pending = fATState != TatInternalState::atIdle;
  const uint64_t seq = fLineSeq;
  const bool finalResult = tag == qv::resp::kOk || tag == qv::resp::kError;

  if (fOwedFinal && finalResult && (!pending || fCompletedStale)) {
    // The final result of a line already answered: it closes that line only.
    ClearReply();
    SettleOwedFinal();
    return;
  }
  if (fCompletedStale && !qv::resp::IsNotificationHead(tag)) {
    // Began before the pending line was sent: never its reply.
    fReply.sData.resize(fBeforePattern);
    fReply.sDataUseful.clear();
    fReply.idResponse = -1;
    fReply.flReady = false;
    fAppendedRun = 0;
    return;
  }

  if (pending && IsErrorReply(fReply))
    DoError();
  else
    ReplyComplete(fReply);

  const bool sameLine = fLineSeq == seq;
  const bool stillPending = sameLine && pending && fATState != TatInternalState::atIdle;
  if (stillPending) {
    // Not this line's end: the reply keeps what it had, without this pattern.
    fReply.sData.resize(fBeforePattern);
    fReply.sDataUseful.clear();
    fReply.idResponse = -1;
    fReply.flReady = false;
    fAppendedRun = 0;
    // Each item of a message listing keeps the listing alive.
    if (tag == qv::resp::kSmsListItem) ArmTimer(TTimerUse::tuReply, TimeOut());
  } else if (sameLine) {
    ClearReply();
    if (pending && fOutcome == TLineOutcome::loReplied && fCompletedWithoutFinal) OweFinal(false);
  }
  if (qv::resp::IsNotificationHead(tag) && !(pending && !stillPending && sameLine)) {
    fSkipCRs = qv::resp::NotificationLineCount(tag);
    fSkipLF = false;
    fSkipBudget = kNotificationTextLimit;
  }
  fCompletedWithoutFinal = false;
}

// ---------------------------------------------------------------------------
// The final result owed by a line answered before it

void TqvCustomATProcessor::OweFinal(bool deferQueue) {
  fOwedFinal = true;
  fDeferredQueue = deferQueue;
  fOwedSettled.Reset();
  ArmTimer(TTimerUse::tuFinalGrace, FinalGrace());
}

void TqvCustomATProcessor::SettleOwedFinal() {
  if (!fOwedFinal) return;
  fOwedFinal = false;
  if (fTimerUse == TTimerUse::tuFinalGrace) StopTimer();
  fOwedSettled.Set();
  if (fDeferredQueue) {
    fDeferredQueue = false;
    QueueSendNext();
  }
}

void TqvCustomATProcessor::WaitForOwedFinal() {
  if (!fOwedFinal) return;
  const bool inProcessing = fProcessingDepth > 0 && fProcessingThread == std::this_thread::get_id();
  if (!inProcessing) {
    const int depth = fLock.ReleaseAll();
    const uint32_t start = pf::GetTickCount();
    const uint32_t grace = FinalGrace();
    for (uint32_t elapsed; (elapsed = pf::TicksSince(start)) < grace && IsDeviceOpen();)
      if (pf::WaitPumping(fOwedSettled, std::min(kWaitSliceMs, grace - elapsed))) break;
    fLock.Reacquire(depth);
  }
  // Sent now in any case; whatever final result comes later is the new line's.
  fOwedFinal = false;
  fDeferredQueue = false;
  fOwedSettled.Set();
}

// ---------------------------------------------------------------------------
// Timer

void TqvCustomATProcessor::ArmTimer(TTimerUse use, uint32_t ms) {
  fTimerUse = use;
  fTimerDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  StartAsyncTimer(ms);
}

void TqvCustomATProcessor::StopTimer() {
  fTimerUse = TTimerUse::tuNone;
  StartAsyncTimer(0);
}

void TqvCustomATProcessor::AsyncTimerTick(TObject* /*Sender*/) {
  auto guard = Guard();
  // A tick of an earlier arming may still arrive after the timer was re-armed.
  if (fTimerUse == TTimerUse::tuNone ||
      std::chrono::steady_clock::now() + std::chrono::milliseconds(1) < fTimerDeadline)
    return;
  const TTimerUse use = fTimerUse;
  StopTimer();
  if (use == TTimerUse::tuFinalGrace) {
    SettleOwedFinal();
    return;
  }
  TimeOutLine();
}

void TqvCustomATProcessor::TimeOutLine() {
  if (fATState == TatInternalState::atIdle) return;
  WriteLogFmt(TDL::dlDetail, u"Timeout!!! %u ms \"%s\"", {uint64_t(TimeOut()), Text(fReply.sData)});
  ClearReply();
  fReplyLast.Clear();  // a timed-out exchange has no reply
  fATState = TatInternalState::atIdle;
  SignalEnd(TLineOutcome::loTimedOut);
}

void TqvCustomATProcessor::MediumClosed() {
  {
    auto guard = Guard();
    StopTimer();
  }
  TqvCustomDataProcessor::MediumClosed();
}

void TqvCustomATProcessor::MediumOpened() {
  {
    auto guard = Guard();
    StopTimer();
    ClearQueue();
    ClearReply();
    fATState = TatInternalState::atIdle;
    fOwedFinal = false;
    fDeferredQueue = false;
    fOwedSettled.Set();
    fSkipCRs = 0;
    fSkipLF = false;
    fCmeLine = false;
    fCurrentDriver->ResponsesResetState();
    fCmeHead.Reset();
  }
  TqvCustomDataProcessor::MediumOpened();
}
