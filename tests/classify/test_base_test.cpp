#include "classify/test_base.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <vector>

#include "foundation/files/quor_ini_file.h"
#include "foundation/threads/abandonment.h"
#include "message/email_msg.h"
#include "foundation/app/log_capture.h"
#include "support/scripted_test.h"

namespace halvorn {
namespace {

using test::MakeScriptedTest;
using test::MakeTestMessage;
using test::TScriptedStep;
using test::TScriptedTest;
using Lines = std::vector<std::string>;

Lines ExplanationLines(const TTest& test) {
  const TSimpleHtml html = test.Explanation();
  Lines lines;
  for (int i = 0; i < html.Count(); ++i)
    lines.push_back(std::to_string(html.GetLevel(i)) + " " + html[i]);
  return lines;
}

TTriteArray Trites(TEmailMsg& msg) {
  TTriteArray trites;
  msg.WithInfo([&](TEmailInfo& info) { trites = info.StandardTests(); });
  return trites;
}

// The protocol's steps around the judging step: the answer, the cache, the
// explanation, the standard-test trite and the log record of a judgement.
TEST(TestProtocol, AJudgementClosesWithTriteCacheExplanationAndLogRecord) {
  test::LogCapture log;
  auto test = MakeScriptedTest("Spam words", true);
  test->SetStandardTestNum(734);
  auto msg = MakeTestMessage("Cheap offer");

  EXPECT_TRUE(test->Evaluate(*msg, nullptr));
  EXPECT_EQ(test->LastMsgKey(), msg->GetContentId());
  EXPECT_TRUE(test->LastResult());
  EXPECT_EQ(ExplanationLines(*test),
            (Lines{"9 <br>email passed scripted test: \"Spam words\".",
                   "9 <br>The script answered yes."}));
  EXPECT_EQ(TriteGet(Trites(*msg), 734), kTriteYes);
  EXPECT_TRUE(log.Contains("\"S=Spam words\",\"T=Msg Cheap offer The script answered yes.\",D=5,E=0,"))
      << log.Text();

  // The same message again: the cached answer, judged once, the explanation
  // as the judgement left it.
  EXPECT_TRUE(test->Evaluate(*msg, nullptr));
  EXPECT_EQ(test->Judged(), Lines{"Cheap offer"});
  EXPECT_EQ(ExplanationLines(*test).size(), 2u);
  EXPECT_EQ(log.Text().find("Msg Cheap offer"), log.Text().rfind("Msg Cheap offer"));
}

TEST(TestProtocol, StandardTestNumbersOutsideTheArrayRecordNothing) {
  const struct {
    std::int32_t Number;
    bool Recorded;
  } rows[] = {{-1, false}, {0, true}, {5000, true}, {5001, false}, {2147483647, false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Number);
    auto test = MakeScriptedTest("T", false);
    test->SetStandardTestNum(row.Number);
    auto msg = MakeTestMessage("s");
    EXPECT_FALSE(test->Evaluate(*msg, nullptr));
    const TTriteArray trites = Trites(*msg);
    EXPECT_EQ(trites.empty(), !row.Recorded);
    if (row.Recorded) {
      EXPECT_EQ(TriteGet(trites, row.Number), kTriteNo);
    }
  }
}

// A set abort flag answers false before anything happens; the message is
// judged at the next call.
TEST(TestProtocol, AnAbortedEvaluationRecordsNothing) {
  auto test = MakeScriptedTest("T", true);
  test->SetStandardTestNum(10);
  auto msg = MakeTestMessage("s");
  std::atomic<bool> abort{true};
  EXPECT_FALSE(test->Evaluate(*msg, &abort));
  EXPECT_EQ(test->LastMsgKey(), -1);
  EXPECT_TRUE(test->Judged().empty());
  EXPECT_TRUE(Trites(*msg).empty());
  EXPECT_EQ(test->Validations(), 0);

  abort = false;
  EXPECT_TRUE(test->Evaluate(*msg, &abort));
  EXPECT_EQ(test->Judged().size(), 1u);
}

// An invalid test explains why, answers false and is asked again each time.
TEST(TestProtocol, AnInvalidTestIsNotCached) {
  auto test = MakeScriptedTest("T", true);
  test->SetInvalidReason("tag is not specified");
  auto msg = MakeTestMessage("s");
  for (int round = 0; round < 2; ++round) {
    EXPECT_FALSE(test->Evaluate(*msg, nullptr));
    EXPECT_EQ(ExplanationLines(*test), Lines{"9 <br>Test is invalid because tag is not specified"});
  }
  EXPECT_EQ(test->Validations(), 2);
  EXPECT_EQ(test->LastMsgKey(), -1);
  EXPECT_TRUE(test->Judged().empty());

  test->SetInvalidReason("");
  EXPECT_TRUE(test->Evaluate(*msg, nullptr));
}

// A judging step that raises still closes (false, cached, explained), and the
// error reaches the caller; an abandoned worker's error passes unchanged.
TEST(TestProtocol, AnErrorWhileJudgingClosesWithFalseAndReachesTheCaller) {
  auto test = MakeScriptedTest("T", true);
  test->SetStandardTestNum(3);
  TScriptedStep raising;
  raising.Answer = true;
  raising.Raise = [] { throw std::runtime_error("list lock timed out"); };
  test->Script("bad", raising);
  TScriptedStep abandoned;
  abandoned.Raise = [] { throw EThreadAbandoned("abandoned"); };
  test->Script("gone", abandoned);

  auto bad = MakeTestMessage("bad");
  EXPECT_THROW(test->Evaluate(*bad, nullptr), std::runtime_error);
  EXPECT_EQ(test->LastMsgKey(), bad->GetContentId());
  EXPECT_FALSE(test->LastResult());
  EXPECT_EQ(TriteGet(Trites(*bad), 3), kTriteNo);
  EXPECT_EQ(ExplanationLines(*test).back(), "5 <br>The script raised an error.");
  EXPECT_FALSE(test->Evaluate(*bad, nullptr));  // cached now

  auto gone = MakeTestMessage("gone");
  EXPECT_THROW(test->Evaluate(*gone, nullptr), EThreadAbandoned);
}

// The stop flag set while the message is judged makes the answer false; it is
// cached like any other.
TEST(TestProtocol, AStopFlagSetWhileJudgingGivesACachedFalse) {
  auto test = MakeScriptedTest("T", true);
  std::atomic<bool> stop{false};
  TScriptedStep step;
  step.Answer = true;
  step.Before = [&](TEmailMsg&) { stop = true; };
  test->SetDefault(step);
  auto msg = MakeTestMessage("s");
  EXPECT_FALSE(test->Evaluate(*msg, &stop));
  stop = false;
  EXPECT_FALSE(test->Evaluate(*msg, &stop));
  EXPECT_EQ(test->Judged().size(), 1u);
}

TEST(TestResultCode, TheCodeOfTheLastMessageByItsKeyOrByZero) {
  auto test = MakeScriptedTest("T", true);
  auto first = MakeTestMessage("first");
  auto second = MakeTestMessage("second");
  EXPECT_EQ(test->GetResultCode(0), "");
  EXPECT_EQ(test->GetResultCode(first->GetContentId()), "");
  test->Evaluate(*first, nullptr);
  const struct {
    std::int32_t Key;
    const char* Code;
  } rows[] = {{0, "Pa=y"}, {first->GetContentId(), "Pa=y"}, {second->GetContentId(), ""}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Key);
    EXPECT_EQ(test->GetResultCode(row.Key), row.Code);
  }
  test->SetDefault(TScriptedStep{});
  test->Evaluate(*second, nullptr);
  EXPECT_EQ(test->GetResultCode(0), "Pa=n");
  EXPECT_EQ(test->GetResultCode(first->GetContentId()), "");
}

// The user's category against the test's answer: the counters of the nine
// categories as "a|b|c|d" texts, for the spam and the personal category.
TEST(TestStatistics, UserCategorisedCountsTheVerdictOnce) {
  const struct {
    std::uint8_t Category;
    const char* Code;
    const char* Stats;
  } rows[] = {
      {8, "Pa=y",
       "0|100|0|0;0|100|0|0;0|100|0|0;0|100|0|0;0|100|0|0;0|100|0|0;0|100|0|0;100|0|0|0;0|100|0|0"},
      {8, "Pa=n",
       "0|0|0|100;0|0|0|100;0|0|0|100;0|0|0|100;0|0|0|100;0|0|0|100;0|0|0|100;0|0|100|0;0|0|0|100"},
      {9, "Pa=y",
       "0|100|0|0;0|100|0|0;0|100|0|0;0|100|0|0;0|100|0|0;0|100|0|0;0|100|0|0;0|100|0|0;100|0|0|0"},
      {8, "\"Pa=y\",VA=3", nullptr},  // classes add pairs after "Pa"
      {8, "Pa=u", ""},                // unknown: nothing counted
      {8, "Pa=yes", ""},
      {8, "Pa=", ""},
      {8, "", ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Code);
    auto test = MakeScriptedTest("T");
    test->UserCategorised(row.Category, row.Code);
    if (row.Stats == nullptr) {
      EXPECT_EQ(test->GetStatsText(), rows[0].Stats);
    } else {
      EXPECT_EQ(test->GetStatsText(), row.Stats);
    }
    EXPECT_EQ(test->Categorisations().size(), 1u);
  }
}

// The probability is measured against the global counts left by the test
// asked before; this test's sums of a and c replace them afterwards.
TEST(TestStatistics, GetCategoryProbabilityReadsTheGlobalCountsBeforeOverwritingThem) {
  auto test = MakeScriptedTest("T");
  test->SetStatsText("1|2|3|4;;;;;;;30|10|20|40;500|50|600|60");
  for (std::uint8_t c = 1; c <= 9; ++c) SetGlobalCategoryCount(c, c == 8 ? 10 : c == 9 ? 30 : 0);
  // The yes half of Commercial spam: 30 of 40 against the prior 10 of 40.
  TCategoryProbability probability;
  test->GetCategoryProbability("Pa=y", probability);
  EXPECT_EQ(probability.Percentage(8), 50);
  EXPECT_EQ(probability.Weight(8), 40);
  const std::uint32_t sums[] = {4, 0, 0, 0, 0, 0, 0, 50, 1100};
  for (std::uint8_t c = 1; c <= 9; ++c) EXPECT_EQ(GlobalCategoryCount(c), sums[c - 1]) << int(c);

  // Asked again, the prior is the test's own sums: 30 of 40 against 50 of
  // 1154.
  test->GetCategoryProbability("Pa=y", probability);
  EXPECT_EQ(probability.Percentage(8), 70);

  // A code without a one-letter "Pa" changes neither.
  TCategoryProbability untouched;
  untouched.SetPercentage(8, 77);
  test->SetStatsText("");
  test->GetCategoryProbability("VA=3", untouched);
  EXPECT_EQ(untouched.Percentage(8), 77);
  EXPECT_EQ(GlobalCategoryCount(8), 50u);
  for (std::uint8_t c = 1; c <= 9; ++c) SetGlobalCategoryCount(c, 0);
}

TEST(TestStatistics, ShowStatsForAMessageWithAndWithoutACode) {
  auto test = MakeScriptedTest("Spam words", true);
  TSimpleHtml html;
  EXPECT_TRUE(test->ShowStats(html, 0));
  ASSERT_EQ(html.Count(), 1);
  EXPECT_EQ(html[0], "<br>No stat data available for test Spam words");
  EXPECT_EQ(html.GetLevel(0), 5);

  auto msg = MakeTestMessage("s");
  test->Evaluate(*msg, nullptr);
  html.Clear();
  html.AddLine("head", 7, kHtmlKindAll, false);
  EXPECT_TRUE(test->ShowStats(html, 0));
  ASSERT_EQ(html.Count(), 3);
  EXPECT_EQ(html[1], "<br>Category Probabilities for TestSpam words");
  EXPECT_EQ(html.GetLevel(1), 7);
  EXPECT_EQ(html[2].rfind("<br>ChainLetter Prob=", 0), 0u) << html[2];
}

// The base keys in their order, "StandardTestNum" only when it counts, an
// empty "TestStats" left out; reading takes the defaults of missing keys.
TEST(TestSettings, BaseKeysSaveAndLoad) {
  auto test = MakeScriptedTest("Spam words", true);
  test->SetUniqueId("Ab3dE");
  test->SetStandardTestNum(734);
  test->SetStatsText("1|2|3|4");
  TQuorIniFile ini("");
  test->SaveToIni(ini);
  EXPECT_EQ(ini.SaveToStream(),
            "[Test-Spam words]\r\nClassName=TScriptedTest\r\nStandardTestNum=734\r\n"
            "UniqueId=Ab3dE\r\nTestStats=1|2|3|4;;;;;;;;\r\nDefaultAnswer=1\r\n\r\n");

  auto loaded = MakeScriptedTest("Spam words");
  loaded->LoadFromIni(ini);
  EXPECT_EQ(loaded->UniqueId(), "Ab3dE");
  EXPECT_EQ(loaded->StandardTestNum(), 734);
  EXPECT_EQ(loaded->GetStatsText(), "1|2|3|4;;;;;;;;");
  EXPECT_TRUE(loaded->DefaultAnswer());

  auto fresh = MakeScriptedTest("Other");
  const std::string id = fresh->UniqueId();
  fresh->SetStandardTestNum(5);
  fresh->SetStatsText("1|1|1|1");
  fresh->LoadFromIni(ini);  // a section that does not exist
  EXPECT_EQ(fresh->UniqueId(), id);
  EXPECT_EQ(fresh->StandardTestNum(), -1);
  EXPECT_EQ(fresh->GetStatsText(), "");
  EXPECT_EQ(id.size(), 5u);

  TQuorIniFile plain("");
  fresh->SaveToIni(plain);
  EXPECT_EQ(plain.SaveToStream(),
            "[Test-Other]\r\nClassName=TScriptedTest\r\nUniqueId=" + id + "\r\nDefaultAnswer=0\r\n\r\n");
}

TEST(TestSettings, SectionNames) {
  auto test = MakeScriptedTest("");
  const struct {
    const char* Section;
    const char* Name;
  } rows[] = {{"Test-Spam", "Spam"}, {"Test-", ""}, {"Tst", ""}, {"XXXXXabc", "abc"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Section);
    test->SetNameFromSection(row.Section);
    EXPECT_EQ(test->Name(), row.Name);
    EXPECT_EQ(test->SectionName(), std::string("Test-") + row.Name);
  }
}

}  // namespace
}  // namespace halvorn
