// Phrase lists used from several threads at once, as the processing threads
// look up while the main thread edits, renames, saves and reloads. Also run
// under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "foundation/files/atomic_file.h"
#include "foundation/files/quor_ini_file.h"
#include "lists/phrases_list.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

TEST(PhrasesThreads, LookUpsWhileAnotherThreadAddsRemovesRenamesSavesAndReloads) {
  test::TempFolder folder;
  const std::string file = folder.Sub("shared.txt");
  ASSERT_EQ(WriteFileAtomically(file, "*lottery*\r\nfree money\r\n"), "");

  auto set = std::make_shared<TPhrasesList>();
  auto approved = set->GetBuiltInList(bplApprovedSenders);
  for (int i = 0; i < 200; ++i) approved->Add("friend" + std::to_string(i) + "@example.com");
  approved->Add("*@trusted.example");
  auto banned = set->GetBuiltInList(bplBannedSenders);
  auto shared = std::make_shared<TPhrases>();
  shared->SetName("{Shared}");
  shared->SetFilePath(file);
  set->Add(shared);
  std::atomic<int> renames{0};
  set->SetOnListRenamed([&](const std::string& now, const std::string&) {
    if (set->FindList(now)) ++renames;
  });

  std::atomic<bool> stop{false};
  auto reader = [&](int seed) {
    int round = 0;
    do {
      auto list = set->GetBuiltInList(bplApprovedSenders);
      list->PurgeExpired();
      std::string piece;
      std::string entry;
      // friend7 and the pattern are never taken out; the text comes from
      // the same locked step as the index.
      EXPECT_GE(list->FindMatch("Friend <FRIEND7@example.com>", piece, true, &entry), 0);
      EXPECT_EQ(entry, "friend7@example.com");
      EXPECT_GE(list->FindMatch("anyone@trusted.example", piece, true, &entry), 0);
      EXPECT_EQ(entry, "*@trusted.example");
      list->Items((seed + round) % 300);
      list->FindInText("friend1");
      EXPECT_TRUE(shared->Contains("you won the lottery"));
      if (auto custom = set->FindList("{Custom}")) custom->Contains("abc");
      banned->PurgeExpired();
      banned->Contains("spammer@example.com");
      for (const auto& any : set->Snapshot()) any->Count();
      ++round;
    } while (!stop);
  };
  std::vector<std::thread> readers;
  for (int i = 0; i < 2; ++i) readers.emplace_back(reader, i * 37);

  for (int k = 0; k < 150; ++k) {
    const std::string n = std::to_string(k);
    approved->Add("new" + n + "@example.com");
    if (k % 200 != 7) approved->DeleteText("friend" + std::to_string(k % 200) + "@example.com");
    TStringList more;
    for (int j = 0; j < 10; ++j) more.Add("bulk" + n + "-" + std::to_string(j) + "@example.com");
    approved->AddStrings(more);

    banned->Add("spammer" + n + "@example.com");
    banned->SetAccessDate(banned->IndexOf("spammer" + n + "@example.com"), 1.0);

    auto custom = std::make_shared<TPhrases>();
    custom->SetName("{Custom}");
    custom->Add("abc");
    set->Add(custom);
    custom->SetName("{Custom Renamed}");
    set->ListRenamed("{Custom Renamed}", "{Custom}");
    set->Remove(custom.get());

    if (k % 5 == 0) {
      ASSERT_EQ(WriteFileAtomically(file, "*lottery*\r\nword" + n + "\r\n"), "");
    }
    if (k % 10 == 0) {
      TQuorIniFile ini("");
      set->SaveToIni(ini, "Global");
      set->LoadFromIni(ini, "Global");
      ASSERT_EQ(shared->SaveToFile(folder.Sub("export.txt")), "");
    }
  }
  stop = true;
  for (auto& thread : readers) thread.join();
  EXPECT_EQ(renames, 150);
  EXPECT_EQ(set->FindList("{Custom}"), nullptr);
}

}  // namespace
}  // namespace halvorn
