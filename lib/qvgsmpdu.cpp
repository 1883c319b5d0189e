#include "qvgsmpdu.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "qvtext.h"

namespace qv {
namespace {

constexpr char16_t kHexDigits[] = u"0123456789ABCDEF";
constexpr char16_t kEscape = 0x1B;
// Semi-octet values 0-14 of an address (TS 23.040 9.1.2.3); 15 is the filler.
constexpr std::u16string_view kSemiOctets = u"0123456789*#abc";

// Values of the upper-case hex digits, -1 for every other character below 128.
constexpr std::array<int8_t, 128> kHexValues = [] {
  std::array<int8_t, 128> v{};
  v.fill(-1);
  for (int d = 0; d < 10; ++d) v[static_cast<size_t>('0' + d)] = static_cast<int8_t>(d);
  for (int d = 0; d < 6; ++d) v[static_cast<size_t>('A' + d)] = static_cast<int8_t>(10 + d);
  return v;
}();

int HexDigitValue(char16_t c) { return c < kHexValues.size() ? kHexValues[c] : -1; }

void AppendHex2(std::u16string& out, unsigned v) {
  out.push_back(kHexDigits[(v >> 4) & 0xF]);
  out.push_back(kHexDigits[v & 0xF]);
}

void AppendHex4(std::u16string& out, unsigned v) {
  AppendHex2(out, (v >> 8) & 0xFF);
  AppendHex2(out, v & 0xFF);
}

// Packs (optionally a leading space and then) the septets s, LSB first, with
// the first septet at septet position offset+1 of a group of eight.
void AppendPackedSeptets(std::u16string& out, std::u16string_view s, int offset, bool leadingSpace) {
  const size_t n = s.size() + (leadingSpace ? 1 : 0);
  auto unit = [&](size_t i) -> unsigned {  // 1-based; 0 past the end
    if (i > n) return 0;
    if (leadingSpace) return i == 1 ? 0x20u : static_cast<unsigned>(s[i - 2] & 0x7F);
    return static_cast<unsigned>(s[i - 1] & 0x7F);
  };
  // Written in place: at most two digits a septet, trimmed to what was written.
  size_t w = out.size();
  out.resize(w + 2 * n);
  for (size_t i = 1; i <= n; ++i) {
    const unsigned c = (i + static_cast<unsigned>(offset)) & 7;
    if (c == 0) continue;  // its bits all went into the previous octet
    const unsigned octet = ((unit(i) >> (c - 1)) | (unit(i + 1) << (8 - c))) & 0xFF;
    out[w++] = kHexDigits[octet >> 4];
    out[w++] = kHexDigits[octet & 0xF];
  }
  out.resize(w);
}

// The 8-bit text of at most maxOctets octets from pos.
std::u16string Hex8bitToTextLimited(std::u16string_view hex, size_t pos, size_t maxOctets) {
  std::u16string out;
  if (pos < 1) pos = 1;
  out.reserve(std::min(maxOctets, (hex.size() + 1 - std::min(pos, hex.size() + 1)) / 2 + 1));
  for (size_t p = pos; p <= hex.size() && out.size() < maxOctets; p += 2)
    out.push_back(HexToOctet(hex, p));
  return out;
}

std::u16string Ucs2HexToTextLimited(std::u16string_view hex, size_t pos, size_t maxUnits) {
  std::u16string out;
  if (hex.size() < 2) return out;
  if (pos < 1) pos = 1;
  for (size_t p = pos; p <= hex.size() && out.size() < maxUnits; p += 4)
    out.push_back(static_cast<char16_t>(HexToOctet(hex, p) << 8 | HexToOctet(hex, p + 2)));
  return out;
}

// The value of an address character as a semi-octet; -1 for none.
int SemiOctetValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  const size_t v = kSemiOctets.find(c);
  return v == std::u16string_view::npos ? -1 : static_cast<int>(v);
}

// The semi-octet of an address character as a hex digit; the filler F for none.
char16_t SemiOctet(char16_t c) {
  const int v = SemiOctetValue(c);
  return v < 0 ? u'F' : kHexDigits[v];
}

void AppendAlphanumericAddress(std::u16string& out, std::u16string_view address, bool isServiceCentre) {
  std::u16string packed;
  AppendPackedSeptets(packed, TextToSeptets(address), 0, false);
  // A service centre's length counts octets, type included; any other
  // address's length counts every semi-octet of the packed field ("Test" gives 08).
  AppendHex2(out, static_cast<unsigned>(isServiceCentre ? packed.size() / 2 + 1 : packed.size()));
  out += u"D0";
  out += packed;
}

void AppendAddress(std::u16string& out, std::u16string_view address, bool isServiceCentre) {
  const bool international = address.starts_with(u'+');
  const std::u16string_view digits = international ? address.substr(1) : address;
  // A '+' with no digits is no number: written as text it stays a '+'.
  if (!IsPhoneNumber(address) || (international && digits.empty()))
    return AppendAlphanumericAddress(out, address, isServiceCentre);
  const size_t n = digits.size();
  if (n == 0 && isServiceCentre) {  // the modem's own service centre
    out += u"00";
    return;
  }
  AppendHex2(out, isServiceCentre ? static_cast<unsigned>(n / 2 + n % 2 + 1) : static_cast<unsigned>(n));
  out += international ? u"91" : u"81";
  for (size_t i = 0; i < n; i += 2) {
    out.push_back(SemiOctet(i + 1 < n ? digits[i + 1] : 0));
    out.push_back(SemiOctet(digits[i]));
  }
}

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (m <= 2));
}

constexpr int64_t kUnixEpochDay = 25569;  // 1970-01-01 as a day count since 1899-12-30
constexpr double kMSecsPerDay = 86400000.0;

bool IsLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeapYear(y) ? 29 : kDays[m - 1];
}

std::u16string Trimmed(std::u16string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && s[b] <= 32) ++b;
  while (e > b && s[e - 1] <= 32) --e;
  return std::u16string(s.substr(b, e - b));
}

// A seven-octet time stamp (TS 23.040 9.2.3.11): swapped BCD digits, the
// zone in quarters of an hour with bit 3 of its tens digit for west.
void AppendStamp(std::u16string& r, double v, int32_t zoneMinutes) {
  const TqvDateParts p = PduDateParts(v);
  const int values[] = {p.Year, p.Month, p.Day, p.Hour, p.Minute, p.Second};
  for (int value : values) {
    const int x = value % 100;
    r.push_back(kHexDigits[x % 10]);
    r.push_back(kHexDigits[x / 10]);
  }
  const int quarters = std::min(std::abs(zoneMinutes) / 15, 79);
  r.push_back(kHexDigits[quarters % 10]);
  r.push_back(kHexDigits[quarters / 10 | (zoneMinutes < 0 ? 8 : 0)]);
}

// TP-VP relative (TS 23.040 9.2.3.12.1): the duration in days of an octet,
// and the octet of the shortest step that is not shorter than a duration.
double RelativeValidityDays(uint8_t b) {
  if (b <= 143) return (b + 1) / 288.0;
  if (b <= 167) return (b - 143) / 48.0 + 0.5;
  if (b <= 196) return b - 166;
  return (b - 192) * 7.0;
}

uint8_t RelativeValidityOctet(double days) {
  // A duration that is a step already must not round up to the next one.
  auto steps = [](double x) { return std::ceil(x - 1e-9); };
  if (!(days > 0)) return 0;
  if (days <= 0.5) return static_cast<uint8_t>(std::max(steps(days * 288) - 1, 0.0));
  if (days <= 1) return static_cast<uint8_t>(143 + steps((days - 0.5) * 48));
  if (days <= 30) return static_cast<uint8_t>(166 + std::max(steps(days), 2.0));
  if (days <= 441) return static_cast<uint8_t>(192 + std::max(steps(days / 7), 5.0));
  return 255;
}

// TP-VP enhanced (TS 23.040 9.2.3.12.3): seven octets, a functionality
// indicator whose low three bits give the form of the value after it.
constexpr size_t kEnhancedOctets = 7;
constexpr uint8_t kVpNone = 0, kVpRelative = 1, kVpSeconds = 2, kVpHms = 3;

// Up to 255 seconds as seconds, longer durations in relative steps.
std::array<uint8_t, kEnhancedOctets> EnhancedValidity(double days) {
  std::array<uint8_t, kEnhancedOctets> o{};
  const double seconds = days * 86400;
  if (!(days > 0)) {
    o[0] = kVpNone;
  } else if (seconds <= 255) {
    o[0] = kVpSeconds;
    o[1] = static_cast<uint8_t>(std::max(std::ceil(seconds - 1e-6), 1.0));  // 0 is reserved
  } else {
    o[0] = kVpRelative;
    o[1] = RelativeValidityOctet(days);
  }
  return o;
}

double EnhancedValidityDays(const std::array<uint8_t, kEnhancedOctets>& o) {
  size_t i = 0;
  while ((o[i] & 0x80) && i + 1 < o.size()) ++i;  // the indicator's extension octets
  const uint8_t form = o[0] & 0x07;
  const size_t v = i + 1;
  auto at = [&](size_t k) -> uint8_t { return v + k < o.size() ? o[v + k] : 0; };
  switch (form) {
    case kVpRelative: return RelativeValidityDays(at(0));
    case kVpSeconds: return at(0) / 86400.0;
    case kVpHms:
      return (SwappedBcdValue(at(0)) * 3600 + SwappedBcdValue(at(1)) * 60 + SwappedBcdValue(at(2))) / 86400.0;
    default: return 0;  // none given, or a reserved form
  }
}

// Part lengths by coding (septets for 7-bit, octets for 8-bit, characters for UCS2).
constexpr int kPartLength[] = {70, 160, 140, 70};
// Validity period format bits of the first octet, by TqvPduTTL.
constexpr uint8_t kTTLBits[] = {0x00, 0x10, 0x08, 0x18};
constexpr int kMaxParts = 255;
constexpr int kMaxUserDataOctets = 140;
constexpr int kMaxUserDataSeptets = 160;
// Address values hold at most ten octets (TS 23.040 9.1.2.5).
constexpr unsigned kMaxAddressOctets = 10;

int CodingIndex(TqvPduCoding c) { return static_cast<int>(c); }

// Identifiers of the user-data header elements read and written here (TS 23.040 9.2.3.24).
constexpr uint8_t kIeConcat8 = 0x00, kIePorts8 = 0x04, kIePorts16 = 0x05, kIeConcat16 = 0x08,
                  kIeSingleShift = 0x24, kIeLockingShift = 0x25;

// The language of a national language identifier; plNone for the default
// (0) and for languages without tables here.
TqvPduLanguage LanguageOfId(uint8_t id) {
  return id >= 1 && id <= 3 ? static_cast<TqvPduLanguage>(id) : TqvPduLanguage::plNone;
}

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// End of the chunk of at most len units that starts at start. A chunk never
// ends between a 7-bit escape and its code, nor inside a surrogate pair.
size_t ChunkEnd(std::u16string_view s, size_t start, int len, TqvPduCoding coding) {
  const size_t n = s.size();
  const size_t limit = std::min(n, start + static_cast<size_t>(std::max(len, 1)));
  if (limit == n) return n;
  size_t i = start;
  while (i < limit) {
    size_t width = 1;
    if (i + 1 < n) {
      if (coding == TqvPduCoding::pc7bit) {
        if ((s[i] & 0x7F) == kEscape) width = 2;
      } else if (coding != TqvPduCoding::pc8bit) {
        if (IsHighSurrogate(s[i]) && IsLowSurrogate(s[i + 1])) width = 2;
      }
    }
    if (i + width > limit) return i == start ? i + width : i;
    i += width;
  }
  return i;
}

char16_t UpperAscii(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }

// Upper-cases s in place and, in the same pass, finds the first character
// that is no hex digit: its index, or npos.
size_t UpperCaseHex(std::u16string& s) {
  size_t bad = std::u16string::npos;
  for (size_t i = 0; i < s.size(); ++i) {
    s[i] = UpperAscii(s[i]);
    if (HexDigitValue(s[i]) < 0 && bad == std::u16string::npos) bad = i;
  }
  return bad;
}

}  // namespace

// --- Octet and character-set helpers ---

uint8_t HexToOctet(std::u16string_view hex, size_t pos) {
  if (pos < 1 || pos + 1 > hex.size()) return 0;
  const int hi = HexDigitValue(hex[pos - 1]);
  const int lo = HexDigitValue(hex[pos]);
  if (hi < 0 || lo < 0) return 0;
  return static_cast<uint8_t>(hi * 16 + lo);
}

int SwappedBcdValue(uint8_t octet) { return (octet & 0x0F) * 10 + (octet >> 4); }

std::u16string PackSeptets(std::u16string_view septets, int offset) {
  std::u16string out;
  AppendPackedSeptets(out, septets, offset & 7, false);
  return out;
}

std::u16string UnpackSeptets(std::u16string_view hex, size_t pos, int count, int offset) {
  std::u16string out;
  if (count <= 0) return out;
  offset &= 7;
  // With an offset the first septet produced is the fill position: dropped.
  const size_t wanted = std::min(static_cast<size_t>(count) + (offset != 0 ? 1 : 0), hex.size() * 4 / 7 + 2);
  // Written in place, trimmed to what the hex text held.
  out.resize(wanted);
  size_t n = 0;
  unsigned prev = 0;
  size_t p = pos < 1 ? 1 : pos;
  for (unsigned k = 1; p <= hex.size() && n < wanted; ++k) {
    const unsigned c = (k + static_cast<unsigned>(offset)) & 7;
    if (c == 0) continue;
    const unsigned b = HexToOctet(hex, p);
    out[n++] = static_cast<char16_t>(((((0xFFu >> c) & b) << 8 | prev) >> (9 - c)) & 0xFF);
    prev = b;
    if (c == 7 && n < wanted) {
      out[n++] = static_cast<char16_t>(b >> 1);
      prev = 0;
    }
    p += 2;
  }
  out.resize(n);
  if (offset != 0 && !out.empty()) out.erase(0, 1);
  return out;
}

std::u16string TextToUcs2Hex(std::u16string_view text) {
  std::u16string out;
  out.reserve(text.size() * 4);
  for (char16_t c : text) AppendHex4(out, c);
  return out;
}

std::u16string Ucs2HexToText(std::u16string_view hex, size_t pos) {
  return Ucs2HexToTextLimited(hex, pos, hex.size());
}

std::u16string SimUcs2HexToText(std::u16string_view hex, size_t pos) {
  if (hex.size() >= 2 && HexToOctet(hex, std::max<size_t>(pos, 1)) == 0x80) pos = std::max<size_t>(pos, 1) + 2;
  return Ucs2HexToText(hex, pos);
}

std::u16string TextTo8bitHex(std::u16string_view text) {
  std::u16string out;
  out.reserve(text.size() * 2);
  for (char16_t c : text) AppendHex2(out, c & 0xFF);
  return out;
}

std::u16string Hex8bitToText(std::u16string_view hex, size_t pos) {
  return Hex8bitToTextLimited(hex, pos, hex.size());
}

bool IsPhoneNumber(std::u16string_view text) {
  if (text.starts_with(u'+')) text.remove_prefix(1);
  return std::all_of(text.begin(), text.end(), [](char16_t c) { return SemiOctetValue(c) >= 0; });
}

std::u16string EncodeAddress(std::u16string_view address, bool isServiceCentre) {
  std::u16string out;
  AppendAddress(out, address, isServiceCentre);
  return out;
}

std::u16string DecodeAddress(std::u16string_view hex, size_t pos, int len, uint8_t type) {
  if (len <= 0) return {};
  if ((type & 0xD0) == 0xD0) {  // alphanumeric: len counts semi-octets
    std::u16string septets = UnpackSeptets(hex, pos, len * 4 / 7, 0);
    // Seven zero bits that end the last octet are its fill, not an '@':
    // "Testing" arrives as 0D (useful semi-octets) or 0E (every semi-octet).
    if (!septets.empty() && septets.size() % 8 == 0 && septets.back() == 0) septets.pop_back();
    return SeptetsToText(septets);
  }
  std::u16string out;
  out.reserve(static_cast<size_t>(len) + 1);
  if ((type & 0x70) == 0x10) out.push_back(u'+');  // international number
  const size_t first = std::max<size_t>(pos, 1) - 1;
  for (size_t i = 0; i < static_cast<size_t>(len); ++i) {
    const size_t at = first + (i ^ 1);  // the low nibble of each octet comes first
    if (at >= hex.size()) break;
    const int v = HexDigitValue(hex[at]);
    if (v == 0xF) continue;  // filler
    out.push_back(v < 0 ? hex[at] : kSemiOctets[static_cast<size_t>(v)]);
  }
  if (out == u"+") out.clear();
  return out;
}

TqvDcsInfo ReadDcs(uint8_t dcs) {
  TqvDcsInfo d;
  const auto classBits = static_cast<TqvPduClass>(1 + (dcs & 0x03));
  switch (dcs >> 4) {
    case 0x0: case 0x1: case 0x2: case 0x3:  // general data coding
    case 0x4: case 0x5: case 0x6: case 0x7:  // the same, marked for automatic deletion
      d.Compressed = (dcs & 0x20) != 0;
      if (dcs & 0x10) d.Class = classBits;
      if ((dcs & 0x0C) == 0x04) d.Coding = TqvPduCoding::pc8bit;
      else if ((dcs & 0x0C) == 0x08) d.Coding = TqvPduCoding::pc16bit;
      break;
    case 0xE:  // message waiting, store, UCS2
      d.Coding = TqvPduCoding::pc16bit;
      break;
    case 0xF:  // data coding and message class
      if (dcs & 0x04) d.Coding = TqvPduCoding::pc8bit;
      d.Class = classBits;
      break;
    default:  // message waiting (discard, store) in 7 bits; reserved groups
      break;
  }
  return d;
}

TqvCbsDcsInfo ReadCbsDcs(uint8_t dcs) {
  TqvCbsDcsInfo d;
  switch (dcs >> 4) {
    case 0x1:  // language indication before the text
      if (dcs == 0x10) d.Prefix = TqvCbsPrefix::cp7bitLanguage;
      if (dcs == 0x11) {
        d.Coding = TqvPduCoding::pc16bit;
        d.Prefix = TqvCbsPrefix::cpUcs2Language;
      }
      break;
    case 0x4: case 0x5: case 0x6: case 0x7:  // general data coding
      if ((dcs & 0x0C) == 0x04) d.Coding = TqvPduCoding::pc8bit;
      if ((dcs & 0x0C) == 0x08) d.Coding = TqvPduCoding::pc16bit;
      break;
    case 0xF:  // data coding and message class
      if (dcs & 0x04) d.Coding = TqvPduCoding::pc8bit;
      break;
    default:  // languages in the default alphabet, and reserved groups
      break;
  }
  return d;
}

std::u16string TextToUssd7bitHex(std::u16string_view text) {
  std::u16string septets = TextToSeptets(text);
  if (septets.size() % 8 == 7) septets += u'\r';
  return PackSeptets(septets, 0);
}

std::u16string Ussd7bitHexToText(std::u16string_view hex) {
  std::u16string upper(hex);
  UpperCaseHex(upper);
  const size_t octets = upper.size() / 2;
  std::u16string septets = UnpackSeptets(upper, 1, static_cast<int>(octets * 8 / 7), 0);
  if (octets % 7 == 0 && !septets.empty() && septets.back() == u'\r') septets.pop_back();
  return SeptetsToText(septets);
}

TqvPduStatus PduStatusFromStat(std::u16string_view stat) {
  std::u16string s = Trimmed(stat);
  if (s.size() >= 2 && s.front() == u'"' && s.back() == u'"') s = s.substr(1, s.size() - 2);
  for (char16_t& c : s) c = UpperAscii(c);
  static constexpr std::u16string_view kNames[] = {u"REC UNREAD", u"REC READ", u"STO UNSENT", u"STO SENT"};
  for (size_t i = 0; i < std::size(kNames); ++i)
    if (s == kNames[i] || s == std::u16string(1, static_cast<char16_t>(u'0' + i)))
      return static_cast<TqvPduStatus>(i + 1);
  return TqvPduStatus::psUnknown;
}

double ParseDateTimeText(std::u16string_view text) {
  const std::u16string s = Trimmed(text);
  auto field = [&](size_t pos1, size_t len) {
    if (pos1 - 1 >= s.size()) return -1;
    return StrToIntDef(std::u16string_view(s).substr(pos1 - 1, len), -1);
  };
  TqvDateParts parts;
  parts.Year = field(1, 4);
  parts.Month = field(6, 2);
  parts.Day = field(9, 2);
  parts.Hour = field(12, 2);
  parts.Minute = field(15, 2);
  if (parts.Year < 0 || parts.Month < 0 || parts.Day < 0 || parts.Hour < 0 || parts.Minute < 0) return 0;
  return PduDateTime(parts);
}

double PduDateTime(const TqvDateParts& p) {
  if (p.Year < 1 || p.Year > 9999 || p.Month < 1 || p.Month > 12) return 0;
  if (p.Day < 1 || p.Day > DaysInMonth(p.Year, p.Month)) return 0;
  if (p.Hour < 0 || p.Hour > 23 || p.Minute < 0 || p.Minute > 59 || p.Second < 0 || p.Second > 59 ||
      p.MSec < 0 || p.MSec > 999)
    return 0;
  const double days = static_cast<double>(
      DaysFromCivil(p.Year, static_cast<unsigned>(p.Month), static_cast<unsigned>(p.Day)) + kUnixEpochDay);
  const double time = (((p.Hour * 60.0 + p.Minute) * 60.0 + p.Second) * 1000.0 + p.MSec) / kMSecsPerDay;
  // Before 1899-12-30 the time of day still counts forwards from midnight.
  return days < 0 ? days - time : days + time;
}

TqvDateParts PduDateParts(double v) {
  TqvDateParts r;
  if (!std::isfinite(v) || std::fabs(v) > 3.0e6) return r;
  int64_t day = static_cast<int64_t>(std::trunc(v));
  int64_t ms = std::llround(std::fabs(v - static_cast<double>(day)) * kMSecsPerDay);
  if (ms >= 86400000) {
    ms -= 86400000;
    day += v < 0 ? -1 : 1;
  }
  CivilFromDays(day - kUnixEpochDay, r.Year, r.Month, r.Day);
  r.Hour = static_cast<int>(ms / 3600000);
  r.Minute = static_cast<int>(ms / 60000 % 60);
  r.Second = static_cast<int>(ms / 1000 % 60);
  r.MSec = static_cast<int>(ms % 1000);
  return r;
}

std::u16string PduDateTimeText(double v) {
  const TqvDateParts p = PduDateParts(v);
  return Format(u"%.4d-%.2d-%.2d %.2d:%.2d:%.2d",
                {int64_t{p.Year}, int64_t{p.Month}, int64_t{p.Day}, int64_t{p.Hour}, int64_t{p.Minute},
                 int64_t{p.Second}});
}

}  // namespace qv

// --- TqvPduSms ---

using namespace qv;

// A user-data header as it is written: at most 18 octets.
struct TqvPduSms::Header {
  std::array<uint8_t, 18> octets{};
  int size = 0;
  void Add(unsigned v) { octets[static_cast<size_t>(size++)] = static_cast<uint8_t>(v); }
};

// Reads a PDU hex text that has been checked to be an even number of hex digits.
class TqvPduSms::Reader {
 public:
  explicit Reader(std::u16string_view hex) : hex_(hex) {}
  std::u16string_view Hex() const { return hex_; }
  // 1-based character position and octet number of the next octet.
  size_t Pos() const { return pos_; }
  size_t OctetNumber() const { return (pos_ + 1) / 2; }
  size_t Left() const { return (hex_.size() + 1 - pos_) / 2; }
  uint8_t Peek(size_t k = 0) const { return HexToOctet(hex_, pos_ + 2 * k); }
  uint8_t Next() {
    const uint8_t o = Peek();
    pos_ += 2;
    return o;
  }
  void Skip(size_t octets) { pos_ += 2 * octets; }
  // Only padding is left: nothing, or octets FF (the rest of a SIM record).
  bool AtPadding() const {
    return std::all_of(hex_.begin() + static_cast<std::ptrdiff_t>(pos_ - 1), hex_.end(),
                       [](char16_t c) { return c == u'F'; });
  }

 private:
  std::u16string_view hex_;
  size_t pos_ = 1;
};

TqvPduSms::TqvPduSms(bool aIncoming) {
  Clear();
  fIncoming = aIncoming;
  fCoding = TqvPduCoding::pcAuto;
  if (!aIncoming) {
    fTTLType = TqvPduTTL::ttlOffset;
    fTTLValue = 4.0;
  }
}

void TqvPduSms::Clear() {
  fPhone.clear();
  fServiceCenter.clear();
  fText.clear();
  fDateTime = 0;
  fPartCount = 1;
  fPartNumber = 1;
  fPartId = 0;
  fPartIdBits = 0;
  fIsEmpty = true;
  fAutoCutText = false;
  fReportStatus = 0;
  fRefId = 0;
  fReport = false;
  fClass = TqvPduClass::mcNone;
  fPortType = TqvPduPort::ppNone;
  fPortSrc = 0;
  fPortDest = 0;
  fStoredStatus = TqvPduStatus::psUnknown;
  if (fTextRefused) {  // the refused text is gone, and so is its error
    fTextRefused = false;
    fError = false;
  }
}

void TqvPduSms::Assign(const TqvPduSms* aSrc) {
  if (aSrc == nullptr) return;
  const TqvPduCoding coding = aSrc->fCoding;
  const bool codingFixed = aSrc->fCodingFixed;
  fPhone = aSrc->fPhone;
  fServiceCenter = aSrc->fServiceCenter;
  fDateTime = aSrc->fDateTime;
  // The text is cut with the source's coding and language, so that the
  // septets and the part count always agree with what is copied below.
  fCoding = coding;
  fCodingFixed = true;
  fLanguage = aSrc->fLanguage;
  SetText(aSrc->fText);
  fCodingFixed = codingFixed;
  fReport = aSrc->fReport;
  fClass = aSrc->fClass;
  fPortType = aSrc->fPortType;
  fPortSrc = aSrc->fPortSrc;
  fPortDest = aSrc->fPortDest;
  fCoding = coding;
}

void TqvPduSms::SetAlert(bool v) {
  if (v) fClass = TqvPduClass::mcClass0;
  else if (fClass == TqvPduClass::mcClass0) fClass = TqvPduClass::mcNone;
}

void TqvPduSms::SetCoding(TqvPduCoding v) {
  fCoding = v;
  fCodingFixed = v != TqvPduCoding::pcAuto;
  // Set after the text, the coding still has to find septets to send.
  if (fCodingFixed && !fText.empty()) ApplyText();
}

void TqvPduSms::SetLanguage(TqvPduLanguage v) {
  fLanguage = v;
  if (!fText.empty()) ApplyText();
}

void TqvPduSms::SetText(std::u16string_view t) {
  fText.assign(t.data(), t.size());  // assign copes with t aliasing fText
  fIsEmpty = fText.empty();
  ApplyText();
}

// Coding, septets and parts for the text in hand.
void TqvPduSms::ApplyText() {
  if (!fCodingFixed || fCoding == TqvPduCoding::pcAuto) fCoding = DetectCoding(fText, fLanguage);
  fShift = {};
  if (fCoding == TqvPduCoding::pc7bit) {
    fShift = ChooseShiftTables(fText, fLanguage);
    fText7bit = TextToSeptets(fText, fShift);
  }
  SplitIntoParts();
}

std::u16string_view TqvPduSms::CodedText() const {
  return fCoding == TqvPduCoding::pc7bit ? std::u16string_view(fText7bit) : std::u16string_view(fText);
}

// Header octets (length octet included) for the port element, the shift
// elements and, when asked, the concatenation element.
int TqvPduSms::HeaderOctets(bool concatenated) const {
  int h = fPortType == TqvPduPort::pp8bit ? 4 : fPortType == TqvPduPort::pp16bit ? 6 : 0;
  if (fShift.Locking != TqvPduLanguage::plNone) h += 3;
  if (fShift.Single != TqvPduLanguage::plNone) h += 3;
  if (concatenated) h += 5;
  return h == 0 ? 0 : h + 1;
}

// Units of text one part carries behind a header of headerOctets octets.
int TqvPduSms::PartLength(int headerOctets) const {
  int len = fPartMaxLen > 0 ? fPartMaxLen : kPartLength[CodingIndex(fCoding)];
  const int a = headerOctets % 7;
  int room;  // what fits beside the header in 140 octets of user data
  switch (fCoding) {
    case TqvPduCoding::pc7bit:
      if (a != 0) len += a - 7;
      room = (kMaxUserDataOctets * 8 - ((headerOctets * 8 + 6) / 7) * 7) / 7;
      break;
    case TqvPduCoding::pc8bit:
      room = kMaxUserDataOctets - headerOctets;
      break;
    default:
      room = (kMaxUserDataOctets - headerOctets) / 2;
      break;
  }
  return std::max(1, std::min(len, room));
}

void TqvPduSms::SplitIntoParts() {
  if (fTextRefused) {  // a new text or coding: judge it afresh
    fTextRefused = false;
    fError = false;
  }
  if (!fAutoCutText) return;
  const std::u16string_view s = CodedText();
  const int b = fPortType == TqvPduPort::pp8bit ? 5 : fPortType == TqvPduPort::pp16bit ? 7 : 0;
  fPartMaxLen = kPartLength[CodingIndex(fCoding)] - b;
  if (s.size() <= static_cast<size_t>(PartLength(HeaderOctets(false)))) {
    fPartCount = 1;
    return;
  }
  fPartMaxLen -= b == 0 ? 6 : 5;
  const int len = PartLength(HeaderOctets(true));
  int count = 0;
  for (size_t start = 0; start < s.size() && count <= kMaxParts; ++count)
    start = ChunkEnd(s, start, len, fCoding);
  if (count > kMaxParts) {
    // Too long for 8-bit part numbers: refuse rather than write a bad header.
    fTextRefused = true;
    fError = true;
    fPartCount = 1;
    return;
  }
  fPartCount = count;
}

TqvPduSms::Header TqvPduSms::BuildHeader() const {
  Header h;
  h.Add(0);  // length, filled in below
  if (fPortType == TqvPduPort::pp8bit) {
    h.Add(kIePorts8);
    h.Add(0x02);
    h.Add(static_cast<unsigned>(fPortDest) & 0xFF);
    h.Add(static_cast<unsigned>(fPortSrc) & 0xFF);
  } else if (fPortType == TqvPduPort::pp16bit) {
    h.Add(kIePorts16);
    h.Add(0x04);
    h.Add(static_cast<unsigned>(fPortDest) >> 8 & 0xFF);
    h.Add(static_cast<unsigned>(fPortDest) & 0xFF);
    h.Add(static_cast<unsigned>(fPortSrc) >> 8 & 0xFF);
    h.Add(static_cast<unsigned>(fPortSrc) & 0xFF);
  }
  if (fPartCount > 1) {
    h.Add(kIeConcat8);
    h.Add(0x03);
    h.Add(static_cast<unsigned>(fPartId) & 0xFF);
    h.Add(static_cast<unsigned>(fPartCount) & 0xFF);
    h.Add(static_cast<unsigned>(fPartNumber) & 0xFF);
  }
  // Every part names the tables its septets are written with.
  if (fShift.Single != TqvPduLanguage::plNone) {
    h.Add(kIeSingleShift);
    h.Add(0x01);
    h.Add(static_cast<unsigned>(fShift.Single));
  }
  if (fShift.Locking != TqvPduLanguage::plNone) {
    h.Add(kIeLockingShift);
    h.Add(0x01);
    h.Add(static_cast<unsigned>(fShift.Locking));
  }
  if (h.size == 1) h.size = 0;
  else h.octets[0] = static_cast<uint8_t>(h.size - 1);
  return h;
}

uint8_t TqvPduSms::FirstOctet() {
  uint8_t f = 0;
  if (fIncoming) {
    if (!fNotLast) f |= 0x04;
    if (fReport) f |= 0x02;
  } else {
    f = kTTLBits[static_cast<int>(fTTLType)] | 0x01;
    if (fRejectDuplicates) f |= 0x04;
  }
  if (fConfirm) f |= 0x20;
  if (!fIsHeader) fIsHeader = fPartCount > 1 || fPortType != TqvPduPort::ppNone || fShift != TqvShiftTables{};
  return f;
}

// General data coding: the class when there is one, then the alphabet.
uint8_t TqvPduSms::EncodedDcs() const {
  const unsigned cls = fClass == TqvPduClass::mcNone ? 0x00u : 0x10u | (static_cast<unsigned>(fClass) - 1);
  const unsigned alphabet = fCoding == TqvPduCoding::pc7bit ? 0x00u : fCoding == TqvPduCoding::pc8bit ? 0x04u : 0x08u;
  return static_cast<uint8_t>(cls | alphabet);
}

void TqvPduSms::AppendValidity(std::u16string& r) const {
  switch (fTTLType) {
    case TqvPduTTL::ttlOffset:
      AppendHex2(r, RelativeValidityOctet(fTTLValue));
      break;
    case TqvPduTTL::ttlExt:
      for (uint8_t o : EnhancedValidity(fTTLValue)) AppendHex2(r, o);
      break;
    case TqvPduTTL::ttlAbs:
      AppendStamp(r, fTTLValue, fGmtMinutes);
      break;
    case TqvPduTTL::ttlNone:
      break;
  }
}

std::u16string TqvPduSms::AsPDU() {
  std::u16string r;
  if (fTextRefused) return r;
  r.reserve(64 + 2 * kMaxUserDataOctets);
  AppendAddress(r, fServiceCenter, true);
  const Header h = BuildHeader();
  uint8_t first = FirstOctet();
  // TP-UDHI follows the header actually written: a flag left set from an
  // earlier part must not make the receiver read text as a header.
  if (fIsHeader && h.size > 0) first |= 0x40;
  AppendHex2(r, first);
  if (!fIncoming || fReport) AppendHex2(r, fRefId);
  AppendAddress(r, fPhone, false);
  if (fReport) {
    AppendStamp(r, fDateTime, fGmtMinutes);
    AppendStamp(r, fReportDateTime, fReportGmtMinutes);
    AppendHex2(r, fReportStatus);
    if (!fText.empty()) {
      r += u"0700";  // TP-PI: PID, DCS and user data follow; TP-PID
      AppendHex2(r, EncodedDcs());
      AppendUserData(r, h);
    }
    fIsEmpty = false;
    return r;
  }
  r += u"00";  // TP-PID
  AppendHex2(r, EncodedDcs());
  if (fIncoming) AppendStamp(r, fDateTime, fGmtMinutes);
  else AppendValidity(r);
  AppendUserData(r, h);
  fIsEmpty = false;
  return r;
}

// The units of the coded text that part PartNumber carries behind the header.
std::u16string_view TqvPduSms::PartChunk(int headerOctets) const {
  const std::u16string_view s = CodedText();
  const int len = PartLength(headerOctets);
  const int part = fAutoCutText ? std::max(fPartNumber, 1) : 1;
  size_t start = 0;
  for (int i = 1; i < part && start < s.size(); ++i) start = ChunkEnd(s, start, len, fCoding);
  const size_t end = start < s.size() ? ChunkEnd(s, start, len, fCoding) : start;
  return s.substr(start, end - start);
}

// TP-UDL, the header and the text of this part.
void TqvPduSms::AppendUserData(std::u16string& r, const Header& h) const {
  const std::u16string_view chunk = PartChunk(h.size);
  const size_t headerOctets = static_cast<size_t>(h.size);
  size_t udl;
  if (fCoding == TqvPduCoding::pc7bit) udl = (headerOctets * 8 + 6) / 7 + chunk.size();
  else if (fCoding == TqvPduCoding::pc8bit) udl = headerOctets + chunk.size();
  else udl = headerOctets + 2 * chunk.size();
  AppendHex2(r, udl & 0xFF);
  for (size_t i = 0; i < headerOctets; ++i) AppendHex2(r, h.octets[i]);

  if (fCoding == TqvPduCoding::pc7bit) {
    // After a header the text starts on a septet boundary: a leading space
    // stands in for the fill bits.
    const int a = h.size % 7;
    AppendPackedSeptets(r, chunk, a, a != 0);
  } else if (fCoding == TqvPduCoding::pc8bit) {
    for (char16_t c : chunk) AppendHex2(r, c & 0xFF);
  } else {
    for (char16_t c : chunk) AppendHex4(r, c);
  }
}

// --- Decoding ---

// Every field a PDU sets, back to how a PDU without it would leave it; the
// stored status, the tag and the part length are not the PDU's to set.
void TqvPduSms::ResetDecodedFields() {
  const TqvPduStatus status = fStoredStatus;
  Clear();
  fStoredStatus = status;
  fText7bit.clear();
  fGmt = fGmtMinutes = fReportGmtMinutes = 0;
  fFo = fPID = fDCS = 0;
  fCoding = TqvPduCoding::pc7bit;
  fCodingFixed = false;
  fConfirm = fIsHeader = fNotLast = fRejectDuplicates = false;
  fTTLType = TqvPduTTL::ttlNone;
  fTTLValue = 0;
  fReportDateTime = 0;
  fLanguage = TqvPduLanguage::plNone;
  fShift = {};
  fErrorReason.clear();
}

void TqvPduSms::SetAsPDU(std::u16string_view pdu) {
  ResetDecodedFields();
  fError = true;  // until the walk below succeeds
  std::u16string s = Trimmed(pdu);
  size_t bad = UpperCaseHex(s);
  if (s.starts_with(u"000000FF")) {
    s.erase(0, 8);
    if (bad != std::u16string::npos) bad -= 8;
  }
  if (s.empty()) {
    fErrorReason = u"empty PDU";
    return;
  }
  if (bad != std::u16string::npos) {
    fErrorReason = Format(u"not a hex digit at character %d", {int64_t(bad + 1)});
    return;
  }
  if (s.size() % 2 != 0) {
    fErrorReason = Format(u"odd number of hex digits (%d)", {int64_t(s.size())});
    return;
  }
  Reader r(s);
  if (!DecodeTpdu(r)) {
    fText.clear();
    fText7bit.clear();
    return;
  }
  fError = false;
  fIsEmpty = false;
}

bool TqvPduSms::Fail(std::u16string_view what, const Reader& r) {
  fErrorReason = Format(u"%s at octet %d", {std::u16string(what), int64_t(r.OctetNumber())});
  return false;
}

bool TqvPduSms::Need(const Reader& r, size_t octets, std::u16string_view what) {
  if (r.Left() >= octets) return true;
  return Fail(std::u16string(what) + u" runs past the end of the PDU", r);
}

bool TqvPduSms::DecodeTpdu(Reader& r) {
  if (!ReadServiceCentre(r) || !ReadFirstOctet(r)) return false;
  if (!fIncoming || fReport) {
    if (!Need(r, 1, u"message reference")) return false;
    fRefId = r.Next();
  }
  if (!ReadAddress(r)) return false;
  return fReport ? ReadReportTail(r) : ReadMessageTail(r);
}

// Length in octets, type and digits; length 0 leaves the modem's own centre.
bool TqvPduSms::ReadServiceCentre(Reader& r) {
  const uint8_t n = r.Peek();
  if (n > kMaxAddressOctets + 1) return Fail(u"service-centre address longer than 11 octets", r);
  if (!Need(r, 1u + n, u"service-centre address")) return false;
  r.Skip(1);
  if (n == 0) return true;
  const uint8_t type = r.Next();
  fServiceCenter = DecodeAddress(r.Hex(), r.Pos(), (n - 1) * 2, type);
  r.Skip(n - 1u);
  return true;
}

bool TqvPduSms::ReadFirstOctet(Reader& r) {
  if (!Need(r, 1, u"first octet")) return false;
  const uint8_t f = r.Peek();
  if ((f & 0x03) == 0x03) return Fail(u"reserved message type 11", r);
  r.Skip(1);
  fFo = f;
  fIncoming = (f & 0x01) == 0;  // DELIVER 00, status report 10
  fIsHeader = (f & 0x40) != 0;
  fReport = (f & 0x02) != 0;
  fConfirm = (f & 0x20) != 0;
  fNotLast = (f & 0x04) == 0;
  fRejectDuplicates = !fIncoming && (f & 0x04) != 0;
  fTTLType = (f & 0x18) == 0x18 ? TqvPduTTL::ttlAbs
             : (f & 0x08)       ? TqvPduTTL::ttlExt
             : (f & 0x10)       ? TqvPduTTL::ttlOffset
                                : TqvPduTTL::ttlNone;
  return true;
}

// Length in useful semi-octets, type and digits (TP-OA, TP-DA, TP-RA).
bool TqvPduSms::ReadAddress(Reader& r) {
  if (!Need(r, 2, u"address")) return false;
  const uint8_t n = r.Peek();
  if (n > 2 * kMaxAddressOctets) return Fail(u"address longer than 20 semi-octets", r);
  const size_t octets = (n + 1u) / 2;
  if (!Need(r, 2 + octets, u"address")) return false;
  r.Skip(1);
  const uint8_t type = r.Next();
  fPhone = DecodeAddress(r.Hex(), r.Pos(), n, type);
  r.Skip(octets);
  return true;
}

bool TqvPduSms::ReadStamp(Reader& r, std::u16string_view what, double& value, int32_t& zoneMinutes) {
  if (!Need(r, 7, what)) return false;
  int v[6];
  for (int& x : v) x = SwappedBcdValue(r.Next());
  const uint8_t zone = r.Next();
  const int quarters = (zone & 0x07) * 10 + (zone >> 4);
  zoneMinutes = (zone & 0x08) ? -quarters * 15 : quarters * 15;
  TqvDateParts p;
  p.Year = v[0] <= 90 ? 2000 + v[0] : 1900 + v[0];
  p.Month = v[1];
  p.Day = v[2];
  p.Hour = v[3];
  p.Minute = v[4];
  p.Second = v[5];
  value = PduDateTime(p);
  return true;
}

bool TqvPduSms::ReadValidity(Reader& r) {
  switch (fTTLType) {
    case TqvPduTTL::ttlOffset:
      if (!Need(r, 1, u"validity period")) return false;
      fTTLValue = RelativeValidityDays(r.Next());
      return true;
    case TqvPduTTL::ttlExt: {
      if (!Need(r, kEnhancedOctets, u"validity period")) return false;
      std::array<uint8_t, kEnhancedOctets> o{};
      for (uint8_t& x : o) x = r.Next();
      fTTLValue = EnhancedValidityDays(o);
      return true;
    }
    case TqvPduTTL::ttlAbs:
      return ReadStamp(r, u"validity period", fTTLValue, fGmtMinutes);
    case TqvPduTTL::ttlNone:
      return true;
  }
  return true;
}

// SMS-DELIVER and SMS-SUBMIT: PID, DCS, time stamp or validity, user data.
bool TqvPduSms::ReadMessageTail(Reader& r) {
  if (!Need(r, 2, u"protocol identifier and coding scheme")) return false;
  fPID = r.Next();
  TakeDcs(r.Next());
  if (fIncoming) {
    if (!ReadStamp(r, u"time stamp", fDateTime, fGmtMinutes)) return false;
  } else if (!ReadValidity(r)) {
    return false;
  }
  fGmt = fGmtMinutes / 60;
  return ReadUserData(r);
}

// Status report: time stamp, discharge time, status, then the parameters
// that TP-PI announces (TS 23.040 9.2.3.27).
bool TqvPduSms::ReadReportTail(Reader& r) {
  if (!ReadStamp(r, u"time stamp", fDateTime, fGmtMinutes) ||
      !ReadStamp(r, u"discharge time", fReportDateTime, fReportGmtMinutes) || !Need(r, 1, u"status"))
    return false;
  fGmt = fGmtMinutes / 60;
  fReportStatus = r.Next();
  if (r.AtPadding()) {
    fIsHeader = false;  // TP-UDHI speaks of user data there is none of
    return true;
  }
  const uint8_t pi = r.Next();
  for (uint8_t more = pi; more & 0x80; more = r.Next())  // extension octets, none defined
    if (!Need(r, 1, u"parameter indicator")) return false;
  if (pi & 0x01) {
    if (!Need(r, 1, u"protocol identifier")) return false;
    fPID = r.Next();
  }
  if (pi & 0x02) {
    if (!Need(r, 1, u"data coding scheme")) return false;
    TakeDcs(r.Next());
  }
  if (pi & 0x04) return ReadUserData(r);
  fIsHeader = false;
  return true;
}

void TqvPduSms::TakeDcs(uint8_t dcs) {
  const TqvDcsInfo d = ReadDcs(dcs);
  fDCS = dcs;
  fCoding = d.Coding;
  fClass = d.Class;
}

// TP-UDL, the user-data header and the text.
bool TqvPduSms::ReadUserData(Reader& r) {
  if (!Need(r, 1, u"user-data length")) return false;
  if ((fDCS & 0x20) != 0 && ReadDcs(fDCS).Compressed)
    return Fail(Format(u"compressed user data (coding scheme %.2X) is not supported", {uint64_t{fDCS}}), r);
  const int udl = r.Peek();
  const bool septets = fCoding == TqvPduCoding::pc7bit;
  if (udl > (septets ? kMaxUserDataSeptets : kMaxUserDataOctets))
    return Fail(Format(u"user-data length %d over the maximum", {int64_t{udl}}), r);
  const size_t octets = septets ? (static_cast<size_t>(udl) * 7 + 7) / 8 : static_cast<size_t>(udl);
  r.Skip(1);
  if (r.Left() < octets)
    return Fail(Format(u"user data runs past the end of the PDU (%d of %d octets)",
                       {int64_t(r.Left()), int64_t(octets)}), r);
  int headerOctets = 0;
  if (fIsHeader) {
    headerOctets = octets > 0 ? r.Peek() + 1 : 1;
    // The header and its fill bits must lie within the user data.
    if (static_cast<size_t>(headerOctets) > octets || (septets && (headerOctets * 8 + 6) / 7 > udl))
      return Fail(u"user-data header longer than the user data", r);
    if (!ReadUserDataHeader(r, static_cast<size_t>(headerOctets))) return false;
  }
  const std::u16string_view s = r.Hex();
  const size_t textOctets = octets - static_cast<size_t>(headerOctets);
  switch (fCoding) {
    case TqvPduCoding::pc8bit:
      fText = Hex8bitToTextLimited(s, r.Pos(), textOctets);
      break;
    case TqvPduCoding::pc16bit:
      fText = Ucs2HexToTextLimited(s, r.Pos(), textOctets / 2);
      break;
    default:
      fText7bit = UnpackSeptets(s, r.Pos(), udl - (headerOctets * 8 + 6) / 7, headerOctets % 7);
      fText = SeptetsToText(fText7bit, fShift);
      break;
  }
  r.Skip(textOctets);
  return true;
}

// The header of headerOctets octets (its length octet included) at r.
bool TqvPduSms::ReadUserDataHeader(Reader& r, size_t headerOctets) {
  r.Skip(1);
  for (size_t left = headerOctets - 1; left > 0;) {
    if (left < 2 || r.Peek(1) + 2u > left)
      return Fail(Format(u"user-data header element %.2X runs past the header", {uint64_t{r.Peek()}}), r);
    const uint8_t id = r.Next();
    const uint8_t size = r.Next();
    std::array<uint8_t, 255> data;  // only its first size octets are read
    for (size_t i = 0; i < size; ++i) data[i] = r.Next();
    ReadHeaderElement(id, data.data(), size);
    left -= 2u + size;
  }
  fLanguage = fShift.Locking != TqvPduLanguage::plNone ? fShift.Locking : fShift.Single;
  return true;
}

// An element the codec knows, of the size it should have; anything else is
// stepped over, as is a concatenation element whose numbers make no sense.
void TqvPduSms::ReadHeaderElement(uint8_t id, const uint8_t* d, size_t size) {
  auto concatenation = [&](int partId, int bits, uint8_t count, uint8_t number) {
    if (count == 0 || number == 0 || number > count) return;
    fPartId = partId;
    fPartIdBits = bits;
    fPartCount = count;
    fPartNumber = number;
  };
  if (id == kIeConcat8 && size == 3) {
    concatenation(d[0], 8, d[1], d[2]);
  } else if (id == kIeConcat16 && size == 4) {
    concatenation(d[0] * 256 + d[1], 16, d[2], d[3]);
  } else if (id == kIePorts8 && size == 2) {
    fPortType = TqvPduPort::pp8bit;
    fPortDest = d[0];
    fPortSrc = d[1];
  } else if (id == kIePorts16 && size == 4) {
    fPortType = TqvPduPort::pp16bit;
    fPortDest = d[0] * 256 + d[1];
    fPortSrc = d[2] * 256 + d[3];
  } else if (id == kIeSingleShift && size == 1) {
    fShift.Single = LanguageOfId(d[0]);
  } else if (id == kIeLockingShift && size == 1) {
    // There is no Spanish locking table: the default one stays.
    const TqvPduLanguage l = LanguageOfId(d[0]);
    fShift.Locking = l == TqvPduLanguage::plSpanish ? TqvPduLanguage::plNone : l;
  }
}

std::u16string TqvPduSms::ReportText() const {
  if (!fReport) return {};
  std::u16string r = u"REPORT: Sms is ";
  // TP-ST: 0x00-0x1F completed, 0x20-0x3F still being tried, above that failed.
  if (fReportStatus < 0x20) r += u"Delivered to ";
  else if (fReportStatus < 0x40) r += u"Pending to ";
  else r += u"Not Delivered to ";
  r += fPhone;
  r += u" at ";
  r += PduDateTimeText(fDateTime);
  if (fReportStatus >= 0x20) r += Format(u" (status %.2X)", {uint64_t{fReportStatus}});
  return r;
}
