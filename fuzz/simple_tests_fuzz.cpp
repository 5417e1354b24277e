// Judges a message made of arbitrary bytes with one test of each of the
// twelve simple test classes (the combining ones over the others), twice.
// Properties: nothing raises; the second call answers from the cache, with
// the explanation unchanged; a second set of fresh tests gives the same
// answers and explanations; the result code holds "Pa=y" exactly when the
// answer is true; the standard-test trite agrees with the answer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "classify/info_tag_test.h"
#include "classify/logical_test.h"
#include "classify/regular_expression_test.h"
#include "classify/size_and_address_tests.h"
#include "classify/sum_tests.h"
#include "classify/test_list.h"
#include "classify/unblock_code_tests.h"
#include "classify/value_tests.h"
#include "lists/phrases_list.h"
#include "message/email_msg.h"

namespace {

using namespace halvorn;

void Check(bool condition) {
  if (!condition) std::abort();
}

std::shared_ptr<TPhrasesList> MakeLists() {
  auto lists = std::make_shared<TPhrasesList>();
  auto add = [&](const char* name, std::uint8_t type, const std::vector<const char*>& entries) {
    auto list = std::make_shared<TPhrases>();
    list->SetName(name);
    list->SetListType(type);
    for (const char* entry : entries) list->Add(entry);
    lists->Add(list);
  };
  add("{Approved Senders}", pltEmailAddress, {"*@example.com", "a@b.c"});
  add("{Body Text List}", pltStrings, {"* free *", "* money *", "cheap"});
  add("{New IP List}", pltIPList, {"10.*", "*.1", "192.0.2.7"});
  add("{Categories}", pltStrings, {"8*", "1"});
  return lists;
}

// One test of each class, numbered 1 to 12 in the trites.
std::shared_ptr<TTestList> MakeTests() {
  auto list = std::make_shared<TTestList>();
  auto add = [&](std::shared_ptr<TTest> test, const char* name) {
    test->SetName(name);
    test->SetStandardTestNum(list->Count() + 1);
    list->AddTest(test);
  };
  auto tag = std::make_shared<TTagValueTest>();
  tag->SetTag("Subject");
  tag->SetValue("*fre?*");
  add(tag, "Tag");
  auto body = std::make_shared<TBodyTextTest>();
  body->SetValue("{Body Text List}");
  add(body, "Body");
  auto ip = std::make_shared<TIPCheckTest>();
  ip->SetIPRange("{New IP List}");
  add(ip, "Relays");
  auto logical = std::make_shared<TLogicalTest>();
  logical->SetTerms({{kLogicalAndNot, "Tag"}, {kLogicalOr, "Body"}, {kLogicalXor, "Relays"},
                     {kLogicalAnd, "Points"}});
  add(logical, "Logic");
  auto sum = std::make_shared<TSumTest>();
  sum->SetThreshold(10);
  sum->SetEntries({{"Tag", 20, -5}, {"Body", 7, 0}, {"Logic", 3, 3}, {"Points", 1, 1}});
  add(sum, "Points");
  add(std::make_shared<TCategoryProbabilityTest>(), "Category");
  auto regex = std::make_shared<TRegularExpressionTest>();
  regex->SetExpression("(free|mon.y)\\s+\\w+");
  add(regex, "Pattern");
  add(std::make_shared<TContainsUnblockCodeTest>(), "Code");
  add(std::make_shared<TBouncedUnblockCodeTest>(), "Bounce");
  auto size = std::make_shared<TMsgSizeTest>();
  size->SetMaxBytes(200);
  add(size, "Big");
  add(std::make_shared<TMyAddrTest>(), "Mine");
  auto info = std::make_shared<TQuorInfoTest>();
  info->SetTag("QuorCategory");
  info->SetValue("{Categories}");
  add(info, "Info");
  return list;
}

struct TJudgement {
  bool Answer;
  std::string Explanation;
};

std::vector<TJudgement> Judge(TTestList& list, TEmailMsg& msg) {
  SetGlobalTestList(std::shared_ptr<TTestList>(&list, [](TTestList*) {}));
  std::vector<TJudgement> judged;
  for (const auto& test : list.Snapshot()) {
    const bool answer = test->Evaluate(msg, nullptr);
    const std::string explanation = test->Explanation().Text();
    Check(test->Evaluate(msg, nullptr) == answer);
    Check(test->Explanation().Text() == explanation);
    Check(test->GetResultCode(msg.GetContentId()) == (answer ? "Pa=y" : "Pa=n"));
    TTriteArray trites;
    msg.WithInfo([&](TEmailInfo& info) { trites = info.StandardTests(); });
    Check(TriteGet(trites, test->StandardTestNum()) == (answer ? kTriteYes : kTriteNo));
    judged.push_back({answer, explanation});
  }
  SetGlobalTestList(nullptr);
  return judged;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool lists = [] {
    SetGlobalPhrasesList(MakeLists());
    return true;
  }();
  (void)lists;
  TEmailMsgRef msg = TEmailMsg::Create();
  msg->LoadFromStream(std::string(reinterpret_cast<const char*>(data), size));
  msg->FSetFlaggedDeleted(true);
  auto first = MakeTests();
  auto second = MakeTests();
  const std::vector<TJudgement> once = Judge(*first, *msg);
  const std::vector<TJudgement> again = Judge(*second, *msg);
  Check(once.size() == again.size());
  for (std::size_t i = 0; i < once.size(); ++i) {
    Check(once[i].Answer == again[i].Answer);
    Check(once[i].Explanation == again[i].Explanation);
  }
  return 0;
}
