#include "foundation/text/scrambled_texts.h"

#include <random>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "foundation/text/text_compression.h"

namespace halvorn {
namespace {

TEST(ScrambledTexts, UnscrambleUndoesScramble) {
  std::mt19937 gen(7);
  std::uniform_int_distribution<int> printable(32, 126), length(0, 40);
  std::string all;
  for (int c = 32; c <= 126; ++c) all += static_cast<char>(c);
  std::vector<std::string> texts = {"", "a", all, "password ", "\x01\xff\x80 mixed"};
  for (int i = 0; i < 200; ++i) {
    std::string text(length(gen), ' ');
    for (char& c : text) c = static_cast<char>(printable(gen));
    texts.push_back(text);
  }
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    const std::string scrambled = ScrambleText(text);
    EXPECT_EQ(scrambled.size(), text.size());
    EXPECT_EQ(UnscrambleText(scrambled), text);
  }
  EXPECT_NE(ScrambleText(all), all);
}

TEST(ScrambledTexts, NumberTokensAreBase64AndReadBack) {
  std::set<std::string> seen;
  for (std::int64_t number : {0LL, 7LL, 123456789LL, -42LL, 9223372036854775807LL}) {
    SCOPED_TRACE(number);
    const std::string token = MakeScrambledNumberText(number);
    EXPECT_EQ(Base64Encode(Base64Decode(token)), token);
    std::string plain = UnscrambleText(Base64Decode(token));
    ASSERT_GE(plain.size(), 3u);
    EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(plain[0])));
    EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(plain[1])));
    EXPECT_EQ(plain.substr(2), std::to_string(number));
    std::int64_t back = 0;
    EXPECT_TRUE(ReadScrambledNumberText(token, back));
    EXPECT_EQ(back, number);
    seen.insert(token);
  }
  // The random letters in front make tokens of one number differ.
  std::set<std::string> same;
  for (int i = 0; i < 50; ++i) same.insert(MakeScrambledNumberText(5));
  EXPECT_GT(same.size(), 1u);
  std::int64_t number = 99;
  const std::string bad[] = {"",
                             "!!!!",
                             "not base64 at all",
                             Base64Encode(ScrambleText("ab12x")),
                             Base64Encode(ScrambleText("!!12")),
                             Base64Encode(ScrambleText("ab"))};
  for (const std::string& token : bad) {
    SCOPED_TRACE(token);
    EXPECT_FALSE(ReadScrambledNumberText(token, number));
  }
  EXPECT_EQ(number, 99);
}

TEST(ScrambledTexts, ReplaceWithRandomTextFindsTheLastOccurrence) {
  struct Row {
    const char* part;
    const char* text;
    int expected;
  } rows[] = {
      {"cd", "abcdefghicd", 10},  // at 3 and 10
      {"zz", "abcdef", 0},
      {"", "abc", 0},
      {"abc", "", 0},
      {"aa", "aaaa", 3},  // non-overlapping: 1 and 3
      {"aa", "aaa", 1},   // the second "aa" overlaps the first
      {"AB", "abAB", 3},  // case counts
      {"x", "x", 1},
      {"whole", "whole", 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.part) + " in " + row.text);
    std::string text = row.text;
    EXPECT_EQ(ReplaceWithRandomText(row.part, text), row.expected);
    EXPECT_EQ(text, row.text);
  }
}

}  // namespace
}  // namespace halvorn
