#include "platform/main_thread.h"

#include <atomic>
#include <mutex>
#include <thread>

namespace halvorn::platform {
namespace {

std::atomic<std::thread::id> GMainThreadId{};
std::mutex GHooksLock;
MainThreadHooks GHooks;

}  // namespace

void MarkMainThread() { GMainThreadId.store(std::this_thread::get_id()); }

bool OnMainThread() {
  std::thread::id id = GMainThreadId.load();
  return id != std::thread::id() && id == std::this_thread::get_id();
}

void SetMainThreadHooks(MainThreadHooks hooks) {
  std::lock_guard<std::mutex> guard(GHooksLock);
  GHooks = std::move(hooks);
}

void RunProcessMessagesHook() {
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> guard(GHooksLock);
    hook = GHooks.ProcessMessages;
  }
  if (hook) hook();
}

void RunShowMessageHook(const std::string& text) {
  std::function<void(const std::string&)> hook;
  {
    std::lock_guard<std::mutex> guard(GHooksLock);
    hook = GHooks.ShowMessage;
  }
  if (hook) hook(text);
}

}  // namespace halvorn::platform
