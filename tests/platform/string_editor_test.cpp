#include "platform/string_editor.h"

#include <gtest/gtest.h>

#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <functional>

#include "platform/dialogs.h"
#include "platform/qt_test_app.h"

namespace halvorn::platform {
namespace {

void PressKey(QWidget* widget, int key) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
  QApplication::sendEvent(widget, &press);
}

// Runs EditString while `act` works the open editor.
std::string EditWith(const std::string& caption, const std::string& initial,
                     std::function<void(TEditStringForm*)> act) {
  QTimer::singleShot(0, [act] {
    auto* form = dynamic_cast<TEditStringForm*>(QApplication::activeModalWidget());
    ASSERT_NE(form, nullptr);
    act(form);
  });
  return EditString(caption, initial);
}

class DialogsTest : public ::testing::Test {
 protected:
  void SetUp() override { test::EnsureQtApplication(); }
};

TEST_F(DialogsTest, EditStringAnswersTheTextOnlyOnOk) {
  std::string caption;
  EXPECT_EQ(EditWith("Rename list", "old",
                     [&caption](TEditStringForm* form) {
                       caption = form->windowTitle().toStdString();
                       EXPECT_EQ(form->StringEdit()->text().toStdString(), "old");
                       form->StringEdit()->setText("new name");
                       form->OkButton()->click();
                     }),
            "new name");
  EXPECT_EQ(caption, "Rename list");
  EXPECT_EQ(
      EditWith("c", "kept text", [](TEditStringForm* form) { PressKey(form, Qt::Key_Escape); }),
      "");
  EXPECT_EQ(
      EditWith("c", "kept text", [](TEditStringForm* form) { form->CancelButton()->click(); }), "");
  // OK is the default button: Enter in the field accepts.
  EXPECT_EQ(EditWith("c", "by enter",
                     [](TEditStringForm* form) { PressKey(form->StringEdit(), Qt::Key_Return); }),
            "by enter");
  // Code page 1252 bytes come back as they went in.
  EXPECT_EQ(
      EditWith("c", "caf\xE9 \x80 \x9F", [](TEditStringForm* form) { form->OkButton()->click(); }),
      "caf\xE9 \x80 \x9F");
  TEditStringForm plain;
  EXPECT_EQ(plain.windowTitle().toStdString(), "Edit String");
}

}  // namespace
}  // namespace halvorn::platform
