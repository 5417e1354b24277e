// Choosing a file to open or to save, and the beep that refuses an input,
// for windows that also run under tests: each has a replacement hook, as
// OpenUrl has (desktop_help.h), so that a test answers for the user and
// nothing is shown or sounded.
#pragma once

#include <functional>
#include <string>

namespace halvorn::platform {

// What a file chooser is asked.
struct TFileChoice {
  std::string Caption;  // the chooser's caption; empty for the desktop's own
  std::string Folder;   // the folder it starts in; empty for the current one
  std::string Filter;   // name filters, e.g. "Text files (*.txt);;All files (*)"
  std::string FileName; // the file name proposed; may be empty
};

// Answers the chosen path, or the empty text when the user cancelled.
using FileChooser = std::function<std::string(const TFileChoice& choice)>;

// Lets the user choose an existing file in a modal file dialog (a name that
// does not exist is refused there); answers its path, empty when cancelled.
// Main thread with a QApplication; elsewhere the empty text.
std::string ChooseFileToOpen(const TFileChoice& choice);
// Lets the user choose where to save in a modal file dialog, which asks
// before a chosen file that exists is replaced; answers the path, empty when
// cancelled. Main thread with a QApplication; elsewhere the empty text.
std::string ChooseFileToSave(const TFileChoice& choice);
// Replace the desktop's choosers; an empty chooser restores it. For tests.
void SetOpenFileChooser(FileChooser chooser);
void SetSaveFileChooser(FileChooser chooser);

// Sounds the desktop's beep (QApplication::beep), or calls the beeper set by
// SetBeeper. Main thread.
void Beep();
// Replaces the desktop's beep; an empty function restores it. For tests.
void SetBeeper(std::function<void()> beeper);

}  // namespace halvorn::platform
