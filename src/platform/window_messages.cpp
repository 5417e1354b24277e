#include "platform/qt_window_messages.h"

#include <QCoreApplication>

#include <map>
#include <mutex>
#include <utility>

namespace halvorn::platform {
namespace {

struct Registration {
  QObject* Receiver;
  std::string ClassName;
};

// Handles in order of registration (std::map keeps them sorted, and handles
// only grow). Posting happens under the lock so that UnregisterWindow, once
// it returns, guarantees no further event is queued for the receiver.
std::mutex GRegistryLock;
std::map<WindowHandle, Registration> GRegistry;
WindowHandle GNextHandle = 1;

// The receiver behind CreateMessageWindow.
class MessageOnlyWindow : public QObject {
 public:
  explicit MessageOnlyWindow(WindowMessageHandler handler) : FHandler(std::move(handler)) {
    setObjectName(QStringLiteral("QuorMsgWindow"));
  }

  bool event(QEvent* event) override {
    if (event->type() != WindowMessageEvent::EventType()) return QObject::event(event);
    auto* message = static_cast<WindowMessageEvent*>(event);
    if (FHandler) FHandler(message->Msg(), message->WParam(), message->LParam());
    return true;
  }

 private:
  WindowMessageHandler FHandler;
};

std::mutex GMessageWindowsLock;
std::map<WindowHandle, MessageOnlyWindow*> GMessageWindows;

}  // namespace

WindowMessageEvent::WindowMessageEvent(std::uint32_t msg, MessageParam wParam, MessageParam lParam,
                                       std::unique_ptr<std::string> text)
    : QEvent(EventType()), FMsg(msg), FWParam(wParam), FLParam(lParam), FText(std::move(text)) {}

QEvent::Type WindowMessageEvent::EventType() {
  static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
  return type;
}

WindowHandle RegisterWindow(QObject* receiver, const std::string& className) {
  if (receiver == nullptr) return 0;
  std::lock_guard<std::mutex> guard(GRegistryLock);
  WindowHandle handle = GNextHandle++;
  GRegistry.emplace(handle, Registration{receiver, className});
  return handle;
}

void UnregisterWindow(WindowHandle window) {
  std::lock_guard<std::mutex> guard(GRegistryLock);
  GRegistry.erase(window);
}

bool PostWindowMessage(WindowHandle window, std::uint32_t msg, MessageParam wParam,
                       MessageParam lParam, std::unique_ptr<std::string> text) {
  std::lock_guard<std::mutex> guard(GRegistryLock);
  auto found = GRegistry.find(window);
  if (found == GRegistry.end()) return false;
  // postEvent takes ownership of the event (and so of the text) whatever
  // becomes of the receiver.
  QCoreApplication::postEvent(found->second.Receiver,
                              new WindowMessageEvent(msg, wParam, lParam, std::move(text)));
  return true;
}

WindowHandle FindWindowByClass(const std::string& className) {
  std::lock_guard<std::mutex> guard(GRegistryLock);
  for (const auto& [handle, registration] : GRegistry)
    if (registration.ClassName == className) return handle;
  return 0;
}

WindowHandle CreateMessageWindow(WindowMessageHandler handler) {
  auto* window = new MessageOnlyWindow(std::move(handler));
  WindowHandle handle = RegisterWindow(window, "STATIC");
  std::lock_guard<std::mutex> guard(GMessageWindowsLock);
  GMessageWindows.emplace(handle, window);
  return handle;
}

void DestroyMessageWindow(WindowHandle window) {
  MessageOnlyWindow* object = nullptr;
  {
    std::lock_guard<std::mutex> guard(GMessageWindowsLock);
    auto found = GMessageWindows.find(window);
    if (found == GMessageWindows.end()) return;
    object = found->second;
    GMessageWindows.erase(found);
  }
  UnregisterWindow(window);
  // Deleting the QObject frees the events still queued for it.
  delete object;
}

}  // namespace halvorn::platform
