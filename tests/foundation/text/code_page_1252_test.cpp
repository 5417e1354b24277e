#include "foundation/text/code_page_1252.h"

#include <gtest/gtest.h>

namespace halvorn {
namespace {

TEST(CodePage1252, MapsLettersBothWaysAndLeavesSignsAlone) {
  struct Row {
    unsigned char lower, upper;
  } rows[] = {{'a', 'A'},   {'z', 'Z'},   {0xE0, 0xC0}, {0xFE, 0xDE},
              {0x9A, 0x8A}, {0x9C, 0x8C}, {0x9E, 0x8E}, {0xFF, 0x9F}};
  for (const Row& r : rows) {
    SCOPED_TRACE(static_cast<int>(r.lower));
    EXPECT_EQ(UpperChar1252(r.lower), r.upper);
    EXPECT_EQ(LowerChar1252(r.upper), r.lower);
  }
  // Multiplication and division signs, sharp s, digits and punctuation stay.
  for (int c : {0xD7, 0xF7, 0xDF, 0xB5, int('1'), int('@'), int('['), int('`'), int('{')}) {
    SCOPED_TRACE(static_cast<int>(c));
    EXPECT_EQ(UpperChar1252(static_cast<unsigned char>(c)), c);
    EXPECT_EQ(LowerChar1252(static_cast<unsigned char>(c)), c);
  }
}

TEST(CodePage1252, ComparesIgnoringCase) {
  EXPECT_TRUE(
      SameText1252("Stra\xDF"
                   "e \xC9T\xC9",
                   "stra\xDF"
                   "e \xE9t\xE9"));
  EXPECT_FALSE(SameText1252("abc", "abcd"));
  EXPECT_LT(CompareText1252("abc", "ABD"), 0);
  EXPECT_GT(CompareText1252("abcd", "ABC"), 0);
  EXPECT_EQ(UpperCase1252("m\xFCller"), "M\xDCLLER");
}

}  // namespace
}  // namespace halvorn
