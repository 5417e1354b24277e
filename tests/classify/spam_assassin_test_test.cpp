// The rule-set test: the threshold's edges, the explanation against the
// points header, the result code and the network inputs it rebuilds, the
// stored settings, and the cached answer for the same message.
#include "classify/spam_assassin_test.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "classify/rule_catalogue.h"
#include "foundation/files/quor_ini_file.h"
#include "foundation/text/list_helpers.h"
#include "foundation/text/numbers.h"
#include "lists/network_tests.h"
#include "message/email_header.h"
#include "simple_tests_support.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::MessageFromBytes;

const char* const kSpamLike =
    "From: BEST OFFERS <xq7zk@offers.test>\r\n"
    "To: someone@example.test\r\n"
    "Subject: FREE MONEY NOW!!! 1234567\r\n"
    "X-Mailer: Microsoft Outlook Express 6.00.2600.0000\r\n"
    "Message-Id: <x@y>\r\n"
    "\r\n"
    "Dear friend, this is a limited time offer. Click here to be removed. 100% FREE!\r\n"
    "Act now! No cost, no obligation, money back guarantee.\r\n";

TEST(SpamAssassinTest, ThresholdEdges) {
  struct Case {
    double Total;
    std::int32_t Threshold;
    bool Passes;
  } cases[] = {
      {5.0, 50, true},           {4.999, 50, false},        {2.139 + 2.861, 50, true},
      {0.1 + 0.2 + 4.7, 50, true}, {100, 0, false},         {-5.0, -50, true},
      {-5.001, -50, false},      {0, -50, true},            {2.5, 25, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.Total) + " / " + std::to_string(c.Threshold));
    EXPECT_EQ(TSpamAssassinTest::TotalReaches(c.Total, c.Threshold), c.Passes);
  }
}

TEST(SpamAssassinTest, PointsTextIsShortAndLocaleFree) {
  // A German locale would write a comma through printf; to_chars never does.
  const char* old = std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
  EXPECT_EQ(SpamAssassinPointsText(2.139), "2.139");
  EXPECT_EQ(SpamAssassinPointsText(-10), "-10");
  EXPECT_EQ(SpamAssassinPointsText(2.5), "2.5");
  EXPECT_EQ(SpamAssassinPointsText(1.0 + 2.139), "3.139");
  EXPECT_EQ(SpamAssassinPointsText(0.1 + 0.2), "0.3");
  if (old != nullptr) std::setlocale(LC_NUMERIC, "C");
}

TEST(SpamAssassinTest, ExplanationAddsUpToThePointsHeader) {
  TScopedNetworkTests offline(false);
  TSpamAssassinTest test;
  test.SetName("Rules");
  test.SetProgramClock([] { return std::int64_t{0}; });
  TEmailMsgRef msg = MessageFromBytes(kSpamLike);
  const bool answer = test.Evaluate(*msg, nullptr);

  std::string header;
  {
    TCriticalSectionGuard guard(msg->MessageLock());
    ASSERT_TRUE(msg->GetHeader()->GetValue(TSpamAssassinTest::kPointsHeader, header));
  }
  const TSimpleHtml html = test.Explanation();
  ASSERT_GE(html.Count(), 2);
  EXPECT_NE(html[0].find(std::string(answer ? "email passed" : "email failed") +
                         " Spam Assassan Test: \"Rules\"."),
            std::string::npos);
  EXPECT_NE(html[html.Count() - 1].find("Total points = " + header), std::string::npos);

  // Each fired rule: its points line, then its description; their sum is
  // the header's total, and each fired rule is yes in RuleResults.
  const TTriteArray results = test.RuleResults();
  double sum = 0;
  int fired = 0;
  for (int i = 1; i + 1 < html.Count(); ++i) {
    const std::string& line = html[i];
    const std::size_t at = line.find(" points added for test ");
    if (at == std::string::npos) continue;
    const std::string name = line.substr(at + 23);
    int rule = -1;
    for (int r = 0; r < kRuleCount; ++r)
      if (GetSATestName(static_cast<std::uint16_t>(r)) == name) rule = r;
    ASSERT_GE(rule, 0) << line;
    EXPECT_EQ(TriteGet(results, rule), kTriteYes) << name;
    EXPECT_NE(html[i + 1].find("(" + GetSATestDescription(static_cast<std::uint16_t>(rule)) + ")."),
              std::string::npos);
    sum += GetSATestScore(static_cast<std::uint16_t>(rule));
    ++fired;
  }
  EXPECT_GT(fired, 3);
  EXPECT_EQ(SpamAssassinPointsText(sum), header);
  EXPECT_EQ(answer, TSpamAssassinTest::TotalReaches(sum, 50));
  EXPECT_EQ(test::StandardTrite(*msg, 443), kTriteYes);  // SUBJ_ALL_CAPS

  // The same message again answers from the cache with the same outcomes.
  const std::string code = test.GetResultCode(msg->GetContentId());
  EXPECT_EQ(test.Evaluate(*msg, nullptr), answer);
  EXPECT_EQ(test.GetResultCode(msg->GetContentId()), code);
  EXPECT_EQ(TriteArrayFromText(CommaTextValue(code, "VA")), results);

  // The inputs rebuilt from the code: 1 for each fired rule, the total
  // ramped over 0 to 40 points.
  const TVectorFloat inputs = test.BuildNNInputs(code);
  ASSERT_EQ(inputs.size(), std::size_t(TSpamAssassinTest::kInputs));
  int ones = 0;
  for (int i = 0; i < kRuleCount; ++i) ones += inputs[std::size_t(i)] == 1.0;
  EXPECT_EQ(ones, fired);
  EXPECT_NEAR(inputs[kRuleCount], RampScore(1, sum, 0, 40), 1e-12);
}

TEST(SpamAssassinTest, InputsFromCodes) {
  TSpamAssassinTest test;
  const TVectorFloat none = test.BuildNNInputs("Pa=n");
  ASSERT_EQ(none.size(), std::size_t(633));
  for (double v : none) EXPECT_EQ(v, 0.0);
  // Rules 2 (10 points) five times over is not possible; 2, 17, 18, 19, 22,
  // 65, 67 and 500 add up to 10 + 4 * 4 + 4.9 + 6.8 + 5 = 42.7 points.
  TTriteArray fired;
  for (int rule : {2, 17, 18, 19, 22, 65, 67, 500}) TriteSetBool(fired, rule, true, false);
  const TVectorFloat inputs =
      test.BuildNNInputs("Pa=y,VA=" + TriteArrayToCompressedText(fired));
  EXPECT_EQ(inputs[632], 1.0);
  EXPECT_EQ(inputs[2], 1.0);
  EXPECT_EQ(inputs[3], 0.0);
}

TEST(SpamAssassinTest, SettingsDescriptionAndNames) {
  TSpamAssassinTest test;
  EXPECT_EQ(test.GetTypeName(), "Spam Assassin Test");
  EXPECT_EQ(test.Describe(), "the number of points the email accumulates is greater than 5");
  test.SetThreshold(25);
  EXPECT_EQ(test.Describe(), "the number of points the email accumulates is greater than 2.5");
  const std::vector<std::string> names = test.Net().InputNames();
  ASSERT_EQ(names.size(), std::size_t(633));
  EXPECT_EQ(names[0], "SK_BAD_MS_HEADERS");
  EXPECT_EQ(names[632], "Total points");

  const std::string path = test::OutputFolder("SpamAssassin") + "/rules.ini";
  {
    TQuorIniFile ini(path);
    test.SetName("Rules");
    test.SetThreshold(-50);
    test.SaveToIni(ini);
    ini.UpdateFile();
  }
  TSpamAssassinTest loaded;
  TQuorIniFile ini(path);
  loaded.SetName("Rules");
  loaded.LoadFromIni(ini);
  EXPECT_EQ(loaded.Threshold(), -50);
}

TEST(SpamAssassinTest, AbortBeforeStartChangesNothing) {
  TSpamAssassinTest test;
  std::atomic<bool> abort{true};
  TEmailMsgRef msg = MessageFromBytes(kSpamLike);
  EXPECT_FALSE(test.Evaluate(*msg, &abort));
  EXPECT_TRUE(test.RuleResults().empty());
  EXPECT_EQ(test.GetResultCode(msg->GetContentId()), "");
}

}  // namespace
}  // namespace halvorn
