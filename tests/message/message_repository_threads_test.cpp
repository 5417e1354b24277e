// The queues and the repository used from many threads at once: opposite
// moves, saves, holds, the trash, counts, searches and UIDL changes that send
// duplicates to the Pendhold. With short lock time-outs, any wait that the
// lock order does not bound shows as a time-out.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "message/message_repository.h"
#include "repository_test_support.h"

namespace halvorn {
namespace {

class RepositoryThreads : public test::RepositoryTest {
 protected:
  ~RepositoryThreads() override { TMutexCriticalSection::SetTimeOutForTests(0); }
};

TEST_F(RepositoryThreads, OppositeMovesSavesHoldsCountsAndSearchesEndWithoutATimeOut) {
  constexpr int kMessages = 24;
  constexpr int kRounds = 150;
  TMessageRepository& repo = Repository();
  const auto queues = repo.Queues();
  std::vector<TEmailMsgRef> messages;
  for (int i = 0; i < kMessages; ++i) {
    TEmailMsgRef msg =
        TEmailMsg::Create(i % 2 ? repo.UnProcessedIncoming() : repo.ProcessedIncoming());
    msg->SetText(test::MailText(i % 3 ? "Same subject" : "Other", "m" + std::to_string(i)));
    ASSERT_TRUE(msg->SaveToFile());
    msg->FSetUidl("uidl-" + std::to_string(i % 6));
    messages.push_back(msg);
  }
  TMutexCriticalSection::SetTimeOutForTests(500);

  std::atomic<int> timeOuts{0}, failures{0};
  auto run = [&](int seed, auto step) {
    return std::thread([&, seed, step] {
      std::mt19937 random(seed);
      for (int round = 0; round < kRounds; ++round) {
        try {
          step(random, messages[random() % messages.size()]);
        } catch (const ECriticalSectionException& e) {
          ++timeOuts;
          ADD_FAILURE() << e.what();
        } catch (const std::exception& e) {
          ++failures;
          ADD_FAILURE() << e.what();
        }
      }
    });
  };
  auto mover = [&](TEmailMsgList* from, TEmailMsgList* to) {
    return [&repo, from, to](std::mt19937&, const TEmailMsgRef& msg) {
      repo.MoveMailMessage(msg, from, to);
    };
  };
  std::vector<std::thread> threads;
  threads.push_back(run(1, mover(repo.UnProcessedIncoming(), repo.ProcessedIncoming())));
  threads.push_back(run(2, mover(repo.ProcessedIncoming(), repo.UnProcessedIncoming())));
  threads.push_back(run(3, mover(repo.Pendhold(), repo.UnProcessedIncoming())));
  threads.push_back(run(4, mover(repo.Trash(), repo.ProcessedIncoming())));
  threads.push_back(run(5, [&](std::mt19937& random, const TEmailMsgRef& msg) {
    {
      TCriticalSectionGuard guard(msg->MessageLock());
      msg->GetHeader()->SetValue("X-Round", std::to_string(random()));
    }
    msg->SaveToFile();
  }));
  threads.push_back(run(6, [&](std::mt19937& random, const TEmailMsgRef& msg) {
    if (random() % 2)
      msg->SendToPendhold("held");
    else
      msg->MoveToTrash(2, "trash");
  }));
  threads.push_back(run(7, [&](std::mt19937& random, const TEmailMsgRef& msg) {
    msg->FSetUidl("uidl-" + std::to_string(random() % 6));
  }));
  threads.push_back(run(8, [&](std::mt19937& random, const TEmailMsgRef&) {
    repo.FindByUidl("uidl-" + std::to_string(random() % 6));
    GetNextIncomingToProcess();
  }));
  threads.push_back(run(9, [&](std::mt19937&, const TEmailMsgRef&) {
    std::int32_t a = 0, b = 0, c = 0;
    for (TEmailMsgList* queue : queues) {
      queue->CountOutgoing(a, b, c);
      queue->CountRead(a, b);
      queue->CountNotDeleted();
    }
    CountUnprocessedOutgoing(a, b, c);
    CountProcessedIncoming(a, b);
  }));
  for (std::thread& thread : threads) thread.join();
  TMutexCriticalSection::SetTimeOutForTests(0);
  EXPECT_EQ(timeOuts, 0);
  EXPECT_EQ(failures, 0);

  // Each message is in one queue, which names it, and its file lies in that
  // queue's folder beside only the files of that queue's messages.
  std::set<TEmailMsg*> seen;
  for (TEmailMsgList* queue : queues) {
    SCOPED_TRACE(queue->Name());
    std::set<std::string> files;
    for (const TEmailMsgRef& msg : queue->Snapshot()) {
      EXPECT_TRUE(seen.insert(msg.get()).second);
      EXPECT_EQ(msg->GetList(), queue);
      EXPECT_EQ(std::filesystem::path(msg->GetFileName()).parent_path(), queue->Folder());
      files.insert(std::filesystem::path(msg->GetFileName()).filename().string());
    }
    const std::vector<std::string> onDisk = test::EmlFiles(queue->Folder());
    EXPECT_EQ(std::set<std::string>(onDisk.begin(), onDisk.end()), files);
  }
  EXPECT_EQ(seen.size(), messages.size());
}

}  // namespace
}  // namespace halvorn
