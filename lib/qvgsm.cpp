// TqvGsm core: construction, properties, the state stack, the turn, command
// ids and placeholder expansion, value checks, and the reply parsers.
#include "qvgsm.h"

#include <algorithm>
#include <array>
#include <utility>

#include "qvgsm_internal.h"
#include "qvmodeldrivers.h"
#include "qvresource.h"
#include "qvtext.h"

namespace pf = qv::platform;
using TDL = TDetailLevel;

namespace qv::gsm {

namespace {

struct TNamedId {
  std::u16string_view Name;
  int32_t Id;
};

constexpr std::array<TNamedId, 56> kCommandIds = {{
    {u"gsmInit", gsmInit},
    {u"gsmDetect", gsmDetect},
    {u"gsmGetModel", gsmGetModel},
    {u"gsmGetIMEI", gsmGetIMEI},
    {u"gsmGetVersion", gsmGetVersion},
    {u"gsmGetManufacturer", gsmGetManufacturer},
    {u"gsmSetTextMode", gsmSetTextMode},
    {u"gsmSetPDUMode", gsmSetPDUMode},
    {u"gsmGetBatteryStatus", gsmGetBatteryStatus},
    {u"gsmGetSignalStatus", gsmGetSignalStatus},
    {u"gsmSMSNotifyEnable", gsmSMSNotifyEnable},
    {u"gsmRingNotifyEnable", gsmRingNotifyEnable},
    {u"gsmSetSMSMem", gsmSetSMSMem},
    {u"gsmGetSMSMem", gsmGetSMSMem},
    {u"gsmDiagnostics", gsmDiagnostics},
    {u"gsmSMSNotifyDirect", gsmSMSNotifyDirect},
    {u"gsmGetPINStatus", gsmGetPINStatus},
    {u"gsmSetPIN", gsmSetPIN},
    {u"gsmGetIMSI", gsmGetIMSI},
    {u"gsmSMSDirectConfirm", gsmSMSDirectConfirm},
    {u"gsmGetNetworkReg", gsmGetNetworkReg},
    {u"gsmGetNetworkRegEps", gsmGetNetworkRegEps},
    {u"gsmGetNetworkRegBasic", gsmGetNetworkRegBasic},
    {u"gsmGetIndicators", gsmGetIndicators},
    {u"gsmIndicatorsEnable", gsmIndicatorsEnable},
    {u"gsmGetOperator", gsmGetOperator},
    {u"gsmGetOperatorName", gsmGetOperatorName},
    {u"gsmUnblockPIN", gsmUnblockPIN},
    {u"gsmChangePIN", gsmChangePIN},
    {u"gsmGetServiceCentre", gsmGetServiceCentre},
    {u"gsmSetServiceCentre", gsmSetServiceCentre},
    {u"gsmSMSDeleteAll", gsmSMSDeleteAll},
    {u"gsmSMSDelete", gsmSMSDelete},
    {u"gsmSendSMSPdu", gsmSendSMSPdu},
    {u"gsmSMSReadPDU", gsmSMSReadPDU},
    {u"gsmSMSList", gsmSMSList},
    {u"gsmPhoneBookDel", gsmPhoneBookDel},
    {u"gsmPhoneBookWrite", gsmPhoneBookWrite},
    {u"gsmPhoneBookRead", gsmPhoneBookRead},
    {u"gsmSetPhoneBookMem", gsmSetPhoneBookMem},
    {u"gsmGetPhoneBookMem", gsmGetPhoneBookMem},
    {u"gsmGetPhoneBookMemRange", gsmGetPhoneBookMemRange},
    {u"gsmSMSMemWrite", gsmSMSMemWrite},
    {u"gsmSMSMemRead", gsmSMSMemRead},
    {u"gsmSMSMemSpec", gsmSMSMemSpec},
    {u"gsmPhoneBookMem", gsmPhoneBookMem},
    {qv::setting::kLinePause, gsmLinePause},  // read by the processor itself
    {u"gsmSMSReadyWait", gsmSMSReadyWait},
    {u"gsmCallVoice", gsmCallVoice},
    {u"gsmCallData", gsmCallData},
    {u"gsmCallFax", gsmCallFax},
    {u"gsmCallAnswer", gsmCallAnswer},
    {u"gsmCallHungup", gsmCallHungup},
    {u"gsmCallList", gsmCallList},
    {u"gsmCallTone", gsmCallTone},
    {u"gsmRequestUSSD", gsmRequestUSSD},
}};

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }
bool IsLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

bool BreaksTheLine(char16_t c) { return c == u'\r' || c == u'\n' || c == 0x1A || c == 0x1B; }

bool IsDialCharacter(char16_t c) {
  return IsDigit(c) || c == u'*' || c == u'#' || (c >= u'A' && c <= u'D') || c == u'p' || c == u'w' || c == u',';
}

bool IsUssdCharacter(char16_t c) {
  if (c < 0x20 || c == 0x7F || c == u'"' || c == u';' || c == u'\\') return false;
  return qv::SeptetCount(std::u16string_view(&c, 1)) > 0;
}

// A character as a message shows it: printable ones as they are, others by code.
std::u16string Shown(char16_t c) {
  if (c < 0x20 || c == 0x7F) return qv::Format(u"U+%.4X", {uint64_t{c}});
  return u"'" + std::u16string(1, c) + u"'";
}

}  // namespace

int32_t CommandIdOfName(std::u16string_view name) {
  for (const auto& e : kCommandIds)
    if (qv::SameTextNoCase(e.Name, name)) return e.Id;
  return 0;
}

std::u16string CheckValue(TValueKind kind, std::u16string_view v) {
  auto refuse = [](const char16_t* what, char16_t c) {
    return std::u16string(what) + u" holds a character that is not allowed: " + Shown(c);
  };
  switch (kind) {
    case TValueKind::vkPhone:
    case TValueKind::vkAlphaPhone: {
      if (v.empty()) return u"the phone number is empty";
      const bool alpha = kind == TValueKind::vkAlphaPhone;
      for (char16_t c : v)
        if (!IsDigit(c) && c != u'+' && c != u'*' && c != u'#' && !(alpha && (IsLetter(c) || c == u' ')))
          return refuse(u"the phone number", c);
      return {};
    }
    case TValueKind::vkPin:
      if (v.empty()) return u"the PIN is empty";
      for (char16_t c : v)
        if (!IsDigit(c)) return u"the PIN holds a character other than a digit";
      return {};
    case TValueKind::vkDial:
      if (v.empty()) return u"the dial string is empty";
      for (size_t i = 0; i < v.size(); ++i)
        if (!IsDialCharacter(v[i]) && !(i == 0 && v[i] == u'+')) return refuse(u"the dial string", v[i]);
      return {};
    case TValueKind::vkUssd:
      for (char16_t c : v)
        if (!IsUssdCharacter(c)) return refuse(u"the request", c);
      return {};
    case TValueKind::vkBookNumber:
      for (char16_t c : v)
        if (BreaksTheLine(c) || c == u'"') return refuse(u"the number", c);
      return {};
    case TValueKind::vkCaption:
    case TValueKind::vkName:
      for (char16_t c : v)
        if (BreaksTheLine(c) || (kind == TValueKind::vkName && c == u'"')) return refuse(u"the name", c);
      return {};
  }
  return {};
}

std::string StripReplyPrefix(std::string_view text) {
  std::string_view t = qv::TrimView(text);
  const size_t colon = t.find(':');
  if (!t.empty() && t.front() == '+' && colon != std::string_view::npos) return std::string(t.substr(colon + 1));
  return std::string(t);
}

thread_local TMarks tWaits;
thread_local TMarks tDeliveries;

}  // namespace qv::gsm

using namespace qv::gsm;

namespace {

// A holder whose lines went unanswered this long after its time-out has
// wedged: a waiter gives up on the turn.
constexpr uint32_t kTurnSlackMs = 50;
constexpr uint32_t kTurnPumpMs = 20;
constexpr char16_t kFormatError[] = u"Log format ERROR!!!";

}  // namespace

// ---------------------------------------------------------------------------
// Construction

TqvGsm::TqvGsm(TqvComponent* AOwner) : TqvCustomATProcessor(AOwner) {
  sLogPrefix = u"qvGsm: ";
  fIdMultiPartPDU = pf::GetTickCount();
  fMemoryWrite = fMemoryRead = u"SM";
  for (const auto& d : qv::kModelDrivers) {
    const auto script = qv::FindEmbeddedResource(d.Script);
    AddDriverFromString(std::u16string(d.Caption), script ? qv::AnsiToString(*script) : std::u16string());
  }
  if (DriverCount() > 0) SetDriverIndex(0);
  fAutodetect = true;
  fReadyTimer = std::make_unique<TqvTimer>(false);
  fReadyTimer->SetOnTimer([this](TObject*) { OnReadyTimer(); });
}

TqvGsm::~TqvGsm() {
  fReadyTimer.reset();  // joined: no tick reaches a half-destroyed component
  FreeAsyncTimer();
  fLaneGroup.Cancel();
  fCancelled = true;
  {
    std::lock_guard lk(fTurnMutex);
    fTurnCv.notify_all();
  }
  {
    std::lock_guard lk(fSmsOrderMutex);
    fSmsOrderCv.notify_all();
  }
  ReapWorkers(true);
  std::lock_guard lk(fLaneMutex);
  fLane.clear();
}

// ---------------------------------------------------------------------------
// Properties

#define QV_LOCKED_TEXT(Name, field)                                   \
  std::u16string TqvGsm::Name() const {                               \
    std::lock_guard lk(fInfoMutex);                                   \
    return field;                                                     \
  }
QV_LOCKED_TEXT(DeviceManufacturer, fDeviceManufacturer)
QV_LOCKED_TEXT(DeviceName, fDeviceName)
QV_LOCKED_TEXT(DeviceVersion, fDeviceVersion)
QV_LOCKED_TEXT(DeviceIMEI, fDeviceIMEI)
QV_LOCKED_TEXT(DeviceIMSI, fDeviceIMSI)
QV_LOCKED_TEXT(MemoryRead, fMemoryRead)
QV_LOCKED_TEXT(MemoryWrite, fMemoryWrite)
QV_LOCKED_TEXT(MemorySpecial, fMemorySpecial)
QV_LOCKED_TEXT(PIN, fPIN)
QV_LOCKED_TEXT(LastError, fLastError)
#undef QV_LOCKED_TEXT

void TqvGsm::SetMemoryRead(std::u16string v) {
  std::lock_guard lk(fInfoMutex);
  fMemoryRead = std::move(v);
}
void TqvGsm::SetMemoryWrite(std::u16string v) {
  std::lock_guard lk(fInfoMutex);
  fMemoryWrite = std::move(v);
}
void TqvGsm::SetMemorySpecial(std::u16string v) {
  std::lock_guard lk(fInfoMutex);
  fMemorySpecial = std::move(v);
}
std::vector<std::u16string> TqvGsm::MemTypesRead() const {
  std::lock_guard lk(fInfoMutex);
  return fMemTypesRead;
}
std::vector<std::u16string> TqvGsm::MemTypesWrite() const {
  std::lock_guard lk(fInfoMutex);
  return fMemTypesWrite;
}
std::vector<std::u16string> TqvGsm::MemTypesSpecial() const {
  std::lock_guard lk(fInfoMutex);
  return fMemTypesSpecial;
}

// The desktop program writes the PIN on every open: writing the same value
// again must not clear its rejection, or each open would spend an attempt.
void TqvGsm::SetPIN(std::u16string v) {
  std::lock_guard lk(fInfoMutex);
  if (v != fPIN) fPinRejected = false;
  fPIN = std::move(v);
}

void TqvGsm::SetLastError(std::u16string text) {
  std::lock_guard lk(fInfoMutex);
  fLastError = std::move(text);
}

void TqvGsm::SetNewSmsMode(TgsmNewSmsMode v) {
  if (v == fNewSmsMode) return;
  fNewSmsMode = v;
  if (!IsDeviceOpen()) return;
  TSyncCall call(*this, u"NewSmsMode");
  if (call) call.Run(v == TgsmNewSmsMode::nsmSkipSave ? gsmSMSNotifyDirect : gsmSMSNotifyEnable);
}

std::u16string TqvGsm::PhoneBookMemName() const {
  std::lock_guard lk(fInfoMutex);
  for (const auto& [name, type] : slPhoneBookType)
    if (type == static_cast<int>(fPhoneListType)) return name;
  return u"??";
}

// ---------------------------------------------------------------------------
// State stack

void TqvGsm::PushState(int s) {
  {
    std::lock_guard lk(fStateMutex);
    lStateStack.push_back(s);
  }
  RaiseNotify(&TqvGsm::OnGsmChangeState);
}

int TqvGsm::PopState() {
  int s = 0;
  {
    std::lock_guard lk(fStateMutex);
    if (!lStateStack.empty()) {
      s = lStateStack.back();
      lStateStack.pop_back();
    }
  }
  RaiseNotify(&TqvGsm::OnGsmChangeState);
  return s;
}

void TqvGsm::SetState(int s) {
  {
    std::lock_guard lk(fStateMutex);
    lStateStack.clear();
    if (s != stIdle) lStateStack.push_back(s);
  }
  RaiseNotify(&TqvGsm::OnGsmChangeState);
}

// Removes the topmost entry `s`: an activity ends its own state, whatever a
// notification has put above it meanwhile.
void TqvGsm::RemoveState(int s) {
  bool changed = false;
  {
    std::lock_guard lk(fStateMutex);
    auto it = std::find(lStateStack.rbegin(), lStateStack.rend(), s);
    if (it != lStateStack.rend()) {
      lStateStack.erase(std::next(it).base());
      changed = true;
    }
  }
  if (changed) RaiseNotify(&TqvGsm::OnGsmChangeState);
}

int TqvGsm::CurrentState() const {
  std::lock_guard lk(fStateMutex);
  return lStateStack.empty() ? stIdle : lStateStack.back();
}

std::vector<int> TqvGsm::StateStack() const {
  std::lock_guard lk(fStateMutex);
  return lStateStack;
}

// ---------------------------------------------------------------------------
// The turn

TqvGsm::TSyncCall::TSyncCall(TqvGsm& g, const char16_t* what) : gsm_(g), what_(what) {
  gsm_.SetLastError({});
  std::u16string why = gsm_.NestedRefusal();
  if (why.empty()) {
    wait_.emplace(&gsm_, gsm_.fLaneGroup);
    why = gsm_.AcquireTurn();
  }
  held_ = why.empty();
  if (held_) return;
  failure_ = why;
  const std::u16string text = std::u16string(what_) + u" refused: " + why;
  gsm_.WriteLog(TDL::dlDetail, text);
  gsm_.SetLastError(text);
}

TqvGsm::TSyncCall::~TSyncCall() {
  if (held_) gsm_.ReleaseTurn();
  wait_.reset();
  if (drain_) gsm_.DrainLane();
}

bool TqvGsm::TSyncCall::Run(int32_t id) {
  uint64_t seq;
  {
    auto guard = gsm_.Guard();
    seq = gsm_.LineSeq();
  }
  if (gsm_.TqvCustomATProcessor::RunCommand(id)) return true;
  {
    auto guard = gsm_.Guard();
    if (gsm_.LineSeq() != seq)
      failure_ = gsm_.LineFailure();
    else
      failure_ = gsm_.IsDeviceOpen() ? u"the driver has no line for it" : u"the device is not open";
  }
  gsm_.SetLastError(std::u16string(what_) + u": " + failure_);
  return false;
}

void TqvGsm::TSyncCall::HandToQueue() {
  gsm_.TurnToQueue();
  held_ = false;
  queued_ = true;
  drain_ = false;
}

bool TqvGsm::HoldsTurn() const {
  std::lock_guard lk(fTurnMutex);
  return fTurn == TTurn::ttThread && fTurnThread == std::this_thread::get_id();
}

// Waiting here would block the very exchange the request would wait for.
std::u16string TqvGsm::NestedRefusal() const {
  if (Marked(tDeliveries, this))
    return pf::IsMainThread() ? u"busy: called while a reply is being processed" : u"called from the receive thread";
  if (Marked(tWaits, this) || HoldsTurn()) return u"busy: called inside another exchange";
  return {};
}

std::u16string TqvGsm::AcquireTurn() {
  const bool main = pf::IsMainThread();
  std::unique_lock lk(fTurnMutex);
  for (;;) {
    if (fCancelled) return u"the component is going away";
    if (fTurn == TTurn::ttNone) {
      fTurn = TTurn::ttThread;
      fTurnThread = std::this_thread::get_id();
      lk.unlock();
      NoteProgress();  // the new holder's time starts now
      return {};
    }
    lk.unlock();
    if (!IsDeviceOpen()) return u"the device closed while another exchange ran";
    const uint32_t idle = pf::TicksSince(LastProgressTick());
    if (idle > TimeOut() + kTurnSlackMs)
      return u"the exchange in progress had no line answered for " + qv::IntToStr(idle) + u" ms";
    if (main) pf::PumpFor(kTurnPumpMs);
    lk.lock();
    if (!main) fTurnCv.wait_for(lk, std::chrono::milliseconds(kTurnPumpMs));
  }
}

void TqvGsm::ReleaseTurn() {
  {
    std::lock_guard lk(fTurnMutex);
    fTurn = TTurn::ttNone;
    fTurnThread = {};
  }
  fTurnCv.notify_all();
  pf::WakeMainThread();
}

void TqvGsm::TurnToQueue() {
  std::lock_guard lk(fTurnMutex);
  fTurn = TTurn::ttQueue;
  fTurnThread = {};
}

// ---------------------------------------------------------------------------
// The event lane

void TqvGsm::Raise(std::function<void()> event) {
  bool post = false;
  {
    std::lock_guard lk(fLaneMutex);
    fLane.push_back(std::move(event));
    // The receive thread runs what its own delivery raised, right after it.
    const bool receiveThread = Marked(tDeliveries, this) && !pf::IsMainThread();
    if (!receiveThread && !fDrainPosted) post = fDrainPosted = true;
  }
  if (!post) return;
  const bool queued = pf::PostToMainThread(fLaneGroup, [this] {
    {
      std::lock_guard lk(fLaneMutex);
      fDrainPosted = false;
    }
    DrainLane();
  });
  if (!queued) {  // the component is going away
    std::lock_guard lk(fLaneMutex);
    fDrainPosted = false;
  }
}

void TqvGsm::RaiseNotify(TNotifyEvent TqvGsm::*event) {
  Raise([this, event] {
    if (this->*event) (this->*event)(this);
  });
}

void TqvGsm::RaiseText(TqvGsmNotifyEvent TqvGsm::*event, std::u16string text) {
  Raise([this, event, text = std::move(text)] {
    if (this->*event) (this->*event)(this, text);
  });
}

// A failure of an operation: logged, kept in LastError, raised as OnGsmError.
void TqvGsm::RaiseError(const std::u16string& text) {
  WriteLog(TDL::dlDetail, text);
  SetLastError(text);
  RaiseText(&TqvGsm::OnGsmError, text);
}

void TqvGsm::DrainLane() {
  // The main thread runs the lane outside byte processing; another thread
  // only right after its own delivery (the port's thread without
  // UseMainThread). Never inside a wait of this component.
  if (Marked(tWaits, this) || pf::IsMainThread() == Marked(tDeliveries, this)) return;
  {
    // One runner at a time. A handler's own operation leaves the events that
    // follow to run after that handler, in their order.
    std::lock_guard lk(fLaneMutex);
    if (fDrainer != std::thread::id()) return;
    fDrainer = std::this_thread::get_id();
  }
  for (;;) {
    std::function<void()> event;
    {
      std::lock_guard lk(fLaneMutex);
      if (fLane.empty()) {
        fDrainer = {};
        return;
      }
      event = std::move(fLane.front());
      fLane.pop_front();
    }
    try {
      event();
    } catch (const std::exception& e) {
      WriteLog(TDL::dlSimple, u"Event handler failed: " + qv::Utf8ToString(e.what()));
    } catch (...) {
      WriteLog(TDL::dlSimple, u"Event handler failed");
    }
  }
}

void TqvGsm::DoProcessing(const char* Data, uint32_t Len, TIgnoreTypes& R) {
  TMarkScope delivering(tDeliveries, this);
  TqvCustomATProcessor::DoProcessing(Data, Len, R);
  if (!pf::IsMainThread()) DrainLane();  // the receive thread, its locks released
}

// ---------------------------------------------------------------------------
// Failures

std::u16string TqvGsm::LineFailure() const {
  auto guard = Guard();
  return LineFailure(LastOutcome());
}

std::u16string TqvGsm::LineFailure(qv::TLineOutcome why) const {
  auto guard = Guard();
  std::u16string how;
  switch (why) {
    case qv::TLineOutcome::loTimedOut: how = u"timeout"; break;
    case qv::TLineOutcome::loSendFailed: how = u"write failed"; break;
    case qv::TLineOutcome::loClosed: how = u"device closed"; break;
    default: how = LastErrorResult().empty() ? u"error" : qv::AnsiToString(LastErrorResult());
  }
  return fSecretLog.Masked(qv::AnsiToString(qv::TrimView(LastLine()))) + u": " + how;
}

// ---------------------------------------------------------------------------
// Command ids and placeholders

int32_t TqvGsm::CommandIdOf(const TATCommand& entry) { return CommandIdOfName(entry.fName); }

void TqvGsm::DriversClearAll() {
  TqvCustomATProcessor::DriversClearAll();
  std::lock_guard lk(fInfoMutex);
  slPhoneBookType.clear();
}

// Tokens first; then one pass over the text that replaces each placeholder
// by its value, so that a value is never expanded again.
std::u16string TqvGsm::ExpandCommand(const std::u16string& text) {
  const std::u16string t = TqvCustomATProcessor::ExpandCommand(text);
  std::u16string memRead, memWrite, memSpec, pin, simCode, newPin, bookMem = PhoneBookMemName();
  {
    std::lock_guard lk(fInfoMutex);
    memRead = fTmpMemRead ? *fTmpMemRead : fMemoryRead;
    memWrite = fMemoryWrite;
    memSpec = fMemorySpecial;
    pin = fPIN;
    simCode = fTmpSimCode;
    newPin = fTmpNewPin;
  }
  const std::array<std::pair<std::u16string_view, std::u16string>, 23> values = {{
      {u"<SMSLen>", qv::IntToStr(fTmpSMSLength)},
      {u"<SMSPdu>", fTmpSMSPdu},
      {u"<SMSid>", qv::IntToStr(fTmpSMSId)},
      {u"<SMSrmem>", memRead},
      {u"<SMSwmem>", memWrite},
      {u"<SMSsmem>", memSpec},
      {u"<PhBkMem>", bookMem},
      {u"<PhBkRecNo>", qv::IntToStr(fTmpRecNo)},
      {u"<PhBkPhoneU>", qv::TextToUcs2Hex(fTmpRecPhone)},
      {u"<PhBkNameU>", qv::TextToUcs2Hex(fTmpRecName)},
      {u"<PhBkPhone>", fTmpRecPhone},
      {u"<PhBkName>", fTmpRecName},
      {u"<CallPhoneNumber>", fCallPhoneNumber},
      {u"<RequestUSSD7bit>", fRequestUSSD7Bit},
      {u"<RequestUSSD>", fRequestUSSD},
      {u"<PIN>", pin},
      {u"<PUK>", simCode},
      {u"<OldPIN>", simCode},
      {u"<NewPIN>", newPin},
      {u"<ServiceCentre>", fTmpServiceCentre},
      {u"<SMSDelFlag>", qv::IntToStr(fTmpDelFlag)},
      {u"<CallTone>", fTmpCallTone},
      {u"<SmsStatus>", qv::IntToStr(static_cast<int>(fGetSmsListStatus))},
  }};
  std::u16string r;
  r.reserve(t.size());
  for (size_t i = 0; i < t.size();) {
    bool done = false;
    if (t[i] == u'<') {
      for (const auto& [name, value] : values) {
        if (qv::SameTextNoCase(std::u16string_view(t).substr(i, name.size()), name)) {
          r += value;
          i += name.size();
          done = true;
          break;
        }
      }
    }
    if (!done) r += t[i++];
  }
  return r;
}

// ---------------------------------------------------------------------------
// Parsers

void TqvGsm::ParseMemoryState(std::string_view text, bool countsOnly) {
  const std::string t = StripReplyPrefix(text);
  int f = 1;
  auto field = [&]() { return qv::ExtractField(std::string_view(t), f++); };
  auto count = [&]() { return qv::StrToIntDef(field(), -1); };
  auto name = [&](std::u16string& into) {
    const std::string v = field();
    if (v.empty()) return;
    std::lock_guard lk(fInfoMutex);
    into = qv::AnsiToString(v);
  };
  if (!countsOnly) name(fMemoryRead);
  fMemReadUsed = count();
  fMemReadTotal = count();
  if (!countsOnly) name(fMemoryWrite);
  fMemWriteUsed = count();
  fMemWriteTotal = count();
  if (!countsOnly) name(fMemorySpecial);
  fMemSpecUsed = count();
  fMemSpecTotal = count();
}

void TqvGsm::ParseBattery(std::string_view text, const TATCommand* line) {
  if (!line || line->idCmd != gsmGetBatteryStatus) return;
  const std::string t = StripReplyPrefix(text);
  if (line->Data[0] != 0) fBatteryIsCharging = qv::ExtractField(std::string_view(t), line->Data[0]) == "1";
  if (line->Data[1] != 0) fBatteryLevel = qv::StrToIntDef(qv::ExtractField(std::string_view(t), line->Data[1]), 0);
}

void TqvGsm::ParseSignal(std::string_view text, const TATCommand* line) {
  if (!line || line->idCmd != gsmGetSignalStatus) return;
  const std::string t = StripReplyPrefix(text);
  int32_t q = fSignalQuality;
  if (line->Data[0] != 0) q = qv::StrToIntDef(qv::ExtractField(std::string_view(t), line->Data[0]), 0);
  const int32_t max = line->Data[1] != 0 ? line->Data[1] : 31;
  fSignalQualityMax = max;
  fSignalQuality = q > max ? 0 : q;
}

void TqvGsm::LoadMemoryTypes() {
  auto guard = Guard();
  std::vector<std::u16string> lists[3];
  const int32_t ids[3] = {gsmSMSMemWrite, gsmSMSMemRead, gsmSMSMemSpec};
  for (int k = 0; k < 3; ++k)
    for (int32_t n = 1;; ++n) {
      const int32_t i = Driver()->IndexOfSetting(ids[k], n);
      if (i < 0) break;
      lists[k].push_back(Driver()->GetSettings(i)->fCommand);
    }
  std::vector<std::pair<std::u16string, int>> book;
  for (int t = 0; t <= 6; ++t) {
    const int32_t i = Driver()->IndexOfSetting(gsmPhoneBookMem, t);
    if (i >= 0) book.emplace_back(Driver()->GetSettings(i)->fCommand, t);
  }
  std::lock_guard lk(fInfoMutex);
  fMemTypesWrite = std::move(lists[0]);
  fMemTypesRead = std::move(lists[1]);
  fMemTypesSpecial = std::move(lists[2]);
  slPhoneBookType = std::move(book);
}

std::u16string TqvGsm::PinStatusName(TGsmPinStatus s) {
  static constexpr std::array<std::u16string_view, 9> names = {
      u"Unknown", u"Error", u"Ready", u"SIM PIN", u"SIM PUK", u"SIM PIN2", u"SIM PUK2", u"PH-SIM PIN", u"PH-NET PIN"};
  return std::u16string(names[static_cast<size_t>(s)]);
}

TGsmPinStatus TqvGsm::DetectPinStatus(const TATReply& reply) {
  static constexpr std::array<std::pair<std::string_view, TGsmPinStatus>, 8> marks = {{
      {" ERROR:", TGsmPinStatus::pinError},
      {": READY\r", TGsmPinStatus::pinReady},
      {": SIM PIN\r", TGsmPinStatus::pinPIN},
      {": SIM PUK\r", TGsmPinStatus::pinPUK},
      {": SIM PIN2\r", TGsmPinStatus::pinPIN2},
      {": SIM PUK2\r", TGsmPinStatus::pinPUK2},
      {": PH-SIM PIN\r", TGsmPinStatus::pinPhSimPIN},
      {": PH-NET PIN\r", TGsmPinStatus::pinPhNetPIN},
  }};
  for (const auto& [mark, status] : marks)
    if (reply.sData.find(mark) != std::string::npos) return status;
  return TGsmPinStatus::pinUnknown;
}

const TATCommand* TqvGsm::LineOf(int32_t index) const {
  const TqvCustomATDriver* d = Driver();
  if (!d || index < 0 || index >= static_cast<int32_t>(d->slCommands.size())) return nullptr;
  return d->GetCommands(index);
}

// The driver line index of the queue entry sent last, or -1 (under the processor's lock).
int32_t TqvGsm::CurrentQueueLineIndex() const {
  if (fCommandIndex < 1 || fCommandIndex > static_cast<int32_t>(slCommands.size())) return -1;
  return slCommands[static_cast<size_t>(fCommandIndex - 1)].Object;
}

bool TqvGsm::IsPinLine(int32_t lineIndex) const {
  const TATCommand* line = LineOf(lineIndex);
  return line && line->idCmd == gsmSetPIN &&
         qv::ReplaceTextNoCase(line->fCommand, u"<PIN>", u"") != line->fCommand;
}

// ---------------------------------------------------------------------------
// Status readings

void TqvGsm::UpdateBatteryInfo() {
  TSyncCall call(*this, u"UpdateBatteryInfo");
  if (!call || !call.Run(gsmGetBatteryStatus)) return;
  auto guard = Guard();
  ParseBattery(ReplyLast().sDataUseful, LineOf(ReplyLast().idDriverCmd));
}

void TqvGsm::UpdateSignalInfo() {
  TSyncCall call(*this, u"UpdateSignalInfo");
  if (!call || !call.Run(gsmGetSignalStatus)) return;
  auto guard = Guard();
  ParseSignal(ReplyLast().sDataUseful, LineOf(ReplyLast().idDriverCmd));
}

// ---------------------------------------------------------------------------
// The masking log

void TqvSecretLog::MarkSecret(std::u16string clear, std::u16string masked) {
  std::lock_guard lk(fMutex);
  fClear = std::move(clear);
  fMasked = std::move(masked);
}

std::u16string TqvSecretLog::MaskedLocked(const std::u16string& s) const {
  if (fClear.empty()) return s;
  std::u16string r = s;
  for (size_t p = r.find(fClear); p != std::u16string::npos; p = r.find(fClear, p + fMasked.size()))
    r.replace(p, fClear.size(), fMasked);
  return r;
}

std::u16string TqvSecretLog::Masked(const std::u16string& s) const {
  std::lock_guard lk(fMutex);
  return MaskedLocked(s);
}

// Formatted and masked under one hold of the guard, so that no secret marked
// or cleared in between slips through; the line goes out after it.
std::u16string TqvSecretLog::FormatMasked(const std::u16string& Format, const std::vector<qv::TqvFmtArg>& Args) const {
  std::lock_guard lk(fMutex);
  try {
    return MaskedLocked(qv::Format(Format, Args));
  } catch (...) {
    return kFormatError;
  }
}

void TqvSecretLog::Save() {
  if (auto* t = Target()) t->Save();
}
void TqvSecretLog::Clear() {
  if (auto* t = Target()) t->Clear();
}
void TqvSecretLog::Add(const std::u16string& s) {
  if (auto* t = Target()) t->Add(Masked(s));
}
void TqvSecretLog::AddSysInfo() {
  if (auto* t = Target()) t->AddSysInfo();
}
void TqvSecretLog::AddLog(TDetailLevel l, const std::u16string& s) {
  if (auto* t = Target(); t && t->DetailLevel() >= l) t->AddLog(l, Masked(s));
}
void TqvSecretLog::AddFmt(const std::u16string& Format, const std::vector<qv::TqvFmtArg>& Args) {
  if (auto* t = Target()) t->Add(FormatMasked(Format, Args));
}
void TqvSecretLog::AddLogFmt(TDetailLevel l, const std::u16string& Format, const std::vector<qv::TqvFmtArg>& Args) {
  if (auto* t = Target(); t && t->DetailLevel() >= l) t->AddLog(l, FormatMasked(Format, Args));
}

void TqvGsm::SetLog(TqvCustomLogFile* Value) {
  if (auto* old = fSecretLog.Target(); old && old != Value) RemoveFreeNotification(old);
  fSecretLog.SetTarget(Value);
  if (Value) FreeNotification(Value);
  // The proxy is a member: no free notification is needed for it.
  fLog = Value ? &fSecretLog : nullptr;
}

void TqvGsm::Notification(TqvComponent* AComponent, TOperation Operation) {
  if (Operation == TOperation::opRemove && AComponent == fSecretLog.Target()) {
    fSecretLog.SetTarget(nullptr);
    fLog = nullptr;
  }
  TqvCustomATProcessor::Notification(AComponent, Operation);
}

// The line about to be sent carries a SIM code when it is a code line of the
// current driver: it (and its echo) shows in the log with the codes masked.
void TqvGsm::MarkSecretLine(std::string_view bytes) {
  const std::vector<std::u16string> codes = SecretCodes();
  const std::u16string text = qv::AnsiToString(qv::TrimView(bytes));
  const bool holdsCode =
      std::any_of(codes.begin(), codes.end(), [&](const auto& c) { return text.find(c) != std::u16string::npos; });
  if (holdsCode && IsSecretLine(text)) {
    std::u16string masked = text;
    std::vector<std::string> secrets;
    for (const std::u16string& code : codes) {
      for (size_t p = masked.find(code); p != std::u16string::npos; p = masked.find(code, p + code.size()))
        masked.replace(p, code.size(), std::u16string(code.size(), u'*'));
      secrets.push_back(qv::StringToAnsi(code));
    }
    fSecretLog.MarkSecret(text, masked);
    // The port's dumps of this write and of its echo hide the codes too.
    if (TqvBaseIO* device = Device()) device->SecretMask().MarkNextWrite(bytes, secrets);
    return;
  }
  fSecretLog.MarkSecret({}, {});
}

// `text` is a line of the driver's PIN entry, PUK entry or PIN change, as expanded now.
bool TqvGsm::IsSecretLine(const std::u16string& text) {
  auto guard = Guard();
  for (int32_t id : {gsmSetPIN, gsmUnblockPIN, gsmChangePIN})
    for (int32_t n = 1;; ++n) {
      const int32_t i = Driver()->IndexOfCommand(id, n);
      if (i < 0) break;
      const std::u16string line(qv::TrimView(std::u16string_view(ExpandCommand(Driver()->GetCommands(i)->fCommand))));
      if (line == text) return true;
    }
  return false;
}
