// The phrase-list editor on the main thread while a processing thread looks
// up in the lists it shows: lists are edited, renamed and deleted under the
// worker's feet, and nothing it holds may go away. Also run under
// ThreadSanitizer.
#include <gtest/gtest.h>

#include <QApplication>

#include <atomic>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "foundation/text/code_page_1252.h"
#include "foundation/threads/heartbeat.h"
#include "lists/phrases.h"
#include "lists/phrases_list.h"
#include "lists/phrases_list_form.h"
#include "phrases_list_form_driver.h"

namespace halvorn {
namespace {

std::shared_ptr<TPhrases> MakeList(TPhrasesList& set, int number) {
  auto list = std::make_shared<TPhrases>();
  list->SetName("{List " + std::to_string(number) + "}");
  for (int i = 0; i < 40; ++i) list->Add("word" + std::to_string(i));
  list->Add("*pattern*");
  set.Add(list);
  return list;
}

TEST(PhrasesListFormThreads, OpenEditRenameDeleteAndCloseWhileAWorkerLooksUp) {
  test::EnsureQtApplication();
  const std::int32_t oldMode = UiMode.load();
  UiMode = kUiModePowerUser;
  test::TDesktopStandIns desktop;
  auto set = std::make_shared<TPhrasesList>();
  std::atomic<int> renamed{0};
  set->SetOnListRenamed([&](const std::string&, const std::string&) { ++renamed; });
  int made = 0;
  for (; made < 4; ++made) MakeList(*set, made);

  std::atomic<bool> stop{false};
  std::atomic<long> found{0};
  std::thread worker([&] {
    std::string piece;
    while (!stop.load()) {
      for (const auto& list : set->Snapshot()) {
        if (list->FindMatch("a pattern inside", piece, false) >= 0) ++found;
        list->FindMatch("word7", piece, true);
        list->Contains("WORD12");
        list->Count();
      }
    }
  });

  std::mt19937 random(41);
  for (int run = 0; run < 200; ++run) {
    SCOPED_TRACE(run);
    if (set->Count() < 2) MakeList(*set, made++);
    const auto lists = set->Snapshot();
    TPhrasesListForm form(set);
    form.SelectList(lists[random() % lists.size()]);
    test::ShowActive(&form);
    switch (random() % 4) {
      case 0:
        test::AnswerEntry("added" + std::to_string(run));
        form.AddButton->click();
        break;
      case 1:
        // Two plain entries; the pattern, last, stays.
        if (form.PhrasesListBox->count() > 3) test::SelectRows(form.PhrasesListBox, {0, 1});
        test::SendKey(form.PhrasesListBox, Qt::Key_Delete);
        break;
      case 2:
        test::TypeInto(form.ListNameEdit, "Renamed " + std::to_string(run));
        test::LeaveField();
        break;
      default:
        test::AnswerQuestion("&Yes");
        form.DeleteListButton->click();
        break;
    }
    if (form.isVisible()) {
      if (random() % 2 == 0) {
        form.Button3->click();
      } else {
        test::SendKey(form.PhrasesListBox, Qt::Key_Escape);
      }
    }
    EXPECT_FALSE(form.isVisible());
  }
  stop = true;
  worker.join();
  UiMode = oldMode;

  EXPECT_GT(found.load(), 0);
  EXPECT_GT(renamed.load(), 0);
  // Every list left is whole and named apart from the others.
  std::set<std::string> names;
  for (const auto& list : set->Snapshot()) {
    EXPECT_TRUE(names.insert(LowerCase1252(list->Name())).second) << list->Name();
    EXPECT_GE(list->IndexOf("*pattern*"), 0) << list->Name();
  }
}

}  // namespace
}  // namespace halvorn
