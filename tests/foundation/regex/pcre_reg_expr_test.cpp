#include "foundation/regex/pcre_reg_expr.h"

#include <gtest/gtest.h>
#include <locale.h>

#include <atomic>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace halvorn {
namespace {

template <typename F>
std::string ErrorOf(F&& f) {
  try {
    f();
  } catch (const ERegexException& e) {
    return e.what();
  }
  return "";
}

std::vector<std::string> Fields(const std::shared_ptr<IStringCollection>& c) {
  std::vector<std::string> out;
  for (int i = 0; i < c->Count(); ++i) out.push_back(c->Items(i));
  return out;
}

TEST(PcreRegExpr, BadPatternNamesPatternPositionAndReason) {
  EXPECT_EQ(ErrorOf([] { NewRegex("(a"); }),
            "Invalid Pattern '(a': error at position 2: missing closing parenthesis");
  EXPECT_EQ(ErrorOf([] { NewRegex("a{2,1}"); }),
            "Invalid Pattern 'a{2,1}': error at position 5: numbers out of order in {} quantifier");
  // Byte mode only: a pattern cannot switch UTF on for itself.
  EXPECT_NE(ErrorOf([] { NewRegex("(*UTF)a"); }), "");
}

TEST(PcreRegExpr, UnknownEscapesAreLiteralUnlessExtraIsSet) {
  auto re = NewRegex("a\\qb");
  EXPECT_TRUE(re->IsMatch("xaqbx"));
  EXPECT_NE(ErrorOf([] { NewRegex("a\\qb", TRegexOptions::Extra); }), "");
  EXPECT_TRUE(
      HasOption(RegexInfo(NewRegex("a", TRegexOptions::Extra))->Options(), TRegexOptions::Extra));
}

TEST(PcreRegExpr, StartOffsets) {
  auto re = NewRegex("b");
  EXPECT_EQ(re->Match("abcb", 2)->Index(), 3);
  EXPECT_FALSE(re->Match("abc", 4)->Success());   // beyond the text
  EXPECT_FALSE(re->Match("abc", -1)->Success());  // negative
  EXPECT_FALSE(re->IsMatch("abc", 5));
  auto end = NewRegex("$")->Match("abc", 3);  // the length itself is allowed
  ASSERT_TRUE(end->Success());
  EXPECT_EQ(end->Index(), 3);
  EXPECT_EQ(end->Length(), 0);
}

TEST(PcreRegExpr, GroupsBoundsAndUnsetGroups) {
  auto re = NewRegex("(a)|(b)(c)?");
  auto m = re->Match("xxb yy");
  ASSERT_TRUE(m->Success());
  auto groups = m->Groups();
  ASSERT_EQ(groups->Count(), 4);  // capture count + 1, also for unset trailing groups
  struct Row {
    int index;
    bool success;
    int start, length;
    std::string value;
  } rows[] = {
      {0, true, 2, 1, "b"},  {1, false, -1, 0, ""},  {2, true, 2, 1, "b"},
      {3, false, -1, 0, ""}, {-1, true, 0, 2, "xx"}, {-2, true, 3, 3, " yy"},
      {4, false, -1, 0, ""}, {-3, false, -1, 0, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.index);
    auto g = groups->Items(row.index);
    EXPECT_EQ(g->Success(), row.success);
    EXPECT_EQ(g->Index(), row.start);
    EXPECT_EQ(g->Length(), row.length);
    EXPECT_EQ(g->Value(), row.value);
  }
  auto failed = re->Match("zzz");
  EXPECT_FALSE(failed->Success());
  EXPECT_EQ(failed->Groups()->Count(), 0);
  EXPECT_EQ(failed->Index(), -1);
  EXPECT_EQ(failed->Value(), "");
  EXPECT_FALSE(failed->Groups()->Items(-1)->Success());
}

TEST(PcreRegExpr, GroupsOutliveTheirMatchRegexAndText) {
  std::shared_ptr<ICaptureGroup> group;
  {
    std::string text = "key=value";
    auto re = NewRegex("(\\w+)=(\\w+)");
    group = re->Match(text)->Groups()->Items(2);
    text.assign(text.size(), '#');
  }
  EXPECT_EQ(group->Value(), "value");
}

TEST(PcreRegExpr, WalkingEmptyMatches) {
  auto matches = NewRegex("x*")->Matches("abc");
  ASSERT_EQ(matches->Count(), 4);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(matches->Items(i)->Index(), i);
    EXPECT_EQ(matches->Items(i)->Length(), 0);
  }
  EXPECT_THROW(matches->Items(4), std::out_of_range);
  // An empty match at the end of a non-empty one is reported, once.
  EXPECT_EQ(NewRegex("a*")->Replace("baaac", "X"), "XbXXcX");
  EXPECT_EQ(NewRegex("$")->Replace("abc", "!"), "abc!");
  EXPECT_EQ(NewRegex("^")->Replace("abc", "!"), "!abc");
  EXPECT_EQ(NewRegex("")->Replace("ab", "-"), "-a-b-");
}

TEST(PcreRegExpr, SplitTable) {
  struct Row {
    const char* pattern;
    const char* text;
    bool includeMatches;
    std::vector<std::string> expected;
  } rows[] = {
      {"(,)", "a,b", false, {"a", ",", "b"}},
      {",", "a,b", true, {"a", ",", "b"}},
      {"(,)", "a,b", true, {"a", ",", ",", "b"}},
      {",", ",a,,b,", false, {"", "a", "", "b", ""}},
      {",", "abc", false, {"abc"}},
      {"(,)|(;)", "a;b", false, {"a", "", ";", "b"}},  // a group that took no part gives ""
      // Empty matches: the leading and trailing empty pieces stay.
      {"x*", "ab", false, {"", "a", "b", ""}},
      {"", "", false, {"", ""}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.pattern) + " / " + row.text);
    EXPECT_EQ(Fields(NewRegex(row.pattern)->Split(row.text, row.includeMatches)), row.expected);
  }
}

TEST(PcreRegExpr, SubstitutionVariables) {
  struct Row {
    const char* pattern;
    const char* text;
    const char* replacement;
    const char* expected;
  } rows[] = {
      {"(\\w+) (\\w+)", "hello world", "$2, $1", "world, hello"},
      {"(\\w+) (\\w+)", "hello world", "$$", "$"},
      {"b", "abc", "[$`|$&|$']", "a[a|b|c]c"},
      {"b", "abc", "<$_>", "a<abc>c"},
      {"(a)|(b)", "b", "<$+>", "<b>"},
      {"(a)|(b)", "a", "<$+>", "<>"},  // the pattern's last group, not the last set one
      {"b", "abc", "<$+>", "a<b>c"},   // no groups: the whole match
      {"(b)", "abc", "$01$0", "abbc"},
      {"b", "abc", "$x$", "a$x$c"},  // not a variable: stays as written
      {"b", "abc", "$", "a$c"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.pattern) + " / " + row.replacement);
    EXPECT_EQ(NewRegex(row.pattern)->Replace(row.text, row.replacement), row.expected);
  }
  auto re = NewRegex("(\\w+) (\\w+)");
  try {
    re->Replace("hello world", "$3");
    ADD_FAILURE() << "no error";
  } catch (const ERegexInvalidSubstitutionGroup& e) {
    EXPECT_STREQ(e.what(), "Invalid substitution variable $3");
  }
  EXPECT_EQ(ErrorOf([&] { re->Replace("a b", "$99999999999999"); }),
            "Invalid substitution variable $2147483647");
  // Nothing matched: the replacement is never examined.
  EXPECT_EQ(re->Replace("x", "$9"), "x");
}

TEST(PcreRegExpr, EvaluatorsAndCallbacks) {
  auto re = NewRegex("\\d+");
  EXPECT_EQ(re->Replace("a1b22c",
                        [](const std::shared_ptr<IMatch>& m) {
                          return "<" + std::to_string(m->Length()) + ">";
                        }),
            "a<1>b<2>c");
  EXPECT_EQ(re->Replace("a1", TMatchEvaluator()), "a1");
  std::vector<int> starts;
  re->ForEach("1 22 333", [&](const std::shared_ptr<IMatch>& m) { starts.push_back(m->Index()); });
  EXPECT_EQ(starts, (std::vector<int>{0, 2, 5}));
  re->ForEach("1", TMatchCallback());  // no callback: nothing happens
}

TEST(PcreRegExpr, MatchOptions) {
  EXPECT_FALSE(NewRegex("^a")->IsMatch("a", TRegexMatchOptions::NotBol));
  EXPECT_FALSE(NewRegex("a$")->IsMatch("a", TRegexMatchOptions::NotEol));
  EXPECT_EQ(NewRegex("a*")->Match("baa", TRegexMatchOptions::NotEmpty)->Index(), 1);
  EXPECT_FALSE(NewRegex("a")->IsMatch("ba", TRegexMatchOptions::Anchored));
  EXPECT_TRUE(NewRegex("a")->IsMatch("ba", 1, TRegexMatchOptions::Anchored));
}

TEST(PcreRegExpr, PatternInformation) {
  struct Row {
    const char* pattern;
    TRegexOptions options;
    int captures, backRefMax, firstChar, lastLiteral;
    bool anchored, firstTable;
  } rows[] = {
      {"abc", TRegexOptions::None, 0, 0, 'a', 'c', false, false},
      {"(a)(b)\\2", TRegexOptions::None, 2, 2, 'a', 'b', false, false},
      {"^abc", TRegexOptions::None, 0, 0, 'a', -1, true, false},
      {"^x", TRegexOptions::MultiLine, 0, 0, -1, 'x', false, false},
      {"a|b", TRegexOptions::None, 0, 0, -2, -1, false, true},
      {"[xy]z", TRegexOptions::None, 0, 0, -2, 'z', false, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.pattern);
    auto info = RegexInfo(NewRegex(row.pattern, row.options));
    EXPECT_EQ(info->CaptureCount(), row.captures);
    EXPECT_EQ(info->BackRefMax(), row.backRefMax);
    EXPECT_EQ(info->FirstChar(), row.firstChar);
    EXPECT_EQ(info->LastLiteral(), row.lastLiteral);
    EXPECT_EQ(HasOption(info->Options(), TRegexOptions::Anchored), row.anchored);
    EXPECT_EQ(info->FirstTable() != nullptr, row.firstTable);
    EXPECT_GT(info->Size(), 0u);
    EXPECT_EQ(info->Pattern(), row.pattern);
    EXPECT_EQ(info->LocaleName(), "C");
  }
  // Options changed at the pattern's start and the given ones are reported.
  auto options =
      RegexInfo(NewRegex("a", TRegexOptions::Caseless | TRegexOptions::DotAll))->Options();
  EXPECT_TRUE(HasOption(options, TRegexOptions::Caseless));
  EXPECT_TRUE(HasOption(options, TRegexOptions::DotAll));
  EXPECT_FALSE(HasOption(options, TRegexOptions::MultiLine));
}

TEST(PcreRegExpr, ErrorCodesByMeaning) {
  struct Row {
    int code;
    const char* text;
  } rows[] = {
      {-1, "PCRE_ERROR_NOMATCH"},
      {-51, "PCRE_ERROR_NULL"},
      {-34, "PCRE_ERROR_BADOPTION"},
      {-31, "PCRE_ERROR_BADMAGIC"},
      {-44, "PCRE_ERROR_UNKNOWN_NODE"},
      {-48, "PCRE_ERROR_NOMEMORY"},
      {-63, "PCRE_ERROR_NOMEMORY"},
      {-49, "PCRE_ERROR_NOSUBSTRING"},
      {-47, "Unknown PCRE error code -8"},
      {-53, "Unknown PCRE error code -21"},
      {-46, "Unknown PCRE error code -27"},
      {-33, "Unknown PCRE error code -24"},
      {-999, "Unknown PCRE error code -999"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.code);
    try {
      CheckPcreResult(row.code);
      ADD_FAILURE() << "no error";
    } catch (const ERegexException& e) {
      EXPECT_STREQ(e.what(), row.text);
      EXPECT_EQ(e.Code(), row.code);
    }
  }
  CheckPcreResult(0);
  CheckPcreResult(3);
}

TEST(PcreRegExpr, LocalesAreBuiltWithoutTouchingTheProcessLocale) {
  std::string before = setlocale(LC_ALL, nullptr);
  auto re = NewRegex("\\w+", TRegexOptions::Caseless, "C.UTF-8", 2);
  EXPECT_EQ(RegexInfo(re)->LocaleName(), "C.UTF-8");
  EXPECT_EQ(re->Match("..Ab_9..")->Value(), "Ab_9");
  EXPECT_EQ(RegexInfo(NewRegex("a", TRegexOptions::None, "POSIX", 0))->LocaleName(), "C");
  EXPECT_EQ(std::string(setlocale(LC_ALL, nullptr)), before);

  struct Row {
    const char* name;
    int category;
    const char* error;
  } rows[] = {
      {"xx_YY", 2, "Invalid locale string xx_YY or invalid locale category 2"},
      {"C", 6, "Invalid locale string C or invalid locale category 6"},
      {"C", -1, "Invalid locale string C or invalid locale category -1"},
      {"de_DE.ISO-8859-1", 0,
       "Invalid locale string de_DE.ISO-8859-1 or invalid locale category 0"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    try {
      NewRegex("a", TRegexOptions::None, row.name, row.category);
      ADD_FAILURE() << "no error";
    } catch (const EBadRegexLocale& e) {
      EXPECT_STREQ(e.what(), row.error);
    }
  }
}

TEST(PcreRegExpr, RunawayBacktrackingEndsInAnErrorOrNoMatch) {
  std::string text(100000, 'a');
  text += 'b';
  for (auto options : {TRegexMatchOptions::None, TRegexMatchOptions::Anchored}) {
    // The anchored match option runs the interpreter instead of JIT code.
    SCOPED_TRACE(static_cast<int>(options));
    auto re = NewRegex("^(a|aa)*$");
    try {
      EXPECT_FALSE(re->IsMatch(text, options));
    } catch (const ERegexException& e) {
      EXPECT_TRUE(e.Code() == -47 || e.Code() == -53 || e.Code() == -46 || e.Code() == -63)
          << e.what();
    }
  }
  // Classic exponential backtracking.
  auto nested = NewRegex("(a+)+$");
  try {
    EXPECT_FALSE(nested->IsMatch(std::string(40, 'a') + "!"));
  } catch (const ERegexException& e) {
    EXPECT_EQ(e.Code(), -47) << e.what();
  }
}

TEST(PcreRegExpr, LargeBodiesMatchWithoutHittingLimits) {
  // A few megabytes of words: repeated groups need far more than PCRE2's
  // default 32 KiB JIT stack, and a full scan far more than a fixed limit.
  std::string body;
  while (body.size() < 4'000'000) body += "lorem ipsum dolor sit amet consectetur\n";
  auto m = NewRegex("(\\w+\\s)*")->Match(body);
  ASSERT_TRUE(m->Success());
  EXPECT_EQ(m->Length(), static_cast<int>(body.size()));
  EXPECT_FALSE(NewRegex("\\b(\\w+)\\s+\\1\\b")->IsMatch(body));
  EXPECT_FALSE(NewRegex("viagra|cialis", TRegexOptions::Caseless)->IsMatch(body));
  EXPECT_EQ(NewRegex("amet")->Matches(body)->Count(), static_cast<int>(body.size() / 39));
}

TEST(PcreRegExpr, OneRegexManyThreads) {
  auto re = NewRegex("(\\d+)-(\\d+)");
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        std::string text = "x" + std::to_string(t) + "-" + std::to_string(i) + "y";
        auto m = re->Match(text);
        if (!m->Success() || m->Groups()->Items(2)->Value() != std::to_string(i)) ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST(PcreRegExpr, TPcreRegExprModifiersAndLazyCompile) {
  TPcreRegExpr re;
  re.SetExpression("a.+b");
  EXPECT_TRUE(re.Exec("xa1b2b"));
  EXPECT_EQ(re.LastMatch()->Value(), "a1b2b");
  re.SetModifier(4, false);  // not greedy
  EXPECT_TRUE(re.Exec("xa1b2b"));
  EXPECT_EQ(re.LastMatch()->Value(), "a1b");
  EXPECT_EQ(*re.LastSubject(), "xa1b2b");
  re.SetModifier(4, true);
  re.SetModifier(2, true);  // no option of its own
  EXPECT_EQ(re.Options(), TRegexOptions::None);
  EXPECT_EQ(re.LastMatch()->Value(), "a1b");  // kept until the next Exec

  re.SetExpression("^abc$");
  EXPECT_EQ(re.LastMatch(), nullptr);
  EXPECT_FALSE(re.Exec("x\nABC\ny"));
  re.SetModifier(1, true);
  re.SetModifier(5, true);
  EXPECT_TRUE(re.Exec("x\nABC\ny"));
  re.SetModifier(1, false);
  EXPECT_FALSE(re.Exec("x\nABC\ny"));

  re.SetExpression("a.b");
  EXPECT_FALSE(re.Exec("a\nb"));
  re.SetModifier(3, true);
  EXPECT_TRUE(re.Exec("a\nb"));

  re.SetExpression("(");
  EXPECT_EQ(ErrorOf([&] { re.Exec("x"); }),
            "Invalid Pattern '(': error at position 1: missing closing parenthesis");
  EXPECT_EQ(*re.LastSubject(), "x");
}

// ---------------------------------------------------------------------------
// Perl as the reference for match, captures, walking, split and substitution.
//
// Perl differs by design in three places, which the rows mark:
//  - walk: after an empty match Perl tries the same position again for a
//    non-empty match; we move on by one character ("(?=a)|a" over "aa").
//  - split: Perl never takes an empty match at the very start or at the end
//    of the previous match, and never at the end of the text; it drops
//    trailing empty fields unless the limit is -1 (the script passes -1).
//    We keep every piece between the matches of the walk.
//  - $+ is the last group that took part in Perl; here it is the pattern's
//    last group. The Perl replacements use only $n, $&, $` and $'.

struct PerlRow {
  std::string pattern;
  std::string flags;  // Perl modifiers among i, m, s, x
  std::string subject;
  std::string replacement;
  bool compareWalk = true;
  bool compareSplit = true;
};

TRegexOptions OptionsOf(const std::string& flags) {
  TRegexOptions options = TRegexOptions::None;
  for (char f : flags) {
    if (f == 'i') options = options | TRegexOptions::Caseless;
    if (f == 'm') options = options | TRegexOptions::MultiLine;
    if (f == 's') options = options | TRegexOptions::DotAll;
    if (f == 'x') options = options | TRegexOptions::Extended;
  }
  return options;
}

// The replacement as Perl code for s///ee.
std::string PerlReplacementCode(const std::string& replacement) {
  std::string code = "''";
  std::size_t i = 0;
  auto literal = [&](char c) {
    if (c == '\'' || c == '\\') return std::string("'\\") + c + "'";
    return std::string("'") + c + "'";
  };
  while (i < replacement.size()) {
    char c = replacement[i];
    if (c == '$' && i + 1 < replacement.size()) {
      char v = replacement[i + 1];
      if (v >= '0' && v <= '9') {
        std::size_t j = i + 1;
        while (j < replacement.size() && replacement[j] >= '0' && replacement[j] <= '9') ++j;
        code += ".(${" + std::to_string(std::stoi(replacement.substr(i + 1, j - i - 1))) + "}//'')";
        i = j;
        continue;
      }
      if (v == '&' || v == '`' || v == '\'') {
        code += std::string(".$") + v;
        i += 2;
        continue;
      }
      if (v == '$') {
        code += ".'$'";
        i += 2;
        continue;
      }
    }
    code += "." + literal(c);
    ++i;
  }
  return code;
}

const std::string kMail =
    "Received: from mx.example.com (mx.example.com [192.168.10.20])\r\n"
    "From: \"Fred Smith\" <fred.smith@example.com>\r\n"
    "Subject: =?iso-8859-1?Q?Caf=E9?= FREE money now!!!\r\n"
    "\r\n"
    "Click <a href=\"http://spam.example.net/x?id=42\">here</a> to WIN a prize.\n"
    "Price: $100, 50% off. the the end\n";

std::vector<PerlRow> PerlRows() {
  return {
      {"^Subject:\\s*(.*)$", "m", kMail, "[$1]"},
      {"^(\\w+):", "m", kMail, "<$1>"},
      {"\\b(free|win)\\b\\s+(\\w+)", "i", kMail, "$2-$1"},
      {"(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})", "", kMail, "$4.$3.$2.$1"},
      {"<a\\s+href=\"([^\"]*)\"", "i", kMail, "<a href=\"$1#\""},
      {"([a-z0-9._%+-]+)@([a-z0-9.-]+\\.[a-z]{2,})", "i", kMail, "$2 at $1"},
      {"=\\?([^?]+)\\?([BQ])\\?([^?]*)\\?=", "i", kMail, "{$1|$2|$3}"},
      {"^From:.*<(.+)>", "m", kMail, "$&/$1"},
      {"\\b(\\w+)\\s+\\1\\b", "", kMail, "$1"},
      {"(?<=\\$)\\d+", "", kMail, "#"},
      {"\\d+(?=%)", "", kMail, "N"},
      {"!{2,}", "", kMail, "!"},
      {"\\r\\n|\\n", "", kMail, "|"},
      {"[^\\x00-\\x7f]+", "", "caf\xe9 na\xefve \xff", "?"},
      {"\\s+$", "m", "a  \nb\t\nc", ""},
      {"^\\s+", "m", "  a\n\tb\nc", ""},
      {"a|ab", "", "xabyab", "[$&]"},
      {"(a)|(b)", "", "abcab", "<$1,$2>"},
      {"(a)?(b)", "", "b ab", "<$1|$2>"},
      {"x*", "", "abxxc", "-", true, false},
      {"\\d+", "", "a1b22c333", "($&)"},
      {"[[:alpha:]]+", "", "ab12cd", "<$&>"},
      {"(?i)hello", "", "Hello HELLO hello", "hi"},
      {"colou?r", "", "color colour colouur", "C"},
      {"(?!foo)\\w{3}", "", "foobarfoo bazqux", "[$&]"},
      {"a{2,3}", "", "a aa aaa aaaa aaaaa", "<$&>"},
      {"(ab)+", "", "ababab abab x", "<$1>"},
      {"(a|b)*c", "", "abacbbc c", "<$1>"},
      {"^$", "m", "a\n\nb\n", "E"},
      {".", "", "a\nb", "."},
      {".", "s", "a\nb", "."},
      {"\\x41\\x42", "", "xABy", "!"},
      {"\\bthe\\b", "i", "The other theme, the end", "*"},
      {"(\\S+)=(\\S+)", "", "a=1 bb=22 c=", "$2=$1"},
      {"(?<name>\\w+)@", "", "joe@x ann@y", "$1 at "},
      {"(a+)+b", "", "aaab aab", "$1"},
      {"\\\\", "", "a\\b\\\\c", "/"},
      {"[\\]]", "", "a]b]", ")"},
      {"a\\.b", "", "a.b axb", "Q"},
      {"^(?:(\\d+)|(\\w+))$", "", "abc", "$1/$2"},
      {"(\\w)(\\w)?", "", "abc", "[$2$1]"},
      {"(\\w)(?:(x)|(y))?", "", "axbyc", "<$1$2$3>"},
      {"$", "", "abc\n", "!"},
      {"abc$", "", "abc\n", "!"},
      {"^", "m", "a\nb\n", ">", true, false},
      {"\\b", "", "ab cd", "|", true, false},
      {"\\B", "", "ab cd", "|"},
      {"a.c", "", "abc a\nc aXc", "$`"},
      {"b", "", "abcb", "[$'|$`]"},
      {"[aeiou]{2}", "i", "bEAutiful queue", "__"},
      {"(\\d)(\\d)(\\d)(\\d)(\\d)(\\d)(\\d)(\\d)(\\d)(\\d)(\\d)", "", "x12345678901y", "$11$10$1"},
      {"a\\qb", "", "aqb", "ok"},  // unknown escape taken literally by both
      {" a b # comment\n c", "x", "abc", "X"},
      {"(?:x|)+y", "", "xxy y", "<$&>"},
      {"\\d*", "", "12ab3", "#", true, false},
      {"(?=a)|a", "", "aa", "<$&>", false, false},
  };
}

TEST(PcreRegExpr, AgreesWithPerl) {
  std::vector<PerlRow> rows = PerlRows();
  std::string input;
  for (const auto& row : rows)
    input += test::HexOf(row.pattern) + "\t" + test::HexOf(row.flags) + "\t" +
             test::HexOf(row.subject) + "\t" + test::HexOf(PerlReplacementCode(row.replacement)) +
             "\n";
  test::TempFolder dir;
  std::string script = dir.Sub("oracle.pl");
  ASSERT_TRUE(test::WriteFileBytes(script, R"PERL(
use strict; no warnings;
binmode STDIN; binmode STDOUT;
sub unhex { my $h = shift; return pack('H*', $h); }
sub pairs { my @p; for my $i (0..$#+) { push @p, defined $-[$i] ? "$-[$i],$+[$i]" : "-1,-1"; } return join(' ', @p); }
while (my $line = <STDIN>) {
  chomp $line;
  my ($p, $f, $s, $r) = map { unhex($_) } split(/\t/, $line, -1);
  my $re = $f ne '' ? qr/(?$f)$p/ : qr/$p/;
  my $first = $s =~ $re ? pairs() : 'NOMATCH';
  my @all; while ($s =~ /$re/g) { push @all, "$-[0],$+[0]"; }
  my @fields = map { 'h' . unpack('H*', defined $_ ? $_ : '') } split($re, $s, -1);
  my $t = $s; $t =~ s/$re/$r/gee;
  print join("\t", $first, join(' ', @all), join(' ', @fields), 'h' . unpack('H*', $t)), "\n";
}
)PERL"));
  auto result = test::RunCommand({"perl", script}, input);
  ASSERT_EQ(result.ExitCode, 0);
  std::istringstream out(result.Output);
  for (const auto& row : rows) {
    SCOPED_TRACE("pattern " + row.pattern + " flags " + row.flags + " subject " +
                 test::HexOf(row.subject));
    std::string line;
    ASSERT_TRUE(std::getline(out, line));
    std::vector<std::string> perl;
    std::istringstream fields(line);
    for (std::string f; std::getline(fields, f, '\t');) perl.push_back(f);
    ASSERT_EQ(perl.size(), 4u) << line;

    auto re = NewRegex(row.pattern, OptionsOf(row.flags));
    auto m = re->Match(row.subject);
    std::string first = "NOMATCH";
    if (m->Success()) {
      first.clear();
      auto groups = m->Groups();
      for (int i = 0; i < groups->Count(); ++i) {
        auto g = groups->Items(i);
        if (i) first += ' ';
        first += std::to_string(g->Index()) + "," +
                 std::to_string(g->Success() ? g->Index() + g->Length() : -1);
      }
    }
    EXPECT_EQ(first, perl[0]);
    if (row.compareWalk) {
      std::string all;
      auto matches = re->Matches(row.subject);
      for (int i = 0; i < matches->Count(); ++i) {
        if (i) all += ' ';
        auto mi = matches->Items(i);
        all += std::to_string(mi->Index()) + "," + std::to_string(mi->Index() + mi->Length());
      }
      EXPECT_EQ(all, perl[1]);
      EXPECT_EQ("h" + test::HexOf(re->Replace(row.subject, row.replacement)), perl[3]);
    }
    if (row.compareSplit) {
      std::string split;
      auto pieces = re->Split(row.subject);
      for (int i = 0; i < pieces->Count(); ++i)
        split += (i ? " h" : "h") + test::HexOf(pieces->Items(i));
      EXPECT_EQ(split, perl[2]);
    }
  }
}

}  // namespace
}  // namespace halvorn
