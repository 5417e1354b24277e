// One test of each of the twelve classes judges the corpus messages (under
// the sanitizers in the test command): no report, an explanation for every
// judgement, the result code and the cache agreeing with the answer. Every
// tenth message by default, every message with HALVORN_FULL_CORPUS set; in
// two slices, each a test of its own, so that they run side by side.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "classify/value_tests.h"
#include "simple_tests_support.h"
#include "support/simple_test_set.h"

namespace halvorn {
namespace {

constexpr std::size_t kSlices = 2;

void JudgeCorpusSlice(std::size_t slice) {
  const std::vector<std::string> files = test::CorpusSample();
  if (files.empty()) GTEST_SKIP() << "no mail corpus";
  test::ScopedPhraseLists lists(test::MakeSimpleTestLists());
  test::ScopedTestList list;
  for (const auto& test : test::MakeSimpleTestSet()) list->AddTest(test);
  auto raw = list.Add(std::make_shared<TBodyTextTest>());
  raw->SetName("Raw words");
  raw->SetValue("*unsubscribe*");
  raw->SetInlineOnly(false);

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

TEST(SimpleTestsCorpus, Slice0) {
  JudgeCorpusSlice(0);
}
TEST(SimpleTestsCorpus, Slice1) {
  JudgeCorpusSlice(1);
}

}  // namespace
}  // namespace halvorn
