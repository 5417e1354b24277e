// The main thread changes the rules and actions while the incoming
// processing thread applies them: rules and actions are replaced (as the
// editors do), removed and added again, renamed, their lists saved, and a
// test is renamed in place. Every message still ends exactly once where a
// rule sends it, and (under ThreadSanitizer) no access races.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "foundation/files/quor_ini_file.h"
#include "processing_test_support.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::IncomingThreadHarness;
using test::THoldAction;
using test::TScriptedStep;
using test::TTagAction;

class IncomingThreadConcurrency : public test::ProcessingTest {};

TEST_F(IncomingThreadConcurrency, RulesAndActionsChangeWhileMailIsProcessed) {
  constexpr int kMessages = 60;
  auto tags = AddTest("Tags", true);
  auto holds = AddTest("Holds", false);
  TScriptedStep yes;
  yes.Answer = true;
  for (int i = 0; i < kMessages; i += 5) holds->Script("Message " + std::to_string(i), yes);
  AddAction<TTagAction>("Tag", "[T] ");
  AddAction<THoldAction>("Hold");
  AddRule("Tag", "Tags", "Tag");
  AddRule("Hold", "Holds", "Hold", Rt_ReceiveBeforeProcessing);
  for (int i = 0; i < kMessages; ++i) {
    TEmailMsgRef msg = TEmailMsg::Create(Repository().UnProcessedIncoming());
    msg->SetText("Subject: Message " + std::to_string(i) + "\r\n\r\nbody " + std::to_string(i) +
                 "\r\n");
    ASSERT_TRUE(msg->SaveToFile());
  }

  IncomingThreadHarness harness;
  harness.Thread().Resume();
  int round = 0;
  while (CountUnprocessedIncoming() > 0 && round < 100000) {
    ++round;
    harness.Tick();
    // The tag action is replaced by an equal one under the same name.
    if (TActionRef old = Actions().FindByName("Tag")) {
      Actions().Add(test::MakeAction<TTagAction>("Tag", "[T] "));
      Actions().Remove(old.get());
    }
    // The hold rule goes and comes back.
    if (TRuleRef rule = Rules().FindByName("Hold")) {
      auto again = std::make_shared<TRule>();
      again->SetName("Hold");
      again->SetTestName(rule->TestName());
      again->SetActionName(rule->ActionName());
      again->SetTime(Rt_ReceiveBeforeProcessing);
      Rules().Insert(0, again);
      Rules().Remove(rule.get());
    }
    // A rename there and back, of the test and of its references.
    tags->SetName("Tags renamed");
    Rules().RenameTestReferences("Tags renamed", "Tags");
    tags->SetName("Tags");
    Rules().RenameTestReferences("Tags", "Tags renamed");
    // A save reads everything.
    TQuorIniFile ini("");
    Rules().SaveToIni(ini, "Global");
    EXPECT_FALSE(Rules().HasDuplicateNames());
    std::this_thread::yield();
  }
  ASSERT_TRUE(harness.RunUntilIdle());
  harness.Stop();

  // Each message once: the held ones in the Pendhold queue, the others in
  // processed-incoming, tagged at most once (a rule renamed at that moment
  // may have found no test).
  std::set<std::string> seen;
  int held = 0;
  for (TEmailMsgList* queue : {Repository().ProcessedIncoming(), Repository().Pendhold()}) {
    for (const TEmailMsgRef& msg : queue->Snapshot()) {
      std::string subject = msg->GetSubject();
      if (subject.rfind("[T] ", 0) == 0) subject.erase(0, 4);
      EXPECT_EQ(subject.find("[T]"), std::string::npos) << subject;
      EXPECT_TRUE(seen.insert(subject).second) << subject;
      if (queue == Repository().Pendhold()) ++held;
    }
  }
  EXPECT_EQ(static_cast<int>(seen.size()), kMessages);
  EXPECT_LE(held, kMessages / 5);
}

}  // namespace
}  // namespace halvorn
