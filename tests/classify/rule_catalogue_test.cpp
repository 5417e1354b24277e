// The rule catalogue: its matching and measuring operations, and its table
// of names, points and descriptions checked against the list of points as
// published with the catalogue (tests/data/rule_scores.txt) and against the
// header names the program tests.
#include "classify/rule_catalogue.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "classify/rule_program.h"
#include "foundation/text/text_helpers.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

TEST(RuleCatalogue, MatchingAndMeasuring) {
  TPcreRegExpr matcher;
  auto full = [&](const char* rule, const char* subject) {
    return std::function<long()>([&matcher, rule, subject] {
      return PerformSATest(rule, subject, matcher) ? 1L : 0L;
    });
  };
  auto plain = [](const char* rule, const char* subject) {
    return std::function<long()>([rule, subject] { return PerformSATestFF(rule, subject) ? 1L : 0L; });
  };
  auto upper = [](const char* text) {
    return std::function<long()>([text] { return static_cast<long>(PercentUppercase(text)); });
  };
  auto yelling = [](std::string text) {
    return std::function<long()>([text] { return static_cast<long>(CountLinesOfYelling(text)); });
  };
  struct Row {
    const char* what;
    std::function<long()> value;
    long expected;
  };
  const Row rows[] = {
      // "!~" negates only at the very start; a pattern that does not
      // compile is false whatever the operator.
      {"no at sign", full("!~ /\\@/", "abc"), 1},
      {"an at sign", full("!~ /\\@/", "a@b"), 0},
      {"negation only at the start", full("x !~ /\\@/", "abc"), 0},
      {"bad pattern =~", full("=~ /a(b/", "a(b"), 0},
      {"bad pattern !~", full("!~ /a(b/", "xyz"), 0},
      {"bad pattern bare", full("/a(b/", "a(b"), 0},
      {"one slash", full("=~ /abc", "abc"), 0},
      // Capitals exactly without "i", "." across line breaks with "s".
      {"capitals", full("=~ /\\n(TO|FROM|SUBJECT|DATE):/s", "x\r\nTO: me"), 1},
      {"capitals only", full("=~ /\\n(TO|FROM|SUBJECT|DATE):/s", "x\r\nTo: me"), 0},
      {"dot crosses lines with s", full("/a.b/s", "a\nb"), 1},
      {"dot stops at lines without s", full("/a.b/", "a\nb"), 0},
      {"caseless with I", full("/abc/I", "ABC"), 1},
      {"x does nothing", full("/a b/x", "ab"), 0},
      {"inner slashes belong to the pattern", full("/a/b/", "a/b"), 1},
      {"m lets ^ follow a line break", full("/^b/m", "a\nb"), 1},
      {"without m ^ is the start", full("/^b/", "a\nb"), 0},
      // Plain patterns: literal, boundaries of ASCII word characters.
      {"opt-in between blanks", plain("/\\bopt-in\\b/i", "Please OPT-IN now"), 1},
      {"opt-in alone", plain("/\\bopt-in\\b/i", "opt-in"), 1},
      {"letter before", plain("/\\bopt-in\\b/i", "xopt-in"), 0},
      {"letter after", plain("/\\bopt-in\\b/i", "opt-inx"), 0},
      {"second place has the boundaries", plain("/\\bopt-in\\b/i", "xopt-in opt-in."), 1},
      {"8-bit letters are no word characters", plain("/\\bfree\\b/", "\xe9" "free\xe9"), 1},
      {"full stop literal", plain("/If you did not opt.in/i", "If you did not opt-in"), 0},
      {"full stop found", plain("/If you did not opt.in/i", "if you did not opt.in"), 1},
      {"brackets literal", plain("/{%.{1,40}%}/", "{%.{1,40}%}"), 1},
      {"capitals without i", plain("/GUARANTEE/", "guarantee"), 0},
      {"code page 1252 case", plain("/\xc9t\xc9/i", "\xe9t\xe9"), 1},
      {"!~ anywhere without =~", plain("x !~ /abc/", "xyz"), 1},
      {"=~ and !~ together", plain("=~ !~ /abc/", "xyz"), 0},
      {"empty needle under !~", plain("!~ //", "abc"), 1},
      // Ratio of capitals to small letters plus one.
      {"ABC", upper("ABC"), 300},
      {"Ab", upper("Ab"), 50},
      {"HELLO world", upper("HELLO world"), 83},
      {"empty", upper(""), 0},
      {"8-bit letters count for neither", upper("\xc9\xc9\xc9" "A"), 100},
      // Lines of capitals with something that is neither letter nor blank.
      {"punctuated line", yelling("BUY NOW, THIS OFFER ENDS TODAY!!!"), 1},
      {"only capitals and blanks", yelling("BUY NOW THIS OFFER ENDS TODAY FRIEND"), 0},
      {"indented, begins with !", yelling("   !!! FREE MONEY FOR EVERYONE NOW !!!"), 1},
      {"indented, no ! or $", yelling("   FREE MONEY FOR EVERYONE NOW 100%"), 0},
      {"indented, $ second", yelling("\tX$ FREE MONEY FOR EVERYONE NOW 100%"), 1},
      {"19 capitals", yelling("ABCDEFGHIJKLMNOPQRS!"), 0},
      {"20 capitals", yelling("ABCDEFGHIJKLMNOPQRST!"), 1},
      {"a small letter", yelling("ABCDEFGHIJKLMNOPQRSTu!"), 0},
      {"CR LF, LF and a lone CR",
       yelling("BUY NOW, THIS OFFER ENDS TODAY!!!\r\nBUY NOW, THIS OFFER ENDS TODAY!!!\n"
               "BUY NOW THIS OFFER\rENDS TODAY FRIEND"),
       3},
      {"short once trimmed", yelling("  \x01!ABC  "), 0},
      // The tables at and beyond their ends.
      {"score 621", [] { return static_cast<long>(GetSATestScore(621) * 1000); }, 1000},
      {"score 3", [] { return static_cast<long>(GetSATestScore(3) * 1000); }, -10000},
      {"score 632", [] { return static_cast<long>(GetSATestScore(632) * 1000); }, 1000},
      {"score 65535", [] { return static_cast<long>(GetSATestScore(65535) * 1000); }, 1000},
      {"description 700", [] { return static_cast<long>(GetSATestDescription(700).size()); }, 0},
      {"name 632", [] { return static_cast<long>(GetSATestName(632).size()); }, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(row.value(), row.expected);
  }
}

TEST(RuleCatalogue, NamesAreUniqueIdentifiers) {
  const std::regex identifier("[A-Z][A-Z0-9_]*");
  std::set<std::string> names;
  for (int rule = 0; rule < kRuleCount; ++rule) {
    const std::string name = GetSATestName(static_cast<std::uint16_t>(rule));
    SCOPED_TRACE(rule);
    EXPECT_TRUE(std::regex_match(name, identifier)) << name;
    EXPECT_TRUE(names.insert(name).second) << name;
  }
  EXPECT_EQ(GetSATestName(0), "SK_BAD_MS_HEADERS");
  EXPECT_EQ(GetSATestName(498), "SK_LARGE_MAIL");
  EXPECT_EQ(GetSATestName(631), "EXCUSE_ES_05");
}

TEST(RuleCatalogue, PointsAreThePublishedOnes) {
  std::istringstream line(test::ReadFileBytes(test::DataPath("rule_scores.txt")));
  std::map<int, double> published;
  std::string item;
  while (std::getline(line, item, ',')) {
    const std::size_t eq = item.find('=');
    ASSERT_NE(eq, std::string::npos) << item;
    published[std::stoi(item.substr(0, eq))] = std::stod(item.substr(eq + 1));
  }
  ASSERT_EQ(published.size(), 388u);
  int negative = 0, zero = 0;
  for (int rule = 0; rule < 700; ++rule) {
    SCOPED_TRACE(rule);
    const auto found = published.find(rule);
    const double expected = found == published.end() ? 1.0 : found->second;
    EXPECT_EQ(GetSATestScore(static_cast<std::uint16_t>(rule)), expected);
    if (found == published.end()) continue;
    EXPECT_LT(rule, kRuleCount);
    EXPECT_GE(expected, -10);
    EXPECT_LE(expected, 10);
    negative += expected < 0;
    zero += expected == 0;
  }
  EXPECT_EQ(negative, 48);
  EXPECT_EQ(zero, 2);
}

TEST(RuleCatalogue, Descriptions) {
  // The rows given with the catalogue, byte for byte.
  const std::map<int, std::string> given = {
      {0, "Doesn't look like MS headers should"},
      {1, "looks like MS headers should"},
      {2, "Message id or boundary contains bad values"},
      {3, "Message id or boundary contains good values"},
      {117, "message body is 25-50% uppercase"},
      {120, "A WHOLE LINE OF YELLING DETECTED"},
      {123, "Message text disguised using base-64 encoding"},
      {167, "Offers a tasty-sounding dietary product"},
      {190, "Message text is over 500 lines long"},
      {498, "Email is large.  Most spam are small"},
      {499, "Your address does not appear in any recipeint list."},
      {546, "exists:Bcc"},
      {567, "exists:In-Reply-To"},
      {584, "Has an Approved-By moderated list header"},
      {621, "Claims you can be removed in Spanish"},
  };
  for (const auto& [rule, text] : given) EXPECT_EQ(GetSATestDescription(rule), text) << rule;

  // The header each presence rule tests, as the program names it.
  std::map<int, std::string> tested;
  for (const TRulePlace& place : RuleProgramPlaces())
    if (place.Kind == TPlaceKind::Present) tested[place.Rule] = place.Source;

  // No domain, host, web or mail address.
  const std::regex address(
      R"((@|https?:|www\.|[A-Za-z0-9-]\.(com|net|org|info|biz|us|ws|cn|de|uk)\b))",
      std::regex::icase);
  for (int rule = 0; rule < kRuleCount; ++rule) {
    SCOPED_TRACE(rule);
    const std::string text = GetSATestDescription(static_cast<std::uint16_t>(rule));
    EXPECT_FALSE(text.empty());
    EXPECT_FALSE(std::regex_search(text, address)) << text;
    const bool presence = rule >= 546 && rule <= 574;
    EXPECT_EQ(text.rfind("exists:", 0) == 0, presence) << text;
    if (presence) {
      EXPECT_EQ(text, "exists:" + tested[rule]);
    }
  }
  EXPECT_EQ(tested.size(), 30u);  // 546 to 574 and Approved-By
}

}  // namespace
}  // namespace halvorn
