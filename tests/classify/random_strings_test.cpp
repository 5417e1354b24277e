// The random-string detector: exact values with a small table of our own,
// the no-verdict cases, and what holds whatever the built-in table says.
#include "classify/random_strings.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <thread>

namespace halvorn {
namespace {

int At(char a, char b) { return (a - 32) * 96 + (b - 32); }

std::unique_ptr<TBigramTable> SmallTable() {
  auto table = std::make_unique<TBigramTable>();
  table->fill(0);
  (*table)[At('a', 'b')] = 3;
  (*table)[At('b', 'c')] = 8;
  (*table)[At(' ', 'a')] = 1000;  // the blank's entries count in M and L only
  return table;
}

TEST(RandomStrings, ExactScoresWithASmallTable) {
  const auto table = SmallTable();
  const double m = 1011.0 / 9025.0;
  const double l = (std::log(4.0) + std::log(9.0) + std::log(1001.0)) / 9025.0;
  EXPECT_NEAR(BigramTableMean(*table), m, 1e-12);
  EXPECT_NEAR(BigramTableLogMean(*table), l, 1e-12);
  struct Case {
    const char* Text;
    double Log;
    double Unseen;
  } cases[] = {
      {"abc", ((std::log(4.0) + std::log(9.0)) / 2) / l, 0},
      // "a " counts as a pair but is not scored.
      {"ab c", (std::log(4.0) / 3) / l, 0},
      // "cd" is scored and unseen: U / P = 1/3, x = M^2/3 + 1 is small here.
      {"abcd", ((std::log(4.0) + std::log(9.0) + std::log(1.0)) / 3) / l,
       std::pow(m * m / 3 + 1, 2) > 10 ? 1.0 : 0.0},
      {"", -1, -1},
      {"a", -1, -1},
      // Pairs but none scored: no verdict from the log score.
      {"    ", -1, 0},
      {"\xD0\x9F\xD1\x80\xD0\xB8", -1, 0},
      // Two CRs neither count nor score.
      {"\r\r", -1, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Text);
    EXPECT_NEAR(LogBigramScore(c.Text, *table), c.Log, 1e-12);
    EXPECT_EQ(UnseenBigramScore(c.Text, *table), c.Unseen);
  }
}

TEST(RandomStrings, BuiltInTableTests) {
  // No pairs, or no scored pair: neither test fires.
  for (const char* text : {"", "x", "     ", "\xCF\x80\xCF\x81\xCF\x82"}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(IsRandomLogScore(text));
  }
  EXPECT_FALSE(IsRandomUnseenScore(""));
  EXPECT_FALSE(IsRandomLogScore("the weather is fine in the north"));
  EXPECT_FALSE(IsRandomUnseenScore("the weather is fine in the north"));
  EXPECT_TRUE(IsRandomLogScore("xqzkvjwq"));
}

TEST(RandomStrings, FirstScoresFromTwoThreads) {
  bool a = true;
  bool b = true;
  std::thread one([&] { a = IsRandomLogScore("hello there"); });
  std::thread two([&] { b = IsRandomLogScore("hello there"); });
  one.join();
  two.join();
  EXPECT_EQ(a, b);
}

}  // namespace
}  // namespace halvorn
