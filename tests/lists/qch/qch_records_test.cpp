// Match records: their byte layout against struct.pack, the overlap shares,
// their order and the verdict drawn from them.
#include "lists/qch/qch_records.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace halvorn {
namespace {

TMsgSearchRec Match(int common, int extra, int missing, std::uint8_t kind = kMatchMessage) {
  TMsgSearchRec r;
  InitMsgSearchRec(r);
  r.Kind = kind;
  r.CommonCount = common;
  r.ExtraCount = extra;
  r.MissingCount = missing;
  return r;
}

TMsgSearchRec Votes(TMsgSearchRec r, std::uint8_t category, std::uint16_t votes,
                    std::uint8_t staff = 0) {
  SetCategoryCount(r.Counts, category, votes);
  r.Counts.StaffCategory = staff;
  return r;
}

TEST(QchRecords, RecordsAndCountsHaveTheWireLayout) {
  TMsgSearchRec r = Match(-3, 2000000000, 7);
  r.TimesEncountered = 99;
  r.ItemId = -12345;
  for (std::uint8_t c = 1; c <= 9; ++c) SetCategoryCount(r.Counts, c, static_cast<std::uint16_t>(c * 1000 + 1));
  r.Counts.StaffCategory = 0x88;
  const std::string fields =
      R"([{"kind":1,"times_encountered":99,"counts":[1001,2001,3001,4001,5001,6001,7001,8001,9001],)"
      R"("staff":136,"item_id":-12345,"extra_count":2000000000,"common_count":-3,"missing_count":7}])";
  const auto records = test::RunCommand(
      {test::PythonPath(), test::DataPath("qch_frames.py"), "records"}, fields);
  ASSERT_EQ(records.ExitCode, 0) << records.Output;
  std::string bytes(sizeof r, '\0');
  std::memcpy(bytes.data(), &r, sizeof r);
  EXPECT_EQ(test::HexOf(bytes) + "\n", records.Output);

  const auto counts = test::RunCommand(
      {test::PythonPath(), test::DataPath("qch_frames.py"), "counts"},
      "[[1001,2001,3001,4001,5001,6001,7001,8001,9001,136]]");
  std::string countBytes(sizeof r.Counts, '\0');
  std::memcpy(countBytes.data(), &r.Counts, sizeof r.Counts);
  EXPECT_EQ(test::HexOf(countBytes) + "\n", counts.Output);
}

TEST(QchRecords, OverlapShares) {
  struct Row {
    TMsgSearchRec Record;
    double Overlap, Extra, Missing;
  };
  const Row rows[] = {
      {Match(1, 2, 1), 0.25, 0.5, 0.25},
      {Match(5, 0, 0), 1.0, 0.0, 0.0},
      // Not a message match, nothing counted, or counts no service sends.
      {Match(5, 0, 0, kMatchAttachment), 0, 0, 0},
      {Match(0, 0, 0), 0, 0, 0},
      {Match(-1, 1, 1), 0, 0, 0},
      {Match(2, -1, 0), 0, 0, 0},
      {Match(2147483647, 2147483647, 2147483647), 1.0 / 3, 1.0 / 3, 1.0 / 3},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.Record.Kind) + ":" + std::to_string(row.Record.CommonCount) +
                 "/" + std::to_string(row.Record.ExtraCount) + "/" +
                 std::to_string(row.Record.MissingCount));
    EXPECT_DOUBLE_EQ(QchMatchOverlap(row.Record), row.Overlap);
    EXPECT_DOUBLE_EQ(QchMatchExtra(row.Record), row.Extra);
    EXPECT_DOUBLE_EQ(QchMatchMissing(row.Record), row.Missing);
  }
}

TEST(QchRecords, SortingPutsTheBestOverlapFirstAndKeepsTies) {
  TMsgSearchRecArray records = {Match(1, 1, 0), Match(4, 0, 0, kMatchAttachment), Match(3, 0, 0),
                                Match(2, 2, 0), Match(0, 0, 0)};
  records[0].ItemId = 1;
  records[1].ItemId = 2;
  records[2].ItemId = 3;
  records[3].ItemId = 4;
  records[4].ItemId = 5;
  SortMsgSearchRecs(records);
  std::vector<int> order;
  for (const auto& r : records) order.push_back(r.ItemId);
  EXPECT_EQ(order, (std::vector<int>{3, 1, 4, 2, 5}));
  EXPECT_EQ(CompareMsgSearchRecs(Match(1, 1, 0), Match(1, 1, 0)), -1);
  EXPECT_EQ(CompareMsgSearchRecs(Match(1, 1, 0), Match(1, 0, 0)), 1);
}

TEST(QchRecords, Verdict) {
  struct Row {
    const char* Name;
    TMsgSearchRecArray Records;
    int Category;
    std::int32_t Votes;
    bool Staff;
    bool Perfect;
  };
  const Row rows[] = {
      {"no records", {}, 0, 0, false, false},
      {"the first perfect match with a staff category decides, unmasked",
       {Votes(Match(3, 0, 0), Mc_Bulk, 50), Votes(Match(2, 0, 0), Mc_Joke, 1, 0x87),
        Votes(Match(2, 0, 0), Mc_Hoax, 1, 5)},
       0x87, -1, true, true},
      {"the later of two perfect matches gives the counts",
       {Votes(Match(3, 0, 0), Mc_Bulk, 50), Votes(Match(2, 0, 0), Mc_Joke, 4)},
       Mc_Joke, 4, false, true},
      {"without a perfect match only overlaps from 0.25 count, weighted",
       {Votes(Match(1, 4, 0), Mc_Hoax, 9), Votes(Match(1, 1, 0), Mc_Bulk, 3)},
       Mc_Bulk, 150, false, false},
      {"weighted counts are truncated", {Votes(Match(2, 1, 0), Mc_Joke, 1)}, Mc_Joke, 66, false,
       false},
      {"an overlap of exactly 0.25 counts", {Votes(Match(1, 3, 0), Mc_Petition, 2)}, Mc_Petition,
       50, false, false},
      {"a tie goes to the lower category",
       {Votes(Votes(Match(1, 0, 0), Mc_Petition, 5), Mc_Hoax, 5)}, Mc_Petition, 5, false, true},
      {"attachments and repetition records do not vote",
       {Votes(Match(5, 0, 0, kMatchAttachment), Mc_Virus, 9, 7),
        Votes(Match(5, 0, 0, kMatchRepetition), Mc_Virus, 9)},
       0, 0, false, false},
      {"weighted counts hold at 65535",
       {Votes(Match(1, 0, 1), Mc_Bulk, 65535), Votes(Match(1, 0, 1), Mc_Bulk, 65535)}, Mc_Bulk,
       65535, false, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    TMsgCategory category = Mc_Hoax;
    std::int32_t votes = 77;
    bool staff = true;
    EXPECT_EQ(GetQchMatchCategory(row.Records, category, votes, staff), row.Perfect);
    EXPECT_EQ(static_cast<int>(category), row.Category);
    EXPECT_EQ(votes, row.Votes);
    EXPECT_EQ(staff, row.Staff);
  }
}

TEST(QchRecords, CountsByCategory) {
  EXPECT_FALSE(GetCategoryCountPtr(0));
  EXPECT_FALSE(GetCategoryCountPtr(10));
  EXPECT_FALSE(GetCategoryCountPtr(0x80));
  EXPECT_EQ(GetCategoryCountPtr(1), 0u);
  EXPECT_EQ(GetCategoryCountPtr(9), 16u);
  EXPECT_EQ(GetCategoryCountPtr(0x87), 12u);
  TMsgCategoryCounts counts;
  InitMsgCategoryCounts(counts);
  SetCategoryCount(counts, Mc_Virus, 513);
  SetCategoryCount(counts, 12, 9);
  EXPECT_EQ(counts.Virus, 513);
  EXPECT_EQ(CategoryCount(counts, 0x87), 513);
  EXPECT_EQ(CategoryCount(counts, 12), 0);
  TMsgCategoryCounts zero;
  InitMsgCategoryCounts(zero);
  zero.Virus = 513;
  EXPECT_EQ(std::memcmp(&zero, &counts, sizeof counts), 0);
}

TEST(QchRecords, ANewRecord) {
  TMessageRec rec;
  rec.ExtraInfo = "x";
  rec.CheckSums = {1};
  rec.Fuz1Sum[0] = 1;
  InitMessageRec(rec);
  EXPECT_EQ(rec.TimesEncountered, 1);
  EXPECT_EQ(rec.FirstSeen, rec.LastSeen);
  EXPECT_GT(rec.FirstSeen, 40000);
  EXPECT_TRUE(rec.ExtraInfo.empty());
  EXPECT_TRUE(rec.CheckSums.empty());
  EXPECT_TRUE(IsDigest16Empty(rec.Fuz1Sum));
}

}  // namespace
}  // namespace halvorn
