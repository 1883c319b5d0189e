// TqvGsm: opening and closing, initialisation, queues and their ends, the
// success and error hooks, diagnostics and direct commands.
#include <algorithm>

#include "qvgsm.h"
#include "qvgsm_internal.h"
#include "qvtext.h"

namespace pf = qv::platform;
using TDL = TDetailLevel;
using namespace qv::gsm;

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
  {
    std::lock_guard lk(fSmsMutex);
    slSmsFifo.clear();
  }
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
    if (fQueueActive) EndQueue(false);
    ClearQueue();
  }
  SetState(stIdle);
  bool pending;
  {
    std::lock_guard lk(fSmsMutex);
    pending = !slSmsFifo.empty();
    slSmsFifo.clear();
  }
  if (pending) {
    SetLastSent(3, {});
    hSmsSentEvent.Set();
  }
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
  TTurnGuard turn(*this, u"initialisation");
  if (!turn) return;
  if (fAutodetect)
    DetectDriver();
  else
    WriteLog(TDL::dlDetail, u"=== Use selected driver: " + Driver()->Caption());
  fGsmAT = TgsmATType::gtNokia;
  LoadMemoryTypes();
  {
    auto guard = Guard();
    PushState(stInit);
    fQueueState = stInit;
    fQueueActive = true;
    fQueueEndEvent.Reset();
    ClearQueue();
    EnqueueInitCommands();
    turn.HandToQueue();
  }
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
    default: break;
  }
}

// ---------------------------------------------------------------------------
// Hooks

bool TqvGsm::CommandSucceeded() {
  auto guard = Guard();
  bool r = true;
  const bool queued = ATState() == TatInternalState::atQWaitReply && fQueueActive;
  const TATCommand* line = LineOf(fReply.idDriverCmd);
  if (queued && fQueueState == stInit && line) {
    InitLineSucceeded(*line, fReply.sDataUseful);
  } else if (queued && fQueueState == stDiagnostics && line && line->idCmd == gsmDiagnostics) {
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
  const bool goOn = queued && ((fQueueState == stPhoneBook && (fCommandIndex == 6 || fCommandIndex == 7)) ||
                               fQueueState == stDiagnostics || (fQueueState == stInit && fIgnoreInitErrors));
  if (goOn) {
    QueueNext();
    return;
  }
  TqvCustomATProcessor::DoError();
  if (queued) EndQueue(false);
}

void TqvGsm::QueueNext() {
  auto guard = Guard();
  TqvCustomATProcessor::QueueNext();
}

void TqvGsm::QueueStopped(qv::TLineOutcome /*why*/) {
  auto guard = Guard();
  if (fQueueActive) EndQueue(false);
}

void TqvGsm::QueueFinished() {
  auto guard = Guard();
  TqvCustomATProcessor::QueueFinished();
  if (fQueueActive) EndQueue(true);
}

void TqvGsm::AsyncTimerTick(TObject* Sender) {
  auto guard = Guard();
  const bool queued = ATState() == TatInternalState::atQWaitReply && fQueueActive;
  const TATCommand* line = queued ? CurrentQueueLine() : nullptr;
  const int32_t lineIndex = queued && fCommandIndex >= 1 && fCommandIndex <= static_cast<int32_t>(slCommands.size())
                                ? slCommands[static_cast<size_t>(fCommandIndex - 1)].Object
                                : -1;
  TqvCustomATProcessor::AsyncTimerTick(Sender);
  if (!queued || ATState() != TatInternalState::atIdle || !fQueueActive) return;
  if (fQueueState == stInit && line && IsPinLine(lineIndex)) {
    WriteLog(TDL::dlSimple, u"Enter PIN/PUK is failed!");
    std::lock_guard lk(fInfoMutex);
    fPinRejected = true;
  }
  EndQueue(false, true);
}

bool TqvGsm::DoDataSend(const char* Data, uint32_t Len) {
  MarkSecretLine(std::string_view(Data, Len));
  return TqvCustomATProcessor::DoDataSend(Data, Len);
}

// During detection only the detection reply with the line's own order
// number counts as an answer; notifications and rings are no answer at all.
bool TqvGsm::IsErrorReply(const TATReply& reply) {
  auto guard = Guard();
  if (!fDetecting) return TqvCustomATProcessor::IsErrorReply(reply);
  if (reply.idResponse < 0 || reply.idResponse >= static_cast<int32_t>(Driver()->slResponses.size())) return true;
  const TCommEventNew* r = Driver()->GetResponse(reply.idResponse);
  if (qv::resp::IsNotificationHead(r->Tag) || r->Tag == qv::resp::kRing) return false;
  if (r->Tag != fExpectedReplyID) return true;
  const TATCommand* line = LineOf(reply.idDriverCmd);
  return line && line->idOrder != r->iOrder;
}

// ---------------------------------------------------------------------------
// Queues

bool TqvGsm::BeginQueue(int state) {
  TTurnGuard turn(*this, u"queue");
  if (!turn) return false;
  auto guard = Guard();
  PushState(state);
  fQueueState = state;
  fQueueActive = true;
  fQueueEndEvent.Reset();
  ClearQueue();
  turn.HandToQueue();
  return true;
}

void TqvGsm::RunQueue() {
  auto guard = Guard();
  if (!fQueueActive) return;
  StartQueue();
}

void TqvGsm::EndQueue(bool ok, bool fromTimer) {
  auto guard = Guard();
  if (!fQueueActive) return;
  const int s = fQueueState;
  fQueueActive = false;
  fQueueState = 0;
  RemoveState(s);
  uint64_t failedSend = 0;
  if (s == stSending) {
    std::lock_guard lk(fSmsMutex);
    const uint64_t id = fRunningSend;
    fRunningSend = 0;
    const bool left = std::any_of(slSmsFifo.begin(), slSmsFifo.end(), [&](const TAwaiting& a) { return a.SendId == id; });
    if (!ok || left) failedSend = id;
  }
  const bool listWaiting = fListWaiting;
  fListWaiting = false;
  ReleaseTurn();
  fQueueEndEvent.Set();
  if (failedSend) FailSend(failedSend);
  auto raise = [this, s, ok, listWaiting] {
    if (s == stInit && ok && OnAfterInit) OnAfterInit(this);
    if (s == stPhoneBook && ok && OnPhoneListFinish) OnPhoneListFinish(this);
    if (s == stDiagnostics && OnDiagnostic) {
      bool flBreak = false;
      OnDiagnostic(this, u"", u"", flBreak);
    }
    if (s == stListing && !listWaiting && OnSmsListItem) OnSmsListItem(this, u"", 0, nullptr);
  };
  // A time-out ends the queue on the timer's thread: the end events are
  // raised on the main thread like every other event of a queue.
  if (fromTimer && !pf::IsMainThread())
    pf::PostToMainThread(fDispatch, raise);
  else
    raise();
}

// ---------------------------------------------------------------------------
// Diagnostics, PIN and direct commands

void TqvGsm::RunDiagnostic() {
  if (!BeginQueue(stDiagnostics)) return;
  EnqueueCommand(gsmDiagnostics);
  RunQueue();
}

std::u16string TqvGsm::PINGetStatus() {
  fPINStatus = TGsmPinStatus::pinUnknown;
  TTurnGuard turn(*this);
  if (turn && TqvCustomATProcessor::RunCommand(gsmGetPINStatus)) {
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
  TTurnGuard turn(*this);
  if (!turn) return false;
  bool ok = TqvCustomATProcessor::RunCommand(gsmSetPIN);
  if (ok) {
    auto guard = Guard();
    ok = !TqvCustomATProcessor::IsErrorReply(ReplyLast());
  }
  if (!ok) {
    std::lock_guard lk(fInfoMutex);
    fPinRejected = true;
    return false;
  }
  pf::Sleep(500);
  return true;
}

bool TqvGsm::RunCommand(int32_t id) {
  TTurnGuard turn(*this);
  if (!turn) return false;
  TDepthScope wait(tWaitDepth);
  return TqvCustomATProcessor::RunCommand(id);
}

std::u16string TqvGsm::CmdSendAndWaitResult(const std::string& sAT) {
  TTurnGuard turn(*this);
  if (!turn) return {};
  TDepthScope wait(tWaitDepth);
  return TqvCustomATProcessor::CmdSendAndWaitResult(sAT);
}
