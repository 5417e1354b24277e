// The learning core shared between threads as the program shares it: one
// network evaluated by two threads while a third teaches it, loads weights
// and writes reports; one training set written and read from two threads;
// a network-backed test categorised on one thread while another evaluates,
// asks probabilities and trains. Run under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "classify/quor_neural_net.h"
#include "classify/test_list.h"
#include "classify/vector_file_store.h"
#include "foundation/files/folder_test_env.h"
#include "message/msg_category.h"
#include "support/scripted_nn_test.h"
#include "support/scripted_test.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

TEST(NNThreads, EvaluationsWhileTheNetworkTeachesLoadsAndReports) {
  TQuorNeuralNet net;
  net.Clear();
  net.AddLayer(6);
  net.AddLayer(3);
  net.AddLayer(1);
  net.Init();
  net.SetRandomSeedForTests(3);
  net.InitWeights();
  const std::string weights = net.GetWeightText();
  for (int p = 0; p < 40; ++p)
    net.AddPattern(TVectorFloat{p % 2 * 1.0, p % 3 * 0.5, 1, 0, p % 5 * 0.25, 1}, {p % 2 * 1.0});
  net.SetContinueTeach(true);

  std::atomic<bool> done{false};
  std::vector<std::thread> evaluators;
  for (int t = 0; t < 2; ++t) {
    evaluators.emplace_back([&, t] {
      int n = 0;
      while (!done) {
        const double score = net.EvaluateInputs(TVectorFloat{1, 0, t * 1.0, 0.5, 0, n % 2 * 1.0});
        if (!(score > 0 && score < 1)) ADD_FAILURE() << score;
        ++n;
      }
    });
  }
  for (int round = 0; round < 20; ++round) {
    net.SetEpochCount(net.EpochCurrent() + 1);
    net.Teach();
    TStringList report;
    net.WriteReport(0x33, 0, report);
    EXPECT_GT(report.Count(), 10);
    if (round % 5 == 4) {
      EXPECT_TRUE(net.SetWeightText(weights));
    }
  }
  done = true;
  for (std::thread& thread : evaluators) thread.join();
}

TEST(NNThreads, OneSetWrittenAndReadFromTwoThreads) {
  test::TempFolder folder;
  auto store = OpenSharedVectorStore(folder.Sub("set.dat"));
  store->SetVectorSize(4);
  std::atomic<bool> written{false};
  std::thread writer([&] {
    auto mine = OpenSharedVectorStore(folder.Sub("set.dat"));
    for (int k = 0; k < 300; ++k) mine->AddVector({k % 2 * 1.0, 1, 0, 1});
    written = true;
  });
  do {
    const std::int32_t count = store->Count();
    if (count > 0) {
      EXPECT_EQ(store->ReadVector(count - 1)[1], 1.0);  // never half written
    }
  } while (!written);
  writer.join();
  EXPECT_EQ(store->Count(), 300);
}

using NNThreadsHome = test::FolderEnvTest;

TEST_F(NNThreadsHome, CategorisationsWhileAnotherThreadEvaluatesAndTrains) {
  test::TScriptedNNTestBinding binding;
  TTestList list;
  auto test = std::make_shared<test::TScriptedNNTest>();
  test->SetName("Scripted");
  list.AddTest(test);
  // Enough of each for a training round.
  ASSERT_TRUE(test->OpenVectorStores(true));
  for (const bool spam : {true, false}) {
    auto store = OpenSharedVectorStore(test->VectorStorePath(spam));
    store->SetVectorSize(6);
    for (int k = 0; k < 400; ++k)
      store->AddVector({spam ? 1.0 : 0.0, k % 2 * 1.0, 1, 0, k % 3 == 0 ? 1.0 : 0.0, spam ? 0.0 : 1.0});
  }
  const std::vector<std::string> codes = {
      test::TScriptedNNTest::ResultCodeFor({kTriteYes, kTriteNo, kTriteYes, kTriteNo, kTriteNo, kTriteNo}),
      test::TScriptedNNTest::ResultCodeFor({kTriteNo, kTriteYes, kTriteNo, kTriteNo, kTriteYes, kTriteYes})};

  std::atomic<bool> done{false};
  std::thread processing([&] {
    // Two messages in turn: each is judged afresh (the cache holds one).
    const std::vector<TEmailMsgRef> messages = {test::MakeTestMessage("scored"),
                                                test::MakeTestMessage("other")};
    test->Script("scored", {kTriteYes, kTriteNo, kTriteYes, kTriteNo, kTriteNo, kTriteNo});
    int n = 0;
    while (!done) {
      test->Evaluate(*messages[static_cast<std::size_t>(n % 2)], nullptr);
      TCategoryProbability probability;
      test->GetCategoryProbability(codes[static_cast<std::size_t>(n % 2)], probability);
      if (n++ % 20 == 0) list.Train();
      (void)test->GetStatsText();
    }
  });
  // The main thread applies categorisations under the training lock.
  int applied = 0;
  std::uint32_t spamApplied = 0;
  for (int i = 0; i < 60; ++i) {
    if (!list.TrainLock().TryEnter()) {
      std::this_thread::yield();
      continue;
    }
    test->UserCategorised(i % 2 == 0 ? Mc_CommercialSpam : Mc_Personal,
                          codes[static_cast<std::size_t>(i % 2)]);
    list.TrainLock().Leave();
    ++applied;
    if (i % 2 == 0) ++spamApplied;
  }
  done = true;
  processing.join();
  EXPECT_GT(applied, 0);
  EXPECT_EQ(test->Stats().Category(Mc_CommercialSpam).TruePositives, 100u * spamApplied);
}

}  // namespace
}  // namespace halvorn
