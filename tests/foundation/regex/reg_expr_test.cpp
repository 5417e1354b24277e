#include "foundation/regex/reg_expr.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace halvorn {
namespace {

// Applies modifier letters to an engine: "i" switches i on, "-s" switches s
// off, "i-sg" both ways.
void ApplyModifiers(TRegExpr& re, const std::string& mods) {
  bool on = true;
  for (char c : mods) {
    if (c == '-') {
      on = false;
      continue;
    }
    int number = std::string("irsgmx").find(c) + 1;
    re.SetModifier(number, on);
  }
}

// The whole match, or nullopt when there is none.
std::optional<std::string> FirstMatch(const std::string& pattern, const std::string& mods,
                                      const std::string& text) {
  TRegExpr re;
  ApplyModifiers(re, mods);
  re.SetExpression(pattern);
  if (!re.Exec(text)) return std::nullopt;
  return re.GetMatch(0);
}

int ErrorCodeOf(const std::string& pattern, const std::string& mods = "") {
  TRegExpr re;
  ApplyModifiers(re, mods);
  re.SetExpression(pattern);
  try {
    re.Compile();
  } catch (const ERegExpr& e) {
    return e.ErrorCode;
  }
  return 0;
}

constexpr const char* kNo = nullptr;

struct MatchRow {
  const char* pattern;
  const char* mods;
  std::string text;
  const char* match;  // kNo: no match
};

TEST(RegExpr, DialectTable) {
  const MatchRow rows[] = {
      // "." crosses line ends while s is on (the default), not with s off.
      {"a.c", "", "a\nc", "a\nc"},
      {"a.c", "-s", "a\nc", kNo},
      {"a.c", "-s", "a\rc", kNo},
      {"a.c", "-s", "a\tc", "a\tc"},
      // Counted repeats, and braces that are not a repeat.
      {"x{a}", "", "x{a}", "x{a}"},
      {"x{,2}", "", "xx{,2}", "x{,2}"},
      {"x{2}", "", "xxx", "xx"},
      {"x{2,}", "", "xxxxy", "xxxx"},
      {"x{1,3}?", "", "xxx", "x"},
      {"x{0}y", "", "xy", "y"},
      {"a{99999999}", "", "aaaa", kNo},
      {"(ab){2,3}c", "", "abababc", "abababc"},
      {"(ab){2,3}?", "", "ababab", "abab"},
      // g off makes every quantifier non-greedy, "?" suffix or not.
      {"x+", "-g", "xxx", "x"},
      {"x+?", "-g", "xxx", "x"},
      {"<.*>", "", "<a><b>", "<a><b>"},
      {"<.*?>", "", "<a><b>", "<a>"},
      {"<.*>", "-g", "<a><b>", "<a>"},
      // Anchors: only the input's ends without m; lines with m, where CR,
      // LF and CR LF end a line.
      {"^b", "", "a\nb", kNo},
      {"^b", "m", "a\nb", "b"},
      {"^b", "m", "a\rb", "b"},
      {"a$", "", "a\n", kNo},
      {"a$", "m", "a\r\nb", "a"},
      {"a$", "m", "a\rb", "a"},
      {"\\Ab", "m", "a\nb", kNo},
      {"a\\Z", "m", "a\nb", kNo},
      {"a\\Z", "", "ba", "a"},
      // Classes.
      {"[]a]+", "", "x]a]b", "]a]"},
      {"[^]a]+", "", "a]xy", "xy"},
      {"[a-]+", "", "x-a-b", "-a-"},
      {"[-a]+", "", "b-a", "-a"},
      {"[a-c-e]+", "", "x-eab", "-eab"},
      {"[\\d\\s]+", "", "a1 2b", "1 2"},
      {"[\\D]+", "", "12x3", "x"},
      {"[\\W\\d]+", "", "ab1-+c", "1-+"},
      {"[\\x41-\\x43]+", "", "xABCD", "ABC"},
      {"[\\t\\n]+", "", "a\t\nb", "\t\n"},
      {"[a-z]+", "i", "1ABc2", "ABc"},
      {"[^a]+", "i", "AAbB", "bB"},
      {"[\\]]", "", "a]", "]"},
      // Escapes.
      {"\\x41\\x{42}\\x{0043}", "", "ABC", "ABC"},
      {"\\t\\n\\r\\f\\a\\e", "", "\t\n\r\f\a\x1B", "\t\n\r\f\a\x1B"},
      {"\\q\\.\\b", "", "aq.b", "q.b"},
      {"\\w+", "", "-ab_9-", "ab_9"},
      {"\\W+", "", "ab-+c", "-+"},
      {"\\s+", "", "a \t\r\n\fb", " \t\r\n\f"},
      {"\\s", "", "a\vb", kNo},
      {"\\S+", "", "  ab ", "ab"},
      {"\\d+", "", "a123b", "123"},
      // Back-references, without regard to case under i.
      {"(ab)\\1", "", "abAB abab", "abab"},
      {"(ab)\\1", "i", "abAB", "abAB"},
      {"(a)?b\\1", "", "b", kNo},
      {"(a)|b\\1", "", "b", kNo},
      // Case under i follows code page 1252, beyond ASCII too.
      {"\xE9t\xE9", "i", "\xC9T\xC9", "\xC9T\xC9"},
      {"\xFF", "i", "\x9F", "\x9F"},
      {"[\xE0-\xE2]", "i", "\xC1", "\xC1"},
      {"\xDF", "i", "ss", kNo},
      // Modifier groups hold to the end of the pattern, in either case.
      {"(?i)ab", "", "AB", "AB"},
      {"a(?i)b", "", "aB", "aB"},
      {"a(?i)b", "", "AB", kNo},
      {"(a(?i)b)c", "", "aBC", "aBC"},
      {"(?-i)a", "i", "A", kNo},
      {"(?I)a", "", "A", "A"},
      {"(?s-s)a.c", "", "a\nc", kNo},
      {"(?m)^b", "", "a\nb", "b"},
      {"(?g-g)x+", "", "xxx", "x"},
      {"(?#a comment)ab", "", "ab", "ab"},
      // Extended form: blanks, tabs, line ends and # comments go; blanks
      // inside a class or escaped stay.
      {"a b # comment\n c", "x", "abc", "abc"},
      {"a\\ b", "x", "a b", "a b"},
      {"[ ]a", "x", "x a", " a"},
      {"a +", "x", "aaa", "aaa"},
      {"(?x) a b", "", "ab", "ab"},
      // Alternatives from the left, leftmost start first.
      {"(a|ab)(c|bcd)(d*)", "", "abcd", "abcd"},
      {"b|ab", "", "ab", "ab"},
      {"", "", "", kNo},
  };
  for (const MatchRow& r : rows) {
    if (std::string(r.pattern).empty()) continue;
    SCOPED_TRACE(std::string(r.pattern) + " /" + r.mods);
    std::optional<std::string> got = FirstMatch(r.pattern, r.mods, r.text);
    if (r.match == kNo) {
      EXPECT_FALSE(got.has_value()) << *got;
    } else {
      ASSERT_TRUE(got.has_value());
      EXPECT_EQ(*got, r.match);
    }
  }
}

TEST(RegExpr, CyrillicRangesFollowModifierR) {
  struct Row {
    const char* pattern;
    bool r;
    unsigned char c;
    bool matches;
  } rows[] = {
      {"[\\xE0-\\xFF]", true, 0xB8, true},  {"[\\xE0-\\xFF]", false, 0xB8, false},
      {"[\\xC0-\\xDF]", true, 0xA8, true},  {"[\\xC0-\\xDF]", false, 0xA8, false},
      {"[\\xC0-\\xDF]", true, 0xB8, false}, {"[\\xE0-\\xDF]", true, 0xA8, true},
      {"[\\xE0-\\xDF]", true, 0xC5, true},  {"[\\xE0-\\xDF]", true, 0xF5, true},
      {"[\\xE0-\\xFE]", true, 0xB8, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.pattern) + (row.r ? " r" : " -r") + " " + std::to_string(row.c));
    EXPECT_EQ(FirstMatch(row.pattern, row.r ? "r" : "-r", std::string(1, char(row.c))).has_value(),
              row.matches);
  }
  EXPECT_EQ(ErrorCodeOf("[\\xE0-\\xDF]", "-r"), 109);
}

TEST(RegExpr, GroupsAndPositions) {
  TRegExpr re;
  re.SetExpression("(a+)(x)?(b+)");
  ASSERT_TRUE(re.Exec("zzaab"));
  EXPECT_EQ(re.GetMatch(0), "aab");
  EXPECT_EQ(re.SubMatchStart(0), 3);
  EXPECT_EQ(re.SubMatchLength(0), 3);
  EXPECT_EQ(re.GetMatch(1), "aa");
  EXPECT_EQ(re.SubMatchStart(3), 5);
  // A group that did not take part, an index past the groups, and indexes
  // out of range are empty / -1.
  EXPECT_EQ(re.GetMatch(2), "");
  EXPECT_EQ(re.SubMatchStart(2), -1);
  EXPECT_EQ(re.SubMatchLength(2), -1);
  EXPECT_EQ(re.SubMatchStart(4), -1);
  EXPECT_EQ(re.GetMatch(15), "");
  EXPECT_EQ(re.GetMatch(-1), "");
  EXPECT_EQ(re.SubMatchStart(15), -1);

  // A group keeps the text of its last turn in a loop.
  re.SetExpression("(?:x)|((a)|b)+");
  re.SetExpression("((a)|b)+");
  ASSERT_TRUE(re.Exec("abba"));
  EXPECT_EQ(re.GetMatch(1), "a");
  EXPECT_EQ(re.SubMatchStart(1), 4);
  EXPECT_EQ(re.GetMatch(2), "a");
  EXPECT_EQ(re.SubMatchStart(2), 4);
  ASSERT_TRUE(re.Exec("ab"));
  EXPECT_EQ(re.GetMatch(1), "b");
  EXPECT_EQ(re.GetMatch(2), "a");

  // Required turns of a counted loop run one by one even after a turn that
  // matched empty, as written-out copies would: the second turn takes "a".
  re.SetExpression("(|a){2}-");
  ASSERT_TRUE(re.Exec("a-"));
  EXPECT_EQ(re.SubMatchStart(1), 1);
  EXPECT_EQ(re.GetMatch(1), "a");
  // Optional turns stop after one that matched empty.
  re.SetExpression("(a|){1,5}b");
  ASSERT_TRUE(re.Exec("aab"));
  EXPECT_EQ(re.SubMatchStart(1), 3);
  EXPECT_EQ(re.SubMatchLength(1), 0);

  // A failed search clears the previous sub-matches.
  EXPECT_FALSE(re.Exec("zz"));
  EXPECT_EQ(re.SubMatchStart(0), -1);
  EXPECT_EQ(re.GetMatch(0), "");
}

TEST(RegExpr, ExecPosAndExecNextWalkTheMatches) {
  TRegExpr re;
  re.SetExpression("a");
  ASSERT_TRUE(re.Exec("abab"));
  EXPECT_EQ(re.SubMatchStart(0), 1);
  ASSERT_TRUE(re.ExecNext());
  EXPECT_EQ(re.SubMatchStart(0), 3);
  EXPECT_FALSE(re.ExecNext());
  EXPECT_TRUE(re.ExecPos(2));
  EXPECT_EQ(re.SubMatchStart(0), 3);
  EXPECT_TRUE(re.ExecPos(3));
  EXPECT_FALSE(re.ExecPos(4));
  EXPECT_FALSE(re.ExecPos(5));  // just past the end: searched, nothing there
  EXPECT_FALSE(re.ExecPos(6));  // beyond: false without an error

  // "^" without m is the start of the input, not of the search.
  re.SetExpression("^a");
  re.Exec("aa");
  EXPECT_FALSE(re.ExecPos(2));

  // After an empty match the next search starts one character on, so a
  // pattern that can match empty walks the text and ends.
  re.SetExpression("x*");
  ASSERT_TRUE(re.Exec("ab"));
  std::vector<int> starts{re.SubMatchStart(0)};
  while (re.ExecNext()) starts.push_back(re.SubMatchStart(0));
  EXPECT_EQ(starts, (std::vector<int>{1, 2, 3}));
}

TEST(RegExpr, ReplaceMatchesTakesTheReplacementLiterally) {
  struct Row {
    const char* pattern;
    const char* mods;
    std::string text, replacement, expected;
  } rows[] = {
      {"X", "", "aXbXc", "-", "a-b-c"},
      {"(X)", "", "aXb", "$1\\1$&", "a$1\\1$&b"},
      {"x*", "", "abc", "-", "-a-b-c-"},
      {"b*", "", "abc", "-", "-a--c-"},
      {"z", "", "abc", "-", "abc"},
      {"$", "", "abc", "!", "abc!"},
      {"a|", "", "ab", "-", "--b-"},
      // Line starts: CR LF is one line end, CR and LF alone each one.
      {"^", "m", "a\r\nb\n\nc\rd", ">", ">a\r\n>b\n>\n>c\r>d"},
      {"$", "m", "a\r\nb\n", "<", "a<\r\nb<\n<"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.pattern) + " on " + r.text);
    TRegExpr re;
    ApplyModifiers(re, r.mods);
    re.SetExpression(r.pattern);
    EXPECT_EQ(re.ReplaceMatches(r.text, r.replacement), r.expected);
  }
}

TEST(RegExpr, PairedSeparatorCanBeClearedOrChanged) {
  TRegExpr re;
  re.SetModifier(5, true);
  re.SetExpression("^");
  EXPECT_EQ(re.ReplaceMatches("a\r\nb", ">"), ">a\r\n>b");
  re.SetLinePairedSeparator("");
  EXPECT_EQ(re.ReplaceMatches("a\r\nb", ">"), ">a\r>\n>b");
  re.SetExpression("$");
  EXPECT_EQ(re.ReplaceMatches("a\r\nb", "<"), "a<\r<\nb<");
  // A pair of other characters is a line end of its own, and a line starts
  // after it.
  re.SetLinePairedSeparator("ab");
  EXPECT_EQ(re.ReplaceMatches("xaby", "<"), "x<aby<");
  re.SetExpression("^");
  EXPECT_EQ(re.ReplaceMatches("xaby\nab", ">"), ">xab>y\n>ab>");

  for (const char* bad : {"aa", "a", "abc", "\n\n"}) {
    SCOPED_TRACE(bad);
    try {
      re.SetLinePairedSeparator(bad);
      ADD_FAILURE() << "no error";
    } catch (const ERegExpr& e) {
      EXPECT_EQ(e.ErrorCode, 128);
      EXPECT_STREQ(e.what(),
                   "TRegExpr(comp): LinePairedSeparator must countain two different chars or no "
                   "chars at all (pos 0)");
    }
  }
  EXPECT_EQ(re.LinePairedSeparator(), "ab");
}

struct ErrorRow {
  std::string pattern;
  int code;
  const char* message;  // nullptr: only the code is checked
  const char* mods = "";
};

TEST(RegExpr, CompileErrorsCarryCodeTextAndPosition) {
  const ErrorRow rows[] = {
      {"(?:a)", 127, "TRegExpr(comp): Urecognized Modifier (pos 3)"},
      {"(?i", 127, nullptr},
      {"(?=a)", 127, nullptr},
      {"x{2,1}", 124, "TRegExpr(comp): BRACE Min Param Greater then Max (pos 7)"},
      {"x{1,123456789}", 122, "TRegExpr(comp): BRACES Argument Too Big (pos 5)"},
      {"x{123456789}", 122, nullptr},
      {"(a", 103, "TRegExpr(comp): ParseReg Unmatched () (pos 3)"},
      {"a)", 104, "TRegExpr(comp): ParseReg Unmatched () (pos 2)"},
      {"(a|b))", 104, nullptr},
      // "*" and "+" on what can match empty.
      {"(a*)*", 106, "TRegExpr(comp): *+ Operand Could Be Empty (pos 6)"},
      {"(a|)+", 106, nullptr},
      {"(a?b?)+?", 106, nullptr},
      {"^*", 106, nullptr},
      {"(\\b|)*", 106, nullptr},
      {"(a)|\\1*", 0, nullptr},
      {"(a*)\\1+", 106, nullptr},
      {"(a\\1*)", 106, nullptr},
      {"(a*){2,}", 0, nullptr},
      {"(a*)?", 0, nullptr},
      // A quantifier right after another.
      {"a**", 107, "TRegExpr(comp): Nested *?+ (pos 3)"},
      {"a+*", 107, nullptr},
      {"a{2}{3}", 107, nullptr},
      {"a*??", 107, nullptr},
      {"a?+", 107, nullptr},
      {"a* ?", 107, nullptr, "x"},
      {"a*{x}", 0, nullptr},
      // A quantifier with nothing before it.
      {"*a", 115, "TRegExpr(comp): ?+*{ Follows Nothing (pos 1)"},
      {"a|+b", 115, nullptr},
      {"(?b", 127, nullptr},
      {"(*a)", 115, nullptr},
      {"{2}", 115, nullptr},
      {"(?i)*", 115, nullptr},
      {"a(?#c)?", 115, nullptr},
      {"{a}", 0, nullptr},
      // Hexadecimal codes.
      {"\\xg1", 108, "TRegExpr(comp): Bad Hex Digit (pos 3)"},
      {"\\x4g", 108, nullptr},
      {"\\x{4g}", 108, nullptr},
      {"\\x{100}", 112, "TRegExpr(comp): Hex Code After \\x Is Too Big (pos 6)"},
      {"\\x", 111, "TRegExpr(comp): No Hex Code After \\x (pos 3)"},
      {"\\x4", 111, nullptr},
      {"\\x{}", 111, nullptr},
      {"\\x{41", 111, nullptr},
      // Classes and trailing backslashes.
      {"[z-a]", 109, "TRegExpr(comp): Invalid [] Range (pos 5)"},
      {"[abc", 113, "TRegExpr(comp): Unmatched [] (pos 5)"},
      {"[]", 113, nullptr},
      {"a\\", 110, "TRegExpr(comp): Parse Atom Trailing \\ (pos 3)"},
      {"[a\\", 116, "TRegExpr(comp): Trailing \\ (pos 4)"},
      {"(?#abc", 125, "TRegExpr(comp): Unclosed (?#Comment) (pos 7)"},
      {std::string(14, '(') + "a" + std::string(14, ')'), 0, nullptr},
      {std::string(15, '(') + "a" + std::string(15, ')'), 102,
       "TRegExpr(comp): ParseReg Too Many () (pos 15)"},
      {"(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)(k)(l)(m)(n)(o)", 102, nullptr},
      // Deep nesting is stopped by the group limit, not by the stack.
      {std::string(100000, '('), 102, nullptr},
      {std::string(100000, ')'), 104, nullptr},
  };
  for (const ErrorRow& r : rows) {
    SCOPED_TRACE(r.pattern.substr(0, 40));
    TRegExpr re;
    ApplyModifiers(re, r.mods);
    re.SetExpression(r.pattern);  // never raises: compiling is lazy
    try {
      re.Compile();
      EXPECT_EQ(r.code, 0) << "compiled";
    } catch (const ERegExpr& e) {
      EXPECT_EQ(e.ErrorCode, r.code) << e.what();
      EXPECT_EQ(re.LastError(), r.code);
      if (r.message) {
        EXPECT_STREQ(e.what(), r.message);
        std::string msg = r.message;
        EXPECT_EQ(e.CompilerErrorPos, std::stoi(msg.substr(msg.rfind("(pos ") + 5)));
      }
    }
  }
}

TEST(RegExpr, CompileErrorsAlsoRiseFromSearch) {
  TRegExpr re;
  re.SetExpression("(a");
  EXPECT_THROW(re.Exec("a"), ERegExpr);
  EXPECT_EQ(re.LastError(), 103);
  // The failed program is not kept: the next search reports again.
  EXPECT_THROW(re.Exec("a"), ERegExpr);
  re.SetExpression("(a)");
  EXPECT_TRUE(re.Exec("a"));
}

TEST(RegExpr, UseErrorsOfTheEngine) {
  auto codeOf = [](auto action) {
    try {
      action();
    } catch (const ERegExpr& e) {
      EXPECT_EQ(e.CompilerErrorPos, 0);
      return std::make_pair(e.ErrorCode, std::string(e.what()));
    }
    return std::make_pair(0, std::string());
  };
  TRegExpr re;
  EXPECT_EQ(codeOf([&] { re.SetModifier(7, true); }),
            std::make_pair(1013, std::string("Unknown error")));
  EXPECT_EQ(codeOf([&] { re.SetModifier(0, true); }).first, 1013);
  EXPECT_EQ(codeOf([&] { re.Exec("a"); }),
            std::make_pair(1003, std::string("TRegExpr(exec): Not Assigned Expression Property")));
  EXPECT_EQ(codeOf([&] { re.Compile(); }).first, 1003);
  re.SetExpression("");
  EXPECT_EQ(codeOf([&] { re.Exec("a"); }).first, 1003);
  // The failed Exec above still took its input: a fresh engine has none.
  TRegExpr unused;
  unused.SetExpression("a");
  EXPECT_EQ(codeOf([&] { unused.ExecPos(1); }),
            std::make_pair(1005, std::string("TRegExpr(exec): No Inpit String Specified")));
  EXPECT_EQ(codeOf([&] { unused.ExecNext(); }),
            std::make_pair(1007, std::string("TRegExpr(exec): ExecNext Without Exec[Pos]")));
  EXPECT_EQ(codeOf([&] { unused.InputString(); }).first, 1008);
  re.SetExpression("a");
  EXPECT_FALSE(re.Exec("b"));
  EXPECT_EQ(codeOf([&] { re.ExecNext(); }).first, 1007);
  EXPECT_EQ(codeOf([&] { re.ExecPos(0); }),
            std::make_pair(1006, std::string("TRegExpr(exec): Offset Must Be Greater Then 0")));
  EXPECT_EQ(re.InputString(), "b");
  // An empty input is an input.
  re.SetExpression("x*");
  EXPECT_TRUE(re.Exec(""));
  EXPECT_EQ(re.SubMatchStart(0), 1);

  EXPECT_EQ(re.ErrorMsg(0), "No errors");
  EXPECT_EQ(re.ErrorMsg(104), re.ErrorMsg(103));
  EXPECT_EQ(re.ErrorMsg(1014), "TRegExpr(exec): Loop Stack Exceeded");
  EXPECT_EQ(re.ErrorMsg(117), "Unknown error");
  EXPECT_EQ(re.ErrorMsg(kRegExprStepLimitError), "TRegExpr(exec): Match Step Limit Exceeded");
}

// An engine whose Error records instead of raising: the failing operation
// answers false and nothing is left half done.
class QuietRegExpr : public TRegExpr {
 public:
  void Error(int code) override { Codes.push_back(code); }
  std::vector<int> Codes;
};

TEST(RegExpr, ErrorOverrideThatDoesNotRaise) {
  QuietRegExpr re;
  re.SetExpression("a{2,1}");
  EXPECT_FALSE(re.Exec("aa"));
  re.SetExpression("a");
  EXPECT_FALSE(re.ExecNext());
  EXPECT_TRUE(re.Exec("a"));
  EXPECT_EQ(re.Codes, (std::vector<int>{124, 1007}));
}

TEST(RegExpr, ProgramFollowsModifiersAndPattern) {
  TRegExpr re;
  re.SetExpression("a");
  EXPECT_FALSE(re.Exec("A"));
  re.SetModifier(1, true);
  EXPECT_TRUE(re.GetModifier(1));
  EXPECT_TRUE(re.Exec("A"));
  re.SetModifier(1, false);
  EXPECT_FALSE(re.Exec("A"));
  re.SetExpression("b");
  EXPECT_TRUE(re.Exec("b"));
  // Defaults: r, s and g on.
  TRegExpr fresh;
  EXPECT_EQ(fresh.Modifiers(), TRegExpr::kModR | TRegExpr::kModS | TRegExpr::kModG);
}

// Counted loops nest at most ten deep when a search reaches them.
TEST(RegExpr, NestedCountedLoopsAreLimited) {
  auto nested = [](int depth) {
    std::string p = "a";
    for (int i = 0; i < depth; ++i) p = "(" + p + "){1,2}";
    return p;
  };
  TRegExpr re;
  re.SetExpression(nested(10));
  EXPECT_TRUE(re.Exec("aa"));
  re.SetExpression(nested(11));
  re.Compile();  // compiles; the limit is met while matching
  try {
    re.Exec("aa");
    ADD_FAILURE() << "no error";
  } catch (const ERegExpr& e) {
    EXPECT_EQ(e.ErrorCode, 1014);
    EXPECT_STREQ(e.what(), "TRegExpr(exec): Loop Stack Exceeded");
  }
  // Stars and pluses do not count.
  std::string stars = "a";
  for (int i = 0; i < 13; ++i) stars = "(" + stars + ")+";
  re.SetExpression(stars);
  EXPECT_TRUE(re.Exec("aa"));
}

TEST(RegExpr, RunawayBacktrackingEndsWithTheBudgetError) {
  TRegExpr re;
  re.SetExpression("^(a|aa)*$");
  std::string text(100000, 'a');
  text += 'b';
  try {
    EXPECT_FALSE(re.Exec(text));
  } catch (const ERegExpr& e) {
    EXPECT_EQ(e.ErrorCode, kRegExprStepLimitError);
    EXPECT_EQ(e.CompilerErrorPos, 0);
  }
  // So does a loop of required turns that consume nothing.
  // It stops on the step budget or on the memory its undo records take.
  re.SetExpression("(a?){99999999}b");
  try {
    EXPECT_FALSE(re.Exec("xxb"));
  } catch (const ERegExpr& e) {
    EXPECT_TRUE(e.ErrorCode == kRegExprStepLimitError || e.ErrorCode == kRegExprBacktrackLimitError)
        << e.what();
  }
  // The same engine goes on working afterwards.
  re.SetExpression("^(a|aa)*$");
  EXPECT_TRUE(re.Exec("aaa"));
  EXPECT_EQ(re.GetMatch(1), "a");
}

// The searches skip positions where no match can start, but a search that
// runs away where a match could start still ends with the budget error; only
// when no match can start anywhere is the answer "no match" straight away.
TEST(RegExpr, RunawaySearchesStillRaiseWhereAMatchCouldStart) {
  const std::string as(5000, 'a');
  struct Row {
    const char* pattern;
    const char* mods;
    std::string text;
    int error;  // 0: no match
  } rows[] = {
      // Anchored at the input's start, at a line start, after a literal.
      {"^(a|aa)*$", "", as + "b", kRegExprStepLimitError},
      {"^(a|aa)*$", "m", "x\n" + as + "b", kRegExprStepLimitError},
      {"x(a|aa)*y", "", std::string(1000, 'x') + as, kRegExprStepLimitError},
      // A required text that is there, with and without case folding.
      {"(a|aa)*bc", "", as + "bxbc", kRegExprStepLimitError},
      {"(a|aa)*BC", "i", as + "bxbc", kRegExprStepLimitError},
      // A leading repeat, and saved state outgrowing its memory.
      {"[ab]+(a|aa)*c$", "", as + "xc", kRegExprStepLimitError},
      {"(a?){99999999}b", "", "xxb", kRegExprBacktrackLimitError},
      // The required text is missing, under i as without: no match.
      {"(a|aa)*c", "", as + "b", 0},
      {"(a|aa)*C", "i", as + "b", 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.pattern) + " /" + r.mods);
    TRegExpr re;
    ApplyModifiers(re, r.mods);
    re.SetExpression(r.pattern);
    int got = 0;
    try {
      EXPECT_FALSE(re.Exec(r.text));
    } catch (const ERegExpr& e) {
      got = e.ErrorCode;
    }
    EXPECT_EQ(got, r.error);
  }
}

TEST(RegExpr, LongTextsDoNotExhaustTheStack) {
  std::string text;
  const std::string words = "Dear customer, your account 12345 has been selected for a prize! ";
  while (text.size() < 4 * 1024 * 1024) text += words;
  TRegExpr re;
  re.SetExpression("(\\w+\\s)*");
  ASSERT_TRUE(re.Exec(text));
  EXPECT_EQ(re.SubMatchStart(0), 1);
  EXPECT_EQ(re.GetMatch(0), "Dear ");
  re.SetExpression("([\\w,!]+\\s)*$");
  ASSERT_TRUE(re.Exec(text));
  EXPECT_EQ(re.SubMatchLength(0), static_cast<int>(text.size()));
  EXPECT_EQ(re.GetMatch(1), "prize! ");

  // Alternatives in a loop over a megabyte, and a counted loop.
  re.SetExpression("(a|b)*c");
  std::string ab(1 << 20, 'a');
  for (std::size_t i = 0; i < ab.size(); i += 3) ab[i] = 'b';
  EXPECT_TRUE(re.Exec(ab + "c"));
  EXPECT_EQ(re.SubMatchLength(0), static_cast<int>(ab.size()) + 1);
  re.SetExpression("(ab){0,99999999}$");
  std::string abab;
  for (int i = 0; i < 200000; ++i) abab += "ab";
  EXPECT_TRUE(re.Exec(abab));
  EXPECT_EQ(re.SubMatchLength(0), static_cast<int>(abab.size()));
  EXPECT_EQ(re.SubMatchStart(1), static_cast<int>(abab.size()) - 1);
}

// ---- Differential test against Python's re (bytes patterns) ----
//
// Random patterns and texts over small alphabets, searched by both engines;
// the leftmost match and every group's span must agree. Each pattern is
// written twice, once per dialect, where the dialects differ by design:
//  - "$" without m is the very end here; Python's "$" also matches before a
//    final "\n", so Python gets "\Z".
//  - Only "\n" ends a line in Python (here CR and CR LF too): the texts hold
//    no CR.
//  - Python's "\s" takes "\v" too: the texts hold no "\v".
//  - Python folds case of bytes in ASCII only: the alphabets are ASCII.
//  - "{,n}" is a quantifier in Python, literal here: never generated.
//  - "\1" followed by a digit is another group in Python: Python gets
//    "(?:\1)".
//  - "*" and "+" on what can match empty are errors here (106), legal in
//    Python: such patterns are skipped, and only them.
class PatternGen {
 public:
  explicit PatternGen(std::uint32_t seed) : Rng(seed) {}

  struct Case {
    std::string Ours, Python;
    std::string Mods;  // for ApplyModifiers
    int PyFlags = 0;   // re.I 2, re.M 8, re.S 16
  };

  Case Next() {
    Case c;
    Groups = 0;
    Closed.assign(10, false);
    I = R(10) < 3;
    M = R(10) < 4;
    S = R(10) >= 4;
    G = R(10) >= 2;
    if (I) c.Mods += "i";
    if (M) c.Mods += "m";
    c.Mods += "-";
    if (!S) c.Mods += "s";
    if (!G) c.Mods += "g";
    c.PyFlags = (I ? 2 : 0) | (M ? 8 : 0) | (S ? 16 : 0);
    Piece p = Alt(0);
    c.Ours = p.Ours;
    c.Python = p.Py;
    return c;
  }

  std::string Text() {
    static const char alphabet[] = "aabbAB1 _-\n";
    std::string t;
    int n = R(11);
    for (int i = 0; i < n; ++i) t += alphabet[R(sizeof alphabet - 1)];
    return t;
  }

 private:
  struct Piece {
    std::string Ours, Py;
    bool Anchor = false;
  };

  int R(int n) { return static_cast<int>(Rng() % static_cast<std::uint32_t>(n)); }

  Piece Atom(int depth) {
    static const char* literals[] = {"a", "b", "A", "B", "1", " ", "-", "_"};
    static const char* classes[] = {"[ab]", "[^a]", "[a-c]",    "[\\d\\s]", "[A-Z_]", "[^\\w]",
                                    "[b-]", "[]a]", "[^ab\\n]", "[-1]",     "\\d",    "\\w",
                                    "\\s",  "\\D",  "\\W",      "\\S",      "."};
    int k = R(20);
    Piece p;
    if (k < 8) {
      p.Ours = p.Py = literals[R(8)];
    } else if (k < 13) {
      p.Ours = p.Py = classes[R(sizeof classes / sizeof *classes)];
    } else if (k < 15) {
      p.Anchor = true;
      switch (R(4)) {
        case 0:
          p.Ours = p.Py = "^";
          break;
        case 1:
          p.Ours = "$";
          p.Py = M ? "$" : "\\Z";
          break;
        case 2:
          p.Ours = p.Py = "\\A";
          break;
        default:
          p.Ours = p.Py = "\\Z";
          break;
      }
    } else if (k < 19 && depth < 3 && Groups < 9) {
      int g = ++Groups;
      Piece inner = Alt(depth + 1);
      Closed[g] = true;
      p.Ours = "(" + inner.Ours + ")";
      p.Py = "(" + inner.Py + ")";
    } else {
      std::vector<int> closed;
      for (int g = 1; g < 10; ++g)
        if (Closed[g]) closed.push_back(g);
      if (closed.empty()) {
        p.Ours = p.Py = "a";
      } else {
        int g = closed[R(static_cast<int>(closed.size()))];
        p.Ours = "\\" + std::to_string(g);
        p.Py = "(?:\\" + std::to_string(g) + ")";
      }
    }
    return p;
  }

  Piece Quantified(int depth) {
    Piece p = Atom(depth);
    if (p.Anchor || R(100) >= 40) return p;
    std::string q;
    switch (R(6)) {
      case 0:
        q = "*";
        break;
      case 1:
        q = "+";
        break;
      case 2:
        q = "?";
        break;
      case 3:
        q = "{" + std::to_string(R(3)) + "}";
        break;
      case 4:
        q = "{" + std::to_string(R(3)) + ",}";
        break;
      default: {
        int n = R(3);
        q = "{" + std::to_string(n) + "," + std::to_string(n + R(3)) + "}";
      }
    }
    bool lazy = R(10) < 3;
    p.Ours += q + (lazy ? "?" : "");
    p.Py += q + ((lazy || !G) ? "?" : "");
    return p;
  }

  Piece Concat(int depth) {
    Piece out;
    int n = 1 + R(depth == 0 ? 4 : 3);
    for (int i = 0; i < n; ++i) {
      Piece p = Quantified(depth);
      out.Ours += p.Ours;
      out.Py += p.Py;
    }
    return out;
  }

  Piece Alt(int depth) {
    Piece out = Concat(depth);
    int extra = R(10) < 3 ? 1 + R(2) : 0;
    for (int i = 0; i < extra; ++i) {
      Piece p = Concat(depth);
      out.Ours += "|" + p.Ours;
      out.Py += "|" + p.Py;
    }
    return out;
  }

  std::mt19937 Rng;
  int Groups = 0;
  std::vector<bool> Closed;
  bool I = false, M = false, S = true, G = true;
};

std::string JsonString(const std::string& bytes) {
  std::string out = "\"";
  for (unsigned char c : bytes) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

TEST(RegExpr, AgreesWithPythonRe) {
  const char* script = R"(
import json, re, signal, sys, warnings
warnings.simplefilter('ignore')
class Slow(Exception):
    pass
def alarm(signum, frame):
    raise Slow()
signal.signal(signal.SIGALRM, alarm)
out = []
for line in sys.stdin:
    pat, text, flags = json.loads(line)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.5)
        m = re.search(pat.encode('latin-1'), text.encode('latin-1'), flags)
    except re.error:
        out.append('E')
        continue
    except Slow:
        out.append('T')
        continue
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
    if m is None:
        out.append('N')
    else:
        out.append(' '.join('%d %d' % m.span(g) for g in range(m.re.groups + 1)))
print('\n'.join(out))
)";
  struct Run {
    PatternGen::Case c;
    std::string text;
  };
  PatternGen gen(20240611);
  std::vector<Run> runs;
  std::string input;
  for (int p = 0; p < 800; ++p) {
    PatternGen::Case c = gen.Next();
    for (int t = 0; t < 5; ++t) {
      Run r{c, gen.Text()};
      input += "[" + JsonString(r.c.Python) + "," + JsonString(r.text) + "," +
               std::to_string(r.c.PyFlags) + "]\n";
      runs.push_back(std::move(r));
    }
  }
  test::CommandResult py = test::RunPython(script, input);
  ASSERT_EQ(py.ExitCode, 0);
  std::vector<std::string> answers;
  std::istringstream lines(py.Output);
  for (std::string line; std::getline(lines, line);) answers.push_back(line);
  ASSERT_EQ(answers.size(), runs.size());

  std::size_t compared = 0, skipped = 0;
  std::vector<std::string> faults;
  for (std::size_t k = 0; k < runs.size(); ++k) {
    const Run& r = runs[k];
    std::string where = "pattern " + JsonString(r.c.Ours) + " /" + r.c.Mods + " text " +
                        JsonString(r.text) + " python " + JsonString(r.c.Python);
    TRegExpr re;
    ApplyModifiers(re, r.c.Mods);
    re.SetExpression(r.c.Ours);
    const std::string& want = answers[k];
    bool found = false;
    try {
      found = re.Exec(r.text);
    } catch (const ERegExpr& e) {
      // Our budget may stop what made Python's own backtracking run away.
      bool expected = e.ErrorCode == 106 || (e.ErrorCode == kRegExprStepLimitError && want == "T");
      if (!expected) faults.push_back(where + ": error " + e.what());
      ++skipped;
      continue;
    }
    if (want == "T") {
      ++skipped;
      continue;
    }
    if (want == "E") {
      faults.push_back(where + ": Python rejects it");
      continue;
    }
    ++compared;
    std::string got = "N";
    if (found) {
      std::istringstream spans(want);
      int groups = -1;
      for (int a, b; spans >> a >> b;) ++groups;
      got.clear();
      for (int g = 0; g <= groups; ++g) {
        int s = re.SubMatchStart(g);
        int e = s < 0 ? -1 : s - 1 + re.SubMatchLength(g);
        if (!got.empty()) got += ' ';
        got += std::to_string(s < 0 ? -1 : s - 1) + " " + std::to_string(e);
      }
    }
    if (got != want) faults.push_back(where + ": ours " + got + ", Python " + want);
  }
  std::string report;
  for (std::size_t i = 0; i < faults.size() && i < 25; ++i) report += faults[i] + "\n";
  EXPECT_TRUE(faults.empty()) << faults.size() << " disagreements:\n" << report;
  // Skipping is for the one construct Python accepts and we reject, and for
  // Python's runaways; it must not hollow out the comparison.
  EXPECT_GT(compared, 3 * skipped);
}

}  // namespace
}  // namespace halvorn
