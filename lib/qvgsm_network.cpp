// TqvGsm: the network registration and operator, the SIM codes (PUK, PIN
// change) and the message service centre.
#include <algorithm>
#include <array>

#include "qvgsm.h"
#include "qvgsm_internal.h"
#include "qvtext.h"

using TDL = TDetailLevel;
using namespace qv::gsm;

namespace {

int32_t FieldInt(std::u16string_view text, int n) {
  return qv::StrToIntDef(qv::TrimView(std::u16string_view(qv::ExtractField(text, n))), -1);
}

TNetworkRegistration RegistrationOf(int32_t stat) {
  return stat >= 0 && stat <= 5 ? static_cast<TNetworkRegistration>(stat) : TNetworkRegistration::nrUnknown;
}

bool IsRegistered(TNetworkRegistration r) {
  return r == TNetworkRegistration::nrHome || r == TNetworkRegistration::nrRoaming;
}

}  // namespace

namespace qv::gsm {

TRegistrationFields ParseRegistration(std::u16string_view text) {
  TRegistrationFields f;
  const std::u16string_view t = qv::TrimView(text);
  if (t.empty()) return f;
  // The answer's second field is the state; a notification's is the quoted area code.
  const size_t comma = t.find(u',');
  const std::u16string_view second =
      comma == std::u16string_view::npos ? std::u16string_view() : qv::TrimView(t.substr(comma + 1));
  f.Notification = comma == std::u16string_view::npos || second.empty() || second.front() == u'"';
  const int first = f.Notification ? 1 : 2;
  const int32_t stat = FieldInt(t, first);
  if (stat < 0) return {};
  f.Registration = RegistrationOf(stat);
  f.Technology = FieldInt(t, first + 3);
  return f;
}

int32_t IndicatorIndex(std::string_view reply, std::string_view name) {
  int32_t place = 0;
  for (size_t open = reply.find('"'); open != std::string_view::npos; open = reply.find('"', open + 1)) {
    const size_t close = reply.find('"', open + 1);
    if (close == std::string_view::npos) break;
    ++place;
    if (qv::SameTextNoCase(qv::AnsiToString(reply.substr(open + 1, close - open - 1)), qv::AnsiToString(name)))
      return place;
    open = close;
  }
  return 0;
}

std::vector<TCallInfo> ParseCallList(std::string_view reply) {
  std::vector<TCallInfo> calls;
  constexpr std::string_view kHead = "+CLCC:";
  for (size_t p = reply.find(kHead); p != std::string_view::npos; p = reply.find(kHead, p + 1)) {
    const size_t end = reply.find_first_of("\r\n", p);
    const std::u16string line = qv::AnsiToString(reply.substr(p + kHead.size(), end - p - kHead.size()));
    TCallInfo c;
    c.Index = FieldInt(line, 1);
    c.Incoming = FieldInt(line, 2) == 1;
    const int32_t state = FieldInt(line, 3);
    if (c.Index < 1 || state < 0 || state > 5) continue;
    c.State = static_cast<TCallState>(state);
    c.Mode = FieldInt(line, 4);
    c.Multiparty = FieldInt(line, 5) == 1;
    c.Number = qv::ExtractField(std::u16string_view(line), 6);
    calls.push_back(std::move(c));
  }
  return calls;
}

}  // namespace qv::gsm

// ---------------------------------------------------------------------------
// Network

std::u16string DescribeNetwork(const TNetworkInfo& info) {
  std::u16string s = RegistrationName(info.Registration);
  if (const std::u16string act = TechnologyName(info.Technology); !act.empty()) s += u", " + act;
  const std::u16string& name = info.OperatorName;
  const std::u16string& numeric = info.OperatorNumeric;
  if (!name.empty() && !numeric.empty())
    s += u", " + name + u" (" + numeric + u")";
  else if (!name.empty() || !numeric.empty())
    s += u", " + name + numeric;
  return s;
}

std::u16string RegistrationName(TNetworkRegistration r) {
  switch (r) {
    case TNetworkRegistration::nrNotRead: return u"not read";
    case TNetworkRegistration::nrNotRegistered: return u"not registered";
    case TNetworkRegistration::nrHome: return u"home";
    case TNetworkRegistration::nrSearching: return u"searching";
    case TNetworkRegistration::nrDenied: return u"denied";
    case TNetworkRegistration::nrUnknown: return u"unknown";
    case TNetworkRegistration::nrRoaming: return u"roaming";
  }
  return u"unknown";
}

std::u16string TechnologyName(int32_t technology) {
  static constexpr std::array<std::u16string_view, 10> names = {
      u"GSM", u"GSM compact", u"UMTS", u"EDGE", u"HSDPA", u"HSUPA", u"HSPA", u"LTE", u"EC-GSM-IoT", u"NB-IoT"};
  if (technology < 0) return {};
  if (technology >= static_cast<int32_t>(names.size())) return qv::IntToStr(technology);
  return std::u16string(names[static_cast<size_t>(technology)]);
}

TNetworkInfo TqvGsm::NetworkInfo() const {
  std::lock_guard lk(fInfoMutex);
  return fNetwork;
}

// The registered domain gives the state and the technology; the circuit
// domain first, since messages and calls go there on most networks.
void TqvGsm::UpdateNetworkSummary() {
  const TRegistrationFields& use =
      IsRegistered(fCsReg.Registration) || (!IsRegistered(fEpsReg.Registration) &&
                                            fCsReg.Registration != TNetworkRegistration::nrNotRead)
          ? fCsReg
          : fEpsReg;
  fNetwork.Registration = use.Registration;
  if (use.Technology >= 0) fNetwork.Technology = use.Technology;
  if (!fNetwork.Registered()) {
    fNetwork.Technology = use.Technology;
    fNetwork.OperatorName.clear();
    fNetwork.OperatorNumeric.clear();
  }
}

void TqvGsm::NetworkNotify(const std::u16string& text, bool eps) {
  WriteLogFmt(TDL::dlDetail, u"Network Notify: %s", {text});
  const TRegistrationFields f = ParseRegistration(text);
  if (f.Registration == TNetworkRegistration::nrNotRead) return;
  TNetworkInfo info;
  bool changed;
  {
    std::lock_guard lk(fInfoMutex);
    const TNetworkInfo before = fNetwork;
    (eps ? fEpsReg : fCsReg) = f;
    UpdateNetworkSummary();
    info = fNetwork;
    changed = info.Registration != before.Registration || info.Technology != before.Technology;
  }
  // An answer of a reading is no notification; a domain's change that leaves
  // the summary as it was (the other domain still registered) is none either.
  if (!f.Notification || !changed) return;
  Raise([this, info = std::move(info)] {
    if (OnNetworkChange) OnNetworkChange(this, info);
  });
}

// "AT+CREG=2" adds the area, the cell and the technology to the
// notifications; a modem that refuses it gets "AT+CREG=1", the state alone.
bool TqvGsm::ReadRegistration(TSyncCall& call) {
  if (call.Run(gsmGetNetworkReg)) return true;
  bool refused, basic;
  {
    auto guard = Guard();
    refused = LastOutcome() == qv::TLineOutcome::loError;
    basic = Driver()->IndexOfCommand(gsmGetNetworkRegBasic, 1) >= 0;
  }
  if (!refused || !basic) return false;
  WriteLog(TDL::dlDetail, u"Registration notifications without the cell");
  SetLastError({});
  return call.Run(gsmGetNetworkRegBasic);
}

bool TqvGsm::UpdateNetworkInfo() {
  TSyncCall call(*this, u"UpdateNetworkInfo");
  if (!call || !ReadRegistration(call)) return false;
  bool eps;
  {
    auto guard = Guard();
    eps = Driver()->IndexOfCommand(gsmGetNetworkRegEps, 1) >= 0;
  }
  // A modem without the packet domain's registration answers ERROR: not a failure.
  if (eps && !call.Run(gsmGetNetworkRegEps)) SetLastError({});
  // "+COPS: 0,2,\"26201\",7": the operator in the format the first line chose.
  auto readOperator = [&](int32_t id) -> std::u16string {
    if (!call.Run(id)) return {};
    auto guard = Guard();
    return qv::AnsiToString(qv::ExtractField(std::string_view(StripReplyPrefix(ReplyLast().sDataUseful)), 3));
  };
  std::u16string numeric = readOperator(gsmGetOperator);
  std::u16string name = readOperator(gsmGetOperatorName);
  std::lock_guard lk(fInfoMutex);
  fNetwork.OperatorNumeric = std::move(numeric);
  fNetwork.OperatorName = std::move(name);
  UpdateNetworkSummary();
  return true;
}

// ---------------------------------------------------------------------------
// Indicators

bool TqvGsm::EnableStoreIndicator() {
  TSyncCall call(*this, u"EnableStoreIndicator");
  if (!call || !call.Run(gsmGetIndicators)) return false;
  int32_t place;
  {
    auto guard = Guard();
    place = IndicatorIndex(ReplyLast().sData, "smsfull");
  }
  if (place <= 0) {
    SetLastError(u"EnableStoreIndicator: the modem has no \"smsfull\" indicator");
    return false;
  }
  fSmsFullIndicator = place;  // before the events are on: the first one counts
  if (call.Run(gsmIndicatorsEnable)) return true;
  fSmsFullIndicator = 0;
  return false;
}

void TqvGsm::IndicatorNotify(const std::u16string& text) {
  WriteLogFmt(TDL::dlDetail, u"Indicator Notify: %s", {text});
  const int32_t place = fSmsFullIndicator;
  if (place > 0 && FieldInt(text, 1) == place && FieldInt(text, 2) == 1) RaiseNotify(&TqvGsm::OnSmsMemoryFull);
}

// ---------------------------------------------------------------------------
// Service centre

std::optional<std::u16string> TqvGsm::GetServiceCentre() {
  TSyncCall call(*this, u"GetServiceCentre");
  if (!call || !call.Run(gsmGetServiceCentre)) return std::nullopt;
  auto guard = Guard();
  return qv::AnsiToString(qv::ExtractField(std::string_view(StripReplyPrefix(ReplyLast().sDataUseful)), 1));
}

bool TqvGsm::SetServiceCentre(const std::u16string& aNumber) {
  if (const auto why = CheckValue(TValueKind::vkPhone, aNumber); !why.empty()) {
    RaiseError(u"SetServiceCentre refused: " + why);
    return false;
  }
  TSyncCall call(*this, u"SetServiceCentre");
  if (!call) return false;
  fTmpServiceCentre = aNumber;
  return call.Run(gsmSetServiceCentre);
}

// ---------------------------------------------------------------------------
// SIM codes

void TqvGsm::NotePinReply(const TATReply& reply) {
  if (const TGsmPinStatus st = DetectPinStatus(reply); st != TGsmPinStatus::pinUnknown) fPINStatus = st;
}

std::vector<std::u16string> TqvGsm::SecretCodes() const {
  std::lock_guard lk(fInfoMutex);
  std::vector<std::u16string> codes;
  for (const std::u16string* c : {&fPIN, &fTmpSimCode, &fTmpNewPin})
    if (!c->empty()) codes.push_back(*c);
  return codes;
}

bool TqvGsm::PINUnblock(const std::u16string& aPUK, const std::u16string& aNewPIN) {
  return SimCodeCall(u"PINUnblock", gsmUnblockPIN, aPUK, aNewPIN);
}

bool TqvGsm::PINChange(const std::u16string& aOldPIN, const std::u16string& aNewPIN) {
  return SimCodeCall(u"PINChange", gsmChangePIN, aOldPIN, aNewPIN);
}

// `code` (the PUK or the old PIN) and `newPin` go into the line of `id`; a
// code the SIM rejected for it is refused from then on, whatever new PIN
// comes with it, since each try costs one of the SIM's few attempts.
bool TqvGsm::SimCodeCall(const char16_t* what, int32_t id, const std::u16string& code, const std::u16string& newPin) {
  std::u16string why = CheckValue(TValueKind::vkPin, code);
  if (why.empty()) why = CheckValue(TValueKind::vkPin, newPin);
  if (why.empty()) {
    std::lock_guard lk(fInfoMutex);
    const bool rejected = std::find(fRejectedCodes.begin(), fRejectedCodes.end(), std::pair{id, code}) !=
                              fRejectedCodes.end() ||
                          (id == gsmChangePIN && fPinRejected && code == fPIN);
    if (rejected) why = u"the code was rejected before";
  }
  if (!why.empty()) {
    RaiseError(std::u16string(what) + u" refused: " + why);
    return false;
  }
  TSyncCall call(*this, what);
  if (!call) return false;
  {
    std::lock_guard lk(fInfoMutex);
    fTmpSimCode = code;
    fTmpNewPin = newPin;
  }
  const bool ok = call.Run(id);
  bool rejected = false;
  {
    auto guard = Guard();
    if (ok) NotePinReply(ReplyLast());
    rejected = !ok && LastOutcome() == qv::TLineOutcome::loError;
  }
  std::lock_guard lk(fInfoMutex);
  fTmpSimCode.clear();
  fTmpNewPin.clear();
  if (rejected) fRejectedCodes.emplace_back(id, code);
  if (rejected && id == gsmChangePIN && code == fPIN) fPinRejected = true;
  if (ok) {
    fPIN = newPin;
    fPinRejected = false;
  }
  return ok;
}
