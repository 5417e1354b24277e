#include "foundation/regex/reg_ex_wrappers.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace halvorn {
namespace {

constexpr std::uint8_t kHostNameOptions = kRegExDotAll | kRegExGreedy;                // 12
constexpr std::uint8_t kUrlOptions = kRegExIgnoreCase | kRegExDotAll | kRegExGreedy;  // 13

std::vector<std::string> Lines(const TStringList& list) {
  std::vector<std::string> lines;
  for (int i = 0; i < list.Count(); ++i) lines.push_back(list[i]);
  return lines;
}

TEST(RegExMatchesWholeTest, LeftmostMatchMustBeTheWholeText) {
  struct Row {
    const char* text;
    const char* pattern;
    std::uint8_t options;
    bool expected;
  };
  const Row rows[] = {
      {"ip10", "ip[0-9]+", kHostNameOptions, true},
      {"ip10x", "ip[0-9]+", kHostNameOptions, false},
      {"xip10", "ip[0-9]+", kHostNameOptions, false},
      // Without the greedy bit "+" takes as little as it can: the leftmost
      // match is "ip1", not the whole text.
      {"ip10", "ip[0-9]+", 0, false},
      // The leftmost alternative decides; a longer one is not tried.
      {"ab", "a|ab", kHostNameOptions, false},
      {"ab", "ab|a", kHostNameOptions, true},
      // An empty pattern matches only an empty text.
      {"", "", 0, true},
      {"x", "", 0, false},
      {"", "a*", kHostNameOptions, true},
      // Each option bit switches its modifier.
      {"ABC", "abc", 0, false},
      {"ABC", "abc", kRegExIgnoreCase, true},
      {"a\nb", "a.b", kRegExGreedy, false},
      {"a\nb", "a.b", kRegExDotAll, true},
      {"ab", "a b # letters", 0, false},
      {"ab", "a b # letters", kRegExExtended, true},
      {"ABC", "abc", 0xE0, false},  // bits above 16 do nothing
      {"dsl-1-2-3.pool.example.net", ".*[0-9]+-[0-9]+-[0-9]+.*pool.*", kHostNameOptions, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.text) + " / " + row.pattern + " / " + std::to_string(row.options));
    EXPECT_EQ(RegExMatchesWhole(row.text, row.pattern, row.options), row.expected);
  }
}

TEST(RegExFirstMatchTest, WholeMatchThenGroupsUpToTheFirstEmptyOne) {
  struct Row {
    const char* pattern;
    const char* text;
    std::uint8_t options;
    const char* expected;
  };
  const Row rows[] = {
      {"(\\w+)@(\\w+)", "mail bob@host now", kHostNameOptions, "bob@hostbobhost"},
      {"(a)(x?)(b)", "ab", kHostNameOptions, "aba"},  // group 2 is empty: stop there
      {"(a)(x)?(b)", "ab", kHostNameOptions, "aba"},  // group 2 took no part
      {"zz", "ab", kHostNameOptions, ""},
      {"^b", "a\nb", kHostNameOptions, ""},
      {"^b", "a\nb", kHostNameOptions | kRegExMultiLine, "b"},
      {"[^\\.]+example\\.com/", "see http://wwwexample.com/x", kRegExIgnoreCase | kRegExDotAll,
       "see http://wwwexample.com/"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.pattern) + " / " + row.text);
    EXPECT_EQ(RegExFirstMatch(row.pattern, row.text, row.options), row.expected);
  }
}

TEST(RegExCollectMatchesTest, AppendsEveryMatchAndItsGroups) {
  TStringList list{"kept"};
  EXPECT_TRUE(RegExCollectMatches("(\\d)x", "1x 2x", list, true, kHostNameOptions));
  EXPECT_EQ(Lines(list), (std::vector<std::string>{"kept", "1x", "1", "2x", "2"}));

  list.Clear();
  EXPECT_TRUE(RegExCollectMatches("(\\d)x", "1x 2x", list, false, kHostNameOptions));
  EXPECT_EQ(Lines(list), (std::vector<std::string>{"1x", "2x"}));

  // Without groups, empty matches add nothing, and the walk still reaches
  // the end of the text.
  list.Clear();
  EXPECT_TRUE(RegExCollectMatches("\\d*", "a1b22c", list, false, kHostNameOptions));
  EXPECT_EQ(Lines(list), (std::vector<std::string>{"1", "22"}));

  list = TStringList{"kept"};
  EXPECT_FALSE(RegExCollectMatches("\\d", "none", list, true, kHostNameOptions));
  EXPECT_EQ(Lines(list), (std::vector<std::string>{"kept"}));
}

TEST(RegExCollectMatchesTest, ExclusionRemovesMatchingLinesOfTheWholeList) {
  TStringList list{"http://localhost/old", "note"};
  const std::string text =
      "a http://Example.com/x b HTTP://localhost:80/y c http://spam.example.net/z";
  EXPECT_TRUE(RegExCollectMatches("http://[^ ]+", text, list, false, kUrlOptions, "LOCALHOST"));
  EXPECT_EQ(Lines(list), (std::vector<std::string>{"note", "http://Example.com/x",
                                                   "http://spam.example.net/z"}));

  // Nothing matched, yet the exclusion still cleans the list.
  list = TStringList{"http://localhost/old", "note"};
  EXPECT_FALSE(RegExCollectMatches("zzz", text, list, false, kUrlOptions, "localhost"));
  EXPECT_EQ(Lines(list), (std::vector<std::string>{"note"}));
}

TEST(RegExReplaceTest, ReplacementIsLiteral) {
  struct Row {
    const char* pattern;
    const char* text;
    const char* replacement;
    std::uint8_t options;
    const char* expected;
  };
  const Row rows[] = {
      {"a+", "caaandaa", "$1\\1", kHostNameOptions, "c$1\\1nd$1\\1"},
      {"a+", "caaandaa", "_", 0, "c___nd__"},  // non-greedy: one "a" per match
      {"X", "axbx", "-", kRegExIgnoreCase, "a-b-"},
      {"q", "abc", "-", kHostNameOptions, "abc"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.pattern) + " / " + row.text);
    std::string result = "stale";
    RegExReplace(row.pattern, row.text, row.replacement, result, row.options);
    EXPECT_EQ(result, row.expected);
  }
}

// A broken pattern is the caller's to report: every wrapper raises the
// engine's error with its code and leaves its outputs alone.
TEST(RegExWrappersTest, EngineErrorsReachTheCaller) {
  const std::string broken = "(ab";
  EXPECT_THROW(RegExMatchesWhole("ab", broken, 0), ERegExpr);
  EXPECT_THROW(RegExFirstMatch(broken, "ab", 0), ERegExpr);
  EXPECT_THROW(RegExFirstMatch("", "ab", 0), ERegExpr);

  TStringList list{"kept"};
  EXPECT_THROW(RegExCollectMatches(broken, "ab", list, true, 0), ERegExpr);
  EXPECT_EQ(Lines(list), (std::vector<std::string>{"kept"}));
  EXPECT_THROW(RegExCollectMatches("a", "ab", list, false, 0, "[b"), ERegExpr);

  std::string result = "unchanged";
  try {
    RegExReplace(broken, "ab", "x", result, 0);
    ADD_FAILURE() << "no error raised";
  } catch (const ERegExpr& error) {
    EXPECT_GT(error.ErrorCode, 0);
    EXPECT_LT(error.ErrorCode, 1000);  // a compile error, with its position
  }
  EXPECT_EQ(result, "unchanged");
}

// A pattern that backtracks without end over its text ends with the engine's
// budget error (or a plain no-match), never a hang or a crash.
TEST(RegExWrappersTest, RunawaySearchEndsWithTheEngineError) {
  const std::string text = std::string(100000, 'a') + "b";
  try {
    EXPECT_FALSE(RegExMatchesWhole(text, "^(a|aa)*$", kHostNameOptions));
  } catch (const ERegExpr& error) {
    EXPECT_EQ(error.ErrorCode, kRegExprStepLimitError);
  }
}

}  // namespace
}  // namespace halvorn
