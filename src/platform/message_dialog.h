// TQuorMsgDlg: the program's message dialog, with an auto-close timer, a
// custom icon, a Help button and a "never again" check box. QuorMessageDlg
// (dialogs.h) creates, shows and frees one.
#pragma once

#include <QDialog>

#include <string>
#include <vector>

#include "platform/dialogs.h"

class QCheckBox;
class QLabel;
class QPushButton;
class QTimer;

namespace halvorn::platform {

// The check box's text.
inline constexpr const char* kNeverAgainText = "Never show this dialogue again.";

class TQuorMsgDlg : public QDialog {
 public:
  // Builds the dialog as QuorMessageDlg describes; the timer starts when the
  // dialog is shown. Main thread.
  TQuorMsgDlg(const std::string& text, int type, TMsgDlgButtons buttons, const std::string& icon,
              int seconds, const std::string& neverAgainKey, int helpContext, int timeoutResult,
              QWidget* parent = nullptr);

  // The buttons in the order shown, left to right.
  const std::vector<QPushButton*>& Buttons() const { return FButtons; }
  // The button with the caption (e.g. "&Retry"); null when not shown.
  QPushButton* Button(const std::string& caption) const;
  QLabel* IconPanel() const { return FIconPanel; }
  QLabel* MessageLabel() const { return FLabel; }
  QWidget* ButtonPanel() const { return FButtonPanel; }
  QCheckBox* NeverAgainBox() const { return FCheckBox; }
  QTimer* CloseTimer() const { return FTimer; }
  bool NeverAgainChecked() const;

  // Escape and the window's close button answer mrCancel.
  void reject() override;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void AddButton(const char* caption, int result, bool help);
  void Arrange();

  int FHelpContext;
  int FTimeoutResult;
  QLabel* FIconPanel;
  QLabel* FLabel;
  QWidget* FButtonPanel;
  QCheckBox* FCheckBox;
  QTimer* FTimer;
  std::vector<QPushButton*> FButtons;
};

}  // namespace halvorn::platform
