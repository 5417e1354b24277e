#include "classify/dictionary_attack_test.h"

#include <cmath>

#include "classify/test_numbers.h"
#include "foundation/files/quor_ini_file.h"
#include "foundation/text/list_helpers.h"
#include "foundation/text/numbers.h"
#include "message/email_msg.h"

namespace halvorn {

namespace {

std::vector<std::string> InputNames() {
  std::vector<std::string> names;
  for (int i = 0; i < TDictionaryAttackTest::kInputs; ++i)
    names.push_back("DicAttack" + std::to_string(i));
  return names;
}

}  // namespace

TDictionaryAttackTest::TDictionaryAttackTest()
    : TNNTest(kInputs, "DictionaryAttackTest NN", InputNames()) {
  Net().SetAutoInit(false);
  TTestStats stats;
  stats.Category(8).TruePositives = 1;
  TTest::SetStatsText(stats.SaveToText());
}

std::int32_t TDictionaryAttackTest::Threshold() const {
  TCriticalSectionGuard guard(TestLock());
  return FThreshold;
}

void TDictionaryAttackTest::SetThreshold(std::int32_t threshold) {
  TCriticalSectionGuard guard(TestLock());
  FThreshold = threshold;
}

double TDictionaryAttackTest::RecipientMatch() const {
  TCriticalSectionGuard guard(TestLock());
  return FRecipientMatch;
}

double TDictionaryAttackTest::AttackProbability(std::int32_t threshold) {
  static const double kPercent[] = {45.49, 45.49, 57.59, 69.51, 82,    90.28, 94,
                                    94.66, 97.43, 98.33, 98.75, 98.8,  98.9,  99,
                                    99.25, 99.5,  99.6,  99.8,  99.9,  100};
  if (threshold < 0) return kPercent[0];
  const std::int32_t step = threshold / 5;
  return step >= 19 ? kPercent[19] : kPercent[step];
}

void TDictionaryAttackTest::SaveToIni(TQuorIniFile& ini) {
  TNNTest::SaveToIni(ini);
  ini.WriteInteger(SectionName(), "Threshold", Threshold());
}

void TDictionaryAttackTest::LoadFromIni(TQuorIniFile& ini) {
  TNNTest::LoadFromIni(ini);
  SetThreshold(static_cast<std::int32_t>(ini.ReadInteger(SectionName(), "Threshold", Threshold())));
}

std::string TDictionaryAttackTest::Validate() {
  return Threshold() == 0 ? "there is no threshold probability specified." : std::string();
}

std::string TDictionaryAttackTest::Describe() {
  const std::string reason = Validate();
  if (!reason.empty()) return IncompleteTestText(reason);
  return "the average best match between recipients is greater than " +
         std::to_string(Threshold()) + ".";
}

bool TDictionaryAttackTest::Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) {
  bool answer = false;
  if (!BeginEvaluateUnvalidated(msg, abort, answer)) return answer;
  double match = 0;
  {
    TCriticalSectionGuard guard(msg.MessageLock());
    msg.GetHeader()->RecipientListScore(true, match);
  }
  const std::int32_t threshold = Threshold();
  {
    TCriticalSectionGuard guard(TestLock());
    FRecipientMatch = match;
  }
  TSimpleHtml lines;
  lines.AddLine("The average best match between recipients is " + ShortestFloatText(match) + " ", 8,
                kHtmlKindAll, true);
  lines.AddLine("Threshold is " + std::to_string(threshold), 9, kHtmlKindAll, true);
  const bool result = !(match < static_cast<double>(threshold));
  if (match > 30) RecordStandardTestAt(msg, TESTNUM_DICT_ATTACK, result);
  RecordStandardTest(msg, result);
  CacheResult(msg, result);
  PutHeadlineFirst(lines,
                   std::string(result ? "email passed" : "email failed") +
                       " Dictionary Attack Test: \"" + Name() + "\".",
                   9);
  PublishExplanation(std::move(lines));
  return result;
}

std::string TDictionaryAttackTest::GetResultCode(std::int32_t msgKey) {
  std::string code = TNNTest::GetResultCode(msgKey);
  if (code.empty()) return code;
  // The default rounding mode rounds halves to the even neighbour.
  const double rounded = std::nearbyint(RecipientMatch());
  CommaTextSetValue("VA", std::to_string(static_cast<long long>(rounded)), code);
  return code;
}

TVectorFloat TDictionaryAttackTest::BuildNNInputs(const std::string& resultCode) {
  TVectorFloat inputs(kInputs, 0.0);
  const std::int32_t value = StrToIntDef(CommaTextValue(resultCode, "VA"), 0);
  EncodeNumberToInputs(0, 0, 100, kInputs, static_cast<std::uint32_t>(value), inputs);
  return inputs;
}

bool TDictionaryAttackTest::ShowCategoryProbabilities(const std::string& resultCode,
                                                      TSimpleHtml& html) {
  TVectorFloat inputs = BuildNNInputs(resultCode);
  const double output = Net().EvaluateInputs(inputs, false);
  TStringList rows;
  rows.Add(NetworkReportRow("Similarity", inputs[0], Net().AverageInputWeight(0, 0)));
  AddNetworkReport(html, "<font face=\"Courier New\">", Net(), "TDictionaryAttackTest NN", output,
                   rows);
  return true;
}

void TDictionaryAttackTest::ResetStats() {
  TTest::ResetStats();
  Net().Init();
}

}  // namespace halvorn
