// The program's own message dialog and one-line text editor, for callers
// that need no Qt types. The windows behind them are TQuorMsgDlg
// (message_dialog.h) and TEditStringForm (string_editor.h).
#pragma once

#include <cstdint>
#include <string>

namespace halvorn::platform {

// Dialog types.
constexpr int mtWarning = 0;
constexpr int mtError = 1;
constexpr int mtInformation = 2;
constexpr int mtConfirmation = 3;
constexpr int mtCustom = 4;

// Button set bits, bit 0 first.
using TMsgDlgButtons = std::uint16_t;
constexpr TMsgDlgButtons mbYes = 1u << 0;
constexpr TMsgDlgButtons mbNo = 1u << 1;
constexpr TMsgDlgButtons mbOK = 1u << 2;
constexpr TMsgDlgButtons mbCancel = 1u << 3;
constexpr TMsgDlgButtons mbAbort = 1u << 4;
constexpr TMsgDlgButtons mbRetry = 1u << 5;
constexpr TMsgDlgButtons mbIgnore = 1u << 6;
constexpr TMsgDlgButtons mbAll = 1u << 7;
constexpr TMsgDlgButtons mbNoToAll = 1u << 8;
constexpr TMsgDlgButtons mbYesToAll = 1u << 9;
constexpr TMsgDlgButtons mbHelp = 1u << 10;

// Modal results.
constexpr int mrNone = 0;
constexpr int mrOk = 1;
constexpr int mrCancel = 2;
constexpr int mrAbort = 3;
constexpr int mrRetry = 4;
constexpr int mrIgnore = 5;
constexpr int mrYes = 6;
constexpr int mrNo = 7;
constexpr int mrAll = 8;
constexpr int mrNoToAll = 9;
constexpr int mrYesToAll = 10;

// Shows the message dialog modally and answers its modal result.
//   text: word-wrapped message; type: mtWarning .. mtCustom (other values
//   show as mtCustom); buttons: the set above; icon: an image file or Qt
//   resource path shown instead of the type's standard icon, empty for the
//   standard one; seconds: above 0, the dialog closes by itself after that
//   many seconds answering timeoutResult; neverAgainKey: not empty shows the
//   check box "Never show this dialogue again."; helpContext: the topic the
//   Help button asks the help handler for.
// Main thread with a QApplication; elsewhere nothing is shown and the answer
// is mrNone.
int QuorMessageDlg(const std::string& text, int type, TMsgDlgButtons buttons,
                   const std::string& icon, int seconds, const std::string& neverAgainKey,
                   int helpContext, int timeoutResult);

// Lets the user edit a one-line text in a modal dialog with the caption.
// Answers the edited text when the dialog ends with OK, else the empty text.
// Main thread with a QApplication; elsewhere the empty text.
std::string EditString(const std::string& caption, const std::string& initial);

}  // namespace halvorn::platform
