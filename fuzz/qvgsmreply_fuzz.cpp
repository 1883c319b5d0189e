// What the modem answers is untrusted: phone book records and USSD answers
// must parse whatever comes, as must a phone book file. The first byte picks
// the driver and the phone book type.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "qvatdriver.h"
#include "qvgsm.h"
#include "qvtext.h"
#include "qvunicase.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TqvGsm gsm;
  if (size == 0) return 0;
  const uint8_t pick = data[0];
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  gsm.SetDriverIndex(pick % gsm.DriverCount());
  gsm.LoadMemoryTypes();
  gsm.SetPhoneListType(static_cast<TqvPhoneBookType>((pick >> 5) % 7));
  TATCommand line;
  line.Data = {1, 2, 104};
  gsm.ParsePhoneRecord(text, &line);
  gsm.PhoneList()->Clear();
  line.Data = {2, 3};
  gsm.ParsePhoneBookCounts(text, &line);
  gsm.ParsePhoneBookLimits(text, &line);

  const std::u16string u = qv::BytesToString(text);
  gsm.DecodeUssdText(qv::gsm::ParseUssdFields(u));
  qv::Ussd7bitHexToText(u);
  qv::LowerText(qv::Utf8ToString(text));
  for (std::u16string_view l : qv::SplitLines(u))
    for (int n = 1; n <= 4; ++n) qv::ExtractQuotedField(l, n);
  return 0;
}
