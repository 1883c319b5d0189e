#include "qvgsmpdu.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "qvtext.h"

namespace qv {
namespace {

constexpr char16_t kHexDigits[] = u"0123456789ABCDEF";
constexpr char16_t kEscape = 0x1B;

// One row of a GSM table: a Unicode character and its code.
struct TGsmRow {
  char16_t ch;
  uint8_t code;
};

// Basic table: characters whose GSM code differs from their own value.
// Line feed, carriage return and ASCII characters with the same code have no
// row; the Greek capitals are deliberately absent.
constexpr TGsmRow kBasicRows[] = {
    {0x0040, 0x00}, {0x00A3, 0x01}, {0x0024, 0x02}, {0x00A5, 0x03}, {0x00E8, 0x04},
    {0x00E9, 0x05}, {0x00F9, 0x06}, {0x00EC, 0x07}, {0x00F2, 0x08}, {0x00C7, 0x09},
    {0x00D8, 0x0B}, {0x00F8, 0x0C}, {0x00C5, 0x0E}, {0x00E5, 0x0F}, {0x005F, 0x11},
    {0x00C6, 0x1C}, {0x00E6, 0x1D}, {0x00DF, 0x1E}, {0x00C9, 0x1F}, {0x00A4, 0x24},
    {0x00A1, 0x40}, {0x00C4, 0x5B}, {0x00D6, 0x5C}, {0x00D1, 0x5D}, {0x00DC, 0x5E},
    {0x00A7, 0x5F}, {0x00BF, 0x60}, {0x00E4, 0x7B}, {0x00F6, 0x7C}, {0x00F1, 0x7D},
    {0x00FC, 0x7E}, {0x00E0, 0x7F},
};

// Extension table: the code that follows the escape 0x1B. Code 0x65 stands
// for the currency sign, which the basic table claims first when encoding.
constexpr TGsmRow kExtensionRows[] = {
    {0x000C, 0x0A}, {0x005E, 0x14}, {0x007B, 0x28}, {0x007D, 0x29}, {0x005C, 0x2F},
    {0x005B, 0x3C}, {0x007E, 0x3D}, {0x005D, 0x3E}, {0x007C, 0x40}, {0x00A4, 0x65},
};

// Lookup tables built once from the rows above. Every tabled character is
// below U+0100, so a 256-entry index covers encoding.
struct TGsmTables {
  std::array<int16_t, 256> basicCode{};      // character -> code, -1 none
  std::array<int16_t, 256> extensionCode{};  // character -> extension code, -1 none
  std::array<char16_t, 128> basicChar{};     // code -> character
  std::array<char16_t, 128> extensionChar{}; // extension code -> character, 0 none

  TGsmTables() {
    basicCode.fill(-1);
    extensionCode.fill(-1);
    for (int c = 0; c < 128; ++c) basicChar[c] = static_cast<char16_t>(c);
    for (const auto& r : kBasicRows) {
      basicCode[r.ch] = r.code;
      basicChar[r.code] = r.ch;
    }
    for (const auto& r : kExtensionRows) {
      extensionCode[r.ch] = r.code;
      extensionChar[r.code] = r.ch;
    }
  }
};

const TGsmTables& Tables() {
  static const TGsmTables tables;
  return tables;
}

int HexDigitValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

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
  out.reserve(out.size() + (n * 7 / 8 + 1) * 2);
  for (size_t i = 1; i <= n; ++i) {
    const unsigned c = (i + static_cast<unsigned>(offset)) & 7;
    if (c == 0) continue;  // its bits all went into the previous octet
    AppendHex2(out, ((unit(i) >> (c - 1)) | (unit(i + 1) << (8 - c))) & 0xFF);
  }
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

void AppendAddress(std::u16string& out, std::u16string_view address, bool isServiceCentre) {
  if (IsPhoneNumber(address)) {
    const bool international = !address.empty() && address.front() == u'+';
    const std::u16string_view digits = international ? address.substr(1) : address;
    const size_t n = digits.size();
    if (n == 0) {
      out += u"00";
      return;
    }
    AppendHex2(out, isServiceCentre ? static_cast<unsigned>(n / 2 + n % 2 + 1) : static_cast<unsigned>(n));
    out += international ? u"91" : u"81";
    for (size_t i = 0; i < n; i += 2) {
      out.push_back(i + 1 < n ? digits[i + 1] : u'F');
      out.push_back(digits[i]);
    }
    return;
  }
  std::u16string packed;
  AppendPackedSeptets(packed, TextToSeptets(address), 0, false);
  // The length counts every semi-octet of the packed field ("Test" gives 08).
  AppendHex2(out, static_cast<unsigned>(packed.size()));
  out += u"D0";
  out += packed;
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

// Part lengths by coding (septets for 7-bit, octets for 8-bit, characters for UCS2).
constexpr int kPartLength[] = {70, 160, 140, 70};
// Validity period format bits of the first octet, by TqvPduTTL.
constexpr uint8_t kTTLBits[] = {0x00, 0x10, 0x08, 0x18};
constexpr int kMaxParts = 255;
constexpr int kMaxUserDataOctets = 140;

int CodingIndex(TqvPduCoding c) { return static_cast<int>(c); }

// Header octets (length octet included) for a port element and an optional
// concatenation element.
int HeaderOctets(TqvPduPort port, bool concatenated) {
  int h = port == TqvPduPort::pp8bit ? 4 : port == TqvPduPort::pp16bit ? 6 : 0;
  if (concatenated) h += 5;
  return h == 0 ? 0 : h + 1;
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

std::u16string TextToSeptets(std::u16string_view text) {
  const auto& t = Tables();
  std::u16string out;
  out.reserve(text.size());
  for (char16_t c : text) {
    if (c < 256 && t.basicCode[c] >= 0) {
      out.push_back(static_cast<char16_t>(t.basicCode[c]));
    } else if (c < 256 && t.extensionCode[c] >= 0) {
      out.push_back(kEscape);
      out.push_back(static_cast<char16_t>(t.extensionCode[c]));
    } else {
      out.push_back(c);  // reduced to seven bits when packed
    }
  }
  return out;
}

std::u16string SeptetsToText(std::u16string_view septets) {
  const auto& t = Tables();
  std::u16string out;
  out.reserve(septets.size());
  bool escaped = false;
  for (char16_t b : septets) {
    if (escaped) {
      escaped = false;
      if (b < 128 && t.extensionChar[b] != 0) out.push_back(t.extensionChar[b]);
    } else if (b == kEscape) {
      escaped = true;
    } else {
      out.push_back(b < 128 ? t.basicChar[b] : b);
    }
  }
  return out;
}

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
  const size_t wanted = static_cast<size_t>(count) + (offset != 0 ? 1 : 0);
  out.reserve(std::min(wanted, hex.size() * 4 / 7 + 2));
  unsigned prev = 0;
  size_t p = pos < 1 ? 1 : pos;
  for (unsigned k = 1; p <= hex.size() && out.size() < wanted; ++k) {
    const unsigned c = (k + static_cast<unsigned>(offset)) & 7;
    if (c == 0) continue;
    const unsigned b = HexToOctet(hex, p);
    out.push_back(static_cast<char16_t>(((((0xFFu >> c) & b) << 8 | prev) >> (9 - c)) & 0xFF));
    prev = b;
    if (c == 7 && out.size() < wanted) {
      out.push_back(static_cast<char16_t>(b >> 1));
      prev = 0;
    }
    p += 2;
  }
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
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c >= u'0' && c <= u'9') continue;
    if (c == u'+' && i == 0) continue;
    return false;
  }
  return true;
}

TqvPduCoding DetectCoding(std::u16string_view text) {
  bool eightBit = false;
  for (char16_t c : text) {
    if (c > 0xFF) return TqvPduCoding::pc16bit;
    if (c & 0x80) eightBit = true;
  }
  return eightBit ? TqvPduCoding::pc8bit : TqvPduCoding::pc7bit;
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
  if ((type & 0x70) == 0x10) out.push_back(u'+');  // international number
  const size_t end = std::min(hex.size() + 1, pos + static_cast<size_t>(len));
  for (size_t p = std::max<size_t>(pos, 1); p + 1 < end; p += 2) {
    const char16_t x = hex[p - 1], y = hex[p];
    out.push_back(y);
    if (x == u'F') break;
    out.push_back(x);
  }
  if (out.size() == 1 && out[0] == u'+') out.clear();
  return out;
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

// A user-data header as it is written: at most 12 octets.
struct TqvPduSms::Header {
  std::array<uint8_t, 12> octets{};
  int size = 0;
  void Add(unsigned v) { octets[static_cast<size_t>(size++)] = static_cast<uint8_t>(v); }
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
  fIsEmpty = true;
  fAutoCutText = false;
  fReportStatus = 0;
  fRefId = 0;
  fReport = false;
  fAlert = false;
  fPortType = TqvPduPort::ppNone;
  fPortSrc = 0;
  fPortDest = 0;
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
  // The text is cut with the source's coding, so that the septets and the
  // part count always agree with the coding copied below.
  fCoding = coding;
  fCodingFixed = true;
  SetText(aSrc->fText);
  fCodingFixed = codingFixed;
  fReport = aSrc->fReport;
  fAlert = aSrc->fAlert;
  fPortType = aSrc->fPortType;
  fPortSrc = aSrc->fPortSrc;
  fPortDest = aSrc->fPortDest;
  fCoding = coding;
}

void TqvPduSms::SetCoding(TqvPduCoding v) {
  fCoding = v;
  fCodingFixed = v != TqvPduCoding::pcAuto;
  // Set after the text, the coding still has to find septets to send.
  if (fCodingFixed && !fText.empty()) {
    if (v == TqvPduCoding::pc7bit) fText7bit = TextToSeptets(fText);
    SplitIntoParts();
  }
}

void TqvPduSms::SetText(std::u16string_view t) {
  fText.assign(t.data(), t.size());  // assign copes with t aliasing fText
  fIsEmpty = fText.empty();
  if (!fCodingFixed || fCoding == TqvPduCoding::pcAuto) fCoding = DetectCoding(fText);
  if (fCoding == TqvPduCoding::pc7bit) fText7bit = TextToSeptets(fText);
  SplitIntoParts();
}

std::u16string_view TqvPduSms::CodedText() const {
  return fCoding == TqvPduCoding::pc7bit ? std::u16string_view(fText7bit) : std::u16string_view(fText);
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
  if (s.size() <= static_cast<size_t>(PartLength(HeaderOctets(fPortType, false)))) {
    fPartCount = 1;
    return;
  }
  fPartMaxLen -= b == 0 ? 6 : 5;
  const int len = PartLength(HeaderOctets(fPortType, true));
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
    h.Add(0x04);
    h.Add(0x02);
    h.Add(static_cast<unsigned>(fPortDest) & 0xFF);
    h.Add(static_cast<unsigned>(fPortSrc) & 0xFF);
  } else if (fPortType == TqvPduPort::pp16bit) {
    h.Add(0x05);
    h.Add(0x04);
    h.Add(static_cast<unsigned>(fPortDest) >> 8 & 0xFF);
    h.Add(static_cast<unsigned>(fPortDest) & 0xFF);
    h.Add(static_cast<unsigned>(fPortSrc) >> 8 & 0xFF);
    h.Add(static_cast<unsigned>(fPortSrc) & 0xFF);
  }
  if (fPartCount > 1) {
    h.Add(0x00);
    h.Add(0x03);
    h.Add(static_cast<unsigned>(fPartId) & 0xFF);
    h.Add(static_cast<unsigned>(fPartCount) & 0xFF);
    h.Add(static_cast<unsigned>(fPartNumber) & 0xFF);
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
  }
  if (fConfirm) f |= 0x20;
  if (!fIsHeader) fIsHeader = fPartCount > 1 || fPortType != TqvPduPort::ppNone;
  return f;
}

void TqvPduSms::AppendTimeField(std::u16string& r, double v, bool absolute) const {
  if (!absolute) {
    int b;
    if (v < 1.0 / 288) b = 0;
    else if (v < 0.5) b = static_cast<int>(std::trunc(v * 288)) - 1;
    else if (v < 2) b = static_cast<int>(std::trunc((v - 0.5) * 48)) + 143;
    else if (v < 31) b = static_cast<int>(std::trunc(v)) + 166;
    else b = static_cast<int>(std::min(std::trunc(v / 7) + 192, 255.0));
    AppendHex2(r, static_cast<unsigned>(b));
    return;
  }
  const TqvDateParts p = PduDateParts(v);
  const int values[] = {p.Year, p.Month, p.Day, p.Hour, p.Minute, p.Second};
  for (int value : values) {
    const int x = value % 100;
    r.push_back(kHexDigits[x % 10]);
    r.push_back(kHexDigits[x / 10]);
  }
  // Time zone in quarter hours; bit 3 of the tens digit marks west of Greenwich.
  const int quarters = std::min(std::abs(fGmt) * 4, 79);
  r.push_back(kHexDigits[quarters % 10]);
  r.push_back(kHexDigits[quarters / 10 | (fGmt < 0 ? 8 : 0)]);
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
    AppendTimeField(r, fDateTime, true);
    AppendTimeField(r, fReportDateTime, true);
    AppendHex2(r, fReportStatus);
    fIsEmpty = false;
    return r;
  }
  r += u"00";  // TP-PID
  AppendHex2(r, (fAlert ? 0x10u : 0x00u) | (fCoding == TqvPduCoding::pc7bit   ? 0x00u
                                            : fCoding == TqvPduCoding::pc8bit ? 0x04u
                                                                              : 0x08u));
  if (fIncoming) AppendTimeField(r, fDateTime, true);
  else if (fTTLType != TqvPduTTL::ttlNone) AppendTimeField(r, fTTLValue, fTTLType != TqvPduTTL::ttlOffset);
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

double TqvPduSms::ReadTimeField(std::u16string_view s, size_t& q) {
  if (fIncoming || fTTLType == TqvPduTTL::ttlExt || fTTLType == TqvPduTTL::ttlAbs) {
    int v[6];
    for (int& x : v) {
      x = SwappedBcdValue(HexToOctet(s, q));
      q += 2;
    }
    const uint8_t zone = HexToOctet(s, q);
    q += 2;
    const int quarters = (zone & 0x07) * 10 + (zone >> 4);
    fGmt = (zone & 0x08) ? -(quarters / 4) : quarters / 4;
    TqvDateParts p;
    p.Year = v[0] <= 90 ? 2000 + v[0] : 1900 + v[0];
    p.Month = v[1];
    p.Day = v[2];
    p.Hour = v[3];
    p.Minute = v[4];
    p.Second = v[5];
    return PduDateTime(p);
  }
  if (fTTLType == TqvPduTTL::ttlOffset) {
    const int b = HexToOctet(s, q);
    q += 2;
    if (b <= 143) return (b + 1) / 288.0;
    if (b <= 167) return (b - 143) / 48.0 + 0.5;
    if (b <= 196) return b - 166;
    return (b - 192) * 7.0;
  }
  return 0;
}

void TqvPduSms::ReadUserDataHeader(std::u16string_view s, size_t q) {
  const size_t e = q + 2 + 2 * static_cast<size_t>(HexToOctet(s, q));
  for (size_t p = q + 2; p < e;) {
    const uint8_t id = HexToOctet(s, p);
    auto at = [&](size_t offset) -> int { return HexToOctet(s, p + offset); };
    switch (id) {
      case 0x00:  // concatenation, 8-bit reference
        fPartId = at(4);
        fPartCount = at(6);
        fPartNumber = at(8);
        p += 10;
        break;
      case 0x08:  // concatenation, 16-bit reference
        fPartId = at(4) * 256 + at(6);
        fPartCount = at(8);
        fPartNumber = at(10);
        p += 12;
        break;
      case 0x04:
        fPortType = TqvPduPort::pp8bit;
        fPortDest = at(4);
        fPortSrc = at(6);
        p += 8;
        break;
      case 0x05:
        fPortType = TqvPduPort::pp16bit;
        fPortDest = at(4) * 256 + at(6);
        fPortSrc = at(8) * 256 + at(10);
        p += 12;
        break;
      default:
        p += 4 + 2 * static_cast<size_t>(at(2));
        break;
    }
  }
}

void TqvPduSms::ReadUserText(std::u16string_view s, size_t q, int udl, int headerOctets) {
  switch (fCoding) {
    case TqvPduCoding::pc8bit:
      fText = Hex8bitToTextLimited(s, q, static_cast<size_t>(std::max(udl - headerOctets, 0)));
      break;
    case TqvPduCoding::pc16bit:
      fText = Ucs2HexToTextLimited(s, q, static_cast<size_t>(std::max(udl - headerOctets, 0)) / 2);
      break;
    default:
      fText7bit = UnpackSeptets(s, q, udl - (headerOctets * 8 + 6) / 7, headerOctets % 7);
      fText = SeptetsToText(fText7bit);
      break;
  }
}

void TqvPduSms::SetAsPDU(std::u16string_view pdu) {
  Clear();
  fError = true;  // until the walk below succeeds
  fCodingFixed = false;

  std::u16string s = Trimmed(pdu);
  for (char16_t& c : s)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
  if (s.starts_with(u"000000FF")) s.erase(0, 8);
  if (s.size() < 4) return;
  const std::u16string_view v(s);
  auto octet = [&](size_t pos) { return HexToOctet(v, pos); };

  size_t q = 3;
  if (const uint8_t n = octet(1); n != 0 && n < v.size()) {
    fServiceCenter = DecodeAddress(v, 5, (n - 1) * 2, octet(3));
    q = 5 + static_cast<size_t>(n - 1) * 2;
  }

  ReadFirstOctet(octet(q));
  q += 2;

  if (!fIncoming || fReport) {
    fRefId = octet(q);
    q += 2;
  }

  if (const uint8_t n = octet(q); n == 0) {
    q += 4;
  } else if (n < v.size()) {
    const int count = n + (n & 1);
    const uint8_t type = octet(q + 2);
    fPhone = DecodeAddress(v, q + 4, (type & 0xD0) == 0xD0 ? n : count, type);
    q += 4 + static_cast<size_t>(count);
  }

  if (!fReport) {
    fPID = octet(q);
    fDCS = octet(q + 2);
    q += 4;
  }
  fAlert = (fDCS & 0x10) != 0;

  const double stamp = ReadTimeField(v, q);
  if (fIncoming) fDateTime = stamp;
  else fTTLValue = stamp;

  if (fIncoming && fReport) {
    fReportDateTime = ReadTimeField(v, q);
    fReportStatus = octet(q);
    q += 2;
    if (q >= v.size()) {
      fError = false;
      fIsEmpty = false;
      return;
    }
  }

  ReadUserData(v, q);
  fError = false;
  fIsEmpty = false;
}

void TqvPduSms::ReadFirstOctet(uint8_t f) {
  fFo = f;
  fIncoming = (f & 0x03) == 0x03 || (f & 0x01) == 0;  // DELIVER 00, status report 10
  fIsHeader = (f & 0x40) != 0;
  fReport = (f & 0x02) != 0;
  fConfirm = (f & 0x20) != 0;
  fNotLast = (f & 0x04) == 0;
  fTTLType = (f & 0x18) == 0x18 ? TqvPduTTL::ttlAbs
             : (f & 0x08)       ? TqvPduTTL::ttlExt
             : (f & 0x10)       ? TqvPduTTL::ttlOffset
                                : TqvPduTTL::ttlNone;
}

// TP-UDL, the user-data header and the text, from position q.
void TqvPduSms::ReadUserData(std::u16string_view s, size_t q) {
  switch (fDCS & 0x0C) {
    case 0x04: fCoding = TqvPduCoding::pc8bit; break;
    case 0x08: fCoding = TqvPduCoding::pc16bit; break;
    default: fCoding = TqvPduCoding::pc7bit; break;
  }
  const int udl = HexToOctet(s, q);
  q += 2;
  int headerOctets = 0;
  if (fIsHeader) {
    headerOctets = HexToOctet(s, q) + 1;
    ReadUserDataHeader(s, q);
    q += 2 * static_cast<size_t>(headerOctets);
  }
  ReadUserText(s, q, udl, headerOctets);
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
