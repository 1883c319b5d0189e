#include "qvsmsassembler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qvtext.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

std::string Narrow(std::u16string_view s) { return qv::StringToUtf8(s); }

// One part as a modem hands it over: a DELIVER from `sender` whose user data
// carries the concatenation element and the coded units given, packed as the
// coding asks (septets, octets or UTF-16 code units).
struct TPartData {
  std::u16string sender = u"+4917012345";
  int bits = 8;
  int ref = 7;
  int count = 3;
  int number = 1;
  TqvPduCoding coding = TqvPduCoding::pc7bit;
  std::u16string units;
  std::u16string ports;  // a port element's octets as hex, "" for none
};

TqvPduSms Part(const TPartData& p) {
  std::u16string header = p.ports;
  header += p.bits == 8 ? qv::Format(u"0003%.2X", {uint64_t(p.ref)}) : qv::Format(u"0804%.4X", {uint64_t(p.ref)});
  header += qv::Format(u"%.2X%.2X", {uint64_t(p.count), uint64_t(p.number)});
  const size_t h = header.size() / 2 + 1;
  header = qv::Format(u"%.2X", {uint64_t(h - 1)}) + header;
  std::u16string data, dcs;
  size_t udl;
  switch (p.coding) {
    case TqvPduCoding::pc8bit:
      dcs = u"04", data = qv::TextTo8bitHex(p.units), udl = h + p.units.size();
      break;
    case TqvPduCoding::pc16bit:
      dcs = u"08", data = qv::TextToUcs2Hex(p.units), udl = h + 2 * p.units.size();
      break;
    default:
      // The septet that straddles the header's last octet stands in for the fill bits.
      dcs = u"00", udl = (h * 8 + 6) / 7 + p.units.size();
      data = h % 7 ? qv::PackSeptets(u" " + p.units, static_cast<int>(h % 7)) : qv::PackSeptets(p.units, 0);
      break;
  }
  const std::u16string pdu = u"0044" + qv::EncodeAddress(p.sender, false) + u"00" + dcs + u"80305241035021" +
                             qv::Format(u"%.2X", {uint64_t(udl)}) + header + data;
  TqvPduSms sms(true);
  sms.SetAsPDU(pdu);
  EXPECT_FALSE(sms.Error()) << Narrow(sms.ErrorReason()) << " in " << Narrow(pdu);
  EXPECT_EQ(sms.PartNumber(), p.number);
  return sms;
}

TPartData PartData(int number, std::u16string units) {
  TPartData p;
  p.number = number;
  p.units = std::move(units);
  return p;
}

// An assembler on a clock the test moves, and what it raised.
struct TRig {
  TqvSmsAssembler a;
  Clock::time_point now{};
  std::vector<TqvSmsMessage> messages;
  std::vector<TqvSmsPartPlace> duplicates;

  TRig() {
    a.SetClock([this] { return now; });
    a.SetTimeout(60s);
    a.OnMessage = [this](TObject*, const TqvSmsMessage& m) { messages.push_back(m); };
    a.OnDuplicate = [this](TObject*, const TqvSmsPartPlace& p) { duplicates.push_back(p); };
  }
  // The part, stored in "SM" at index 10 + its number unless said otherwise.
  void Add(const TPartData& p, int index = 0, std::u16string mem = u"SM") {
    a.Add(Part(p), mem, index ? index : 10 + p.number);
  }
};

std::vector<int32_t> Indexes(const std::vector<TqvSmsPartPlace>& places) {
  std::vector<int32_t> r;
  for (const auto& p : places) r.push_back(p.Index);
  return r;
}

}  // namespace

// Parts in any order, copies dropped; the message comes once, when whole.
TEST(SmsAssembler, JoinsPartsInAnyOrderDroppingCopies) {
  struct Case {
    const char* name;
    int bits;
    std::vector<std::pair<int, int>> arrivals;  // part number, store index
    std::vector<int32_t> duplicates;
  };
  const Case cases[] = {
      {"in order", 8, {{1, 11}, {2, 12}, {3, 13}}, {}},
      {"backwards, 16-bit reference", 16, {{3, 13}, {2, 12}, {1, 11}}, {}},
      {"a copy stored twice", 8, {{2, 12}, {1, 11}, {2, 22}, {3, 13}}, {22}},
      {"the same slot read twice", 16, {{3, 13}, {3, 13}, {1, 11}, {2, 12}}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TRig rig;
    const std::u16string texts[] = {u"", u"one ", u"two ", u"three"};
    for (size_t i = 0; i < c.arrivals.size(); ++i) {
      auto [number, index] = c.arrivals[i];
      EXPECT_TRUE(rig.messages.empty()) << "raised before part " << i + 1 << " arrived";
      TPartData p = PartData(number, qv::TextToSeptets(texts[number]));
      p.bits = c.bits;
      p.ref = c.bits == 8 ? 0xA7 : 0xBEEF;
      rig.Add(p, index);
    }
    ASSERT_EQ(rig.messages.size(), 1u);
    const TqvSmsMessage& m = rig.messages[0];
    EXPECT_EQ(m.Text, u"one two three");
    EXPECT_TRUE(m.Complete());
    EXPECT_EQ(m.PartCount, 3);
    EXPECT_EQ(m.ReferenceBits, c.bits);
    EXPECT_EQ(m.Reference, c.bits == 8 ? 0xA7 : 0xBEEF);
    EXPECT_EQ(Indexes(m.Parts), (std::vector<int32_t>{11, 12, 13}));
    EXPECT_EQ(Indexes(m.Duplicates), c.duplicates);
    EXPECT_EQ(m.First.Phone(), u"+4917012345");
    EXPECT_EQ(m.First.PartNumber(), 1);
    EXPECT_EQ(rig.a.Pending(), 0u);
  }
}

// Units are joined before they are read: a boundary may fall between an
// escape and its code, or inside a surrogate pair.
TEST(SmsAssembler, JoinsCodedUnitsNotTexts) {
  const char16_t esc = 0x1B;
  struct Case {
    const char* name;
    TqvPduCoding coding;
    std::u16string part1, part2;
    std::u16string whole;
  };
  const Case cases[] = {
      {"escape split", TqvPduCoding::pc7bit, {u'a', esc}, {0x3C, u'b'}, u"a[b"},
      {"euro split", TqvPduCoding::pc7bit, {esc}, {0x65}, u"\u20AC"},
      {"surrogate pair split", TqvPduCoding::pc16bit, {u'x', 0xD83D}, {0xDE00, u'y'}, u"x\U0001F600y"},
      {"octets", TqvPduCoding::pc8bit, {0x01, 0xFF}, {0x80}, {0x01, 0xFF, 0x80}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TRig rig;
    TPartData p1 = PartData(1, c.part1), p2 = PartData(2, c.part2);
    p1.count = p2.count = 2;
    p1.coding = p2.coding = c.coding;
    rig.Add(p2);
    rig.Add(p1);
    ASSERT_EQ(rig.messages.size(), 1u);
    EXPECT_EQ(rig.messages[0].Text, c.whole);
  }
}

// Two messages under the same reference stay apart when anything of the key
// differs, however their parts interleave.
TEST(SmsAssembler, KeepsMessagesWithTheSameReferenceApart) {
  struct Case {
    const char* name;
    void (*other)(TPartData&);
    std::u16string otherMemory;
  };
  const Case cases[] = {
      {"another sender", [](TPartData& p) { p.sender = u"+4917099999"; }, u"SM"},
      {"a 16-bit reference of the same value", [](TPartData& p) { p.bits = 16; }, u"SM"},
      {"another part count", [](TPartData& p) { p.count = 3; }, u"SM"},
      {"other ports", [](TPartData& p) { p.ports = u"04021617"; }, u"SM"},
      {"another memory", [](TPartData&) {}, u"ME"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TRig rig;
    auto mine = [](int n) {
      TPartData p = PartData(n, qv::TextToSeptets(n == 1 ? u"Hello " : u"Alice"));
      p.count = 2;
      return p;
    };
    auto other = [&](int n) {
      TPartData p = PartData(n, qv::TextToSeptets(n == 1 ? u"Bye " : n == 2 ? u"Bob" : u"!"));
      p.count = 2;
      c.other(p);
      return p;
    };
    rig.Add(mine(1));
    rig.Add(other(2), 0, c.otherMemory);
    rig.Add(other(1), 0, c.otherMemory);
    rig.Add(mine(2));
    if (other(1).count == 3) rig.Add(other(3), 0, c.otherMemory);
    ASSERT_EQ(rig.messages.size(), 2u);
    std::vector<std::u16string> texts{rig.messages[0].Text, rig.messages[1].Text};
    std::sort(texts.begin(), texts.end());
    EXPECT_EQ(texts[0], other(1).count == 3 ? u"Bye Bob!" : u"Bye Bob");
    EXPECT_EQ(texts[1], u"Hello Alice");
    EXPECT_TRUE(rig.duplicates.empty());
  }
}

// What does not arrive in time is marked, and what arrived is not lost.
TEST(SmsAssembler, MissingPartsAreMarkedAfterTheTimeOut) {
  TRig rig;
  const char16_t esc = 0x1B;
  rig.Add(PartData(1, {u'a', u'b', esc}));  // its escape waits for a code that never comes
  rig.now += 10s;
  rig.Add(PartData(3, qv::TextToSeptets(u"yz")));
  EXPECT_EQ(rig.a.NextDue(), Clock::time_point{} + 60s);  // counted from the first part
  rig.now += 49s;
  rig.a.Expire();
  EXPECT_TRUE(rig.messages.empty());
  rig.now += 1s;
  rig.a.Expire();
  ASSERT_EQ(rig.messages.size(), 1u);
  const TqvSmsMessage& m = rig.messages[0];
  EXPECT_EQ(Narrow(m.Text), "ab[part 2 of 3 missing]yz");
  EXPECT_FALSE(m.Complete());
  EXPECT_EQ(m.Missing, (std::vector<int32_t>{2}));
  EXPECT_EQ(Indexes(m.Parts), (std::vector<int32_t>{11, 13}));
  EXPECT_EQ(rig.a.Pending(), 0u);
  EXPECT_FALSE(rig.a.NextDue());

  // The late part is no copy: it comes on its own, the others marked.
  rig.Add(PartData(2, qv::TextToSeptets(u"mn")));
  rig.now += 60s;
  rig.Add(PartData(1, qv::TextToSeptets(u"new")), 40);  // Add expires what is due first
  ASSERT_EQ(rig.messages.size(), 2u);
  EXPECT_EQ(Narrow(rig.messages[1].Text), "[part 1 of 3 missing]mn[part 3 of 3 missing]");
  EXPECT_EQ(rig.messages[1].Missing, (std::vector<int32_t>{1, 3}));
  EXPECT_EQ(rig.messages[1].First.PartNumber(), 2);
}

// A listing is a snapshot: what is incomplete at its end is raised at once.
TEST(SmsAssembler, FlushRaisesWhatWaitsInArrivalOrder) {
  TRig rig;
  TPartData later = PartData(2, qv::TextToSeptets(u"second"));
  later.ref = 9;
  rig.Add(later);
  rig.Add(PartData(3, qv::TextToSeptets(u"first")));
  rig.a.Flush();
  ASSERT_EQ(rig.messages.size(), 2u);
  EXPECT_EQ(rig.messages[0].Reference, 9);
  EXPECT_EQ(rig.messages[0].Missing, (std::vector<int32_t>{1, 3}));
  EXPECT_EQ(rig.messages[1].Reference, 7);
  EXPECT_EQ(rig.a.Pending(), 0u);
}

// A listing is read whole before it is shown: a copy that comes after its
// message was complete still counts with it.
TEST(SmsAssembler, SnapshotRaisesOnlyOnFlush) {
  TRig rig;
  rig.a.SetSnapshot(true);
  TPartData p1 = PartData(1, qv::TextToSeptets(u"ab")), p2 = PartData(2, qv::TextToSeptets(u"cd"));
  p1.count = p2.count = 2;
  rig.Add(p2, 2);
  rig.Add(p1, 3);
  rig.Add(p2, 6);
  EXPECT_TRUE(rig.messages.empty());
  rig.now += 120s;  // the time-out does not touch a snapshot's whole messages either
  rig.a.Expire();
  rig.a.Flush();
  ASSERT_EQ(rig.messages.size(), 1u);
  EXPECT_EQ(rig.messages[0].Text, u"abcd");
  EXPECT_TRUE(rig.messages[0].Complete());
  EXPECT_EQ(Indexes(rig.messages[0].Duplicates), (std::vector<int32_t>{6}));
  EXPECT_TRUE(rig.duplicates.empty());
}

// Single messages, status reports and records that failed to decode are raised
// as they come, with their place.
TEST(SmsAssembler, WholeMessagesPassStraightThrough) {
  TRig rig;
  TqvPduSms single(true);
  single.SetAsPDU(u"07911326040000F0040B912143658709F1000080305241035021" u"05E8329BFD06");
  TqvPduSms report(true);
  report.SetAsPDU(u"00062A0B912143658709F1" u"80305241035021" u"80305241036021" u"00");
  TqvPduSms broken(true);
  broken.SetAsPDU(u"0004ZZ");
  rig.a.Add(single, u"SM", 3);
  rig.a.Add(report, u"SR", 1);
  rig.a.Add(broken, u"", 0);
  ASSERT_EQ(rig.messages.size(), 3u);
  EXPECT_EQ(rig.messages[0].Text, u"hello");
  EXPECT_EQ(rig.messages[0].Parts, (std::vector<TqvSmsPartPlace>{{1, u"SM", 3}}));
  EXPECT_EQ(rig.messages[0].ReferenceBits, 0);
  EXPECT_TRUE(rig.messages[1].First.Report());
  EXPECT_EQ(rig.messages[1].Parts[0].Memory, u"SR");
  EXPECT_TRUE(rig.messages[2].First.Error());
  EXPECT_TRUE(rig.messages[2].Complete());
}

// After a message was raised, a copy of one of its parts is told, not joined
// again; once the time-out has passed it is a new message's part. A different
// part under a number that already arrived ends the message waiting.
TEST(SmsAssembler, LateCopiesAndReusedReferences) {
  TRig rig;
  TPartData p1 = PartData(1, qv::TextToSeptets(u"abc")), p2 = PartData(2, qv::TextToSeptets(u"def"));
  p1.count = p2.count = 2;
  rig.Add(p1);
  rig.Add(p2);
  ASSERT_EQ(rig.messages.size(), 1u);
  rig.now += 30s;
  rig.Add(p2, 33);  // the network sends a copy again
  ASSERT_EQ(rig.duplicates.size(), 1u);
  EXPECT_EQ(rig.duplicates[0], (TqvSmsPartPlace{2, u"SM", 33}));
  EXPECT_EQ(rig.a.Pending(), 0u);

  // The reference used again with other text while a message waits.
  TPartData q1 = PartData(1, qv::TextToSeptets(u"xyz"));
  q1.count = 2;
  rig.Add(q1);  // new text under number 1: a new message
  EXPECT_EQ(rig.a.Pending(), 1u);
  TPartData r1 = PartData(1, qv::TextToSeptets(u"uvw"));
  r1.count = 2;
  rig.Add(r1);
  ASSERT_EQ(rig.messages.size(), 2u);
  EXPECT_EQ(Narrow(rig.messages[1].Text), "xyz[part 2 of 2 missing]");
  EXPECT_EQ(rig.a.Pending(), 1u);

  rig.now += 61s;  // the first message is forgotten: its part starts a new one
  rig.Add(p2);
  EXPECT_EQ(rig.duplicates.size(), 1u);
  EXPECT_EQ(rig.a.Pending(), 1u);  // r1 timed out, p2 waits
  ASSERT_EQ(rig.messages.size(), 3u);
  EXPECT_EQ(Narrow(rig.messages[2].Text), "uvw[part 2 of 2 missing]");
}

// Workers hand parts over from several threads at once; each message comes
// once, whole.
TEST(SmsAssembler, PartsFromSeveralThreads) {
  TqvSmsAssembler a;
  std::mutex m;
  std::vector<std::u16string> texts;
  a.OnMessage = [&](TObject*, const TqvSmsMessage& msg) {
    std::lock_guard lk(m);
    texts.push_back(msg.Text);
  };
  constexpr int kMessages = 40;
  std::vector<TqvPduSms> parts[2];
  std::vector<std::u16string> expected;
  for (int i = 0; i < kMessages; ++i) {
    expected.push_back(qv::IntToStr(i) + u"-a" + qv::IntToStr(i) + u"-b");
    for (int n = 1; n <= 2; ++n) {
      TPartData p = PartData(n, qv::TextToSeptets(qv::IntToStr(i) + (n == 1 ? u"-a" : u"-b")));
      p.count = 2;
      p.ref = i;
      parts[n - 1].push_back(Part(p));
    }
  }
  std::thread t1([&] { for (const auto& p : parts[0]) a.Add(p, u"SM", 0); });
  std::thread t2([&] { for (auto it = parts[1].rbegin(); it != parts[1].rend(); ++it) a.Add(*it, u"SM", 0); });
  t1.join();
  t2.join();
  std::sort(texts.begin(), texts.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(texts, expected);
}
