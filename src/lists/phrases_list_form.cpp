#include "lists/phrases_list_form.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QFile>
#include <QFocusEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <system_error>
#include <vector>

#include "foundation/app/log.h"
#include "foundation/files/install_folders.h"
#include "foundation/text/numbers.h"
#include "foundation/text/string_list.h"
#include "foundation/text/text_helpers.h"
#include "foundation/threads/heartbeat.h"
#include "lists/phrases.h"
#include "lists/phrases_list.h"
#include "lists/wildcards_help.h"
#include "platform/desktop_help.h"
#include "platform/dialogs.h"
#include "platform/qt_text.h"

namespace halvorn {

namespace {

using platform::FromCodePage1252;
using platform::ToCodePage1252;

constexpr int kWidth = 448;
constexpr int kHeight = 571;
constexpr int kMinWidth = 389;
constexpr int kMinHeight = 361;
// The heights the type choice gives the window at 96 pixels per inch: a file
// list needs no room for entries.
constexpr int kFileListHeight = 430;
constexpr int kNormalListHeight = 500;
constexpr int kDaysWhenExpiryIsSwitchedOn = 14;

constexpr const char* kListFileFilter = "Text files (*.txt);;All files (*)";

// The entry dialog's captions by list type (Strings, IP List, Email Address).
constexpr const char* kAddCaptions[] = {"Add String", "Add IP (e.g. 123.456.*)",
                                        "Add E-mail Address"};
constexpr const char* kEditCaptions[] = {"Edit String", "Edit IP (e.g. 123.456.*)",
                                         "Edit E-mail Address"};

const char* CaptionFor(const char* const (&captions)[3], std::uint8_t type) {
  return captions[type < 3 ? type : 0];
}

// The name as the name field shows it: the text between "{" and the last
// "}" after it, or the whole name when it has no braces.
std::string BareName(const std::string& name) {
  const std::size_t open = name.find('{');
  const std::size_t close = name.rfind('}');
  if (open == std::string::npos || close == std::string::npos || close < open) return name;
  return name.substr(open + 1, close - open - 1);
}

// Whether the rules file can hold "{" + text + "}" as a section name and
// read it back: not blank, and no bracket, line break or zero byte.
bool IsStorableListName(const std::string& text) {
  return !TrimText(text).empty() && text.find_first_of(std::string("[]\r\n\0", 5)) ==
                                        std::string::npos;
}

// The description's lines are kept joined by CR LF; the memo has LF.
QString DescriptionToMemo(const std::string& description) {
  QString text = FromCodePage1252(description);
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return text;
}

std::string MemoToDescription(const QString& memo) {
  QString text = memo;
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text.replace(QStringLiteral("\n"), QStringLiteral("\r\n"));
  return ToCodePage1252(text);
}

bool IsRegularFile(const std::string& path) {
  std::error_code error;
  return !path.empty() && std::filesystem::is_regular_file(path, error);
}

// Focus that moves because another window came or went (a question, the
// entry dialog) is no entering or leaving of a field.
bool IsFieldChange(QEvent* event) {
  const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
  return reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason;
}

QPushButton* NewButton(const char* caption, const char* name, QWidget* parent) {
  auto* button = new QPushButton(QString::fromLatin1(caption), parent);
  button->setObjectName(QString::fromLatin1(name));
  // Enter in a field means OK, whichever button had the focus last.
  button->setAutoDefault(false);
  return button;
}

QLabel* NewLabel(const char* caption, const char* name, QWidget* parent) {
  auto* label = new QLabel(QString::fromLatin1(caption), parent);
  label->setObjectName(QString::fromLatin1(name));
  return label;
}

}  // namespace

TPhrasesListForm::TPhrasesListForm(std::shared_ptr<TPhrasesList> set, QWidget* parent)
    : QDialog(parent), FSet(set ? std::move(set) : GlobalPhrasesList()) {
  setObjectName(QStringLiteral("PhrasesListForm"));
  setWindowTitle(QString::fromLatin1(kEditListCaption));
  FUiMode = UiMode.load();
  FHelpAddress = QUrl::fromLocalFile(QFile::decodeName(WildcardsHelpPagePath().c_str()))
                     .toString(QUrl::FullyEncoded)
                     .toStdString();
  const std::string installDir = GetInstallDir();
  OpenDialog1.Folder = installDir;
  OpenDialog1.Filter = kListFileFilter;
  SaveDialog1.Folder = installDir;
  SaveDialog1.Filter = kListFileFilter;

  BuildControls();
  NewWorkingCopy();
  ShowForMode();
  // Qt scales the window with the screen's resolution itself.
  resize(kWidth, kHeight);
  setMinimumSize(kMinWidth, kMinHeight);
  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
  UpdateDisplay();

  // The window sees every key first, and the leaving of its fields.
  for (QWidget* child : findChildren<QWidget*>()) child->installEventFilter(this);
}

// Declared here, where TPhrases is complete.
TPhrasesListForm::~TPhrasesListForm() = default;

void TPhrasesListForm::BuildControls() {
  TopPanel = new QWidget(this);
  TopPanel->setObjectName(QStringLiteral("TopPanel"));
  auto* top = new QGridLayout(TopPanel);
  top->setContentsMargins(0, 0, 0, 0);
  top->setHorizontalSpacing(6);
  top->setVerticalSpacing(3);

  Label1 = NewLabel("List to Edit:", "Label1", TopPanel);
  ListComboBox = new QComboBox(TopPanel);
  ListComboBox->setObjectName(QStringLiteral("ListComboBox"));
  ListComboBox->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  ListComboBox->setMinimumContentsLength(8);
  ImportButton = NewButton("&Import...", "ImportButton", TopPanel);
  Label2 = NewLabel("Name of List:", "Label2", TopPanel);
  ListNameEdit = new QLineEdit(TopPanel);
  ListNameEdit->setObjectName(QStringLiteral("ListNameEdit"));
  ExportButton = NewButton("&Export...", "ExportButton", TopPanel);
  Label3 = NewLabel("Description:", "Label3", TopPanel);
  Label3->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  DescriptionMemo = new QPlainTextEdit(TopPanel);
  DescriptionMemo->setObjectName(QStringLiteral("DescriptionMemo"));
  DescriptionMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  DescriptionMemo->setTabChangesFocus(true);
  DescriptionMemo->setMinimumHeight(DescriptionMemo->fontMetrics().lineSpacing() * 2 + 10);
  DescriptionMemo->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
  DescriptionMemo->setMaximumHeight(DescriptionMemo->fontMetrics().lineSpacing() * 4 + 10);

  ExpiryCheckBox = new QCheckBox(QStringLiteral("Items Never Expire"), TopPanel);
  ExpiryCheckBox->setObjectName(QStringLiteral("ExpiryCheckBox"));
  ExpiryCheckBox->setChecked(true);
  Label5 = NewLabel("Items Expire in", "Label5", TopPanel);
  ExpiryMaskEdit = new QLineEdit(TopPanel);
  ExpiryMaskEdit->setObjectName(QStringLiteral("ExpiryMaskEdit"));
  // Up to four digits, each optional, blanks where none is typed.
  ExpiryMaskEdit->setInputMask(QStringLiteral("0000; "));
  ExpiryMaskEdit->setFixedWidth(ExpiryMaskEdit->fontMetrics().horizontalAdvance(
                                    QStringLiteral("00000")) +
                                16);
  Label6 = NewLabel("days", "Label6", TopPanel);
  auto* expiry = new QHBoxLayout;
  expiry->setSpacing(6);
  expiry->addWidget(ExpiryCheckBox);
  expiry->addSpacing(12);
  expiry->addWidget(Label5);
  expiry->addWidget(ExpiryMaskEdit);
  expiry->addWidget(Label6);
  expiry->addStretch();

  Label7 = NewLabel("For an explanation of wildcards see:", "Label7", TopPanel);
  Label8 = NewLabel("", "Label8", TopPanel);
  Label8->setCursor(Qt::PointingHandCursor);
  Label8->setToolTip(QUrl(QString::fromStdString(FHelpAddress)).toString());
  // The address is elided to the room there is (see eventFilter), so it
  // never widens the window.
  Label8->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  Label8->setMinimumWidth(40);
  QFont linkFont = Label8->font();
  linkFont.setUnderline(true);
  Label8->setFont(linkFont);
  QPalette linkPalette = Label8->palette();
  linkPalette.setColor(QPalette::WindowText, Qt::blue);
  Label8->setPalette(linkPalette);
  auto* help = new QHBoxLayout;
  help->addWidget(Label7);
  help->addWidget(Label8, 1);

  ListTypeRadioGroup = new QGroupBox(QStringLiteral("List Type"), TopPanel);
  ListTypeRadioGroup->setObjectName(QStringLiteral("ListTypeRadioGroup"));
  NormalListRadio = new QRadioButton(QStringLiteral("Normal Explicit List"), ListTypeRadioGroup);
  FileListRadio = new QRadioButton(QStringLiteral("Point to a File"), ListTypeRadioGroup);
  NormalListRadio->setChecked(true);
  FListTypeButtons = new QButtonGroup(this);
  FListTypeButtons->addButton(NormalListRadio, kNormalExplicitList);
  FListTypeButtons->addButton(FileListRadio, kPointToAFile);
  auto* types = new QHBoxLayout(ListTypeRadioGroup);
  types->setContentsMargins(8, 2, 8, 2);
  types->addWidget(NormalListRadio, 1);
  types->addWidget(FileListRadio, 1);

  // Import and Export stand beside the description, so that the rows of
  // the chooser and the name, hidden below Power User mode, leave no gap.
  auto* transfer = new QVBoxLayout;
  transfer->setSpacing(3);
  transfer->addWidget(ImportButton);
  transfer->addWidget(ExportButton);
  transfer->addStretch();
  top->addWidget(Label1, 0, 0);
  top->addWidget(ListComboBox, 0, 1, 1, 2);
  top->addWidget(Label2, 1, 0);
  top->addWidget(ListNameEdit, 1, 1, 1, 2);
  top->addWidget(Label3, 2, 0);
  top->addWidget(DescriptionMemo, 2, 1);
  top->addLayout(transfer, 2, 2);
  top->addLayout(expiry, 3, 0, 1, 3);
  top->addLayout(help, 4, 0, 1, 3);
  top->addWidget(ListTypeRadioGroup, 5, 0, 1, 3);
  top->setColumnStretch(1, 1);

  CountLabel = NewLabel("", "CountLabel", this);
  CountLabel->setWordWrap(true);

  EditPanel = new QWidget(this);
  EditPanel->setObjectName(QStringLiteral("EditPanel"));
  PhrasesListBox = new QListWidget(EditPanel);
  PhrasesListBox->setObjectName(QStringLiteral("PhrasesListBox"));
  PhrasesListBox->setSelectionMode(QAbstractItemView::ExtendedSelection);
  PhrasesListBox->setMinimumHeight(40);
  SideButtonsPanel = new QWidget(EditPanel);
  SideButtonsPanel->setObjectName(QStringLiteral("SideButtonsPanel"));
  AddButton = NewButton("&Add...", "AddButton", SideButtonsPanel);
  DeleteButton = NewButton("&Delete", "DeleteButton", SideButtonsPanel);
  EditButton = NewButton("&Edit...", "EditButton", SideButtonsPanel);
  auto* side = new QVBoxLayout(SideButtonsPanel);
  side->setContentsMargins(0, 0, 0, 0);
  side->setSpacing(3);
  side->addWidget(AddButton);
  side->addWidget(DeleteButton);
  side->addWidget(EditButton);
  side->addStretch();
  auto* edit = new QHBoxLayout(EditPanel);
  edit->setContentsMargins(0, 0, 0, 0);
  edit->addWidget(PhrasesListBox, 1);
  edit->addWidget(SideButtonsPanel);

  PointToFilePanel = new QWidget(this);
  PointToFilePanel->setObjectName(QStringLiteral("PointToFilePanel"));
  Label4 = NewLabel("File Containing List:", "Label4", PointToFilePanel);
  PathEdit = new QLineEdit(PointToFilePanel);
  PathEdit->setObjectName(QStringLiteral("PathEdit"));
  Button1 = NewButton("Browse...", "Button1", PointToFilePanel);
  auto* pathRow = new QHBoxLayout;
  pathRow->addWidget(PathEdit, 1);
  pathRow->addWidget(Button1);
  auto* file = new QVBoxLayout(PointToFilePanel);
  file->setContentsMargins(0, 0, 0, 0);
  file->addWidget(Label4);
  file->addLayout(pathRow);
  file->addStretch();

  BottomButtonPanel = new QWidget(this);
  BottomButtonPanel->setObjectName(QStringLiteral("BottomButtonPanel"));
  ClearButton = NewButton("Clear List", "ClearButton", BottomButtonPanel);
  DeleteListButton = NewButton("Delete List", "DeleteListButton", BottomButtonPanel);
  Button4 = NewButton("&Cancel", "Button4", BottomButtonPanel);
  Button3 = NewButton("&OK", "Button3", BottomButtonPanel);
  Button3->setDefault(true);
  auto* bottom = new QHBoxLayout(BottomButtonPanel);
  bottom->setContentsMargins(0, 0, 0, 0);
  bottom->addWidget(ClearButton);
  bottom->addWidget(DeleteListButton);
  bottom->addStretch();
  bottom->addWidget(Button4);
  bottom->addWidget(Button3);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(6, 6, 6, 6);
  layout->setSpacing(4);
  layout->addWidget(TopPanel);
  layout->addWidget(CountLabel);
  // Only one of the two shows at a time; either takes the room there is.
  layout->addWidget(EditPanel, 1);
  layout->addWidget(PointToFilePanel, 1);
  layout->addWidget(BottomButtonPanel);

  connect(ListComboBox, &QComboBox::activated, this, [this] { ListComboBoxChange(); });
  connect(ImportButton, &QPushButton::clicked, this, [this] { ImportButtonClick(); });
  connect(ExportButton, &QPushButton::clicked, this, [this] { ExportButtonClick(); });
  connect(ExpiryCheckBox, &QCheckBox::clicked, this, [this] { ExpiryCheckBoxClick(); });
  connect(FListTypeButtons, &QButtonGroup::idClicked, this,
          [this] { UpdateDisplay(ListTypeRadioGroup); });
  connect(PhrasesListBox, &QListWidget::itemSelectionChanged, this, [this] {
    if (!FRefilling) PhrasesListBoxClick();
  });
  connect(PhrasesListBox, &QListWidget::itemDoubleClicked, this, [this] { EditButtonClick(); });
  connect(AddButton, &QPushButton::clicked, this, [this] { AddButtonClick(); });
  connect(DeleteButton, &QPushButton::clicked, this, [this] { DeleteButtonClick(); });
  connect(EditButton, &QPushButton::clicked, this, [this] { EditButtonClick(); });
  connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
  connect(ClearButton, &QPushButton::clicked, this, [this] { ClearButtonClick(); });
  connect(DeleteListButton, &QPushButton::clicked, this, [this] { DeleteListButtonClick(); });
  connect(Button4, &QPushButton::clicked, this, [this] { done(platform::mrCancel); });
  connect(Button3, &QPushButton::clicked, this, [this] { done(platform::mrOk); });
}

// The list's settings are for the Advanced and Power User modes; choosing
// and renaming lists only for Power Users.
void TPhrasesListForm::ShowForMode() {
  const bool powerUser = FUiMode == kUiModePowerUser;
  TopPanel->setVisible(FUiMode != kUiModeLite);
  for (QWidget* control : {static_cast<QWidget*>(Label1), static_cast<QWidget*>(ListComboBox),
                           static_cast<QWidget*>(Label2), static_cast<QWidget*>(ListNameEdit),
                           static_cast<QWidget*>(ListTypeRadioGroup)})
    control->setVisible(powerUser);
}

void TPhrasesListForm::NewWorkingCopy() {
  FWorkingCopy = std::make_unique<TPhrases>();
  // Runs with the copy's lock held: it only notes the change; the caption
  // follows when the display is brought up to date.
  FWorkingCopy->SetOnChange([this] { FModified = true; });
  FSelectedEntry.clear();
}

std::shared_ptr<TPhrases> TPhrasesListForm::FindListNamed(const std::string& name) const {
  return FSet ? FSet->FindList(name) : nullptr;
}

int TPhrasesListForm::ListTypeIndex() const {
  return FileListRadio->isChecked() ? kPointToAFile : kNormalExplicitList;
}

std::string TPhrasesListForm::EditedListName() const {
  return FEditedList ? FEditedList->Name() : std::string();
}

// ---- Interface

void TPhrasesListForm::SelectList(std::shared_ptr<TPhrases> list) {
  if (!list || list.get() == FWorkingCopy.get()) return;
  UndoUnsavedRename();
  FWorkingCopy->Assign(*list);
  FWorkingCopy->SetOldName(FWorkingCopy->Name());
  SetModified(false);
  FEditedList = std::move(list);
  FSelectedEntry.clear();
  FillListCombo(FWorkingCopy->ListType());
  ShowInChooser(FWorkingCopy->Name());
  (FWorkingCopy->FilePath().empty() ? NormalListRadio : FileListRadio)->setChecked(true);
  UpdateDisplay();
}

void TPhrasesListForm::FillListCombo(std::uint8_t type) {
  FChooserType = type;
  const QSignalBlocker blocker(ListComboBox);
  ListComboBox->clear();
  if (FSet) {
    const std::string owner = FWorkingCopy->Owner();
    for (const auto& list : FSet->Snapshot()) {
      if (list->ListType() != type) continue;
      const std::string listOwner = list->Owner();
      if (listOwner == owner || listOwner == "Global")
        ListComboBox->addItem(FromCodePage1252(list->Name()));
    }
  }
  if (ListComboBox->count() > 0) ListComboBox->setCurrentIndex(0);
}

void TPhrasesListForm::ShowInChooser(const std::string& name) {
  const QSignalBlocker blocker(ListComboBox);
  ListComboBox->setCurrentIndex(ListComboBox->findText(FromCodePage1252(name),
                                                       Qt::MatchExactly | Qt::MatchCaseSensitive));
}

void TPhrasesListForm::SetModified(bool flag) {
  FModified = flag;
  setWindowTitle(QString::fromLatin1(flag ? kEditListModifiedCaption : kEditListCaption));
}

void TPhrasesListForm::ShowCount(int count) {
  QPalette palette = CountLabel->palette();
  if (count > 0) {
    CountLabel->setText(QStringLiteral("Total Count: ") + QString::number(count));
    palette.setColor(QPalette::WindowText, Qt::black);
  } else {
    CountLabel->setText(QString::fromLatin1(kEmptyListText));
    palette.setColor(QPalette::WindowText, Qt::red);
  }
  CountLabel->setPalette(palette);
}

void TPhrasesListForm::UpdateDisplay(QObject* sender) {
  TPhrases& copy = *FWorkingCopy;
  // A field the user is typing in keeps the typed text: leaving it applies
  // it.
  if (!(ListNameEdit->hasFocus() && ListNameEdit->isModified()))
    ListNameEdit->setText(FromCodePage1252(BareName(copy.Name())));
  if (!(DescriptionMemo->hasFocus() && DescriptionMemo->document()->isModified())) {
    DescriptionMemo->setPlainText(DescriptionToMemo(copy.Description()));
    DescriptionMemo->document()->setModified(false);
  }
  if (!(PathEdit->hasFocus() && PathEdit->isModified()))
    PathEdit->setText(FromCodePage1252(copy.FilePath()));

  const bool pointsToFile = ListTypeIndex() == kPointToAFile;
  const std::int32_t days = copy.DaysToExpire();
  ExpiryCheckBox->setChecked(days <= 0 || pointsToFile);
  ExpiryCheckBox->setEnabled(!pointsToFile);
  const bool expires = !ExpiryCheckBox->isChecked();
  Label5->setVisible(expires);
  ExpiryMaskEdit->setVisible(expires);
  Label6->setVisible(expires);
  if (!(ExpiryMaskEdit->hasFocus() && ExpiryMaskEdit->isModified()))
    ExpiryMaskEdit->setText(QString::number(days));

  const QScreen* shownOn = screen();
  const bool standardDpi = shownOn != nullptr && std::lround(shownOn->logicalDotsPerInch()) == 96;
  if (pointsToFile) {
    EditPanel->hide();
    ImportButton->setEnabled(false);
    ExportButton->setEnabled(false);
    ClearButton->setEnabled(false);
    PointToFilePanel->show();
    if (sender == ListTypeRadioGroup && standardDpi) resize(width(), kFileListHeight);
    ShowCount(copy.Count());
  } else {
    ListTypeRadioGroup->setVisible(FUiMode == kUiModePowerUser);
    EditPanel->show();
    ImportButton->setEnabled(true);
    ExportButton->setEnabled(true);
    ClearButton->setEnabled(true);
    PointToFilePanel->hide();
    if (sender == ListTypeRadioGroup && standardDpi) resize(width(), kNormalListHeight);

    // Row i is entry i, so a row's position is the entry's index.
    const TStringList entries = copy.EntryTexts();
    FRefilling = true;
    PhrasesListBox->setUpdatesEnabled(false);
    PhrasesListBox->clear();
    QStringList rows;
    rows.reserve(entries.Count());
    for (int i = 0; i < entries.Count(); ++i) rows.append(FromCodePage1252(entries[i]));
    PhrasesListBox->addItems(rows);
    for (int i = 0; i < entries.Count(); ++i) {
      if (!FSelectedEntry.empty() && entries[i] == FSelectedEntry) {
        PhrasesListBox->setCurrentRow(i, QItemSelectionModel::ClearAndSelect);
        break;
      }
    }
    PhrasesListBox->setUpdatesEnabled(true);
    FRefilling = false;
    ShowCount(entries.Count());
    PhrasesListBoxClick();
  }
  // The copy's change handler may have marked it meanwhile.
  SetModified(FModified);
}

// ---- Closing

bool TPhrasesListForm::FormKeyDown(QKeyEvent* event) {
  if (event->key() != Qt::Key_Escape) return false;
  done(platform::mrCancel);
  return true;
}

void TPhrasesListForm::showEvent(QShowEvent* event) {
  FClosed = false;
  QDialog::showEvent(event);
}

void TPhrasesListForm::reject() {
  done(platform::mrCancel);
}

void TPhrasesListForm::done(int result) {
  if (!FClosed) {
    if (result == platform::mrOk) FinishFocusedEdit();
    FormClose(result);
    FClosed = true;
  }
  QDialog::done(result);
}

void TPhrasesListForm::FinishFocusedEdit() {
  QWidget* focused = focusWidget();
  if (focused == ListNameEdit) {
    ListNameEditExit();
  } else if (focused == DescriptionMemo) {
    DescriptionMemoExit();
  } else if (focused == ExpiryMaskEdit) {
    ExpiryMaskEditExit();
  } else if (focused == PathEdit && PathEdit->isModified()) {
    PathEditExit();
  }
}

void TPhrasesListForm::FormClose(int result) {
  if (ListTypeIndex() == kNormalExplicitList) FWorkingCopy->SetFilePath("");
  if (result == platform::mrOk && FEditedList) {
    CopyBack();
  } else {
    UndoUnsavedRename();
  }
}

void TPhrasesListForm::CopyBack() {
  if (!FEditedList) return;
  if (ListTypeIndex() == kNormalExplicitList) FWorkingCopy->SetFilePath("");
  FEditedList->Assign(*FWorkingCopy);
  SetModified(false);
}

void TPhrasesListForm::UndoUnsavedRename() {
  if (!FEditedList || !FSet) return;
  const std::string kept = FEditedList->Name();
  const std::string shown = FWorkingCopy->Name();
  if (shown == kept) return;
  // The tests were moved to the copy's name when it was typed; the list
  // keeps its own, so they go back to it.
  FSet->ListRenamed(kept, shown);
  FWorkingCopy->SetName(kept);
  FWorkingCopy->SetOldName(kept);
}

// ---- The list's settings

void TPhrasesListForm::ListComboBoxChange() {
  const std::string chosen = ToCodePage1252(ListComboBox->currentText());
  std::shared_ptr<TPhrases> list = FindListNamed(chosen);
  if (list && list == FEditedList) return;
  if (FModified) {
    const int answer = platform::QuorMessageDlg(kSaveChangesQuestion, platform::mtConfirmation,
                                                platform::mbYes | platform::mbNo, "", 0, "", 0,
                                                platform::mrNo);
    if (answer != platform::mrYes) {
      ShowInChooser(FEditedList ? FEditedList->Name() : FWorkingCopy->Name());
      return;
    }
    CopyBack();
  }
  if (list) SelectList(std::move(list));
}

void TPhrasesListForm::ListNameEditEnter() {
  FWorkingCopy->SetOldName(FWorkingCopy->Name());
}

void TPhrasesListForm::ListNameEditExit() {
  if (FClosed) return;
  std::string typed = ToCodePage1252(ListNameEdit->text());
  if (!IsStorableListName(typed)) {
    // A list whose section the rules file cannot hold would be lost at the
    // next save.
    platform::Beep();
    ListNameEdit->setText(FromCodePage1252(BareName(FWorkingCopy->Name())));
    return;
  }
  if (!FEditedList && FSet) {
    // Opened without a list: naming one makes it. The new list joins the
    // set at once; the working copy stays the window's and reaches it at OK.
    std::string name = kUnnamedListName;
    for (int n = 1; FindListNamed(name); ++n) name = "{UnNamed " + std::to_string(n) + "}";
    auto list = std::make_shared<TPhrases>();
    list->SetName(name);
    list->SetListType(FWorkingCopy->ListType());
    list->SetOwner(FWorkingCopy->Owner());
    FSet->Add(list);
    FEditedList = list;
    FWorkingCopy->SetName(name);
    FWorkingCopy->SetOldName(name);
    FillListCombo(FChooserType);
    ShowInChooser(name);
  }
  const std::string oldName = FWorkingCopy->OldName();
  std::string name = "{" + typed + "}";
  if (name == oldName) return;
  // Another list of that name (not the edited one, which may be renamed in
  // another case) gets " 1", " 2", ... appended to the typed text.
  for (int counter = 1;; ++counter) {
    std::shared_ptr<TPhrases> other = FindListNamed(name);
    if (!other || other == FEditedList) break;
    typed += " " + std::to_string(counter);
    name = "{" + typed + "}";
  }
  ListNameEdit->setText(FromCodePage1252(typed));
  ListNameEdit->setModified(false);
  if (name == oldName) return;
  FWorkingCopy->SetName(name);
  FWorkingCopy->SetOldName(name);
  SetModified(true);
  if (FSet) FSet->ListRenamed(name, oldName);
}

void TPhrasesListForm::DescriptionMemoExit() {
  if (FClosed) return;
  const std::string description = MemoToDescription(DescriptionMemo->toPlainText());
  DescriptionMemo->document()->setModified(false);
  if (description == FWorkingCopy->Description()) return;
  FWorkingCopy->SetDescription(description);
  SetModified(true);
}

void TPhrasesListForm::ExpiryCheckBoxClick() {
  const std::int32_t days = FWorkingCopy->DaysToExpire();
  std::int32_t wanted = days;
  if (ExpiryCheckBox->isChecked()) {
    wanted = 0;
  } else if (days <= 0) {
    wanted = kDaysWhenExpiryIsSwitchedOn;
  }
  if (wanted != days) {
    FWorkingCopy->SetDaysToExpire(wanted);
    SetModified(true);
  }
  UpdateDisplay(ExpiryCheckBox);
}

void TPhrasesListForm::ExpiryMaskEditExit() {
  if (FClosed) return;
  std::int64_t days = 0;
  if (ParseTrimmedDecimal(ToCodePage1252(ExpiryMaskEdit->text()), 0, 9999, days) &&
      days != FWorkingCopy->DaysToExpire()) {
    FWorkingCopy->SetDaysToExpire(static_cast<std::int32_t>(days));
    SetModified(true);
  }
  ExpiryMaskEdit->setModified(false);
  UpdateDisplay(ExpiryMaskEdit);
}

void TPhrasesListForm::Button1Click() {
  const std::string path = platform::ChooseFileToOpen(OpenDialog1);
  if (path.empty()) return;
  PathEdit->setText(FromCodePage1252(path));
  PathEditExit();
}

void TPhrasesListForm::PathEditExit() {
  if (FClosed) return;
  const std::string path = ToCodePage1252(PathEdit->text());
  PathEdit->setModified(false);
  if (!IsRegularFile(path)) {
    platform::Beep();
    return;
  }
  if (path == FWorkingCopy->FilePath()) return;
  FWorkingCopy->SetFilePath(path);
  SetModified(true);
  ShowCount(FWorkingCopy->Count());
}

void TPhrasesListForm::DeleteListButtonClick() {
  if (platform::QuorMessageDlg(kDeleteListQuestion, platform::mtWarning,
                               platform::mbYes | platform::mbNo, "", 0, "", 0,
                               platform::mrNo) != platform::mrYes)
    return;
  UndoUnsavedRename();
  if (FEditedList && FSet) FSet->Remove(FEditedList.get());
  // Threads that still use the list keep it alive until they let go.
  FEditedList.reset();
  // The old copy is the deleted list's; the next list is loaded into a new
  // one, from a chooser that no longer names the deleted list.
  NewWorkingCopy();
  SetModified(false);
  FillListCombo(FChooserType);
  std::shared_ptr<TPhrases> first =
      ListComboBox->count() > 0 ? FindListNamed(ToCodePage1252(ListComboBox->itemText(0)))
                                : nullptr;
  if (!first) {
    done(platform::mrOk);
    return;
  }
  SelectList(std::move(first));
}

// ---- Entries

void TPhrasesListForm::CheckRowCount() {
  // A list read from a file may have changed underneath.
  if (PhrasesListBox->count() != FWorkingCopy->Count()) UpdateDisplay();
}

void TPhrasesListForm::AddButtonClick() {
  CheckRowCount();
  const std::string text = platform::EditString(CaptionFor(kAddCaptions, FChooserType), "");
  if (text.empty()) return;
  const int index = FWorkingCopy->Add(text);
  if (index < 0) {
    platform::Beep();
    return;
  }
  FSelectedEntry = FWorkingCopy->Items(index);
  UpdateDisplay();
}

void TPhrasesListForm::EditButtonClick() {
  CheckRowCount();
  const QList<QListWidgetItem*> selected = PhrasesListBox->selectedItems();
  if (selected.size() != 1) return;
  const int row = PhrasesListBox->row(selected.constFirst());
  const std::string old = ToCodePage1252(selected.constFirst()->text());
  const std::string text = platform::EditString(CaptionFor(kEditCaptions, FChooserType), old);
  if (text.empty()) return;
  const TDateTime oldDay = FWorkingCopy->GetAccessDate(row);
  FWorkingCopy->DeleteAt(row);
  int index = FWorkingCopy->Add(text);
  if (index < 0) {
    // Nothing storable was typed ("@" in an address list): the entry stays.
    platform::Beep();
    index = FWorkingCopy->Add(old);
    FWorkingCopy->SetAccessDate(index, oldDay);
  }
  FSelectedEntry = FWorkingCopy->Items(index);
  UpdateDisplay();
}

void TPhrasesListForm::DeleteButtonClick() {
  CheckRowCount();
  std::vector<int> rows;
  for (QListWidgetItem* item : PhrasesListBox->selectedItems())
    rows.push_back(PhrasesListBox->row(item));
  if (rows.empty()) return;
  std::sort(rows.begin(), rows.end());
  if (rows.size() == 1) {
    const int row = rows.front();
    FSelectedEntry = row + 1 < PhrasesListBox->count()
                         ? ToCodePage1252(PhrasesListBox->item(row + 1)->text())
                         : std::string();
    FWorkingCopy->DeleteAt(row);
  } else {
    // From the last row up, so that each index still names its entry.
    for (auto row = rows.rbegin(); row != rows.rend(); ++row) FWorkingCopy->DeleteAt(*row);
    FSelectedEntry.clear();
  }
  UpdateDisplay();
}

void TPhrasesListForm::PhrasesListBoxClick() {
  const QList<QListWidgetItem*> selected = PhrasesListBox->selectedItems();
  DeleteButton->setEnabled(!selected.isEmpty());
  if (selected.size() == 1) {
    FSelectedEntry = ToCodePage1252(selected.constFirst()->text());
    EditButton->setEnabled(true);
  } else {
    EditButton->setEnabled(false);
    FSelectedEntry.clear();
  }
}

void TPhrasesListForm::ImportButtonClick() {
  const std::string path = platform::ChooseFileToOpen(OpenDialog1);
  if (path.empty()) return;
  TStringList lines;
  const std::string error = IsRegularFile(path) ? ReadPhraseFile(path, lines)
                                                : "Cannot import " + path + ": no such file";
  if (!error.empty()) {
    Log("Lists", error, 3, true);
    platform::Beep();
    return;
  }
  FWorkingCopy->AddStrings(lines);
  UpdateDisplay();
}

void TPhrasesListForm::ExportButtonClick() {
  const std::string path = platform::ChooseFileToSave(SaveDialog1);
  if (path.empty()) return;
  const std::string error = FWorkingCopy->SaveToFile(path);
  if (!error.empty())
    platform::QuorMessageDlg(error, platform::mtError, platform::mbOK, "", 0, "", 0,
                             platform::mrOk);
}

void TPhrasesListForm::ClearButtonClick() {
  if (platform::QuorMessageDlg(kClearListQuestion, platform::mtWarning,
                               platform::mbOK | platform::mbCancel, "", 0, "", 0,
                               platform::mrCancel) != platform::mrOk)
    return;
  FWorkingCopy->Clear();
  UpdateDisplay();
}

void TPhrasesListForm::Label8Click() {
  const std::string error = InstallWildcardsHelpPage();
  if (!error.empty()) Log("Lists", "The wildcard help page is not installed: " + error, 3, true);
  platform::OpenUrl(FHelpAddress);
}

// ---- Events

void TPhrasesListForm::ShowHelpAddress() {
  const QString address = QUrl(QString::fromStdString(FHelpAddress)).toString();
  Label8->setText(
      Label8->fontMetrics().elidedText(address, Qt::ElideMiddle, std::max(Label8->width(), 1)));
}

bool TPhrasesListForm::eventFilter(QObject* watched, QEvent* event) {
  switch (event->type()) {
    case QEvent::KeyPress: {
      auto* key = static_cast<QKeyEvent*>(event);
      if (FormKeyDown(key)) return true;
      if (watched == PhrasesListBox &&
          (key->key() == Qt::Key_Delete || key->key() == Qt::Key_Backspace)) {
        DeleteButtonClick();
        return true;
      }
      break;
    }
    case QEvent::FocusIn:
      if (watched == ListNameEdit && IsFieldChange(event)) ListNameEditEnter();
      break;
    case QEvent::FocusOut:
      if (!IsFieldChange(event)) break;
      if (watched == ListNameEdit) {
        ListNameEditExit();
      } else if (watched == DescriptionMemo) {
        DescriptionMemoExit();
      } else if (watched == ExpiryMaskEdit) {
        ExpiryMaskEditExit();
      } else if (watched == PathEdit) {
        PathEditExit();
      }
      break;
    case QEvent::MouseButtonRelease:
      if (watched == Label8 && static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        Label8Click();
        return true;
      }
      break;
    case QEvent::MouseButtonDblClick:
      if (watched == SideButtonsPanel) SideButtonsPanelDblClick();
      break;
    case QEvent::Resize:
      if (watched == Label8) ShowHelpAddress();
      break;
    default:
      break;
  }
  return QDialog::eventFilter(watched, event);
}

}  // namespace halvorn
