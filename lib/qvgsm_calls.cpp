// TqvGsm: voice calls and USSD requests, and the decoding of USSD answers.
#include <algorithm>

#include "qvgsm.h"
#include "qvgsm_internal.h"
#include "qvtext.h"

using TDL = TDetailLevel;
using namespace qv::gsm;

namespace {

bool IsHexText(std::u16string_view s) {
  for (char16_t c : s)
    if (!((c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F') || (c >= u'a' && c <= u'f'))) return false;
  return true;
}

// For a driver that tells neither way: a 7-bit answer is taken as packed hex
// only when it is hex of whole octets with at least one letter digit, and
// unpacks to printable text. An all-digit answer ("1234") stays plain text.
bool LooksPacked(std::u16string_view s) {
  if (s.size() < 2 || s.size() % 2 != 0 || !IsHexText(s)) return false;
  if (s.find_first_not_of(u"0123456789") == std::u16string_view::npos) return false;
  for (char16_t c : qv::Ussd7bitHexToText(s))
    if (c < 0x20 && c != u'\r' && c != u'\n') return false;
  return true;
}

}  // namespace

namespace qv::gsm {

TUssdFields ParseUssdFields(std::u16string_view text) {
  TUssdFields f;
  const std::u16string_view t = qv::TrimView(text);
  const size_t comma = t.find(u',');
  const int32_t status = qv::StrToIntDef(qv::TrimView(t.substr(0, comma)), -1);
  f.Status = status >= 0 ? static_cast<TUssdStatus>(status) : TUssdStatus::usUnknown;
  if (comma == std::u16string_view::npos) return f;
  const std::u16string_view rest = t.substr(comma + 1);
  std::u16string_view after;
  const size_t first = rest.find(u'"'), last = rest.rfind(u'"');
  if (first != std::u16string_view::npos && last > first) {
    f.Text = rest.substr(first + 1, last - first - 1);
    after = rest.substr(last + 1);
  } else if (first != std::u16string_view::npos) {  // no closing quote
    f.Text = rest.substr(first + 1);
  } else {  // unquoted: the string up to the last comma
    const size_t c = rest.rfind(u',');
    f.Text = qv::TrimView(rest.substr(0, c));
    if (c != std::u16string_view::npos) after = rest.substr(c);
  }
  f.HasText = true;
  after = qv::TrimView(after);
  if (!after.empty() && after.front() == u',') f.Dcs = qv::StrToIntDef(qv::TrimView(after.substr(1)), 15);
  return f;
}

}  // namespace qv::gsm

// ---------------------------------------------------------------------------
// Calls

// BUSY, NO ANSWER, NO CARRIER and NO DIALTONE end a line that dials or answers.
bool TqvGsm::IsCallResult(const TATReply& reply) const {
  auto guard = Guard();
  const TqvCustomATDriver* d = Driver();
  if (reply.idResponse < 0 || reply.idResponse >= static_cast<int32_t>(d->slResponses.size())) return false;
  if (!qv::resp::IsCallEnd(d->GetResponse(reply.idResponse)->Tag)) return false;
  const std::u16string head = qv::AnsiToString(qv::TrimView(LastLine()).substr(0, 3));
  return qv::SameTextNoCase(head, u"ATD") || qv::SameTextNoCase(head, u"ATA");
}

bool TqvGsm::MakeCall(const std::u16string& aPhoneNumber) {
  if (const auto why = CheckValue(TValueKind::vkDial, aPhoneNumber); !why.empty()) {
    RaiseError(u"MakeCall refused: " + why);
    return false;
  }
  TSyncCall call(*this, u"MakeCall");
  if (!call) return false;
  fCallPhoneNumber = aPhoneNumber;
  if (call.Run(gsmCallVoice)) return true;
  RaiseError(u"MakeCall: " + call.Failure());
  return false;
}

void TqvGsm::AnswerCall() {
  TSyncCall call(*this, u"AnswerCall");
  if (call) call.Run(gsmCallAnswer);
}

void TqvGsm::Hungup() {
  TSyncCall call(*this, u"Hungup");
  if (call) call.Run(gsmCallHungup);
}

std::optional<std::vector<TCallInfo>> TqvGsm::CallList() {
  TSyncCall call(*this, u"CallList");
  if (!call || !call.Run(gsmCallList)) return std::nullopt;
  auto guard = Guard();
  return ParseCallList(ReplyLast().sData);
}

bool TqvGsm::SendTones(const std::u16string& aTones) {
  const auto bad = std::find_if_not(aTones.begin(), aTones.end(), [](char16_t c) {
    return (c >= u'0' && c <= u'9') || c == u'*' || c == u'#' || (c >= u'A' && c <= u'D');
  });
  if (aTones.empty() || bad != aTones.end()) {
    RaiseError(u"SendTones refused: the tones hold no tone or a character other than 0-9, *, #, A-D");
    return false;
  }
  TSyncCall call(*this, u"SendTones");
  if (!call) return false;
  for (char16_t tone : aTones) {
    fTmpCallTone = std::u16string(1, tone);
    if (!call.Run(gsmCallTone)) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// USSD

bool TqvGsm::SendUSSD(const std::u16string& request) {
  if (const auto why = CheckValue(TValueKind::vkUssd, request); !why.empty()) {
    RaiseError(u"SendUSSD refused: " + why);
    return false;
  }
  TSyncCall call(*this, u"SendUSSD");
  if (!call) return false;
  fRequestUSSD = request;
  fRequestUSSD7Bit = qv::TextToUssd7bitHex(request);
  return call.Run(gsmRequestUSSD);
}

bool TqvGsm::CancelUSSD() {
  TSyncCall call(*this, u"CancelUSSD");
  if (!call) return false;
  {
    auto guard = Guard();
    if (Driver()->IndexOfCommand(gsmRequestUSSD, 1) < 0) {
      SetLastError(u"CancelUSSD: the driver has no USSD");
      return false;
    }
  }
  const bool answered = TqvCustomATProcessor::SendAndWait("AT+CUSD=2\r");
  auto guard = Guard();
  if (answered && !IsErrorReply(ReplyLast())) return true;
  SetLastError(u"CancelUSSD: " + LineFailure());
  return false;
}

// The string as the answer's coding scheme and the driver say: UCS2 and 8-bit
// data come as hex; the 7-bit alphabet comes as plain text in the modem's
// character set, or as packed hex from the modems whose driver packs the
// request (or whose response line says 2 in its hundreds).
std::u16string TqvGsm::DecodeUssdText(const TUssdFields& answer) const {
  uint32_t how = 0;
  {
    auto guard = Guard();
    if (const TCommEventNew* r = Driver()->GetResponseById(qv::resp::kUssd)) how = r->Data / 100;
  }
  const bool packs = how == 2 || DriverLinesHold(gsmRequestUSSD, u"<RequestUSSD7bit>");
  const bool plain = !packs && DriverLinesHold(gsmRequestUSSD, u"<RequestUSSD>");
  const std::u16string& s = answer.Text;
  if (how == 1) return qv::Ucs2HexToText(UpperHexDigits(s), 1);
  const qv::TqvCbsDcsInfo dcs = qv::ReadCbsDcs(static_cast<uint8_t>(answer.Dcs));
  switch (dcs.Coding) {
    case TqvPduCoding::pc16bit: {
      // 0x11: the language, two septets in two octets, comes first
      const size_t skip = dcs.Prefix == qv::TqvCbsPrefix::cpUcs2Language ? 4 : 0;
      return qv::Ucs2HexToText(UpperHexDigits(s.size() > skip ? std::u16string_view(s).substr(skip) : u""), 1);
    }
    case TqvPduCoding::pc8bit: return qv::Hex8bitToText(UpperHexDigits(s), 1);
    default: break;
  }
  std::u16string text = (packs || (!plain && LooksPacked(s))) ? qv::Ussd7bitHexToText(s) : s;
  // 0x10: the language ("en" and CR) comes first
  if (dcs.Prefix == qv::TqvCbsPrefix::cp7bitLanguage && text.size() >= 3 && text[2] == u'\r') text.erase(0, 3);
  return text;
}

void TqvGsm::UssdNotify(const std::u16string& text) {
  WriteLogFmt(TDL::dlDetail, u"USSD Notify: %s", {text});
  const TUssdFields answer = ParseUssdFields(text);
  std::u16string result = answer.HasText ? DecodeUssdText(answer) : std::u16string();
  RaiseText(&TqvGsm::OnUssd, result);
  Raise([this, status = answer.Status, result = std::move(result)] {
    if (OnUssdResult) OnUssdResult(this, status, result);
  });
}
