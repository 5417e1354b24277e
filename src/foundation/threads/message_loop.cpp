#include "foundation/threads/message_loop.h"

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

void PumpThreadMessages(std::intptr_t /*window*/) {}

void ShowMessageUnlessQuiet(const std::string& text, bool quiet) {
  if (!quiet) platform::RunShowMessageHook(text);
}

}  // namespace halvorn
