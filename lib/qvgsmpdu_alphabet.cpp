// The GSM 7-bit alphabet of 3GPP TS 23.038: the default basic and extension
// tables, the national shift tables of annex A for Turkish, Spanish and
// Portuguese, and the conversions between text and septets.
#include <array>
#include <span>
#include <vector>

#include "qvgsmpdu.h"

namespace qv {
namespace {

constexpr char16_t kEscape = 0x1B;
constexpr char16_t kUnknown = u'?';

// Basic tables in code order, sixteen codes a line; 0x1B is the escape.
constexpr std::u16string_view kDefaultBasic =
    u"@\u00A3$\u00A5\u00E8\u00E9\u00F9\u00EC\u00F2\u00C7\n\u00D8\u00F8\r\u00C5\u00E5"
    u"\u0394_\u03A6\u0393\u039B\u03A9\u03A0\u03A8\u03A3\u0398\u039E\x1B\u00C6\u00E6\u00DF\u00C9"
    u" !\"#\u00A4%&'()*+,-./"
    u"0123456789:;<=>?"
    u"\u00A1ABCDEFGHIJKLMNO"
    u"PQRSTUVWXYZ\u00C4\u00D6\u00D1\u00DC\u00A7"
    u"\u00BFabcdefghijklmno"
    u"pqrstuvwxyz\u00E4\u00F6\u00F1\u00FC\u00E0";

// Turkish locking shift table (annex A.3.1).
constexpr std::u16string_view kTurkishBasic =
    u"@\u00A3$\u00A5\u20AC\u00E9\u00F9\u0131\u00F2\u00C7\n\u011E\u011F\r\u00C5\u00E5"
    u"\u0394_\u03A6\u0393\u039B\u03A9\u03A0\u03A8\u03A3\u0398\u039E\x1B\u015E\u015F\u00DF\u00C9"
    u" !\"#\u00A4%&'()*+,-./"
    u"0123456789:;<=>?"
    u"\u0130ABCDEFGHIJKLMNO"
    u"PQRSTUVWXYZ\u00C4\u00D6\u00D1\u00DC\u00A7"
    u"\u00E7abcdefghijklmno"
    u"pqrstuvwxyz\u00E4\u00F6\u00F1\u00FC\u00E0";

// Portuguese locking shift table (annex A.3.3).
constexpr std::u16string_view kPortugueseBasic =
    u"@\u00A3$\u00A5\u00EA\u00E9\u00FA\u00ED\u00F3\u00E7\n\u00D4\u00F4\r\u00C1\u00E1"
    u"\u0394_\u00AA\u00C7\u00C0\u221E^\\\u20AC\u00D3|\x1B\u00C2\u00E2\u00CA\u00C9"
    u" !\"#\u00BA%&'()*+,-./"
    u"0123456789:;<=>?"
    u"\u00CDABCDEFGHIJKLMNO"
    u"PQRSTUVWXYZ\u00C3\u00D5\u00DA\u00DC\u00A7"
    u"~abcdefghijklmno"
    u"pqrstuvwxyz\u00E3\u00F5`\u00FC\u00E0";

static_assert(kDefaultBasic.size() == 128 && kTurkishBasic.size() == 128 && kPortugueseBasic.size() == 128);

// One entry of an extension (single shift) table: the code after the escape.
struct TGsmRow {
  uint8_t code;
  char16_t ch;
};

// The default extension table (6.2.1.1); every single shift table holds it too.
constexpr TGsmRow kDefaultExtension[] = {
    {0x0A, 0x000C}, {0x14, u'^'}, {0x28, u'{'}, {0x29, u'}'}, {0x2F, u'\\'},
    {0x3C, u'['},   {0x3D, u'~'}, {0x3E, u']'}, {0x40, u'|'}, {0x65, 0x20AC},
};

// What the national single shift tables add (annex A.2.1 to A.2.3).
constexpr TGsmRow kTurkishExtension[] = {
    {0x47, 0x011E}, {0x49, 0x0130}, {0x53, 0x015E}, {0x63, 0x00E7},
    {0x67, 0x011F}, {0x69, 0x0131}, {0x73, 0x015F},
};
constexpr TGsmRow kSpanishExtension[] = {
    {0x09, 0x00E7}, {0x41, 0x00C1}, {0x49, 0x00CD}, {0x4F, 0x00D3}, {0x55, 0x00DA},
    {0x61, 0x00E1}, {0x69, 0x00ED}, {0x6F, 0x00F3}, {0x75, 0x00FA},
};
constexpr TGsmRow kPortugueseExtension[] = {
    {0x05, 0x00EA}, {0x09, 0x00E7}, {0x0B, 0x00D4}, {0x0C, 0x00F4}, {0x0E, 0x00C1}, {0x0F, 0x00E1},
    {0x12, 0x03A6}, {0x13, 0x0393}, {0x15, 0x03A9}, {0x16, 0x03A0}, {0x17, 0x03A8}, {0x18, 0x03A3},
    {0x19, 0x0398}, {0x1F, 0x00CA}, {0x41, 0x00C0}, {0x49, 0x00CD}, {0x4F, 0x00D3}, {0x55, 0x00DA},
    {0x5B, 0x00C3}, {0x5C, 0x00D5}, {0x61, 0x00C2}, {0x69, 0x00ED}, {0x6F, 0x00F3}, {0x75, 0x00FA},
    {0x7B, 0x00E3}, {0x7C, 0x00F5}, {0x7F, 0x00E2},
};

// One table both ways: code to character, and character to code.
class TGsmTable {
 public:
  explicit TGsmTable(std::u16string_view basic) {
    for (size_t code = 0; code < basic.size(); ++code)
      if (basic[code] != kEscape) Add(static_cast<uint8_t>(code), basic[code]);
  }
  TGsmTable(std::span<const TGsmRow> common, std::span<const TGsmRow> own) {
    for (const auto& r : common) Add(r.code, r.ch);
    for (const auto& r : own) Add(r.code, r.ch);
  }

  // The character of a code; 0 when the table has none.
  char16_t Char(char16_t code) const { return chars_[code & 0x7F]; }
  // The code of a character; -1 when the table has none.
  int Code(char16_t c) const {
    if (c < latin_.size()) return latin_[c];
    for (const auto& r : others_)
      if (r.ch == c) return r.code;
    return -1;
  }

 private:
  void Add(uint8_t code, char16_t c) {
    chars_[code] = c;
    if (c < latin_.size()) latin_[c] = static_cast<int8_t>(code);
    else others_.push_back({code, c});
  }

  std::array<char16_t, 128> chars_{};
  std::array<int8_t, 256> latin_ = [] {
    std::array<int8_t, 256> a{};
    a.fill(-1);
    return a;
  }();
  std::vector<TGsmRow> others_;
};

struct TGsmTables {
  // Indexed by TqvPduLanguage; a language without a table of a kind has the default one.
  std::array<TGsmTable, 4> basic{TGsmTable(kDefaultBasic), TGsmTable(kTurkishBasic), TGsmTable(kDefaultBasic),
                                 TGsmTable(kPortugueseBasic)};
  std::array<TGsmTable, 4> extension{TGsmTable(kDefaultExtension, {}),
                                     TGsmTable(kDefaultExtension, kTurkishExtension),
                                     TGsmTable(kDefaultExtension, kSpanishExtension),
                                     TGsmTable(kDefaultExtension, kPortugueseExtension)};
};

const TGsmTables& Tables() {
  static const TGsmTables tables;
  return tables;
}

const TGsmTable& BasicTable(TqvShiftTables t) { return Tables().basic[static_cast<size_t>(t.Locking)]; }
const TGsmTable& ExtensionTable(TqvShiftTables t) { return Tables().extension[static_cast<size_t>(t.Single)]; }

bool HasLockingTable(TqvPduLanguage l) { return l == TqvPduLanguage::plTurkish || l == TqvPduLanguage::plPortuguese; }

}  // namespace

std::u16string TextToSeptets(std::u16string_view text, TqvShiftTables tables) {
  const TGsmTable& basic = BasicTable(tables);
  const TGsmTable& extension = ExtensionTable(tables);
  std::u16string out;
  out.reserve(text.size());
  for (char16_t c : text) {
    if (const int code = basic.Code(c); code >= 0) {
      out.push_back(static_cast<char16_t>(code));
    } else if (const int ext = extension.Code(c); ext >= 0) {
      out.push_back(kEscape);
      out.push_back(static_cast<char16_t>(ext));
    } else {
      out.push_back(kUnknown);
    }
  }
  return out;
}

std::u16string SeptetsToText(std::u16string_view septets, TqvShiftTables tables) {
  const TGsmTable& basic = BasicTable(tables);
  const TGsmTable& extension = ExtensionTable(tables);
  // Written in place: never more characters than septets.
  std::u16string out(septets.size(), u'\0');
  size_t n = 0;
  bool escaped = false;
  for (char16_t unit : septets) {
    const char16_t b = unit & 0x7F;
    if (escaped) {
      escaped = false;
      // Escape escape is held for a further table: a space until there is one.
      if (b == kEscape) out[n++] = u' ';
      else if (const char16_t c = extension.Char(b); c != 0) out[n++] = c;
      else out[n++] = basic.Char(b);
    } else if (b == kEscape) {
      escaped = true;
    } else {
      out[n++] = basic.Char(b);
    }
  }
  out.resize(n);
  return out;
}

int SeptetCount(std::u16string_view text, TqvShiftTables tables) {
  const TGsmTable& basic = BasicTable(tables);
  const TGsmTable& extension = ExtensionTable(tables);
  int n = 0;
  for (char16_t c : text) {
    if (basic.Code(c) >= 0) n += 1;
    else if (extension.Code(c) >= 0) n += 2;
    else return -1;
  }
  return n;
}

TqvShiftTables ChooseShiftTables(std::u16string_view text, TqvPduLanguage language) {
  using enum TqvPduLanguage;
  if (language == plNone) return {};
  const TqvPduLanguage locking = HasLockingTable(language) ? language : plNone;
  // Cheapest first on a tie: fewer header elements.
  const TqvShiftTables candidates[] = {{plNone, plNone}, {plNone, language}, {locking, plNone}, {locking, language}};
  TqvShiftTables best;
  int bestBits = -1;
  for (const TqvShiftTables& t : candidates) {
    const int septets = SeptetCount(text, t);
    if (septets < 0) continue;
    const int elements = (t.Locking != plNone ? 1 : 0) + (t.Single != plNone ? 1 : 0);
    // Each element takes three octets, and the first one the header's length octet.
    const int bits = septets * 7 + (elements > 0 ? 8 + 24 * elements : 0);
    if (bestBits < 0 || bits < bestBits) {
      best = t;
      bestBits = bits;
    }
  }
  return best;
}

TqvPduCoding DetectCoding(std::u16string_view text, TqvPduLanguage language) {
  const TqvShiftTables tables = ChooseShiftTables(text, language);
  return SeptetCount(text, tables) >= 0 ? TqvPduCoding::pc7bit : TqvPduCoding::pc16bit;
}

}  // namespace qv
