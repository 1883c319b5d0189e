#include "qvgsmpdu.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "qvtext.h"

using namespace qv;

namespace {

std::string Narrow(std::u16string_view s) { return StringToUtf8(s); }

double At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
  return PduDateTime({y, mo, d, h, mi, s, 0});
}

std::u16string Repeat(char16_t c, size_t n) { return std::u16string(n, c); }

TqvPduSms Outgoing(std::u16string_view phone, std::u16string_view text) {
  TqvPduSms sms(false);
  sms.SetPhone(phone);
  sms.SetAutoCutText(true);
  sms.SetText(text);
  return sms;
}

TqvPduSms Decoded(std::u16string_view pdu) {
  TqvPduSms sms(true);
  sms.SetAsPDU(pdu);
  return sms;
}

// A deliver from +12345678901 through +31624000000, stamped 2008-03-25
// 14:30:05 at GMT+3 (zone octet 21), text "hello".
constexpr std::u16string_view kDeliverHello =
    u"07911326040000F0040B912143658709F1000080305241035021" u"05E8329BFD06";

// A status report to +12345678901, message 2A delivered: stamped 2008-03-25
// 14:30:05, discharged a second later, both at GMT+3.
const std::u16string kReportDelivered = u"00062A0B912143658709F1" u"80305241035021" u"80305241036021" u"00";

}  // namespace

TEST(PduHelpers, HexToOctetReadsTwoUpperCaseDigitsOrZero) {
  const std::u16string_view hex = u"0A1Fff7G";
  struct Case { size_t pos; int expected; };
  const Case cases[] = {{1, 0x0A}, {3, 0x1F}, {2, 0xA1}, {5, 0}, {7, 0}, {8, 0}, {9, 0}, {0, 0}};
  for (const auto& c : cases) EXPECT_EQ(HexToOctet(hex, c.pos), c.expected) << c.pos;
  EXPECT_EQ(SwappedBcdValue(0x21), 12);
  EXPECT_EQ(SwappedBcdValue(0xF1), 25);  // nibbles above 9 are not rejected
}

TEST(PduHelpers, SeptetTablesBothWays) {
  struct Case { std::u16string text; std::u16string septets; };
  const Case cases[] = {
      {u"A@_$", {0x41, 0x00, 0x11, 0x02}},
      {u"[x]", {0x1B, 0x3C, 0x78, 0x1B, 0x3E}},
      {u"\u00A4", {0x24}},
      {u"\u20AC", {0x1B, 0x65}},
      {u"\f^{}\\~|", {0x1B, 0x0A, 0x1B, 0x14, 0x1B, 0x28, 0x1B, 0x29, 0x1B, 0x2F, 0x1B, 0x3D, 0x1B, 0x40}},
      {u"\u00E9\u00FC\u00E0\r\n", {0x05, 0x7E, 0x7F, 0x0D, 0x0A}},
      // The Greek capitals of codes 0x10 and 0x12-0x1A.
      {u"\u0394\u03A6\u0393\u039B\u03A9\u03A0\u03A8\u03A3\u0398\u039E",
       {0x10, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TextToSeptets(c.text), c.septets) << Narrow(c.text);
    EXPECT_EQ(SeptetsToText(c.septets), c.text) << Narrow(c.text);
  }
  // Every code but the escape is one character, and that character its code.
  for (char16_t code = 0; code < 128; ++code) {
    if (code == 0x1B) continue;
    const std::u16string text = SeptetsToText(std::u16string(1, code));
    ASSERT_EQ(text.size(), 1u) << int(code);
    EXPECT_EQ(TextToSeptets(text), std::u16string(1, code)) << int(code);
  }
  // Characters without a code go out as '?', never as some other letter.
  EXPECT_EQ(TextToSeptets(u"\u0416\t`"), u"???");
}

TEST(PduHelpers, EscapesWithoutAnExtensionCharacter) {
  struct Case { std::u16string septets; std::u16string text; };
  const Case cases[] = {
      {{0x1B, 0x65}, u"\u20AC"},
      {{0x1B, 0x41}, u"A"},                   // not in the extension table: the basic character
      {{0x1B, 0x10}, u"\u0394"},
      {{0x1B, 0x0D}, u"\r"},
      {{0x1B, 0x1B, 0x41}, u" A"},            // escape escape: a space
      {{0x41, 0x1B}, u"A"},                   // a final escape shows nothing
      {{0x1B, 0x1B, 0x1B, 0x28}, u" {"},
  };
  for (const auto& c : cases) EXPECT_EQ(SeptetsToText(c.septets), c.text) << Narrow(c.text);
  // With a locking shift table the basic character is that table's.
  EXPECT_EQ(SeptetsToText(u"\x1B\x07", {TqvPduLanguage::plTurkish, TqvPduLanguage::plNone}), u"\u0131");
}

// Codes from the national tables of TS 23.038 annex A, both ways.
TEST(PduHelpers, NationalShiftTables) {
  using enum TqvPduLanguage;
  struct Case { TqvShiftTables tables; std::u16string text; std::u16string septets; };
  const Case cases[] = {
      {{plNone, plTurkish}, u"\u015F\u011E\u0130\u00E7\u20AC[", {0x1B, 0x73, 0x1B, 0x47, 0x1B, 0x49, 0x1B, 0x63, 0x1B, 0x65, 0x1B, 0x3C}},
      {{plTurkish, plNone}, u"\u0131\u20AC\u00E7\u0130\u015E\u011F", {0x07, 0x04, 0x60, 0x40, 0x1C, 0x0C}},
      {{plTurkish, plTurkish}, u"\u0131\u015F\u00E7", {0x07, 0x1D, 0x60}},  // the locking table first
      {{plNone, plSpanish}, u"\u00E1\u00DA\u00E7\u00F3", {0x1B, 0x61, 0x1B, 0x55, 0x1B, 0x09, 0x1B, 0x6F}},
      {{plPortuguese, plNone}, u"\u00E3\u00EA\u221E^`~\u00BA\u00AA", {0x7B, 0x04, 0x15, 0x16, 0x7D, 0x60, 0x24, 0x12}},
      {{plNone, plPortuguese}, u"\u00C3\u00E2\u00EA\u00CA", {0x1B, 0x5B, 0x1B, 0x7F, 0x1B, 0x05, 0x1B, 0x1F}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TextToSeptets(c.text, c.tables), c.septets) << Narrow(c.text);
    EXPECT_EQ(SeptetsToText(c.septets, c.tables), c.text) << Narrow(c.text);
  }
  // A locking table also has a character for every code but the escape.
  for (TqvPduLanguage l : {plTurkish, plPortuguese})
    for (char16_t code = 0; code < 128; ++code) {
      if (code == 0x1B) continue;
      const std::u16string text = SeptetsToText(std::u16string(1, code), {l, plNone});
      EXPECT_EQ(TextToSeptets(text, {l, plNone}), std::u16string(1, code)) << int(code);
    }
}

TEST(PduHelpers, ShiftTablesChosenForTheText) {
  using enum TqvPduLanguage;
  struct Case { std::u16string text; TqvPduLanguage language; TqvShiftTables tables; };
  const Case cases[] = {
      {u"hello", plTurkish, {}},
      {u"I\u011Fd\u0131r", plTurkish, {plTurkish, plNone}},            // fewer septets with the locking table
      {u"\u00E8 \u015F", plTurkish, {plNone, plTurkish}},              // the locking table lacks the e grave
      {u"\u015F", plNone, {}},                                         // no language named
      {u"Est\u00E1 aqu\u00ED", plSpanish, {plNone, plSpanish}},
      {u"N\u00E3o", plPortuguese, {plPortuguese, plNone}},
      {u"\u00E8 \u00E3", plPortuguese, {plNone, plPortuguese}},
      {u"\u00AA \u00E3 \u03A6", plPortuguese, {plPortuguese, plPortuguese}},
      {u"\u041F\u0440\u0438", plTurkish, {}},                          // no table writes it
  };
  for (const auto& c : cases) EXPECT_EQ(ChooseShiftTables(c.text, c.language), c.tables) << Narrow(c.text);
}

TEST(PduHelpers, PackAndUnpackSeptets) {
  EXPECT_EQ(PackSeptets(u"hellohello", 0), u"E8329BFD4697D9EC37");
  EXPECT_EQ(UnpackSeptets(u"E8329BFD4697D9EC37", 1, 10, 0), u"hellohello");

  // Seven septets leave seven spare bits; a larger count reads them as 0x00.
  const std::u16string seven = PackSeptets(u"abcdefg", 0);
  EXPECT_EQ(seven.size(), 14u);
  EXPECT_EQ(UnpackSeptets(seven, 1, 7, 0), u"abcdefg");
  EXPECT_EQ(UnpackSeptets(seven, 1, 8, 0), std::u16string(u"abcdefg") + char16_t(0));

  // After a header: a leading space carries the fill bits.
  EXPECT_EQ(PackSeptets(u" abc", 6), u"C2E231");
  EXPECT_EQ(UnpackSeptets(u"C2E231", 1, 3, 6), u"abc");
  for (int offset = 0; offset < 7; ++offset) {
    const std::u16string text = u"The quick brown fox";
    const std::u16string packed = PackSeptets(u" " + text, offset);
    EXPECT_EQ(UnpackSeptets(packed, 1, static_cast<int>(text.size()), offset),
              offset == 0 ? u" " + text.substr(0, text.size() - 1) : text)
        << offset;
  }
  EXPECT_EQ(UnpackSeptets(u"E832", 1, 0, 0), u"");
  EXPECT_EQ(UnpackSeptets(u"E832", 1, 10, 0).size(), 2u);  // stops where the text ends
  EXPECT_EQ(UnpackSeptets(u"", 1, 5, 3), u"");
}

// USSD strings: a last octet with seven spare bits carries a CR, which the
// reader drops again; a zero filler is no CR and reads as '@'.
TEST(PduHelpers, UssdStrings) {
  struct TCase {
    std::u16string text, hex;
    bool encodes;  // text -> hex as well as hex -> text
  };
  const TCase cases[] = {
      {u"*100#", u"AA180C3602", true},
      {u"*100*1#", u"AA180CA68A8D1A", true},   // 7 septets and the CR
      {u"*101*2#3", u"AA182CA6928D66", true},  // 8 septets fill 7 octets exactly
      {u"*@_#", u"2A406404", true},             // the default alphabet, not ASCII
      {u"*100*1#", u"aa180ca68a8d1a", false},   // lower-case digits
      {u"*100*1#@", u"AA180CA68A8D00", false},  // a zero filler
  };
  for (const auto& c : cases) {
    if (c.encodes) {
      EXPECT_EQ(TextToUssd7bitHex(c.text), c.hex) << StringToUtf8(c.text);
    }
    EXPECT_EQ(Ussd7bitHexToText(c.hex), c.text) << StringToUtf8(c.hex);
  }
}

TEST(PduHelpers, CellBroadcastCodingSchemes) {
  using enum TqvPduCoding;
  using enum TqvCbsPrefix;
  const std::tuple<uint8_t, TqvPduCoding, TqvCbsPrefix> cases[] = {
      {0x0F, pc7bit, cpNone},  {0x00, pc7bit, cpNone},  {0x10, pc7bit, cp7bitLanguage},
      {0x11, pc16bit, cpUcs2Language}, {0x1F, pc7bit, cpNone}, {0x24, pc7bit, cpNone},
      {0x3A, pc7bit, cpNone},  {0x40, pc7bit, cpNone},  {0x44, pc8bit, cpNone},
      {0x48, pc16bit, cpNone}, {0x7C, pc7bit, cpNone},  {0x94, pc7bit, cpNone},
      {0xF0, pc7bit, cpNone},  {0xF4, pc8bit, cpNone},  {0xF8, pc7bit, cpNone},
  };
  for (const auto& [dcs, coding, prefix] : cases) {
    const TqvCbsDcsInfo d = ReadCbsDcs(dcs);
    EXPECT_EQ(d.Coding, coding) << int(dcs);
    EXPECT_EQ(d.Prefix, prefix) << int(dcs);
  }
}

TEST(PduHelpers, Ucs2AndEightBitHex) {
  EXPECT_EQ(TextToUcs2Hex(u"A\u041F\U0001F600"), u"0041041FD83DDE00");
  EXPECT_EQ(Ucs2HexToText(u"0041", 1), u"A");
  EXPECT_EQ(Ucs2HexToText(u"0041D83DDE00", 1), u"A\U0001F600");
  EXPECT_EQ(Ucs2HexToText(u"004100", 1), (std::u16string{u'A', 0}));  // short trailing group reads 0
  EXPECT_EQ(Ucs2HexToText(u"0", 1), u"");
  // SMS text keeps a leading 0x80 octet; only SIM alpha identifiers skip it.
  EXPECT_EQ(Ucs2HexToText(u"80041F0440", 1), u"\u8004\u1F04\u4000");
  EXPECT_EQ(SimUcs2HexToText(u"80041F0440", 1), u"\u041F\u0440");
  EXPECT_EQ(SimUcs2HexToText(u"0041", 1), u"A");

  EXPECT_EQ(TextTo8bitHex(u"A\u00FC\u0141"), u"41FC41");
  EXPECT_EQ(Hex8bitToText(u"XX41FC", 3), u"A\u00FC");
}

TEST(PduHelpers, DetectCodingAndPhoneNumbers) {
  using enum TqvPduCoding;
  struct Coding { std::u16string text; TqvPduLanguage language; TqvPduCoding coding; };
  const Coding codings[] = {
      {u"", TqvPduLanguage::plNone, pc7bit},
      {u"hello [x] \u20AC", TqvPduLanguage::plNone, pc7bit},
      // Accented letters of the default alphabet stay 7-bit: never 8-bit data.
      {u"caf\u00E9 \u00E4\u00F1\u00C4\u00D6\u00DC\u00FC\u00E0\u00F2\u00C7", TqvPduLanguage::plNone, pc7bit},
      {u"\u0394\u03A3", TqvPduLanguage::plNone, pc7bit},
      {u"a\tb", TqvPduLanguage::plNone, pc16bit},  // no tab in the alphabet
      {u"`", TqvPduLanguage::plNone, pc16bit},
      {u"\u00E7", TqvPduLanguage::plNone, pc16bit},  // only the capital C cedilla is there
      {u"\u00E7", TqvPduLanguage::plTurkish, pc7bit},
      {u"\u015F", TqvPduLanguage::plSpanish, pc16bit},
      {u"\u00FF", TqvPduLanguage::plNone, pc16bit},
      {u"caf\u00E9\u0100", TqvPduLanguage::plNone, pc16bit},
  };
  for (const auto& c : codings) EXPECT_EQ(DetectCoding(c.text, c.language), c.coding) << Narrow(c.text);

  struct Case { std::u16string text; bool phone; };
  const Case cases[] = {{u"", true}, {u"+", true}, {u"+4912", true}, {u"0123", true}, {u"*100#", true},
                        {u"+*21#", true}, {u"12a", true}, {u"12 3", false}, {u"12+3", false}, {u"Test", false},
                        {u"12A", false}};
  for (const auto& c : cases) EXPECT_EQ(IsPhoneNumber(c.text), c.phone) << Narrow(c.text);
}

TEST(PduHelpers, EncodeAddress) {
  struct Case { std::u16string address; bool serviceCentre; std::u16string hex; };
  const Case cases[] = {
      {u"+12345678901", false, u"0B912143658709F1"},
      {u"+12345678901", true, u"07912143658709F1"},
      // No "+": unknown type, ISDN plan, so a national number stays national.
      {u"0123456789", false, u"0A811032547698"},
      {u"0123456789", true, u"06811032547698"},
      // An empty address keeps its type octet; only the service centre is "00" alone.
      {u"", false, u"0081"},
      {u"", true, u"00"},
      {u"+", false, u"02D02B"},
      {u"*100#", false, u"05811A00FB"},
      {u"+*21#", false, u"04912AB1"},
      {u"12a", false, u"038121FC"},
      {u"Test", false, u"08D0D4F29C0E"},
      {u"Test", true, u"05D0D4F29C0E"},  // a service centre counts octets
      {u"Testing", false, u"0ED0D4F29C9E769F01"},
      {u"12 3", false, u"08D031196806"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(EncodeAddress(c.address, c.serviceCentre), c.hex) << Narrow(c.address);
}

TEST(PduHelpers, DecodeAddress) {
  EXPECT_EQ(DecodeAddress(u"2143F5", 1, 6, 0x91), u"+12345");
  EXPECT_EQ(DecodeAddress(u"2143F5", 1, 6, 0x81), u"12345");
  EXPECT_EQ(DecodeAddress(u"2143F5", 1, 6, 0xA1), u"12345");  // national
  // Semi-octets A-E are * # a b c; the length decides, and F never shows.
  struct Case { std::u16string hex; int len; std::u16string address; };
  const Case cases[] = {{u"1A00FB", 5, u"*100#"}, {u"21DE", 4, u"12cb"}, {u"2F43", 4, u"234"},
                        {u"214365", 5, u"12345"}, {u"2143F5", 6, u"12345"}};
  for (const auto& c : cases) EXPECT_EQ(DecodeAddress(c.hex, 1, c.len, 0x81), c.address) << Narrow(c.hex);
  EXPECT_EQ(DecodeAddress(u"D4F29C0E", 1, 8, 0xD0), u"Test");
  // Seven septets: 13 useful semi-octets, or 14 counting the fill.
  EXPECT_EQ(DecodeAddress(u"D4F29C9E769F01", 1, 13, 0xD0), u"Testing");
  EXPECT_EQ(DecodeAddress(u"D4F29C9E769F01", 1, 14, 0xD0), u"Testing");
  EXPECT_EQ(DecodeAddress(u"00", 1, 2, 0xD0), u"@");  // a real '@' is kept
  EXPECT_EQ(DecodeAddress(u"21", 1, 8, 0x81), u"12");          // stops at the end of the text
  EXPECT_EQ(DecodeAddress(u"", 1, 0, 0x91), u"");
}

TEST(PduHelpers, ParseDateTimeText) {
  EXPECT_DOUBLE_EQ(ParseDateTimeText(u" 2008/03/25,14:30 "), At(2008, 3, 25, 14, 30));
  EXPECT_DOUBLE_EQ(ParseDateTimeText(u"2008-03-25 14.30"), At(2008, 3, 25, 14, 30));
  for (std::u16string_view bad : {u"08/03/25,14:30", u"2008/02/30,14:30", u"2008/03/25,24:00", u"2008/03/25",
                                  u""})
    EXPECT_EQ(ParseDateTimeText(bad), 0) << Narrow(bad);
}

TEST(PduHelpers, DateTimeParts) {
  EXPECT_DOUBLE_EQ(At(1899, 12, 30), 0);
  EXPECT_DOUBLE_EQ(At(2008, 3, 25), 39532);
  EXPECT_DOUBLE_EQ(At(2008, 3, 25, 12), 39532.5);
  const TqvDateParts p = PduDateParts(At(2024, 2, 29, 23, 59, 59));
  EXPECT_EQ(p.Year, 2024); EXPECT_EQ(p.Month, 2); EXPECT_EQ(p.Day, 29);
  EXPECT_EQ(p.Hour, 23); EXPECT_EQ(p.Minute, 59); EXPECT_EQ(p.Second, 59);
  EXPECT_EQ(PduDateTimeText(At(2008, 3, 25, 14, 30, 5)), u"2008-03-25 14:30:05");
  EXPECT_EQ(At(2023, 2, 29), 0);
}

// --- Encoding ---

TEST(PduEncode, SubmitVectors) {
  TqvPduSms hello = Outgoing(u"+12345678901", u"hello");
  EXPECT_EQ(hello.AsPDU(), u"0011000B912143658709F10000AA05E8329BFD06");
  EXPECT_FALSE(hello.IsEmpty());

  TqvPduSms hi = Outgoing(u"+12345678901", u"Hi");
  hi.SetConfirm(true);
  hi.SetAlert(true);
  EXPECT_EQ(hi.AsPDU(), u"0031000B912143658709F10010AA02C834");

  // A national number keeps type 81.
  EXPECT_EQ(Outgoing(u"0123456789", u"hello").AsPDU(), u"0011000A8110325476980000AA05E8329BFD06");

  TqvPduSms named = Outgoing(u"+12345678901", u"hello");
  named.SetServiceCenter(u"+31624000000");
  named.SetRefId(0x2A);
  EXPECT_EQ(named.AsPDU(), u"07911326040000F011" u"2A0B912143658709F10000AA05E8329BFD06");
}

TEST(PduEncode, CodingDetectionAndData) {
  struct Case { std::u16string text; std::u16string tail; };  // DCS, VP, UDL and user data
  const Case cases[] = {
      {u"\u00FCber", u"00AA047E71590E"},  // the u umlaut is in the 7-bit alphabet
      {u"\u0416a", u"08AA0404160061"},
      {u"\U0001F600", u"08AA04D83DDE00"},
      {u"[1]", u"00AA051B5E6CE303"},
  };
  for (const auto& c : cases) {
    TqvPduSms sms = Outgoing(u"+12345678901", c.text);
    const std::u16string pdu = sms.AsPDU();
    EXPECT_EQ(pdu.substr(24), c.tail) << Narrow(c.text);
  }
  // 8-bit data only when asked for.
  TqvPduSms eight(false);
  eight.SetPhone(u"+12345678901");
  eight.SetCoding(TqvPduCoding::pc8bit);
  eight.SetText(u"\u00FCber");
  EXPECT_EQ(eight.AsPDU().substr(24), u"04AA04FC626572");
}

TEST(PduEncode, MessageClassAndAlert) {
  using enum TqvPduClass;
  struct Case { TqvPduCoding coding; TqvPduClass cls; bool alert; std::u16string dcs; };
  const Case cases[] = {
      {TqvPduCoding::pc7bit, mcNone, false, u"00"},    {TqvPduCoding::pc7bit, mcClass0, true, u"10"},
      {TqvPduCoding::pc7bit, mcClass1, false, u"11"},  {TqvPduCoding::pc7bit, mcClass3, false, u"13"},
      {TqvPduCoding::pc8bit, mcClass0, true, u"14"},   {TqvPduCoding::pc8bit, mcClass2, false, u"16"},
      {TqvPduCoding::pc16bit, mcClass0, true, u"18"},  {TqvPduCoding::pc16bit, mcClass1, false, u"19"},
  };
  for (const auto& c : cases) {
    TqvPduSms sms(false);
    sms.SetPhone(u"+1");
    sms.SetCoding(c.coding);
    sms.SetMessageClass(c.cls);
    sms.SetText(u"x");
    EXPECT_EQ(sms.Alert(), c.alert);
    const std::u16string pdu = sms.AsPDU();
    EXPECT_EQ(pdu.substr(14, 2), c.dcs) << Narrow(pdu);
    const TqvPduSms back = Decoded(pdu);
    EXPECT_EQ(back.MessageClass(), c.cls) << Narrow(pdu);
    EXPECT_EQ(back.Alert(), c.alert) << Narrow(pdu);
  }
  // Writing Alert sets class 0; clearing it clears class 0 and no other class.
  TqvPduSms sms = Outgoing(u"+1", u"x");
  sms.SetAlert(true);
  EXPECT_EQ(sms.MessageClass(), mcClass0);
  sms.SetAlert(false);
  EXPECT_EQ(sms.MessageClass(), mcNone);
  sms.SetMessageClass(mcClass2);
  sms.SetAlert(false);
  EXPECT_EQ(sms.MessageClass(), mcClass2);
}

TEST(PduEncode, DetectedCodingFollowsTheTextButACallerCodingStays) {
  TqvPduSms detected = Outgoing(u"+1", u"hello");
  EXPECT_EQ(detected.Coding(), TqvPduCoding::pc7bit);
  detected.SetText(u"\u041F\u0440\u0438\u0432\u0435\u0442");
  EXPECT_EQ(detected.Coding(), TqvPduCoding::pc16bit);
  EXPECT_EQ(Decoded(detected.AsPDU()).Text(), u"\u041F\u0440\u0438\u0432\u0435\u0442");

  TqvPduSms fixed(false);
  fixed.SetPhone(u"+1");
  fixed.SetCoding(TqvPduCoding::pc7bit);
  fixed.SetText(u"\u00E9t\u00E9");  // Latin-1 through the GSM table, by the caller's choice
  fixed.SetText(u"\u00E8re");
  EXPECT_EQ(fixed.Coding(), TqvPduCoding::pc7bit);
  EXPECT_EQ(Decoded(fixed.AsPDU()).Text(), u"\u00E8re");

  // Assign copies the coding and who chose it.
  TqvPduSms copyOfFixed(false);
  copyOfFixed.Assign(&fixed);
  EXPECT_EQ(copyOfFixed.Coding(), TqvPduCoding::pc7bit);
  EXPECT_EQ(copyOfFixed.AsPDU(), fixed.AsPDU());
  copyOfFixed.SetText(u"\u0416");
  EXPECT_EQ(copyOfFixed.Coding(), TqvPduCoding::pc7bit);

  TqvPduSms copyOfDetected(false);
  copyOfDetected.SetCoding(TqvPduCoding::pc8bit);
  copyOfDetected.Assign(&detected);
  EXPECT_EQ(copyOfDetected.Coding(), TqvPduCoding::pc16bit);
  copyOfDetected.SetText(u"plain");
  EXPECT_EQ(copyOfDetected.Coding(), TqvPduCoding::pc7bit);

  // A coding written after the text still sends the text.
  TqvPduSms late = Outgoing(u"+1", u"\u00E9t\u00E9");
  late.SetCoding(TqvPduCoding::pc7bit);
  EXPECT_EQ(Decoded(late.AsPDU()).Text(), u"\u00E9t\u00E9");
  EXPECT_EQ(late.AsPDU().substr(14, 2), u"00");

  copyOfDetected.Assign(nullptr);
  EXPECT_EQ(copyOfDetected.Text(), u"plain");
}

TEST(PduEncode, ValidityPeriods) {
  struct Relative { double days; std::u16string octet; };
  const Relative relative[] = {
      {0, u"00"},   {0.25, u"47"}, {0.5, u"8F"}, {1, u"A7"},  {2, u"A8"},     {30, u"C4"},   {35, u"C5"},
      {441, u"FF"}, {5000, u"FF"}, {4, u"AA"},  {7, u"AD"},  {1.0 / 288, u"00"},
      // Between steps: the next longer step, never a much longer one.
      {1.5, u"A8"}, {1.99, u"A8"}, {2.5, u"A9"}, {30.5, u"C5"}, {0.3, u"56"}, {0.51, u"90"},
      {6.0 / 1440, u"01"}, {36, u"C6"}, {-1, u"00"}};
  for (const auto& r : relative) {
    TqvPduSms sms = Outgoing(u"+1", u"A");
    sms.SetTTLValue(r.days);
    EXPECT_EQ(sms.AsPDU().substr(16, 2), r.octet) << r.days;
  }

  struct Form { TqvPduTTL type; std::u16string pdu; };
  const Form forms[] = {
      {TqvPduTTL::ttlNone, u"0001000181F1000001" u"41"},
      {TqvPduTTL::ttlAbs, u"0019000181F1000080305241035000" u"0141"},
  };
  for (const auto& f : forms) {
    TqvPduSms sms = Outgoing(u"1", u"A");
    sms.SetTTLType(f.type);
    sms.SetTTLValue(At(2008, 3, 25, 14, 30, 5));
    EXPECT_EQ(sms.AsPDU(), f.pdu) << static_cast<int>(f.type);
  }
}

// The enhanced format: a functionality indicator, then the value in the form
// it names; always seven octets. TTLValue is a duration in days.
TEST(PduEncode, EnhancedValidityPeriods) {
  struct Case { double days; std::u16string field; bool encodes; };
  const Case cases[] = {
      {4, u"01AA0000000000", true},                       // relative steps
      {30.0 / 86400, u"021E0000000000", true},            // seconds
      {0, u"00000000000000", true},                       // none given
      {(12 * 3600 + 34 * 60 + 5) / 86400.0, u"03214350000000", false},  // hours, minutes, seconds
      {1.0 / 288, u"81000000000000", false},             // an extension octet before the value
  };
  for (const auto& c : cases) {
    const std::u16string pdu = u"0009000181F10000" + c.field + u"0141";
    if (c.encodes) {
      TqvPduSms sms = Outgoing(u"1", u"A");
      sms.SetTTLType(TqvPduTTL::ttlExt);
      sms.SetTTLValue(c.days);
      EXPECT_EQ(sms.AsPDU(), pdu);
    }
    const TqvPduSms back = Decoded(pdu);
    ASSERT_FALSE(back.Error()) << StringToUtf8(back.ErrorReason());
    EXPECT_EQ(back.TTLType(), TqvPduTTL::ttlExt);
    EXPECT_NEAR(back.TTLValue(), c.days, 1e-9) << Narrow(c.field);
    EXPECT_EQ(back.Text(), u"A");
  }
}

TEST(PduEncode, TimeZonesEastAndWestRoundTrip) {
  // Zone octets in quarters of an hour: 21 = +3 h, 0A = -5 h (sign bit 8 in
  // the tens digit), 22 = +5:30, 32 = +5:45, 49 = -3:30. GMT keeps whole
  // hours, truncated toward zero.
  struct Case { std::u16string zone; int gmt; int minutes; };
  const Case cases[] = {{u"21", 3, 180},  {u"0A", -5, -300}, {u"00", 0, 0},    {u"2B", -8, -480},
                        {u"84", 12, 720}, {u"22", 5, 330},   {u"32", 5, 345}, {u"49", -3, -210}};
  for (const auto& c : cases) {
    const std::u16string pdu = u"00040B912143658709F10000" u"803052410350" + c.zone + u"05E8329BFD06";
    TqvPduSms sms = Decoded(pdu);
    ASSERT_FALSE(sms.Error());
    EXPECT_EQ(sms.GMT(), c.gmt) << Narrow(c.zone);
    EXPECT_EQ(sms.GmtMinutes(), c.minutes) << Narrow(c.zone);
    EXPECT_DOUBLE_EQ(sms.DateTime(), At(2008, 3, 25, 14, 30, 5));
    EXPECT_EQ(sms.AsPDU(), pdu) << Narrow(c.zone);
  }
}

TEST(PduEncode, StatusReportAndDeliver) {
  TqvPduSms report(true);
  report.SetReport(true);
  report.SetRefId(0x2A);
  report.SetPhone(u"+12345678901");
  report.SetDateTime(At(2008, 3, 25, 14, 30, 5));
  report.SetReportDateTime(At(2008, 3, 25, 14, 30, 6));
  EXPECT_EQ(report.AsPDU(), u"00062A0B912143658709F1" u"80305241035000" u"80305241036000" u"00");

  TqvPduSms deliver = Decoded(kDeliverHello);
  EXPECT_EQ(deliver.AsPDU(), kDeliverHello);

  // The discharge time keeps its own zone: +3 h for the stamp, -3:30 for it.
  const std::u16string zones = u"00062A0B912143658709F1" u"80305241035021" u"80305241036049" u"00";
  TqvPduSms twoZones = Decoded(zones);
  EXPECT_EQ(twoZones.GmtMinutes(), 180);
  EXPECT_EQ(twoZones.GMT(), 3);
  EXPECT_EQ(twoZones.ReportGmtMinutes(), -210);
  EXPECT_EQ(twoZones.AsPDU(), zones);

  // A report with text carries it behind TP-PI.
  TqvPduSms withText = Decoded(zones);
  withText.SetText(u"AB");
  const std::u16string pdu = withText.AsPDU();
  EXPECT_EQ(pdu, zones + u"070000024121");
  EXPECT_EQ(Decoded(pdu).Text(), u"AB");
}

TEST(PduEncode, RejectDuplicates) {
  TqvPduSms sms = Outgoing(u"+12345678901", u"hello");
  sms.SetRejectDuplicates(true);
  const std::u16string pdu = sms.AsPDU();
  EXPECT_EQ(pdu, u"0015000B912143658709F10000AA05E8329BFD06");
  EXPECT_TRUE(Decoded(pdu).RejectDuplicates());
  EXPECT_FALSE(Decoded(u"0011000B912143658709F10000AA05E8329BFD06").RejectDuplicates());
}

// --- Parts ---

struct PartRow {
  TqvPduCoding coding;
  TqvPduPort port;
  int single;       // units one part carries
  int each;         // units each part of several carries
  int maxSingle;    // PartMaxLen without a split
  int maxSplit;     // PartMaxLen after a split
};

class PduParts : public ::testing::TestWithParam<PartRow> {};

char16_t SampleChar(TqvPduCoding c) {
  return c == TqvPduCoding::pc7bit ? u'a' : c == TqvPduCoding::pc8bit ? u'\u00E9' : u'\u0416';
}

TEST_P(PduParts, CutAtTheTableLengthsAndFitIn140Octets) {
  const PartRow& row = GetParam();
  auto make = [&](size_t n) {
    TqvPduSms sms(false);
    sms.SetPhone(u"+12345678901");
    sms.SetAutoCutText(true);
    sms.SetPortType(row.port);
    sms.SetPortDest(0x1234);
    sms.SetPortSrc(0x5678);
    sms.SetPartId(0x9C);
    if (row.coding == TqvPduCoding::pc8bit) sms.SetCoding(row.coding);  // never detected
    sms.SetText(Repeat(SampleChar(row.coding), n));
    EXPECT_EQ(sms.Coding(), row.coding);
    return sms;
  };
  TqvPduSms one = make(static_cast<size_t>(row.single));
  EXPECT_EQ(one.PartCount(), 1);
  EXPECT_EQ(one.PartMaxLen(), row.maxSingle);

  for (size_t n : {static_cast<size_t>(row.single) + 1, static_cast<size_t>(2 * row.each),
                   static_cast<size_t>(2 * row.each) + 1}) {
    TqvPduSms sms = make(n);
    const int parts = static_cast<int>((n + static_cast<size_t>(row.each) - 1) / static_cast<size_t>(row.each));
    ASSERT_EQ(sms.PartCount(), parts) << n;
    EXPECT_EQ(sms.PartMaxLen(), row.maxSplit);
    std::u16string joined;
    for (int p = 1; p <= parts; ++p) {
      sms.SetPartNumber(p);
      const std::u16string pdu = sms.AsPDU();
      // SC (1), first octet, MR, DA (8), PID, DCS, VP, UDL: 15 octets before the user data.
      EXPECT_LE(pdu.size() / 2 - 15, 140u) << "part " << p;
      TqvPduSms back = Decoded(pdu);
      EXPECT_EQ(back.PartCount(), parts);
      EXPECT_EQ(back.PartNumber(), p);
      EXPECT_EQ(back.PartId(), 0x9C);
      EXPECT_EQ(back.PortType(), row.port);
      if (row.port != TqvPduPort::ppNone) {
        EXPECT_EQ(back.PortDest(), row.port == TqvPduPort::pp8bit ? 0x34 : 0x1234);
      }
      if (p < parts) {
        EXPECT_EQ(back.Text().size(), static_cast<size_t>(row.each));
      }
      joined += back.Text();
    }
    EXPECT_EQ(joined, Repeat(SampleChar(row.coding), n));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, PduParts,
    ::testing::Values(PartRow{TqvPduCoding::pc7bit, TqvPduPort::ppNone, 160, 153, 160, 154},
                      PartRow{TqvPduCoding::pc7bit, TqvPduPort::pp8bit, 153, 146, 155, 150},
                      // 7-octet header = 8 septets: 152 fit, not 153
                      PartRow{TqvPduCoding::pc7bit, TqvPduPort::pp16bit, 152, 146, 153, 148},
                      PartRow{TqvPduCoding::pc8bit, TqvPduPort::ppNone, 140, 134, 140, 134},
                      PartRow{TqvPduCoding::pc8bit, TqvPduPort::pp8bit, 135, 130, 135, 130},
                      PartRow{TqvPduCoding::pc8bit, TqvPduPort::pp16bit, 133, 128, 133, 128},
                      PartRow{TqvPduCoding::pc16bit, TqvPduPort::ppNone, 70, 64, 70, 64},
                      PartRow{TqvPduCoding::pc16bit, TqvPduPort::pp8bit, 65, 60, 65, 60},
                      PartRow{TqvPduCoding::pc16bit, TqvPduPort::pp16bit, 63, 58, 63, 58}));

TEST(PduEncode, PartHeadersAndLengths) {
  TqvPduSms sms = Outgoing(u"+12345678901", Repeat(u'x', 200));
  sms.SetPartId(7);
  ASSERT_EQ(sms.PartCount(), 2);
  const std::u16string first = sms.AsPDU();
  EXPECT_EQ(first.substr(0, 30), u"0051000B912143658709F10000AAA0");
  EXPECT_EQ(first.substr(30, 12), u"050003070201");
  sms.SetPartNumber(2);
  const std::u16string second = sms.AsPDU();
  EXPECT_EQ(second.substr(28, 14), u"36050003070202");  // UDL 54 = 7 + 47

  // A single 7-bit part with 16-bit ports carries at most 152 septets even
  // when the caller cuts the text itself.
  TqvPduSms manual(false);
  manual.SetPhone(u"+1");
  manual.SetPortType(TqvPduPort::pp16bit);
  manual.SetText(Repeat(u'x', 160));
  TqvPduSms back = Decoded(manual.AsPDU());
  EXPECT_EQ(back.Text().size(), 152u);
}

TEST(PduEncode, PartsNeverSplitEscapesOrSurrogatePairs) {
  // 152 plain septets and a "[": the escape would be septet 153 of part 1.
  TqvPduSms escaped = Outgoing(u"+1", Repeat(u'a', 152) + u"[" + Repeat(u'b', 10));
  ASSERT_EQ(escaped.PartCount(), 2);
  escaped.SetPartNumber(1);
  EXPECT_EQ(Decoded(escaped.AsPDU()).Text(), Repeat(u'a', 152));
  escaped.SetPartNumber(2);
  EXPECT_EQ(Decoded(escaped.AsPDU()).Text(), u"[" + Repeat(u'b', 10));

  // 63 characters and an emoji: the pair would straddle units 64 and 65.
  TqvPduSms emoji = Outgoing(u"+1", Repeat(u'\u0416', 63) + u"\U0001F600" + Repeat(u'\u0416', 10));
  ASSERT_EQ(emoji.PartCount(), 2);
  EXPECT_EQ(Decoded(emoji.AsPDU()).Text(), Repeat(u'\u0416', 63));
  emoji.SetPartNumber(2);
  EXPECT_EQ(Decoded(emoji.AsPDU()).Text(), u"\U0001F600" + Repeat(u'\u0416', 10));

  // Many escapes: parts still join to the original.
  std::u16string braces;
  for (int i = 0; i < 200; ++i) braces += i % 3 ? u"{" : u"x";
  TqvPduSms many = Outgoing(u"+1", braces);
  std::u16string joined;
  for (int p = 1; p <= many.PartCount(); ++p) {
    many.SetPartNumber(p);
    joined += Decoded(many.AsPDU()).Text();
  }
  EXPECT_EQ(joined, braces);
}

TEST(PduEncode, TooManyPartsIsRefused) {
  TqvPduSms ok = Outgoing(u"+1", Repeat(u'x', 153 * 255));
  EXPECT_EQ(ok.PartCount(), 255);
  EXPECT_FALSE(ok.Error());

  TqvPduSms tooLong = Outgoing(u"+1", Repeat(u'x', 153 * 255 + 1));
  EXPECT_TRUE(tooLong.Error());
  EXPECT_EQ(tooLong.AsPDU(), u"");
  tooLong.SetText(u"short again");
  EXPECT_FALSE(tooLong.Error());
  EXPECT_EQ(Decoded(tooLong.AsPDU()).Text(), u"short again");

  TqvPduSms refusedThenDecoded = Outgoing(u"+1", Repeat(u'x', 153 * 255 + 1));
  refusedThenDecoded.SetAsPDU(u"00");  // a failed decoding reports its own error
  EXPECT_TRUE(refusedThenDecoded.Error());
}

TEST(PduEncode, ReusedRecordDropsAStaleHeader) {
  TqvPduSms sms = Outgoing(u"+1", Repeat(u'x', 200));
  EXPECT_EQ(sms.AsPDU().substr(2, 2), u"51");
  sms.SetText(u"hello");
  EXPECT_EQ(sms.PartCount(), 1);
  const std::u16string pdu = sms.AsPDU();
  EXPECT_EQ(pdu.substr(2, 2), u"11");
  EXPECT_EQ(Decoded(pdu).Text(), u"hello");
}

// --- Decoding ---

TEST(PduDecode, DeliverFields) {
  TqvPduSms sms = Decoded(kDeliverHello);
  EXPECT_FALSE(sms.Error());
  EXPECT_FALSE(sms.IsEmpty());
  EXPECT_TRUE(sms.Incoming());
  EXPECT_FALSE(sms.Report());
  EXPECT_EQ(sms.ServiceCenter(), u"+31624000000");
  EXPECT_EQ(sms.Phone(), u"+12345678901");
  EXPECT_EQ(sms.Text(), u"hello");
  EXPECT_EQ(sms.Coding(), TqvPduCoding::pc7bit);
  EXPECT_DOUBLE_EQ(sms.DateTime(), At(2008, 3, 25, 14, 30, 5));
  EXPECT_EQ(sms.GMT(), 3);
  EXPECT_FALSE(sms.NotLast());
  EXPECT_EQ(sms.ReportText(), u"");

  // Blanks, lower case and the 000000FF prefix some modems send decode alike.
  for (std::u16string variant : {u"  000000FF" + std::u16string(kDeliverHello) + u"\r\n",
                                 Utf8ToString("07911326040000f0040b912143658709f1000080305241035021"
                                              "05e8329bfd06")}) {
    TqvPduSms other = Decoded(variant);
    EXPECT_FALSE(other.Error());
    EXPECT_EQ(other.AsPDU(), sms.AsPDU());
  }
}

TEST(PduDecode, SubmitReadBackFromStorage) {
  const TqvPduSms sms = Decoded(u"0011" u"2A0B912143658709F10000AA05E8329BFD06");
  EXPECT_FALSE(sms.Error());
  EXPECT_FALSE(sms.Incoming());
  EXPECT_EQ(sms.RefId(), 0x2A);
  EXPECT_EQ(sms.TTLType(), TqvPduTTL::ttlOffset);
  EXPECT_DOUBLE_EQ(sms.TTLValue(), 4.0);
  EXPECT_EQ(sms.Phone(), u"+12345678901");
  EXPECT_EQ(sms.Text(), u"hello");
}

TEST(PduDecode, StatusReports) {
  struct Case { std::u16string status; std::u16string text; };
  const Case cases[] = {
      {u"00", u"REPORT: Sms is Delivered to +12345678901 at 2008-03-25 14:30:05"},
      {u"1F", u"REPORT: Sms is Delivered to +12345678901 at 2008-03-25 14:30:05"},
      {u"20", u"REPORT: Sms is Pending to +12345678901 at 2008-03-25 14:30:05 (status 20)"},
      {u"41", u"REPORT: Sms is Not Delivered to +12345678901 at 2008-03-25 14:30:05 (status 41)"},
      {u"62", u"REPORT: Sms is Not Delivered to +12345678901 at 2008-03-25 14:30:05 (status 62)"},
  };
  for (const auto& c : cases) {
    const TqvPduSms sms = Decoded(u"00062A0B912143658709F1" u"80305241035021" u"80305241036021" + c.status);
    EXPECT_FALSE(sms.Error());
    EXPECT_TRUE(sms.Report());
    EXPECT_TRUE(sms.Incoming());
    EXPECT_EQ(sms.RefId(), 0x2A);
    EXPECT_EQ(sms.Phone(), u"+12345678901");
    EXPECT_DOUBLE_EQ(sms.DateTime(), At(2008, 3, 25, 14, 30, 5));
    EXPECT_DOUBLE_EQ(sms.ReportDateTime(), At(2008, 3, 25, 14, 30, 6));
    EXPECT_EQ(sms.ReportStatus(), HexToOctet(c.status, 1));
    EXPECT_EQ(sms.Text(), u"");
    EXPECT_EQ(sms.ReportText(), c.text);
  }
}

TEST(PduDecode, SevenBitPartsReturnExactlyTheirSeptets) {
  for (size_t n : {8u, 16u, 24u, 153u}) {
    TqvPduSms part(false);
    part.SetPhone(u"+1");
    part.SetAutoCutText(true);
    part.SetText(Repeat(u'q', 153) + Repeat(u'z', n));
    part.SetPartNumber(2);
    EXPECT_EQ(Decoded(part.AsPDU()).Text(), Repeat(u'z', n)) << n;
  }
}

TEST(PduDecode, UserDataLengthBoundsTheText) {
  // Each PDU carries one octet of padding beyond its user-data length.
  struct Case { std::u16string pdu; std::u16string text; };
  const Case cases[] = {
      {u"0004038121F300048030524103502102C8E9" u"FF", u"\u00C8\u00E9"},
      {u"0004038121F30008803052410350210404160061" u"0041", u"\u0416a"},
      {u"0004038121F30000803052410350210361F118" u"FF", u"abc"},
      // A UCS2 text may begin with U+80xx.
      {u"0004038121F3000880305241035021048001041F", u"\u8001\u041F"},
  };
  for (const auto& c : cases) {
    const TqvPduSms sms = Decoded(c.pdu);
    EXPECT_FALSE(sms.Error()) << Narrow(c.pdu);
    EXPECT_EQ(sms.Phone(), u"123");
    EXPECT_EQ(sms.Text(), c.text) << Narrow(c.pdu);
  }
}

TEST(PduDecode, ConcatenationElements) {
  struct Case { std::u16string header; int id, bits, count, number; TqvPduPort port; };
  const Case cases[] = {
      {u"050003070302", 7, 8, 3, 2, TqvPduPort::ppNone},
      {u"06080412340302", 0x1234, 16, 3, 2, TqvPduPort::ppNone},
      // A 16-bit reference element before an 8-bit one: the 8-bit one is read last.
      {u"0B08041234030200030A0201", 0x0A, 8, 2, 1, TqvPduPort::ppNone},
      {u"0B0504162B12340003550201", 0x55, 8, 2, 1, TqvPduPort::pp16bit},
      {u"09040217160003550201", 0x55, 8, 2, 1, TqvPduPort::pp8bit},
      {u"03010100", 0, 0, 1, 1, TqvPduPort::ppNone},  // unknown element skipped
      {u"050003070002", 0, 0, 1, 1, TqvPduPort::ppNone},  // no part 0 of 0: no part at all
  };
  for (const auto& c : cases) {
    const int headerOctets = static_cast<int>(c.header.size() / 2);
    const std::u16string udl = Format(u"%.2X", {uint64_t(headerOctets + 2)});
    const TqvPduSms sms = Decoded(u"0044038121F3000480305241035021" + udl + c.header + u"4142");
    EXPECT_FALSE(sms.Error());
    EXPECT_TRUE(sms.IsHeader());
    EXPECT_EQ(sms.PartId(), c.id) << Narrow(c.header);
    EXPECT_EQ(sms.PartIdBits(), c.bits) << Narrow(c.header);
    EXPECT_EQ(sms.PartCount(), c.count) << Narrow(c.header);
    EXPECT_EQ(sms.PartNumber(), c.number) << Narrow(c.header);
    EXPECT_EQ(sms.PortType(), c.port) << Narrow(c.header);
    EXPECT_EQ(sms.Text(), u"AB") << Narrow(c.header);
  }
}

// The coded units of one part, as they were in the PDU: what a reader joins
// before decoding. A part may end on an escape or half a surrogate pair,
// which its own text cannot show.
TEST(PduDecode, CodedTextKeepsWhatTheTextCannotShow) {
  struct Case { const char* name; std::u16string pdu; std::u16string units; std::u16string text; };
  const Case cases[] = {
      // 7-bit "A" and a final escape, behind a 6-octet header (one fill bit).
      {"final escape", u"0044038121F3000080305241035021" u"09" u"050003070201" u"821B", {0x41, 0x1B}, u"A"},
      // 7-bit "[" whole: escape and code.
      {"escape pair", u"0004038121F3000080305241035021" u"02" u"1B1E", {0x1B, 0x3C}, u"["},
      // UCS2 "a" and the high half of U+1F600.
      {"half a pair", u"0044038121F3000880305241035021" u"0A" u"050003070201" u"0061D83D",
       {0x0061, 0xD83D}, {0x0061, 0xD83D}},
      // 8-bit octets as they are.
      {"octets", u"0004038121F3000480305241035021" u"02" u"FF00", {0xFF, 0x00}, {0xFF, 0x00}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const TqvPduSms sms = Decoded(c.pdu);
    ASSERT_FALSE(sms.Error()) << Narrow(sms.ErrorReason());
    EXPECT_EQ(std::u16string(sms.CodedText()), c.units);
    EXPECT_EQ(sms.Text(), c.text);
  }
}

// A PDU that is not well formed: an error with where it stopped, and no text.
TEST(PduDecode, MalformedInputSaysWhyAndWhere) {
  const std::u16string& report = kReportDelivered;
  struct Case { std::u16string pdu; std::u16string reason; };
  const Case cases[] = {
      {u"", u"empty PDU"},
      {u"  \r\n", u"empty PDU"},
      {u"000000FF", u"empty PDU"},
      {u"001", u"odd number of hex digits (3)"},
      {u"0004ZZ81", u"not a hex digit at character 5"},
      {u"07911326", u"service-centre address runs past the end of the PDU at octet 1"},
      {u"00", u"first octet runs past the end of the PDU at octet 2"},
      {u"0003038121F3", u"reserved message type 11 at octet 2"},
      {u"0011", u"message reference runs past the end of the PDU at octet 3"},
      {u"0004", u"address runs past the end of the PDU at octet 3"},
      {u"00040B91214365", u"address runs past the end of the PDU at octet 3"},
      {u"0C91" + Repeat(u'1', 22) + u"04", u"service-centre address longer than 11 octets at octet 1"},
      {u"000415D0" + Repeat(u'1', 22), u"address longer than 20 semi-octets at octet 3"},
      {u"0004038121F30000", u"time stamp runs past the end of the PDU at octet 9"},
      {u"0011000B912143658709F10000", u"validity period runs past the end of the PDU at octet 14"},
      {u"0004038121F3000080305241035021", u"user-data length runs past the end of the PDU at octet 16"},
      {u"0004038121F300008030524103502105E8329B",
       u"user data runs past the end of the PDU (3 of 5 octets) at octet 17"},
      {u"0004038121F3000080305241035021A1", u"user-data length 161 over the maximum at octet 16"},
      {u"0004038121F30004803052410350218D", u"user-data length 141 over the maximum at octet 16"},
      {u"0004038121F3002080305241035021024121",
       u"compressed user data (coding scheme 20) is not supported at octet 16"},
      {u"0044038121F30004803052410350210205" u"00", u"user-data header longer than the user data at octet 17"},
      // Six header octets take seven septets with their fill: more than UDL 6.
      {u"0044038121F3000080305241035021" u"06" u"050003070201",
       u"user-data header longer than the user data at octet 17"},
      {u"0044038121F3000480305241035021" u"05" u"040003AB02",
       u"user-data header element 00 runs past the header at octet 18"},
      {u"00062A0B912143658709F1803052410350", u"time stamp runs past the end of the PDU at octet 12"},
      {report + u"05", u"protocol identifier runs past the end of the PDU at octet 28"},
      {report + u"04054121", u"user data runs past the end of the PDU (2 of 5 octets) at octet 29"},
  };
  for (const auto& c : cases) {
    const TqvPduSms sms = Decoded(c.pdu);
    EXPECT_TRUE(sms.Error()) << Narrow(c.pdu);
    EXPECT_TRUE(sms.IsEmpty()) << Narrow(c.pdu);
    EXPECT_EQ(sms.Text(), u"") << Narrow(c.pdu);
    EXPECT_EQ(Narrow(sms.ErrorReason()), Narrow(c.reason)) << Narrow(c.pdu);
  }
  // What was read before the fault stays; a good PDU clears the reason.
  TqvPduSms sms = Decoded(u"0004038121F300008030524103502105E8329B");
  EXPECT_EQ(sms.Phone(), u"123");
  sms.SetAsPDU(kDeliverHello);
  EXPECT_FALSE(sms.Error());
  EXPECT_EQ(sms.ErrorReason(), u"");
}

TEST(PduDecode, DataCodingGroups) {
  using enum TqvPduCoding;
  using enum TqvPduClass;
  struct Case { std::u16string dcs; TqvPduCoding coding; TqvPduClass cls; };
  const Case cases[] = {
      {u"00", pc7bit, mcNone},   {u"04", pc8bit, mcNone},   {u"08", pc16bit, mcNone},
      {u"0C", pc7bit, mcNone},   // reserved alphabet
      {u"10", pc7bit, mcClass0}, {u"11", pc7bit, mcClass1}, {u"12", pc7bit, mcClass2}, {u"13", pc7bit, mcClass3},
      {u"15", pc8bit, mcClass1}, {u"1A", pc16bit, mcClass2}, {u"1C", pc7bit, mcClass0},
      {u"03", pc7bit, mcNone},   // class bits without bit 4 mean nothing
      {u"40", pc7bit, mcNone},   {u"51", pc7bit, mcClass1}, {u"55", pc8bit, mcClass1}, {u"5A", pc16bit, mcClass2},
      {u"80", pc7bit, mcNone},   {u"B4", pc7bit, mcNone},   // reserved groups
      {u"C0", pc7bit, mcNone},   {u"C8", pc7bit, mcNone},   {u"D0", pc7bit, mcNone}, {u"D4", pc7bit, mcNone},
      {u"E0", pc16bit, mcNone},  {u"E8", pc16bit, mcNone},
      {u"F0", pc7bit, mcClass0}, {u"F1", pc7bit, mcClass1}, {u"F4", pc8bit, mcClass0}, {u"F7", pc8bit, mcClass3},
      {u"F8", pc7bit, mcClass0},
  };
  for (const auto& c : cases) {
    // "AB" as user data of the coding the scheme should give.
    const std::u16string ud = c.coding == pc7bit ? u"024121" : c.coding == pc8bit ? u"024142" : u"0400410042";
    const TqvPduSms sms = Decoded(u"0004038121F300" + c.dcs + u"80305241035021" + ud);
    ASSERT_FALSE(sms.Error()) << Narrow(c.dcs) << " " << Narrow(sms.ErrorReason());
    EXPECT_EQ(sms.Coding(), c.coding) << Narrow(c.dcs);
    EXPECT_EQ(sms.MessageClass(), c.cls) << Narrow(c.dcs);
    EXPECT_EQ(sms.Alert(), c.cls == mcClass0) << Narrow(c.dcs);
    EXPECT_EQ(sms.DCS(), HexToOctet(c.dcs, 1));
    EXPECT_EQ(sms.Text(), u"AB") << Narrow(c.dcs);
  }
}

// TP-PI says which of PID, DCS and user data follow the status; a remainder
// of FF octets is the rest of a SIM record.
TEST(PduDecode, StatusReportParameters) {
  struct Case { std::u16string tail; std::u16string text; uint8_t pid; TqvPduCoding coding; };
  const Case cases[] = {
      {u"", u"", 0, TqvPduCoding::pc7bit},
      {u"FF", u"", 0, TqvPduCoding::pc7bit},
      {u"FFFFFFFF", u"", 0, TqvPduCoding::pc7bit},
      {u"00", u"", 0, TqvPduCoding::pc7bit},
      {u"78", u"", 0, TqvPduCoding::pc7bit},  // bits 3-6 are ignored
      {u"017F", u"", 0x7F, TqvPduCoding::pc7bit},
      {u"07" u"00" u"00" u"02" u"4121", u"AB", 0, TqvPduCoding::pc7bit},
      {u"06" u"08" u"04" u"00410042", u"AB", 0, TqvPduCoding::pc16bit},
      {u"04" u"02" u"4121" u"FFFF", u"AB", 0, TqvPduCoding::pc7bit},  // DCS absent: the 7-bit alphabet
      {u"8000" u"00", u"", 0, TqvPduCoding::pc7bit},                  // an extension octet of TP-PI
  };
  for (const auto& c : cases) {
    const TqvPduSms sms = Decoded(kReportDelivered + c.tail);
    ASSERT_FALSE(sms.Error()) << Narrow(c.tail) << " " << Narrow(sms.ErrorReason());
    EXPECT_TRUE(sms.Report());
    EXPECT_EQ(sms.ReportStatus(), 0);
    EXPECT_EQ(sms.Text(), c.text) << Narrow(c.tail);
    EXPECT_EQ(sms.PID(), c.pid) << Narrow(c.tail);
    EXPECT_EQ(sms.Coding(), c.coding) << Narrow(c.tail);
  }
}

// A record reused for many PDUs (a listing) shows only what each PDU says.
TEST(PduDecode, AReusedRecordKeepsNothingOfTheMessageBefore) {
  TqvPduSms sms(true);
  sms.SetStoredStatus(TqvPduStatus::psRecRead);
  // 8-bit, class 1, 16-bit ports, concatenated, zone +5:45, Turkish tables.
  sms.SetAsPDU(u"07911326040000F0" u"44038121F3" u"7F" u"15" u"80305241035032"
               u"11" u"0E" u"0504162B1234" u"00030A0201" u"240101" u"4142");
  ASSERT_FALSE(sms.Error()) << StringToUtf8(sms.ErrorReason());
  EXPECT_EQ(sms.Coding(), TqvPduCoding::pc8bit);
  EXPECT_EQ(sms.MessageClass(), TqvPduClass::mcClass1);
  EXPECT_EQ(sms.PortType(), TqvPduPort::pp16bit);
  EXPECT_EQ(sms.PartCount(), 2);
  EXPECT_EQ(sms.GmtMinutes(), 345);
  EXPECT_EQ(sms.Language(), TqvPduLanguage::plTurkish);
  EXPECT_EQ(sms.Text(), u"AB");

  sms.SetAsPDU(u"00062A0B912143658709F1" u"80305241035021" u"80305241036049" u"46");
  ASSERT_TRUE(sms.Report());
  EXPECT_EQ(sms.DCS(), 0);
  EXPECT_EQ(sms.PID(), 0);
  EXPECT_EQ(sms.ReportStatus(), 0x46);

  sms.SetAsPDU(u"0004038121F3000080305241035000" u"024121");
  ASSERT_FALSE(sms.Error());
  EXPECT_FALSE(sms.Report());
  EXPECT_EQ(sms.Coding(), TqvPduCoding::pc7bit);
  EXPECT_EQ(sms.DCS(), 0);
  EXPECT_EQ(sms.PID(), 0);
  EXPECT_EQ(sms.MessageClass(), TqvPduClass::mcNone);
  EXPECT_EQ(sms.PortType(), TqvPduPort::ppNone);
  EXPECT_EQ(sms.PortDest(), 0);
  EXPECT_EQ(sms.PartCount(), 1);
  EXPECT_EQ(sms.PartId(), 0);
  EXPECT_FALSE(sms.IsHeader());
  EXPECT_EQ(sms.GmtMinutes(), 0);
  EXPECT_EQ(sms.ReportStatus(), 0);
  EXPECT_EQ(sms.ReportGmtMinutes(), 0);
  EXPECT_DOUBLE_EQ(sms.ReportDateTime(), 0);
  EXPECT_EQ(sms.Language(), TqvPduLanguage::plNone);
  EXPECT_EQ(sms.ServiceCenter(), u"");
  EXPECT_EQ(sms.Text(), u"AB");
  // The stored status is the listing's to set: decoding leaves it, Clear resets it.
  EXPECT_EQ(sms.StoredStatus(), TqvPduStatus::psRecRead);
  sms.Clear();
  EXPECT_EQ(sms.StoredStatus(), TqvPduStatus::psUnknown);
}

TEST(PduDecode, StoredStatusFromTheListingHead) {
  using enum TqvPduStatus;
  struct Case { std::u16string stat; TqvPduStatus status; };
  const Case cases[] = {{u"0", psRecUnread},        {u"1", psRecRead},         {u"2", psStoUnsent},
                        {u"3", psStoSent},          {u"4", psUnknown},         {u"\"REC READ\"", psRecRead},
                        {u" rec unread ", psRecUnread}, {u"STO SENT", psStoSent}, {u"", psUnknown},
                        {u"10", psUnknown}};
  for (const auto& c : cases) EXPECT_EQ(PduStatusFromStat(c.stat), c.status) << Narrow(c.stat);
}

// Septets packed behind a header as a sender would: fill bits, then the text.
std::u16string DeliverWithHeader(std::u16string_view header, std::u16string_view septets) {
  const size_t h = header.size() / 2;
  const size_t a = h % 7;
  const std::u16string packed = a == 0 ? PackSeptets(septets, 0) : PackSeptets(u" " + std::u16string(septets), int(a));
  const std::u16string udl = Format(u"%.2X", {uint64_t((h * 8 + 6) / 7 + septets.size())});
  return u"0044038121F3000080305241035021" + udl + std::u16string(header) + packed;
}

TEST(PduDecode, NationalLanguageShifts) {
  using enum TqvPduLanguage;
  struct Case { std::u16string header; std::u16string septets; std::u16string text; TqvPduLanguage language; TqvShiftTables tables; };
  const Case cases[] = {
      {u"03250101", {0x07, 0x1C, 0x04}, u"\u0131\u015E\u20AC", plTurkish, {plTurkish, plNone}},
      {u"03240101", {0x1B, 0x73, 0x41}, u"\u015FA", plTurkish, {plNone, plTurkish}},
      {u"03240102", {0x1B, 0x61, 0x09}, u"\u00E1\u00C7", plSpanish, {plNone, plSpanish}},
      // A Portuguese locking table with a Spanish single shift table.
      {u"06240102250103", {0x7B, 0x1B, 0x61}, u"\u00E3\u00E1", plPortuguese, {plPortuguese, plSpanish}},
      {u"03250102", {0x07}, u"\u00EC", plNone, {}},             // no Spanish locking table: the default one
      {u"03240107", {0x1B, 0x47}, u"G", plNone, {}},            // an unknown language: the default tables
      {u"0424020101", {0x1B, 0x73}, u"s", plNone, {}},          // an element of the wrong size is ignored
  };
  for (const auto& c : cases) {
    const TqvPduSms sms = Decoded(DeliverWithHeader(c.header, c.septets));
    ASSERT_FALSE(sms.Error()) << Narrow(c.header) << " " << Narrow(sms.ErrorReason());
    EXPECT_EQ(sms.Text(), c.text) << Narrow(c.header);
    EXPECT_EQ(sms.Language(), c.language) << Narrow(c.header);
    EXPECT_EQ(sms.ShiftTables(), c.tables) << Narrow(c.header);
  }
}

// Named by the caller, the language's tables write the text; every part names
// them, and the part sizes count their elements.
TEST(PduEncode, NationalLanguageShifts) {
  using enum TqvPduLanguage;
  struct Case {
    TqvPduLanguage language;
    std::u16string text;  // exactly one part's worth
    std::u16string more;  // one character more makes two parts
    TqvShiftTables tables;
    std::u16string elements;
  };
  const Case cases[] = {
      {plTurkish, Repeat(u'\u0131', 155), u"\u0131", {plTurkish, plNone}, u"250101"},
      {plSpanish, u"\u00E1" + Repeat(u'a', 153), u"a", {plNone, plSpanish}, u"240102"},
      {plPortuguese, u"\u03A6" + Repeat(u'\u00AA', 150), u"\u00AA", {plPortuguese, plPortuguese}, u"240103250103"},
  };
  for (const auto& c : cases) {
    for (const std::u16string& text : {c.text, c.text + c.more}) {
      TqvPduSms sms(false);
      sms.SetPhone(u"+1");
      sms.SetAutoCutText(true);
      sms.SetLanguage(c.language);
      sms.SetText(text);
      EXPECT_EQ(sms.Coding(), TqvPduCoding::pc7bit);
      EXPECT_EQ(sms.ShiftTables(), c.tables) << Narrow(text);
      EXPECT_EQ(sms.PartCount(), text == c.text ? 1 : 2) << Narrow(text);
      std::u16string joined;
      for (int p = 1; p <= sms.PartCount(); ++p) {
        sms.SetPartNumber(p);
        const std::u16string pdu = sms.AsPDU();
        EXPECT_NE(pdu.find(c.elements), std::u16string::npos) << Narrow(pdu);
        EXPECT_LE(pdu.size() / 2 - 12, 140u) << "part " << p;  // SC, first octet, MR, DA (3), PID, DCS, VP, UDL
        const TqvPduSms back = Decoded(pdu);
        ASSERT_FALSE(back.Error()) << StringToUtf8(back.ErrorReason());
        EXPECT_EQ(back.ShiftTables(), c.tables);
        joined += back.Text();
      }
      EXPECT_EQ(joined, text);
    }
  }
  // The language written after the text writes it again.
  TqvPduSms late = Outgoing(u"+1", u"\u015F");
  EXPECT_EQ(late.Coding(), TqvPduCoding::pc16bit);
  late.SetLanguage(plTurkish);
  EXPECT_EQ(late.Coding(), TqvPduCoding::pc7bit);
  EXPECT_EQ(Decoded(late.AsPDU()).Text(), u"\u015F");

  // Assign copies the language, and the class with it.
  late.SetMessageClass(TqvPduClass::mcClass2);
  TqvPduSms copy(false);
  copy.Assign(&late);
  EXPECT_EQ(copy.Language(), plTurkish);
  EXPECT_EQ(copy.MessageClass(), TqvPduClass::mcClass2);
  EXPECT_EQ(copy.AsPDU(), late.AsPDU());
}
