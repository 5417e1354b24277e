#include "foundation/threads/mutex_critical_section.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "foundation/crypto/random_source.h"
#include "foundation/log/log_sink.h"
#include "foundation/threads/abandonment.h"
#include "foundation/threads/message_loop.h"
#include "foundation/time/clock.h"

namespace halvorn {
namespace {

// How often a waiter looks whether the owner has ended meanwhile: an ended
// owner never wakes anyone, so the waiter has to look.
constexpr int kOwnerPollMs = 25;

std::atomic<int> GTimeOutForTests{0};

const char* const kLogService = "Locks";

}  // namespace

TAbstractCriticalSection::TAbstractCriticalSection(std::string name) : FName(std::move(name)) {}

TMutexCriticalSection::TMutexCriticalSection(std::string name)
    : TAbstractCriticalSection(std::move(name)) {}

TMutexCriticalSection::~TMutexCriticalSection() = default;

void TMutexCriticalSection::SetTimeOutForTests(int milliseconds) {
  GTimeOutForTests.store(std::max(0, milliseconds));
}

int TMutexCriticalSection::EffectiveTimeOut() const {
  int forTests = GTimeOutForTests.load();
  int timeOut = forTests > 0 ? forTests : FTimeOut.load();
  return std::max(0, timeOut);
}

bool TMutexCriticalSection::OwnerEndedLocked() const {
  return FOwnerThreadHandle && FOwnerThreadHandle->Ended.load();
}

void TMutexCriticalSection::RenewLocked() {
  FOwnerThreadId = 0;
  FOwnerThreadHandle.reset();
  FCount = 0;
  ++FGeneration;
}

void TMutexCriticalSection::TakeLocked(const platform::ThreadLifeRef& me) {
  FCount = 1;
  FOwnerThreadId = me->Id;
  FOwnerThreadHandle = me;
}

void TMutexCriticalSection::Enter() {
  CheckAbandoned();
  const platform::ThreadLifeRef me = platform::CurrentThreadLife();
  std::string takeOverNote;
  {
    std::unique_lock<std::mutex> lock(FMonitor);
    if (FCount > 0 && FOwnerThreadHandle == me) {
      ++FCount;
      return;
    }
    // A free lock is taken at once: the wait and its deadline (a random draw
    // and a clock reading) are only worked out when there is something to
    // wait for.
    if (FCount == 0) {
      TakeLocked(me);
      return;
    }
    int ownerlessTimeOuts = 0;
    for (;;) {
      const int timeOut = EffectiveTimeOut();
      const int wait = IsMainThread() ? timeOut : timeOut + RandomInt(timeOut);
      const std::int64_t deadline = SteadyMilliseconds() + wait;
      bool taken = false;
      for (;;) {
        if (FCount == 0) {
          TakeLocked(me);
          taken = true;
          break;
        }
        if (OwnerEndedLocked()) {
          takeOverNote = "Took over critical section " + FName + " from ended Thread " +
                         std::to_string(FOwnerThreadId);
          RenewLocked();
          TakeLocked(me);
          taken = true;
          break;
        }
        const std::int64_t left = deadline - SteadyMilliseconds();
        if (left <= 0) break;
        FChanged.wait_for(lock,
                          std::chrono::milliseconds(std::min<std::int64_t>(left, kOwnerPollMs)));
        // An abandoned worker stuck here unwinds at once instead of waiting out
        // the time-out; the unique_lock gives the monitor back on the way.
        CheckAbandoned();
      }
      if (taken) break;

      // The program's fixed wording: "critial" is kept byte for byte.
      std::string text = "Timed out waiting on critial section " + FName + " Owned by Thread " +
                         std::to_string(FOwnerThreadId);
      if (FOwnerThreadHandle) throw ECriticalSectionException(text);  // the owner still runs
      // Held without a recorded owner: cannot happen while the bookkeeping is
      // kept under the monitor, but a broken invariant must not spin forever.
      if (++ownerlessTimeOuts >= 2) throw ECriticalSectionException(text);
    }
  }
  // Logged outside the monitor: the log takes a lock of its own, which may be
  // this very one.
  if (!takeOverNote.empty()) Log(kLogService, takeOverNote, 5, true);
}

bool TMutexCriticalSection::TryEnter() {
  CheckAbandoned();
  const platform::ThreadLifeRef me = platform::CurrentThreadLife();
  std::string renewNote;
  bool taken = false;
  {
    std::lock_guard<std::mutex> lock(FMonitor);
    if (FCount > 0 && FOwnerThreadHandle == me) {
      ++FCount;
      taken = true;
    } else if (FCount == 0) {
      TakeLocked(me);
      taken = true;
    } else if (OwnerEndedLocked()) {
      renewNote = "Renewed critical section " + FName + " after ended Thread " +
                  std::to_string(FOwnerThreadId);
      RenewLocked();
    }
  }
  if (!renewNote.empty()) {
    FChanged.notify_all();
    Log(kLogService, renewNote, 5, true);
  }
  return taken;
}

bool TMutexCriticalSection::IsLocked() {
  const platform::ThreadLifeRef me = platform::CurrentThreadLife();
  bool renewed = false;
  bool locked = false;
  {
    std::lock_guard<std::mutex> lock(FMonitor);
    if (FCount == 0 || FOwnerThreadHandle == me) {
      locked = false;
    } else if (OwnerEndedLocked()) {
      RenewLocked();
      renewed = true;
    } else {
      locked = true;
    }
  }
  if (renewed) FChanged.notify_all();
  return locked;
}

void TMutexCriticalSection::Leave() {
  const platform::ThreadLifeRef me = platform::CurrentThreadLife();
  bool released = false;
  bool stray = false;
  {
    std::lock_guard<std::mutex> lock(FMonitor);
    if (FCount <= 0 || FOwnerThreadHandle != me) {
      stray = true;
    } else if (--FCount == 0) {
      FOwnerThreadHandle.reset();
      released = true;
    }
  }
  if (released) FChanged.notify_all();
  if (stray) {
    Log(kLogService,
        "Leave of critical section " + FName + " by Thread " + std::to_string(me->Id) +
            ", which does not hold it",
        5, true);
  }
}

bool TMutexCriticalSection::IsEntered() const {
  std::lock_guard<std::mutex> lock(FMonitor);
  return FCount > 0;
}

platform::ThreadId TMutexCriticalSection::OwnerThreadId() const {
  std::lock_guard<std::mutex> lock(FMonitor);
  return FOwnerThreadId;
}

int TMutexCriticalSection::Count() const {
  std::lock_guard<std::mutex> lock(FMonitor);
  return FCount;
}

bool TMutexCriticalSection::HasOwnerHandle() const {
  std::lock_guard<std::mutex> lock(FMonitor);
  return static_cast<bool>(FOwnerThreadHandle);
}

std::uint64_t TMutexCriticalSection::Generation() const {
  std::lock_guard<std::mutex> lock(FMonitor);
  return FGeneration;
}

}  // namespace halvorn
