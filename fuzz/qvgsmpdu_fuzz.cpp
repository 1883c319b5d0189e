// Fuzzes PDU decoding, with the input taken both as PDU text and as the
// octets of a PDU. Each decoding gives either an error (with a reason and no
// text) or a record; a record re-encodes, and decoding that PDU gives the
// same message as far as the encoder writes it: text, number, coding, parts.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "qvgsmpdu.h"
#include "qvtext.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

// Fourteen semi-octets of an alphanumeric address hold eight septets, or
// seven and their fill: a last '@' of eight is read as that fill.
bool SamePhone(const std::u16string& a, const std::u16string& b) {
  return a == b || (a.ends_with(u'@') && a.substr(0, a.size() - 1) == b);
}

bool SameMessage(const TqvPduSms& a, const TqvPduSms& b) {
  // The encoder writes 8-bit references only, and a status report's coding
  // only along with its text.
  const bool sameParts = a.PartCount() == b.PartCount() && a.PartNumber() == b.PartNumber() &&
                         (a.PartCount() == 1 || (a.PartId() & 0xFF) == (b.PartId() & 0xFF));
  const bool sameCoding = a.Coding() == b.Coding() || (a.Report() && a.Text().empty());
  return a.Text() == b.Text() && SamePhone(a.Phone(), b.Phone()) && sameCoding && a.Report() == b.Report() &&
         sameParts;
}

void DecodeAndReencode(std::u16string_view pdu) {
  TqvPduSms sms(true);
  sms.SetAsPDU(pdu);
  Check(sms.Error() == sms.IsEmpty());  // a result or an error, never both or neither
  Check(sms.Error() != sms.ErrorReason().empty());
  if (sms.Error()) {
    Check(sms.Text().empty());
    return;
  }
  (void)sms.ReportText();
  TqvPduSms again(true);
  again.SetAsPDU(sms.AsPDU());
  Check(!again.Error());
  Check(SameMessage(sms, again));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::u16string pdu = qv::BytesToString(bytes);
  DecodeAndReencode(pdu);
  DecodeAndReencode(qv::TextTo8bitHex(pdu));  // the input's octets as a PDU

  // The helpers on their own, with positions and counts taken from the input.
  if (size >= 3) {
    const std::u16string rest = pdu.substr(3);
    const size_t pos = data[0] % 16;
    (void)qv::UnpackSeptets(rest, pos, data[1], data[2] % 8);
    (void)qv::DecodeAddress(rest, pos, data[1] % 40, data[2]);
    (void)qv::Ucs2HexToText(rest, pos);
    (void)qv::SimUcs2HexToText(rest, pos);
    (void)qv::Hex8bitToText(rest, pos);
    (void)qv::ParseDateTimeText(rest);
    const TqvShiftTables tables{static_cast<TqvPduLanguage>(data[0] % 4), static_cast<TqvPduLanguage>(data[1] % 4)};
    (void)qv::SeptetsToText(rest, tables);
    (void)qv::TextToSeptets(rest, tables);
    (void)qv::ChooseShiftTables(rest, tables.Single);
  }
  return 0;
}
