// The twelve test classes as the program uses them: the processing thread
// judges a stream of messages while the main thread edits the settings of the
// same tests (terms and entries included), renames phrase lists and tests,
// asks for validation, words and notes, and saves and loads the tests. Run
// under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "classify/info_tag_test.h"
#include "classify/logical_test.h"
#include "classify/regular_expression_test.h"
#include "classify/size_and_address_tests.h"
#include "classify/sum_tests.h"
#include "classify/unblock_code_tests.h"
#include "classify/value_tests.h"
#include "foundation/files/quor_ini_file.h"
#include "simple_tests_support.h"

namespace halvorn {
namespace {

TEST(SimpleTestsThreads, JudgingWhileTheMainThreadEditsRenamesAndSaves) {
  test::ScopedPhraseLists lists;
  auto senders = lists.Add("{Approved Senders}", {"ann@example.org"}, pltEmailAddress);
  lists.Add("{Body Text List}", {"* free money *"});
  test::ScopedTestList list;
  auto tag = list.Add(std::make_shared<TTagValueTest>());
  tag->SetName("Senders");
  tag->SetTag("From");
  tag->SetValue("{Approved Senders}");
  auto body = list.Add(std::make_shared<TBodyTextTest>());
  body->SetName("Words");
  body->SetValue("{Body Text List}");
  auto ip = list.Add(std::make_shared<TIPCheckTest>());
  ip->SetName("Relays");
  ip->SetIPRange("10.1.*");
  auto logical = list.Add(std::make_shared<TLogicalTest>());
  logical->SetName("Logic");
  logical->SetTerms({{kLogicalAnd, "Senders"}, {kLogicalOr, "Words"}});
  auto sum = list.Add(std::make_shared<TSumTest>());
  sum->SetName("Points");
  sum->SetEntries({{"Words", 60, 0}, {"Logic", 50, -20}});
  auto category = list.Add(std::make_shared<TCategoryProbabilityTest>());
  category->SetName("Category");
  auto regex = list.Add(std::make_shared<TRegularExpressionTest>());
  regex->SetName("Pattern");
  regex->SetExpression("free\\s+money");
  regex->SetArea(3);
  auto contains = list.Add(std::make_shared<TContainsUnblockCodeTest>());
  contains->SetName("Code");
  auto bounced = list.Add(std::make_shared<TBouncedUnblockCodeTest>());
  bounced->SetName("Bounce");
  auto size = list.Add(std::make_shared<TMsgSizeTest>());
  size->SetName("Big");
  size->SetMaxBytes(1000);
  auto mine = list.Add(std::make_shared<TMyAddrTest>());
  mine->SetName("Mine");
  auto info = list.Add(std::make_shared<TQuorInfoTest>());
  info->SetName("Info");
  info->SetTag("QuorCategory");
  info->SetValue("1#");

  const std::vector<std::string> fixtures = {"alternative", "received_3", "delivery_report",
                                             "properties", "html_only"};
  test::FixtureBytes();  // made before the threads start
  std::atomic<bool> done{false};
  std::atomic<int> judged{0};
  std::thread processing([&] {
    std::atomic<bool> stop{false};
    for (int m = 0; m < 30; ++m) {
      TEmailMsgRef msg = test::Fixture(fixtures[static_cast<std::size_t>(m) % fixtures.size()]);
      for (int rule = 0; rule < 2 * list->Count(); ++rule) {
        auto test = list->Items(rule % list->Count());
        const bool answer = test->Evaluate(*msg, &stop);
        if (test->LastMsgKey() == msg->GetContentId() && test->LastResult() != answer)
          ADD_FAILURE() << "the cached answer changed";
        (void)test->Explanation();
        ++judged;
      }
      (void)list->CollectResultCodes(msg->GetContentId());
    }
    done = true;
  });

  int round = 0;
  while (!done) {
    ++round;
    const bool odd = round % 2 == 1;
    tag->SetTag(odd ? "Subject" : "From");
    body->SetInlineOnly(odd);
    ip->SetIPNumber(odd ? -1 : 0);
    logical->SetTerms(odd ? std::vector<TLogicalCriteraRec>{{kLogicalAndNot, "Relays"}}
                          : std::vector<TLogicalCriteraRec>{{kLogicalAnd, "Senders"},
                                                            {kLogicalXor, "Points"}});
    const int entry = sum->FindEntry("Relays") >= 0 ? sum->FindEntry("Relays")
                                                     : sum->AddEntry("Relays");
    sum->SetEntry(entry, {"Relays", round % 7, -(round % 3)});
    category->SetThreshold(round % 100);
    regex->SetExpression(odd ? "free\\s+money" : "offer # comment\r\n|cheap");
    regex->SetModifierX(!odd);
    size->SetMaxBytes(500 + round);
    // A list renamed there and back, and a test.
    senders->SetName("{Friends}");
    list->PhraseListRenamed("{Friends}", "{Approved Senders}");
    senders->SetName("{Approved Senders}");
    list->PhraseListRenamed("{Approved Senders}", "{Friends}");
    body->SetName("Words (edited)");
    list->TestRenamed("Words (edited)", "Words");
    body->SetName("Words");
    list->TestRenamed("Words", "Words (edited)");
    for (const auto& test : list->Snapshot()) {
      (void)test->Validate();
      (void)test->Describe();
      (void)test->GetNote();
    }
    TQuorIniFile ini("");
    ini.SetProcessMessages(false);
    list->SaveToIni(ini, "Global");
    TTestList copy;
    copy.LoadFromIni(ini, "Global");
    EXPECT_EQ(copy.Count(), list->Count());
    std::this_thread::yield();
  }
  processing.join();
  EXPECT_EQ(judged, 30 * 2 * list->Count());
  EXPECT_GT(round, 0);
}

}  // namespace
}  // namespace halvorn
