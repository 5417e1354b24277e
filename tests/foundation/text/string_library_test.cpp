#include "foundation/text/string_library.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace halvorn {
namespace {

std::string RandomText(std::mt19937& random, std::string_view alphabet, std::size_t length) {
  std::string text(length, '\0');
  for (char& c : text) c = alphabet[random() % alphabet.size()];
  return text;
}

TEST(StringLibrary, CharacterSetsAreAsciiOnly) {
  EXPECT_TRUE(IsLettersAndSpaces("Hello World"));
  EXPECT_FALSE(IsLettersAndSpaces(""));
  EXPECT_FALSE(IsLettersAndSpaces("Route 66"));
  EXPECT_FALSE(IsLettersAndSpaces("caf\xE9"));  // accented letters are not ASCII letters
  EXPECT_TRUE(IsAllInCharSet("abc 123", WordSet));
  EXPECT_FALSE(IsAllInCharSet("a_b", WordSet));

  EXPECT_EQ(CaseSwapTable['a'], 'A');
  EXPECT_EQ(CaseSwapTable['Z'], 'z');
  for (int c : {int('@'), int('['), int('`'), int('{'), int('5'), 0xC9, 0xE9, 0}) {
    SCOPED_TRACE(c);
    EXPECT_EQ(CaseSwapTable[c], c);
  }
}

TEST(StringLibrary, WildcardScanFindsFirstMatchAndItsLength) {
  struct Row {
    std::string text, pattern;
    int start;
    int length, position;
  } rows[] = {
      {"xxabbc", "a*c", 1, 4, 3},
      {"xxabbc", "a*c", 4, 0, 0},
      {"abc", "c~", 1, 2, 3},  // '~' matches the 0 after the text
      {"abc", "c?", 1, 2, 3},
      {"abc", "cd", 1, 0, 0},
      {"abc", std::string("c\0", 2), 1, 0, 0},  // a literal 0 is not the end marker
      {"xabc", "ABC", -1, 3, 2},
      {"xabc", "ABC", 1, 0, 0},
      {"xabc", "ABC", -3, 0, 0},
      {"a b", "a@", 1, 0, 0},  // '@' is not a space
      {"a b", "a?b", 1, 3, 1},
      {"a1,", "~", 1, 1, 3},  // '~' skips letter and digit, takes the comma
      {"a b", "~", 1, 0, 0},  // ... but not the space; the end marker is no anchor
      {"ab3", "#", 1, 1, 3},
      {"x_x9", "x$", 1, 2, 3},
      {"zab", "ab*", 1, 2, 2},  // a trailing '*' adds nothing
      {"aab", "*b", 1, 3, 1},
      {"abxbc", "a*bc", 1, 5, 1},  // the '*' takes back a wrongly taken "b"
      {"a-b-c", "a*b*c", 2, 0, 0},
      {"axxbxxc", "a*b*c", 1, 7, 1},
      {"abc", "a", 0, 0, 0},
      {"abc", "a", 4, 0, 0},
      {"abc", "c", -4, 0, 0},
      {"", "a", 1, 0, 0},
      {"abc", "", 1, 0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.pattern + " in " + row.text + " from " + std::to_string(row.start));
    int start = row.start;
    EXPECT_EQ(WildcardScan(row.text, row.pattern, start), row.length);
    EXPECT_EQ(start, row.position);
  }
}

TEST(StringLibrary, PositionSearches) {
  struct Row {
    std::string text, pattern;
    int start;
    int mask, boyerMoore, exact;  // PosMaskFrom, BoyerMoorePos, PosFrom
  } rows[] = {
      {"xabc", "a?c", 1, 2, 2, 0},
      {"xxabc", "abc", 1, 3, 3, 3},
      {"xxabc", "abc", 3, 3, 3, 3},
      {"xxabc", "abc", 4, 0, 0, 0},
      {"abcbc", "bc", 3, 4, 4, 4},
      {"abcbc", "BC", -3, 4, 4, 0},
      {"abcbc", "BC", 1, 0, 0, 0},
      {"ab", "abc", 1, 0, 0, 0},  // pattern longer than the text
      {"abc", "a", 0, 0, 0, 0},
      {"abc", "c", 4, 0, 0, 0},
      {"abc", "c", -4, 0, 0, 0},
      {"", "a", 1, 0, 0, 0},
      {"abc", "", 1, 0, 0, 0},
      // A match that needs the '?' where the text character appears nowhere
      // else in the pattern: the skips must not jump over it.
      {"xcb", "?b", 1, 2, 2, 0},
      {"xyzabd", "a?d", 1, 4, 4, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.pattern + " in " + row.text + " from " + std::to_string(row.start));
    EXPECT_EQ(PosMaskFrom(row.text, row.pattern, row.start), row.mask);
    EXPECT_EQ(BoyerMoorePos(row.text, row.pattern, row.start), row.boyerMoore);
    EXPECT_EQ(PosFrom(row.text, row.pattern, row.start), row.exact);
  }
}

TEST(StringLibrary, BoyerMooreTakesPatternsUpTo256Characters) {
  std::string pattern(256, 'p');
  pattern.back() = 'q';
  const std::string text = "xyz" + pattern + "xyz";
  EXPECT_EQ(BoyerMoorePos(text, pattern, 1), 4);
  EXPECT_EQ(BoyerMoorePos(text + "p", pattern + "x", 1), 0);  // 257 characters
}

// BoyerMoorePos must answer exactly what the plain scan answers, with and
// without '?', exact and ignoring case, from any start.
TEST(StringLibrary, BoyerMooreAgreesWithPlainScan) {
  std::mt19937 random(160);
  for (int round = 0; round < 20000; ++round) {
    const bool wild = round % 2 == 1;
    const std::string textAlphabet = round % 3 == 0 ? "abAB" : "abcABC!\xE1\xC1";
    std::string text = RandomText(random, textAlphabet, 1 + random() % 60);
    std::string pattern = RandomText(random, wild ? "aAbB?" : "abAB", 1 + random() % 6);
    int start = 1 + static_cast<int>(random() % (text.size() + 1));
    if (random() % 2) start = -start;
    SCOPED_TRACE(pattern + " in " + text + " from " + std::to_string(start));
    ASSERT_EQ(BoyerMoorePos(text, pattern, start), PosMaskFrom(text, pattern, start));
  }
}

TEST(StringLibrary, SimilarityPercentCases) {
  struct Row {
    std::string a, b;
    int percent;
  } rows[] = {
      {"same text", "same text", 100},
      {"ab", "abcab", 57},
      {"axb", "ayb", 67},
      {"", "abc", 0},
      {"abc", "", 0},
      {"abc", "xyz", 0},
      {std::string(255, 'q'), std::string(255, 'q'), 100},
      {std::string(256, 'q'), std::string(256, 'q'), 0},
      {"abc", std::string(256, 'a'), 0},
      // The longest run "ccb" (a at 5, b at 5) starts inside the shorter run
      // "cc" at b's 4th character; skipping past short runs would miss it,
      // take "aaa" instead and answer 33.
      {"caabccbaaaa", "aaacccb", 56},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.a + " / " + row.b);
    EXPECT_EQ(SimilarityPercent(row.a, row.b), row.percent);
  }
}

// The matching blocks of Python's difflib (no junk heuristics) are the same
// longest-run-first recursion; compare the rounded percentage on many pairs.
TEST(StringLibrary, SimilarityPercentAgreesWithDifflib) {
  std::mt19937 random(2180);
  std::vector<std::pair<std::string, std::string>> pairs;
  for (int i = 0; i < 400; ++i) {
    const char* alphabet =
        i % 4 == 0 ? "ab" : (i % 4 == 1 ? "abc" : (i % 4 == 2 ? "abcd" : "a.b@c"));
    pairs.emplace_back(RandomText(random, alphabet, 1 + random() % 40),
                       RandomText(random, alphabet, 1 + random() % 40));
  }
  for (int i = 0; i < 40; ++i) {
    pairs.emplace_back(RandomText(random, "abc", 100 + random() % 156),
                       RandomText(random, "abc", 1 + random() % 255));
  }
  pairs.emplace_back(std::string(255, 'a'), std::string(255, 'a'));
  pairs.emplace_back(std::string("\x00\xff\x80", 3), std::string("\xff\x00", 2));

  std::string input;
  for (const auto& [a, b] : pairs) input += test::HexOf(a) + " " + test::HexOf(b) + "\n";
  const std::string script = R"(
import sys
from difflib import SequenceMatcher
for line in sys.stdin:
    ha, hb = line.split()
    a, b = bytes.fromhex(ha), bytes.fromhex(hb)
    m = sum(block.size for block in SequenceMatcher(None, a, b, autojunk=False).get_matching_blocks())
    print((2 * m * 1000 // (len(a) + len(b)) + 5) // 10)
)";
  test::CommandResult result = test::RunPython(script, input);
  ASSERT_EQ(result.ExitCode, 0);
  std::istringstream expected(result.Output);
  for (const auto& [a, b] : pairs) {
    int percent = -1;
    ASSERT_TRUE(expected >> percent);
    SCOPED_TRACE(a + " / " + b);
    EXPECT_EQ(SimilarityPercent(a, b), percent);
  }
}

TEST(StringLibrary, HexToIntCases) {
  struct Row {
    std::string text;
    std::uint32_t value;
  } rows[] = {
      {"1F", 31},
      {"1f", 1},     // lower case ends the number
      {"0x1F", 0},   // so does the x
      {" -1F", 31},  // characters below '0' are skipped
      {"1 F", 31},
      {"", 0},
      {"G1", 0},
      {"FFFFFFFF", 0xFFFFFFFF},
      {"123456789", 0x23456789},  // high digits fall off
      {":", 3},
      {"@", 9},
      {"1:", 0x13},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(HexToInt(row.text), row.value);
  }
}

TEST(StringLibrary, ScramblerTablesArePermutations) {
  // A one-character text goes through the first table and a fixed key, so
  // distinct characters must give distinct results, all printable.
  std::set<unsigned char> seen;
  for (int c = 32; c <= 127; ++c) {
    std::string text(1, static_cast<char>(c));
    Scramble(text);
    const unsigned char scrambled = static_cast<unsigned char>(text[0]);
    EXPECT_GE(scrambled, 32);
    EXPECT_LE(scrambled, 127);
    seen.insert(scrambled);
    Unscramble(text);
    EXPECT_EQ(text, std::string(1, static_cast<char>(c)));
  }
  EXPECT_EQ(seen.size(), 96u);
}

TEST(StringLibrary, ScrambleRoundTripsAndKeepsOtherBytes) {
  std::mt19937 random(1124);
  for (int round = 0; round < 2000; ++round) {
    std::string original(random() % 80, '\0');
    for (char& c : original) c = static_cast<char>(random() & 0xFF);
    std::string text = original;
    Scramble(text);
    ASSERT_EQ(text.size(), original.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
      const unsigned char before = static_cast<unsigned char>(original[i]);
      const unsigned char after = static_cast<unsigned char>(text[i]);
      if (before < 32 || before > 127) {
        ASSERT_EQ(after, before) << "at " << i;
      } else {
        ASSERT_TRUE(after >= 32 && after <= 127) << "at " << i;
      }
    }
    Unscramble(text);
    ASSERT_EQ(text, original);
  }
  std::string controls = "\x01\x1f\x80\xff\t\r\n";
  Scramble(controls);
  EXPECT_EQ(controls, "\x01\x1f\x80\xff\t\r\n");
}

// Passwords already stored must stay readable: the scrambled form of a known
// text may never change.
TEST(StringLibrary, ScrambledFormIsStable) {
  std::string text = "Secret password 123!";
  Scramble(text);
  EXPECT_EQ(text,
            "%gE>htIU ??4s-\x7f"
            "KPtNT");
}

TEST(StringLibrary, IsWindowsNTOnLinux) {
  EXPECT_TRUE(IsWindowsNT());
}

}  // namespace
}  // namespace halvorn
