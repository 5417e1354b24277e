// The one way the account code takes an account or collection lock: it keeps
// count of the locks the thread holds (AccountLocksHeldByThisThread), so that
// code which must not run under them can tell.
#pragma once

#include "foundation/threads/mutex_critical_section.h"

namespace halvorn::detail {

// Counts the calling thread's account and collection locks.
int& AccountLockDepth();

// Holds an account or collection lock for one scope.
class TAccountGuard {
 public:
  explicit TAccountGuard(TMutexCriticalSection& lock) : FLock(lock) {
    FLock.Enter();
    ++AccountLockDepth();
  }
  ~TAccountGuard() {
    --AccountLockDepth();
    FLock.Leave();
  }
  TAccountGuard(const TAccountGuard&) = delete;
  TAccountGuard& operator=(const TAccountGuard&) = delete;

 private:
  TMutexCriticalSection& FLock;
};

}  // namespace halvorn::detail
