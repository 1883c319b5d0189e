#include "qvunicase.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace qv {

namespace {

struct TCaseRange {
  char32_t First, Last;
  int32_t Delta;
  uint8_t Stride;  // 1: every code point of the range maps, 2: every second one
};

constexpr TCaseRange kLower[] = {
#include "qvunicase_table.inc"
};

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

void AppendUtf16(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out += static_cast<char16_t>(cp);
    return;
  }
  cp -= 0x10000;
  out += static_cast<char16_t>(0xD800 + (cp >> 10));
  out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
}

}  // namespace

char32_t LowerCodePoint(char32_t cp) {
  // The last range that starts at or before cp.
  const auto next = std::upper_bound(std::begin(kLower), std::end(kLower), cp,
                                     [](char32_t c, const TCaseRange& r) { return c < r.First; });
  if (next == std::begin(kLower)) return cp;
  const TCaseRange& r = *std::prev(next);
  if (cp > r.Last || (cp - r.First) % r.Stride != 0) return cp;
  return static_cast<char32_t>(static_cast<int32_t>(cp) + r.Delta);
}

std::u16string LowerText(std::u16string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      const char32_t cp = 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      AppendUtf16(out, LowerCodePoint(cp));
      ++i;
    } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
      out += c;
    } else {
      AppendUtf16(out, LowerCodePoint(c));
    }
  }
  return out;
}

}  // namespace qv
