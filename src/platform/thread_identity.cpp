#include "platform/thread_identity.h"

#include <utility>

namespace halvorn::platform {
namespace {

std::atomic<ThreadId> GNextThreadId{1};

ThreadId DrawThreadId() {
  ThreadId id = GNextThreadId.fetch_add(1);
  // 2^32 threads later the counter wraps; 0 stays "no thread".
  if (id == 0) id = GNextThreadId.fetch_add(1);
  return id;
}

// Owns the calling thread's record and marks it ended when the thread's
// thread-local storage goes, which is the last thing a thread does.
struct LifeHolder {
  ThreadLifeRef Life;
  ~LifeHolder() {
    if (Life) Life->Ended.store(true);
    TornDown() = true;
  }
  static bool& TornDown() {
    thread_local bool tornDown = false;  // trivially destructible: safe to read late
    return tornDown;
  }
};

thread_local LifeHolder TLife;

}  // namespace

ThreadLifeRef CurrentThreadLife() {
  if (LifeHolder::TornDown()) {
    // Late callers (other thread-local destructors) get a record of their own
    // that already reads as ended: the thread no longer runs any code of ours.
    auto dead = std::make_shared<ThreadLife>(0);
    dead->Ended.store(true);
    return dead;
  }
  if (!TLife.Life) TLife.Life = std::make_shared<ThreadLife>(DrawThreadId());
  return TLife.Life;
}

ThreadId CurrentThreadId() {
  return CurrentThreadLife()->Id;
}

ThreadLifeRef NewThreadLife() {
  return std::make_shared<ThreadLife>(DrawThreadId());
}

bool AdoptThreadLife(ThreadLifeRef life) {
  if (!life || LifeHolder::TornDown() || TLife.Life) return false;
  TLife.Life = std::move(life);
  return true;
}

}  // namespace halvorn::platform
