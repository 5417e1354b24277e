// The Bayesian dictionaries from several threads at once (also under
// ThreadSanitizer): the outgoing thread's additions to the personal
// dictionary and categorisations from the main thread while a test judges
// and the periodic save runs; and threads that ask for a global together.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "classify/bayesian_dictionary.h"
#include "classify/bayesian_tests.h"
#include "foundation/files/folder_test_env.h"
#include "message/email_msg.h"
#include "message/message_checksums.h"
#include "message/msg_category.h"
#include "support/bayesian_support.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

class BayesianThreads : public test::FolderEnvTest {
 protected:
  BayesianThreads() { StartBayesianModule(); }
  ~BayesianThreads() override { EndBayesianModule(); }
};

TEmailMsgRef Message(int i) {
  return test::TestMessage("Subject: Number " + std::to_string(i) +
                           "\r\n\r\nshared words here and word" + std::to_string(i) +
                           " plus more" + std::to_string(i % 7) + "\r\n");
}

// Every addition lands whole: the token sum is the sum of the counters and
// the token count the number of counters in use, in memory and in the file.
void ExpectConsistent(TBayesianDictionary& dictionary) {
  const std::string image = dictionary.Image();
  std::uint64_t sum = 0;
  std::uint32_t used = 0;
  for (std::uint32_t slot = 0; slot < kBayesSlotCount; ++slot) {
    const std::size_t at = BayesCounterOffset(slot);
    const std::uint32_t count = static_cast<std::uint8_t>(image[at]) |
                                static_cast<std::uint32_t>(static_cast<std::uint8_t>(image[at + 1]))
                                    << 8;
    sum += count;
    used += count != 0;
  }
  EXPECT_EQ(sum, dictionary.TokenSum());
  EXPECT_EQ(used, dictionary.TokenCount());
  EXPECT_EQ(dictionary.Save(), "");
  EXPECT_TRUE(test::ReadFileBytes(dictionary.Path()) == dictionary.Image());
}

TEST_F(BayesianThreads, AdditionsWhileATestJudgesAndThePeriodicSaveRuns) {
  constexpr int kRounds = 40;
  TBayesianTest test;
  test.SetName("Bayes");
  std::atomic<bool> judging{true};
  std::atomic<int> outgoingAdded{0};

  // The outgoing thread: every sent message's features go to the personal
  // dictionary.
  std::thread outgoing([&] {
    for (int i = 0; i < kRounds; ++i) {
      TEmailMsgRef msg = Message(1000 + i);
      TStringList features;
      msg->GetBayesianWords(features, true);
      TBayesianDictionaryRef personal = PersonalBayesianDictionary();
      BuildWordChains(features, CheckSumOfText, personal->ChainLength());
      for (int f = 0; f < features.Count(); ++f) {
        std::int32_t old = 0;
        personal->AddFeature(FeatureHash(features, f), old);
      }
      outgoingAdded += features.Count();
    }
  });
  // The incoming thread judges; the main thread categorises what it judged.
  std::vector<std::string> codes;
  std::mutex codesMutex;
  std::thread incoming([&] {
    for (int i = 0; i < kRounds; ++i) {
      TEmailMsgRef msg = Message(i);
      test.Evaluate(*msg, nullptr);
      std::lock_guard<std::mutex> lock(codesMutex);
      codes.push_back(test.GetResultCode(msg->GetContentId()));
    }
    judging = false;
  });
  std::thread saver([&] {
    while (judging.load()) SaveChangedBayesianDictionaries();
  });
  for (int i = 0;;) {
    std::string code;
    bool more;
    {
      std::lock_guard<std::mutex> lock(codesMutex);
      if (!codes.empty()) {
        code = codes.back();
        codes.pop_back();
      }
      more = judging.load() || !codes.empty();
    }
    if (!code.empty())
      test.UserCategorised(++i % 2 ? Mc_Personal : Mc_CommercialSpam, code);
    else if (!more)
      break;
    else
      std::this_thread::yield();
  }
  outgoing.join();
  incoming.join();
  saver.join();

  TBayesianDictionaryRef personal = PersonalBayesianDictionary();
  TBayesianDictionaryRef spam = SpamBayesianDictionary();
  EXPECT_GE(personal->TokenSum(), static_cast<std::uint32_t>(outgoingAdded.load()));
  ExpectConsistent(*personal);
  ExpectConsistent(*spam);
}

TEST_F(BayesianThreads, ThreadsAskingForAGlobalTogetherGetOneObject) {
  constexpr int kThreads = 8;
  std::atomic<int> waiting{kThreads};
  std::vector<TBayesianDictionaryRef> spam(kThreads);
  std::vector<TBayesianDictionaryRef> personal(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      --waiting;
      while (waiting.load() > 0) std::this_thread::yield();
      spam[t] = SpamBayesianDictionary();
      personal[t] = PersonalBayesianDictionary();
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(std::set<TBayesianDictionaryRef>(spam.begin(), spam.end()).size(), 1u);
  EXPECT_EQ(std::set<TBayesianDictionaryRef>(personal.begin(), personal.end()).size(), 1u);
  EXPECT_NE(spam[0], personal[0]);
  EXPECT_TRUE(spam[0]);
}

}  // namespace
}  // namespace halvorn
