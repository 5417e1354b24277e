#include "classify/test_base.h"

#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

#include "foundation/files/quor_ini_file.h"
#include "foundation/log/log_sink.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/text/list_helpers.h"
#include "foundation/text/random_texts.h"
#include "foundation/text/string_list.h"
#include "foundation/threads/abandonment.h"
#include "message/email_msg.h"

namespace halvorn {

namespace {

constexpr std::size_t kSectionPrefixLength = 5;  // "Test-"

}  // namespace

bool ResultCodeVerdict(const std::string& resultCode, TTrite& verdict) {
  if (resultCode.empty()) return false;
  const std::string pa = CommaTextValue(resultCode, "Pa");
  if (pa.size() != 1) return false;
  verdict = CharToTrite(pa[0]);
  return true;
}

TTest::TTest() : FUniqueId(RandomPrintable(5)) {}

TTest::~TTest() = default;

// ---- Fields

std::string TTest::Name() const {
  TCriticalSectionGuard guard(FLock);
  return FName;
}

void TTest::SetName(const std::string& name) {
  TCriticalSectionGuard guard(FLock);
  FName = name;
}

bool TTest::HasName(std::string_view name) const {
  TCriticalSectionGuard guard(FLock);
  return SameText1252(FName, name);
}

std::string TTest::OldName() const {
  TCriticalSectionGuard guard(FLock);
  return FOldName;
}

void TTest::SetOldName(const std::string& name) {
  TCriticalSectionGuard guard(FLock);
  FOldName = name;
}

std::string TTest::UniqueId() const {
  TCriticalSectionGuard guard(FLock);
  return FUniqueId;
}

void TTest::SetUniqueId(const std::string& id) {
  TCriticalSectionGuard guard(FLock);
  FUniqueId = id;
}

std::string TTest::Owner() const {
  TCriticalSectionGuard guard(FLock);
  return FOwner;
}

void TTest::SetOwner(const std::string& owner) {
  TCriticalSectionGuard guard(FLock);
  FOwner = owner;
}

std::int32_t TTest::StandardTestNum() const {
  TCriticalSectionGuard guard(FLock);
  return FStandardTestNum;
}

void TTest::SetStandardTestNum(std::int32_t number) {
  TCriticalSectionGuard guard(FLock);
  FStandardTestNum = number;
}

std::int32_t TTest::LastMsgKey() const {
  TCriticalSectionGuard guard(FLock);
  return FLastMsgKey;
}

bool TTest::LastResult() const {
  TCriticalSectionGuard guard(FLock);
  return FLastResult;
}

TSimpleHtml TTest::Explanation() const {
  TCriticalSectionGuard guard(FLock);
  return FExplanation;
}

TTestStats TTest::Stats() const {
  TCriticalSectionGuard guard(FLock);
  return FStats;
}

std::string TTest::SectionName() const {
  return kTestSectionPrefix + Name();
}

void TTest::SetNameFromSection(const std::string& section) {
  SetName(section.size() > kSectionPrefixLength ? section.substr(kSectionPrefixLength) : "");
}

// ---- Settings

void TTest::SaveToIni(TQuorIniFile& ini) {
  std::string section;
  std::string uniqueId;
  std::int32_t standardTestNum;
  {
    TCriticalSectionGuard guard(FLock);
    section = kTestSectionPrefix + FName;
    uniqueId = FUniqueId;
    standardTestNum = FStandardTestNum;
  }
  const std::string stats = GetStatsText();
  ini.WriteString(section, "ClassName", ClassName());
  if (standardTestNum >= 0) ini.WriteInteger(section, "StandardTestNum", standardTestNum);
  ini.WriteString(section, "UniqueId", uniqueId);
  ini.WriteString(section, "TestStats", stats);
}

void TTest::LoadFromIni(TQuorIniFile& ini) {
  const std::string section = SectionName();
  const auto number = static_cast<std::int32_t>(ini.ReadInteger(section, "StandardTestNum", -1));
  const std::string uniqueId = ini.ReadString(section, "UniqueId", UniqueId());
  const std::string stats = ini.ReadString(section, "TestStats", "");
  {
    TCriticalSectionGuard guard(FLock);
    FStandardTestNum = number;
    FUniqueId = uniqueId;
  }
  SetStatsText(stats);
}

void TTest::PhraseListRenamed(const std::string&, const std::string&) {}

void TTest::TestRenamed(const std::string&, const std::string&) {}

void TTest::Preprocess(TEmailMsg&) {}

void TTest::Train() {}

void TTest::TransStats() {}

// ---- Evaluation protocol

bool TTest::BeginEvaluateUnvalidated(TEmailMsg& msg, const std::atomic<bool>* abort, bool& answer) {
  answer = false;
  if (Aborted(abort)) return false;
  const std::int32_t key = msg.GetContentId();
  TCriticalSectionGuard guard(FLock);
  if (FLastMsgKey == key) {
    answer = FLastResult;
    return false;
  }
  FExplanation.Clear();
  return true;
}

bool TTest::BeginEvaluate(TEmailMsg& msg, const std::atomic<bool>* abort, bool& answer,
                          std::string_view invalidEnding) {
  if (!BeginEvaluateUnvalidated(msg, abort, answer)) return false;
  const std::string reason = Validate();
  if (!reason.empty()) {
    AddExplanation("Test is invalid because " + reason + std::string(invalidEnding),
                   kInvalidTestLevel, true);
    return false;
  }
  return true;
}

void TTest::RecordStandardTest(TEmailMsg& msg, bool result) {
  RecordStandardTestAt(msg, StandardTestNum(), result);
}

void TTest::RecordStandardTestAt(TEmailMsg& msg, std::int32_t number, bool result) {
  if (number < 0 || number > kTriteMaxIndex) return;
  msg.WithInfo([&](TEmailInfo& info) { info.SetStandardTest(number, TriteFromBool(result)); });
}

void TTest::RecordStandardTestNoIfUnknown(TEmailMsg& msg, std::int32_t number) {
  if (number < 0 || number > kTriteMaxIndex) return;
  msg.WithInfo([&](TEmailInfo& info) { info.SetStandardTest(number, kTriteNo, true); });
}

void TTest::CacheResult(TEmailMsg& msg, bool result) {
  const std::int32_t key = msg.GetContentId();
  TCriticalSectionGuard guard(FLock);
  FLastMsgKey = key;
  FLastResult = result;
}

void TTest::AddExplanation(const std::string& text, int level, bool addBreak, int kind) {
  TCriticalSectionGuard guard(FLock);
  FExplanation.AddLine(text, level, kind, addBreak);
}

void TTest::InsertExplanation(int index, const std::string& text, int level, bool addBreak,
                              int kind) {
  TCriticalSectionGuard guard(FLock);
  FExplanation.InsertLine(index, text, level, kind, addBreak);
}

void TTest::ClearExplanation() {
  TCriticalSectionGuard guard(FLock);
  FExplanation.Clear();
}

void TTest::PublishExplanation(TSimpleHtml lines) {
  TCriticalSectionGuard guard(FLock);
  FExplanation = std::move(lines);
}

std::string IncompleteTestText(const std::string& reason) {
  return kIncompleteTestPrefix + reason + ".";
}

std::string DescriptionWithReason(const std::string& reason, const std::string& text) {
  return reason.empty() ? text : IncompleteTestText(reason) + "\r\n" + text;
}

void PutHeadlineFirst(TSimpleHtml& lines, const std::string& headline, int level) {
  lines.InsertLine(0, headline, level, kHtmlKindAll, true);
}

void SetEveryLevel(TSimpleHtml& lines, int level) {
  for (int i = 0; i < lines.Count(); ++i) lines.SetLevel(i, level);
}

// ---- Combining tests

namespace {

struct TCombiningMark {
  const TTest* Test;
  TCombiningStep Step;
};

// The steps under way on this thread, innermost last.
thread_local std::vector<TCombiningMark> combiningMarks;

}  // namespace

TCombiningGuard::TCombiningGuard(const TTest* test, TCombiningStep step) {
  for (const TCombiningMark& mark : combiningMarks)
    if (mark.Test == test && mark.Step == step) return;
  if (combiningMarks.size() >= static_cast<std::size_t>(kMaxCombiningDepth)) {
    FTooDeep = true;
    return;
  }
  combiningMarks.push_back({test, step});
  FEntered = true;
}

TCombiningGuard::~TCombiningGuard() {
  if (FEntered) combiningMarks.pop_back();
}

std::string TCombiningGuard::Refusal() const {
  if (FEntered) return {};
  return FTooDeep ? kNestedTooDeep : kRefersBackToItself;
}

void TTest::LogEvaluation(TEmailMsg& msg, const std::string& detail) {
  const std::string subject = msg.GetSubject();
  Log(Name(), "Msg " + subject + " " + detail, kEvaluationLogLevel, false);
}

void TTest::CloseEvaluation(TEmailMsg& msg, bool result, const std::string& headline,
                            int headlineLevel, const std::string& detail, int detailLevel) {
  RecordStandardTest(msg, result);
  CacheResult(msg, result);
  AddExplanation(headline, headlineLevel, true);
  AddExplanation(detail, detailLevel, true);
  LogEvaluation(msg, detail);
}

// ---- Result code and statistics

std::string TTest::GetResultCode(std::int32_t msgKey) {
  bool result;
  {
    TCriticalSectionGuard guard(FLock);
    if (FLastMsgKey == -1) return {};
    if (msgKey != 0 && msgKey != FLastMsgKey) return {};
    result = FLastResult;
  }
  TStringList code;
  code.Add(std::string("Pa=") + (result ? "y" : "n"));
  return code.CommaText();
}

void TTest::AdjustStats(const TCategoryProbability& probability, const std::string& resultCode) {
  TTrite verdict;
  if (!ResultCodeVerdict(resultCode, verdict)) return;
  TCriticalSectionGuard guard(FLock);
  FStats.AddVerdict(probability, verdict, 1.0);
}

void TTest::UserCategorised(std::uint8_t category, const std::string& resultCode) {
  CatchAllButAbandonment(
      [&] {
        TCategoryProbability probability("UserAdjustStats");
        probability.SetCategory(category);
        AdjustStats(probability, resultCode);
      },
      [&](const std::string& error) {
        Log(Name(), "The categorisation did not reach the statistics: " + error, 5, true);
      });
}

void TTest::GetCategoryProbability(const std::string& resultCode,
                                   TCategoryProbability& probability) {
  TTrite verdict;
  if (!ResultCodeVerdict(resultCode, verdict)) return;
  const TTestStats stats = Stats();
  // The probability is measured against the counts the test asked before
  // left; this test's own sums replace them afterwards.
  stats.GetProbability(verdict, probability);
  for (std::uint8_t category = 1; category <= kMsgCategoryCount; ++category) {
    const TTestCategoryStats& counts = stats.Category(category);
    const std::uint64_t sum =
        std::uint64_t{counts.TruePositives} + std::uint64_t{counts.TrueNegatives};
    SetGlobalCategoryCount(category, static_cast<std::uint32_t>(std::min<std::uint64_t>(
                                         sum, std::numeric_limits<std::uint32_t>::max())));
  }
}

void TTest::CategoryProbabilityForMsg(TCategoryProbability& probability, std::int32_t msgKey) {
  GetCategoryProbability(GetResultCode(msgKey), probability);
}

bool TTest::ShowStats(TSimpleHtml& html, std::int32_t msgKey) {
  const std::string code = GetResultCode(msgKey);
  if (!code.empty()) {
    ShowCategoryProbabilities(code, html);
  } else {
    html.AddLine("No stat data available for test " + Name(), -1, kHtmlKindAll, true);
  }
  return true;
}

bool TTest::ShowCategoryProbabilities(const std::string& resultCode, TSimpleHtml& html) {
  TCategoryProbability probability;
  GetCategoryProbability(resultCode, probability);
  html.AddLine("Category Probabilities for Test" + Name(), -1, kHtmlKindAll, true);
  html.AddLine(probability.ToDisplayText(), -1, kHtmlKindAll, true);
  return true;
}

void TTest::ResetStats() {
  TCriticalSectionGuard guard(FLock);
  FStats.Clear();
}

std::string TTest::GetStatsText() {
  TCriticalSectionGuard guard(FLock);
  return FStats.SaveToText();
}

void TTest::SetStatsText(const std::string& text) {
  TTestStats stats;
  stats.LoadFromText(text);
  TCriticalSectionGuard guard(FLock);
  FStats = stats;
}

}  // namespace halvorn
