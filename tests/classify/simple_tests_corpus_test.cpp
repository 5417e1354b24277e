// One test of each of the twelve classes judges the corpus messages (under
// the sanitizers in the test command): no report, an explanation for every
// judgement, the result code and the cache agreeing with the answer. Every
// tenth message by default, every message with HALVORN_FULL_CORPUS set; in
// two slices, each a test of its own, so that they run side by side.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "classify/info_tag_test.h"
#include "classify/logical_test.h"
#include "classify/regular_expression_test.h"
#include "classify/size_and_address_tests.h"
#include "classify/sum_tests.h"
#include "classify/unblock_code_tests.h"
#include "classify/value_tests.h"
#include "simple_tests_support.h"

namespace halvorn {
namespace {

constexpr std::size_t kSlices = 2;

void JudgeCorpusSlice(std::size_t slice) {
  const std::vector<std::string> files = test::CorpusSample();
  if (files.empty()) GTEST_SKIP() << "no mail corpus";
  test::ScopedPhraseLists lists;
  lists.Add("{Approved Senders}", {"*@example.com", "*@lists.sourceforge.net", "jm@jmason.org"},
            pltEmailAddress);
  lists.Add("{Body Text List}", {"* free *", "* click here *", "* remove *", "* viagra *"});
  lists.Add("{New IP List}", {"127.*", "10.*", "192.168.*", "64.*", "*.*.*.1"}, pltIPList);
  test::ScopedTestList list;

  auto tag = list.Add(std::make_shared<TTagValueTest>());
  tag->SetName("Senders");
  tag->SetTag("From");
  tag->SetValue("{Approved Senders}");
  auto body = list.Add(std::make_shared<TBodyTextTest>());
  body->SetName("Words");
  body->SetValue("{Body Text List}");
  auto raw = list.Add(std::make_shared<TBodyTextTest>());
  raw->SetName("Raw words");
  raw->SetValue("*unsubscribe*");
  raw->SetInlineOnly(false);
  auto ip = list.Add(std::make_shared<TIPCheckTest>());
  ip->SetName("Relays");
  ip->SetIPRange("{New IP List}");
  auto logical = list.Add(std::make_shared<TLogicalTest>());
  logical->SetName("Logic");
  logical->SetTerms({{kLogicalAndNot, "Senders"}, {kLogicalOr, "Words"}, {kLogicalXor, "Relays"}});
  auto sum = list.Add(std::make_shared<TSumTest>());
  sum->SetName("Points");
  sum->SetThreshold(30);
  sum->SetEntries({{"Words", 40, 0}, {"Relays", 10, -5}, {"Logic", 20, -20}, {"Big", 15, 0}});
  auto category = list.Add(std::make_shared<TCategoryProbabilityTest>());
  category->SetName("Category");
  auto regex = list.Add(std::make_shared<TRegularExpressionTest>());
  regex->SetName("Pattern");
  regex->SetExpression("(viagra|mortgage|lottery|click\\s+here|remove.*list)");
  auto contains = list.Add(std::make_shared<TContainsUnblockCodeTest>());
  contains->SetName("Code");
  auto bounced = list.Add(std::make_shared<TBouncedUnblockCodeTest>());
  bounced->SetName("Bounce");
  auto size = list.Add(std::make_shared<TMsgSizeTest>());
  size->SetName("Big");
  size->SetMaxBytes(10000);
  auto mine = list.Add(std::make_shared<TMyAddrTest>());
  mine->SetName("Mine");
  auto info = list.Add(std::make_shared<TQuorInfoTest>());
  info->SetName("Info");
  info->SetTag("QuorCategory");
  info->SetValue("8");

  int judged = 0;
  for (std::size_t i = slice; i < files.size(); i += kSlices) {
    SCOPED_TRACE(files[i]);
    TEmailMsgRef msg = test::MessageFromBytes(test::CorpusMessageBytes(files[i]));
    for (const auto& test : list->Snapshot()) {
      const bool answer = test->Evaluate(*msg, nullptr);
      EXPECT_EQ(test->Evaluate(*msg, nullptr), answer) << test->Name();
      EXPECT_EQ(test->LastMsgKey(), msg->GetContentId()) << test->Name();
      EXPECT_EQ(test->GetResultCode(msg->GetContentId()), answer ? "Pa=y" : "Pa=n");
      EXPECT_GT(test->Explanation().Count(), 0) << test->Name();
      ++judged;
    }
  }
  EXPECT_GT(judged, 0);
}

TEST(SimpleTestsCorpus, Slice0) { JudgeCorpusSlice(0); }
TEST(SimpleTestsCorpus, Slice1) { JudgeCorpusSlice(1); }

}  // namespace
}  // namespace halvorn
