// The DCC test without a server: the verdict over answered counts, its
// stored settings, its inputs and report, and what it says when it cannot
// ask.
#include "classify/dcc_test.h"

#include <gtest/gtest.h>

#include <string>

#include "classify/test_numbers.h"
#include "foundation/files/quor_ini_file.h"
#include "lists/dcc/dcc_server_list.h"
#include "simple_tests_support.h"

namespace halvorn {
namespace {

using TConditions = std::array<TDccTest::TCondition, TDccTest::kKinds>;

TConditions AllIgnored() {
  TConditions c;
  for (auto& k : c) k.Operator = TDccTest::kIgnored;
  return c;
}

// A record answered with the counts per kind (in the kinds' order).
TDccChecksums Answered(const std::array<std::uint32_t, TDccTest::kKinds>& counts) {
  TDccChecksums record;
  ClearDccRecord(record);
  for (int k = 0; k < TDccTest::kKinds; ++k) {
    const int type = TDccTest::Kinds()[static_cast<std::size_t>(k)].ChecksumType;
    TDigest16 sum{};
    sum[0] = static_cast<std::uint8_t>(type);
    SetDccSum(type, sum, record);
    record.Slots[static_cast<std::size_t>(IndexOfDccSum(type, record) - 1)].TargetCount =
        counts[static_cast<std::size_t>(k)];
  }
  return record;
}

TEST(DccTestJudge, ConditionsJoinInKindOrder) {
  const TDccChecksums record = Answered({1, 2, 3, 4, 50, DCC_TGTS_TOO_MANY, 7});
  constexpr int kBody = 4, kFuz1 = 5, kFuz2 = 6;
  struct Case {
    const char* Name;
    TConditions Conditions;
    bool Judged;
  };
  auto with = [](std::initializer_list<std::pair<int, TDccTest::TCondition>> set) {
    TConditions c = AllIgnored();
    for (const auto& [kind, condition] : set) c[static_cast<std::size_t>(kind)] = condition;
    return c;
  };
  using C = TDccTest::TCondition;
  const Case cases[] = {
      {"all ignored", AllIgnored(), false},
      {"fuzzy MANY", with({{kFuz1, C{TDccTest::kOr, DCC_TGTS_TOO_MANY, TDccTest::kExactly}}}), true},
      {"body more than 49", with({{kBody, C{TDccTest::kOr, 49, TDccTest::kMoreThan}}}), true},
      {"body more than 50", with({{kBody, C{TDccTest::kOr, 50, TDccTest::kMoreThan}}}), false},
      {"body less than 51", with({{kBody, C{TDccTest::kOr, 51, TDccTest::kLessThan}}}), true},
      {"and fails", with({{kBody, C{TDccTest::kOr, 50, TDccTest::kExactly}},
                          {kFuz2, C{TDccTest::kAnd, 8, TDccTest::kExactly}}}), false},
      {"or passes", with({{kBody, C{TDccTest::kOr, 49, TDccTest::kExactly}},
                          {kFuz2, C{TDccTest::kOr, 7, TDccTest::kExactly}}}), true},
  };
  for (const Case& c : cases) EXPECT_EQ(TDccTest::Judge(c.Conditions, record), c.Judged) << c.Name;
}

TEST(DccTestSettings, StoredInputsAndReport) {
  TDccTest test;
  test.SetName("Dcc");
  test.SetServerId(1234);
  test.SetCondition(5, {TDccTest::kAnd, 17, TDccTest::kLessThan});
  const std::string path = test::OutputFolder("DccTest") + "/rules.ini";
  TQuorIniFile ini(path);
  test.SaveToIni(ini);
  TDccTest loaded;
  loaded.SetName("Dcc");
  loaded.LoadFromIni(ini);
  EXPECT_EQ(loaded.ServerId(), 1234);
  for (int k = 0; k < TDccTest::kKinds; ++k) EXPECT_EQ(loaded.Condition(k), test.Condition(k)) << k;

  // The fuzzy count MANY sets its own input, named after it in the report.
  const TVectorFloat inputs = test.BuildNNInputs("BC=3,F1=" + std::to_string(DCC_TGTS_TOO_MANY) + ",F2=3,ML=0");
  ASSERT_EQ(inputs.size(), 47u);
  EXPECT_EQ(inputs[5], 1.0);
  TSimpleHtml html;
  ASSERT_TRUE(test.ShowCategoryProbabilities("BC=3,F1=" + std::to_string(DCC_TGTS_TOO_MANY) + ",F2=3,ML=0", html));
  std::string report;
  for (int i = 0; i < html.Count(); ++i) report += html[i] + "\n";
  EXPECT_NE(report.find("Fuzz1 MANY"), std::string::npos) << report;
  EXPECT_NE(report.find("FuzzBodyDif7"), std::string::npos) << report;
  EXPECT_EQ(report.find("Body At Least one"), std::string::npos);
}

TEST(DccTestSettings, WithoutServersNothingIsRecorded) {
  const auto old = GlobalDccServerList();
  SetGlobalDccServerList(std::make_shared<TDccServerList>());
  TDccTest test;
  test.SetName("Dcc");
  test.SetStandardTestNum(70);
  const std::string reason = test.Validate();
  EXPECT_TRUE(reason.find(kDccLibraryFileName) != std::string::npos ||
              reason == "No Dcc servers have been added to the list")
      << reason;
  TEmailMsgRef msg = test::MessageFromBytes("From: a@b.test\r\nSubject: x\r\n\r\nBody\r\n");
  test.Preprocess(*msg);
  EXPECT_FALSE(test.Evaluate(*msg, nullptr));
  for (std::int32_t number : {70, 706, 724}) EXPECT_EQ(test::StandardTrite(*msg, number), kTriteUnknown) << number;
  SetGlobalDccServerList(old);
}

}  // namespace
}  // namespace halvorn
