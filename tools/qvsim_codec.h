// The simulator's own small text and PDU helpers. Deliberately independent of the core
// library's codec: a fault shared by the library's encoder and decoder must not hide here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qvsim {

std::string ToHex(std::string_view bytes);                      // upper case, two digits per octet
std::optional<std::string> FromHex(std::string_view hex);       // nullopt on odd length or bad digit
bool IsHex(std::string_view text);

// UTF-8 <-> UCS2 hex (UTF-16 big endian, four digits per unit).
std::string Utf8ToUcs2Hex(std::string_view utf8);
std::optional<std::string> Ucs2HexToUtf8(std::string_view hex);
// UTF-8 <-> Latin-1; characters beyond Latin-1 become '?'.
std::string Utf8ToLatin1(std::string_view utf8);
std::string Latin1ToUtf8(std::string_view latin1);

// GSM 7-bit default alphabet (with the extension table): nullopt when a character has no septet.
std::optional<std::string> Utf8ToGsmSeptets(std::string_view utf8);
std::string GsmSeptetsToUtf8(std::string_view septets);
// Packs septet values (0..127) into octets, LSB first; unpacks `count` septets.
std::string PackSeptets(std::string_view septets);
std::string UnpackSeptets(std::string_view octets, size_t count);

// Packed 7-bit hex as USSD strings with scheme 15 travel; the reverse for requests.
std::string UssdPack(std::string_view utf8);
std::optional<std::string> UssdUnpack(std::string_view hex);

// A single-part SMS-DELIVER PDU (no service centre address octets, i.e. a leading "00"), in
// the 7-bit alphabet when the text allows it, else UCS2. `timestamp` is seconds since the epoch.
std::string MakeDeliverPdu(std::string_view sender, std::string_view utf8, int64_t timestamp);
// The DELIVER PDUs of `utf8`: one when it fits, else its concatenated parts
// (8-bit reference `reference`), cut neither inside an escape pair nor a
// surrogate pair.
std::vector<std::string> MakeDeliverPdus(std::string_view sender, std::string_view utf8, int64_t timestamp,
                                         int reference);
// An SMS-STATUS-REPORT PDU for message reference `reference` sent to `recipient`, status 0.
std::string MakeStatusReportPdu(int reference, std::string_view recipient, int64_t timestamp);

// The TPDU length of a PDU in hex that starts with the service centre length octet;
// -1 when the text is not hex or shorter than the SMSC part.
int TpduLength(std::string_view pduHex);

// C-style escape of bytes for transcripts: \r, \n, \xHH for other control and high bytes.
std::string Escape(std::string_view bytes);

}  // namespace qvsim
