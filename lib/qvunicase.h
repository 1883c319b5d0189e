// Unicode's simple lower-case mapping, from a table generated out of the
// Unicode data (scripts/gen_unicase.py writes qvunicase_table.inc).
#pragma once

#include <string>
#include <string_view>

#include "qvapi.h"

QV_API_BEGIN

namespace qv {

// The simple lower-case mapping of one code point; itself when it has none.
char32_t LowerCodePoint(char32_t cp);
// Every code point of a UTF-16 text lowered; surrogate pairs are read as one
// code point, lone surrogates stay as they are. The length may change only
// where a mapping crosses the BMP boundary (none does in Unicode 15).
std::u16string LowerText(std::u16string_view text);

}  // namespace qv

QV_API_END
