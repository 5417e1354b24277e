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

#include "classify/test_list.h"
#include "lists/phrases_list.h"
#include "message/email_msg.h"
#include "support/simple_test_set.h"

namespace {

using namespace halvorn;

void Check(bool condition) {
  if (!condition) std::abort();
}

// The set of tests, numbered 1 to 12 in the trites.
std::shared_ptr<TTestList> MakeTests() {
  auto list = std::make_shared<TTestList>();
  for (const auto& test : test::MakeSimpleTestSet()) {
    test->SetStandardTestNum(list->Count() + 1);
    list->AddTest(test);
  }
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
    SetGlobalPhrasesList(test::MakeSimpleTestLists());
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
