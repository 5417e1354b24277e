#include "foundation/threads/abandonment.h"

#include <exception>
#include <string>

namespace halvorn {
namespace {

// The flag and id of the worker whose Execute runs on this thread.
thread_local const std::atomic<bool>* TAbandoned = nullptr;
thread_local platform::ThreadId TWorkerId = 0;

}  // namespace

void CheckAbandoned() {
  const std::atomic<bool>* abandoned = TAbandoned;
  if (abandoned != nullptr && abandoned->load() && std::uncaught_exceptions() == 0) {
    throw EThreadAbandoned("Thread " + std::to_string(TWorkerId) + " was abandoned");
  }
}

void WatchForAbandonment(const std::atomic<bool>* abandoned, platform::ThreadId id) {
  TAbandoned = abandoned;
  TWorkerId = abandoned != nullptr ? id : 0;
}

}  // namespace halvorn
