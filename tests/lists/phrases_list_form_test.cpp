#include "lists/phrases_list_form.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QUrl>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "foundation/files/install_folders.h"
#include "foundation/files/quor_ini_file.h"
#include "foundation/text/string_list.h"
#include "foundation/threads/heartbeat.h"
#include "foundation/time/clock.h"
#include "lists/phrases.h"
#include "lists/phrases_list.h"
#include "lists/wildcards_help.h"
#include "support/test_support.h"
#include "phrases_list_form_driver.h"

namespace halvorn {
namespace {

using test::Lines;

const TDateTime kNow = EncodeDateTime(2024, 3, 15, 10, 0, 0);

Lines EntriesOf(TPhrases& list) {
  return list.EntryTexts().ToVector();
}

std::string SaveRules(TPhrasesList& set) {
  TQuorIniFile ini("");
  set.SaveToIni(ini, "Global");
  return ini.SaveToStream();
}

// A set of lists of the test's own (the rename event recorded), the install
// folder in a folder of the test's own, the clock set, the desktop's
// choosers, beep and URL opener answered by the test, Power User mode.
class PhrasesListFormTest : public ::testing::Test {
 protected:
  PhrasesListFormTest() : FHome("HALVORN_HOME", FFolder.Path()), FClock(kNow) {
    ResetFolderCachesForTests();
    test::EnsureQtApplication();
    FOldMode = UiMode.load();
    UiMode = kUiModePowerUser;
    WatchRenames(*FSet);
  }
  ~PhrasesListFormTest() override {
    UiMode = FOldMode;
    ResetFolderCachesForTests();
  }

  void WatchRenames(TPhrasesList& set) {
    set.SetOnListRenamed([this](const std::string& now, const std::string& old) {
      FRenames.push_back(old + " -> " + now);
    });
  }

  std::shared_ptr<TPhrases> AddList(const std::string& name, std::uint8_t type,
                                    const Lines& entries, const std::string& owner = "Global") {
    auto list = std::make_shared<TPhrases>();
    list->SetName(name);
    list->SetListType(type);
    list->SetOwner(owner);
    for (const std::string& entry : entries) list->Add(entry);
    FSet->Add(list);
    return list;
  }

  test::TempFolder FFolder;
  test::ScopedEnv FHome;
  ScopedClockForTests FClock;
  test::TDesktopStandIns FDesktop;
  std::shared_ptr<TPhrasesList> FSet = std::make_shared<TPhrasesList>();
  Lines FRenames;
  std::int32_t FOldMode = kUiModeLite;
};

// The controls under their names, for the visibility and layout checks.
const char* const kControlNames[] = {
    "TopPanel",       "Label1",          "ListComboBox",       "Label2",
    "ListNameEdit",   "ImportButton",    "ExportButton",       "Label3",
    "DescriptionMemo", "ExpiryCheckBox", "Label5",             "ExpiryMaskEdit",
    "Label6",         "Label7",          "Label8",             "ListTypeRadioGroup",
    "CountLabel",     "EditPanel",       "PhrasesListBox",     "SideButtonsPanel",
    "AddButton",      "DeleteButton",    "EditButton",         "PointToFilePanel",
    "Label4",         "PathEdit",        "Button1",            "BottomButtonPanel",
    "ClearButton",    "DeleteListButton", "Button4",           "Button3"};

std::set<std::string> VisibleControls(TPhrasesListForm& form) {
  std::set<std::string> shown;
  for (const char* name : kControlNames) {
    auto* control = form.findChild<QWidget*>(name);
    EXPECT_NE(control, nullptr) << name;
    if (control != nullptr && control->isVisibleTo(&form)) shown.insert(name);
  }
  return shown;
}

std::set<std::string> Union(std::initializer_list<std::set<std::string>> parts) {
  std::set<std::string> all;
  for (const auto& part : parts) all.insert(part.begin(), part.end());
  return all;
}

TEST_F(PhrasesListFormTest, EachModeShowsItsControls) {
  const std::set<std::string> bottom = {"CountLabel", "BottomButtonPanel", "ClearButton",
                                        "DeleteListButton", "Button4", "Button3"};
  const std::set<std::string> entries = {"EditPanel", "PhrasesListBox", "SideButtonsPanel",
                                         "AddButton", "DeleteButton", "EditButton"};
  const std::set<std::string> file = {"PointToFilePanel", "Label4", "PathEdit", "Button1"};
  const std::set<std::string> settings = {"TopPanel", "ImportButton", "ExportButton",
                                          "Label3", "DescriptionMemo", "ExpiryCheckBox",
                                          "Label7", "Label8"};
  const std::set<std::string> expiry = {"Label5", "ExpiryMaskEdit", "Label6"};
  const std::set<std::string> power = {"Label1", "ListComboBox", "Label2", "ListNameEdit",
                                       "ListTypeRadioGroup"};
  struct Row {
    std::int32_t mode;
    bool fileList;
    std::set<std::string> shown;
  } rows[] = {
      {kUiModeLite, false, Union({bottom, entries})},
      {kUiModeLite, true, Union({bottom, file})},
      {kUiModeAdvanced, false, Union({bottom, entries, settings, expiry})},
      {kUiModeAdvanced, true, Union({bottom, file, settings})},
      {kUiModePowerUser, false, Union({bottom, entries, settings, expiry, power})},
      {kUiModePowerUser, true, Union({bottom, file, settings, power})},
  };
  const std::string path = FFolder.Sub("words.txt");
  ASSERT_TRUE(test::WriteFileBytes(path, "one\r\n"));
  auto normal = AddList("{Normal}", pltStrings, {"a"});
  normal->SetDaysToExpire(14);
  auto fileList = AddList("{From a File}", pltStrings, {});
  fileList->SetFilePath(path);
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "mode " << row.mode << (row.fileList ? " file" : ""));
    UiMode = row.mode;
    TPhrasesListForm form(FSet);
    form.SelectList(row.fileList ? fileList : normal);
    test::ShowActive(&form);
    EXPECT_EQ(VisibleControls(form), row.shown);
    // What a file list cannot do is disabled.
    for (QWidget* control : {static_cast<QWidget*>(form.ImportButton),
                             static_cast<QWidget*>(form.ExportButton),
                             static_cast<QWidget*>(form.ClearButton),
                             static_cast<QWidget*>(form.ExpiryCheckBox)})
      EXPECT_EQ(control->isEnabled(), !row.fileList) << control->objectName().toStdString();
    form.reject();
  }
}

// Every visible control at the smallest size lies inside the window and
// covers no other; the screenshots are kept for review.
TEST_F(PhrasesListFormTest, EveryModeFitsTheSmallestWindowAndIsPhotographed) {
  const std::string path = FFolder.Sub("words.txt");
  ASSERT_TRUE(test::WriteFileBytes(path, "one\r\ntwo\r\n*three*\r\n"));
  auto normal = AddList("{Approved Senders}", pltEmailAddress,
                        {"amy@example.com", "bob@example.org", "*@trusted.example"});
  normal->SetDescription("This is a list of people who's mail you ALWAYS want to accept.");
  normal->SetDaysToExpire(14);
  auto fileList = AddList("{Shared Keywords}", pltEmailAddress, {});
  fileList->SetFilePath(path);
  auto empty = AddList("{Banned Senders}", pltEmailAddress, {});
  const std::string output = test::OutputFolder("phrases_list_form");
  const struct {
    std::int32_t mode;
    const char* name;
  } modes[] = {{kUiModeLite, "lite"}, {kUiModeAdvanced, "advanced"},
               {kUiModePowerUser, "power-user"}};
  const struct {
    std::shared_ptr<TPhrases> list;
    const char* name;
  } kinds[] = {{normal, "normal"}, {fileList, "file"}, {empty, "empty"}};
  for (const auto& mode : modes) {
    for (const auto& kind : kinds) {
      SCOPED_TRACE(std::string(mode.name) + " " + kind.name);
      UiMode = mode.mode;
      TPhrasesListForm form(FSet);
      form.SelectList(kind.list);
      test::ShowActive(&form);
      EXPECT_EQ(form.size(), QSize(448, 571));
      const std::string stem = output + "/" + mode.name + "-" + kind.name;
      EXPECT_TRUE(form.grab().save(QString::fromStdString(stem + ".png")));

      form.resize(389, 361);
      QApplication::processEvents();
      ASSERT_EQ(form.size(), QSize(389, 361));
      EXPECT_TRUE(form.grab().save(QString::fromStdString(stem + "-smallest.png")));
      // The leaves: visible controls holding no other visible control.
      std::vector<std::pair<std::string, QRect>> leaves;
      for (const std::string& name : VisibleControls(form)) {
        auto* control = form.findChild<QWidget*>(QString::fromStdString(name));
        bool holdsAnother = false;
        for (const std::string& other : VisibleControls(form))
          holdsAnother = holdsAnother ||
                         (other != name && control->isAncestorOf(form.findChild<QWidget*>(
                                               QString::fromStdString(other))));
        if (!holdsAnother)
          leaves.emplace_back(name, QRect(control->mapTo(&form, QPoint(0, 0)), control->size()));
      }
      ASSERT_FALSE(leaves.empty());
      for (std::size_t i = 0; i < leaves.size(); ++i) {
        EXPECT_TRUE(form.rect().contains(leaves[i].second)) << leaves[i].first;
        EXPECT_FALSE(leaves[i].second.isEmpty()) << leaves[i].first;
        for (std::size_t j = i + 1; j < leaves.size(); ++j)
          EXPECT_FALSE(leaves[i].second.intersects(leaves[j].second))
              << leaves[i].first << " and " << leaves[j].first;
      }
      form.reject();
    }
  }
}

TEST_F(PhrasesListFormTest, AnOpenerShowsAListAndReadsTheNameItEndsWith) {
  auto approved = AddList("{Approved Senders}", pltEmailAddress,
                          {"zed@example.com", "Amy <AMY@example.com>", "*@trusted.example"});
  approved->SetDescription("Friends\r\nFamily");
  AddList("{Keywords}", pltStrings, {"x"});
  AddList("{Imported Friends}", pltEmailAddress, {}, "SingleUser");
  auto banned = AddList("{Banned Senders}", pltEmailAddress, {});
  const std::string before = SaveRules(*FSet);

  TPhrasesListForm form(FSet);
  form.SelectList(approved);
  // A built-in list's opener: it can be neither deleted nor renamed.
  form.DeleteListButton->setEnabled(false);
  form.ListNameEdit->setEnabled(false);
  const int result = test::RunModal(form, [&] {
    EXPECT_EQ(form.windowTitle().toStdString(), "Edit List");
    EXPECT_EQ(test::TextOf(form.ListNameEdit), "Approved Senders");
    EXPECT_EQ(form.DescriptionMemo->toPlainText().toStdString(), "Friends\nFamily");
    EXPECT_EQ(form.CountLabel->text().toStdString(), "Total Count: 3");
    EXPECT_EQ(test::RowTexts(form.PhrasesListBox),
              (Lines{"amy@example.com", "zed@example.com", "*@trusted.example"}));
    // The chooser: lists of the same type owned by the list's owner or
    // "Global", in the set's order.
    std::vector<std::string> offered;
    for (int i = 0; i < form.ListComboBox->count(); ++i)
      offered.push_back(form.ListComboBox->itemText(i).toStdString());
    EXPECT_EQ(offered, (Lines{"{Approved Senders}", "{Banned Senders}"}));
    EXPECT_EQ(form.ListComboBox->currentText().toStdString(), "{Approved Senders}");
    EXPECT_FALSE(form.DeleteListButton->isEnabled());
    EXPECT_FALSE(form.ListNameEdit->isEnabled());
    EXPECT_FALSE(form.EditButton->isEnabled());
    EXPECT_FALSE(form.DeleteButton->isEnabled());
    test::SendKey(form.Button3, Qt::Key_Space);
  });
  EXPECT_EQ(result, platform::mrOk);
  EXPECT_EQ(form.EditedListName(), "{Approved Senders}");
  EXPECT_EQ(SaveRules(*FSet), before);

  // An empty list says so in red.
  TPhrasesListForm emptyForm(FSet);
  emptyForm.SelectList(banned);
  EXPECT_EQ(emptyForm.CountLabel->text().toStdString(), kEmptyListText);
  EXPECT_EQ(emptyForm.CountLabel->palette().color(QPalette::WindowText), QColor(Qt::red));
  EXPECT_EQ(form.CountLabel->palette().color(QPalette::WindowText), QColor(Qt::black));
}

TEST_F(PhrasesListFormTest, ARenameTakesTheFirstFreeNameAndTellsTheTests) {
  auto work = AddList("{Work}", pltStrings, {});
  AddList("{Work 1}", pltStrings, {});
  auto other = AddList("{Other}", pltStrings, {"x"});
  TPhrasesListForm form(FSet);
  form.SelectList(other);
  test::ShowActive(&form);

  // Names compare without regard to case: "{work}" and then "{work 1}" are
  // taken.
  test::TypeInto(form.ListNameEdit, "work");
  test::LeaveField();
  EXPECT_EQ(test::TextOf(form.ListNameEdit), "work 1 2");
  EXPECT_EQ(form.WorkingCopy().Name(), "{work 1 2}");
  EXPECT_EQ(form.windowTitle().toStdString(), "Edit List - Modified");
  EXPECT_EQ(FRenames, (Lines{"{Other} -> {work 1 2}"}));
  EXPECT_EQ(other->Name(), "{Other}");  // the list itself only at OK

  // Its own name in another case is no clash.
  test::TypeInto(form.ListNameEdit, "other");
  test::LeaveField();
  EXPECT_EQ(form.WorkingCopy().Name(), "{other}");

  // Names the rules file cannot hold as a section are refused with a beep.
  for (const char* refused : {"", "   ", "a[b", "x]", "line\rbreak"}) {
    SCOPED_TRACE(refused);
    const int beeps = FDesktop.Beeps;
    test::Focus(form.ListNameEdit);
    form.ListNameEdit->setText(refused);
    test::LeaveField();
    EXPECT_EQ(FDesktop.Beeps, beeps + 1);
    EXPECT_EQ(test::TextOf(form.ListNameEdit), "other");
  }
  EXPECT_EQ(FRenames, (Lines{"{Other} -> {work 1 2}", "{work 1 2} -> {other}"}));

  form.Button3->click();
  EXPECT_EQ(other->Name(), "{other}");
  EXPECT_EQ(form.EditedListName(), "{other}");
  EXPECT_EQ(FSet->FindList("{work}"), work);
  EXPECT_EQ(FRenames.size(), 2u);
}

// The tests follow a rename at once; when the list does not keep the name
// they are moved back, and the window ends with the list's own name.
TEST_F(PhrasesListFormTest, ARenameThatIsNotKeptIsUndone) {
  const Lines undone = {"{Approved} -> {Friends}", "{Friends} -> {Approved}"};
  const Lines kept = {"{Approved} -> {Friends}"};
  const struct {
    const char* how;
    bool leaveField;
    std::function<void(TPhrasesListForm&)> close;
    int result;
    std::string listName;  // the list's name afterwards
    std::string endName;   // the name the window ends with
    Lines renames;
  } rows[] = {
      {"Cancel", true, [](TPhrasesListForm& form) { form.Button4->click(); }, platform::mrCancel,
       "{Approved}", "{Approved}", undone},
      {"Escape", true,
       [](TPhrasesListForm& form) { test::SendKey(form.PhrasesListBox, Qt::Key_Escape); },
       platform::mrCancel, "{Approved}", "{Approved}", undone},
      {"the close box", true, [](TPhrasesListForm& form) { form.close(); }, platform::mrCancel,
       "{Approved}", "{Approved}", undone},
      {"No to saving, then Cancel", true,
       [](TPhrasesListForm& form) {
         test::AnswerQuestion("&No");
         test::Choose(form.ListComboBox, "{Other}");
         form.Button4->click();
       },
       platform::mrCancel, "{Approved}", "{Approved}", undone},
      {"Yes to saving, then Cancel", true,
       [](TPhrasesListForm& form) {
         test::AnswerQuestion("&Yes");
         test::Choose(form.ListComboBox, "{Other}");
         form.Button4->click();
       },
       platform::mrCancel, "{Friends}", "{Other}", kept},
      // Enter in the name field presses OK: what was typed counts.
      {"Enter in the field", false,
       [](TPhrasesListForm& form) { test::SendKey(form.ListNameEdit, Qt::Key_Return); },
       platform::mrOk, "{Friends}", "{Friends}", kept},
  };
  auto list = AddList("{Approved}", pltStrings, {"a"});
  AddList("{Other}", pltStrings, {});
  for (const auto& row : rows) {
    SCOPED_TRACE(row.how);
    FRenames.clear();
    list->SetName("{Approved}");
    TPhrasesListForm form(FSet);
    form.SelectList(list);
    const int result = test::RunModal(form, [&] {
      test::TypeInto(form.ListNameEdit, "Friends");
      if (row.leaveField) test::LeaveField();
      row.close(form);
    });
    EXPECT_EQ(result, row.result);
    EXPECT_EQ(FRenames, row.renames);
    EXPECT_EQ(list->Name(), row.listName);
    EXPECT_EQ(form.EditedListName(), row.endName);
  }
}

TEST_F(PhrasesListFormTest, TheEntryDialogAddsAndEditsInTheListsForm) {
  const struct {
    std::uint8_t type;
    const char* add;
    const char* edit;
  } rows[] = {
      {pltStrings, "Add String", "Edit String"},
      {pltIPList, "Add IP (e.g. 123.456.*)", "Edit IP (e.g. 123.456.*)"},
      {pltEmailAddress, "Add E-mail Address", "Edit E-mail Address"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.add);
    auto list = AddList("{Type " + std::to_string(row.type) + "}", row.type, {"first@x.example"});
    TPhrasesListForm form(FSet);
    form.SelectList(list);
    test::ShowActive(&form);
    test::TEntrySeen seen;
    test::AnswerEntry("Second@X.example", &seen);
    form.AddButton->click();
    EXPECT_EQ(seen.Caption, row.add);
    EXPECT_EQ(seen.Initial, "");
    EXPECT_EQ(test::RowTexts(form.PhrasesListBox), (Lines{"first@x.example", "second@x.example"}));
    EXPECT_EQ(test::SelectedTexts(form.PhrasesListBox), (Lines{"second@x.example"}));
    // A double click edits the row.
    test::AnswerEntry("third@x.example", &seen);
    test::DoubleClickRow(form.PhrasesListBox, 0);
    EXPECT_EQ(seen.Caption, row.edit);
    EXPECT_EQ(seen.Initial, "first@x.example");
    EXPECT_EQ(test::RowTexts(form.PhrasesListBox), (Lines{"second@x.example", "third@x.example"}));
    // Cancel changes nothing.
    test::AnswerEntry("ignored", nullptr, false);
    form.AddButton->click();
    EXPECT_EQ(form.WorkingCopy().Count(), 2);
    form.reject();
    EXPECT_EQ(EntriesOf(*list), (Lines{"first@x.example"}));
  }

  // An address with a display name is kept as its address, lower-cased.
  auto mail = AddList("{Mail}", pltEmailAddress, {"old@example.com", "zz@example.com"});
  TPhrasesListForm form(FSet);
  form.SelectList(mail);
  test::ShowActive(&form);
  test::SelectRows(form.PhrasesListBox, {0});
  test::AnswerEntry("Bob <BOB@Example.COM>");
  form.EditButton->click();
  EXPECT_EQ(test::RowTexts(form.PhrasesListBox), (Lines{"bob@example.com", "zz@example.com"}));
  EXPECT_EQ(test::SelectedTexts(form.PhrasesListBox), (Lines{"bob@example.com"}));
  // What an address list cannot hold leaves the entry as it was.
  test::AnswerEntry("@");
  form.EditButton->click();
  EXPECT_EQ(FDesktop.Beeps, 1);
  EXPECT_EQ(test::RowTexts(form.PhrasesListBox), (Lines{"bob@example.com", "zz@example.com"}));
  form.Button3->click();
  EXPECT_EQ(EntriesOf(*mail), (Lines{"bob@example.com", "zz@example.com"}));
}

// Rows are entries in index order, plain entries first, then patterns: the
// selected rows' entries go, whichever kind they are.
TEST_F(PhrasesListFormTest, DeletingRowsDeletesExactlyTheirEntries) {
  const Lines all = {"alpha", "beta", "gamma", "*spam*", "?at"};
  const struct {
    std::vector<int> rows;
    int key;  // 0: the Delete button
    Lines left;
    Lines selectedAfter;
  } cases[] = {
      {{1}, 0, {"alpha", "gamma", "*spam*", "?at"}, {"gamma"}},
      {{4}, Qt::Key_Delete, {"alpha", "beta", "gamma", "*spam*"}, {}},
      {{0, 2, 3}, Qt::Key_Backspace, {"beta", "?at"}, {}},
      {{1, 4}, 0, {"alpha", "gamma", "*spam*"}, {}},
      {{}, Qt::Key_Delete, all, {}},
  };
  auto list = AddList("{Words}", pltStrings, all);
  for (const auto& row : cases) {
    SCOPED_TRACE(testing::Message() << row.rows.size() << " rows, key " << row.key);
    TPhrasesListForm form(FSet);
    form.SelectList(list);
    test::ShowActive(&form);
    ASSERT_EQ(test::RowTexts(form.PhrasesListBox), all);
    test::SelectRows(form.PhrasesListBox, row.rows);
    EXPECT_EQ(form.DeleteButton->isEnabled(), !row.rows.empty());
    EXPECT_EQ(form.EditButton->isEnabled(), row.rows.size() == 1);
    if (row.key == 0) {
      form.DeleteButton->click();
    } else {
      test::SendKey(form.PhrasesListBox, row.key);
    }
    EXPECT_EQ(test::RowTexts(form.PhrasesListBox), row.left);
    EXPECT_EQ(EntriesOf(form.WorkingCopy()), row.left);
    EXPECT_EQ(test::SelectedTexts(form.PhrasesListBox), row.selectedAfter);
    form.reject();
    EXPECT_EQ(EntriesOf(*list), all);
  }
}

TEST_F(PhrasesListFormTest, ChoosingAnotherListAsksAboutUnsavedChanges) {
  auto a = AddList("{A}", pltStrings, {"a1"});
  auto b = AddList("{B}", pltStrings, {"b1"});
  TPhrasesListForm form(FSet);
  form.SelectList(a);
  test::ShowActive(&form);

  test::WithoutQuestion([&] { test::Choose(form.ListComboBox, "{B}"); });
  EXPECT_EQ(form.EditedList(), b);
  EXPECT_EQ(test::RowTexts(form.PhrasesListBox), (Lines{"b1"}));

  test::AnswerEntry("b2");
  form.AddButton->click();
  std::string asked;
  test::AnswerQuestion("&No", &asked);
  test::Choose(form.ListComboBox, "{A}");
  EXPECT_EQ(asked, "Save changes to current list?");
  EXPECT_EQ(form.ListComboBox->currentText().toStdString(), "{B}");
  EXPECT_EQ(form.EditedList(), b);
  EXPECT_EQ(test::RowTexts(form.PhrasesListBox), (Lines{"b1", "b2"}));
  EXPECT_EQ(form.windowTitle().toStdString(), "Edit List - Modified");
  EXPECT_EQ(EntriesOf(*b), (Lines{"b1"}));

  test::AnswerQuestion("&Yes");
  test::Choose(form.ListComboBox, "{A}");
  EXPECT_EQ(EntriesOf(*b), (Lines{"b1", "b2"}));
  EXPECT_EQ(form.EditedList(), a);
  EXPECT_EQ(test::RowTexts(form.PhrasesListBox), (Lines{"a1"}));
  EXPECT_EQ(form.windowTitle().toStdString(), "Edit List");

  // A change of the settings alone counts as unsaved too.
  test::TypeInto(form.DescriptionMemo, "About A");
  test::LeaveField();
  test::AnswerQuestion("&No", &asked);
  test::Choose(form.ListComboBox, "{B}");
  EXPECT_EQ(form.EditedList(), a);
}

TEST_F(PhrasesListFormTest, PointingToAFileReadsItAndTheNormalTypeKeepsWhatWasRead) {
  const std::string path = FFolder.Sub("list.txt");
  ASSERT_TRUE(test::WriteFileBytes(path, "Zeta\r\nalpha\r\n*x*\r\n"));
  auto list = AddList("{Mixed}", pltStrings, {"keep1", "keep2"});
  list->SetDaysToExpire(7);

  TPhrasesListForm form(FSet);
  form.SelectList(list);
  test::ShowActive(&form);
  EXPECT_EQ(form.height(), 571);
  form.FileListRadio->click();
  EXPECT_EQ(form.height(), 430);
  EXPECT_FALSE(form.EditPanel->isVisible());
  EXPECT_TRUE(form.PointToFilePanel->isVisible());
  EXPECT_TRUE(form.ExpiryCheckBox->isChecked());
  // A name that is no file is refused.
  test::TypeInto(form.PathEdit, FFolder.Sub("missing.txt"));
  test::LeaveField();
  EXPECT_EQ(FDesktop.Beeps, 1);
  EXPECT_EQ(form.WorkingCopy().FilePath(), "");
  FDesktop.OpenAnswers = {path};
  form.Button1->click();
  ASSERT_EQ(FDesktop.Asked.size(), 1u);
  EXPECT_EQ(FDesktop.Asked[0].Folder, GetInstallDir());
  EXPECT_EQ(test::TextOf(form.PathEdit), path);
  EXPECT_EQ(form.CountLabel->text().toStdString(), "Total Count: 3");
  form.Button3->click();
  // The same list, now read from its file; its expiry untouched.
  EXPECT_EQ(FSet->FindList("{Mixed}"), list);
  EXPECT_EQ(list->FilePath(), path);
  EXPECT_EQ(list->DaysToExpire(), 7);
  EXPECT_EQ(EntriesOf(*list), (Lines{"alpha", "zeta", "*x*"}));

  // Opening a file list changes no size; back to a normal list, the path
  // goes at OK and the entries read stay, no longer tied to the file.
  TPhrasesListForm again(FSet);
  again.SelectList(list);
  test::ShowActive(&again);
  EXPECT_TRUE(again.FileListRadio->isChecked());
  EXPECT_EQ(again.height(), 571);
  again.NormalListRadio->click();
  EXPECT_EQ(again.height(), 500);
  EXPECT_TRUE(again.EditPanel->isVisible());
  EXPECT_EQ(test::RowTexts(again.PhrasesListBox), (Lines{"alpha", "zeta", "*x*"}));
  again.Button3->click();
  EXPECT_EQ(list->FilePath(), "");
  ASSERT_TRUE(test::WriteFileBytes(path, "other\r\n"));
  EXPECT_EQ(EntriesOf(*list), (Lines{"alpha", "zeta", "*x*"}));
}

// Whatever was edited, a window closed without OK leaves the set as it was:
// the rules file saved before and after is the same, byte for byte.
TEST_F(PhrasesListFormTest, CancelAndEscapeLeaveTheRulesFileAsItWas) {
  std::string fixture = test::ReadFileBytes(test::DataPath("rules_file.txt"));
  ASSERT_FALSE(fixture.empty());
  fixture.replace(fixture.find("@FOLDER@"), 8, FFolder.Path());
  ASSERT_TRUE(test::WriteFileBytes(FFolder.Sub("keywords.txt"), "Free Money\r\n*lottery*\r\n"));
  const std::string other = FFolder.Sub("other.txt");
  ASSERT_TRUE(test::WriteFileBytes(other, "elsewhere\r\n"));

  const struct {
    const char* how;
    bool edit;
    std::function<void(TPhrasesListForm&)> close;
  } rows[] = {
      {"Cancel", true, [](TPhrasesListForm& form) { form.Button4->click(); }},
      {"Escape", true,
       [](TPhrasesListForm& form) {
         QWidget* focused = QApplication::focusWidget();
         test::SendKey(focused != nullptr ? focused : &form, Qt::Key_Escape);
       }},
      {"the close box", true, [](TPhrasesListForm& form) { form.close(); }},
      {"OK without a change", false, [](TPhrasesListForm& form) { form.Button3->click(); }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.how);
    auto set = std::make_shared<TPhrasesList>();
    WatchRenames(*set);
    FRenames.clear();
    TQuorIniFile ini("");
    ini.LoadFromStream(fixture);
    set->LoadFromIni(ini, "Global");
    const std::string before = SaveRules(*set);
    ASSERT_GE(set->Count(), 5);

    for (const auto& list : set->Snapshot()) {
      SCOPED_TRACE(list->Name());
      TPhrasesListForm form(set);
      form.SelectList(list);
      const int result = test::RunModal(form, [&] {
        if (row.edit) {
          if (form.EditPanel->isVisible()) {
            test::AnswerEntry("new entry");
            form.AddButton->click();
            test::SelectRows(form.PhrasesListBox, {0});
            test::SendKey(form.PhrasesListBox, Qt::Key_Delete);
            test::AnswerQuestion("OK");
            form.ClearButton->click();
            test::AnswerEntry("after clearing");
            form.AddButton->click();
          }
          test::TypeInto(form.ListNameEdit, "Renamed");
          test::TypeInto(form.DescriptionMemo, "New\ndescription");
          if (!form.ExpiryCheckBox->isChecked()) {
            test::TypeInto(form.ExpiryMaskEdit, "99");
          } else if (form.ExpiryCheckBox->isEnabled()) {
            form.ExpiryCheckBox->click();
          }
          test::TypeInto(form.ListNameEdit, "Renamed again");
          test::LeaveField();
          (form.FileListRadio->isChecked() ? form.NormalListRadio : form.FileListRadio)->click();
          if (form.PointToFilePanel->isVisible()) {
            FDesktop.OpenAnswers = {other};
            form.Button1->click();
          }
          EXPECT_TRUE(form.Modified());
        }
        row.close(form);
      });
      EXPECT_EQ(result, row.edit ? platform::mrCancel : platform::mrOk);
      EXPECT_EQ(form.EditedListName(), list->Name());
    }
    EXPECT_EQ(SaveRules(*set), before);
    // Each rename reached the tests and was taken back.
    if (row.edit) {
      ASSERT_EQ(FRenames.size() % 3, 0u);
      for (std::size_t i = 0; i < FRenames.size(); i += 3) {
        const std::string original = FRenames[i].substr(0, FRenames[i].find(" -> "));
        EXPECT_EQ(FRenames[i + 2], "{Renamed again} -> " + original);
      }
    } else {
      EXPECT_TRUE(FRenames.empty());
    }
  }
}

TEST_F(PhrasesListFormTest, ImportReadsAsAListFileAndExportWritesCrLfLines) {
  const std::string import = FFolder.Sub("import.txt");
  const std::string content = "Beta\r\nalpha\n\n*Spam*\r\n\r\n  padded  \nlast";
  ASSERT_TRUE(test::WriteFileBytes(import, content));
  auto list = AddList("{Words}", pltStrings, {"gamma"});
  TPhrasesListForm form(FSet);
  form.SelectList(list);
  test::ShowActive(&form);

  FDesktop.OpenAnswers = {import};
  form.ImportButton->click();
  ASSERT_EQ(FDesktop.Asked.size(), 1u);
  EXPECT_EQ(FDesktop.Asked[0].Folder, GetInstallDir());
  // The same entries as a list that reads those lines (Python's splitlines
  // splits CR LF, LF and CR as the list file reader does).
  const test::CommandResult lines = test::RunPython(
      "for line in open('" + import + "', newline='', encoding='latin-1').read().splitlines():\n"
      "  print(line)\n");
  ASSERT_EQ(lines.ExitCode, 0) << lines.Output;
  TPhrases reference;
  TStringList read;
  for (const std::string& line : test::OutputLines(lines.Output)) read.Add(line);
  reference.AddStrings(read);
  reference.Add("gamma");
  EXPECT_EQ(EntriesOf(form.WorkingCopy()), EntriesOf(reference));
  EXPECT_EQ(test::RowTexts(form.PhrasesListBox),
            (Lines{"  padded  ", "alpha", "beta", "gamma", "last", "*spam*"}));

  // A file that is not there beeps; a cancelled choice does nothing.
  FDesktop.OpenAnswers = {FFolder.Sub("gone.txt")};
  form.ImportButton->click();
  FDesktop.OpenAnswers = {};
  form.ImportButton->click();
  EXPECT_EQ(FDesktop.Beeps, 1);
  EXPECT_EQ(form.WorkingCopy().Count(), 6);

  const std::string exported = FFolder.Sub("export.txt");
  FDesktop.SaveAnswers = {exported};
  form.ExportButton->click();
  EXPECT_EQ(FDesktop.Asked.back().Folder, GetInstallDir());
  const test::CommandResult written = test::RunPython(
      "for line in open('" + exported + "', newline='', encoding='latin-1'):\n"
      "  print(repr(line))\n");
  ASSERT_EQ(written.ExitCode, 0) << written.Output;
  EXPECT_EQ(test::OutputLines(written.Output),
            (Lines{"'  padded  \\r\\n'", "'alpha\\r\\n'", "'beta\\r\\n'", "'gamma\\r\\n'",
                   "'last\\r\\n'", "'*spam*\\r\\n'"}));

  // A file that cannot be written is reported.
  std::string asked;
  FDesktop.SaveAnswers = {FFolder.Sub("no/such/folder.txt")};
  test::AnswerQuestion("OK", &asked);
  form.ExportButton->click();
  EXPECT_NE(asked.find(FFolder.Sub("no/such")), std::string::npos) << asked;
  form.reject();
  EXPECT_EQ(EntriesOf(*list), (Lines{"gamma"}));
}

TEST_F(PhrasesListFormTest, ClearAndExpiryChangeOnlyTheCopyUntilOk) {
  auto list = AddList("{Words}", pltStrings, {"one", "two"});
  TPhrasesListForm form(FSet);
  form.SelectList(list);
  test::ShowActive(&form);

  std::string asked;
  test::AnswerQuestion("Cancel", &asked);
  form.ClearButton->click();
  EXPECT_EQ(asked, "Are you sure you want to delete the entire contents of this list?");
  EXPECT_EQ(form.PhrasesListBox->count(), 2);
  test::AnswerQuestion("OK");
  form.ClearButton->click();
  EXPECT_EQ(form.PhrasesListBox->count(), 0);
  EXPECT_EQ(form.CountLabel->text().toStdString(), kEmptyListText);

  EXPECT_TRUE(form.ExpiryCheckBox->isChecked());
  EXPECT_FALSE(form.ExpiryMaskEdit->isVisible());
  form.ExpiryCheckBox->click();
  EXPECT_EQ(form.WorkingCopy().DaysToExpire(), 14);
  EXPECT_TRUE(form.ExpiryMaskEdit->isVisible());
  EXPECT_EQ(form.ExpiryMaskEdit->text().toStdString(), "14");
  const struct {
    const char* typed;
    int days;
  } typed[] = {{"30", 30}, {"", 30}, {"7", 7}, {"9999", 9999}, {"0", 0}};
  for (const auto& row : typed) {
    SCOPED_TRACE(row.typed);
    if (!form.ExpiryMaskEdit->isVisible()) form.ExpiryCheckBox->click();
    test::TypeInto(form.ExpiryMaskEdit, row.typed);
    test::LeaveField();
    EXPECT_EQ(form.WorkingCopy().DaysToExpire(), row.days);
  }
  // 0 days is "never".
  EXPECT_TRUE(form.ExpiryCheckBox->isChecked());
  form.ExpiryCheckBox->click();
  test::TypeInto(form.ExpiryMaskEdit, "45");
  EXPECT_EQ(list->DaysToExpire(), 0);
  EXPECT_EQ(EntriesOf(*list), (Lines{"one", "two"}));
  // OK takes what is being typed.
  test::SendKey(form.ExpiryMaskEdit, Qt::Key_Return);
  EXPECT_EQ(form.result(), platform::mrOk);
  EXPECT_EQ(list->DaysToExpire(), 45);
  EXPECT_EQ(list->Count(), 0);
}

// Delete List takes the list out of the set at once and goes on with the
// chooser's first list in a new working copy; with no list left the window
// closes with OK and names none.
TEST_F(PhrasesListFormTest, DeleteListGoesOnWithTheNextListOrCloses) {
  auto first = AddList("{First}", pltStrings, {"f1"});
  auto second = AddList("{Second}", pltStrings, {"s1", "s2"});
  auto mail = AddList("{Mail}", pltEmailAddress, {});
  TPhrasesListForm form(FSet);
  form.SelectList(first);
  test::ShowActive(&form);
  test::AnswerEntry("f2");
  form.AddButton->click();

  std::string asked;
  test::AnswerQuestion("&No", &asked);
  form.DeleteListButton->click();
  EXPECT_EQ(asked, "Are you sure you want to delete this list?");
  EXPECT_EQ(FSet->Count(), 3);

  test::AnswerQuestion("&Yes");
  form.DeleteListButton->click();
  EXPECT_EQ(FSet->FindList("{First}"), nullptr);
  EXPECT_EQ(EntriesOf(*first), (Lines{"f1"}));  // still whole for whoever holds it
  EXPECT_EQ(form.EditedList(), second);
  EXPECT_EQ(test::TextOf(form.ListNameEdit), "Second");
  EXPECT_EQ(test::RowTexts(form.PhrasesListBox), (Lines{"s1", "s2"}));
  EXPECT_EQ(form.ListComboBox->count(), 1);
  EXPECT_EQ(form.ListComboBox->itemText(0).toStdString(), "{Second}");
  EXPECT_FALSE(form.Modified());
  EXPECT_TRUE(form.isVisible());

  test::AnswerQuestion("&Yes");
  form.DeleteListButton->click();
  EXPECT_FALSE(form.isVisible());
  EXPECT_EQ(form.result(), platform::mrOk);
  EXPECT_EQ(form.EditedListName(), "");
  EXPECT_EQ(FSet->Count(), 1);
  EXPECT_EQ(FSet->Items(0), mail);
}

// A window opened without a list makes one when the user names it: the list
// joins the set at once and takes the working copy at OK.
TEST_F(PhrasesListFormTest, NamingAListInAWindowOpenedWithoutOneMakesIt) {
  for (const bool ok : {true, false}) {
    SCOPED_TRACE(ok ? "OK" : "Cancel");
    FSet = std::make_shared<TPhrasesList>();
    WatchRenames(*FSet);
    FRenames.clear();
    std::shared_ptr<TPhrases> made;
    {
      TPhrasesListForm form(FSet);
      test::ShowActive(&form);
      test::AnswerEntry("hello");
      form.AddButton->click();
      test::TypeInto(form.ListNameEdit, "Fresh");
      test::LeaveField();
      ASSERT_EQ(FSet->Count(), 1);
      made = FSet->Items(0);
      EXPECT_EQ(made->Name(), "{UnNamed}");
      EXPECT_EQ(made->Count(), 0);
      EXPECT_EQ(form.EditedList(), made);
      (ok ? form.Button3 : form.Button4)->click();
      EXPECT_EQ(form.EditedListName(), ok ? "{Fresh}" : "{UnNamed}");
    }
    ASSERT_EQ(FSet->Count(), 1);
    EXPECT_EQ(FSet->Items(0), made);
    if (ok) {
      EXPECT_EQ(made->Name(), "{Fresh}");
      EXPECT_EQ(EntriesOf(*made), (Lines{"hello"}));
      EXPECT_EQ(FRenames, (Lines{"{UnNamed} -> {Fresh}"}));
    } else {
      EXPECT_EQ(made->Name(), "{UnNamed}");
      EXPECT_EQ(made->Count(), 0);
      EXPECT_EQ(FRenames, (Lines{"{UnNamed} -> {Fresh}", "{Fresh} -> {UnNamed}"}));
    }
    // The window is gone; the list is the set's and works.
    EXPECT_GE(made->Add("after"), 0);
  }
}

TEST_F(PhrasesListFormTest, TheWildcardLinkOpensTheInstalledHelpPage) {
  auto list = AddList("{Words}", pltStrings, {});
  TPhrasesListForm form(FSet);
  form.SelectList(list);
  test::ShowActive(&form);
  EXPECT_EQ(QUrl(form.Label8->toolTip()).toLocalFile().toStdString(), WildcardsHelpPagePath());
  EXPECT_EQ(form.Label8->cursor().shape(), Qt::PointingHandCursor);
  const std::string page = WildcardsHelpPagePath();
  ASSERT_TRUE(CreateFolderTree(GetInstallDir() + "/Help"));
  ASSERT_TRUE(test::WriteFileBytes(page, "an older page"));

  test::ClickOn(form.Label8);
  ASSERT_EQ(FDesktop.Opened, (Lines{form.WildcardsHelpAddress()}));
  const QUrl address(QString::fromStdString(FDesktop.Opened[0]));
  EXPECT_EQ(address.scheme().toStdString(), "file");
  EXPECT_EQ(address.toLocalFile().toStdString(), page);
  EXPECT_EQ(page.rfind(GetInstallDir() + "/", 0), 0u);
  EXPECT_EQ(test::ReadFileBytes(page), ShippedWildcardsHelpPage());
}

}  // namespace
}  // namespace halvorn
