// The dictionary-attack test: recipients tried from a list against people
// who really share a message, its result code ("VA" rounded as Python's
// round does), its inputs and its stored threshold.
#include "classify/dictionary_attack_test.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "classify/test_numbers.h"
#include "foundation/files/quor_ini_file.h"
#include "foundation/text/list_helpers.h"
#include "foundation/text/numbers.h"
#include "simple_tests_support.h"

namespace halvorn {
namespace {

using test::MessageFromBytes;

std::string MessageTo(const std::vector<std::string>& recipients) {
  std::string to;
  for (const std::string& r : recipients) to += (to.empty() ? "" : ",\r\n ") + r + "@example.test";
  return "From: a@sender.test\r\nTo: " + to + "\r\nSubject: Hi\r\n\r\nHello\r\n";
}

std::vector<std::string> Tried(int count) {
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) names.push_back("jsmith" + std::to_string(i));
  return names;
}

TEST(DictionaryAttackTest, TriedNamesPassAndRealOnesFail) {
  struct Case {
    const char* Name;
    std::vector<std::string> Recipients;
    bool Passes;
  } cases[] = {
      {"tried names", Tried(20), true},
      {"200 tried names", Tried(200), true},
      {"people", {"alice", "robert", "xu", "margarethe", "k.oyelaran"}, false},
  };
  std::vector<double> matches;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TEmailMsgRef msg = MessageFromBytes(MessageTo(c.Recipients));
    TDictionaryAttackTest test;
    test.SetName("Dict");
    test.SetThreshold(60);
    test.SetStandardTestNum(70);
    EXPECT_EQ(test.Evaluate(*msg, nullptr), c.Passes);
    const double match = test.RecipientMatch();
    matches.push_back(match);
    EXPECT_EQ(test::StandardTrite(*msg, 70), c.Passes ? kTriteYes : kTriteNo);
    // 741 only for a likeness above 30.
    EXPECT_EQ(test::StandardTrite(*msg, TESTNUM_DICT_ATTACK),
              match > 30 ? (c.Passes ? kTriteYes : kTriteNo) : kTriteUnknown);
    const std::string code = test.GetResultCode(msg->GetContentId());
    ASSERT_FALSE(code.empty());
    const std::int32_t va = StrToIntDef(CommaTextValue(code, "VA"), -1);
    const auto python = test::RunPython("print(round(float(input())))", ShortestFloatText(match) + "\n");
    EXPECT_EQ(std::to_string(va) + "\n", python.Output);
    // The inputs are VA's binary digits, least significant first.
    const TVectorFloat inputs = test.BuildNNInputs(code);
    ASSERT_EQ(inputs.size(), 7u);
    for (int bit = 0; bit < 7; ++bit) EXPECT_EQ(inputs[bit], (va >> bit & 1) ? 1.0 : 0.0) << bit;
  }
  EXPECT_GT(matches[0], matches[2]);
}

TEST(DictionaryAttackTest, RoundsHalvesToEvenAndStoresTheThreshold) {
  TDictionaryAttackTest test;
  test.SetThreshold(0);
  EXPECT_EQ(test.Validate(), "there is no threshold probability specified.");
  test.SetThreshold(45);
  EXPECT_EQ(test.Validate(), "");
  EXPECT_EQ(test.Describe(), "the average best match between recipients is greater than 45.");
  struct Case {
    const char* Va;
    std::vector<double> Inputs;
  } cases[] = {{"5", {1, 0, 1, 0, 0, 0, 0}}, {"100", {0, 0, 1, 0, 0, 1, 1}}, {"x", {0, 0, 0, 0, 0, 0, 0}}};
  for (const Case& c : cases)
    EXPECT_EQ(test.BuildNNInputs(std::string("VA=") + c.Va), c.Inputs) << c.Va;

  const std::string path = test::OutputFolder("DictAttack") + "/rules.ini";
  {
    TQuorIniFile ini(path);
    test.SetName("Dict");
    test.SaveToIni(ini);
    TDictionaryAttackTest loaded;
    loaded.SetName("Dict");
    loaded.LoadFromIni(ini);
    EXPECT_EQ(loaded.Threshold(), 45);
  }
  EXPECT_DOUBLE_EQ(TDictionaryAttackTest::AttackProbability(0), 45.49);
  EXPECT_DOUBLE_EQ(TDictionaryAttackTest::AttackProbability(97), 100);
}

}  // namespace
}  // namespace halvorn
