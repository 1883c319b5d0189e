// SMS PDU codec: GSM 03.38 character sets, septet packing, semi-octet
// addresses, and the TqvPduSms message record (3GPP TS 23.040 PDU mode).
//
// Hex text (PDUs, UCS2 names, packed septets) is UTF-16 like every other text
// of the library: upper-case hexadecimal digits, two per octet, high nibble
// first. Positions into a hex text are 1-based character positions; an octet
// read beyond the end or from a non-hex digit reads as 0.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "qvapi.h"

QV_API_BEGIN

enum class TqvPduCoding { pcAuto, pc7bit, pc8bit, pc16bit };
enum class TqvPduTTL { ttlNone, ttlOffset, ttlExt, ttlAbs };
enum class TqvPduPort { ppNone, pp8bit, pp16bit };
// Message class of the data coding scheme; mcNone when the scheme gives none.
enum class TqvPduClass { mcNone, mcClass0, mcClass1, mcClass2, mcClass3 };
// National languages with shift tables (3GPP TS 23.038 annex A), in the
// order of their identifiers: Turkish 1, Spanish 2, Portuguese 3.
enum class TqvPduLanguage { plNone, plTurkish, plSpanish, plPortuguese };
// A message's status in the modem's store (<stat> of +CMGL and +CMGR).
enum class TqvPduStatus { psUnknown, psRecUnread, psRecRead, psStoUnsent, psStoSent };

// The tables a 7-bit text is written with: a national locking shift table
// in place of the basic table, a national single shift table in place of
// the extension table (plNone: the default one). Spanish has no locking table.
struct TqvShiftTables {
  TqvPduLanguage Locking = TqvPduLanguage::plNone;
  TqvPduLanguage Single = TqvPduLanguage::plNone;
  bool operator==(const TqvShiftTables&) const = default;
};

namespace qv {

// --- Octet and character-set helpers (stateless, thread-safe) ---

// The octet whose two upper-case hex digits start at 1-based position pos.
uint8_t HexToOctet(std::u16string_view hex, size_t pos);
// Swapped BCD: low nibble is the tens digit (0xF1 gives 25; no nibble check).
int SwappedBcdValue(uint8_t octet);

// Text <-> septet string (one code unit per septet; extension characters take
// the escape 0x1B and their code). A character with no code becomes '?'.
std::u16string TextToSeptets(std::u16string_view text, TqvShiftTables tables = {});
// An escape before a code the extension table lacks shows the basic table's
// character, an escape before an escape a space; a final escape shows nothing.
std::u16string SeptetsToText(std::u16string_view septets, TqvShiftTables tables = {});
// Septets the text takes with these tables; -1 when a character has no code.
int SeptetCount(std::u16string_view text, TqvShiftTables tables = {});
// The tables that write text in the fewest septets, counting the header
// elements they need (three octets each); the default tables when no
// language is named or when no pair of the language can write the text.
TqvShiftTables ChooseShiftTables(std::u16string_view text, TqvPduLanguage language);

// Septets packed LSB first; the first septet sits at septet position
// offset+1 of a group of eight (offset = header octets mod 7 after a header).
std::u16string PackSeptets(std::u16string_view septets, int offset);
// Inverse of PackSeptets: at most count septets from the hex text at pos.
std::u16string UnpackSeptets(std::u16string_view hex, size_t pos, int count, int offset);

// UCS2 hex: four digits per UTF-16 code unit.
std::u16string TextToUcs2Hex(std::u16string_view text);
std::u16string Ucs2HexToText(std::u16string_view hex, size_t pos);
// A SIM alpha identifier in UCS2 (phone book names): as Ucs2HexToText, but a
// leading 0x80 marker octet is skipped. SMS text never goes through this.
std::u16string SimUcs2HexToText(std::u16string_view hex, size_t pos);

// 8-bit hex: two digits per code unit (its low eight bits).
std::u16string TextTo8bitHex(std::u16string_view text);
std::u16string Hex8bitToText(std::u16string_view hex, size_t pos);

// The semi-octet characters (digits, '*', '#', 'a', 'b', 'c'), with an
// optional leading '+'; the empty text counts.
bool IsPhoneNumber(std::u16string_view text);
// pc7bit when the default alphabet (or, with a language, one pair of its
// shift tables) writes every character, else pc16bit. Never pc8bit: 8-bit
// data is for callers that ask for it.
TqvPduCoding DetectCoding(std::u16string_view text, TqvPduLanguage language = TqvPduLanguage::plNone);

// Address field (length, type, digits) as hex text. Phone numbers are
// semi-octets ('*', '#', 'a', 'b', 'c' as A-E), "+" numbers with type 91,
// others 81; any other text is an alphanumeric address (D0). An empty service
// centre is "00" alone (the modem's own); an empty address keeps its type octet.
std::u16string EncodeAddress(std::u16string_view address, bool isServiceCentre);
// len is the number of semi-octets holding the address (for a service
// centre, twice its octets). Semi-octets A-E read as '*', '#', 'a', 'b', 'c';
// the filler F is never shown.
std::u16string DecodeAddress(std::u16string_view hex, size_t pos, int len, uint8_t type);

// The message class and coding a data coding scheme gives (TS 23.038 4);
// reserved groups and the reserved alphabet read as the 7-bit alphabet.
struct TqvDcsInfo {
  TqvPduCoding Coding = TqvPduCoding::pc7bit;
  TqvPduClass Class = TqvPduClass::mcNone;
  bool Compressed = false;
};
TqvDcsInfo ReadDcs(uint8_t dcs);

// The alphabet of a cell broadcast data coding scheme, which USSD strings use
// too (TS 23.038 5), and the language indication some schemes put before the
// text: 0x10 three septets ("en" and CR), 0x11 two septets packed into two
// octets ahead of the UCS2 text. Reserved values read as the 7-bit alphabet.
enum class TqvCbsPrefix { cpNone, cp7bitLanguage, cpUcs2Language };
struct TqvCbsDcsInfo {
  TqvPduCoding Coding = TqvPduCoding::pc7bit;
  TqvCbsPrefix Prefix = TqvCbsPrefix::cpNone;
};
TqvCbsDcsInfo ReadCbsDcs(uint8_t dcs);

// A USSD string packed into septets of the default alphabet, as hex text. A
// string of 8n-1 septets fills its last octet's seven spare bits with CR, so
// that they do not read as '@' (TS 23.038 6.1.2.3.1).
std::u16string TextToUssd7bitHex(std::u16string_view text);
// The reverse (hex digits in either case); a CR that ends the string on an
// octet boundary is that filler and is dropped.
std::u16string Ussd7bitHexToText(std::u16string_view hex);

// A <stat> field of +CMGL or +CMGR: 0-3 or its text form ("REC UNREAD"...).
TqvPduStatus PduStatusFromStat(std::u16string_view stat);

// "2008/03/25,14:30" (any separators) to a date-time; 0 when it is no date.
double ParseDateTimeText(std::u16string_view text);

// --- Date-time values: days since 1899-12-30, time of day as fraction ---

struct TqvDateParts {
  int Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0, MSec = 0;
};
// 0 when the parts form no valid date-time (years 1..9999).
double PduDateTime(const TqvDateParts& parts);
TqvDateParts PduDateParts(double dateTime);
// "2008-03-25 14:30:05", the readable form used in report texts.
std::u16string PduDateTimeText(double dateTime);

}  // namespace qv

// One short message, one part of a concatenated message, or one status report.
// Reading AsPDU encodes (SMS-SUBMIT when outgoing, SMS-DELIVER or status report
// when incoming); SetAsPDU decodes. No locking: share a record between threads
// only with the accesses serialised.
class TqvPduSms {
 public:
  explicit TqvPduSms(bool aIncoming = false);
  TqvPduSms(const TqvPduSms&) = default;
  TqvPduSms& operator=(const TqvPduSms&) = default;
  virtual ~TqvPduSms() = default;

  // Encode the part PartNumber (empty when the text was refused as too long).
  virtual std::u16string AsPDU();
  // Decode a PDU hex text (lower case, blanks around and a 000000FF prefix are
  // accepted). Every decoded field comes from this PDU; StoredStatus, Tag and
  // PartMaxLen are left alone. A PDU that is not well formed sets Error and
  // ErrorReason and leaves no text.
  virtual void SetAsPDU(std::u16string_view pdu);

  void Clear();
  // Copies the message content of aSrc (nothing when aSrc is null).
  void Assign(const TqvPduSms* aSrc);

  const std::u16string& Phone() const { return fPhone; }
  void SetPhone(std::u16string_view v) { fPhone = v; }
  const std::u16string& ServiceCenter() const { return fServiceCenter; }
  void SetServiceCenter(std::u16string_view v) { fServiceCenter = v; }
  // The sender's local stamp; GMT is its zone in whole hours (truncated
  // toward zero), GmtMinutes the exact zone.
  double DateTime() const { return fDateTime; }
  void SetDateTime(double v) { fDateTime = v; }
  const std::u16string& Text() const { return fText; }
  void SetText(std::u16string_view t);

  uint8_t PID() const { return fPID; }
  uint8_t DCS() const { return fDCS; }
  int32_t GMT() const { return fGmt; }
  int32_t GmtMinutes() const { return fGmtMinutes; }
  int32_t PartCount() const { return fPartCount; }
  int32_t PartNumber() const { return fPartNumber; }
  void SetPartNumber(int32_t v) { fPartNumber = v; }
  int32_t PartId() const { return fPartId; }
  void SetPartId(int32_t v) { fPartId = v; }
  // Width of the decoded concatenation reference: 8 or 16 bits, 0 when the
  // record is no part. Encoding always writes an 8-bit reference.
  int PartIdBits() const { return fPartIdBits; }
  int32_t PartMaxLen() const { return fPartMaxLen; }
  bool Error() const { return fError; }
  // Why the last decoding failed, and at which octet; empty otherwise.
  const std::u16string& ErrorReason() const { return fErrorReason; }

  // The coding in force. Writing it fixes the coding for later texts and
  // re-cuts a text already set; writing pcAuto lets each text assignment
  // detect it again.
  TqvPduCoding Coding() const { return fCoding; }
  void SetCoding(TqvPduCoding v);
  // The language whose shift tables a 7-bit text may use; a text already set
  // is written again. Decoding sets it from the PDU's shift elements.
  TqvPduLanguage Language() const { return fLanguage; }
  void SetLanguage(TqvPduLanguage v);
  // The tables the 7-bit text is written with (chosen for the text, or read).
  TqvShiftTables ShiftTables() const { return fShift; }

  bool Confirm() const { return fConfirm; }
  void SetConfirm(bool v) { fConfirm = v; }
  int32_t Tag() const { return fTag; }
  void SetTag(int32_t v) { fTag = v; }
  bool IsHeader() const { return fIsHeader; }
  void SetIsHeader(bool v) { fIsHeader = v; }
  bool IsEmpty() const { return fIsEmpty; }
  bool Incoming() const { return fIncoming; }
  void SetIncoming(bool v) { fIncoming = v; }
  bool Report() const { return fReport; }
  void SetReport(bool v) { fReport = v; }
  uint8_t ReportStatus() const { return fReportStatus; }
  void SetReportStatus(uint8_t v) { fReportStatus = v; }
  // The discharge time of a status report, in its own zone.
  double ReportDateTime() const { return fReportDateTime; }
  void SetReportDateTime(double v) { fReportDateTime = v; }
  int32_t ReportGmtMinutes() const { return fReportGmtMinutes; }
  bool NotLast() const { return fNotLast; }
  void SetNotLast(bool v) { fNotLast = v; }
  TqvPduTTL TTLType() const { return fTTLType; }
  void SetTTLType(TqvPduTTL v) { fTTLType = v; }
  // A duration in days for ttlOffset and ttlExt, a point in time for ttlAbs.
  double TTLValue() const { return fTTLValue; }
  void SetTTLValue(double v) { fTTLValue = v; }
  bool AutoCutText() const { return fAutoCutText; }
  void SetAutoCutText(bool v) { fAutoCutText = v; }
  uint8_t RefId() const { return fRefId; }
  void SetRefId(uint8_t v) { fRefId = v; }
  // TP-RD of a SMS-SUBMIT: the centre drops a copy of a message it still holds.
  bool RejectDuplicates() const { return fRejectDuplicates; }
  void SetRejectDuplicates(bool v) { fRejectDuplicates = v; }
  // Class 0 (flash). Writing true sets class 0; writing false clears class 0.
  bool Alert() const { return fClass == TqvPduClass::mcClass0; }
  void SetAlert(bool v);
  TqvPduClass MessageClass() const { return fClass; }
  void SetMessageClass(TqvPduClass v) { fClass = v; }
  TqvPduPort PortType() const { return fPortType; }
  void SetPortType(TqvPduPort v) { fPortType = v; }
  int32_t PortSrc() const { return fPortSrc; }
  void SetPortSrc(int32_t v) { fPortSrc = v; }
  int32_t PortDest() const { return fPortDest; }
  void SetPortDest(int32_t v) { fPortDest = v; }
  // Where the message sits in the modem's store, as the listing or the read
  // reported it. Clear resets it; decoding leaves it.
  TqvPduStatus StoredStatus() const { return fStoredStatus; }
  void SetStoredStatus(TqvPduStatus v) { fStoredStatus = v; }

  // The text as coded units: septets (one code unit each, escapes kept) for
  // 7-bit, octets for 8-bit, UTF-16 code units for UCS2. After decoding, the
  // units of this PDU alone, so that the parts of a concatenated message can
  // be joined before they are read as text: a part may end between an escape
  // and its code, or inside a surrogate pair.
  std::u16string_view CodedText() const;

  // A status report's outcome in words ("REPORT: Sms is Delivered to ...");
  // empty when the record is no report.
  std::u16string ReportText() const;

 private:
  struct Header;
  class Reader;
  Header BuildHeader() const;
  int HeaderOctets(bool concatenated) const;
  int PartLength(int headerOctets) const;
  void ApplyText();
  void SplitIntoParts();
  uint8_t FirstOctet();
  uint8_t EncodedDcs() const;
  std::u16string_view PartChunk(int headerOctets) const;
  void AppendUserData(std::u16string& r, const Header& h) const;
  void AppendValidity(std::u16string& r) const;

  void ResetDecodedFields();
  bool Fail(std::u16string_view what, const Reader& r);
  bool Need(const Reader& r, size_t octets, std::u16string_view what);
  bool DecodeTpdu(Reader& r);
  bool ReadServiceCentre(Reader& r);
  bool ReadFirstOctet(Reader& r);
  bool ReadAddress(Reader& r);
  bool ReadStamp(Reader& r, std::u16string_view what, double& value, int32_t& zoneMinutes);
  bool ReadValidity(Reader& r);
  void TakeDcs(uint8_t dcs);
  bool ReadMessageTail(Reader& r);
  bool ReadReportTail(Reader& r);
  bool ReadUserData(Reader& r);
  bool ReadUserDataHeader(Reader& r, size_t octets);
  void ReadHeaderElement(uint8_t id, const uint8_t* data, size_t size);

  std::u16string fPhone;
  std::u16string fServiceCenter;
  std::u16string fText;
  std::u16string fText7bit;
  double fDateTime = 0;
  int32_t fGmt = 0;
  int32_t fGmtMinutes = 0;
  uint8_t fFo = 0;
  uint8_t fPID = 0;
  uint8_t fDCS = 0;
  int32_t fPartNumber = 0;
  int32_t fPartId = 0;
  int32_t fPartCount = 0;
  int fPartIdBits = 0;
  bool fError = false;
  std::u16string fErrorReason;
  TqvPduCoding fCoding = TqvPduCoding::pcAuto;
  int32_t fTag = 0;
  bool fConfirm = false;
  bool fIsHeader = false;
  int32_t fPartMaxLen = 0;
  bool fIsEmpty = true;
  bool fIncoming = false;
  bool fNotLast = false;
  double fTTLValue = 0;
  TqvPduTTL fTTLType = TqvPduTTL::ttlNone;
  bool fAutoCutText = false;
  bool fReport = false;
  uint8_t fReportStatus = 0;
  uint8_t fRefId = 0;
  bool fRejectDuplicates = false;
  double fReportDateTime = 0;
  int32_t fReportGmtMinutes = 0;
  TqvPduClass fClass = TqvPduClass::mcNone;
  TqvPduPort fPortType = TqvPduPort::ppNone;
  int32_t fPortSrc = 0;
  int32_t fPortDest = 0;
  TqvPduLanguage fLanguage = TqvPduLanguage::plNone;
  TqvShiftTables fShift;
  TqvPduStatus fStoredStatus = TqvPduStatus::psUnknown;
  // The caller wrote Coding (it stays); otherwise each text assignment detects it.
  bool fCodingFixed = false;
  // The last text needed more than 255 parts: nothing is encoded.
  bool fTextRefused = false;
};

QV_API_END
