#include "foundation/threads/message_loop.h"

#include <chrono>
#include <thread>

#include "platform/main_thread.h"

namespace halvorn {

bool IsMainThread() {
  return platform::OnMainThread();
}

bool ProcessMessagesIfMain() {
  if (!platform::OnMainThread()) return false;
  platform::RunProcessMessagesHook();
  return true;
}

void WaitHandlingMessages(const std::function<bool()>& done, int timeoutMs) {
  const auto start = std::chrono::steady_clock::now();
  auto elapsed = [&] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
  };
  while (!done() && elapsed() < timeoutMs) {
    ProcessMessagesIfMain();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (!done()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

void PumpThreadMessages(std::intptr_t /*window*/) {}

void ShowMessageUnlessQuiet(const std::string& text, bool quiet) {
  if (!quiet) platform::RunShowMessageHook(text);
}

}  // namespace halvorn
