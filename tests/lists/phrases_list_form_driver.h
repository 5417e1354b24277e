// Driving the phrase-list editor offscreen as the user and the openers do:
// questions and the entry dialog are answered once they are open, keys and
// focus changes go through Qt's own event delivery, the file choosers, the
// beep and the URL opener are the platform's test hooks.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QPushButton>
#include <QTimer>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "lists/phrases_list_form.h"
#include "platform/desktop_help.h"
#include "platform/file_choosers.h"
#include "platform/message_dialog.h"
#include "platform/qt_test_app.h"
#include "platform/qt_text.h"
#include "platform/string_editor.h"

namespace halvorn::test {

using Lines = std::vector<std::string>;

// Answers the next question with the button ("&Yes", "&No", "OK",
// "Cancel"); its text goes to `asked`.
inline void AnswerQuestion(const std::string& button, std::string* asked = nullptr) {
  WhenOpen<platform::TQuorMsgDlg>([button, asked](platform::TQuorMsgDlg* dialog) {
    if (asked) *asked = platform::ToCodePage1252(dialog->MessageLabel()->text());
    QPushButton* pressed = dialog->Button(button);
    ASSERT_NE(pressed, nullptr) << button;
    pressed->click();
  });
}

// What the entry dialog showed when it opened.
struct TEntrySeen {
  std::string Caption;
  std::string Initial;
};

// Answers the next entry dialog: the text replaces what it holds, then OK
// (or Cancel).
inline void AnswerEntry(const std::string& text, TEntrySeen* seen = nullptr, bool ok = true) {
  WhenOpen<platform::TEditStringForm>([text, seen, ok](platform::TEditStringForm* dialog) {
    if (seen) *seen = {platform::ToCodePage1252(dialog->windowTitle()), dialog->Text()};
    dialog->SetText(text);
    (ok ? dialog->OkButton() : dialog->CancelButton())->click();
  });
}

inline void SendKey(QWidget* widget, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier,
                    const QString& text = {}) {
  QKeyEvent press(QEvent::KeyPress, key, modifiers, text);
  QApplication::sendEvent(widget, &press);
  QKeyEvent release(QEvent::KeyRelease, key, modifiers, text);
  QApplication::sendEvent(widget, &release);
}

// Gives a control of a shown window the focus as Tab would.
inline void Focus(QWidget* control) {
  control->window()->activateWindow();
  QApplication::processEvents();
  control->setFocus(Qt::TabFocusReason);
}

// Enters the field, selects what it holds and types the text over it
// ("\n" presses Return).
inline void TypeInto(QWidget* field, const std::string& text) {
  Focus(field);
  SendKey(field, Qt::Key_A, Qt::ControlModifier);
  SendKey(field, Qt::Key_Delete);
  for (QChar c : platform::FromCodePage1252(text)) {
    if (c == QLatin1Char('\n')) {
      SendKey(field, Qt::Key_Return);
    } else {
      SendKey(field, Qt::Key_unknown, Qt::NoModifier, QString(c));
    }
  }
}

// Leaves the field that has the focus with Tab.
inline void LeaveField() {
  QWidget* focused = QApplication::focusWidget();
  ASSERT_NE(focused, nullptr);
  SendKey(focused, Qt::Key_Tab);
}

// Chooses an item of a drop-down list as its pop-up does.
inline void Choose(QComboBox* combo, const std::string& text) {
  const int index = combo->findText(platform::FromCodePage1252(text));
  ASSERT_GE(index, 0) << text;
  combo->setCurrentIndex(index);
  emit combo->activated(index);
}

inline void Click(QWidget* widget, QEvent::Type type, QPoint at) {
  QMouseEvent event(type, at, widget->mapToGlobal(at), Qt::LeftButton,
                    type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton,
                    Qt::NoModifier);
  QApplication::sendEvent(widget, &event);
}

// A left click on a plain widget (a label).
inline void ClickOn(QWidget* widget) {
  const QPoint centre = widget->rect().center();
  Click(widget, QEvent::MouseButtonPress, centre);
  Click(widget, QEvent::MouseButtonRelease, centre);
}

inline void DoubleClickRow(QListWidget* list, int row) {
  const QPoint at = list->visualItemRect(list->item(row)).center();
  QWidget* viewport = list->viewport();
  Click(viewport, QEvent::MouseButtonPress, at);
  Click(viewport, QEvent::MouseButtonRelease, at);
  Click(viewport, QEvent::MouseButtonDblClick, at);
  Click(viewport, QEvent::MouseButtonRelease, at);
}

inline void SelectRows(QListWidget* list, const std::vector<int>& rows) {
  list->clearSelection();
  for (int row : rows) list->item(row)->setSelected(true);
}

inline Lines RowTexts(QListWidget* list) {
  Lines rows;
  for (int i = 0; i < list->count(); ++i)
    rows.push_back(platform::ToCodePage1252(list->item(i)->text()));
  return rows;
}

inline Lines SelectedTexts(QListWidget* list) {
  Lines rows;
  for (int i = 0; i < list->count(); ++i)
    if (list->item(i)->isSelected()) rows.push_back(platform::ToCodePage1252(list->item(i)->text()));
  return rows;
}

inline std::string TextOf(const QLineEdit* field) {
  return platform::ToCodePage1252(field->text());
}

// Shows the window and makes it the active one, as the modal run would.
inline void ShowActive(QWidget* window) {
  window->show();
  window->activateWindow();
  QApplication::processEvents();
}

// Runs the window modally, as an opener does, while `script` works it, and
// answers the modal result. A window the script leaves open is closed with
// a failure after 30 s, so that a test never hangs.
inline int RunModal(QDialog& window, std::function<void()> script) {
  QTimer::singleShot(0, [&window, script] {
    window.activateWindow();
    QApplication::processEvents();
    script();
  });
  QTimer guard;
  guard.setSingleShot(true);
  QObject::connect(&guard, &QTimer::timeout, [&window] {
    ADD_FAILURE() << "the window was left open";
    window.reject();
  });
  guard.start(30000);
  return window.exec();
}

// Runs the action, which must ask nothing: a question that opens anyway is
// answered "No" and fails the test.
inline void WithoutQuestion(const std::function<void()>& action) {
  QTimer::singleShot(0, [] {
    if (auto* dialog = dynamic_cast<platform::TQuorMsgDlg*>(QApplication::activeModalWidget())) {
      ADD_FAILURE() << "asked: " << platform::ToCodePage1252(dialog->MessageLabel()->text());
      dialog->done(platform::mrNo);
    }
  });
  action();
  QApplication::processEvents();  // the check runs now, not at a later question
}

// The platform's hooks answered by the test for as long as the object
// lives: beeps are counted, opened addresses kept, and each file chooser
// answers its queued paths in turn (the empty text, "cancelled", when none
// is left) and keeps what it was asked.
class TDesktopStandIns {
 public:
  TDesktopStandIns() {
    platform::SetBeeper([this] { ++Beeps; });
    platform::SetUrlOpener([this](const std::string& url) {
      Opened.push_back(url);
      return true;
    });
    platform::SetOpenFileChooser([this](const platform::TFileChoice& choice) {
      return Next(OpenAnswers, choice);
    });
    platform::SetSaveFileChooser([this](const platform::TFileChoice& choice) {
      return Next(SaveAnswers, choice);
    });
  }
  ~TDesktopStandIns() {
    platform::SetBeeper({});
    platform::SetUrlOpener({});
    platform::SetOpenFileChooser({});
    platform::SetSaveFileChooser({});
  }
  TDesktopStandIns(const TDesktopStandIns&) = delete;
  TDesktopStandIns& operator=(const TDesktopStandIns&) = delete;

  int Beeps = 0;
  Lines Opened;
  std::deque<std::string> OpenAnswers;
  std::deque<std::string> SaveAnswers;
  std::vector<platform::TFileChoice> Asked;

 private:
  std::string Next(std::deque<std::string>& answers, const platform::TFileChoice& choice) {
    Asked.push_back(choice);
    if (answers.empty()) return {};
    std::string answer = answers.front();
    answers.pop_front();
    return answer;
  }
};

}  // namespace halvorn::test
