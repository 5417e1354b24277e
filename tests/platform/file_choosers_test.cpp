#include "platform/file_choosers.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QTimer>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/qt_test_app.h"
#include "support/test_support.h"

namespace halvorn::platform {
namespace {

// The dialog's OK, with its checks (QFileDialog::accept is protected).
void Accept(QFileDialog* dialog) {
  static_cast<QDialog*>(dialog)->accept();
}

class FileChoosersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::EnsureQtApplication();
    ASSERT_TRUE(test::WriteFileBytes(FFolder.Sub("present.txt"), "x"));
  }
  test::TempFolder FFolder;
};

// The open chooser starts in the folder and takes only a file that exists.
TEST_F(FileChoosersTest, OpeningStartsInTheFolderAndTakesOnlyAFileThatExists) {
  std::string startedIn;
  bool refused = false;
  std::string warning;
  test::WhenOpen<QFileDialog>([&](QFileDialog* dialog) {
    startedIn = dialog->directory().absolutePath().toStdString();
    dialog->selectFile(QString::fromStdString(FFolder.Sub("missing.txt")));
    test::WhenOpen<QMessageBox>([&](QMessageBox* box) {
      warning = box->text().toStdString();
      box->accept();
    });
    Accept(dialog);
    refused = dialog->isVisible();
    dialog->selectFile(QString::fromStdString(FFolder.Sub("present.txt")));
    Accept(dialog);
  });
  EXPECT_EQ(ChooseFileToOpen({"Import", FFolder.Path(), "Text files (*.txt)", ""}),
            FFolder.Sub("present.txt"));
  EXPECT_EQ(startedIn, QDir(QString::fromStdString(FFolder.Path())).absolutePath().toStdString());
  EXPECT_TRUE(refused);
  EXPECT_NE(warning.find("missing.txt"), std::string::npos) << warning;

  test::WhenOpen<QFileDialog>([](QFileDialog* dialog) { dialog->reject(); });
  EXPECT_EQ(ChooseFileToOpen({"Import", FFolder.Path(), "", ""}), "");
}

// The save chooser asks before an existing file is replaced; "No" keeps the
// dialog open.
TEST_F(FileChoosersTest, SavingAsksBeforeReplacingAFile) {
  std::vector<std::string> questions;
  test::WhenOpen<QFileDialog>([&](QFileDialog* dialog) {
    const QString present = QString::fromStdString(FFolder.Sub("present.txt"));
    test::WhenOpen<QMessageBox>([&](QMessageBox* box) {
      questions.push_back(box->text().toStdString());
      box->button(QMessageBox::No)->click();
    });
    dialog->selectFile(present);
    Accept(dialog);
    EXPECT_TRUE(dialog->isVisible());
    test::WhenOpen<QMessageBox>([&](QMessageBox* box) {
      questions.push_back(box->text().toStdString());
      box->button(QMessageBox::Yes)->click();
    });
    dialog->selectFile(present);
    Accept(dialog);
  });
  EXPECT_EQ(ChooseFileToSave({"Export", FFolder.Path(), "", ""}), FFolder.Sub("present.txt"));
  ASSERT_EQ(questions.size(), 2u);
  EXPECT_NE(questions[0].find("present.txt"), std::string::npos) << questions[0];

  // A new file is taken without a question.
  test::WhenOpen<QFileDialog>([&](QFileDialog* dialog) {
    dialog->selectFile(QString::fromStdString(FFolder.Sub("new.txt")));
    Accept(dialog);
  });
  EXPECT_EQ(ChooseFileToSave({"Export", FFolder.Path(), "", ""}), FFolder.Sub("new.txt"));
  EXPECT_EQ(questions.size(), 2u);
}

TEST_F(FileChoosersTest, TestsReplaceTheChoosersAndTheBeep) {
  std::vector<std::string> asked;
  SetOpenFileChooser([&](const TFileChoice& choice) {
    asked.push_back("open " + choice.Caption + " in " + choice.Folder);
    return std::string("/chosen/to/open");
  });
  SetSaveFileChooser([&](const TFileChoice& choice) {
    asked.push_back("save " + choice.Caption + " as " + choice.FileName);
    return std::string();
  });
  int beeps = 0;
  SetBeeper([&] { ++beeps; });
  EXPECT_EQ(ChooseFileToOpen({"Import", "/start", "", ""}), "/chosen/to/open");
  EXPECT_EQ(ChooseFileToSave({"Export", "/start", "", "list.txt"}), "");
  Beep();
  SetOpenFileChooser({});
  SetSaveFileChooser({});
  SetBeeper({});
  Beep();  // the desktop's own again: no call of ours
  EXPECT_EQ(asked, (std::vector<std::string>{"open Import in /start", "save Export as list.txt"}));
  EXPECT_EQ(beeps, 1);
  // Off the main thread no dialog opens.
  std::string answer = "unset";
  std::thread worker([&] { answer = ChooseFileToOpen({"Import", FFolder.Path(), "", ""}); });
  worker.join();
  EXPECT_EQ(answer, "");
}

}  // namespace
}  // namespace halvorn::platform
