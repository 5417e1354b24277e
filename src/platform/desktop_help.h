// Help for the dialogs, and opening addresses with the desktop's URL opener.
//
// A dialog's Help button calls the application's help handler with the
// dialog's help context; the main window installs that handler. Help pages
// are web addresses, opened by the desktop's URL opener; tests replace the
// opener so that nothing is ever launched from them.
#pragma once

#include <functional>
#include <string>

namespace halvorn::platform {

// Shows the help topic of the context (the platform's "show context" help
// command).
using HelpHandler = std::function<void(int helpContext)>;

// Installs (or, with an empty handler, removes) the application's help
// handler. Main thread.
void SetHelpHandler(HelpHandler handler);
// Whether the application has a help handler.
bool HasHelpHandler();
// Calls the help handler with the context; false (nothing done) without one.
bool CallHelpHandler(int helpContext);

// Opens an address; answers whether the opener accepted it.
using UrlOpener = std::function<bool(const std::string& url)>;

// Opens the address with the desktop's URL opener (QDesktopServices), or
// with the opener installed by SetUrlOpener. Main thread.
bool OpenUrl(const std::string& url);
// Replaces the desktop's opener; an empty opener restores it. For tests.
void SetUrlOpener(UrlOpener opener);

}  // namespace halvorn::platform
