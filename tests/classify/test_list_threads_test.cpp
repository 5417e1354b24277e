// The test list used as the program uses it: the processing thread finds
// tests by name, evaluates them, reads their answers and explanations,
// collects result codes and trains, while the main thread adds, removes,
// renames, saves, loads and categorises. Run under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "classify/test_list.h"
#include "foundation/files/quor_ini_file.h"
#include "foundation/text/list_helpers.h"
#include "message/email_msg.h"
#include "support/scripted_test.h"

namespace halvorn {
namespace {

using test::MakeScriptedTest;
using test::TScriptedTest;

TEST(TestListThreads, EvaluationsWhileTheMainThreadEditsSavesAndCategorises) {
  test::TScriptedTestBinding scripted;
  auto list = std::make_shared<TTestList>();
  const int kTests = 6;
  for (int i = 0; i < kTests; ++i)
    list->AddTest(MakeScriptedTest("Rule test " + std::to_string(i), i % 2 == 0));

  std::vector<TEmailMsgRef> messages;
  for (int i = 0; i < 12; ++i) {
    messages.push_back(test::MakeTestMessage("message " + std::to_string(i)));
  }

  std::atomic<bool> stop{false};
  std::atomic<bool> done{false};
  std::atomic<int> evaluated{0};
  std::vector<std::string> statData(messages.size());
  std::thread processing([&] {
    for (int pass = 0; pass < 8; ++pass) {
      for (std::size_t m = 0; m < messages.size(); ++m) {
        TEmailMsg& msg = *messages[m];
        for (const auto& test : list->Snapshot()) test->Preprocess(msg);
        // Three rules name each test; names may change meanwhile.
        for (int rule = 0; rule < 3 * kTests; ++rule) {
          auto test = list->FindTestByName("Rule test " + std::to_string(rule % kTests));
          if (!test) continue;
          bool answer = test->Evaluate(msg, &stop);
          if (answer != test->LastResult() && test->LastMsgKey() == msg.GetContentId())
            ADD_FAILURE() << "the cached answer changed";
          (void)test->Explanation();
          TSimpleHtml report;
          test->ShowStats(report, 0);
          ++evaluated;
        }
        statData[m] = list->CollectResultCodes(msg.GetContentId());
      }
      list->Train();
    }
    done = true;
  });

  // The main thread: the editor, the categorisation links, the saves.
  int round = 0;
  while (!done) {
    ++round;
    auto added = MakeScriptedTest("Added " + std::to_string(round), true);
    list->AddTest(added);
    auto renamed = list->FindTestByName("Rule test " + std::to_string(round % kTests));
    if (renamed) {
      const std::string old = renamed->Name();
      renamed->SetOldName(old);
      renamed->SetName(old + " (edited)");
      list->TestRenamed(renamed->Name(), old);
      renamed->SetName(old);
      list->TestRenamed(old, old + " (edited)");
    }
    list->PhraseListRenamed("{List " + std::to_string(round) + "}", "{List}");
    TQuorIniFile ini("");
    ini.SetProcessMessages(false);
    list->SaveToIni(ini, "Global");
    TTestList copy;
    copy.LoadFromIni(ini, "Global");
    for (const auto& test : list->Snapshot()) {
      const std::string code = test->GetResultCode(0);
      test->UserCategorised(round % 2 == 0 ? 8 : 9, code);
      TCategoryProbability probability;
      test->GetCategoryProbability(code, probability);
      if (round % 7 == 0) test->ResetStats();
    }
    (void)list->HasDuplicateNames();
    list->RemoveTest(added.get());
    if (round % 5 == 0) {
      // The removed test stays usable by whoever still holds it.
      auto msg = messages[static_cast<std::size_t>(round) % messages.size()];
      added->Evaluate(*msg, nullptr);
    }
    std::this_thread::yield();
  }
  processing.join();

  // A lookup may miss a test while its name is being edited; every code
  // collected is the test's own answer.
  EXPECT_EQ(list->Count(), kTests);
  EXPECT_GT(evaluated, 0);
  for (std::size_t m = 0; m < messages.size(); ++m) {
    SCOPED_TRACE(m);
    for (const auto& test : list->Snapshot()) {
      const std::string code = CommaTextValue(statData[m], test->UniqueId());
      const bool answer = std::dynamic_pointer_cast<TScriptedTest>(test)->DefaultAnswer();
      if (!code.empty()) {
        EXPECT_EQ(code, answer ? "Pa=y" : "Pa=n");
      }
    }
  }
}

}  // namespace
}  // namespace halvorn
