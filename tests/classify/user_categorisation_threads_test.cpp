// The categorisation queue under threads (also under ThreadSanitizer, see
// tests/tsan.list): two threads queue at once, on the same messages and on
// their own, while a third trains and the stop codes change between UDP and
// TCP reports. Every message's codes reach every test exactly once.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "classify/test_list.h"
#include "foundation/files/folder_test_env.h"
#include "lists/qch/qch_service.h"
#include "lists/qch/qch_udp.h"
#include "message/email_info.h"
#include "support/scripted_test.h"

namespace halvorn {
namespace {

using test::MakeScriptedTest;
using test::TScriptedTest;

using UserCategorisationThreads = test::FolderEnvTest;

TEST_F(UserCategorisationThreads, TwoQueueingThreadsBesideTrainingAndNewStopCodes) {
  constexpr int kShared = 30;
  constexpr int kOwn = 15;
  ResetQchStateForTests();  // the default host, which no name resolves here
  const bool trainWas = TrainNeuralNets;
  TrainNeuralNets = true;

  TTestList list;
  std::vector<std::shared_ptr<TScriptedTest>> tests;
  for (const char* name : {"A", "B", "C"}) {
    auto test = MakeScriptedTest(name);
    test->SetUniqueId(std::string("Uid") + name);
    list.AddTest(test);
    tests.push_back(test);
  }

  auto makeRecords = [](int count) {
    std::vector<std::int32_t> ids;
    for (int i = 0; i < count; ++i) {
      TBorrowedEmailInfo record;
      AcquireNewEmailInfo(record.Ref(), {});
      record.Ref()->SetValue(TEmailInfoKey::StatData, "UidA=Pa=y,UidB=Pa=n,UidC=Pa=y");
      ids.push_back(record.Ref()->Id());
    }
    return ids;
  };
  const std::vector<std::int32_t> shared = makeRecords(kShared);
  const std::vector<std::int32_t> own1 = makeRecords(kOwn);
  const std::vector<std::int32_t> own2 = makeRecords(kOwn);

  std::atomic<bool> done{false};
  std::thread trainer([&] {
    while (!done) list.Train();
  });
  std::thread stopCodes([&] {
    for (int round = 0; !done; ++round) {
      auto codes = std::make_shared<TStopCodesQchUdpMsg>();
      codes->SetBit(TStopCodesQchUdpMsg::kRepStandTestArrayOnCatSpamUDP, round % 2 == 0);
      codes->SetBit(TStopCodesQchUdpMsg::kRepStandTestArrayOnCatPersUDP, round % 3 == 0);
      SetQchStopCodes(codes);
      std::this_thread::yield();
    }
  });
  auto queue = [&](const std::vector<std::int32_t>& mine, bool backwards) {
    for (int i = 0; i < kShared; ++i) {
      const std::int32_t id = shared[static_cast<std::size_t>(backwards ? kShared - 1 - i : i)];
      list.QueueUserCategorisation(id, i % 2 == 0 ? Mc_CommercialSpam : Mc_Personal);
      if (i < kOwn) list.QueueUserCategorisation(mine[static_cast<std::size_t>(i)], Mc_Bulk);
    }
  };
  std::thread first(queue, own1, false);
  std::thread second(queue, own2, true);
  first.join();
  second.join();
  done = true;
  trainer.join();
  stopCodes.join();

  // What waited for the lock goes with the next call.
  const std::vector<std::int32_t> last = makeRecords(1);
  list.QueueUserCategorisation(last[0], Mc_Joke);
  EXPECT_TRUE(list.PendingCategorisations().empty());
  const int messages = kShared + 2 * kOwn + 1;
  for (const auto& test : tests) {
    int withCode = 0;
    for (const auto& [category, code] : test->Categorisations()) withCode += code.empty() ? 0 : 1;
    EXPECT_EQ(withCode, messages) << test->Name();
    EXPECT_GE(static_cast<int>(test->Categorisations().size()), messages);
  }
  for (const std::int32_t id : shared) {
    TBorrowedEmailInfo record;
    AcquireEmailInfo(id, record.Ref());  // no file left when nothing else was stored
    EXPECT_EQ(record.Ref()->Value(TEmailInfoKey::StatData), "");
  }
  SetQchStopCodes(nullptr);
  TrainNeuralNets = trainWas;
}

}  // namespace
}  // namespace halvorn
