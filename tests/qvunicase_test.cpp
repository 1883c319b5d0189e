// Unicode's simple lower-case mapping, from the generated table.
#include "qvunicase.h"

#include <gtest/gtest.h>

#include "qvtext.h"

TEST(UniCase, LowersByTheSimpleMapping) {
  const std::pair<char32_t, char32_t> cases[] = {
      {U'A', U'a'},         {U'a', U'a'},          {U'Z', U'z'},          {U'@', U'@'},
      {U'\u00C0', U'\u00E0'}, {U'\u00D7', U'\u00D7'},  // × lies between the capitals and stays
      {U'\u0141', U'\u0142'}, {U'\u0142', U'\u0142'},  // Ł -> ł, and ł stays (not Ń)
      {U'\u0100', U'\u0101'}, {U'\u0101', U'\u0101'},  // alternating capitals and small letters
      {U'\u0130', U'i'},       {U'\u0178', U'\u00FF'},  // İ -> i, Ÿ -> ÿ
      {U'\u01C4', U'\u01C6'}, {U'\u01C5', U'\u01C6'},  // Ǆ and the title case ǅ -> ǆ
      {U'\u03A3', U'\u03C3'}, {U'\u0410', U'\u0430'}, {U'\u0401', U'\u0451'},
      {U'\u1E9E', U'\u00DF'}, {U'\u2126', U'\u03C9'}, {U'\u212A', U'k'},  // ẞ, Ohm, Kelvin
      {U'\uFF21', U'\uFF41'}, {U'\U00010400', U'\U00010428'},               // full width, Deseret
      {U'\u4E2D', U'\u4E2D'}, {U'\U0010FFFF', U'\U0010FFFF'},
  };
  for (const auto& [cp, lower] : cases) EXPECT_EQ(qv::LowerCodePoint(cp), lower) << std::hex << uint32_t(cp);
}

TEST(UniCase, LowersTextsWithSurrogatePairs) {
  EXPECT_EQ(qv::LowerText(u"ŁÓDŹ \U00010400x"), u"łódź \U00010428x");
  const std::u16string lone = {u'A', char16_t(0xD801), u'B', char16_t(0xDC00)};
  EXPECT_EQ(qv::LowerText(lone), (std::u16string{u'a', char16_t(0xD801), u'b', char16_t(0xDC00)}));
  EXPECT_EQ(qv::LowerText(u""), u"");
}
