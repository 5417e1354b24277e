// Posted window messages.
//
// The program's workers tell the main window what happened by posting
// numbered messages with two pointer-sized parameters. A "window" is a
// receiver registered under a class name; it gets each post in the event loop
// of the thread it lives on. A handle names a registered receiver; 0 is no
// window. Posting to a handle that is not (or no longer) registered does
// nothing, so a post that races with the receiver going away is lost rather
// than delivered to freed memory.
//
// This interface is free of Qt, so code below the user interface can post.
// Receivers are registered, and the posted events read, through
// platform/qt_window_messages.h, which only Qt code includes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace halvorn::platform {

// Names a registered receiver; 0 is none. Handles are never reused.
using WindowHandle = std::uintptr_t;
// A message's WParam and LParam: wide enough for a pointer.
using MessageParam = std::uintptr_t;

// Forgets the handle; later posts to it are dropped. Posts already queued
// stay queued and are delivered to (or freed with) the receiver. Unknown
// handles are ignored. Safe from any thread.
void UnregisterWindow(WindowHandle window);

// Queues the message for the receiver's event loop and answers true; answers
// false and frees the text when the handle is 0 or not registered. Never
// waits for the receiver. Safe from any thread.
bool PostWindowMessage(WindowHandle window, std::uint32_t msg, MessageParam wParam,
                       MessageParam lParam, std::unique_ptr<std::string> text = nullptr);

// The first registered receiver (in order of registration) with that class
// name in this process; 0 when there is none. Safe from any thread.
WindowHandle FindWindowByClass(const std::string& className);

// Called for each message posted to a message-only window, on the thread
// that created the window.
using WindowMessageHandler =
    std::function<void(std::uint32_t msg, MessageParam wParam, MessageParam lParam)>;

// A hidden message-only window of class "STATIC" named "QuorMsgWindow" that
// lives on the calling thread and hands each message posted to it to the
// handler (none: messages are dropped). The caller owns it: destroy it with
// DestroyMsgWindow on the same thread. Answers its handle.
WindowHandle CreateMessageWindow(WindowMessageHandler handler = {});
// Destroys a window made by CreateMessageWindow; messages still queued for it
// are freed unhandled. Other handles are ignored.
void DestroyMessageWindow(WindowHandle window);

}  // namespace halvorn::platform
