// The mailing-list table used from several threads at once, as the incoming
// processing merges and matches while the main thread reloads the rules
// file, takes the editor's copy back and marks lists subscribed. Also run
// under ThreadSanitizer.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "foundation/files/quor_ini_file.h"
#include "lists/mailing_lists.h"
#include "message/email_header.h"

namespace halvorn {
namespace {

std::unique_ptr<TMailingList> Fingerprint(int list, int message) {
  TEmailHeader header;
  header.ParseText("List-Id: <list" + std::to_string(list) + ".example.org>\r\nList-Post: "
                   "<mailto:list" + std::to_string(list) + "@example.org>\r\nSubject: [L" +
                   std::to_string(list) + "] message " + std::to_string(message));
  return header.GetMailingList();
}

TEST(MailingListsThreads, MergesAndMatchesWhileTheTableIsReloadedCopiedAndChanged) {
  auto table = std::make_shared<TMailingListList>();
  for (int list = 0; list < 20; ++list) table->AddOrMerge(*Fingerprint(list, 0));
  TQuorIniFile stored("", true);
  table->SaveToIni(stored);

  std::atomic<bool> stop{false};
  std::atomic<int> rounds{0};
  std::atomic<int> editorRounds{0};
  auto processing = [&](int seed) {
    for (int message = 1; !stop.load() || message < 50; ++message) {
      const auto fingerprint = Fingerprint((seed + message) % 25, message);
      const std::shared_ptr<TMailingList> list = table->AddOrMerge(*fingerprint);
      ASSERT_NE(list, nullptr);
      // The list handed out stays whole whatever the table does meanwhile.
      EXPECT_FALSE(list->GetDisplayName().empty());
      list->GetPostAddress();
      list->Subscribed();
      const TMailingListMatch match = table->FindBestMatch(*fingerprint);
      EXPECT_EQ(match.List != nullptr, match.Score > 0);
      table->LooksLikeMailingList(*fingerprint);
      ++rounds;
    }
  };
  auto mainThread = [&] {
    for (int round = 0; !stop.load(); round = ++editorRounds) {
      switch (round % 5) {
        case 0: {  // the rules file is loaded again
          table->Clear();
          table->LoadFromIni(stored);
          break;
        }
        case 1: {  // the editor's copy, changed, comes back with OK
          TMailingListList copy;
          copy.Assign(*table);
          if (auto first = copy.Items(0)) first->UserSuppliedName = "Edited";
          table->Assign(copy);
          break;
        }
        case 2: {  // a link marks lists subscribed
          for (const auto& list : table->Snapshot()) list->SetSubscribed(kTriteYes);
          break;
        }
        case 3: {
          TQuorIniFile ini("", true);
          table->SaveToIni(ini);
          break;
        }
        default:
          if (const auto first = table->Items(0)) {
            std::uint32_t id;
            {
              TCriticalSectionGuard guard(first->Lock());
              id = first->UniqueId;
            }
            if (const auto list = table->FindByUniqueId(id)) list->SetSubscribed(kTriteNo);
          }
      }
    }
  };
  std::vector<std::thread> threads;
  threads.emplace_back(processing, 0);
  threads.emplace_back(processing, 7);  // the address-book scan merges too
  std::thread editor(mainThread);
  while (rounds.load() < 400 || editorRounds.load() < 100) std::this_thread::yield();
  stop = true;
  for (auto& thread : threads) thread.join();
  editor.join();
  // No id twice, whatever happened.
  std::vector<std::uint32_t> ids;
  for (const auto& list : table->Snapshot()) ids.push_back(list->UniqueId);
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end());
}

}  // namespace
}  // namespace halvorn
