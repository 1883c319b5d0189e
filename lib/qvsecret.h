// Keeping a secret (the SIM's PIN) out of traffic dumps.
//
// The component that sends a secret marks the exact line it is about to write
// and the secret inside it. The port's dump of that write shows the secret's
// bytes as "**", and so does the dump of the line's echo as it comes back,
// byte by byte, across as many reads as it takes. Nothing else is searched:
// the same digits anywhere else (a year in a stamp, a message text) stay.
#pragma once

#include <cstddef>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "qvapi.h"

QV_API_BEGIN

namespace qv {

// A range of bytes in a write or a received block.
struct TqvByteRange {
  size_t Offset = 0;
  size_t Length = 0;
};

// Upper-case hex of every byte separated by spaces ("41 54 0D"); bytes inside
// a secret range are written "**". Ranges may overlap or pass the end.
std::u16string HexDump(std::string_view bytes, std::span<const TqvByteRange> secrets = {});

// `text` with the characters at the secret ranges replaced by '*' (one
// character per byte, as the 8-bit conversions give).
std::u16string MaskChars(std::u16string text, std::span<const TqvByteRange> secrets);

// The text of `bytes` (each byte as the character of the same code) with the
// secret ranges' bytes replaced by '*'.
std::u16string MaskedBytes(std::string_view bytes, std::span<const TqvByteRange> secrets);

class TqvSecretMask {
 public:
  // The next write of exactly `line` has every occurrence of `secret` in it
  // masked, and so has its echo.
  void MarkNextWrite(std::string_view line, std::string_view secret);
  // As above, with several secrets in the line (a PUK and a new PIN).
  void MarkNextWrite(std::string_view line, std::vector<std::string> secrets);

  // The secret ranges of a write about to be dumped. Every write ends an
  // earlier mark and stops watching for an earlier echo.
  std::vector<TqvByteRange> ForWrite(std::string_view data);

  // The secret ranges of a received block: the bytes that continue the echo
  // of the marked line and fall on its secret.
  std::vector<TqvByteRange> ForReceived(std::string_view data);

 private:
  std::mutex fMutex;
  std::string fMarkLine;
  std::vector<std::string> fMarkSecrets;
  std::string fEcho;               // the marked line, once written
  std::vector<bool> fEchoSecret;   // per byte of fEcho: part of the secret
  size_t fEchoPos = 0;             // bytes of fEcho seen so far
};

}  // namespace qv

QV_API_END
