#include "qvcommevent.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Feeds `input` and returns the 0-based positions of the bytes that completed the pattern.
std::vector<size_t> Completions(TCommEventNew& m, std::string_view input, char wild = 0) {
  std::vector<size_t> hits;
  for (size_t i = 0; i < input.size(); ++i)
    if (m.IsEvent(static_cast<uint8_t>(input[i]), static_cast<uint8_t>(wild))) hits.push_back(i);
  return hits;
}

struct MatchCase {
  const char* name;
  std::string pattern;
  std::string input;
  char wild;
  std::vector<size_t> hits;
};

class MatcherTable : public ::testing::TestWithParam<MatchCase> {};

TEST_P(MatcherTable, CompletesOnExpectedBytes) {
  const auto& c = GetParam();
  TCommEventNew m(c.pattern);
  EXPECT_EQ(Completions(m, c.input, c.wild), c.hits);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MatcherTable,
    ::testing::Values(
        MatchCase{"EmptyNeverCompletes", "", "abc\r\n", 0, {}},
        MatchCase{"OneByteEveryOccurrence", "x", "axxbx", 0, {1, 2, 4}},
        // The second CR restarts the candidate at position 2.
        MatchCase{"FinalOkAfterBlankLine", "\r\nOK\r\n", "\r\n\r\nOK\r\n", 0, {7}},
        // After the third A the two-byte overlap is not retried.
        MatchCase{"NoOverlapRetry", "AAB", "AAAB", 0, {}},
        MatchCase{"WildcardCMS", "+C?S", "+CMS", '?', {3}},
        MatchCase{"WildcardCDS", "+C?S", "+CDS", '?', {3}},
        MatchCase{"NoWildcardNeedsLiteral", "+C?S", "+CMS+C?S", 0, {7}},
        MatchCase{"CaseSensitive", "OK", "ok OK", 0, {4}},
        // The completing byte never starts the next match.
        MatchCase{"CompletingByteNotReused", "aa", "aaa", 0, {1}},
        MatchCase{"BackToBack", "\r\nOK\r\n", "\r\nOK\r\n\r\nOK\r\n", 0, {5, 11}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TCommEventNew, IsPossibleFollowsPartialMatch) {
  TCommEventNew m("\r\nOK\r\n");
  EXPECT_FALSE(m.IsPossible());
  m.IsEvent('\r', 0);
  EXPECT_TRUE(m.IsPossible());
  m.Reset();
  EXPECT_FALSE(m.IsPossible());
  for (char c : std::string("\r\nOK\r")) m.IsEvent(static_cast<uint8_t>(c), 0);
  EXPECT_TRUE(m.IsEvent('\n', 0));
  EXPECT_FALSE(m.IsPossible());
}

TEST(TCommEventNew, AssigningStrDiscardsPartialMatch) {
  TCommEventNew m("ABC");
  m.IsEvent('A', 0);
  m.IsEvent('B', 0);
  m.SetStr("ABC");
  EXPECT_EQ(m.Reserved, 1);
  EXPECT_FALSE(m.IsEvent('C', 0));
  EXPECT_EQ(m.Len(), 3);
}

}  // namespace
