#include "classify/sum_tests.h"

#include <utility>

#include "classify/test_list.h"
#include "foundation/files/quor_ini_file.h"
#include "message/email_msg.h"

namespace halvorn {

namespace {

constexpr int kHeadlineLevel = 9;
constexpr int kPointsLevel = 6;
constexpr int kNoPointsLevel = 8;
constexpr int kTotalLevel = 8;
constexpr int kThresholdLevel = 9;

// What a section without more entries gives for "TestName" + i.
constexpr const char* kNoMoreEntries = "This is not valid";

bool IsEmptyEntry(const TSumTestRec& entry) {
  return entry.SuccessPoints == 0 && entry.FailurePoints == 0;
}

// Describe's line for one number of points of an entry.
std::string PointsSentence(const char* outcome, const std::string& test, std::int32_t points) {
  return "If email " + std::string(outcome) + "test \"" + test + "\", " +
         std::to_string(Magnitude64(points)) +
         (points > 0 ? " points will be added to  the total."
                     : " points will be subtracted from  the total.") +
         "\r\n";
}

// The explanation's line for one judged entry.
std::string PointsLine(bool passed, const std::string& test, std::int32_t points) {
  const std::string outcome = passed ? "passed" : "failed";
  if (points == 0) return "email " + outcome + " test \"" + test + "\" (no points).";
  return std::to_string(Magnitude64(points)) + " points were " +
         (points > 0 ? "added" : "subtracted") + " when email " + outcome + " test \"" + test +
         "\".";
}

}  // namespace

// ---------------------------------------------------------------------------
// TSumTest

std::int32_t TSumTest::Threshold() const {
  TCriticalSectionGuard guard(TestLock());
  return FThreshold;
}

void TSumTest::SetThreshold(std::int32_t threshold) {
  TCriticalSectionGuard guard(TestLock());
  FThreshold = threshold;
}

std::vector<TSumTestRec> TSumTest::Entries() const {
  TCriticalSectionGuard guard(TestLock());
  return FEntries;
}

void TSumTest::SetEntries(std::vector<TSumTestRec> entries) {
  TCriticalSectionGuard guard(TestLock());
  FEntries = std::move(entries);
}

int TSumTest::EntryCount() const {
  TCriticalSectionGuard guard(TestLock());
  return static_cast<int>(FEntries.size());
}

TSumTestRec TSumTest::Entry(int index) const {
  TCriticalSectionGuard guard(TestLock());
  if (index < 0 || index >= static_cast<int>(FEntries.size())) return {};
  return FEntries[static_cast<std::size_t>(index)];
}

bool TSumTest::SetEntry(int index, const TSumTestRec& entry) {
  TCriticalSectionGuard guard(TestLock());
  if (index < 0 || index >= static_cast<int>(FEntries.size())) return false;
  FEntries[static_cast<std::size_t>(index)] = entry;
  return true;
}

int TSumTest::FindEntry(const std::string& testName) const {
  TCriticalSectionGuard guard(TestLock());
  for (std::size_t i = 0; i < FEntries.size(); ++i)
    if (FEntries[i].TestName == testName) return static_cast<int>(i);
  return -1;
}

int TSumTest::AddEntry(const std::string& testName) {
  TCriticalSectionGuard guard(TestLock());
  FEntries.push_back({testName, 0, 0});
  return static_cast<int>(FEntries.size()) - 1;
}

void TSumTest::RemoveEmptyEntries() {
  TCriticalSectionGuard guard(TestLock());
  std::erase_if(FEntries, IsEmptyEntry);
}

void TSumTest::SaveToIni(TQuorIniFile& ini) {
  RemoveEmptyEntries();
  TTest::SaveToIni(ini);
  std::int32_t threshold;
  std::vector<TSumTestRec> entries;
  {
    TCriticalSectionGuard guard(TestLock());
    threshold = FThreshold;
    entries = FEntries;
  }
  const std::string section = SectionName();
  ini.WriteInteger(section, "Threshold", threshold);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::string n = std::to_string(i);
    ini.WriteString(section, "TestName" + n, entries[i].TestName);
    ini.WriteInteger(section, "SuccessPoints" + n, entries[i].SuccessPoints);
    ini.WriteInteger(section, "FailurePoints" + n, entries[i].FailurePoints);
  }
}

void TSumTest::LoadFromIni(TQuorIniFile& ini) {
  TTest::LoadFromIni(ini);
  const std::string section = SectionName();
  const auto threshold =
      static_cast<std::int32_t>(ini.ReadInteger(section, "Threshold", Threshold()));
  std::vector<TSumTestRec> loaded;
  for (std::size_t i = 0;; ++i) {
    const std::string n = std::to_string(i);
    std::string name = ini.ReadString(section, "TestName" + n, kNoMoreEntries);
    if (name.empty() || name == kNoMoreEntries) break;
    loaded.push_back({std::move(name),
                      static_cast<std::int32_t>(ini.ReadInteger(section, "SuccessPoints" + n, 0)),
                      static_cast<std::int32_t>(ini.ReadInteger(section, "FailurePoints" + n, 0))});
  }
  TCriticalSectionGuard guard(TestLock());
  FThreshold = threshold;
  FEntries.insert(FEntries.end(), loaded.begin(), loaded.end());
}

void TSumTest::PhraseListRenamed(const std::string&, const std::string&) {}

void TSumTest::TestRenamed(const std::string& newName, const std::string& oldName) {
  {
    TCriticalSectionGuard guard(TestLock());
    for (TSumTestRec& entry : FEntries) {
      if (entry.TestName == oldName) {
        entry.TestName = newName;
        break;
      }
    }
  }
  TTest::TestRenamed(newName, oldName);
}

std::string TSumTest::Validate() {
  for (const TSumTestRec& entry : Entries())
    if (!IsEmptyEntry(entry)) return {};
  return "no tests have been added";
}

std::string TSumTest::Describe() {
  const std::string reason = Validate();
  if (!reason.empty()) return IncompleteTestText(reason);
  std::string text;
  for (const TSumTestRec& entry : Entries()) {
    if (entry.SuccessPoints != 0)
      text += PointsSentence("passes ", entry.TestName, entry.SuccessPoints);
    if (entry.FailurePoints != 0)
      text += PointsSentence("Fails ", entry.TestName, entry.FailurePoints);
  }
  return text;
}

std::string TSumTest::GetNote() {
  for (const TSumTestRec& entry : Entries())
    if (!FindGlobalTest(entry.TestName))
      return "Warning:\r\nThe referenced test \"" + entry.TestName + "\" no longer exists.";
  return kEndlessLoopWarning;
}

bool TSumTest::Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) {
  TCombiningGuard guard(this, TCombiningStep::Evaluating);
  if (!guard.Entered()) return false;
  bool answer = false;
  if (!BeginEvaluateUnvalidated(msg, abort, answer)) return answer;
  const std::string name = Name();
  std::int32_t threshold;
  std::vector<TSumTestRec> entries;
  {
    TCriticalSectionGuard lock(TestLock());
    threshold = FThreshold;
    entries = FEntries;
  }
  TSimpleHtml lines;
  std::int64_t total = 0;
  UndoOnFailure(
      [&] {
        for (std::size_t i = entries.size(); i-- > 0;) {
          if (Aborted(abort)) return;
          const TSumTestRec& entry = entries[i];
          if (IsEmptyEntry(entry)) continue;
          const std::shared_ptr<TTest> test = FindGlobalTest(entry.TestName);
          if (!test) continue;
          const bool passed = test->Evaluate(msg, abort);
          const std::int32_t points = passed ? entry.SuccessPoints : entry.FailurePoints;
          total += points;
          lines.AddLine(PointsLine(passed, entry.TestName, points),
                        points == 0 ? kNoPointsLevel : kPointsLevel, kHtmlKindAll, true);
        }
      },
      [&] { PublishExplanation(std::move(lines)); });
  // A stop request (also during the last entry's judgement, which leaves its
  // answer unfinished) caches nothing.
  if (Aborted(abort)) {
    PublishExplanation(std::move(lines));
    return false;
  }
  const bool result = threshold < total;
  lines.AddLine("Total points accumulated for this email was " + std::to_string(total), kTotalLevel,
                kHtmlKindAll, true);
  lines.AddLine("Threshold is " + std::to_string(threshold), kThresholdLevel, kHtmlKindAll, true);
  RecordStandardTest(msg, result);
  CacheResult(msg, result);
  PutHeadlineFirst(lines,
                   std::string("email ") + (result ? "passed" : "failed") +
                       " Weighted Combination Test: \"" + name + "\".",
                   kHeadlineLevel);
  PublishExplanation(std::move(lines));
  return result;
}

// ---------------------------------------------------------------------------
// TCategoryProbabilityTest

std::int32_t TCategoryProbabilityTest::Threshold() const {
  TCriticalSectionGuard guard(TestLock());
  return FThreshold;
}

void TCategoryProbabilityTest::SetThreshold(std::int32_t threshold) {
  TCriticalSectionGuard guard(TestLock());
  FThreshold = threshold;
}

std::uint8_t TCategoryProbabilityTest::MsgCategory() const {
  TCriticalSectionGuard guard(TestLock());
  return FMsgCategory;
}

void TCategoryProbabilityTest::SetMsgCategory(std::uint8_t category) {
  TCriticalSectionGuard guard(TestLock());
  FMsgCategory = category;
}

void TCategoryProbabilityTest::SaveToIni(TQuorIniFile& ini) {
  TTest::SaveToIni(ini);
  const std::int32_t threshold = Threshold();
  const std::uint8_t category = MsgCategory();
  const std::string section = SectionName();
  ini.WriteInteger(section, "Threshold", threshold);
  ini.WriteInteger(section, "MsgCategory", category);
}

void TCategoryProbabilityTest::LoadFromIni(TQuorIniFile& ini) {
  TTest::LoadFromIni(ini);
  const std::string section = SectionName();
  const auto threshold =
      static_cast<std::int32_t>(ini.ReadInteger(section, "Threshold", Threshold()));
  const auto category =
      static_cast<std::uint8_t>(ini.ReadInteger(section, "MsgCategory", MsgCategory()) & 0xff);
  TCriticalSectionGuard guard(TestLock());
  FThreshold = threshold;
  FMsgCategory = category;
}

std::string TCategoryProbabilityTest::Validate() {
  if (Threshold() == 0) return "there is no threshold probability specified.";
  return {};
}

std::string TCategoryProbabilityTest::Describe() {
  const std::string reason = Validate();
  if (!reason.empty()) return IncompleteTestText(reason);
  return "the probability of the email being a " + MsgCategoryToName(MsgCategory()) +
         " is at least " + std::to_string(Magnitude64(Threshold())) + " percent.";
}

bool TCategoryProbabilityTest::Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) {
  bool answer = false;
  if (!BeginEvaluateUnvalidated(msg, abort, answer)) return answer;
  const std::string name = Name();
  std::int32_t threshold;
  std::uint8_t category;
  {
    TCriticalSectionGuard lock(TestLock());
    threshold = FThreshold;
    category = FMsgCategory;
  }
  const std::int32_t percent = msg.GetCategoryProbability(category, false);
  const std::string categoryName = MsgCategoryToName(category);
  TSimpleHtml lines;
  lines.AddLine("The probability that this email is a " + categoryName + " is " +
                    std::to_string(percent) + " percent",
                kTotalLevel, kHtmlKindAll, true);
  lines.AddLine("Test threshold is " + std::to_string(threshold) + " percent.", kThresholdLevel,
                kHtmlKindAll, true);
  const bool result = percent >= threshold;
  RecordStandardTest(msg, result);
  CacheResult(msg, result);
  PutHeadlineFirst(lines,
                   std::string("email ") + (result ? "passed" : "failed") +
                       " Category Probability Test: \"" + name + "\".",
                   kHeadlineLevel);
  PublishExplanation(std::move(lines));
  return result;
}

}  // namespace halvorn
