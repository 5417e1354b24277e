// TEditStringForm: the modal one-line text editor behind EditString
// (dialogs.h).
#pragma once

#include <QDialog>

#include <string>

class QLineEdit;
class QPushButton;

namespace halvorn::platform {

class TEditStringForm : public QDialog {
 public:
  // A tool window captioned "Edit String" until SetCaption, holding the
  // initial text. Main thread.
  explicit TEditStringForm(QWidget* parent = nullptr);

  void SetCaption(const std::string& caption);
  void SetText(const std::string& text);
  std::string Text() const;

  QLineEdit* StringEdit() const { return FStringEdit; }
  QPushButton* CancelButton() const { return FCancelButton; }
  QPushButton* OkButton() const { return FOkButton; }

  // Escape and the close button answer mrCancel.
  void reject() override;

 private:
  QLineEdit* FStringEdit;
  QPushButton* FCancelButton;
  QPushButton* FOkButton;
};

}  // namespace halvorn::platform
