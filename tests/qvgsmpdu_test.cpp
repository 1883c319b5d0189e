#include "qvgsmpdu.h"

#include <gtest/gtest.h>

#include <string>

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
      {u"\u00A4", {0x24}},                    // basic table wins over 1B 65
      {u"\f^{}\\~|", {0x1B, 0x0A, 0x1B, 0x14, 0x1B, 0x28, 0x1B, 0x29, 0x1B, 0x2F, 0x1B, 0x3D, 0x1B, 0x40}},
      {u"\u00E9\u00FC\u00E0\r\n", {0x05, 0x7E, 0x7F, 0x0D, 0x0A}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TextToSeptets(c.text), c.septets) << Narrow(c.text);
    EXPECT_EQ(SeptetsToText(c.septets), c.text) << Narrow(c.text);
  }
  // Unmapped characters pass through and are cut to seven bits when packed.
  EXPECT_EQ(TextToSeptets(u"\u20AC"), u"\u20AC");
  EXPECT_EQ(PackSeptets(u"\u20AC", 0), u"2C");

  struct Decode { std::u16string septets; std::u16string text; };
  const Decode decodes[] = {
      {{0x1B, 0x65}, u"\u00A4"}, {{0x1B, 0x41}, u""}, {{0x41, 0x1B}, u"A"},
      {{0x10}, u"\u0010"},       {{0x1B, 0x1B, 0x41}, u"A"},
  };
  for (const auto& d : decodes) EXPECT_EQ(SeptetsToText(d.septets), d.text);
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
  EXPECT_EQ(DetectCoding(u""), TqvPduCoding::pc7bit);
  EXPECT_EQ(DetectCoding(u"hello [x]"), TqvPduCoding::pc7bit);
  EXPECT_EQ(DetectCoding(u"caf\u00E9"), TqvPduCoding::pc8bit);
  EXPECT_EQ(DetectCoding(u"caf\u00E9\u0100"), TqvPduCoding::pc16bit);

  struct Case { std::u16string text; bool phone; };
  const Case cases[] = {{u"", true}, {u"+", true}, {u"+4912", true}, {u"0123", true},
                        {u"12 3", false}, {u"12+3", false}, {u"Test", false}};
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
      {u"", false, u"00"},
      {u"", true, u"00"},
      {u"+", false, u"00"},
      {u"Test", false, u"08D0D4F29C0E"},
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
  EXPECT_EQ(DecodeAddress(u"21C3", 1, 4, 0x81), u"123C");      // hex digits pass as letters
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
      {u"\u00FCber", u"04AA04FC626572"},
      {u"\u0416a", u"08AA0404160061"},
      {u"\U0001F600", u"08AA04D83DDE00"},
      {u"[1]", u"00AA051B5E6CE303"},
  };
  for (const auto& c : cases) {
    TqvPduSms sms = Outgoing(u"+12345678901", c.text);
    const std::u16string pdu = sms.AsPDU();
    EXPECT_EQ(pdu.substr(24), c.tail) << Narrow(c.text);
  }
  TqvPduSms flash8 = Outgoing(u"+1", u"\u00E9");
  flash8.SetAlert(true);
  EXPECT_EQ(flash8.AsPDU().substr(14, 2), u"14");
  TqvPduSms flash16 = Outgoing(u"+1", u"\u0416");
  flash16.SetAlert(true);
  EXPECT_EQ(flash16.AsPDU().substr(14, 2), u"18");
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
  const Relative relative[] = {{0, u"00"},   {0.25, u"47"}, {0.5, u"8F"}, {1, u"A7"}, {2, u"A8"},
                               {30, u"C4"},  {35, u"C5"},   {441, u"FF"}, {5000, u"FF"}, {4, u"AA"}};
  for (const auto& r : relative) {
    TqvPduSms sms = Outgoing(u"+1", u"A");
    sms.SetTTLValue(r.days);
    EXPECT_EQ(sms.AsPDU().substr(16, 2), r.octet) << r.days;
  }

  struct Form { TqvPduTTL type; std::u16string pdu; };
  const Form forms[] = {
      {TqvPduTTL::ttlNone, u"0001000181F1000001" u"41"},
      {TqvPduTTL::ttlAbs, u"0019000181F1000080305241035000" u"0141"},
      {TqvPduTTL::ttlExt, u"0009000181F1000080305241035000" u"0141"},
  };
  for (const auto& f : forms) {
    TqvPduSms sms = Outgoing(u"1", u"A");
    sms.SetTTLType(f.type);
    sms.SetTTLValue(At(2008, 3, 25, 14, 30, 5));
    EXPECT_EQ(sms.AsPDU(), f.pdu) << static_cast<int>(f.type);
  }
}

TEST(PduEncode, TimeZonesEastAndWestRoundTrip) {
  // Zone octets: 21 = +3 h, 0A = -5 h (sign bit 8 in the tens digit), 00 = GMT.
  struct Case { std::u16string zone; int gmt; };
  const Case cases[] = {{u"21", 3}, {u"0A", -5}, {u"00", 0}, {u"2B", -8}, {u"84", 12}};
  for (const auto& c : cases) {
    const std::u16string pdu = u"00040B912143658709F10000" u"803052410350" + c.zone + u"05E8329BFD06";
    TqvPduSms sms = Decoded(pdu);
    ASSERT_FALSE(sms.Error());
    EXPECT_EQ(sms.GMT(), c.gmt) << Narrow(c.zone);
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
  struct Case { std::u16string header; int id, count, number; TqvPduPort port; };
  const Case cases[] = {
      {u"050003070302", 7, 3, 2, TqvPduPort::ppNone},
      {u"06080412340302", 0x1234, 3, 2, TqvPduPort::ppNone},
      // A 16-bit reference element before an 8-bit one: the 8-bit one is read last.
      {u"0B08041234030200030A0201", 0x0A, 2, 1, TqvPduPort::ppNone},
      {u"0B0504162B12340003550201", 0x55, 2, 1, TqvPduPort::pp16bit},
      {u"09040217160003550201", 0x55, 2, 1, TqvPduPort::pp8bit},
      {u"03010100", 0, 1, 1, TqvPduPort::ppNone},  // unknown element skipped
  };
  for (const auto& c : cases) {
    const int headerOctets = static_cast<int>(c.header.size() / 2);
    const std::u16string udl = Format(u"%.2X", {uint64_t(headerOctets + 2)});
    const TqvPduSms sms = Decoded(u"0044038121F3000480305241035021" + udl + c.header + u"4142");
    EXPECT_FALSE(sms.Error());
    EXPECT_TRUE(sms.IsHeader());
    EXPECT_EQ(sms.PartId(), c.id) << Narrow(c.header);
    EXPECT_EQ(sms.PartCount(), c.count) << Narrow(c.header);
    EXPECT_EQ(sms.PartNumber(), c.number) << Narrow(c.header);
    EXPECT_EQ(sms.PortType(), c.port) << Narrow(c.header);
    EXPECT_EQ(sms.Text(), u"AB") << Narrow(c.header);
  }
}

TEST(PduDecode, ShortOrBrokenInputSetsErrorOrDecodesSafely) {
  for (std::u16string_view bad : {u"", u"00", u"001", u"  \r\n", u"000000FF00"}) {
    const TqvPduSms sms = Decoded(bad);
    EXPECT_TRUE(sms.Error()) << Narrow(bad);
    EXPECT_TRUE(sms.IsEmpty());
  }
  // Truncated and malformed PDUs decode without reading past the text.
  for (std::u16string_view odd : {u"0011", u"FF11000B91", u"00440B91214365870", u"0004ZZ81", u"0040FFFFFF"}) {
    const TqvPduSms sms = Decoded(odd);
    EXPECT_FALSE(sms.Error()) << Narrow(odd);
  }
}
