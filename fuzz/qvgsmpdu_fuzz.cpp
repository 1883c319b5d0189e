// Fuzzes PDU decoding: any byte string is a PDU text. A decoding either sets
// Error (and leaves the record empty) or yields a record, which must then
// re-encode and decode again without trouble.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "qvgsmpdu.h"
#include "qvtext.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::u16string pdu = qv::BytesToString(bytes);

  TqvPduSms sms(true);
  sms.SetAsPDU(pdu);
  if (sms.Error() != sms.IsEmpty()) std::abort();  // a result or an error, never both or neither
  if (!sms.Error()) {
    (void)sms.ReportText();
    TqvPduSms again(true);
    again.SetAsPDU(sms.AsPDU());
    if (again.Error()) std::abort();
  }

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
    (void)qv::SeptetsToText(rest);
  }
  return 0;
}
