#include "qvtext.h"

#include <array>
#include <type_traits>
#include <stdexcept>
#include <limits>

namespace qv {
namespace {

// Windows-1252 bytes 0x80..0x9F; 0 marks the five undefined positions, which
// map to the control characters of the same code, as the system's converter does.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char AnsiByte(char16_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<char>(c);
  for (size_t i = 0; i < kCp1252High.size(); ++i)
    if (kCp1252High[i] == c) return static_cast<char>(0x80 + i);
  return '?';
}

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

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

void AppendUtf16(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out += static_cast<char16_t>(cp);
  } else {
    cp -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (cp >> 10));
    out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
  }
}

int DigitValue(char32_t c, int base) {
  int v = -1;
  if (c >= '0' && c <= '9') v = static_cast<int>(c - '0');
  else if (c >= 'a' && c <= 'f') v = static_cast<int>(c - 'a' + 10);
  else if (c >= 'A' && c <= 'F') v = static_cast<int>(c - 'A' + 10);
  return v < base ? v : -1;
}

template <class Char>
int32_t ParseIntDef(std::basic_string_view<Char> s, int32_t def) {
  size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  int base = 10;
  if (i < s.size() && (s[i] == '$' || s[i] == 'x' || s[i] == 'X')) {
    base = 16;
    ++i;
  } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= s.size()) return def;
  int64_t value = 0;
  for (; i < s.size(); ++i) {
    int d = DigitValue(static_cast<char32_t>(s[i]), base);
    if (d < 0) return def;
    value = value * base + d;
    if (value > int64_t{std::numeric_limits<uint32_t>::max()} + 1) return def;
  }
  if (negative) value = -value;
  // Hexadecimal texts may spell the whole 32-bit pattern ($FFFFFFFF = -1).
  if (base == 16 && !negative && value > std::numeric_limits<int32_t>::max() &&
      value <= std::numeric_limits<uint32_t>::max())
    return static_cast<int32_t>(static_cast<uint32_t>(value));
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max())
    return def;
  return static_cast<int32_t>(value);
}

}  // namespace

std::u16string AnsiToString(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  for (unsigned char b : bytes)
    out += (b >= 0x80 && b < 0xA0) ? kCp1252High[b - 0x80] : static_cast<char16_t>(b);
  return out;
}

std::string StringToAnsi(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (IsHighSurrogate(text[i]) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      out += '?';
      ++i;
      continue;
    }
    out += AnsiByte(text[i]);
  }
  return out;
}

std::u16string BytesToString(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  for (unsigned char b : bytes) out += static_cast<char16_t>(b);
  return out;
}

std::string StringToBytes(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char16_t c : text) out += static_cast<char>(c & 0xFF);
  return out;
}

std::u16string Utf8ToString(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    unsigned char b = s[i];
    int extra = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : -1;
    char32_t cp = extra == 0 ? b : extra == 1 ? (b & 0x1F) : extra == 2 ? (b & 0x0F) : (b & 0x07);
    bool ok = extra >= 0;
    for (int k = 1; ok && k <= extra; ++k) {
      if (i + k >= s.size()) { ok = false; break; }
      unsigned char c = s[i + k];
      if ((c & 0xC0) != 0x80) ok = false;
      else cp = (cp << 6) | (c & 0x3F);
    }
    if (!ok || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      out += u'\uFFFD';
      ++i;
      continue;
    }
    AppendUtf16(out, cp);
    i += extra + 1;
  }
  return out;
}

std::string StringToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t cp = text[i];
    if (IsHighSurrogate(text[i]) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (IsHighSurrogate(text[i]) || IsLowSurrogate(text[i])) {
      cp = 0xFFFD;
    }
    AppendUtf8(out, cp);
  }
  return out;
}

int32_t StrToIntDef(std::u16string_view text, int32_t def) { return ParseIntDef(text, def); }
int32_t StrToIntDef(std::string_view text, int32_t def) { return ParseIntDef(text, def); }

std::u16string IntToStr(int64_t value) { return Utf8ToString(std::to_string(value)); }

namespace {

std::u16string Pad(std::u16string s, size_t width, bool left, char16_t fill) {
  if (s.size() >= width) return s;
  std::u16string padding(width - s.size(), fill);
  if (left) return s + std::u16string(width - s.size(), u' ');
  // Zero padding goes after a minus sign.
  if (fill == u'0' && !s.empty() && s[0] == u'-') return u"-" + padding + s.substr(1);
  return padding + s;
}

std::u16string ArgText(const TqvFmtArg& arg, char16_t conv) {
  auto integer = [&]() -> std::pair<bool, uint64_t> {  // negative?, magnitude
    if (auto* i = std::get_if<int64_t>(&arg)) {
      if (conv == u'd') return {*i < 0, *i < 0 ? 0 - static_cast<uint64_t>(*i) : static_cast<uint64_t>(*i)};
      return {false, static_cast<uint64_t>(*i) & 0xFFFFFFFFu};
    }
    if (auto* u = std::get_if<uint64_t>(&arg)) return {false, *u};
    if (auto* d = std::get_if<double>(&arg)) return {*d < 0, static_cast<uint64_t>(*d < 0 ? -*d : *d)};
    return {false, 0};
  };
  if (conv == u's') {
    if (auto* s = std::get_if<std::u16string>(&arg)) return *s;
    if (auto* d = std::get_if<double>(&arg)) return Utf8ToString(std::to_string(*d));
    auto [neg, mag] = integer();
    return (neg ? u"-" : u"") + Utf8ToString(std::to_string(mag));
  }
  auto [neg, mag] = integer();
  if (conv == u'x' || conv == u'X') {
    std::u16string digits;
    const char* set = conv == u'x' ? "0123456789abcdef" : "0123456789ABCDEF";
    do {
      digits.insert(digits.begin(), static_cast<char16_t>(set[mag & 15]));
      mag >>= 4;
    } while (mag);
    return digits;
  }
  return (neg ? u"-" : u"") + Utf8ToString(std::to_string(mag));
}

}  // namespace

namespace {

template <class Char>
std::basic_string_view<Char> TrimT(std::basic_string_view<Char> s) {
  auto blank = [](Char c) { return static_cast<uint32_t>(static_cast<std::make_unsigned_t<Char>>(c)) <= 0x20; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

template <class Char>
std::vector<std::basic_string_view<Char>> SplitLinesT(std::basic_string_view<Char> text) {
  std::vector<std::basic_string_view<Char>> lines;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != Char('\r') && text[i] != Char('\n')) continue;
    lines.push_back(text.substr(start, i - start));
    if (text[i] == Char('\r') && i + 1 < text.size() && text[i + 1] == Char('\n')) ++i;
    start = i + 1;
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

char16_t LowerAscii(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + (u'a' - u'A')) : c; }

}  // namespace

std::u16string_view TrimView(std::u16string_view s) { return TrimT(s); }
std::string_view TrimView(std::string_view s) { return TrimT(s); }

bool SameTextNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

std::u16string ReplaceTextNoCase(std::u16string_view text, std::u16string_view from, std::u16string_view to) {
  if (from.empty()) return std::u16string(text);
  std::u16string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    if (SameTextNoCase(text.substr(i, from.size()), from)) {
      out += to;
      i += from.size();
    } else {
      out += text[i++];
    }
  }
  return out;
}

std::vector<std::u16string_view> SplitLines(std::u16string_view text) { return SplitLinesT(text); }
std::vector<std::string_view> SplitLines(std::string_view text) { return SplitLinesT(text); }

std::u16string Format(std::u16string_view f, const std::vector<TqvFmtArg>& args) {
  std::u16string out;
  size_t next = 0;
  for (size_t i = 0; i < f.size(); ++i) {
    if (f[i] != u'%') {
      out += f[i];
      continue;
    }
    size_t j = i + 1;
    if (j < f.size() && f[j] == u'%') {
      out += u'%';
      i = j;
      continue;
    }
    bool left = false;
    char16_t fill = u' ';
    while (j < f.size() && (f[j] == u'-' || f[j] == u'0')) {
      if (f[j] == u'-') left = true; else fill = u'0';
      ++j;
    }
    size_t width = 0;
    while (j < f.size() && f[j] >= u'0' && f[j] <= u'9') width = width * 10 + (f[j++] - u'0');
    if (j < f.size() && f[j] == u'.') {  // precision on integers: minimum digits
      ++j;
      width = 0;
      fill = u'0';
      while (j < f.size() && f[j] >= u'0' && f[j] <= u'9') width = width * 10 + (f[j++] - u'0');
    }
    if (j >= f.size()) break;
    char16_t conv = f[j];
    if (conv == u'D' || conv == u'U' || conv == u'S') conv = static_cast<char16_t>(conv + 32);
    if (next >= args.size()) throw std::invalid_argument("Format: missing argument");
    out += Pad(ArgText(args[next++], conv), width, left, fill);
    i = j;
  }
  return out;
}

}  // namespace qv
