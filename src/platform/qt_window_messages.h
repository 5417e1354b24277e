// The Qt side of posted window messages (window_messages.h): registering a
// QObject as a receiver, and the event each post arrives as. Only code that
// is Qt code itself (the platform layer, the user interface) includes this.
#pragma once

#include <QEvent>
#include <QObject>

#include <cstdint>
#include <memory>
#include <string>

#include "platform/window_messages.h"

namespace halvorn::platform {

// One posted message. It owns the text a post carries (if any): LParam then
// holds the text's address, and the text is freed with the event unless the
// handler took it with TakeText, so a post that is never handled leaks
// nothing.
class WindowMessageEvent : public QEvent {
 public:
  WindowMessageEvent(std::uint32_t msg, MessageParam wParam, MessageParam lParam,
                     std::unique_ptr<std::string> text = nullptr);

  // The event type all posted window messages share.
  static QEvent::Type EventType();

  std::uint32_t Msg() const { return FMsg; }
  MessageParam WParam() const { return FWParam; }
  MessageParam LParam() const { return FLParam; }
  // The carried text, or null when the post carries none (or it was taken).
  const std::string* Text() const { return FText.get(); }
  // Hands the carried text to the caller; null when there is none.
  std::unique_ptr<std::string> TakeText() { return std::move(FText); }

 private:
  std::uint32_t FMsg;
  MessageParam FWParam;
  MessageParam FLParam;
  std::unique_ptr<std::string> FText;
};

// Registers the receiver under the class name and answers its new handle.
// The receiver must stay alive until UnregisterWindow(handle) returns; call
// that before destroying it. Safe from any thread.
WindowHandle RegisterWindow(QObject* receiver, const std::string& className);

}  // namespace halvorn::platform
