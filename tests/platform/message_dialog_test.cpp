#include "platform/message_dialog.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <thread>

#include "platform/desktop_help.h"
#include "platform/main_thread.h"
#include "platform/qt_main_thread.h"
#include "platform/qt_test_app.h"

namespace halvorn::platform {
namespace {

constexpr TMsgDlgButtons kAllButtons = 0x7FF;

void PressEscape(QWidget* widget) {
  QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  QApplication::sendEvent(widget, &press);
}

class MessageDialogTest : public ::testing::Test {
 protected:
  void SetUp() override { test::EnsureQtApplication(); }
  void TearDown() override { SetHelpHandler({}); }
};

TEST_F(MessageDialogTest, EachButtonAnswersItsModalResult) {
  struct Row {
    int Type;
    TMsgDlgButtons Buttons;
    const char* Click;
    int Expected;
  } rows[] = {
      {mtError, mbAbort | mbRetry, "&Retry", mrRetry},
      {mtError, mbAbort | mbRetry, "&Abort", mrAbort},
      {mtWarning, kAllButtons, "&Yes", mrYes},
      {mtWarning, kAllButtons, "&No", mrNo},
      {mtWarning, kAllButtons, "OK", mrOk},
      {mtWarning, kAllButtons, "Cancel", mrCancel},
      {mtWarning, kAllButtons, "&Ignore", mrIgnore},
      {mtWarning, kAllButtons, "&All", mrAll},
      {mtWarning, kAllButtons, "N&o to All", mrNoToAll},
      {mtWarning, kAllButtons, "Yes to &All", mrYesToAll},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Click);
    TQuorMsgDlg dialog("Message", row.Type, row.Buttons, "", 0, "", 0, mrAbort);
    dialog.open();
    QPushButton* button = dialog.Button(row.Click);
    ASSERT_NE(button, nullptr);
    button->click();
    EXPECT_EQ(dialog.result(), row.Expected);
    EXPECT_FALSE(dialog.isVisible());
  }
}

TEST_F(MessageDialogTest, ButtonsStandInBitOrderFiveApart) {
  TQuorMsgDlg dialog("Message", mtInformation, kAllButtons, "", 0, "", 0, mrNone);
  const char* expected[] = {"&Yes",    "&No",  "OK",         "Cancel",      "&Abort", "&Retry",
                            "&Ignore", "&All", "N&o to All", "Yes to &All", "&Help"};
  ASSERT_EQ(dialog.Buttons().size(), std::size(expected));
  int left = 5;
  for (std::size_t i = 0; i < dialog.Buttons().size(); ++i) {
    QPushButton* button = dialog.Buttons()[i];
    EXPECT_EQ(button->text().toStdString(), expected[i]);
    EXPECT_EQ(button->geometry().left(), left);
    left += button->width() + 5;
  }
  EXPECT_GE(dialog.width(), dialog.ButtonPanel()->width());
  EXPECT_GE(dialog.ButtonPanel()->geometry().top(), dialog.IconPanel()->geometry().bottom());
  TQuorMsgDlg none("Message", mtInformation, 0, "", 0, "", 0, mrNone);
  EXPECT_TRUE(none.Buttons().empty());
}

TEST_F(MessageDialogTest, CaptionIconAndCheckBoxFollowTheTypeAndKey) {
  struct Row {
    int Type;
    const char* Caption;
    bool IconShown;
  } rows[] = {
      {mtWarning, "(Halvorn)  Warning", true},
      {mtError, "(Halvorn)  Error", true},
      {mtInformation, "(Halvorn)  Information", true},
      {mtConfirmation, "(Halvorn)  Confirm", true},
      {mtCustom, "Halvorn", false},
      {17, "Halvorn", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Type);
    TQuorMsgDlg dialog("Text", row.Type, mbOK, "", 0, "", 0, mrNone);
    EXPECT_EQ(dialog.windowTitle().toStdString(), row.Caption);
    EXPECT_EQ(!dialog.IconPanel()->isHidden(), row.IconShown);
    EXPECT_TRUE(dialog.NeverAgainBox()->isHidden());
    EXPECT_TRUE(dialog.windowFlags() & Qt::WindowStaysOnTopHint);
  }
  TQuorMsgDlg keyed("Text", mtCustom, mbOK, "", 0, "SomeKey", 0, mrNone);
  EXPECT_FALSE(keyed.NeverAgainBox()->isHidden());
  EXPECT_EQ(keyed.NeverAgainBox()->text().toStdString(), kNeverAgainText);
  EXPECT_GT(keyed.NeverAgainBox()->geometry().top(), keyed.ButtonPanel()->geometry().bottom());
  // The text is a code page 1252 byte string.
  TQuorMsgDlg text("caf\xE9 \x80", mtCustom, mbOK, "", 0, "", 0, mrNone);
  EXPECT_EQ(text.MessageLabel()->text(), QString::fromUtf8("café €"));
}

TEST_F(MessageDialogTest, TimerClosesWithTheTimeOutResult) {
  TQuorMsgDlg dialog("Closing soon", mtInformation, mbOK | mbCancel, "", 30, "", 0, mrIgnore);
  EXPECT_FALSE(dialog.CloseTimer()->isActive()) << "starts when shown";
  dialog.open();
  EXPECT_TRUE(dialog.CloseTimer()->isActive());
  EXPECT_EQ(dialog.CloseTimer()->interval(), 30000);
  EXPECT_TRUE(dialog.CloseTimer()->isSingleShot());
  // The 30 s pass: fire the timer rather than wait for it.
  ASSERT_TRUE(QMetaObject::invokeMethod(dialog.CloseTimer(), "timeout"));
  EXPECT_EQ(dialog.result(), mrIgnore);
  EXPECT_FALSE(dialog.isVisible());

  for (int seconds : {0, -5}) {
    TQuorMsgDlg still("Stays", mtInformation, mbOK, "", seconds, "", 0, mrIgnore);
    still.open();
    EXPECT_FALSE(still.CloseTimer()->isActive()) << seconds;
    still.done(mrOk);
  }
  TQuorMsgDlg huge("Long", mtInformation, mbOK, "", 2147483647, "", 0, mrIgnore);
  EXPECT_GT(huge.CloseTimer()->interval(), 0);
}

TEST_F(MessageDialogTest, EscapeAndCloseAnswerCancel) {
  TQuorMsgDlg dialog("Text", mtConfirmation, mbYes | mbNo, "", 0, "", 0, mrNone);
  dialog.open();
  PressEscape(&dialog);
  EXPECT_EQ(dialog.result(), mrCancel);
  EXPECT_FALSE(dialog.isVisible());
  TQuorMsgDlg closed("Text", mtConfirmation, mbYes | mbNo, "", 0, "", 0, mrNone);
  closed.open();
  closed.close();
  EXPECT_EQ(closed.result(), mrCancel);
}

TEST_F(MessageDialogTest, HelpCallsTheHandlerAndLeavesTheDialogOpen) {
  std::vector<int> asked;
  SetHelpHandler([&asked](int context) { asked.push_back(context); });
  TQuorMsgDlg dialog("Text", mtInformation, mbOK | mbHelp, "", 0, "", 4711, mrNone);
  dialog.open();
  dialog.Button("&Help")->click();
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_EQ(asked, std::vector<int>{4711});
  dialog.done(mrOk);

  TQuorMsgDlg noContext("Text", mtInformation, mbOK | mbHelp, "", 0, "", 0, mrNone);
  noContext.open();
  noContext.Button("&Help")->click();
  EXPECT_TRUE(noContext.isVisible());
  EXPECT_EQ(asked.size(), 1u);
  noContext.done(mrOk);

  SetHelpHandler({});
  TQuorMsgDlg noHandler("Text", mtInformation, mbOK | mbHelp, "", 0, "", 5, mrNone);
  noHandler.open();
  noHandler.Button("&Help")->click();
  EXPECT_TRUE(noHandler.isVisible());
  noHandler.done(mrOk);
}

TEST_F(MessageDialogTest, ModalCallAnswersThePressedButton) {
  QTimer::singleShot(0, [] {
    auto* dialog = dynamic_cast<TQuorMsgDlg*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    dialog->Button("&Retry")->click();
  });
  EXPECT_EQ(QuorMessageDlg("Retry?", mtError, mbAbort | mbRetry, "", 0, "", 0, mrAbort), mrRetry);
  // Off the main thread nothing is shown.
  int answer = -1;
  std::thread worker([&answer] { answer = QuorMessageDlg("x", mtError, mbOK, "", 0, "", 0, 3); });
  worker.join();
  EXPECT_EQ(answer, mrNone);
}

TEST_F(MessageDialogTest, UrlOpenerCanBeReplaced) {
  std::vector<std::string> opened;
  SetUrlOpener([&opened](const std::string& url) {
    opened.push_back(url);
    return true;
  });
  EXPECT_TRUE(OpenUrl("https://www.halvorn.example/Halvorn/help/Categorize.htm"));
  SetUrlOpener({});
  EXPECT_EQ(opened.size(), 1u);
}

TEST_F(MessageDialogTest, MainThreadHooksPumpEventsAndShowTheDialog) {
  MarkMainThread();
  InstallQtMainThreadHooks();
  bool delivered = false;
  QTimer::singleShot(0, [&delivered] { delivered = true; });
  RunProcessMessagesHook();
  EXPECT_TRUE(delivered);

  std::string caption;
  QTimer::singleShot(0, [&caption] {
    auto* dialog = dynamic_cast<TQuorMsgDlg*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    caption = dialog->windowTitle().toStdString();
    ASSERT_EQ(dialog->Buttons().size(), 1u);
    dialog->Buttons()[0]->click();
  });
  RunShowMessageHook("Hello");
  EXPECT_EQ(caption, "Halvorn");
  SetMainThreadHooks({});
}

}  // namespace
}  // namespace halvorn::platform
