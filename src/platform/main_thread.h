// The seam between the Foundation and the main thread's event loop.
//
// The Foundation asks three things of the main thread: whether the caller is
// on it, to handle pending window messages while a blocking wait runs there,
// and to show a message box. The event loop installs its answers with
// SetMainThreadHooks once it exists; until then the defaults below do nothing
// visible.
#pragma once

#include <functional>
#include <string>

namespace halvorn::platform {

struct MainThreadHooks {
  // Handle the pending window messages of the calling (main) thread.
  std::function<void()> ProcessMessages;
  // Show a plain message box with the text (main thread only).
  std::function<void(const std::string&)> ShowMessage;
};

// Records the calling thread as the program's main thread. Called once, first
// thing in main(); later calls move the mark (tests use that).
void MarkMainThread();

// True when the caller is the thread MarkMainThread recorded; false before any
// thread was recorded. Safe from any thread.
bool OnMainThread();

// Replaces the hooks. Call from the main thread before workers start.
void SetMainThreadHooks(MainThreadHooks hooks);

// Runs the installed ProcessMessages hook; does nothing without one.
void RunProcessMessagesHook();

// Runs the installed ShowMessage hook; does nothing without one.
void RunShowMessageHook(const std::string& text);

}  // namespace halvorn::platform
