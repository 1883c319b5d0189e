// Phone book records: gaps, name suffixes, pattern matching, the file form.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "qvphonebook.h"
#include "qvtext.h"

using qv::StringToUtf8;

namespace {

std::vector<int> Indexes(const TqvPhoneBook& b) {
  std::vector<int> r;
  for (int i = 0; i < b.Count(); ++i) r.push_back(b.GetPhoneItem(i)->Index());
  return r;
}

std::string TempPath(const char* name) { return ::testing::TempDir() + name; }

}  // namespace

TEST(PhoneBook, AddsIntoTheFirstGap) {
  struct TCase {
    std::vector<int> have;
    int expected;
    std::vector<int> after;
  };
  const TCase cases[] = {
      {{1, 2, 5}, 4, {1, 2, 4, 5}},
      {{3, 4}, 2, {2, 3, 4}},
      {{1, 2, 3}, 4, {1, 2, 3, 4}},
      {{}, 1, {1}},
  };
  for (const auto& c : cases) {
    TqvPhoneBook book;
    for (int i : c.have) book.AddRecord(i, u"1", u"x");
    EXPECT_EQ(book.AddRecord(-1, u"2", u"new")->Index(), c.expected);
    EXPECT_EQ(Indexes(book), c.after);
    EXPECT_EQ(book.Used(), 1);
  }
  TqvPhoneBook book;
  book.AddRecord(9, u"1", u"x");
  EXPECT_EQ(book.Used(), 0) << "an explicit index is not counted";
  EXPECT_THROW(book.GetPhoneItem(1), EqvError);
  EXPECT_THROW(book.Delete(-1), EqvError);
}

TEST(PhoneBook, NameSuffixGivesThePhoneType) {
  const std::tuple<std::u16string, std::string, TqvPhoneRecordType> cases[] = {
      {u"Office/M", "Office", TqvPhoneRecordType::prtMobile},
      {u"Home/H", "Home", TqvPhoneRecordType::prtHome},
      {u"Office/m", "Office/m", TqvPhoneRecordType::prtUnknown},
      {u"/M", "/M", TqvPhoneRecordType::prtUnknown},
      {u"Office/X", "Office/X", TqvPhoneRecordType::prtUnknown},
  };
  for (const auto& [caption, expected, type] : cases) {
    TqvPhoneBook book;
    const auto* r = book.AddRecord(1, u"1", caption);
    EXPECT_EQ(StringToUtf8(r->Caption()), expected);
    EXPECT_EQ(r->PhoneType(), type);
  }
}

TEST(PhoneBook, MatchesWildcardPatterns) {
  TqvPhoneBook book;
  const auto* bob = book.AddRecord(1, u"", u"Bob");
  const auto* num = book.AddRecord(2, u"+1234", u"Борис");
  const auto* empty = book.AddRecord(3, u"", u"");
  const auto* lodz = book.AddRecord(4, u"", u"ŁÓDŹ I GDAŃSK");
  struct TCase {
    const TqvPhoneRecord* rec;
    std::u16string pattern;
    bool caseSens, phone, caption, match;
  };
  const TCase cases[] = {
      {bob, u"BO*", false, true, true, true},   {bob, u"BO*", true, true, true, false},
      {bob, u"?ob", true, false, true, true},   {bob, u"", false, true, true, false},
      {num, u"+12*", false, true, false, true}, {num, u"+12*", false, false, true, false},
      {num, u"бор*", false, false, true, true}, {num, u"*", false, true, true, true},
      {empty, u"*", false, true, true, false},  {bob, u"B*b*", true, false, true, true},
      {bob, u"Bo", true, false, true, false},
      // Unicode's lower-case mapping, not a guess by blocks: "ł" stays "ł"
      {lodz, u"łódź*", false, false, true, true}, {lodz, u"ŁÓDŹ", true, false, true, false},
      {lodz, u"ŃÓDŹ*", false, false, true, false}, {lodz, u"*gdańsk", false, false, true, true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.rec->IsMatchPattern(c.pattern, c.caseSens, c.phone, c.caption), c.match) << StringToUtf8(c.pattern);
}

TEST(PhoneBook, SavesAndLoadsItsFile) {
  TqvPhoneBook book;
  book.SetTypeList(TqvPhoneBookType::pltSim);
  book.AddRecord(3, u"+12345678901", u"Bob/H");
  book.AddRecord(7, u"555", u"Ann");
  const std::string path = TempPath("qvphonebook_test.txt");
  book.SaveToFile(path);
  std::ifstream in(path, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "3,1,\"+12345678901\",\"Bob\"\r\n7,1,\"555\",\"Ann\"\r\n");

  TqvPhoneBook loaded;
  loaded.LoadFromFile(path);
  ASSERT_EQ(loaded.Count(), 2);
  EXPECT_EQ(Indexes(loaded), (std::vector<int>{3, 7}));
  EXPECT_EQ(loaded.GetPhoneItem(0)->ItemType(), TqvPhoneBookType::pltSim);
  EXPECT_EQ(StringToUtf8(loaded.GetPhoneItem(0)->Caption()), "Bob");
  EXPECT_EQ(loaded.GetPhoneItem(0)->PhoneType(), TqvPhoneRecordType::prtUnknown);

  // A missing file leaves the book as it was; an empty line is a record of its own.
  loaded.LoadFromFile(TempPath("qvphonebook_missing.txt"));
  EXPECT_EQ(loaded.Count(), 2);
  std::ofstream(path, std::ios::binary) << "1,0,\"1\",\"a\"\r\n\r\n2,0,\"2\",\"b\"\r\n";
  loaded.LoadFromFile(path);
  ASSERT_EQ(loaded.Count(), 3);
  EXPECT_EQ(loaded.GetPhoneItem(1)->Index(), 1);
  EXPECT_EQ(loaded.GetPhoneItem(1)->ItemType(), TqvPhoneBookType::pltUnknown);
  std::remove(path.c_str());
}

// Quotes in a text are written doubled; the file stays 8-bit while every
// character fits it, and becomes UTF-8 with a byte-order mark when one does not.
TEST(PhoneBook, SavedFileKeepsEveryTextWhole) {
  struct TCase {
    std::u16string phone, caption;
    std::string bytes;  // the saved file
  };
  const TCase cases[] = {
      {u"+49", u"Say \"hi\", Bob", "1,0,\"+49\",\"Say \"\"hi\"\", Bob\"\r\n"},
      {u"12\"", u"\"", "1,0,\"12\"\"\",\"\"\"\"\r\n"},
      {u"+49", u"Jürgen €", "1,0,\"+49\",\"J\xFCrgen \x80\"\r\n"},
      {u"+49", u"Борис", "\xEF\xBB\xBF" "1,0,\"+49\",\"\xD0\x91\xD0\xBE\xD1\x80\xD0\xB8\xD1\x81\"\r\n"},
      {u"+49", u"Smile \U0001F600", "\xEF\xBB\xBF" "1,0,\"+49\",\"Smile \xF0\x9F\x98\x80\"\r\n"},
  };
  const std::string path = TempPath("qvphonebook_quotes.txt");
  for (const auto& c : cases) {
    SCOPED_TRACE(StringToUtf8(c.caption));
    TqvPhoneBook book;
    book.AddRecord(1, c.phone, c.caption);
    book.SaveToFile(path);
    std::ifstream in(path, std::ios::binary);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), c.bytes);
    TqvPhoneBook loaded;
    loaded.LoadFromFile(path);
    ASSERT_EQ(loaded.Count(), 1);
    EXPECT_EQ(loaded.GetPhoneItem(0)->Phone(), c.phone);
    EXPECT_EQ(loaded.GetPhoneItem(0)->Caption(), c.caption);
  }
  std::remove(path.c_str());
}

// Files written before quotes were doubled read as they did, except where a
// quoted text holds two quotes in a row.
TEST(PhoneBook, LoadsQuotesOfOlderFiles) {
  const std::pair<std::string, std::string> cases[] = {
      {"1,0,\"12\",\"Smith, J\"", "Smith, J"},
      {"1,0,\"12\",\"Say \"hi\" now\"", "Say hi now"},  // a lone quote still ends the quoted part
      {"1,0,\"12\",Bob", "Bob"},
      {"1,0,\"12\",\"Bob\"\"\"", "Bob\""},  // the case that changes: it read "Bob" before
  };
  const std::string path = TempPath("qvphonebook_old.txt");
  for (const auto& [line, caption] : cases) {
    std::ofstream(path, std::ios::binary) << line << "\r\n";
    TqvPhoneBook book;
    book.LoadFromFile(path);
    ASSERT_EQ(book.Count(), 1);
    EXPECT_EQ(StringToUtf8(book.GetPhoneItem(0)->Caption()), caption) << line;
  }
  std::remove(path.c_str());
}
