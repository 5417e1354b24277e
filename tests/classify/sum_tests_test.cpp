// The weighted-combination test worked by hand over scripted tests, and the
// category-probability test over the message's category headers.
#include "classify/sum_tests.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "foundation/files/quor_ini_file.h"
#include "simple_tests_support.h"
#include "support/scripted_test.h"

namespace halvorn {
namespace {

using test::ExplanationLines;
using test::Lines;
using test::MakeScriptedTest;
using test::MakeTestMessage;
using test::ScopedTestList;
using test::TScriptedStep;
using Entries = std::vector<TSumTestRec>;

std::shared_ptr<TSumTest> MakeSum(const std::string& name, std::int32_t threshold,
                                  Entries entries) {
  auto test = std::make_shared<TSumTest>();
  test->SetName(name);
  test->SetThreshold(threshold);
  test->SetEntries(std::move(entries));
  return test;
}

// A (+60 passed) and B (+50 passed, -20 failed) against a threshold: the
// total must exceed it. The entries are explained from the last to the
// first, then the total and the threshold, under the headline.
TEST(SumTest, PointsAgainstTheThreshold) {
  struct Row {
    bool A, B;
    std::int32_t Threshold;
    bool Result;
    Lines Explanation;
  } rows[] = {
      {true,
       true,
       100,
       true,
       {"9 <br>email passed Weighted Combination Test: \"Points\".",
        "6 <br>50 points were added when email passed test \"B\".",
        "6 <br>60 points were added when email passed test \"A\".",
        "8 <br>Total points accumulated for this email was 110", "9 <br>Threshold is 100"}},
      {true,
       false,
       100,
       false,
       {"9 <br>email failed Weighted Combination Test: \"Points\".",
        "6 <br>20 points were subtracted when email failed test \"B\".",
        "6 <br>60 points were added when email passed test \"A\".",
        "8 <br>Total points accumulated for this email was 40", "9 <br>Threshold is 100"}},
      {true,
       true,
       110,
       false,
       {"9 <br>email failed Weighted Combination Test: \"Points\".",
        "6 <br>50 points were added when email passed test \"B\".",
        "6 <br>60 points were added when email passed test \"A\".",
        "8 <br>Total points accumulated for this email was 110", "9 <br>Threshold is 110"}},
      {false,
       false,
       -21,
       true,
       {"9 <br>email passed Weighted Combination Test: \"Points\".",
        "6 <br>20 points were subtracted when email failed test \"B\".",
        "8 <br>email failed test \"A\" (no points).",
        "8 <br>Total points accumulated for this email was -20", "9 <br>Threshold is -21"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.A << row.B << " " << row.Threshold);
    ScopedTestList list;
    list.Add(MakeScriptedTest("A", row.A));
    list.Add(MakeScriptedTest("B", row.B));
    auto sum = list.Add(MakeSum("Points", row.Threshold, {{"A", 60, 0}, {"B", 50, -20}}));
    sum->SetStandardTestNum(12);
    auto msg = MakeTestMessage("m");
    EXPECT_EQ(sum->Evaluate(*msg, nullptr), row.Result);
    EXPECT_EQ(ExplanationLines(*sum), row.Explanation);
    EXPECT_EQ(test::StandardTrite(*msg, 12), row.Result ? kTriteYes : kTriteNo);
    EXPECT_EQ(sum->LastMsgKey(), msg->GetContentId());
  }
}

// Totals are 64-bit; the points shown have no sign, also at the 32-bit
// limit; tests that do not exist and entries without points are passed over
// silently; no entries at all pass a negative threshold only.
TEST(SumTest, LargeTotalsMissingTestsAndEmptyEntries) {
  ScopedTestList list;
  auto a = list.Add(MakeScriptedTest("A", true));
  auto b = list.Add(MakeScriptedTest("B", false));
  auto msg = MakeTestMessage("m");

  auto big = list.Add(MakeSum("Big", 100, {{"A", 2000000000, 0}, {"B", 0, 2000000000}}));
  EXPECT_TRUE(big->Evaluate(*msg, nullptr));
  EXPECT_EQ(ExplanationLines(*big)[3],
            "8 <br>Total points accumulated for this email was 4000000000");

  auto least =
      list.Add(MakeSum("Least", 0, {{"A", -2147483647 - 1, 0}, {"Gone", 5, 5}, {"B", 0, 0}}));
  EXPECT_FALSE(least->Evaluate(*msg, nullptr));
  EXPECT_EQ(ExplanationLines(*least),
            (Lines{"9 <br>email failed Weighted Combination Test: \"Least\".",
                   "6 <br>2147483648 points were subtracted when email passed test \"A\".",
                   "8 <br>Total points accumulated for this email was -2147483648",
                   "9 <br>Threshold is 0"}));
  EXPECT_EQ(least->Describe(),
            "If email passes test \"A\", 2147483648 points will be subtracted from  the total.\r\n"
            "If email passes test \"Gone\", 5 points will be added to  the total.\r\n"
            "If email Fails test \"Gone\", 5 points will be added to  the total.\r\n");
  EXPECT_EQ(least->GetNote(), "Warning:\r\nThe referenced test \"Gone\" no longer exists.");

  for (const std::int32_t threshold : {-1, 0}) {
    auto none = MakeSum("None", threshold, {});
    EXPECT_EQ(none->Evaluate(*msg, nullptr), threshold < 0);
    EXPECT_EQ(none->Validate(), "no tests have been added");
    EXPECT_EQ(none->Describe(),
              "This Test IS INCOMPLETE/INVALID because no tests have been added.");
  }
  EXPECT_EQ(a->Judged().size(), 1u);  // answered from its cache after the first
  EXPECT_EQ(b->Judged().size(), 1u);
  EXPECT_EQ(big->GetNote(),
            "Warning:\r\nIt is important to avoid adding tests that will create an endless loop");
}

// A stop request answers false and records nothing; an error of a referred
// test reaches the caller and nothing is cached.
TEST(SumTest, StopsAndErrorsCacheNothing) {
  ScopedTestList list;
  std::atomic<bool> stop{false};
  auto a = list.Add(MakeScriptedTest("A", true));
  TScriptedStep stopping;
  stopping.Answer = true;
  stopping.Before = [&stop](TEmailMsg&) { stop = true; };
  a->Script("stops", stopping);
  TScriptedStep raising;
  raising.Raise = [] { throw std::runtime_error("lock timed out"); };
  a->Script("raises", raising);
  auto sum = list.Add(MakeSum("S", -100, {{"A", 1, 1}}));
  sum->SetStandardTestNum(3);

  auto stops = MakeTestMessage("stops");
  EXPECT_FALSE(sum->Evaluate(*stops, &stop));
  EXPECT_EQ(sum->LastMsgKey(), -1);
  EXPECT_EQ(test::StandardTrite(*stops, 3), kTriteUnknown);

  auto raises = MakeTestMessage("raises");
  EXPECT_THROW(sum->Evaluate(*raises, nullptr), std::runtime_error);
  EXPECT_EQ(sum->LastMsgKey(), -1);
}

TEST(SumTest, EntriesRenamesAndStorage) {
  TSumTest sum;
  sum.SetName("S");
  EXPECT_EQ(sum.Threshold(), 100);
  EXPECT_EQ(sum.AddEntry("A"), 0);
  EXPECT_EQ(sum.AddEntry("B"), 1);
  EXPECT_EQ(sum.AddEntry("A"), 2);
  EXPECT_EQ(sum.FindEntry("A"), 0);
  EXPECT_EQ(sum.FindEntry("a"), -1);
  EXPECT_TRUE(sum.SetEntry(1, {"B", 0, 7}));
  EXPECT_FALSE(sum.SetEntry(3, {"C", 1, 1}));
  EXPECT_EQ(sum.Entry(5), TSumTestRec{});
  sum.TestRenamed("New", "A");
  EXPECT_EQ(sum.Entries(), (Entries{{"New", 0, 0}, {"B", 0, 7}, {"A", 0, 0}}));

  // Saving drops the entries without points and numbers the rest from 0.
  sum.SetEntries({{"A", 0, 0}, {"B", 5, 0}, {"C", 0, 0}, {"D", 0, -3}, {"E", 0, 0}});
  TQuorIniFile ini("");
  sum.SaveToIni(ini);
  TStringList lines;
  ini.ReadSectionValues("Test-S", lines);
  const Lines written = lines.ToVector();
  EXPECT_EQ(Lines(written.begin() + 2, written.end()),
            (Lines{"Threshold=100", "TestName0=B", "SuccessPoints0=5", "FailurePoints0=0",
                   "TestName1=D", "SuccessPoints1=0", "FailurePoints1=-3"}));
  EXPECT_EQ(sum.EntryCount(), 2);

  // Loading stops at the first missing name, whatever follows.
  TQuorIniFile gap("");
  gap.LoadFromStream(
      "[Test-S]\r\nThreshold=-7\r\nTestName0=X\r\nSuccessPoints0=4\r\nTestName1=\r\n"
      "SuccessPoints1=9\r\nTestName2=Z\r\nFailurePoints2=2\r\n");
  TSumTest loaded;
  loaded.SetName("S");
  loaded.LoadFromIni(gap);
  EXPECT_EQ(loaded.Threshold(), -7);
  EXPECT_EQ(loaded.Entries(), (Entries{{"X", 4, 0}}));
}

// ---------------------------------------------------------------------------
// Category probability

TEST(CategoryProbabilityTest, ComparesTheMessagesPercentage) {
  struct Row {
    std::int32_t Threshold;
    std::uint8_t Category;
    bool Result;
    Lines Explanation;
  } rows[] = {
      {75,
       Mc_CommercialSpam,
       true,
       {"9 <br>email passed Category Probability Test: \"Spammy\".",
        "8 <br>The probability that this email is a Commercial Spam is 80 percent",
        "9 <br>Test threshold is 75 percent."}},
      {80,
       Mc_CommercialSpam,
       true,
       {"9 <br>email passed Category Probability Test: \"Spammy\".",
        "8 <br>The probability that this email is a Commercial Spam is 80 percent",
        "9 <br>Test threshold is 80 percent."}},
      {81,
       Mc_CommercialSpam,
       false,
       {"9 <br>email failed Category Probability Test: \"Spammy\".",
        "8 <br>The probability that this email is a Commercial Spam is 80 percent",
        "9 <br>Test threshold is 81 percent."}},
      {1,
       0,
       false,
       {"9 <br>email failed Category Probability Test: \"Spammy\".",
        "8 <br>The probability that this email is a Unknown is 0 percent",
        "9 <br>Test threshold is 1 percent."}},
      {1,
       12,
       false,
       {"9 <br>email failed Category Probability Test: \"Spammy\".",
        "8 <br>The probability that this email is a Unknown is 0 percent",
        "9 <br>Test threshold is 1 percent."}},
      {0,
       12,
       true,  // invalid, and judged all the same
       {"9 <br>email passed Category Probability Test: \"Spammy\".",
        "8 <br>The probability that this email is a Unknown is 0 percent",
        "9 <br>Test threshold is 0 percent."}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.Threshold << " " << int(row.Category));
    TCategoryProbabilityTest test;
    test.SetName("Spammy");
    test.SetThreshold(row.Threshold);
    test.SetMsgCategory(row.Category);
    test.SetStandardTestNum(9);
    auto msg = test::MessageFromBytes(
        "Subject: s\r\nX-Quor-CommercialSpam: 80\r\nX-Quor-Personal: 20\r\n\r\nBody\r\n");
    EXPECT_EQ(test.Evaluate(*msg, nullptr), row.Result);
    EXPECT_EQ(ExplanationLines(test), row.Explanation);
    EXPECT_EQ(test::StandardTrite(*msg, 9), row.Result ? kTriteYes : kTriteNo);
  }
}

TEST(CategoryProbabilityTest, DefaultsAndWords) {
  TCategoryProbabilityTest test;
  EXPECT_EQ(test.Threshold(), 75);
  EXPECT_EQ(test.MsgCategory(), Mc_CommercialSpam);
  EXPECT_EQ(test.GetTypeName(), "Category Probability Test");
  EXPECT_EQ(test.Validate(), "");
  EXPECT_EQ(test.Describe(),
            "the probability of the email being a Commercial Spam is at least 75 percent.");
  test.SetThreshold(-2147483647 - 1);
  test.SetMsgCategory(Mc_Personal);
  EXPECT_EQ(test.Describe(),
            "the probability of the email being a Personal is at least 2147483648 percent.");
  test.SetThreshold(0);
  EXPECT_EQ(test.Validate(), "there is no threshold probability specified.");
  EXPECT_EQ(test.Describe(),
            "This Test IS INCOMPLETE/INVALID because there is no threshold probability "
            "specified..");
  EXPECT_EQ(test.GetNote(), "");

  // "MsgCategory" keeps its low byte.
  TQuorIniFile ini("");
  ini.LoadFromStream("[Test-C]\r\nThreshold=60\r\nMsgCategory=265\r\n");
  TCategoryProbabilityTest loaded;
  loaded.SetName("C");
  loaded.LoadFromIni(ini);
  EXPECT_EQ(loaded.Threshold(), 60);
  EXPECT_EQ(loaded.MsgCategory(), 9);
}

}  // namespace
}  // namespace halvorn
