#include "classify/spam_assassin_test.h"

#include <charconv>
#include <cmath>
#include <exception>

#include "classify/header_evaluations.h"
#include "classify/rule_program.h"
#include "foundation/files/quor_ini_file.h"
#include "foundation/regex/pcre_reg_expr.h"
#include "foundation/text/list_helpers.h"
#include "foundation/text/numbers.h"
#include "foundation/text/string_list.h"
#include "lists/network_tests.h"
#include "message/email_info.h"
#include "message/email_msg.h"

namespace halvorn {

namespace {

std::vector<std::string> InputNames() {
  std::vector<std::string> names;
  names.reserve(TSpamAssassinTest::kInputs);
  for (int i = 0; i < kRuleCount; ++i) names.push_back(GetSATestName(static_cast<std::uint16_t>(i)));
  names.emplace_back("Total points");
  return names;
}

}  // namespace

std::string SpamAssassinPointsText(double points) {
  char text[64];
  const auto written =
      std::to_chars(text, text + sizeof text, points, std::chars_format::general, 15);
  return std::string(text, written.ptr);
}

// One evaluation: the rule program's sink. It owns the matcher, the running
// total, the rule trites and the explanation lines until they are published.
class TSpamAssassinTest::TEvaluation : public IRuleResultSink {
 public:
  explicit TEvaluation(const std::function<void(bool, std::uint16_t)>& onRuleResult)
      : FOnRuleResult(onRuleResult) {
    Matcher.SetModifier(4, false);
    Matcher.SetModifier(2, false);
  }

  void HandleTestResult(bool outcome, std::uint16_t rule) override {
    if (TriteGet(Trites, rule) == kTriteYes) return;
    if (FOnRuleResult) FOnRuleResult(outcome, rule);
    TriteSetBool(Trites, rule, outcome, false);
    if (!outcome) return;
    const double points = GetSATestScore(rule);
    Lines.AddLine(SpamAssassinPointsText(points) + " points added for test " + GetSATestName(rule),
                  10, kHtmlKindAll, true);
    Lines.AddLine("(" + GetSATestDescription(rule) + ").", 10, kHtmlKindAll, false);
    Total += points;
  }
  void AddRuleNote(std::uint16_t /*rule*/, const std::string& line) override {
    Lines.AddLine(line, 10, kHtmlKindAll, true);
  }

  TPcreRegExpr Matcher;
  TTriteArray Trites;
  TSimpleHtml Lines;
  double Total = 0;

 private:
  const std::function<void(bool, std::uint16_t)>& FOnRuleResult;
};

TSpamAssassinTest::TSpamAssassinTest()
    : TNNTest(kInputs, "SpamAssassinTest NN", InputNames()) {
  Net().SetAutoInit(false);
  TTestStats stats;
  stats.Category(8).TruePositives = 1;
  TTest::SetStatsText(stats.SaveToText());
}

std::int32_t TSpamAssassinTest::Threshold() const {
  TCriticalSectionGuard guard(TestLock());
  return FThreshold;
}

void TSpamAssassinTest::SetThreshold(std::int32_t threshold) {
  TCriticalSectionGuard guard(TestLock());
  FThreshold = threshold;
}

TTriteArray TSpamAssassinTest::RuleResults() const {
  TCriticalSectionGuard guard(TestLock());
  return FRuleResults;
}

void TSpamAssassinTest::SetOnRuleResult(std::function<void(bool, std::uint16_t)> callback) {
  FOnRuleResult = std::move(callback);
}

void TSpamAssassinTest::SetProgramClock(std::function<std::int64_t()> clock) {
  FClock = std::move(clock);
}

bool TSpamAssassinTest::TotalReaches(double total, std::int32_t threshold) {
  const double rounded = std::round(total * 1000.0) / 1000.0;
  return threshold != 0 && rounded >= static_cast<double>(threshold) / 10.0;
}

void TSpamAssassinTest::SaveToIni(TQuorIniFile& ini) {
  TNNTest::SaveToIni(ini);
  ini.WriteInteger(SectionName(), "Threshold", Threshold());
}

void TSpamAssassinTest::LoadFromIni(TQuorIniFile& ini) {
  TNNTest::LoadFromIni(ini);
  SetThreshold(static_cast<std::int32_t>(ini.ReadInteger(SectionName(), "Threshold", Threshold())));
}

std::string TSpamAssassinTest::Describe() {
  const std::string reason = Validate();
  if (!reason.empty()) return IncompleteTestText(reason);
  return "the number of points the email accumulates is greater than " +
         SpamAssassinPointsText(static_cast<double>(Threshold()) / 10.0);
}

bool TSpamAssassinTest::Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) {
  bool answer = false;
  if (!BeginEvaluateUnvalidated(msg, abort, answer)) return answer;
  TEvaluation evaluation(FOnRuleResult);
  TRuleHeaderEvaluations headerEvaluations;
  TRuleProgramRun run;
  run.Abort = abort;
  run.Clock = FClock;
  run.HeaderEvaluations = &headerEvaluations;
  bool outcome = false;
  std::exception_ptr error;
  try {
    if (RunRuleProgram(msg, evaluation, evaluation.Matcher, run) == TRuleProgramEnd::Finished) {
      const std::string total = SpamAssassinPointsText(evaluation.Total);
      {
        TCriticalSectionGuard guard(msg.MessageLock());
        if (TEmailHeader* header = msg.GetHeader()) header->SetValue(kPointsHeader, total);
      }
      evaluation.Lines.AddLine("Total points = " + total, 9, kHtmlKindAll, true);
      outcome = TotalReaches(evaluation.Total, Threshold());
    }
  } catch (const EThreadAbandoned&) {
    throw;
  } catch (...) {
    error = std::current_exception();
    outcome = false;
  }
  // The rule outcomes and this test's answer go into the side record in one
  // step.
  const std::int32_t number = StandardTestNum();
  msg.WithInfo([&](TEmailInfo& info) {
    for (std::size_t i = 0; i < evaluation.Trites.size(); ++i)
      if (evaluation.Trites[i] != kTriteUnknown)
        info.SetStandardTest(static_cast<std::int32_t>(i), evaluation.Trites[i]);
    if (number >= 0 && number <= kTriteMaxIndex)
      info.SetStandardTest(number, TriteFromBool(outcome));
  });
  PutHeadlineFirst(evaluation.Lines,
                   std::string(outcome ? "email passed" : "email failed") +
                       " Spam Assassan Test: \"" + Name() + "\".",
                   9);
  {
    TCriticalSectionGuard guard(TestLock());
    FRuleResults = std::move(evaluation.Trites);
    CacheResult(msg, outcome);
    PublishExplanation(std::move(evaluation.Lines));
  }
  if (error) std::rethrow_exception(error);
  return outcome;
}

void TSpamAssassinTest::Preprocess(TEmailMsg& msg) {
  TNNTest::Preprocess(msg);
  if (!NetworkTestsOn()) return;
  TEmailHeader* header = nullptr;
  {
    TCriticalSectionGuard guard(msg.MessageLock());
    header = msg.GetHeader();
  }
  if (header == nullptr) return;
  PrefetchBlockListQueries(*header);
  FromDomainHasNoMX(*header, 0);
}

std::string TSpamAssassinTest::GetResultCode(std::int32_t msgKey) {
  TCriticalSectionGuard guard(TestLock());
  std::string code = TNNTest::GetResultCode(msgKey);
  if (code.empty() || FRuleResults.empty()) return code;
  CommaTextSetValue("VA", TriteArrayToCompressedText(FRuleResults), code);
  return code;
}

TVectorFloat TSpamAssassinTest::BuildNNInputs(const std::string& resultCode) {
  const TTriteArray outcomes = TriteArrayFromText(CommaTextValue(resultCode, "VA"));
  TVectorFloat inputs(kInputs, 0.0);
  double total = 0;
  for (int i = 0; i < kRuleCount; ++i) {
    if (TriteGet(outcomes, i) != kTriteYes) continue;
    inputs[static_cast<std::size_t>(i)] = 1.0;
    total += GetSATestScore(static_cast<std::uint16_t>(i));
  }
  inputs[kRuleCount] = RampScore(1, total, 0, 40);
  return inputs;
}

bool TSpamAssassinTest::ShowCategoryProbabilities(const std::string& resultCode,
                                                  TSimpleHtml& html) {
  TVectorFloat inputs = BuildNNInputs(resultCode);
  Net().EvaluateInputs(inputs, false);
  html.AddLine("<font face=\"Courier New\">", -1, kHtmlKindAll, true);
  html.AddLine("<pre>", -1, kHtmlKindAll, true);
  TStringList report;
  Net().WriteReport(0x33, 0, report);
  html.AddStrings(report);
  html.AddLine("</pre>", -1, kHtmlKindAll, false);
  html.AddLine("</font>", -1, kHtmlKindAll, true);
  return true;
}

void TSpamAssassinTest::ResetStats() {
  TTest::ResetStats();
  Net().Init();
}

}  // namespace halvorn
