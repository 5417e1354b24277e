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

#include "foundation/files/quor_ini_file.h"
#include "simple_tests_support.h"
#include "support/simple_test_set.h"

namespace halvorn {
namespace {

TEST(SimpleTestsThreads, JudgingWhileTheMainThreadEditsRenamesAndSaves) {
  test::ScopedPhraseLists lists(test::MakeSimpleTestLists());
  auto senders = (*lists).FindList("{Approved Senders}");
  test::ScopedTestList list;
  for (const auto& test : test::MakeSimpleTestSet()) list->AddTest(test);
  auto find = [&list](const char* name) { return list->FindTestByName(name); };
  auto tag = std::dynamic_pointer_cast<TTagValueTest>(find("Senders"));
  auto body = std::dynamic_pointer_cast<TBodyTextTest>(find("Words"));
  auto ip = std::dynamic_pointer_cast<TIPCheckTest>(find("Relays"));
  auto logical = std::dynamic_pointer_cast<TLogicalTest>(find("Logic"));
  auto sum = std::dynamic_pointer_cast<TSumTest>(find("Points"));
  auto category = std::dynamic_pointer_cast<TCategoryProbabilityTest>(find("Category"));
  auto regex = std::dynamic_pointer_cast<TRegularExpressionTest>(find("Pattern"));
  auto size = std::dynamic_pointer_cast<TMsgSizeTest>(find("Big"));

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
    logical->SetTerms(
        odd ? std::vector<TLogicalCriteraRec>{{kLogicalAndNot, "Relays"}}
            : std::vector<TLogicalCriteraRec>{{kLogicalAnd, "Senders"}, {kLogicalXor, "Points"}});
    const int entry =
        sum->FindEntry("Relays") >= 0 ? sum->FindEntry("Relays") : sum->AddEntry("Relays");
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
