#include "lists/qch/qch_records.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "foundation/time/clock.h"

namespace halvorn {

namespace {

// Each share over the sum of the three counts; none when the record is no
// message match or its counts make no sense.
bool MatchSum(const TMsgSearchRec& record, double& sum) {
  if (record.Kind != kMatchMessage) return false;
  if (record.CommonCount < 0 || record.ExtraCount < 0 || record.MissingCount < 0) return false;
  const std::int64_t total = static_cast<std::int64_t>(record.CommonCount) + record.ExtraCount +
                             record.MissingCount;
  if (total == 0) return false;
  sum = static_cast<double>(total);
  return true;
}

}  // namespace

bool TMessageRec::operator==(const TMessageRec& other) const {
  return MsgNumber == other.MsgNumber && FirstSeen == other.FirstSeen &&
         LastSeen == other.LastSeen && ExtraInfo == other.ExtraInfo &&
         TimesEncountered == other.TimesEncountered &&
         std::memcmp(&Counts, &other.Counts, sizeof Counts) == 0 && CheckSums == other.CheckSums &&
         Fuz1Sum == other.Fuz1Sum && Fuz2Sum == other.Fuz2Sum && BodySum == other.BodySum;
}

void InitMsgCategoryCounts(TMsgCategoryCounts& counts) {
  std::memset(&counts, 0, sizeof counts);
}

void InitMessageRec(TMessageRec& record) {
  record = TMessageRec();
  record.FirstSeen = Now();
  record.LastSeen = record.FirstSeen;
  record.TimesEncountered = 1;
}

double QchMatchOverlap(const TMsgSearchRec& record) {
  double sum = 0;
  return MatchSum(record, sum) ? record.CommonCount / sum : 0.0;
}

double QchMatchExtra(const TMsgSearchRec& record) {
  double sum = 0;
  return MatchSum(record, sum) ? record.ExtraCount / sum : 0.0;
}

double QchMatchMissing(const TMsgSearchRec& record) {
  double sum = 0;
  return MatchSum(record, sum) ? record.MissingCount / sum : 0.0;
}

int CompareMsgSearchRecs(const TMsgSearchRec& a, const TMsgSearchRec& b) {
  return QchMatchOverlap(a) >= QchMatchOverlap(b) ? -1 : 1;
}

void SortMsgSearchRecs(TMsgSearchRecArray& records) {
  // A stable sort by falling overlap gives exactly the order of the passes of
  // neighbour swaps the comparison above describes, without their n x n cost
  // on a long answer.
  std::vector<std::pair<double, TMsgSearchRec>> keyed;
  keyed.reserve(records.size());
  for (const TMsgSearchRec& record : records) keyed.emplace_back(QchMatchOverlap(record), record);
  std::stable_sort(keyed.begin(), keyed.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first; });
  for (std::size_t i = 0; i < keyed.size(); ++i) records[i] = keyed[i].second;
}

bool GetQchMatchCategory(const TMsgSearchRecArray& records, TMsgCategory& category,
                         std::int32_t& votes, bool& staffCategorised) {
  votes = 0;
  category = Mc_Unknown;
  staffCategorised = false;
  bool perfect = false;
  TMsgCategoryCounts counts;
  InitMsgCategoryCounts(counts);
  for (const TMsgSearchRec& record : records) {
    if (record.Kind != kMatchMessage || QchMatchOverlap(record) != 1.0) continue;
    if (record.Counts.StaffCategory != 0) {
      votes = -1;
      staffCategorised = true;
      category = static_cast<TMsgCategory>(record.Counts.StaffCategory);
      return true;
    }
    perfect = true;
    std::memcpy(&counts, &record.Counts, sizeof counts);
  }
  if (!perfect) WeightedQchCategoryCounts(records, counts, 0.25);
  for (TMsgCategory c : kMsgCategories) {
    const std::int32_t count = CategoryCount(counts, c);
    if (count > votes) {
      votes = count;
      category = c;
    }
  }
  return perfect;
}

void WeightedQchCategoryCounts(const TMsgSearchRecArray& records, TMsgCategoryCounts& counts,
                               double threshold) {
  double sums[kMsgCategoryCount] = {};
  for (const TMsgSearchRec& record : records) {
    if (record.Kind != kMatchMessage) continue;
    const double overlap = QchMatchOverlap(record);
    if (!(threshold <= overlap)) continue;
    for (int i = 0; i < kMsgCategoryCount; ++i)
      sums[i] += overlap * CategoryCount(record.Counts, kMsgCategories[i]);
  }
  InitMsgCategoryCounts(counts);
  for (int i = 0; i < kMsgCategoryCount; ++i) {
    const double value = sums[i] * 100;
    SetCategoryCount(counts, kMsgCategories[i],
                     value >= 65535 ? std::uint16_t{65535} : static_cast<std::uint16_t>(value));
  }
}

std::optional<std::size_t> GetCategoryCountPtr(std::uint8_t category) {
  const int c = category & 0x7F;
  if (!IsMsgCategory(c)) return std::nullopt;
  return static_cast<std::size_t>(c - 1) * 2;
}

std::uint16_t CategoryCount(const TMsgCategoryCounts& counts, std::uint8_t category) {
  const auto offset = GetCategoryCountPtr(category);
  if (!offset) return 0;
  std::uint16_t value = 0;
  std::memcpy(&value, reinterpret_cast<const unsigned char*>(&counts) + *offset, sizeof value);
  return value;
}

void SetCategoryCount(TMsgCategoryCounts& counts, std::uint8_t category, std::uint16_t value) {
  const auto offset = GetCategoryCountPtr(category);
  if (!offset) return;
  std::memcpy(reinterpret_cast<unsigned char*>(&counts) + *offset, &value, sizeof value);
}

}  // namespace halvorn
