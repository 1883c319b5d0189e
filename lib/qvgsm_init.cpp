// TqvGsm: opening and closing, initialisation, queues and their ends, the
// success and error hooks, diagnostics and direct commands.
#include <algorithm>
#include <chrono>
#include <utility>

#include "qvgsm.h"
#include "qvgsm_internal.h"
#include "qvtext.h"

namespace pf = qv::platform;
using TDL = TDetailLevel;
using namespace qv::gsm;

namespace {
// How long the SIM is left alone after PINApply entered the PIN.
constexpr uint32_t kPinSettleMs = 500;

// How often a line answered "SIM busy" is tried, and the wait checked.
constexpr uint32_t kReadyPollMs = 500;

// "SIM busy" in the numeric forms of 3GPP TS 27.007 and 27.005, and the verbose one.
bool SimBusy(std::string_view reply) {
  return reply.find("+CME ERROR: 14\r") != std::string_view::npos ||
         reply.find("+CMS ERROR: 314\r") != std::string_view::npos ||
         reply.find("+CME ERROR: SIM busy") != std::string_view::npos;
}

// The memory and notification lines: those that need the message service.
bool IsMessageLine(const TATCommand* line) {
  if (!line) return false;
  switch (line->idCmd) {
    case gsmGetSMSMem: case gsmSetPDUMode: case gsmSMSNotifyEnable: case gsmSMSNotifyDirect: return true;
    default: return false;
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Opening and closing

void TqvGsm::MediumOpened() {
  {
    // The processor starts idle: a queue still running (Update while open) ends here.
    auto guard = Guard();
    fCollectState = 0;
    fCollectText.clear();
    if (fQueueActive) EndQueue(false);
  }
  TqvCustomATProcessor::MediumOpened();
  FailPendingSends();
  if (Active()) Initialize();
}

// After a close (or a loss) nothing of the old exchange survives: the running
// queue ends as failed, collections are dropped, the stack is emptied, and
// sends still awaiting their confirmation are failed.
void TqvGsm::MediumClosed() {
  {
    std::lock_guard lk(fInfoMutex);
    fDeviceManufacturer.clear();
    fDeviceIMEI.clear();
    fDeviceVersion.clear();
    fDeviceName.clear();
    fDeviceIMSI.clear();
  }
  {
    auto guard = Guard();
    fCollectState = 0;
    fCollectText.clear();
    // A queue cut short by the closing failed, and says so: a listing or a
    // phone book reading that ends here is told apart from a short one.
    if (fQueueActive && fQueueFailure.empty()) fQueueFailure = LineFailure(qv::TLineOutcome::loClosed);
    if (fQueueActive) EndQueue(false);
    ClearQueue();
    fModuleStarted = fSmsReady = false;
  }
  SetState(stIdle);
  FailPendingSends();
  TqvCustomATProcessor::MediumClosed();
}

void TqvGsm::Update() {
  if (Device() && Active()) MediumOpened();
}

// ---------------------------------------------------------------------------
// Initialisation

void TqvGsm::DetectDriver() {
  SetReplyCache(true);
  PushState(stDetect);
  ClearQueue();
  {
    auto guard = Guard();
    fDetecting = true;
  }
  bool found = false;
  for (int32_t i = 0; i < DriverCount() && IsDeviceOpen(); ++i) {
    SetDriverIndex(i);
    WriteLog(TDL::dlDetail, u"Check driver: " + Driver()->Caption());
    if (TqvCustomATProcessor::RunCommand(gsmDetect) && !IsErrorReply(ReplyLast())) {
      WriteLog(TDL::dlDetail, u"=== Autodetect driver: " + Driver()->Caption());
      found = true;
      break;
    }
  }
  if (!found && DriverCount() > 0) {
    SetDriverIndex(0);
    WriteLog(TDL::dlDetail, u"=== Autodetect failed. Use default driver: " + Driver()->Caption());
  }
  {
    auto guard = Guard();
    fDetecting = false;
  }
  RemoveState(stDetect);
  SetReplyCache(false);
}

void TqvGsm::Initialize() {
  fPINStatus = TGsmPinStatus::pinUnknown;
  TSyncCall call(*this, u"Initialization");
  if (!call) {
    RaiseError(u"Initialization failed: " + call.Failure());
    return;
  }
  if (fAutodetect)
    DetectDriver();
  else
    WriteLog(TDL::dlDetail, u"=== Use selected driver: " + Driver()->Caption());
  fGsmAT = TgsmATType::gtNokia;
  LoadMemoryTypes();
  {
    auto guard = Guard();
    fReadyClock = false;
  }
  if (!BeginQueue(call, stInit)) return;
  EnqueueInitCommands();
  RunQueue();
}

void TqvGsm::EnqueueInitCommands() {
  static constexpr int32_t kInit[] = {gsmInit,     gsmGetManufacturer, gsmGetModel,         gsmGetVersion,
                                      gsmGetPINStatus, gsmSetPIN,      gsmGetIMEI,          gsmGetIMSI,
                                      gsmGetSMSMem, gsmGetBatteryStatus, gsmGetSignalStatus, gsmSetPDUMode};
  for (int32_t id : kInit) EnqueueCommand(id);
  EnqueueCommand(fNewSmsMode == TgsmNewSmsMode::nsmSkipSave ? gsmSMSNotifyDirect : gsmSMSNotifyEnable);
  EnqueueCommand(gsmRingNotifyEnable);
  if (fInitCommands.empty()) return;
  // The application's own lines: tokens only, no placeholder is filled in.
  const std::u16string text = TqvCustomATProcessor::ExpandCommand(fInitCommands);
  for (std::u16string_view line : qv::SplitLines(text))
    if (!line.empty()) EnqueueText(std::u16string(line) + u"\r");
}

// The PIN status line of the initialisation decides whether the two PIN
// lines that follow it are sent.
void TqvGsm::InitPinStatus(const std::string& useful) {
  const TGsmPinStatus st = DetectPinStatus(fReply);
  fPINStatus = st;
  const std::u16string text = qv::AnsiToString(useful);
  if (st == TGsmPinStatus::pinReady) {
    WriteLog(TDL::dlDetail, u"PIN is READY");
    ++fCommandIndex;
    return;
  }
  if (st != TGsmPinStatus::pinPIN) {
    WriteLog(TDL::dlDetail, u"PIN has unacceptable status.");
    GsmErrorNotify(text);
    ++fCommandIndex;
    return;
  }
  WriteLog(TDL::dlDetail, u"PIN is NECESSARY");
  std::u16string pin;
  bool rejected;
  {
    std::lock_guard lk(fInfoMutex);
    pin = fPIN;
    rejected = fPinRejected;
  }
  std::u16string why;
  if (pin.empty())
    WriteLog(TDL::dlDetail, u"PIN is empty. Entering is skipped.");
  else if (rejected)
    why = u"PIN was rejected before. Entering is skipped.";
  else
    why = CheckValue(TValueKind::vkPin, pin);
  if (!pin.empty() && why.empty()) return;  // the PIN lines follow
  if (!why.empty()) WriteLog(TDL::dlDetail, why);
  fCommandIndex += 2;
  GsmErrorNotify(text);
}

void TqvGsm::InitLineSucceeded(const TATCommand& line, const std::string& useful) {
  auto store = [&](std::u16string& field) {
    std::lock_guard lk(fInfoMutex);
    field = qv::AnsiToString(useful);
  };
  switch (line.idCmd) {
    case gsmGetManufacturer: store(fDeviceManufacturer); break;
    case gsmGetModel: store(fDeviceName); break;
    case gsmGetVersion: store(fDeviceVersion); break;
    case gsmGetIMSI: store(fDeviceIMSI); break;
    case gsmGetIMEI:
      store(fDeviceIMEI);
      LoadMemoryTypes();
      break;
    case gsmGetBatteryStatus: ParseBattery(useful, &line); break;
    case gsmGetSignalStatus: ParseSignal(useful, &line); break;
    case gsmGetSMSMem: ParseMemoryState(useful, false); break;
    case gsmGetPINStatus: InitPinStatus(useful); break;
    case gsmSetPIN: NotePinReply(fReply); break;  // the check line after the PIN
    default: break;
  }
}

// ---------------------------------------------------------------------------
// Waiting for a module's SIM and message service

uint32_t TqvGsm::SmsReadyWaitMs() const {
  const int32_t i = Driver()->IndexOfSetting(gsmSMSReadyWait, 1);
  return i < 0 ? 0 : static_cast<uint32_t>(std::max(0, qv::StrToIntDef(Driver()->GetSettings(i)->fCommand, 0)));
}

// Whether the wait may still go on; its clock starts with the first need.
bool TqvGsm::ReadyWaitLeft() {
  const uint32_t wait = SmsReadyWaitMs();
  if (wait == 0) return false;
  if (!fReadyClock) {
    fReadyClock = true;
    fReadyStart = ClockTicks();
  }
  return ClockTicks() - fReadyStart < wait;
}

// A line of the initialisation answered "SIM busy" is sent again later,
// unless it carries the PIN: a PIN is never sent twice unasked.
bool TqvGsm::RepeatWhenSimBusy(int32_t lineIndex) {
  if (!SimBusy(fReply.sData) || IsPinLine(lineIndex) || !ReadyWaitLeft()) return false;
  WriteLog(TDL::dlDetail, u"SIM busy, the line goes again: " +
                              fSecretLog.Masked(qv::AnsiToString(qv::TrimView(LastLine()))));
  fRepeatLine = true;
  return true;
}

bool TqvGsm::HoldQueue(const TqvQueueEntry& next) {
  auto guard = Guard();
  if (!fQueueActive || fQueueState != stInit) return false;
  const bool repeat = std::exchange(fRepeatLine, false);
  // A module seen starting announces its message service: the message lines wait for it.
  const bool awaitReady = !repeat && fModuleStarted && !fSmsReady && IsMessageLine(LineOf(next.Object)) &&
                          ReadyWaitLeft();
  if (!repeat && !awaitReady) return false;
  if (awaitReady) WriteLog(TDL::dlDetail, u"Waiting for the message service");
  fQueueHeld = true;
  fHeldForRepeat = repeat;
  NoteProgress();  // a waiter for the turn sees the initialisation alive
  fReadyPollDue = Now() + std::chrono::milliseconds(kReadyPollMs);
  if (!ManualClock()) {
    fReadyTimer->SetInterval(kReadyPollMs);
    fReadyTimer->Restart();
  }
  return true;
}

// On the manual clock the ready poll is one of the processor's deadlines.
std::optional<TqvGsm::TClockPoint> TqvGsm::OwnDeadline() const {
  if (!ManualClock() || !fQueueHeld) return std::nullopt;
  return fReadyPollDue;
}

void TqvGsm::OwnDeadlineDue() {
  fReadyPollDue += std::chrono::milliseconds(kReadyPollMs);
  OnReadyTimer();
}

// On the timer's thread: a busy line goes again; the wait for the ready
// notification goes on until it comes or the time is up.
void TqvGsm::OnReadyTimer() {
  auto guard = Guard();
  if (!fQueueHeld) {
    fReadyTimer->SetEnabled(false);
    return;
  }
  if (fHeldForRepeat || fSmsReady || !ReadyWaitLeft()) {
    EndReadyWait();
    return;
  }
  NoteProgress();
}

void TqvGsm::EndReadyWait() {
  fQueueHeld = fHeldForRepeat = false;
  fReadyTimer->SetEnabled(false);
  ResumeQueue();
}

// A start-up or ready notification of the module (under the lock).
void TqvGsm::NoteModuleStatus(int32_t tag) {
  if (tag == qv::resp::kStartup) {
    WriteLog(TDL::dlDetail, u"Module started");
    fModuleStarted = true;
    fSmsReady = false;
    return;
  }
  WriteLog(TDL::dlDetail, u"Message service ready");
  fSmsReady = true;
  if (fQueueHeld) EndReadyWait();
}

// ---------------------------------------------------------------------------
// Hooks

bool TqvGsm::CommandSucceeded() {
  auto guard = Guard();
  if (fRepeatLine) return false;  // answered "SIM busy": no hook, the line goes again
  bool r = true;
  const bool queued = ATState() == TatInternalState::atQWaitReply && fQueueActive;
  const TATCommand* line = LineOf(fReply.idDriverCmd);
  if (queued && fQueueState == stInit && line) {
    InitLineSucceeded(*line, fReply.sDataUseful);
  } else if (queued && fQueueState == stPhoneBook && line) {
    r = BookLineAnswered(*line);
  } else if (queued && fQueueState == stDiagnostics && line && line->idCmd == gsmDiagnostics) {
    // Raised inside the delivery: its flBreak steers the queue.
    bool flBreak = true;
    const std::u16string at = std::u16string(qv::TrimView(std::u16string_view(line->fCommand)));
    const std::u16string reply = qv::AnsiToString(qv::TrimView(std::string_view(fReply.sData)));
    if (OnDiagnostic) OnDiagnostic(this, at, reply, flBreak);
    r = flBreak;
    WriteLog(TDL::dlDetail, u"Diagnostic:" + line->fCommand + u" Reply:" + qv::AnsiToString(fReply.sData));
  }
  if (r) r = TqvCustomATProcessor::CommandSucceeded();
  return r;
}

void TqvGsm::DoError() {
  auto guard = Guard();
  const bool queued = ATState() == TatInternalState::atQWaitReply && fQueueActive;
  if (queued && fQueueState == stInit && IsPinLine(fReply.idDriverCmd)) {
    WriteLog(TDL::dlSimple, u"Enter PIN/PUK is failed!");
    std::lock_guard lk(fInfoMutex);
    fPinRejected = true;
  }
  if (queued && fQueueState == stInit && RepeatWhenSimBusy(fReply.idDriverCmd)) {
    QueueNext();
    return;
  }
  // An empty slot of the phone book is no failure: the reading goes on.
  if (queued && fQueueState == stPhoneBook && fCommandIndex - 1 == fBookRecordEntry && IsEmptySlotReply()) {
    WriteLogFmt(TDL::dlDetail, u"Phone book record %d is empty: %s",
                {int64_t{fTmpRecNo}, qv::AnsiToString(qv::TrimView(fReply.sData))});
    fReply.sDataUseful.clear();
    QueueNext();
    return;
  }
  const bool goOn = queued && (fQueueState == stDiagnostics || (fQueueState == stInit && fIgnoreInitErrors));
  if (goOn) {
    QueueNext();
    return;
  }
  fBookResumeAllowed = true;
  TqvCustomATProcessor::DoError();  // a queue stops: QueueStopped follows
  fBookResumeAllowed = false;
  ResumeBookRestore();
}

// A time-out may end a phone book reading's line: the reading then restores
// the character set before it ends, as it does after an error.
void TqvGsm::AsyncTimerTick(TObject* Sender) {
  auto guard = Guard();
  fBookResumeAllowed = true;
  TqvCustomATProcessor::AsyncTimerTick(Sender);
  fBookResumeAllowed = false;
  ResumeBookRestore();
}

void TqvGsm::QueueFinished() {
  auto guard = Guard();
  TqvCustomATProcessor::QueueFinished();
  // A queue that ran out because the device closed did not succeed, nor one
  // that went on past a failure to restore the modem's state.
  if (fQueueActive) EndQueue(IsDeviceOpen() && fQueueFailure.empty());
}

// An error reply, a time-out or a failed write ended the queue's line.
void TqvGsm::QueueStopped(qv::TLineOutcome why) {
  auto guard = Guard();
  if (!fQueueActive) return;
  if (why == qv::TLineOutcome::loTimedOut && fQueueState == stInit && IsPinLine(CurrentQueueLineIndex())) {
    WriteLog(TDL::dlSimple, u"Enter PIN/PUK is failed!");
    std::lock_guard lk(fInfoMutex);
    fPinRejected = true;
  }
  if (why != qv::TLineOutcome::loClosed && fQueueFailure.empty()) fQueueFailure = LineFailure();
  // A phone book reading that got past selecting the character set goes on
  // with the lines that restore it; the caller of this path resumes it.
  const int32_t failed = fCommandIndex - 1;
  if (fQueueState == stPhoneBook && fBookResumeAllowed &&
      (why == qv::TLineOutcome::loError || why == qv::TLineOutcome::loTimedOut) && fBookCharsetEntry >= 0 &&
      failed >= fBookCharsetEntry && fBookRestoreEntry > failed) {
    fBookResume = fBookRestoreEntry;
    return;
  }
  EndQueue(false);
}

bool TqvGsm::DoDataSend(const char* Data, uint32_t Len) {
  MarkSecretLine(std::string_view(Data, Len));
  return TqvCustomATProcessor::DoDataSend(Data, Len);
}

// During detection only the detection reply with the line's own order
// number counts as an answer; notifications and rings are no answer at all.
bool TqvGsm::IsErrorReply(const TATReply& reply) {
  auto guard = Guard();
  if (!fDetecting) return TqvCustomATProcessor::IsErrorReply(reply) || IsCallResult(reply);
  if (reply.idResponse < 0 || reply.idResponse >= static_cast<int32_t>(Driver()->slResponses.size())) return true;
  const TCommEventNew* r = Driver()->GetResponse(reply.idResponse);
  if (qv::resp::IsNotificationHead(r->Tag) || qv::resp::IsModuleStatus(r->Tag) || r->Tag == qv::resp::kRing)
    return false;
  if (r->Tag != fExpectedReplyID) return true;
  const TATCommand* line = LineOf(reply.idDriverCmd);
  return line && line->idOrder != r->iOrder;
}

// ---------------------------------------------------------------------------
// Queues

bool TqvGsm::BeginQueue(TSyncCall& call, int state) {
  if (!call) return false;
  auto guard = Guard();
  PushState(state);
  fQueueState = state;
  fQueueActive = true;
  fQueueFailure.clear();
  fBookResume = -1;
  fQueueEndEvent.Reset();
  ClearQueue();
  call.HandToQueue();
  return true;
}

void TqvGsm::RunQueue() {
  auto guard = Guard();
  if (fQueueActive) StartQueue();
}

void TqvGsm::EndQueue(bool ok) {
  auto guard = Guard();
  if (!fQueueActive) return;
  const int s = fQueueState;
  fQueueActive = false;
  fQueueState = 0;
  fQueueHeld = fHeldForRepeat = fRepeatLine = false;
  if (fReadyTimer) fReadyTimer->SetEnabled(false);
  RemoveState(s);
  const TSendPtr send = std::exchange(fRunningSend, nullptr);
  bool sendLeft = false;
  if (send) {
    std::lock_guard lk(fSmsMutex);
    sendLeft = std::any_of(slSmsFifo.begin(), slSmsFifo.end(), [&](const TAwaiting& a) { return a.Send == send; });
  }
  const bool listWaiting = std::exchange(fListWaiting, false);
  const std::u16string failure = std::exchange(fQueueFailure, {});
  // A send whose last part was confirmed before its queue failed (the final
  // OK lost, the device gone) was sent: the failure is no send failure.
  const bool sent = send && Sent(send);
  // The reason is in place before the turn, the queue's end or the send wakes
  // a waiter, which reads it at once.
  if (!ok && !failure.empty() && !sent) {
    // Told apart from an empty store or a quiet modem.
    if (s == stInit)
      RaiseError(u"Initialization failed: " + failure);
    else if (s == stListing)
      RaiseError(u"Listing failed: " + failure);
    else if (s == stPhoneBook)
      RaiseError(u"Phone book reading failed: " + failure);
    else
      SetLastError((s == stSending ? u"Sending failed: " : u"") + failure);
  }
  ReleaseTurn();
  fQueueEndEvent.Set();
  if (send && (!ok || sendLeft)) FailSend(send);
  if (s == stInit && ok) RaiseNotify(&TqvGsm::OnAfterInit);
  if (s == stPhoneBook) RaiseNotify(&TqvGsm::OnPhoneListFinish);  // after the error, if it failed
  if (s == stDiagnostics)
    Raise([this] {
      bool flBreak = false;  // ignored at the end
      if (OnDiagnostic) OnDiagnostic(this, u"", u"", flBreak);
    });
  if (s == stListing && !listWaiting)
    Raise([this] {
      if (OnSmsListItem) OnSmsListItem(this, u"", 0, nullptr);
    });
}

// ---------------------------------------------------------------------------
// Diagnostics, PIN and direct commands

void TqvGsm::RunDiagnostic() {
  TSyncCall call(*this, u"RunDiagnostic");
  if (!BeginQueue(call, stDiagnostics)) return;
  EnqueueCommand(gsmDiagnostics);
  RunQueue();
}

std::u16string TqvGsm::PINGetStatus() {
  fPINStatus = TGsmPinStatus::pinUnknown;
  TSyncCall call(*this, u"PINGetStatus");
  if (call && call.Run(gsmGetPINStatus)) {
    auto guard = Guard();
    if (!TqvCustomATProcessor::IsErrorReply(ReplyLast())) fPINStatus = DetectPinStatus(ReplyLast());
  }
  return PinStatusName(fPINStatus);
}

bool TqvGsm::PINApply() {
  const std::u16string pin = PIN();
  if (pin.empty()) return false;
  if (const auto why = CheckValue(TValueKind::vkPin, pin); !why.empty()) {
    GsmErrorNotify(why);
    return false;
  }
  TSyncCall call(*this, u"PINApply");
  if (!call) return false;
  if (!call.Run(gsmSetPIN)) {
    std::lock_guard lk(fInfoMutex);
    fPinRejected = true;
    return false;
  }
  {
    auto guard = Guard();
    NotePinReply(ReplyLast());
  }
  // The SIM gets half a second before the next line; the caller goes on now.
  HoldNextLine(kPinSettleMs);
  return true;
}

bool TqvGsm::RunCommand(int32_t id) {
  TSyncCall call(*this, u"RunCommand");
  return call && call.Run(id);
}

bool TqvGsm::SendAndWait(const std::string& text) {
  TSyncCall call(*this, u"SendAndWait");
  return call && TqvCustomATProcessor::SendAndWait(text);
}

std::u16string TqvGsm::CmdSendAndWaitResult(const std::string& sAT) {
  TSyncCall call(*this, u"CmdSendAndWaitResult");
  if (!call) return {};
  return TqvCustomATProcessor::CmdSendAndWaitResult(sAT);
}
