// The main thread and its message loop, as the rest of the program sees them.
//
// The event loop installs the real work behind these calls when it exists
// (platform/main_thread.h); until then they do nothing visible, so code below
// the user interface can call them from any program, tests included.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace halvorn {

// The calling thread is the program's main thread. Safe from any thread.
bool IsMainThread();

// On the main thread, lets the event loop handle its pending messages and
// answers true; elsewhere does nothing and answers false. Blocking waits on
// the main thread call it between their steps.
bool ProcessMessagesIfMain();

// Waits until `done` answers true or `timeoutMs` has passed, letting the
// event loop handle messages in 20 ms steps on the main thread (a worker
// that runs on the main thread's behalf); when not done by then, gives it
// 100 ms more.
void WaitHandlingMessages(const std::function<bool()>& done, int timeoutMs);

// Worker threads have no window messages on Linux (they report through the
// main thread's queue), so there is nothing to pump: does nothing.
void PumpThreadMessages(std::intptr_t window);

// Shows a plain message box with the text unless `quiet` is set. Belongs on
// the main thread; does nothing until the event loop installs its hook.
void ShowMessageUnlessQuiet(const std::string& text, bool quiet);

}  // namespace halvorn
