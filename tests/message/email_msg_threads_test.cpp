// Messages and their claims used from several threads at once. Run under
// the thread sanitizer too.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "email_msg_fakes.h"
#include "message/email_msg.h"

namespace halvorn {
namespace {

class EmailMsgThreads : public test::MessageFolderTest {};

// Owners on several threads claim, renew, test and release the same
// messages: a claim is never held by two owners at once, and every claim
// taken is given back.
TEST_F(EmailMsgThreads, ClaimsExcludeEachOther) {
  constexpr int kMessages = 3;
  constexpr int kThreads = 4;
  std::vector<TEmailMsgRef> messages;
  std::vector<std::atomic<int>> holders(kMessages);
  for (int i = 0; i < kMessages; ++i) messages.push_back(TEmailMsg::Create());
  std::atomic<int> taken{0};
  std::atomic<bool> overlap{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      TScopedClaimOwner owner;
      for (int round = 0; round < 400; ++round) {
        const int i = (round + t) % kMessages;
        TEmailMsg& msg = *messages[i];
        msg.IsLockedByOther();
        if (!msg.Lock(owner.Token(), "thread " + std::to_string(t))) continue;
        ++taken;
        if (holders[i].fetch_add(1) != 0) overlap = true;
        msg.RenewClaim(owner.Token());
        if (msg.IsLockedByOther()) overlap = true;  // its own claim
        holders[i].fetch_sub(1);
        msg.Unlock(owner.Token(), "");
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_FALSE(overlap);
  EXPECT_GT(taken.load(), 0);
  for (const TEmailMsgRef& msg : messages) EXPECT_EQ(msg->ClaimOwner(), kNoClaimOwner);
}

// Readers of sizes, subjects, side-record values and claims beside writers
// of headers, content and files: every change is kept, nothing races.
TEST_F(EmailMsgThreads, ReadersAndWritersOfOneMessage) {
  test::FakeQueue queue(FRoot.Sub("queue"));
  TEmailMsgRef msg = TEmailMsg::Create(&queue);
  msg->SetText("Subject: first\r\n\r\nbody\r\n");
  ASSERT_TRUE(msg->SaveToFile());
  std::atomic<bool> stop{false};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      while (!stop) {
        msg->GetSize();
        msg->GetSubject();
        msg->IsChanged();
        msg->IsLockedByOther();
        msg->GetInfoValue(TEmailInfoKey::UIDL);
        msg->GetContentId();
        TStringList lines;
        msg->GetRawText(lines, true);
      }
    });
  }
  std::thread writer([&] {
    for (int i = 0; i < 200; ++i) {
      if (i % 3 == 0) msg->SetText("Subject: text " + std::to_string(i) + "\r\n\r\nbody\r\n");
      msg->GetHeader()->SetValue("X-Count", std::to_string(i));
      msg->SetInfoValue(TEmailInfoKey::SourceIP, std::to_string(i));
      msg->SaveToFile();
    }
  });
  writer.join();
  stop = true;
  for (std::thread& reader : readers) reader.join();
  std::string value;
  EXPECT_TRUE(msg->GetHeader()->GetValue("X-Count", value));
  EXPECT_EQ(value, "199");
  EXPECT_EQ(msg->GetInfoValue(TEmailInfoKey::SourceIP), "199");
  EXPECT_FALSE(msg->IsChanged());
  TEmailMsgRef again = TEmailMsg::Create();
  ASSERT_TRUE(again->ReadFromFile(msg->GetFileName()));
  EXPECT_TRUE(again->GetHeader()->GetValue("X-Count", value));
  EXPECT_EQ(value, "199");
  EXPECT_EQ(again->GetInfoValue(TEmailInfoKey::SourceIP), "199");
  again->SetSaveChanges(false);
}

}  // namespace
}  // namespace halvorn
