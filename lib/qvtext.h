// Text helpers shared by the library.
//
// The library's text is UTF-16 (std::u16string); what goes to and comes from a
// device or file is 8-bit (std::string holding bytes). The 8-bit code page is
// fixed to Windows-1252 on every machine, so bytes never depend on the locale;
// characters it cannot hold become '?'.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "qvapi.h"

QV_API_BEGIN

namespace qv {

// Windows-1252 <-> UTF-16.
std::u16string AnsiToString(std::string_view bytes);
std::string StringToAnsi(std::u16string_view text);

// Each byte becomes the character of the same code, and back (low byte kept).
std::u16string BytesToString(std::string_view bytes);
std::string StringToBytes(std::u16string_view text);

// UTF-8 <-> UTF-16 (invalid input becomes U+FFFD).
std::u16string Utf8ToString(std::string_view utf8);
std::string StringToUtf8(std::u16string_view text);

// Shorthand for literals in code and tests: u(\"abc\") == u\"abc\".
inline std::u16string u(std::string_view utf8) { return Utf8ToString(utf8); }

// A text read as a number with a default: leading blanks skipped, an optional
// sign, then decimal digits, or hexadecimal digits after "$", "x", "X", "0x" or
// "0X". An empty text, any other character (trailing blanks included) or a value
// outside the 32-bit signed range gives the default.
int32_t StrToIntDef(std::u16string_view text, int32_t def);
int32_t StrToIntDef(std::string_view text, int32_t def);

std::u16string IntToStr(int64_t value);

// Blanks and control characters (everything up to the space) removed at both ends.
std::u16string_view TrimView(std::u16string_view s);
std::string_view TrimView(std::string_view s);

// Equal with the letter case of ASCII letters ignored.
bool SameTextNoCase(std::u16string_view a, std::u16string_view b);

// Every occurrence of `from` (ASCII letter case ignored) replaced by `to`.
std::u16string ReplaceTextNoCase(std::u16string_view text, std::u16string_view from, std::u16string_view to);

// The lines of a text, split at CR LF, CR or LF. Empty lines are kept; a line
// break at the very end starts no further line.
std::vector<std::u16string_view> SplitLines(std::u16string_view text);
std::vector<std::string_view> SplitLines(std::string_view text);

// printf-like formatting over typed values: %d %u %x %X %s %%, with an optional
// width and '-' or '0' flags ("%.2d" pads with zeros to two digits).
using TqvFmtArg = std::variant<int64_t, uint64_t, double, std::u16string>;
std::u16string Format(std::u16string_view format, const std::vector<TqvFmtArg>& args);

}  // namespace qv

QV_API_END
