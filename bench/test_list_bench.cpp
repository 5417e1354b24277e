// The test framework's cost per message: 50 tests, each named by three rules,
// found by name and evaluated (the first rule judges, the other two are
// answered from the cache), then the result codes collected for the side
// record. The stub tests judge nothing: what is measured is the framework
// (look-ups, locks, the cache, the explanation, the side record's trite).
// The reference run does the same look-ups and calls over a vector of plain
// objects with a std::mutex each; after the usual table, each run's time is
// printed as a ratio to it.
#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "classify/test_list.h"
#include "message/email_msg.h"
#include "tests/support/scripted_test.h"

namespace {

using halvorn::TEmailMsg;
using halvorn::TEmailMsgRef;

constexpr int kTests = 50;
constexpr int kRulesPerTest = 3;

// Judges nothing; takes every closing step.
class TStubTest : public halvorn::TTest {
 public:
  std::string ClassName() const override { return "TStubTest"; }
  std::string GetTypeName() override { return "Stub"; }
  std::string Validate() override { return {}; }
  std::string Describe() override { return {}; }
  std::string GetNote() override { return {}; }
  bool Evaluate(TEmailMsg& msg, const std::atomic<bool>* abort) override {
    bool answer;
    if (!BeginEvaluate(msg, abort, answer)) return answer;
    CloseEvaluation(msg, true, "email passed stub test.", 9, "Nothing was judged.", -1);
    return true;
  }
};

std::string TestName(int i) { return "Rule test number " + std::to_string(i); }

std::vector<TEmailMsgRef> Messages() {
  return {halvorn::test::MakeTestMessage("bench 0"), halvorn::test::MakeTestMessage("bench 1")};
}

// The rules' look-ups and evaluations for one message, and the codes.
void BM_PerMessage(benchmark::State& state) {
  const bool collect = state.range(0) != 0;
  halvorn::TTestList list;
  for (int i = 0; i < kTests; ++i) {
    auto test = std::make_shared<TStubTest>();
    test->SetName(TestName(i));
    test->SetStandardTestNum(i);
    list.AddTest(test);
  }
  const auto messages = Messages();
  std::vector<std::string> names;
  for (int rule = 0; rule < kTests * kRulesPerTest; ++rule) names.push_back(TestName(rule % kTests));
  std::atomic<bool> stop{false};
  std::size_t next = 0;
  for (auto _ : state) {
    TEmailMsg& msg = *messages[next++ % messages.size()];
    int passed = 0;
    for (const std::string& name : names) {
      auto test = list.FindTestByName(name);
      if (test && test->Evaluate(msg, &stop)) ++passed;
    }
    benchmark::DoNotOptimize(passed);
    if (collect) benchmark::DoNotOptimize(list.CollectResultCodes(msg.GetContentId()));
  }
}
BENCHMARK(BM_PerMessage)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// The result codes alone.
void BM_CollectResultCodes(benchmark::State& state) {
  halvorn::TTestList list;
  const auto messages = Messages();
  for (int i = 0; i < kTests; ++i) {
    auto test = std::make_shared<TStubTest>();
    test->SetName(TestName(i));
    test->Evaluate(*messages[0], nullptr);
    list.AddTest(test);
  }
  const std::int32_t key = messages[0]->GetContentId();
  for (auto _ : state) benchmark::DoNotOptimize(list.CollectResultCodes(key));
}
BENCHMARK(BM_CollectResultCodes)->Unit(benchmark::kMicrosecond);

// The same look-ups over plain objects with a mutex each, and one call that
// remembers the message per object.
struct TPlain {
  std::mutex Mutex;
  std::string Name;
  int LastKey = -1;
  bool Evaluate(int key) {
    std::lock_guard<std::mutex> lock(Mutex);
    if (LastKey == key) return true;
    LastKey = key;
    return true;
  }
};

void BM_ReferencePlainObjects(benchmark::State& state) {
  std::vector<std::unique_ptr<TPlain>> plain;
  for (int i = 0; i < kTests; ++i) {
    plain.push_back(std::make_unique<TPlain>());
    plain.back()->Name = TestName(i);
  }
  std::vector<std::string> names;
  for (int rule = 0; rule < kTests * kRulesPerTest; ++rule) names.push_back(TestName(rule % kTests));
  int key = 0;
  for (auto _ : state) {
    ++key;
    int passed = 0;
    for (const std::string& name : names) {
      for (const auto& object : plain) {
        std::string copy;
        {
          std::lock_guard<std::mutex> lock(object->Mutex);
          copy = object->Name;
        }
        if (copy == name) {
          if (object->Evaluate(key)) ++passed;
          break;
        }
      }
    }
    benchmark::DoNotOptimize(passed);
  }
}
BENCHMARK(BM_ReferencePlainObjects)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  return halvorn::bench::RunBenchmarksWithRatios(argc, argv, "BM_ReferencePlainObjects",
                                                 "Time relative to the same look-ups over plain objects");
}
