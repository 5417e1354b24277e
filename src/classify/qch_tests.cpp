#include "classify/qch_tests.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "classify/test_numbers.h"
#include "foundation/files/quor_ini_file.h"
#include "lists/qch/qch_records.h"
#include "message/email_msg.h"

namespace halvorn {

namespace {

constexpr int kLineLevel = 9;
// Strong matches: the uniqueness test's standard tests count their sightings.
constexpr double kStrongOverlap = 0.9;
// The overlap from which the users' votes are weighed.
constexpr double kWeightedVotesThreshold = 0.25;
constexpr int kSeenPowers = TESTNUM_QUOR_SEEN_16384 - TESTNUM_QUOR_SEEN_1 + 1;

constexpr const char* kCategoryCheck = "Quorvantis Category Check";
constexpr const char* kUniquenessCheck = "Quorvantis Uniqueness Check";

void AddLine(TSimpleHtml& lines, const std::string& text) {
  lines.AddLine(text, kLineLevel, kHtmlKindAll, true);
}

// A stored setting held to a byte: a larger number reads as 255 rather than
// wrapping round to a small one.
std::uint8_t ByteSetting(std::int64_t value) {
  return static_cast<std::uint8_t>(std::clamp<std::int64_t>(value, 0, 255));
}

bool ReachesMinMatch(const TMsgSearchRec& record, std::uint8_t minMatch) {
  return QchMatchOverlap(record) >= minMatch / 100.0;
}

// The repetition factor without its fraction, held to 32 bits (a larger
// double has no integer to convert to).
std::int64_t TruncatedFactor(double factor) {
  constexpr double low = std::numeric_limits<std::int32_t>::min();
  constexpr double high = std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int64_t>(std::trunc(std::clamp(factor, low, high)));
}

}  // namespace

// ---------------------------------------------------------------------------
// TQchAnswerTest

TMsgSearchRecArray TQchAnswerTest::CopySearchRecs(TEmailMsg& msg) {
  TCriticalSectionGuard guard(msg.MessageLock());
  return msg.SearchRecs();
}

void TQchAnswerTest::CloseAnswer(TEmailMsg& msg, bool result, TSimpleHtml& lines,
                                 const std::string& check) {
  const std::string verdict = result ? "passed " : "failed ";
  RecordStandardTest(msg, result);
  CacheResult(msg, result);
  PutHeadlineFirst(lines, "email " + verdict + check + " \"" + Name() + "\".<br>", kLineLevel);
  LogEvaluation(msg, verdict + check);
  SetEveryLevel(lines, kLineLevel);
  PublishExplanation(std::move(lines));
}

// ---------------------------------------------------------------------------
// TQCHCategoryTest

TQCHCategoryTest::TSettings TQCHCategoryTest::Settings() const {
  TCriticalSectionGuard guard(TestLock());
  return FSettings;
}

void TQCHCategoryTest::SetSettings(const TSettings& settings) {
  TCriticalSectionGuard guard(TestLock());
  FSettings = settings;
}

void TQCHCategoryTest::SaveToIni(TQuorIniFile& ini) {
  TTest::SaveToIni(ini);
  const std::string section = SectionName();
  const TSettings s = Settings();
  ini.WriteInteger(section, "MsgCategory", s.MsgCategory);
  ini.WriteInteger(section, "CategorizedBy", s.CategorizedBy);
  ini.WriteInteger(section, "MinWeight", s.MinWeight);
  ini.WriteInteger(section, "MinMatch", s.MinMatch);
  ini.WriteInteger(section, "MinVotes", s.MinVotes);
}

void TQCHCategoryTest::LoadFromIni(TQuorIniFile& ini) {
  TTest::LoadFromIni(ini);
  const std::string section = SectionName();
  TSettings s = Settings();
  const std::int64_t category = ini.ReadInteger(section, "MsgCategory", s.MsgCategory);
  const std::int64_t by = ini.ReadInteger(section, "CategorizedBy", s.CategorizedBy);
  s.MsgCategory = category >= Mc_Unknown && category <= Mc_Personal
                      ? static_cast<std::uint8_t>(category)
                      : std::uint8_t{Mc_Virus};
  s.CategorizedBy = by >= 0 && by <= kCategorizedByEither ? static_cast<std::uint8_t>(by)
                                                          : kCategorizedByEither;
  s.MinWeight = static_cast<std::int32_t>(ini.ReadInteger(section, "MinWeight", s.MinWeight));
  s.MinMatch = ByteSetting(ini.ReadInteger(section, "MinMatch", s.MinMatch));
  s.MinVotes = ByteSetting(ini.ReadInteger(section, "MinVotes", s.MinVotes));
  SetSettings(s);
}

void TQCHCategoryTest::PhraseListRenamed(const std::string&, const std::string&) {}

std::string TQCHCategoryTest::Validate() {
  return Name().empty() ? std::string(kTestHasNoName) : std::string();
}

std::string TQCHCategoryTest::Describe() {
  const TSettings s = Settings();
  std::string text = "The email has been flagged as a " + MsgCategoryToName(s.MsgCategory);
  if (s.CategorizedBy == kCategorizedByStaff) return text + " by Quorvantis.";
  text += s.CategorizedBy == kCategorizedByUsers ? " by other users"
                                                 : " by either Quorvantis or by other users";
  // The sentence follows a negative MinWeight, while judging counts votes
  // from 0 down: MinWeight 0 counts votes but is described by its weight.
  if (s.MinWeight < 0)
    return text + " where the email matches at least " + std::to_string(s.MinMatch) +
           "%, and has been categorized at least " + std::to_string(s.MinVotes) + " times.";
  return text + " with a weight of at least " + std::to_string(s.MinWeight) + ".";
}

bool TQCHCategoryTest::Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) {
  bool answer = false;
  if (!BeginEvaluate(msg, abort, answer, ".")) return answer;
  const TSettings s = Settings();
  const TMsgSearchRecArray records = CopySearchRecs(msg);
  const std::string category = MsgCategoryToName(s.MsgCategory);
  TSimpleHtml lines;
  auto judge = [&] {
    if (records.empty()) {
      AddLine(lines, kNoQchInformation);
      return false;
    }
    // The staff's category of the first good match, as standard tests.
    for (const TMsgSearchRec& record : records) {
      if (Aborted(abort)) return false;
      if (!ReachesMinMatch(record, s.MinMatch)) continue;
      for (int c = Mc_ChainLetter; c <= Mc_CommercialSpam; ++c)
        RecordStandardTestAt(msg, TESTNUM_QUOR_CHAINLETTER - 1 + c,
                             record.Counts.StaffCategory == c);
      break;
    }
    if (s.MsgCategory == Mc_Virus) {
      TCheckSumArray attachments;
      msg.GetImageChecksums(attachments);
      if (attachments.empty()) {
        AddLine(lines, "No attachment information was found.");
      } else {
        for (const TMsgSearchRec& record : records) {
          if (record.Kind != kMatchAttachment) continue;
          std::string attachment;
          msg.GetAttachmentNameByCheckSum(static_cast<std::uint32_t>(record.ItemId), attachment);
          const std::string line = "Attachment \"" + attachment + "\"";
          const std::uint16_t votes = CategoryCount(record.Counts, Mc_Virus);
          if (s.CategorizedBy != kCategorizedByStaff && votes >= s.MinVotes) {
            AddLine(lines, line + " has been categorized by users as a virus " +
                               std::to_string(votes) + " times.");
            return true;
          }
          if (s.CategorizedBy != kCategorizedByUsers && record.Counts.StaffCategory == Mc_Virus) {
            AddLine(lines, line + " has been categorized by Quorvantis as a virus.");
            return true;
          }
          AddLine(lines, line);
        }
      }
    }
    if (s.CategorizedBy != kCategorizedByStaff) {
      if (s.MinWeight <= 0) {
        std::int64_t matches = 0;
        std::int64_t votes = 0;
        for (const TMsgSearchRec& record : records) {
          if (!ReachesMinMatch(record, s.MinMatch)) continue;
          ++matches;
          votes += CategoryCount(record.Counts, s.MsgCategory);
        }
        const std::string counted =
            "This email has been categorized by users as a " + category + " " +
            std::to_string(votes) + " times";
        if (votes >= s.MinVotes) {
          AddLine(lines, counted + ".");
          AddLine(lines, "There were a total of " + std::to_string(matches) +
                             " email that matched this email within " +
                             std::to_string(s.MinMatch) + "%");
          return true;
        }
        AddLine(lines, counted + ", which is below the minimum threshold value of " +
                           std::to_string(s.MinVotes) + ".");
      } else {
        TMsgCategoryCounts weighted;
        WeightedQchCategoryCounts(records, weighted, kWeightedVotesThreshold);
        const std::int32_t weight = CategoryCount(weighted, s.MsgCategory);
        if (weight >= s.MinWeight) {
          AddLine(lines, "This email has been categorized by users as a " + category +
                             " with a weight of " + std::to_string(weight) + ".");
          return true;
        }
        AddLine(lines, "This weight given to category " + category + " by users is " +
                           std::to_string(weight) + ", which is below the minimum threshold value of " +
                           std::to_string(s.MinWeight) + ".");
      }
    }
    if (s.CategorizedBy != kCategorizedByUsers) {
      for (const TMsgSearchRec& record : records) {
        if (ReachesMinMatch(record, s.MinMatch) && record.Counts.StaffCategory == s.MsgCategory) {
          AddLine(lines, "This email has been categorized by Quorvantis as a " + category + ".");
          return true;
        }
      }
      AddLine(lines, "This email has NOT been categorized by Quorvantis as a " + category + ".");
    }
    return false;
  };
  auto close = [&](bool result) { CloseAnswer(msg, result, lines, kCategoryCheck); };
  return JudgeThenClose(judge, close);
}

// ---------------------------------------------------------------------------
// TQCHUniquenessTest

TQCHUniquenessTest::TSettings TQCHUniquenessTest::Settings() const {
  TCriticalSectionGuard guard(TestLock());
  return FSettings;
}

void TQCHUniquenessTest::SetSettings(const TSettings& settings) {
  TCriticalSectionGuard guard(TestLock());
  FSettings = settings;
}

TQCHUniquenessTest::TCounts TQCHUniquenessTest::Counts() const {
  TCriticalSectionGuard guard(TestLock());
  return FCounts;
}

void TQCHUniquenessTest::SaveToIni(TQuorIniFile& ini) {
  TTest::SaveToIni(ini);
  const std::string section = SectionName();
  const TSettings s = Settings();
  ini.WriteInteger(section, "MinWeight", s.MinWeight);
  ini.WriteInteger(section, "MinMatch", s.MinMatch);
  ini.WriteInteger(section, "MinVotes", s.MinVotes);
}

void TQCHUniquenessTest::LoadFromIni(TQuorIniFile& ini) {
  TTest::LoadFromIni(ini);
  const std::string section = SectionName();
  TSettings s = Settings();
  s.MinWeight = static_cast<std::int32_t>(ini.ReadInteger(section, "MinWeight", s.MinWeight));
  s.MinMatch = ByteSetting(ini.ReadInteger(section, "MinMatch", s.MinMatch));
  s.MinVotes = ByteSetting(ini.ReadInteger(section, "MinVotes", s.MinVotes));
  SetSettings(s);
}

void TQCHUniquenessTest::PhraseListRenamed(const std::string&, const std::string&) {}

std::string TQCHUniquenessTest::Validate() {
  return Name().empty() ? std::string(kTestHasNoName) : std::string();
}

std::string TQCHUniquenessTest::Describe() {
  const TSettings s = Settings();
  // As the category test's: MinWeight 0 counts but is described by weight.
  if (s.MinWeight < 0)
    return "The total of email matching your email at least " + std::to_string(s.MinMatch) +
           "%, have been seen at least " + std::to_string(s.MinVotes) + " times.";
  return "email has a uniquness factor of at least " + std::to_string(s.MinWeight) + ".";
}

bool TQCHUniquenessTest::Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) {
  bool answer = false;
  if (!BeginEvaluate(msg, abort, answer, ".")) return answer;
  const TSettings s = Settings();
  const TMsgSearchRecArray records = CopySearchRecs(msg);
  TSimpleHtml lines;
  TCounts counts;
  auto judge = [&] {
    if (records.empty()) {
      AddLine(lines, kNoQchInformation);
      return false;
    }
    for (const TMsgSearchRec& record : records) {
      if (QchMatchOverlap(record) < kStrongOverlap) continue;
      ++counts.StrongMatches;
      counts.StrongSightings += record.TimesEncountered;
    }
    for (int k = 0; k < kSeenPowers; ++k)
      RecordStandardTestAt(msg, TESTNUM_QUOR_SEEN_1 + k,
                           counts.StrongSightings >= (std::int64_t{1} << k));
    counts.RepetitionFactor = RepetitionFactor(records);
    if (s.MinWeight > 0) {
      const std::string factor =
          "This email has a repetition factor of " +
          std::to_string(TruncatedFactor(counts.RepetitionFactor));
      if (counts.RepetitionFactor >= s.MinWeight) {
        AddLine(lines, factor + ".");
        return true;
      }
      AddLine(lines, factor + ", which is below the minimum threshold value of " +
                         std::to_string(s.MinWeight) + ".");
      return false;
    }
    for (const TMsgSearchRec& record : records) {
      if (!ReachesMinMatch(record, s.MinMatch)) continue;
      ++counts.CountedMatches;
      counts.CountedSightings += record.TimesEncountered;
    }
    if (counts.CountedSightings < s.MinVotes) {
      AddLine(lines, "This email has been seen " + std::to_string(counts.CountedSightings) +
                         " times, which is below the minimum threshold value of " +
                         std::to_string(s.MinVotes) + ".");
      return false;
    }
    AddLine(lines, std::to_string(counts.CountedSightings) +
                       " email have been seen that match this email within " +
                       std::to_string(s.MinMatch) + "% (" +
                       std::to_string(counts.CountedMatches) + " different email total)");
    return true;
  };
  auto close = [&](bool result) {
    {
      TCriticalSectionGuard guard(TestLock());
      FCounts = counts;
    }
    CloseAnswer(msg, result, lines, kUniquenessCheck);
  };
  return JudgeThenClose(judge, close);
}

}  // namespace halvorn
