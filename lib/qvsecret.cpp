#include "qvsecret.h"

#include <algorithm>

#include "qvtext.h"

namespace qv {
namespace {

bool InSecret(size_t i, std::span<const TqvByteRange> secrets) {
  return std::any_of(secrets.begin(), secrets.end(),
                     [i](const TqvByteRange& r) { return i >= r.Offset && i - r.Offset < r.Length; });
}

// Adds byte i to the ranges, extending the last range when it ends at i.
void AddByte(std::vector<TqvByteRange>& ranges, size_t i) {
  if (!ranges.empty() && ranges.back().Offset + ranges.back().Length == i) ++ranges.back().Length;
  else ranges.push_back({i, 1});
}

}  // namespace

std::u16string HexDump(std::string_view bytes, std::span<const TqvByteRange> secrets) {
  static constexpr char16_t hex[] = u"0123456789ABCDEF";
  std::u16string out;
  out.reserve(bytes.size() * 3);
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i) out += u' ';
    if (InSecret(i, secrets)) {
      out += u"**";
    } else {
      const auto b = static_cast<unsigned char>(bytes[i]);
      out += hex[b >> 4];
      out += hex[b & 15];
    }
  }
  return out;
}

std::u16string MaskChars(std::u16string text, std::span<const TqvByteRange> secrets) {
  for (const TqvByteRange& r : secrets)
    for (size_t i = r.Offset; i < text.size() && i - r.Offset < r.Length; ++i) text[i] = u'*';
  return text;
}

std::u16string MaskedBytes(std::string_view bytes, std::span<const TqvByteRange> secrets) {
  return MaskChars(BytesToString(bytes), secrets);
}

void TqvSecretMask::MarkNextWrite(std::string_view line, std::string_view secret) {
  MarkNextWrite(line, std::vector<std::string>{std::string(secret)});
}

void TqvSecretMask::MarkNextWrite(std::string_view line, std::vector<std::string> secrets) {
  std::erase_if(secrets, [](const std::string& s) { return s.empty(); });
  std::lock_guard lock(fMutex);
  fMarkLine = line;
  fMarkSecrets = std::move(secrets);
}

std::vector<TqvByteRange> TqvSecretMask::ForWrite(std::string_view data) {
  std::lock_guard lock(fMutex);
  std::vector<TqvByteRange> ranges;
  fEcho.clear();
  fEchoSecret.clear();
  fEchoPos = 0;
  if (!fMarkSecrets.empty() && data == fMarkLine) {
    fEcho = fMarkLine;
    fEchoSecret.assign(fEcho.size(), false);
    for (const std::string& secret : fMarkSecrets)
      for (size_t p = fEcho.find(secret); p != std::string::npos; p = fEcho.find(secret, p + 1))
        std::fill_n(fEchoSecret.begin() + static_cast<std::ptrdiff_t>(p), secret.size(), true);
    for (size_t i = 0; i < fEcho.size(); ++i)
      if (fEchoSecret[i]) AddByte(ranges, i);
  }
  fMarkLine.clear();
  fMarkSecrets.clear();
  return ranges;
}

std::vector<TqvByteRange> TqvSecretMask::ForReceived(std::string_view data) {
  std::lock_guard lock(fMutex);
  std::vector<TqvByteRange> ranges;
  for (size_t i = 0; i < data.size() && !fEcho.empty(); ++i) {
    if (data[i] != fEcho[fEchoPos]) {
      // The echo starts again only with the line's first byte.
      fEchoPos = 0;
      if (data[i] != fEcho[0]) continue;
    }
    if (fEchoSecret[fEchoPos]) AddByte(ranges, i);
    if (++fEchoPos == fEcho.size()) {  // the whole echo came back
      fEcho.clear();
      fEchoSecret.clear();
      fEchoPos = 0;
    }
  }
  return ranges;
}

}  // namespace qv
