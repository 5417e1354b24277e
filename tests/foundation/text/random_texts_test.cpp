#include "foundation/text/random_texts.h"

#include <gtest/gtest.h>

#include <set>

namespace halvorn {
namespace {

TEST(RandomTexts, EmptyForZeroOrNegativeLength) {
  EXPECT_EQ(RandomPrintable(0), "");
  EXPECT_EQ(RandomPrintable(-3), "");
  EXPECT_EQ(RandomVisibleChars(0), "");
  EXPECT_EQ(RandomVisibleChars(-1), "");
}

TEST(RandomTexts, PrintableDrawsExactlyTheLettersAndDigits) {
  std::string text = RandomPrintable(20000);
  ASSERT_EQ(text.size(), 20000u);
  std::set<char> seen(text.begin(), text.end());
  for (char c : seen) {
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    EXPECT_TRUE(ok) << static_cast<int>(c);
  }
  EXPECT_EQ(seen.size(), 62u);
}

TEST(RandomTexts, VisibleCharsDrawCodes33To127) {
  std::string text = RandomVisibleChars(20000);
  ASSERT_EQ(text.size(), 20000u);
  std::set<int> seen;
  for (char c : text) seen.insert(static_cast<unsigned char>(c));
  EXPECT_EQ(*seen.begin(), 33);
  EXPECT_EQ(*seen.rbegin(), 127);
  EXPECT_EQ(seen.size(), 95u);
}

TEST(RandomTexts, SuccessiveCallsDiffer) {
  EXPECT_NE(RandomPrintable(16), RandomPrintable(16));
  EXPECT_NE(RandomVisibleChars(16), RandomVisibleChars(16));
}

}  // namespace
}  // namespace halvorn
