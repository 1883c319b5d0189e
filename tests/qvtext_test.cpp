#include "qvtext.h"

#include <gtest/gtest.h>

using namespace qv;

TEST(Text, StrToIntDefFollowsOneRule) {
  struct Case { const char* text; int32_t expected; };
  const Case cases[] = {
      {"42", 42},        {"  42", 42},     {"-17", -17},       {"+5", 5},
      {"$1F", 31},       {"x10", 16},      {"0x10", 16},       {"0XfF", 255},
      {"", -1},          {"  ", -1},       {"42 ", -1},        {"4a", -1},
      {"2147483647", 2147483647},          {"2147483648", -1}, {"-2147483648", INT32_MIN},
      {"$FFFFFFFF", -1}, {"$100000000", -1}, {"-", -1},        {"0x", -1},
  };
  for (const auto& c : cases) EXPECT_EQ(StrToIntDef(std::string_view(c.text), -1), c.expected) << c.text;
  EXPECT_EQ(StrToIntDef(std::u16string_view(u"12"), 0), 12);
}

TEST(Text, AnsiIsWindows1252BothWays) {
  const std::string bytes = "A\x80\x9F\xE9\xFF";
  const std::u16string text = u"A\u20AC\u0178\u00E9\u00FF";
  EXPECT_EQ(AnsiToString(bytes), text);
  EXPECT_EQ(StringToAnsi(text), bytes);
  EXPECT_EQ(StringToAnsi(u"\u0416\U0001F600x"), "??x");  // Cyrillic and an emoji pair
}

TEST(Text, Utf8RoundTripAndInvalidInput) {
  const std::string utf8 = "h\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  EXPECT_EQ(Utf8ToString(utf8), u"h\u00E9\u20AC\U0001F600");
  EXPECT_EQ(StringToUtf8(Utf8ToString(utf8)), utf8);
  EXPECT_EQ(Utf8ToString("a\xC3"), u"a\uFFFD");
  EXPECT_EQ(Utf8ToString("\xFF" "b"), u"\uFFFDb");
}

TEST(Text, FormatCoversTheConversionsTheLibraryUses) {
  EXPECT_EQ(Format(u"Fatal Error: %u, %u, %s", {uint64_t{5}, uint64_t{0}, std::u16string(u"x")}),
            u"Fatal Error: 5, 0, x");
  EXPECT_EQ(Format(u"%d|%5d|%-3d|%03d|%.2d", {int64_t{-3}, int64_t{42}, int64_t{7}, int64_t{-4}, int64_t{5}}),
            u"-3|   42|7  |-04|05");
  EXPECT_EQ(Format(u"%x %X %.2X 100%%", {int64_t{255}, uint64_t{171}, int64_t{10}}), u"ff AB 0A 100%");
  EXPECT_THROW(Format(u"%s", {}), std::invalid_argument);
}

TEST(Text, TrimCompareAndSplitLines) {
  EXPECT_EQ(TrimView(std::string_view(" \t\r\nab c\r\n\x01")), "ab c");
  EXPECT_EQ(TrimView(std::u16string_view(u"\u00A0x ")), u"\u00A0x");  // only up to the space
  EXPECT_EQ(TrimView(std::string_view("\xE9 ")), "\xE9");             // a high byte is no blank

  EXPECT_TRUE(SameTextNoCase(u"gsmSendSMSPdu", u"GSMSENDSMSPDU"));
  EXPECT_FALSE(SameTextNoCase(u"abc", u"abcd"));
  EXPECT_FALSE(SameTextNoCase(u"\u00E9", u"\u00C9"));  // ASCII letters only
  EXPECT_EQ(ReplaceTextNoCase(u"a<CR>b<cr>", u"<cr>", u"\r"), u"a\rb\r");
  EXPECT_EQ(ReplaceTextNoCase(u"abc", u"", u"x"), u"abc");

  struct Case {
    const char* text;
    std::vector<std::string_view> lines;
  };
  const Case cases[] = {
      {"", {}},
      {"a", {"a"}},
      {"a\r\nb\rc\nd", {"a", "b", "c", "d"}},
      {"a\r\n", {"a"}},
      {"a\n\nb", {"a", "", "b"}},
      {"\r\n\r\n", {"", ""}},
      {"a\n\r", {"a", ""}},  // LF CR is two line breaks
  };
  for (const auto& c : cases) EXPECT_EQ(SplitLines(std::string_view(c.text)), c.lines) << c.text;
  EXPECT_EQ(SplitLines(std::u16string_view(u"x\r\ny")), (std::vector<std::u16string_view>{u"x", u"y"}));
}
