#include "qvsim_codec.h"

#include <algorithm>
#include <array>
#include <ctime>

namespace qvsim {

namespace {

constexpr char kDigits[] = "0123456789ABCDEF";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The GSM 03.38 default alphabet, septet value -> Unicode code point (0x1B is the escape).
constexpr std::array<char16_t, 128> kGsmBasic = {
    0x0040, 0x00A3, 0x0024, 0x00A5, 0x00E8, 0x00E9, 0x00F9, 0x00EC, 0x00F2, 0x00C7, 0x000A, 0x00D8,
    0x00F8, 0x000D, 0x00C5, 0x00E5, 0x0394, 0x005F, 0x03A6, 0x0393, 0x039B, 0x03A9, 0x03A0, 0x03A8,
    0x03A3, 0x0398, 0x039E, 0x001B, 0x00C6, 0x00E6, 0x00DF, 0x00C9, 0x0020, 0x0021, 0x0022, 0x0023,
    0x00A4, 0x0025, 0x0026, 0x0027, 0x0028, 0x0029, 0x002A, 0x002B, 0x002C, 0x002D, 0x002E, 0x002F,
    0x0030, 0x0031, 0x0032, 0x0033, 0x0034, 0x0035, 0x0036, 0x0037, 0x0038, 0x0039, 0x003A, 0x003B,
    0x003C, 0x003D, 0x003E, 0x003F, 0x00A1, 0x0041, 0x0042, 0x0043, 0x0044, 0x0045, 0x0046, 0x0047,
    0x0048, 0x0049, 0x004A, 0x004B, 0x004C, 0x004D, 0x004E, 0x004F, 0x0050, 0x0051, 0x0052, 0x0053,
    0x0054, 0x0055, 0x0056, 0x0057, 0x0058, 0x0059, 0x005A, 0x00C4, 0x00D6, 0x00D1, 0x00DC, 0x00A7,
    0x00BF, 0x0061, 0x0062, 0x0063, 0x0064, 0x0065, 0x0066, 0x0067, 0x0068, 0x0069, 0x006A, 0x006B,
    0x006C, 0x006D, 0x006E, 0x006F, 0x0070, 0x0071, 0x0072, 0x0073, 0x0074, 0x0075, 0x0076, 0x0077,
    0x0078, 0x0079, 0x007A, 0x00E4, 0x00F6, 0x00F1, 0x00FC, 0x00E0};

struct Extension {
  char septet;
  char16_t code;
};
constexpr std::array<Extension, 10> kGsmExtension = {{{0x0A, 0x000C}, {0x14, 0x005E}, {0x28, 0x007B},
                                                      {0x29, 0x007D}, {0x2F, 0x005C}, {0x3C, 0x005B},
                                                      {0x3D, 0x007E}, {0x3E, 0x005D}, {0x40, 0x007C},
                                                      {0x65, 0x20AC}}};

// Decodes UTF-8 into code points; malformed bytes are taken as Latin-1.
std::u32string DecodeUtf8(std::string_view s) {
  std::u32string out;
  for (size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    int extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 0;
    char32_t cp = extra == 3 ? b & 0x07 : extra == 2 ? b & 0x0F : extra == 1 ? b & 0x1F : b;
    bool ok = b < 0x80 || extra > 0;
    for (int k = 1; ok && k <= extra; ++k) {
      if (i + k >= s.size()) { ok = false; break; }
      const auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (c & 0x3F);
    }
    if (!ok) {
      out += static_cast<char32_t>(b);
      ++i;
    } else {
      out += cp;
      i += extra + 1;
    }
  }
  return out;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Phone number digits as swapped semi-octets, padded with F.
std::string SemiOctets(std::string_view digits) {
  std::string out;
  for (size_t i = 0; i < digits.size(); i += 2) {
    const char lo = digits[i];
    const char hi = i + 1 < digits.size() ? digits[i + 1] : 'F';
    out += hi;
    out += lo;
  }
  return out;
}

std::string Address(std::string_view number) {
  std::string out;
  const bool international = !number.empty() && number.front() == '+';
  std::string digits;
  bool numeric = true;
  for (char c : number.substr(international ? 1 : 0)) {
    if ((c >= '0' && c <= '9') || c == '*' || c == '#') {
      digits += c == '*' ? 'A' : c == '#' ? 'B' : c;
    } else {
      numeric = false;
    }
  }
  if (!numeric) {  // alphanumeric sender: packed septets, length in semi-octets
    auto septets = Utf8ToGsmSeptets(number).value_or("?");
    const std::string packed = PackSeptets(septets);
    out += kDigits[(packed.size() * 2) >> 4];
    out += kDigits[(packed.size() * 2) & 15];
    return out + "D0" + ToHex(packed);
  }
  out += kDigits[digits.size() >> 4];
  out += kDigits[digits.size() & 15];
  out += international ? "91" : "81";
  return out + SemiOctets(digits);
}

std::string Timestamp(int64_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  gmtime_r(&t, &tm);
  const int fields[] = {tm.tm_year % 100, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, 0};
  std::string out;
  for (int v : fields) {
    out += kDigits[v % 10];
    out += kDigits[v / 10];
  }
  return out;
}

std::string Octet(int v) {
  return std::string{kDigits[(v >> 4) & 15], kDigits[v & 15]};
}

}  // namespace

std::string ToHex(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (char c : bytes) out += Octet(static_cast<unsigned char>(c));
  return out;
}

std::optional<std::string> FromHex(std::string_view hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  std::string out;
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int hi = HexValue(hex[i]);
    const int lo = HexValue(hex[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out += static_cast<char>(hi * 16 + lo);
  }
  return out;
}

bool IsHex(std::string_view text) {
  for (char c : text) {
    if (HexValue(c) < 0) return false;
  }
  return true;
}

std::string Utf8ToUcs2Hex(std::string_view utf8) {
  std::string out;
  for (char32_t cp : DecodeUtf8(utf8)) {
    auto unit = [&out](unsigned v) {
      out += Octet(static_cast<int>(v >> 8));
      out += Octet(static_cast<int>(v & 0xFF));
    };
    if (cp >= 0x10000) {
      cp -= 0x10000;
      unit(0xD800 + (cp >> 10));
      unit(0xDC00 + (cp & 0x3FF));
    } else {
      unit(cp);
    }
  }
  return out;
}

std::optional<std::string> Ucs2HexToUtf8(std::string_view hex) {
  if (hex.size() % 4 != 0) return std::nullopt;
  const auto bytes = FromHex(hex);
  if (!bytes) return std::nullopt;
  std::string out;
  for (size_t i = 0; i + 1 < bytes->size(); i += 2) {
    char32_t u = (static_cast<unsigned char>((*bytes)[i]) << 8) | static_cast<unsigned char>((*bytes)[i + 1]);
    if (u >= 0xD800 && u < 0xDC00 && i + 3 < bytes->size()) {
      const char32_t low = (static_cast<unsigned char>((*bytes)[i + 2]) << 8) |
                           static_cast<unsigned char>((*bytes)[i + 3]);
      if (low >= 0xDC00 && low < 0xE000) {
        u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    AppendUtf8(out, u);
  }
  return out;
}

std::string Utf8ToLatin1(std::string_view utf8) {
  std::string out;
  for (char32_t cp : DecodeUtf8(utf8)) out += cp < 0x100 ? static_cast<char>(cp) : '?';
  return out;
}

std::string Latin1ToUtf8(std::string_view latin1) {
  std::string out;
  for (char c : latin1) AppendUtf8(out, static_cast<unsigned char>(c));
  return out;
}

std::optional<std::string> Utf8ToGsmSeptets(std::string_view utf8) {
  std::string out;
  for (char32_t cp : DecodeUtf8(utf8)) {
    bool found = false;
    for (size_t v = 0; v < kGsmBasic.size() && !found; ++v) {
      if (v != 0x1B && kGsmBasic[v] == cp) {
        out += static_cast<char>(v);
        found = true;
      }
    }
    for (const Extension& e : kGsmExtension) {
      if (!found && e.code == cp) {
        out += '\x1B';
        out += e.septet;
        found = true;
      }
    }
    if (!found) return std::nullopt;
  }
  return out;
}

std::string GsmSeptetsToUtf8(std::string_view septets) {
  std::string out;
  for (size_t i = 0; i < septets.size(); ++i) {
    const int v = septets[i] & 0x7F;
    if (v == 0x1B && i + 1 < septets.size()) {
      const char next = static_cast<char>(septets[++i] & 0x7F);
      char32_t cp = 0x20;
      for (const Extension& e : kGsmExtension) {
        if (e.septet == next) cp = e.code;
      }
      AppendUtf8(out, cp);
    } else {
      AppendUtf8(out, kGsmBasic[static_cast<size_t>(v)]);
    }
  }
  return out;
}

std::string PackSeptets(std::string_view septets) {
  std::string out;
  unsigned acc = 0;
  int bits = 0;
  for (char c : septets) {
    acc |= static_cast<unsigned>(c & 0x7F) << bits;
    bits += 7;
    while (bits >= 8) {
      out += static_cast<char>(acc & 0xFF);
      acc >>= 8;
      bits -= 8;
    }
  }
  if (bits > 0) out += static_cast<char>(acc & 0xFF);
  return out;
}

std::string UnpackSeptets(std::string_view octets, size_t count) {
  std::string out;
  unsigned acc = 0;
  int bits = 0;
  for (char c : octets) {
    acc |= static_cast<unsigned>(static_cast<unsigned char>(c)) << bits;
    bits += 8;
    while (bits >= 7 && out.size() < count) {
      out += static_cast<char>(acc & 0x7F);
      acc >>= 7;
      bits -= 7;
    }
  }
  return out;
}

std::string UssdPack(std::string_view utf8) {
  std::string septets = Utf8ToGsmSeptets(utf8).value_or(std::string(utf8.size(), '?'));
  // A trailing CR keeps a final empty septet from reading as '@' (3GPP TS 23.038, 6.1.2.3.1).
  if (septets.size() % 8 == 7) septets += '\r';
  return ToHex(PackSeptets(septets));
}

std::optional<std::string> UssdUnpack(std::string_view hex) {
  const auto octets = FromHex(hex);
  if (!octets) return std::nullopt;
  std::string septets = UnpackSeptets(*octets, octets->size() * 8 / 7);
  if (octets->size() % 7 == 0 && !septets.empty() && (septets.back() == '\r' || septets.back() == 0)) {
    septets.pop_back();
  }
  return GsmSeptetsToUtf8(septets);
}

std::string MakeDeliverPdu(std::string_view sender, std::string_view utf8, int64_t timestamp) {
  std::string pdu = "00";  // no service centre address
  pdu += "04";             // SMS-DELIVER, no more messages to send
  pdu += Address(sender);
  pdu += "00";  // protocol identifier
  if (auto septets = Utf8ToGsmSeptets(utf8)) {
    if (septets->size() > 160) septets->resize(160);
    if (!septets->empty() && septets->back() == '\x1B') septets->pop_back();
    pdu += "00" + Timestamp(timestamp) + Octet(static_cast<int>(septets->size()));
    pdu += ToHex(PackSeptets(*septets));
  } else {
    std::string ucs2 = Utf8ToUcs2Hex(utf8);
    if (ucs2.size() > 280) ucs2.resize(280);
    pdu += "08" + Timestamp(timestamp) + Octet(static_cast<int>(ucs2.size() / 2)) + ucs2;
  }
  return pdu;
}

namespace {

// One part of a concatenated DELIVER: its user data header (8-bit reference)
// and `body`, septets or UCS2 octets as `dcs` says.
std::string DeliverPart(std::string_view sender, int64_t timestamp, int reference, int total, int index,
                        std::string_view body, bool ucs2) {
  const std::string udh = {'\x05', '\x00', '\x03', static_cast<char>(reference & 0xFF), static_cast<char>(total),
                           static_cast<char>(index)};
  std::string pdu = "00";
  pdu += "44";  // SMS-DELIVER with a user data header
  pdu += Address(sender);
  pdu += "00";
  if (ucs2) {
    pdu += "08" + Timestamp(timestamp) + Octet(static_cast<int>(udh.size() + body.size())) + ToHex(udh) + ToHex(body);
    return pdu;
  }
  // The header's six octets take seven septets (one fill bit): pack seven
  // placeholders before the text and lay the header over them.
  std::string packed = PackSeptets(std::string(7, '\0') + std::string(body));
  packed.replace(0, udh.size(), udh);
  pdu += "00" + Timestamp(timestamp) + Octet(static_cast<int>(7 + body.size())) + ToHex(packed);
  return pdu;
}

// The text cut into pieces of at most `limit` units of `unit` bytes, never
// inside an escape pair (7-bit) or a surrogate pair (UCS2).
std::vector<std::string> CutText(std::string_view text, size_t limit, bool ucs2) {
  std::vector<std::string> pieces;
  const size_t unit = ucs2 ? 2 : 1;
  while (!text.empty()) {
    size_t n = std::min(text.size(), limit * unit);
    if (n < text.size()) {
      if (!ucs2 && text[n - 1] == '\x1B') --n;
      const auto high = static_cast<unsigned char>(text[n - 2]);
      if (ucs2 && high >= 0xD8 && high <= 0xDB) n -= 2;
    }
    pieces.emplace_back(text.substr(0, n));
    text.remove_prefix(n);
  }
  return pieces;
}

}  // namespace

std::vector<std::string> MakeDeliverPdus(std::string_view sender, std::string_view utf8, int64_t timestamp,
                                         int reference) {
  const std::optional<std::string> septets = Utf8ToGsmSeptets(utf8);
  const std::string body = septets ? *septets : FromHex(Utf8ToUcs2Hex(utf8)).value_or("");
  if (body.size() <= (septets ? 160u : 140u)) return {MakeDeliverPdu(sender, utf8, timestamp)};
  const std::vector<std::string> pieces = CutText(body, septets ? 153 : 67, !septets);
  std::vector<std::string> pdus;
  const int total = static_cast<int>(std::min<size_t>(pieces.size(), 255));
  for (int i = 0; i < total; ++i)
    pdus.push_back(DeliverPart(sender, timestamp, reference, total, i + 1, pieces[static_cast<size_t>(i)], !septets));
  return pdus;
}

std::string MakeStatusReportPdu(int reference, std::string_view recipient, int64_t timestamp) {
  std::string pdu = "00";
  pdu += "06";  // SMS-STATUS-REPORT
  pdu += Octet(reference & 0xFF);
  pdu += Address(recipient);
  pdu += Timestamp(timestamp);  // service centre time stamp
  pdu += Timestamp(timestamp);  // discharge time
  pdu += "00";                  // delivered
  return pdu;
}

int TpduLength(std::string_view pduHex) {
  if (pduHex.size() < 2 || pduHex.size() % 2 != 0 || !IsHex(pduHex)) return -1;
  const int smsc = HexValue(pduHex[0]) * 16 + HexValue(pduHex[1]);
  const int total = static_cast<int>(pduHex.size() / 2);
  return total - 1 - smsc >= 0 ? total - 1 - smsc : -1;
}

std::string Escape(std::string_view bytes) {
  std::string out;
  for (char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (b < 0x20 || b >= 0x7F) {
      out += "\\x" + Octet(b);
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace qvsim
