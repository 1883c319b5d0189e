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

constexpr std::array<TNamedId, 40> kCommandIds = {{
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
    {u"gsmCallVoice", gsmCallVoice},
    {u"gsmCallData", gsmCallData},
    {u"gsmCallFax", gsmCallFax},
    {u"gsmCallAnswer", gsmCallAnswer},
    {u"gsmCallHungup", gsmCallHungup},
    {u"gsmRequestUSSD", gsmRequestUSSD},
}};

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }
bool IsLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

}  // namespace

int32_t CommandIdOfName(std::u16string_view name) {
  for (const auto& e : kCommandIds)
    if (qv::SameTextNoCase(e.Name, name)) return e.Id;
  return 0;
}

std::u16string CheckValue(TValueKind kind, std::u16string_view v) {
  switch (kind) {
    case TValueKind::vkPhone:
    case TValueKind::vkAlphaPhone: {
      if (v.empty()) return u"the phone number is empty";
      const bool alpha = kind == TValueKind::vkAlphaPhone;
      for (char16_t c : v)
        if (!IsDigit(c) && c != u'+' && c != u'*' && c != u'#' && !(alpha && (IsLetter(c) || c == u' ')))
          return u"the phone number holds a character that is not allowed: " + std::u16string(1, c);
      return {};
    }
    case TValueKind::vkPin:
      if (v.empty()) return u"the PIN is empty";
      for (char16_t c : v)
        if (!IsDigit(c)) return u"the PIN holds a character other than a digit";
      return {};
    case TValueKind::vkUssd:
    case TValueKind::vkName:
      for (char16_t c : v)
        if (c == u'\r' || c == u'\n' || c == 26 || c == 27 || c == u'"' || c == u';')
          return u"the text holds a control character, a double quote or a semicolon";
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

thread_local int tWaitDepth = 0;
thread_local int tProcessingDepth = 0;

}  // namespace qv::gsm

using namespace qv::gsm;

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
}

TqvGsm::~TqvGsm() {
  FreeAsyncTimer();
  fDispatch.Cancel();
  fCancelled = true;
  {
    std::lock_guard lk(fTurnMutex);
    fTurnCv.notify_all();
  }
  ReapWorkers(true);
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

void TqvGsm::SetPIN(std::u16string v) {
  std::lock_guard lk(fInfoMutex);
  fPIN = std::move(v);
  fPinRejected = false;
}

void TqvGsm::SetNewSmsMode(TgsmNewSmsMode v) {
  if (v == fNewSmsMode) return;
  fNewSmsMode = v;
  if (!IsDeviceOpen()) return;
  TTurnGuard turn(*this);
  if (!turn) return;
  TqvCustomATProcessor::RunCommand(v == TgsmNewSmsMode::nsmSkipSave ? gsmSMSNotifyDirect : gsmSMSNotifyEnable);
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
  if (OnGsmChangeState) OnGsmChangeState(this);
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
  if (OnGsmChangeState) OnGsmChangeState(this);
  return s;
}

void TqvGsm::SetState(int s) {
  {
    std::lock_guard lk(fStateMutex);
    lStateStack.clear();
    if (s != stIdle) lStateStack.push_back(s);
  }
  if (OnGsmChangeState) OnGsmChangeState(this);
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
  if (changed && OnGsmChangeState) OnGsmChangeState(this);
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

bool TqvGsm::HoldsTurn() const {
  std::lock_guard lk(fTurnMutex);
  return fTurn == TTurn::ttThread && fTurnThread == std::this_thread::get_id();
}

void TqvGsm::LogBusy(const char16_t* what) const {
  WriteLogFmt(TDL::dlDetail, u"Busy: %s refused while another exchange runs", {std::u16string(what)});
}

bool TqvGsm::AcquireTurn() {
  const auto me = std::this_thread::get_id();
  const bool nested = tWaitDepth > 0 || tProcessingDepth > 0;
  std::unique_lock lk(fTurnMutex);
  for (;;) {
    if (fCancelled) return false;
    if (fTurn == TTurn::ttNone) {
      fTurn = TTurn::ttThread;
      fTurnThread = me;
      return true;
    }
    // Waiting here would block the exchange that holds the turn.
    if (nested || (fTurn == TTurn::ttThread && fTurnThread == me)) return false;
    if (pf::IsMainThread()) {
      lk.unlock();
      pf::PumpFor(20);
      lk.lock();
    } else {
      fTurnCv.wait_for(lk, std::chrono::milliseconds(50));
    }
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
  std::u16string memRead, memWrite, memSpec, pin, bookMem = PhoneBookMemName();
  {
    std::lock_guard lk(fInfoMutex);
    memRead = fTmpMemRead ? *fTmpMemRead : fMemoryRead;
    memWrite = fMemoryWrite;
    memSpec = fMemorySpecial;
    pin = fPIN;
  }
  const std::array<std::pair<std::u16string_view, std::u16string>, 17> values = {{
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

// The driver line of the queue entry sent last (under the processor's lock).
const TATCommand* TqvGsm::CurrentQueueLine() const {
  if (fCommandIndex < 1 || fCommandIndex > static_cast<int32_t>(slCommands.size())) return nullptr;
  return LineOf(slCommands[static_cast<size_t>(fCommandIndex - 1)].Object);
}

bool TqvGsm::IsPinLine(int32_t lineIndex) const {
  const TATCommand* line = LineOf(lineIndex);
  return line && line->idCmd == gsmSetPIN &&
         qv::ReplaceTextNoCase(line->fCommand, u"<PIN>", u"") != line->fCommand;
}

// ---------------------------------------------------------------------------
// Status readings

void TqvGsm::UpdateBatteryInfo() {
  TTurnGuard turn(*this);
  if (!turn || !TqvCustomATProcessor::RunCommand(gsmGetBatteryStatus)) return;
  auto guard = Guard();
  ParseBattery(ReplyLast().sDataUseful, LineOf(ReplyLast().idDriverCmd));
}

void TqvGsm::UpdateSignalInfo() {
  TTurnGuard turn(*this);
  if (!turn || !TqvCustomATProcessor::RunCommand(gsmGetSignalStatus)) return;
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

std::u16string TqvSecretLog::Masked(const std::u16string& s) const {
  std::lock_guard lk(fMutex);
  if (fClear.empty()) return s;
  std::u16string r = s;
  for (size_t p = r.find(fClear); p != std::u16string::npos; p = r.find(fClear, p + fMasked.size()))
    r.replace(p, fClear.size(), fMasked);
  return r;
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
  if (auto* t = Target()) t->Add(Masked(qv::Format(Format, Args)));
}
void TqvSecretLog::AddLogFmt(TDetailLevel l, const std::u16string& Format, const std::vector<qv::TqvFmtArg>& Args) {
  if (auto* t = Target(); t && t->DetailLevel() >= l) t->AddLog(l, Masked(qv::Format(Format, Args)));
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

// The line about to be sent carries the PIN when it is a PIN line of the
// current driver: it (and its echo) shows in the log with the PIN masked.
void TqvGsm::MarkSecretLine(std::string_view bytes) {
  const std::u16string pin = PIN();
  const std::u16string text = qv::AnsiToString(qv::TrimView(bytes));
  if (!pin.empty() && text.find(pin) != std::u16string::npos) {
    auto guard = Guard();
    for (int32_t n = 1;; ++n) {
      const int32_t i = Driver()->IndexOfCommand(gsmSetPIN, n);
      if (i < 0) break;
      if (!IsPinLine(i)) continue;
      const std::u16string line(qv::TrimView(std::u16string_view(ExpandCommand(Driver()->GetCommands(i)->fCommand))));
      if (line != text) continue;
      std::u16string masked = text;
      for (size_t p = masked.find(pin); p != std::u16string::npos; p = masked.find(pin, p + pin.size()))
        masked.replace(p, pin.size(), std::u16string(pin.size(), u'*'));
      fSecretLog.MarkSecret(text, masked);
      // The port's dumps of this write and of its echo hide the PIN too.
      if (TqvBaseIO* device = Device()) device->SecretMask().MarkNextWrite(bytes, qv::StringToAnsi(pin));
      return;
    }
  }
  fSecretLog.MarkSecret({}, {});
}
