// The rule program over fixture messages (tests/data/rule_program_fixtures.py)
// with a frozen clock: which rules fire, which are reported as no without
// their pattern and which stay unknown; the budgets with a stepping clock;
// the abort points; and that patterns are compiled once per process.
#include "classify/rule_program.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "foundation/regex/regex_cache.h"
#include "message/accounts.h"
#include "message/email_msg_fakes.h"
#include "rule_program_support.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::FrozenClock;
using test::Outcome;
using test::RecordingSink;
using test::RunFixture;
using Rules = test::Rules;

TEmailMsgRef Fixture(const std::string& name) { return test::RuleFixture(name); }
const std::map<std::string, std::string>& FixtureBytes() { return test::RuleFixtureBytes(); }

std::string Show(const Rules& rules) {
  std::string out;
  for (int rule : rules) out += std::to_string(rule) + " ";
  return out;
}

// The rules of the program's places (every rule the program may report).
Rules ProgramRules() {
  Rules rules;
  for (const TRulePlace& place : RuleProgramPlaces())
    if (place.Kind != TPlaceKind::Relays) rules.insert(place.Rule);
  return rules;
}

// Rules the given patterns and measures decide on the fixtures: every rule
// with a yes, rules reported as no without their pattern (or condition),
// and the rules of the program that stay unknown. Without header
// evaluations 583 is never decided; 567 and 568 only for "re"/"fw" subjects.
TEST(RuleProgram, FixtureOutcomes) {
  struct Row {
    const char* fixture;
    Rules fired;
    Rules forcedNo;  // reported, and as no
    Rules unknown;
  };
  const Rules usual = {567, 568, 583};
  const Row rows[] = {
      {"plain", {}, {499, 53, 445, 9, 10, 239, 546, 524}, usual},
      // Mailing-list headers mask the m rules: 53 asks to opt in, yet no.
      {"list", {}, {53, 445, 499}, usual},
      {"opt_in", {53}, {}, usual},
      // No From: 438 is not evaluated; an absent Date is an invalid one.
      {"bare", {431, 444, 450, 529, 530}, {}, {438, 567, 568, 583}},
      {"reply", {567, 568}, {}, {583}},
      {"forward", {}, {567, 568}, {583}},
      // The script rule opens 9; without it 9 and 10 are no.
      {"html_script", {8, 9, 11, 540}, {10, 239}, usual},
      {"html_plain", {500}, {8, 9, 10, 239}, usual},
      {"qp_long", {126}, {}, usual},
      {"base64_text", {123}, {}, usual},
      {"yelling", {119, 122, 439, 440}, {117, 118, 120, 121}, usual},
      {"header_marks", {471, 516, 518, 546}, {502}, usual},
      {"html_no_charset", {32, 125, 546}, {}, usual},
      // From the first web-mail service: 546, 125 and 32 are no.
      {"hotmail_relay", {}, {32, 125, 546}, usual},
      {"large", {498}, {}, usual},
  };
  const Rules program = ProgramRules();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.fixture);
    TEmailMsgRef msg = Fixture(row.fixture);
    const RecordingSink sink = RunFixture(*msg);
    EXPECT_EQ(Show(sink.Fired()), Show(row.fired));
    Rules unknown;
    for (int rule : program)
      if (!sink.Reported().count(rule)) unknown.insert(rule);
    EXPECT_EQ(Show(unknown), Show(row.unknown));
    for (int rule : row.forcedNo) {
      EXPECT_TRUE(sink.Reported().count(rule)) << rule;
      EXPECT_FALSE(sink.Fired().count(rule)) << rule;
    }
    for (int never : {432, 473, 491, 141, 522, 523}) EXPECT_FALSE(sink.Reported().count(never));
    EXPECT_TRUE(sink.Notes.empty());
  }
}

// The order of the areas and places: the opening rules, SA_tag from From
// on, the end of SA_tag and the start of SA_Header, the uppercase bands
// before the plain text's first place, and every place once, in turn.
TEST(RuleProgram, ReportsEveryPlaceInProgramOrder) {
  TEmailMsgRef msg = Fixture("plain");
  const RecordingSink sink = RunFixture(*msg);
  std::vector<int> rules;
  for (const Outcome& o : sink.Outcomes) rules.push_back(o.Rule);
  ASSERT_GT(rules.size(), 600u);
  EXPECT_EQ(std::vector<int>(rules.begin(), rules.begin() + 6),
            (std::vector<int>{498, 499, 529, 424, 425, 426}));
  const auto at = [&](int rule) { return std::find(rules.begin(), rules.end(), rule) - rules.begin(); };
  EXPECT_EQ(at(502), at(584) + 1);        // SA_Header follows SA_tag's last rule
  EXPECT_EQ(at(119) + 1, at(118));        // the bands, 119 first
  EXPECT_EQ(at(117) + 1, at(156));        // then the plain text's first place
  EXPECT_EQ(at(128) + 1, static_cast<std::ptrdiff_t>(rules.size()));  // SA_RawEval ends it
  std::vector<int> expected;
  for (const TRulePlace& place : RuleProgramPlaces())
    if (place.Kind != TPlaceKind::Relays && place.Rule != 567 && place.Rule != 568 &&
        place.Rule != 583)
      expected.push_back(place.Rule);
  EXPECT_EQ(rules, expected);
}

// Each reading of the stepping clock is 60 ms after the one before: the
// plain text's budget (200 ms from after its fetch) allows three budget
// tests, the decoded text's (100 ms from before its fetch) one; the areas
// after them run whole.
TEST(RuleProgram, BudgetsSkipTheRestOfTheirArea) {
  TEmailMsgRef msg = Fixture("plain");
  std::int64_t now = 0;
  TRuleProgramRun run;
  run.Clock = [&now] { return now += 60; };
  TRuleProgramStats stats;
  run.Stats = &stats;
  const RecordingSink sink = RunFixture(*msg, run);
  EXPECT_EQ(stats.BudgetHits, 2);
  const Rules reported = sink.Reported();
  for (int rule : {119, 118, 117, 156, 95, 41, 229, 36, 163, 159, 70, 164, 97, 53, 112})
    EXPECT_TRUE(reported.count(rule)) << rule;
  EXPECT_FALSE(reported.count(233));  // after the fourth budget test
  EXPECT_TRUE(reported.count(237));   // SA_PlainText2 has no budget
  for (int rule : {132, 131, 189}) EXPECT_TRUE(reported.count(rule)) << rule;
  EXPECT_FALSE(reported.count(241));  // after SA_RawText's second budget test
  EXPECT_TRUE(reported.count(500));
  EXPECT_TRUE(reported.count(128));

  // A frozen clock never runs out.
  TRuleProgramStats frozen;
  TRuleProgramRun still = FrozenClock();
  still.Stats = &frozen;
  RunFixture(*msg, still);
  EXPECT_EQ(frozen.BudgetHits, 0);
}

// The flag set while a rule is reported ends the program at the next abort
// point: the rule last reported is the one before that point.
TEST(RuleProgram, AbortPoints) {
  class AbortingSink : public RecordingSink {
   public:
    void HandleTestResult(bool outcome, std::uint16_t rule) override {
      RecordingSink::HandleTestResult(outcome, rule);
      if (rule == Trigger) Flag = true;
    }
    std::uint16_t Trigger = 0;
    std::atomic<bool> Flag{false};
  };
  struct Row {
    std::uint16_t trigger;
    std::uint16_t last;
  } rows[] = {
      {529, 528},  // SA_tag: a test before 431
      {452, 452},  // before 472
      {584, 584},  // between SA_tag and SA_Header
      {117, 117},  // the budget test before the plain text's first place
      {237, 237},  // before SA_RawText
      {500, 503},  // SA_RawHtml: before 617
      {128, 128},  // after the last area
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.trigger);
    TEmailMsgRef msg = Fixture("plain");
    AbortingSink sink;
    sink.Trigger = row.trigger;
    TRuleProgramRun run = FrozenClock();
    run.Abort = &sink.Flag;
    TPcreRegExpr matcher;
    EXPECT_EQ(RunRuleProgram(*msg, sink, matcher, run), TRuleProgramEnd::Aborted);
    ASSERT_FALSE(sink.Outcomes.empty());
    EXPECT_EQ(sink.Outcomes.back().Rule, row.last);
  }
}

// After one message every pattern is compiled: a hundred more compile
// nothing. With the caches off the outcomes stay the same.
TEST(RuleProgram, PatternsCompiledOncePerProcess) {
  std::vector<std::string> names;
  for (const auto& entry : FixtureBytes()) names.push_back(entry.first);
  std::map<std::string, std::vector<Outcome>> cached;
  for (const std::string& name : names) cached[name] = RunFixture(*Fixture(name)).Outcomes;
  const std::uint64_t compiles = RegexCacheStats().Compiles;
  for (int i = 0; i < 100; ++i) RunFixture(*Fixture(names[i % names.size()]));
  EXPECT_EQ(RegexCacheStats().Compiles, compiles);

  SetRegexCachesEnabled(false);
  for (const std::string& name : names) {
    EXPECT_TRUE(RunFixture(*Fixture(name)).Outcomes == cached[name]) << name;
  }
  SetRegexCachesEnabled(true);
}

// What depends on the account that fetched the message.
class RuleProgramAccounts : public test::MessageFolderTest {
 protected:
  RuleProgramAccounts() {
    StartAccountsModule();
    Local = GlobalLocalAccounts().Add();
    Local->SetUserId("user");
    Remote = Local->RemoteAccounts->Add();
  }
  ~RuleProgramAccounts() override { EndAccountsModule(); }

  RecordingSink Run(const std::string& fixture) {
    TEmailMsgRef msg = Fixture(fixture);
    msg->FSetSourceRemoteAccount(Remote);
    return RunFixture(*msg);
  }

  TLocalAccountRef Local;
  TRemoteAccountRef Remote;
};

TEST_F(RuleProgramAccounts, AddressNotInHeadersAndWebMailSource) {
  Remote->SetEmailAddress("nobody@home.example");
  RecordingSink sink = Run("plain");
  EXPECT_TRUE(sink.Fired().count(499));
  ASSERT_EQ(sink.Notes.size(), 1u);
  EXPECT_EQ(sink.Notes[0].first, 499);
  EXPECT_EQ(sink.Notes[0].second, "Address nobody@home.example not found in address fields");
  // Mailing-list headers make it no.
  EXPECT_FALSE(Run("list").Fired().count(499));
  Remote->SetEmailAddress("mia@example.com");
  EXPECT_FALSE(Run("plain").Fired().count(499));

  // Fetched through the web-mail service: as if relayed by it.
  Remote->SetHost("Hotmail", false);
  sink = Run("html_no_charset");
  EXPECT_EQ(Show(sink.Fired()), "");
  for (int rule : {32, 125, 546}) EXPECT_TRUE(sink.Reported().count(rule)) << rule;
}

}  // namespace
}  // namespace halvorn
