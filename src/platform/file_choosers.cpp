#include "platform/file_choosers.h"

#include <QApplication>
#include <QFileDialog>
#include <QThread>

#include <mutex>

#include "platform/qt_text.h"

namespace halvorn::platform {
namespace {

std::mutex GLock;
FileChooser GOpenChooser;
FileChooser GSaveChooser;
std::function<void()> GBeeper;

template <class T>
T Installed(const T& hook) {
  std::lock_guard<std::mutex> guard(GLock);
  return hook;
}

bool OnGuiThread() {
  return QApplication::instance() != nullptr &&
         QThread::currentThread() == QApplication::instance()->thread();
}

std::string RunFileDialog(const TFileChoice& choice, bool save) {
  if (!OnGuiThread()) return {};
  QFileDialog dialog(nullptr, FromCodePage1252(choice.Caption), FromCodePage1252(choice.Folder),
                     FromCodePage1252(choice.Filter));
  dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
  // Opening takes only a file that exists; saving asks before replacing one
  // (the dialog's default, which DontConfirmOverwrite would turn off).
  dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
  if (!choice.FileName.empty()) dialog.selectFile(FromCodePage1252(choice.FileName));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  return ToCodePage1252(dialog.selectedFiles().constFirst());
}

}  // namespace

std::string ChooseFileToOpen(const TFileChoice& choice) {
  if (FileChooser chooser = Installed(GOpenChooser)) return chooser(choice);
  return RunFileDialog(choice, false);
}

std::string ChooseFileToSave(const TFileChoice& choice) {
  if (FileChooser chooser = Installed(GSaveChooser)) return chooser(choice);
  return RunFileDialog(choice, true);
}

void SetOpenFileChooser(FileChooser chooser) {
  std::lock_guard<std::mutex> guard(GLock);
  GOpenChooser = std::move(chooser);
}

void SetSaveFileChooser(FileChooser chooser) {
  std::lock_guard<std::mutex> guard(GLock);
  GSaveChooser = std::move(chooser);
}

void Beep() {
  if (std::function<void()> beeper = Installed(GBeeper)) {
    beeper();
    return;
  }
  if (QApplication::instance() != nullptr) QApplication::beep();
}

void SetBeeper(std::function<void()> beeper) {
  std::lock_guard<std::mutex> guard(GLock);
  GBeeper = std::move(beeper);
}

}  // namespace halvorn::platform
