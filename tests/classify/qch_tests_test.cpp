// The category and uniqueness checks on match records: hand-computed tables
// (thresholds met exactly, staff categories as standard tests, attachments,
// weighted and counted votes, sightings past 32 bits), a model of both
// judgements in Python (tests/data/qch_answer_model.py) on random record
// arrays, the rules file, and the corpus with records of its own checksums.
#include "classify/qch_tests.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "classify/test_list.h"
#include "classify/test_numbers.h"
#include "foundation/app/log_capture.h"
#include "foundation/files/quor_ini_file.h"
#include "qch_tests_support.h"

namespace halvorn {
namespace {

using test::Explained;
using test::Lines;
using test::Rec;
using test::StandardLetters;

using CategorySettings = TQCHCategoryTest::TSettings;
using UniquenessSettings = TQCHUniquenessTest::TSettings;

constexpr const char* kCategoryCheck = "Quorvantis Category Check";
constexpr const char* kUniquenessCheck = "Quorvantis Uniqueness Check";
constexpr std::int32_t kIntMax = std::numeric_limits<std::int32_t>::max();
// Stands for the picture's checksum in the rows below.
constexpr std::int32_t kPictureItem = -777;

CategorySettings Category(std::uint8_t category, std::uint8_t by, std::int32_t minWeight,
                          std::uint8_t minMatch, std::uint8_t minVotes) {
  return {category, by, minWeight, minMatch, minVotes};
}

std::shared_ptr<TQCHCategoryTest> MakeCategoryTest(const CategorySettings& settings,
                                                   const std::string& name = "Cat") {
  auto test = std::make_shared<TQCHCategoryTest>();
  test->SetName(name);
  test->SetSettings(settings);
  return test;
}

std::shared_ptr<TQCHUniquenessTest> MakeUniquenessTest(const UniquenessSettings& settings,
                                                       const std::string& name = "Seen") {
  auto test = std::make_shared<TQCHUniquenessTest>();
  test->SetName(name);
  test->SetSettings(settings);
  return test;
}

// The records of a row on the message, the picture's checksum put in.
TEmailMsgRef RowMessage(bool picture, std::vector<TMsgSearchRec> records) {
  TEmailMsgRef msg = picture ? test::PictureMessage() : test::PlainMessage();
  const std::int32_t checksum = test::PictureChecksum(*msg);
  for (TMsgSearchRec& record : records)
    if (record.ItemId == kPictureItem) record.ItemId = checksum;
  test::SetRecords(*msg, records);
  return msg;
}

TEST(QchTestsFixture, ThePictureIsTheMessagesOneImageAttachment) {
  auto msg = test::PictureMessage();
  TCheckSumArray images;
  msg->GetImageChecksums(images);
  ASSERT_EQ(images.size(), 1u);
  std::string name;
  msg->GetAttachmentNameByCheckSum(images[0], name);
  EXPECT_EQ(name, test::kPictureName);
  images.clear();
  test::PlainMessage()->GetImageChecksums(images);
  EXPECT_TRUE(images.empty());
}

struct CategoryRow {
  const char* What;
  CategorySettings Settings;
  bool Picture;
  std::vector<TMsgSearchRec> Records;
  bool Result;
  const char* Staff;  // standard tests 682 to 689
  Lines Details;
};

TEST(QchCategoryTest, JudgesTheRecordsAsComputedByHand) {
  const CategorySettings defaults;
  const CategoryRow rows[] = {
      {"no records", defaults, false, {}, false, "uuuuuuuu", {kNoQchInformation}},
      {"an overlap of exactly 0.5 reaches MinMatch 50",
       defaults,
       false,
       {Rec().Counts(1, 1, 0).Votes(Mc_Virus, 1)},
       true,
       "nnnnnnnn",
       {"No attachment information was found.",
        "This email has been categorized by users as a Virus 1 times.",
        "There were a total of 1 email that matched this email within 50%"}},
      {"an overlap just below 0.5 does not",
       defaults,
       false,
       {Rec().Counts(49, 51, 0).Votes(Mc_Virus, 9)},
       false,
       "uuuuuuuu",
       {"No attachment information was found.",
        "This email has been categorized by users as a Virus 0 times, which is below the "
        "minimum threshold value of 1.",
        "This email has NOT been categorized by Quorvantis as a Virus."}},
      {"the best match's staff category 8 as standard tests",
       Category(Mc_CommercialSpam, kCategorizedByStaff, -100, 50, 1),
       false,
       {Rec().Counts(95, 5, 0).Staff(Mc_CommercialSpam), Rec().Counts(60, 40, 0).Staff(Mc_Bulk)},
       true,
       "nnnnnnny",
       {"This email has been categorized by Quorvantis as a Commercial Spam."}},
      {"a staff category with its flag bit names no category",
       Category(Mc_CommercialSpam, kCategorizedByStaff, -100, 50, 1),
       false,
       {Rec().Counts(1, 0, 0).Staff(0x80 | Mc_CommercialSpam)},
       false,
       "nnnnnnnn",
       {"This email has NOT been categorized by Quorvantis as a Commercial Spam."}},
      {"MinWeight 0 counts votes of the good matches",
       Category(Mc_CommercialSpam, kCategorizedByUsers, 0, 50, 3),
       false,
       {Rec().Counts(1, 0, 0).Votes(Mc_CommercialSpam, 2),
        Rec().Counts(3, 1, 0).Votes(Mc_CommercialSpam, 1).Votes(Mc_Personal, 5),
        Rec().Counts(1, 3, 0).Votes(Mc_CommercialSpam, 10)},
       true,
       "nnnnnnnn",
       {"This email has been categorized by users as a Commercial Spam 3 times.",
        "There were a total of 2 email that matched this email within 50%"}},
      {"one virus vote on a matched attachment passes with the defaults",
       defaults,
       true,
       {Rec(kMatchAttachment).Item(kPictureItem).Votes(Mc_Virus, 1)},
       true,
       "uuuuuuuu",
       {"Attachment \"pic.gif\" has been categorized by users as a virus 1 times."}},
      {"the staff's virus on an attachment, users' votes not asked",
       Category(Mc_Virus, kCategorizedByStaff, -100, 50, 1),
       true,
       {Rec(kMatchAttachment).Item(kPictureItem).Votes(Mc_Virus, 5).Staff(Mc_Virus)},
       true,
       "uuuuuuuu",
       {"Attachment \"pic.gif\" has been categorized by Quorvantis as a virus."}},
      {"attachments without enough votes are listed, then users and staff",
       Category(Mc_Virus, kCategorizedByEither, -100, 50, 2),
       true,
       {Rec(kMatchAttachment).Item(kPictureItem).Votes(Mc_Virus, 1),
        Rec(kMatchAttachment).Item(12345).Staff(Mc_Bulk)},
       false,
       "uuuuuuuu",
       {"Attachment \"pic.gif\"", "Attachment \"\"",
        "This email has been categorized by users as a Virus 0 times, which is below the "
        "minimum threshold value of 2.",
        "This email has NOT been categorized by Quorvantis as a Virus."}},
      {"votes weighted by overlap from 0.25",
       Category(Mc_CommercialSpam, kCategorizedByUsers, 100, 50, 1),
       false,
       {Rec().Counts(1, 3, 0).Votes(Mc_CommercialSpam, 10),
        Rec().Counts(1, 4, 0).Votes(Mc_CommercialSpam, 100),
        Rec().Counts(2, 0, 0).Votes(Mc_CommercialSpam, 1)},
       true,
       "nnnnnnnn",
       {"This email has been categorized by users as a Commercial Spam with a weight of 350."}},
      {"a weight below MinWeight",
       Category(Mc_CommercialSpam, kCategorizedByUsers, 400, 50, 1),
       false,
       {Rec().Counts(1, 3, 0).Votes(Mc_CommercialSpam, 10),
        Rec().Counts(1, 4, 0).Votes(Mc_CommercialSpam, 100),
        Rec().Counts(2, 0, 0).Votes(Mc_CommercialSpam, 1)},
       false,
       "nnnnnnnn",
       {"This weight given to category Commercial Spam by users is 350, which is below the "
        "minimum threshold value of 400."}},
      {"category 0 has no votes; MinVotes 0 passes; MinMatch 0 takes every record",
       Category(Mc_Unknown, kCategorizedByEither, -100, 0, 0),
       false,
       {Rec().Counts(0, 1, 0).Votes(Mc_CommercialSpam, 3), Rec(kMatchRepetition)},
       true,
       "nnnnnnnn",
       {"This email has been categorized by users as a Unknown 0 times.",
        "There were a total of 2 email that matched this email within 0%"}},
  };
  for (const CategoryRow& row : rows) {
    SCOPED_TRACE(row.What);
    auto test = MakeCategoryTest(row.Settings);
    auto msg = RowMessage(row.Picture, row.Records);
    EXPECT_EQ(test->Evaluate(*msg, nullptr), row.Result);
    EXPECT_EQ(StandardLetters(*msg, TESTNUM_QUOR_CHAINLETTER, TESTNUM_QUOR_SPAM), row.Staff);
    EXPECT_EQ(StandardLetters(*msg, TESTNUM_QUOR_PERSONAL, TESTNUM_QUOR_PERSONAL), "u");
    EXPECT_EQ(test::ExplanationLines(*test), Explained(row.Result, kCategoryCheck, "Cat", row.Details));
    EXPECT_EQ(test->GetResultCode(msg->GetContentId()), row.Result ? "Pa=y" : "Pa=n");
  }
}

struct UniquenessRow {
  const char* What;
  UniquenessSettings Settings;
  std::vector<TMsgSearchRec> Records;
  bool Result;
  const char* Seen;  // standard tests 691 to 705
  Lines Details;
  std::int64_t StrongSightings;
};

TEST(QchUniquenessTest, JudgesTheRecordsAsComputedByHand) {
  const UniquenessSettings defaults;
  const UniquenessRow rows[] = {
      {"no records", defaults, {}, false, "uuuuuuuuuuuuuuu", {kNoQchInformation}, 0},
      {"strong sightings of 1000",
       defaults,
       {Rec().Counts(9, 1, 0).Seen(600), Rec().Counts(1, 0, 0).Seen(400),
        Rec().Counts(1, 1, 0).Seen(5000)},
       true,
       "yyyyyyyyyynnnnn",
       {"6000 email have been seen that match this email within 50% (3 different email total)"},
       1000},
      {"negative sightings",
       defaults,
       {Rec().Counts(1, 0, 0).Seen(-5)},
       false,
       "nnnnnnnnnnnnnnn",
       {"This email has been seen -5 times, which is below the minimum threshold value of 1."},
       -5},
      {"sightings past 32 bits do not wrap",
       defaults,
       {Rec().Counts(1, 0, 0).Seen(kIntMax), Rec().Counts(1, 0, 0).Seen(kIntMax)},
       true,
       "yyyyyyyyyyyyyyy",
       {"4294967294 email have been seen that match this email within 50% (2 different email "
        "total)"},
       4294967294LL},
      {"a repetition factor that reaches MinWeight",
       {10, 50, 1},
       {Rec(kMatchRepetition).Item(95).Seen(4)},
       true,
       "nnnnnnnnnnnnnnn",
       {"This email has a repetition factor of 23."},
       0},
      {"a repetition factor below MinWeight",
       {24, 50, 1},
       {Rec(kMatchRepetition).Item(95).Seen(4)},
       false,
       "nnnnnnnnnnnnnnn",
       {"This email has a repetition factor of 23, which is below the minimum threshold value of "
        "24."},
       0},
      {"MinWeight 0 counts sightings",
       {0, 50, 2},
       {Rec().Counts(1, 0, 0).Seen(1), Rec(kMatchRepetition).Item(1000).Seen(1)},
       false,
       "ynnnnnnnnnnnnnn",
       {"This email has been seen 1 times, which is below the minimum threshold value of 2."},
       1},
  };
  for (const UniquenessRow& row : rows) {
    SCOPED_TRACE(row.What);
    auto test = MakeUniquenessTest(row.Settings);
    auto msg = RowMessage(false, row.Records);
    EXPECT_EQ(test->Evaluate(*msg, nullptr), row.Result);
    EXPECT_EQ(StandardLetters(*msg, TESTNUM_QUOR_SEEN_1, TESTNUM_QUOR_SEEN_16384), row.Seen);
    EXPECT_EQ(test::ExplanationLines(*test),
              Explained(row.Result, kUniquenessCheck, "Seen", row.Details));
    EXPECT_EQ(test->Counts().StrongSightings, row.StrongSightings);
  }
}

// The protocol's steps: the test's own standard test, the cache, the log
// record, an invalid test, a message judged before.
TEST(QchTests, FollowTheEvaluationProtocol) {
  test::LogCapture log;
  auto category = MakeCategoryTest({});
  category->SetStandardTestNum(42);
  auto uniqueness = MakeUniquenessTest({}, "Unique");
  auto msg = RowMessage(true, {Rec(kMatchAttachment).Item(kPictureItem).Votes(Mc_Virus, 1)});
  EXPECT_TRUE(category->Evaluate(*msg, nullptr));
  EXPECT_FALSE(uniqueness->Evaluate(*msg, nullptr));
  EXPECT_EQ(test::StandardTrite(*msg, 42), kTriteYes);
  EXPECT_TRUE(log.Contains(test::LogRecord("Cat", "Msg Picture passed Quorvantis Category Check")));
  EXPECT_TRUE(
      log.Contains(test::LogRecord("Unique", "Msg Picture failed Quorvantis Uniqueness Check")));

  // Judged once: new records change nothing for the same message.
  const Lines before = test::ExplanationLines(*category);
  test::SetRecords(*msg, {});
  EXPECT_TRUE(category->Evaluate(*msg, nullptr));
  EXPECT_EQ(test::ExplanationLines(*category), before);

  for (TTest* test : std::initializer_list<TTest*>{category.get(), uniqueness.get()}) {
    SCOPED_TRACE(test->Name());
    test->SetName("");
    auto other = test::PlainMessage();
    EXPECT_FALSE(test->Evaluate(*other, nullptr));
    EXPECT_EQ(test::ExplanationLines(*test), (Lines{"9 <br>Test is invalid because the Test has no name."}));
    EXPECT_NE(test->LastMsgKey(), other->GetContentId());
    std::atomic<bool> abort{true};
    test->SetName("Back");
    EXPECT_FALSE(test->Evaluate(*other, &abort));
    EXPECT_NE(test->LastMsgKey(), other->GetContentId());
  }
}

TEST(QchTests, DescribeTheirSettings) {
  const std::pair<CategorySettings, const char*> categories[] = {
      {{},
       "The email has been flagged as a Virus by either Quorvantis or by other users where the "
       "email matches at least 50%, and has been categorized at least 1 times."},
      {Category(Mc_CommercialSpam, kCategorizedByStaff, -100, 50, 1),
       "The email has been flagged as a Commercial Spam by Quorvantis."},
      // Judging counts votes at MinWeight 0; the description speaks of weight.
      {Category(Mc_Personal, kCategorizedByUsers, 0, 80, 3),
       "The email has been flagged as a Personal by other users with a weight of at least 0."},
      {Category(Mc_Bulk, kCategorizedByUsers, -1, 80, 3),
       "The email has been flagged as a Bulk by other users where the email matches at least "
       "80%, and has been categorized at least 3 times."},
      {Category(Mc_Hoax, kCategorizedByEither, 250, 50, 1),
       "The email has been flagged as a Hoax by either Quorvantis or by other users with a weight "
       "of at least 250."},
  };
  for (const auto& [settings, text] : categories) EXPECT_EQ(MakeCategoryTest(settings)->Describe(), text);
  const std::pair<UniquenessSettings, const char*> uniqueness[] = {
      {{}, "The total of email matching your email at least 50%, have been seen at least 1 times."},
      {{0, 50, 1}, "email has a uniquness factor of at least 0."},
      {{7, 90, 2}, "email has a uniquness factor of at least 7."},
  };
  for (const auto& [settings, text] : uniqueness)
    EXPECT_EQ(MakeUniquenessTest(settings)->Describe(), text);
  EXPECT_EQ(MakeCategoryTest({})->GetTypeName(), kCategoryCheck);
  EXPECT_EQ(MakeUniquenessTest({})->GetTypeName(), kUniquenessCheck);
}

// ---------------------------------------------------------------------------
// Against the Python model

std::string RecordJson(const TMsgSearchRec& r) {
  std::string counts;
  for (std::uint8_t c = Mc_ChainLetter; c <= Mc_Personal; ++c)
    counts += (counts.empty() ? "" : ",") + std::to_string(CategoryCount(r.Counts, c));
  return "{\"kind\":" + std::to_string(r.Kind) + ",\"times\":" + std::to_string(r.TimesEncountered) +
         ",\"counts\":[" + counts + "],\"staff\":" + std::to_string(r.Counts.StaffCategory) +
         ",\"item\":" + std::to_string(r.ItemId) + ",\"extra\":" + std::to_string(r.ExtraCount) +
         ",\"common\":" + std::to_string(r.CommonCount) +
         ",\"missing\":" + std::to_string(r.MissingCount) + "}";
}

struct ModelCase {
  CategorySettings Category;
  UniquenessSettings Uniqueness;
  bool Picture = false;
  std::vector<TMsgSearchRec> Records;
};

// Random record arrays and settings, with the values where the judgements
// turn: thresholds met exactly, negative and huge counts, every kind.
class CaseMaker {
 public:
  explicit CaseMaker(std::uint32_t seed) : FRandom(seed) {}

  ModelCase Make(std::int32_t picture) {
    ModelCase c;
    const auto category = static_cast<std::uint8_t>(Pick(0, 2) == 0 ? Mc_Virus : Pick(0, 9));
    c.Category = {category, static_cast<std::uint8_t>(Pick(0, 2)), Weight(), Byte(), Threshold()};
    c.Uniqueness = {Weight(), Byte(), Threshold()};
    c.Picture = Pick(0, 2) > 0;
    const int count = Pick(0, 9) == 0 ? 0 : Pick(1, 12);
    for (int i = 0; i < count; ++i) c.Records.push_back(Record(picture, c.Category.MinMatch));
    return c;
  }

 private:
  int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(FRandom); }

  std::int32_t Any() {
    return std::uniform_int_distribution<std::int32_t>(std::numeric_limits<std::int32_t>::min(),
                                                       kIntMax)(FRandom);
  }

  // MinMatch.
  std::uint8_t Byte() {
    const std::uint8_t usual[] = {0, 1, 2, 5, 50, 90, 100, 101, 255};
    return Pick(0, 1) ? usual[Pick(0, 8)] : static_cast<std::uint8_t>(Pick(0, 255));
  }

  // MinVotes.
  std::uint8_t Threshold() {
    return static_cast<std::uint8_t>(Pick(0, 3) ? Pick(0, 5) : Pick(0, 255));
  }

  std::int32_t Weight() {
    const std::int32_t counting[] = {-100, -1, 0};
    const std::int32_t usual[] = {1, 2, 23, 100, 350, 65535, 65536, kIntMax};
    const int pick = Pick(0, 5);
    return pick < 3 ? counting[Pick(0, 2)] : pick < 5 ? usual[Pick(0, 7)] : Any();
  }

  std::int32_t Times() {
    const std::int32_t usual[] = {0, 1, -1, 511, 512, 1000, 16384, kIntMax,
                                  std::numeric_limits<std::int32_t>::min()};
    return Pick(0, 1) ? usual[Pick(0, 8)] : Pick(0, 3) ? Pick(-50, 5000) : Any();
  }

  std::uint16_t Votes() {
    return static_cast<std::uint16_t>(Pick(0, 3) == 0 ? Pick(0, 65535) : Pick(0, 4) == 0 ? 0
                                                                                       : Pick(1, 5));
  }

  TMsgSearchRec Record(std::int32_t picture, std::uint8_t minMatch) {
    const int kind = Pick(0, 5);
    Rec r(static_cast<std::uint8_t>(kind < 3 ? kMatchMessage : kind < 4 ? kMatchAttachment : Pick(0, 6)));
    switch (Pick(0, 4)) {
      case 0:  // exactly at the category test's MinMatch
        r.Counts(minMatch, 100 - std::min<int>(minMatch, 100), 0);
        break;
      case 1:
        r.Counts(Pick(9, 10), Pick(0, 1), 0);  // about the strong overlap
        break;
      case 2:
        r.Counts(Pick(-2, 3), Pick(-1, 3), Pick(0, 3));
        break;
      case 3:
        r.Counts(Any(), Any(), Any());
        break;
      default:
        r.Counts(Pick(0, 20), Pick(0, 20), Pick(0, 20));
    }
    r.Seen(Times());
    for (std::uint8_t c = Mc_ChainLetter; c <= Mc_Personal; ++c)
      if (Pick(0, 2) == 0) r.Votes(c, Votes());
    const std::uint8_t staff[] = {0, 0, 0, 7, 8, 9, 1, 0x87, 255};
    r.Staff(Pick(0, 1) ? staff[Pick(0, 8)] : static_cast<std::uint8_t>(Pick(0, 10)));
    const int item = Pick(0, 3);
    r.Item(item == 0 ? picture : item == 1 ? Pick(-1000, 1000) : Any());
    return r;
  }

  std::mt19937 FRandom;
};

std::string CaseJson(const ModelCase& c, const std::string& pictureChecksum) {
  std::string records;
  for (const TMsgSearchRec& r : c.Records) records += (records.empty() ? "" : ",") + RecordJson(r);
  const CategorySettings& s = c.Category;
  const UniquenessSettings& u = c.Uniqueness;
  return "{\"records\":[" + records + "],\"attachments\":{" +
         (c.Picture ? "\"" + pictureChecksum + "\":\"" + test::kPictureName + "\"" : "") +
         "},\"category\":{\"MsgCategory\":" + std::to_string(s.MsgCategory) +
         ",\"CategorizedBy\":" + std::to_string(s.CategorizedBy) +
         ",\"MinWeight\":" + std::to_string(s.MinWeight) +
         ",\"MinMatch\":" + std::to_string(s.MinMatch) +
         ",\"MinVotes\":" + std::to_string(s.MinVotes) +
         "},\"uniqueness\":{\"MinWeight\":" + std::to_string(u.MinWeight) +
         ",\"MinMatch\":" + std::to_string(u.MinMatch) +
         ",\"MinVotes\":" + std::to_string(u.MinVotes) + "},\"name\":\"Model\"}";
}

// What the model prints for one case, made from the tests' own answers.
std::string Rendered(TTest& test, TEmailMsg& msg, const char* tag, std::int32_t from,
                     std::int32_t to) {
  const bool result = test.Evaluate(msg, nullptr);
  std::string text = std::string(tag) + " " + (result ? "1" : "0") + " " +
                     StandardLetters(msg, from, to) + "\n";
  const TSimpleHtml lines = test.Explanation();
  for (int i = 0; i < lines.Count(); ++i) {
    EXPECT_EQ(lines.GetLevel(i), 9);
    text += "L " + lines[i] + "\n";
  }
  return text;
}

TEST(QchTests, AgreeWithAModelOfTheirJudgementOnRandomRecords) {
  constexpr int kCases = 1000;
  const std::uint32_t picture = static_cast<std::uint32_t>(
      test::PictureChecksum(*test::PictureMessage()));
  ASSERT_NE(picture, 0u);
  CaseMaker maker(20240315);
  std::vector<ModelCase> cases;
  std::string json = "[";
  for (int i = 0; i < kCases; ++i) {
    cases.push_back(maker.Make(static_cast<std::int32_t>(picture)));
    json += (i ? "," : "") + CaseJson(cases.back(), std::to_string(picture));
  }
  json += "]";
  const test::CommandResult model =
      test::RunCommand({test::PythonPath(), test::DataPath("qch_answer_model.py")}, json);
  ASSERT_EQ(model.ExitCode, 0) << model.Output;
  std::vector<std::string> expected;
  std::string block;
  for (const std::string& line : test::OutputLines(model.Output)) {
    if (line == "=") {
      expected.push_back(block);
      block.clear();
    } else {
      block += line + "\n";
    }
  }
  ASSERT_EQ(expected.size(), cases.size());

  auto category = MakeCategoryTest({}, "Model");
  auto uniqueness = MakeUniquenessTest({}, "Model");
  int differences = 0;
  for (std::size_t i = 0; i < cases.size() && differences < 5; ++i) {
    const ModelCase& c = cases[i];
    auto msg = c.Picture ? test::PictureMessage() : test::PlainMessage();
    test::SetRecords(*msg, c.Records);
    category->SetSettings(c.Category);
    uniqueness->SetSettings(c.Uniqueness);
    const std::string judged =
        Rendered(*category, *msg, "C", TESTNUM_QUOR_CHAINLETTER, TESTNUM_QUOR_SPAM) +
        Rendered(*uniqueness, *msg, "U", TESTNUM_QUOR_SEEN_1, TESTNUM_QUOR_SEEN_16384);
    if (judged != expected[i]) ++differences;
    EXPECT_EQ(judged, expected[i]) << "case " << i << ": " << CaseJson(c, std::to_string(picture));
  }
}

// ---------------------------------------------------------------------------
// The rules file

std::string Save(TTestList& list) {
  TQuorIniFile ini("");
  list.SaveToIni(ini, "Global");
  return ini.SaveToStream();
}

void Load(TTestList& list, const std::string& text) {
  TQuorIniFile ini("");
  ini.LoadFromStream(text);
  list.LoadFromIni(ini, "Global");
}

TEST(QchTestsStorage, SectionsRoundTripByteForByte) {
  const std::string rules =
      "[TestList]\r\nTest0=Test-Spam by staff\r\nTest1=Test-Seen often\r\n\r\n"
      "[Test-Spam by staff]\r\nClassName=TQCHCategoryTest\r\nStandardTestNum=700\r\n"
      "UniqueId=QcAt1\r\nMsgCategory=8\r\nCategorizedBy=0\r\nMinWeight=-5\r\nMinMatch=75\r\n"
      "MinVotes=3\r\n\r\n"
      "[Test-Seen often]\r\nClassName=TQCHUniquenessTest\r\nUniqueId=QcUn2\r\nMinWeight=12\r\n"
      "MinMatch=90\r\nMinVotes=200\r\n\r\n";
  TTestList list;
  Load(list, rules);
  ASSERT_EQ(list.Count(), 2);
  auto category = std::dynamic_pointer_cast<TQCHCategoryTest>(list.Items(0));
  auto uniqueness = std::dynamic_pointer_cast<TQCHUniquenessTest>(list.Items(1));
  ASSERT_TRUE(category && uniqueness);
  const CategorySettings c = category->Settings();
  EXPECT_EQ(c.MsgCategory, Mc_CommercialSpam);
  EXPECT_EQ(c.CategorizedBy, kCategorizedByStaff);
  EXPECT_EQ(c.MinWeight, -5);
  EXPECT_EQ(c.MinMatch, 75);
  EXPECT_EQ(c.MinVotes, 3);
  EXPECT_EQ(uniqueness->Settings().MinVotes, 200);
  EXPECT_EQ(Save(list), rules);

  // Statistics come back after a restart: saved, loaded by a new list.
  category->UserCategorised(Mc_CommercialSpam, "Pa=y");
  uniqueness->UserCategorised(Mc_Personal, "Pa=n");
  const std::string saved = Save(list);
  EXPECT_NE(saved, rules);
  TTestList restarted;
  Load(restarted, saved);
  EXPECT_EQ(restarted.Items(0)->GetStatsText(), category->GetStatsText());
  EXPECT_EQ(restarted.Items(1)->GetStatsText(), uniqueness->GetStatsText());
  EXPECT_FALSE(restarted.Items(0)->GetStatsText().empty());
  EXPECT_EQ(Save(restarted), saved);
}

// Values out of range load held to what the fields can mean; a value that
// is no 32-bit number leaves the current one.
TEST(QchTestsStorage, OutOfRangeValuesLoadClamped) {
  const struct Row {
    const char* Key;
    const char* Stored;
    int Category, By, MinWeight, MinMatch, MinVotes;
  } rows[] = {
      {"MsgCategory", "9", 9, 2, -100, 50, 1},      {"MsgCategory", "10", 7, 2, -100, 50, 1},
      {"MsgCategory", "-1", 7, 2, -100, 50, 1},     {"MsgCategory", "0", 0, 2, -100, 50, 1},
      {"CategorizedBy", "3", 7, 2, -100, 50, 1},    {"CategorizedBy", "-1", 7, 2, -100, 50, 1},
      {"CategorizedBy", "1", 7, 1, -100, 50, 1},    {"MinMatch", "500", 7, 2, -100, 255, 1},
      {"MinMatch", "-3", 7, 2, -100, 0, 1},         {"MinVotes", "500", 7, 2, -100, 50, 255},
      {"MinVotes", "256", 7, 2, -100, 50, 255},     {"MinWeight", "-2147483648", 7, 2, -2147483647 - 1, 50, 1},
      {"MinWeight", "4294967296", 7, 2, -100, 50, 1}, {"MinWeight", "many", 7, 2, -100, 50, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.Key) + "=" + row.Stored);
    TTestList list;
    Load(list, "[TestList]\r\nTest0=Test-A\r\nTest1=Test-B\r\n[Test-A]\r\n"
               "ClassName=TQCHCategoryTest\r\n" + std::string(row.Key) + "=" + row.Stored +
                   "\r\n[Test-B]\r\nClassName=TQCHUniquenessTest\r\n" + row.Key + "=" +
                   row.Stored + "\r\n");
    ASSERT_EQ(list.Count(), 2);
    const CategorySettings c = std::dynamic_pointer_cast<TQCHCategoryTest>(list.Items(0))->Settings();
    EXPECT_EQ(c.MsgCategory, row.Category);
    EXPECT_EQ(c.CategorizedBy, row.By);
    EXPECT_EQ(c.MinWeight, row.MinWeight);
    EXPECT_EQ(c.MinMatch, row.MinMatch);
    EXPECT_EQ(c.MinVotes, row.MinVotes);
    const UniquenessSettings u =
        std::dynamic_pointer_cast<TQCHUniquenessTest>(list.Items(1))->Settings();
    EXPECT_EQ(u.MinWeight, row.MinWeight);
    EXPECT_EQ(u.MinMatch, row.MinMatch);
    EXPECT_EQ(u.MinVotes, row.MinVotes);
  }
}

// ---------------------------------------------------------------------------
// The corpus

// Records made of the message's own checksums: a kind-2 record for each
// (those of its image attachments name them), message matches of every
// overlap, and records no service should send.
std::vector<TMsgSearchRec> CorpusRecords(TEmailMsg& msg) {
  TCheckSumArray checksums;
  msg.GetCheckSums(checksums, false);
  std::vector<TMsgSearchRec> records;
  const int n = static_cast<int>(checksums.size());
  for (int i = 0; i < n; ++i) {
    records.push_back(Rec(kMatchAttachment)
                          .Item(static_cast<std::int32_t>(checksums[static_cast<std::size_t>(i)]))
                          .Votes(Mc_Virus, static_cast<std::uint16_t>(i % 3))
                          .Staff(static_cast<std::uint8_t>(i % 10)));
    records.push_back(
        Rec().Counts(i, n - i, i % 4).Seen(i * 1000).Votes(Mc_CommercialSpam, 65535).Staff(8));
  }
  records.push_back(Rec().Counts(-1, kIntMax, kIntMax).Seen(std::numeric_limits<std::int32_t>::min()));
  records.push_back(Rec().Counts(kIntMax, kIntMax, kIntMax).Seen(kIntMax).Staff(255));
  records.push_back(Rec(kMatchRepetition).Item(std::numeric_limits<std::int32_t>::min()).Seen(1));
  records.push_back(Rec(200).Counts(1, 0, 0).Seen(-1).Item(0));
  SortMsgSearchRecs(records);
  return records;
}

TEST(QchTestsCorpus, EveryMessageWithRecordsOfItsOwnChecksums) {
  const std::vector<std::string> files = test::CorpusSample();
  if (files.empty()) GTEST_SKIP() << "no mail corpus";
  std::vector<std::shared_ptr<TTest>> tests = {
      MakeCategoryTest({}), MakeCategoryTest(Category(Mc_CommercialSpam, 1, 50, 0, 255)),
      MakeUniquenessTest({}), MakeUniquenessTest({5, 100, 0})};
  int judged = 0;
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    TEmailMsgRef msg = test::MessageFromBytes(test::CorpusMessageBytes(file));
    test::SetRecords(*msg, CorpusRecords(*msg));
    for (const auto& test : tests) {
      const bool answer = test->Evaluate(*msg, nullptr);
      EXPECT_EQ(test->GetResultCode(msg->GetContentId()), answer ? "Pa=y" : "Pa=n");
      EXPECT_GE(test->Explanation().Count(), 2);
      ++judged;
    }
  }
  EXPECT_GT(judged, 0);
}

}  // namespace
}  // namespace halvorn
