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

enum class TqvPduCoding { pcAuto, pc7bit, pc8bit, pc16bit };
enum class TqvPduTTL { ttlNone, ttlOffset, ttlExt, ttlAbs };
enum class TqvPduPort { ppNone, pp8bit, pp16bit };

namespace qv {

// --- Octet and character-set helpers (stateless, thread-safe) ---

// The octet whose two upper-case hex digits start at 1-based position pos.
uint8_t HexToOctet(std::u16string_view hex, size_t pos);
// Swapped BCD: low nibble is the tens digit (0xF1 gives 25; no nibble check).
int SwappedBcdValue(uint8_t octet);

// Text <-> septet string (one code unit per septet; extension characters take
// the escape 0x1B and their code). Unmapped units pass through unchanged.
std::u16string TextToSeptets(std::u16string_view text);
std::u16string SeptetsToText(std::u16string_view septets);

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

// Digits only, with an optional leading '+'; the empty text counts.
bool IsPhoneNumber(std::u16string_view text);
// pc16bit when a unit is above 0xFF, else pc8bit when one has bit 0x80, else pc7bit.
TqvPduCoding DetectCoding(std::u16string_view text);

// Address field (length, type, digits) as hex text. "+" numbers get type 91,
// other numbers 81, anything else is an alphanumeric address (D0).
std::u16string EncodeAddress(std::u16string_view address, bool isServiceCentre);
// len is the number of hex characters holding the address digits; for an
// alphanumeric address (type D0) it may be the odd count of useful semi-octets.
std::u16string DecodeAddress(std::u16string_view hex, size_t pos, int len, uint8_t type);

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
  // Decode a PDU hex text (lower case, blanks around and a 000000FF prefix are accepted).
  virtual void SetAsPDU(std::u16string_view pdu);

  void Clear();
  // Copies the message content of aSrc (nothing when aSrc is null).
  void Assign(const TqvPduSms* aSrc);

  const std::u16string& Phone() const { return fPhone; }
  void SetPhone(std::u16string_view v) { fPhone = v; }
  const std::u16string& ServiceCenter() const { return fServiceCenter; }
  void SetServiceCenter(std::u16string_view v) { fServiceCenter = v; }
  double DateTime() const { return fDateTime; }
  void SetDateTime(double v) { fDateTime = v; }
  const std::u16string& Text() const { return fText; }
  void SetText(std::u16string_view t);

  uint8_t PID() const { return fPID; }
  uint8_t DCS() const { return fDCS; }
  int32_t GMT() const { return fGmt; }
  int32_t PartCount() const { return fPartCount; }
  int32_t PartNumber() const { return fPartNumber; }
  void SetPartNumber(int32_t v) { fPartNumber = v; }
  int32_t PartId() const { return fPartId; }
  void SetPartId(int32_t v) { fPartId = v; }
  int32_t PartMaxLen() const { return fPartMaxLen; }
  bool Error() const { return fError; }

  // The coding in force. Writing it fixes the coding for later texts and
  // re-cuts a text already set; writing pcAuto lets each text assignment
  // detect it again.
  TqvPduCoding Coding() const { return fCoding; }
  void SetCoding(TqvPduCoding v);

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
  double ReportDateTime() const { return fReportDateTime; }
  void SetReportDateTime(double v) { fReportDateTime = v; }
  bool NotLast() const { return fNotLast; }
  void SetNotLast(bool v) { fNotLast = v; }
  TqvPduTTL TTLType() const { return fTTLType; }
  void SetTTLType(TqvPduTTL v) { fTTLType = v; }
  double TTLValue() const { return fTTLValue; }
  void SetTTLValue(double v) { fTTLValue = v; }
  bool AutoCutText() const { return fAutoCutText; }
  void SetAutoCutText(bool v) { fAutoCutText = v; }
  uint8_t RefId() const { return fRefId; }
  void SetRefId(uint8_t v) { fRefId = v; }
  bool Alert() const { return fAlert; }
  void SetAlert(bool v) { fAlert = v; }
  TqvPduPort PortType() const { return fPortType; }
  void SetPortType(TqvPduPort v) { fPortType = v; }
  int32_t PortSrc() const { return fPortSrc; }
  void SetPortSrc(int32_t v) { fPortSrc = v; }
  int32_t PortDest() const { return fPortDest; }
  void SetPortDest(int32_t v) { fPortDest = v; }

  // A status report's outcome in words ("REPORT: Sms is Delivered to ...");
  // empty when the record is no report.
  std::u16string ReportText() const;

 private:
  struct Header;
  Header BuildHeader() const;
  std::u16string_view CodedText() const;
  int PartLength(int headerOctets) const;
  void SplitIntoParts();
  uint8_t FirstOctet();
  std::u16string_view PartChunk(int headerOctets) const;
  void AppendUserData(std::u16string& r, const Header& h) const;
  void AppendTimeField(std::u16string& r, double v, bool absolute) const;
  double ReadTimeField(std::u16string_view s, size_t& q);
  void ReadFirstOctet(uint8_t f);
  void ReadUserData(std::u16string_view s, size_t q);
  void ReadUserDataHeader(std::u16string_view s, size_t q);
  void ReadUserText(std::u16string_view s, size_t q, int udl, int headerOctets);

  std::u16string fPhone;
  std::u16string fServiceCenter;
  std::u16string fText;
  std::u16string fText7bit;
  double fDateTime = 0;
  int32_t fGmt = 0;
  uint8_t fFo = 0;
  uint8_t fPID = 0;
  uint8_t fDCS = 0;
  int32_t fPartNumber = 0;
  int32_t fPartId = 0;
  int32_t fPartCount = 0;
  bool fError = false;
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
  double fReportDateTime = 0;
  bool fAlert = false;
  TqvPduPort fPortType = TqvPduPort::ppNone;
  int32_t fPortSrc = 0;
  int32_t fPortDest = 0;
  // The caller wrote Coding (it stays); otherwise each text assignment detects it.
  bool fCodingFixed = false;
  // The last text needed more than 255 parts: nothing is encoded.
  bool fTextRefused = false;
};
