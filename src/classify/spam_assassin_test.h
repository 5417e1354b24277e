// TSpamAssassinTest ("Spam Assassin Test"): runs the rule catalogue
// (rule_catalogue.h) over a message in the rule program's order
// (rule_program.h, with the header evaluations of header_evaluations.h).
// Every rule that fires adds its points and two explanation lines; the total
// goes into the message's "X-Quor-Spam-Assassin-Points" header, and the test
// passes when the total reaches Threshold / 10 points (Threshold 0 never
// passes; a negative threshold passes totals at or above it). The rule
// outcomes travel in the result code ("VA", compressed trites); its network
// has one input per rule (1 when it fired) and the total, ramped over 0 to
// 40 points.
//
// Threads. The processing thread evaluates; the main thread meanwhile reads
// results, descriptions and settings. Threshold and RuleResults live under
// the test's lock; an evaluation builds its trites, total and explanation
// apart and publishes them with the cached answer in one step, so the key,
// the answer and the trites always describe one message.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "classify/nn_test.h"
#include "classify/rule_catalogue.h"
#include "foundation/text/trite_array.h"

namespace halvorn {

// The total of points in text form: the shortest form with at most 15
// significant digits, always with "." ("2.139", "-10", "2.5").
std::string SpamAssassinPointsText(double points);

class TSpamAssassinTest : public TNNTest {
 public:
  // Whether the total reaches the threshold (tenths of a point): never for
  // 0; the total is rounded to thousandths first (scores have three
  // decimals, so a 5.000 reached through binary sums still passes 5.0).
  static bool TotalReaches(double total, std::int32_t threshold);

  static constexpr const char* kClassName = "TSpamAssassinTest";
  static constexpr const char* kPointsHeader = "X-Quor-Spam-Assassin-Points";
  static constexpr int kInputs = kRuleCount + 1;  // the rules, then "Total points"

  TSpamAssassinTest();

  std::int32_t Threshold() const;
  void SetThreshold(std::int32_t threshold);
  // The outcome of each rule in the last evaluation (a copy).
  TTriteArray RuleResults() const;
  // Called for every rule outcome an evaluation records, on the evaluating
  // thread (nothing in the program sets it).
  void SetOnRuleResult(std::function<void(bool, std::uint16_t)> callback);
  // The budget clock of the rule program; empty for the steady clock
  // (tests freeze it). Set before evaluating.
  void SetProgramClock(std::function<std::int64_t()> clock);

  std::string ClassName() const override { return kClassName; }
  std::string GetTypeName() override { return "Spam Assassin Test"; }
  void SaveToIni(TQuorIniFile& ini) override;
  void LoadFromIni(TQuorIniFile& ini) override;
  std::string Validate() override { return {}; }
  std::string Describe() override;
  std::string GetNote() override { return {}; }
  bool Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) override;
  // Starts the block-list and mail-exchanger look-ups without waiting
  // (nothing while network tests are off).
  void Preprocess(TEmailMsg& msg) override;
  // The base code and, when rules were evaluated, "VA".
  std::string GetResultCode(std::int32_t msgKey) override;
  bool ShowCategoryProbabilities(const std::string& resultCode, TSimpleHtml& html) override;
  void ResetStats() override;
  void TransStats() override {}
  TVectorFloat BuildNNInputs(const std::string& resultCode) override;

 private:
  class TEvaluation;

  std::int32_t FThreshold = 50;  // under TestLock()
  TTriteArray FRuleResults;      // under TestLock()
  std::function<void(bool, std::uint16_t)> FOnRuleResult;  // set before use
  std::function<std::int64_t()> FClock;                    // set before use
};

}  // namespace halvorn
