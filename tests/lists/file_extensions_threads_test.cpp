// The file-extension table used from several threads at once, as the
// incoming processing scores attachments while the dialog and the link
// server change, delete and save entries. Also run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "foundation/text/code_page_1252.h"
#include "lists/file_extensions.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

TEST(FileExtensionsThreads, CopiesAndLookUpsWhileEntriesAreAddedDeletedChangedAndSaved) {
  test::TempFolder folder;
  TFileExtensionList table;
  table.LoadBuiltIn();
  std::atomic<bool> stop{false};
  std::atomic<int> copies{0};
  std::atomic<int> edits{0};

  auto scoring = [&](int seed) {
    const char* names[] = {"exe", "TXT", "jpg", "new1", "new2", "{clsid}"};
    for (int i = seed; !stop.load() || i < seed + 50; ++i) {
      const auto copy = table.GetCopy(names[i % 6]);
      EXPECT_FALSE(copy->Extension.empty());
      const auto entry = table.FindOrAdd(names[(i + 1) % 6]);
      ASSERT_NE(entry, nullptr);
      table.FindByContentType("image/gif");
      int index = 0;
      table.Find("vbs", index);
      ++copies;
    }
  };
  auto dialog = [&] {
    for (int round = 0; !stop.load(); round = ++edits) {
      table.Update("exe", [round](TFileExtension& entry) { entry.Risk = round % 4; });
      int index = 0;
      if (table.Find(round % 2 ? "new1" : "new2", index)) table.Delete(index);
      if (round % 10 == 0) {
        EXPECT_EQ(table.SaveToFile(folder.Sub("FileExtensionsInfo.txt")), "");
      }
      if (round % 25 == 0) table.LoadFromFile(folder.Sub("FileExtensionsInfo.txt"), true);
    }
  };
  std::vector<std::thread> threads;
  threads.emplace_back(scoring, 0);
  threads.emplace_back(scoring, 3);
  threads.emplace_back(dialog);
  while (copies.load() < 400 || edits.load() < 60) std::this_thread::yield();
  stop = true;
  for (auto& thread : threads) thread.join();
  table.WaitForLoad();
  for (int i = 1; i < table.Count(); ++i)
    EXPECT_LT(CompareText1252(table.Items(i - 1)->Extension, table.Items(i)->Extension), 0);
}

}  // namespace
}  // namespace halvorn
