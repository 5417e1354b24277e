// TPhrasesListForm: the modal window in which the user edits one phrase list
// of the global set: its name, description, expiry, whether it is kept in
// the settings or read from a file, and its entries.
//
// The window edits a working copy of its own, never a member of the set;
// the list in the set takes the copy's contents (one TPhrases::Assign) only
// when the window closes with OK, or when the user answers Yes to "Save
// changes to current list?" before choosing another list. Three things reach
// the set at once, whatever the window's end: a rename tells the set's
// rename event (so tests follow the list; undone when the rename is not kept
// in the end), a list made by naming one in a window opened without a list
// joins the set, and Delete List takes the list out of the set.
//
// How an opener uses it (main thread only):
//   TPhrasesListForm form;
//   form.SelectList(list);                      // a list of the set
//   form.DeleteListButton->setEnabled(false);   // optional, e.g. built-in lists
//   form.ListNameEdit->setEnabled(false);
//   form.exec();                                // platform::mrOk or mrCancel
//   std::string name = form.EditedListName();   // empty when it ends with none
//
// The set is GlobalPhrasesList() at creation, or the one given. The lists it
// shows stay in use by other threads meanwhile: the set holds them by
// shared_ptr and each list has its own lock, so a list the window deletes
// lives on while a worker still uses it.
//
// What the window asks goes through the platform's dialogs and choosers
// (QuorMessageDlg, EditString, ChooseFileToOpen, ChooseFileToSave, Beep,
// OpenUrl), which tests replace or answer.
#pragma once

#include <QDialog>

#include <cstdint>
#include <memory>
#include <string>

#include "platform/file_choosers.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;

namespace halvorn {

class TPhrases;
class TPhrasesList;

// The window's fixed texts.
inline constexpr const char* kEditListCaption = "Edit List";
inline constexpr const char* kEditListModifiedCaption = "Edit List - Modified";
inline constexpr const char* kEmptyListText =
    "No items currently in list.  Press Add Button to  create an new item.";
inline constexpr const char* kSaveChangesQuestion = "Save changes to current list?";
inline constexpr const char* kClearListQuestion =
    "Are you sure you want to delete the entire contents of this list?";
inline constexpr const char* kDeleteListQuestion = "Are you sure you want to delete this list?";
// The name a list gets when the user names one in a window opened without a
// list.
inline constexpr const char* kUnnamedListName = "{UnNamed}";

// "List Type" choices (ListTypeRadioGroup).
inline constexpr int kNormalExplicitList = 0;
inline constexpr int kPointToAFile = 1;

class TPhrasesListForm : public QDialog {
 public:
  // The window over the given set, or GlobalPhrasesList() when none is given
  // (a window without a set shows only its working copy). The user-interface
  // mode (UiMode) at creation decides which controls show. Main thread.
  explicit TPhrasesListForm(std::shared_ptr<TPhrasesList> set = nullptr,
                            QWidget* parent = nullptr);
  ~TPhrasesListForm() override;
  TPhrasesListForm(const TPhrasesListForm&) = delete;
  TPhrasesListForm& operator=(const TPhrasesListForm&) = delete;

  // Loads a list of the set into the window: the working copy takes its
  // contents, the chooser offers the lists of its type, the display follows.
  // Nothing happens for nullptr. An earlier list's unsaved changes are
  // dropped (a rename among them undone).
  void SelectList(std::shared_ptr<TPhrases> list);
  // Refills the chooser with the names of the set's lists of the type whose
  // owner is the working copy's or "Global", in the set's order, and selects
  // the first.
  void FillListCombo(std::uint8_t type);
  // Sets FModified and the caption.
  void SetModified(bool flag);
  // Shows the working copy. `sender` is the control that asked: only the
  // type radio group resizes the window.
  void UpdateDisplay(QObject* sender = nullptr);

  // The name of the list the window ends with (the edited list's), empty
  // when none: after the modal run the opener shows it where the old name
  // was.
  std::string EditedListName() const;
  // The list the window edits; nullptr before SelectList and after Delete
  // List emptied the chooser.
  std::shared_ptr<TPhrases> EditedList() const { return FEditedList; }
  // The working copy, for tests; it belongs to the window.
  TPhrases& WorkingCopy() const { return *FWorkingCopy; }
  bool Modified() const { return FModified; }
  // ListTypeRadioGroup's choice: kNormalExplicitList or kPointToAFile.
  int ListTypeIndex() const;

  // ---- Controls, named as the rest of the program knows them.
  QWidget* TopPanel = nullptr;
  QLabel* Label1 = nullptr;
  QComboBox* ListComboBox = nullptr;
  QLabel* Label2 = nullptr;
  QLineEdit* ListNameEdit = nullptr;
  QPushButton* ImportButton = nullptr;
  QPushButton* ExportButton = nullptr;
  QLabel* Label3 = nullptr;
  QPlainTextEdit* DescriptionMemo = nullptr;
  QCheckBox* ExpiryCheckBox = nullptr;
  QLabel* Label5 = nullptr;
  QLineEdit* ExpiryMaskEdit = nullptr;
  QLabel* Label6 = nullptr;
  QLabel* Label7 = nullptr;
  QLabel* Label8 = nullptr;
  QGroupBox* ListTypeRadioGroup = nullptr;
  QRadioButton* NormalListRadio = nullptr;
  QRadioButton* FileListRadio = nullptr;
  QLabel* CountLabel = nullptr;
  QWidget* EditPanel = nullptr;
  QListWidget* PhrasesListBox = nullptr;
  QWidget* SideButtonsPanel = nullptr;
  QPushButton* AddButton = nullptr;
  QPushButton* DeleteButton = nullptr;
  QPushButton* EditButton = nullptr;
  QWidget* PointToFilePanel = nullptr;
  QLabel* Label4 = nullptr;
  QLineEdit* PathEdit = nullptr;
  QPushButton* Button1 = nullptr;
  QWidget* BottomButtonPanel = nullptr;
  QPushButton* ClearButton = nullptr;
  QPushButton* DeleteListButton = nullptr;
  QPushButton* Button4 = nullptr;  // "&Cancel"
  QPushButton* Button3 = nullptr;  // "&OK"
  // What the file choosers are asked: OpenDialog1 for importing and for
  // choosing a list's file, SaveDialog1 for exporting; both start in the
  // install folder.
  platform::TFileChoice OpenDialog1;
  platform::TFileChoice SaveDialog1;

  // ---- Event handlers, each run by its control (public for the openers'
  // tests; they act as the user's action would).
  // Escape closes the window with mrCancel; answers whether it acted.
  bool FormKeyDown(QKeyEvent* event);
  // Runs as the window closes with `result`, before it is hidden.
  void FormClose(int result);
  void ListComboBoxChange();
  void ListNameEditEnter();
  void ListNameEditExit();
  void DescriptionMemoExit();
  void ExpiryCheckBoxClick();
  void ExpiryMaskEditExit();
  void ImportButtonClick();
  void ExportButtonClick();
  void ClearButtonClick();
  void Button1Click();
  void PathEditExit();
  void DeleteListButtonClick();
  void AddButtonClick();
  void EditButtonClick();
  void DeleteButtonClick();
  void PhrasesListBoxClick();
  void Label8Click();
  void SideButtonsPanelDblClick() {}

  // The address the wildcard link shows and opens: the help page as a file
  // address.
  std::string WildcardsHelpAddress() const { return FHelpAddress; }

  // Closes the window: FormClose, then the modal run ends with the result.
  void done(int result) override;
  // Escape and the window's close button answer mrCancel.
  void reject() override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void BuildControls();
  void ShowForMode();
  void NewWorkingCopy();
  std::shared_ptr<TPhrases> FindListNamed(const std::string& name) const;
  // The chooser shows the name (no change handler runs).
  void ShowInChooser(const std::string& name);
  // Re-reads the list box when it no longer has a row per entry.
  void CheckRowCount();
  // The working copy goes into the edited list (with the path rule of the
  // type choice); FModified is cleared.
  void CopyBack();
  // When the working copy carries a name the set's list does not have (a
  // rename that was not copied back), tells the rename event the way back.
  void UndoUnsavedRename();
  // Runs the exit handler of the field that has the focus, so that what
  // was typed counts when OK is pressed with Enter.
  void FinishFocusedEdit();
  void ShowHelpAddress();
  void ShowCount(int count);

  std::shared_ptr<TPhrasesList> FSet;
  std::uint8_t FChooserType = 0;
  std::unique_ptr<TPhrases> FWorkingCopy;
  std::shared_ptr<TPhrases> FEditedList;
  std::string FSelectedEntry;
  bool FModified = false;

  std::int32_t FUiMode = 0;
  std::string FHelpAddress;
  QButtonGroup* FListTypeButtons = nullptr;
  // Set once FormClose has run: focus changes while the window goes away
  // must not edit anything any more.
  bool FClosed = false;
  // Set while the display is refilled, so that selection changes do not run
  // the list box's click handler half-way.
  bool FRefilling = false;
};

}  // namespace halvorn
