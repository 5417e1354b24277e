// TDictionaryAttackTest ("Dictionary Attack"): a message sent to many
// made-up addresses at once. When a sender tries names out of a list, the
// local parts of one message's recipients resemble each other far more than
// the names of people who really share a message; the test measures that
// likeness (TEmailHeader::RecipientListScore, 0 to 100) and passes when it
// reaches the threshold. The measure travels in the result code ("VA", the
// rounded percentage), from which the seven inputs of its network are its
// binary digits.
//
// Threads: Threshold lives under the test's lock; Evaluate runs on the
// processing thread, the rest on any thread.
#pragma once

#include <cstdint>
#include <string>

#include "classify/nn_test.h"

namespace halvorn {

class TDictionaryAttackTest : public TNNTest {
 public:
  static constexpr const char* kClassName = "TDictionaryAttackTest";
  static constexpr int kInputs = 7;

  TDictionaryAttackTest();

  std::int32_t Threshold() const;
  void SetThreshold(std::int32_t threshold);
  // The likeness of the message judged last.
  double RecipientMatch() const;

  // The likelihood, in percent, that a message whose recipients are more
  // alike than the threshold is a dictionary attack (a fixed table in steps
  // of 5).
  static double AttackProbability(std::int32_t threshold);

  std::string ClassName() const override { return kClassName; }
  std::string GetTypeName() override { return "Dictionary Attack"; }
  // "Threshold" after the base keys.
  void SaveToIni(TQuorIniFile& ini) override;
  // "Threshold", with the current value as its default.
  void LoadFromIni(TQuorIniFile& ini) override;
  // "there is no threshold probability specified." for a threshold of 0.
  std::string Validate() override;
  std::string Describe() override;
  std::string GetNote() override { return {}; }
  // Judges without validating: a threshold of 0 passes every message.
  // Records standard test 741 when the likeness is above 30.
  bool Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) override;
  // The base code and, when it is not empty, "VA" = the likeness rounded to
  // the nearest integer (halves to even).
  std::string GetResultCode(std::int32_t msgKey) override;
  bool ShowCategoryProbabilities(const std::string& resultCode, TSimpleHtml& html) override;
  void ResetStats() override;
  // "VA" (0 when missing or no number) in binary over the seven inputs,
  // least significant first.
  TVectorFloat BuildNNInputs(const std::string& resultCode) override;

 private:
  std::int32_t FThreshold = 30;  // under TestLock()
  double FRecipientMatch = 0;    // under TestLock()
};

}  // namespace halvorn
