#include "foundation/threads/quor_thread.h"

#include <cxxabi.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <typeinfo>

#include "foundation/log/log_sink.h"
#include "foundation/time/clock.h"

namespace halvorn {

std::atomic<bool> ShuttingDown{false};

// The control record of one worker. The flags without atomics are guarded by
// Mutex; Registered by the thread list's lock.
struct TThreadControl {
  platform::ThreadLifeRef Life;
  TQuorThread* Object = nullptr;  // cleared when the object is freed

  std::mutex Mutex;
  std::condition_variable Changed;
  bool Launched = false;  // registered; the thread may begin
  bool Suspended = false;
  // A wake-up that came while the worker was not suspended: its next
  // SuspendUnlessWoken returns at once. Many collapse into one.
  bool WakePending = false;
  bool Finished = false;  // Execute has returned (or will never run)
  bool FreeOnTerminate = false;
  // The thread owns its object and frees it when it ends; its std::thread has
  // been detached. Set once, never cleared.
  bool FreeSelf = false;

  bool Registered = false;

  std::atomic<bool> Terminated{false};
  std::atomic<bool> Abandoned{false};
  std::atomic<bool> Closed{false};  // the object has been freed: the handle is dead
};

namespace {

const char* const kLogService = "Threads";

// How long Free waits for a worker to end before it abandons it.
constexpr int kFreeWaitMs = 5000;
// What CountHungThreads gives a hung worker after asking it to stop.
constexpr int kHungWaitMs = 750;
// The poll step of the waits.
constexpr int kPollMs = 100;

struct ThreadList {
  TMutexCriticalSection Lock{"ThreadList_CS"};
  std::vector<TThreadRec> Entries;  // under Lock
  bool Active = true;               // under Lock
};

ThreadList& List() {
  // Never destroyed: workers may still unregister while the program's statics go.
  static ThreadList* list = new ThreadList();
  return *list;
}

// A serial number bumped whenever a worker finishes, is freed, suspends or
// leaves the list, so that waits can sleep until something happens rather
// than for a whole poll step.
std::mutex GStateMutex;
std::condition_variable GStateChanged;
std::uint64_t GStateSerial = 0;

void NotifyStateChange() {
  {
    std::lock_guard<std::mutex> lock(GStateMutex);
    ++GStateSerial;
  }
  GStateChanged.notify_all();
}

std::uint64_t StateSerial() {
  std::lock_guard<std::mutex> lock(GStateMutex);
  return GStateSerial;
}

// Waits until the serial differs from `seen` or `milliseconds` pass.
void WaitStateChange(std::uint64_t seen, std::int64_t milliseconds) {
  if (milliseconds <= 0) return;
  std::unique_lock<std::mutex> lock(GStateMutex);
  GStateChanged.wait_for(lock, std::chrono::milliseconds(milliseconds),
                         [&] { return GStateSerial != seen; });
}

bool HandleDead(const TThreadHandle& handle) {
  return !handle || handle->Closed.load();
}

// "TDownloadThread" from "halvorn::TDownloadThread".
std::string ClassNameOf(const std::type_info& type) {
  int status = 0;
  char* demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
  std::string name = (status == 0 && demangled != nullptr) ? demangled : type.name();
  std::free(demangled);
  std::size_t end = name.find('<');
  std::size_t cut = name.rfind("::", end == std::string::npos ? std::string::npos : end);
  if (cut != std::string::npos) name.erase(0, cut + 2);
  return name;
}

// Removes entry i without touching its thread. Under the list's lock.
void DropEntryLocked(ThreadList& list, std::size_t i) {
  list.Entries[i].Handle->Registered = false;
  list.Entries.erase(list.Entries.begin() + static_cast<std::ptrdiff_t>(i));
  NotifyStateChange();
}

// Drops every entry whose handle is dead. Under the list's lock.
void DropDeadLocked(ThreadList& list) {
  for (std::size_t i = list.Entries.size(); i-- > 0;) {
    if (HandleDead(list.Entries[i].Handle)) DropEntryLocked(list, i);
  }
}

// The index of the thread's entry, from the last to the first; -1 when none.
std::ptrdiff_t FindEntryLocked(ThreadList& list, const TQuorThread* thread) {
  for (std::size_t i = list.Entries.size(); i-- > 0;) {
    if (list.Entries[i].Thread == thread) return static_cast<std::ptrdiff_t>(i);
  }
  return -1;
}

bool OnOwnThread(const TThreadControl& control) {
  return control.Life.get() == platform::CurrentThreadLife().get();
}

}  // namespace

// ---------------------------------------------------------------------------
// TQuorThread

TQuorThread::TQuorThread() : FControl(std::make_shared<TThreadControl>()) {
  FControl->Life = platform::NewThreadLife();
  FControl->Object = this;
  StampAlive();
}

TQuorThread::~TQuorThread() {
  TThreadHandle control = FControl;
  if (control->Registered) {
    // Only when the object was deleted without Free; Free unregisters first.
    try {
      Unregister();
    } catch (const std::exception& e) {
      Log(kLogService, "Could not unregister " + FClassName + ": " + e.what(), 5, true);
    }
  }
  if (FThread.joinable()) {
    // Reached only from Start's failure path or a direct delete: the thread
    // must not outlive the memory it runs in.
    {
      std::lock_guard<std::mutex> lock(control->Mutex);
      control->Launched = true;
      control->Suspended = false;
      control->Terminated = true;
    }
    control->Changed.notify_all();
    if (FThread.get_id() == std::this_thread::get_id()) {
      FThread.detach();
    } else {
      FThread.join();
    }
  }
  {
    std::lock_guard<std::mutex> lock(control->Mutex);
    control->Object = nullptr;
    control->Closed = true;
  }
  control->Changed.notify_all();
  NotifyStateChange();
}

platform::ThreadId TQuorThread::ThreadId() const {
  return FControl->Life->Id;
}

void TQuorThread::Start(bool createSuspended) {
  TThreadHandle control = FControl;
  {
    std::lock_guard<std::mutex> lock(control->Mutex);
    control->Suspended = createSuspended;
  }
  FClassName = ClassNameOf(typeid(*this));
  try {
    // The thread waits at the start gate until it is registered.
    FThread = std::thread(&TQuorThread::ThreadMain, this, control);
    ThreadList& list = List();
    TCriticalSectionGuard guard(list.Lock);
    if (list.Active) {
      list.Entries.push_back(TThreadRec{this, control, control->Life->Id, FClassName});
      control->Registered = true;
    }
  } catch (...) {
    delete this;  // ends the waiting thread, if one was started
    throw;
  }
  {
    std::lock_guard<std::mutex> lock(control->Mutex);
    control->Launched = true;
    if (control->FreeOnTerminate && !control->FreeSelf) {
      control->FreeSelf = true;
      FThread.detach();
    }
  }
  control->Changed.notify_all();
}

// Touches the object only once the gate has opened with the worker not
// terminated: a worker freed before it ran may already be half destroyed.
void TQuorThread::ThreadMain(TThreadHandle control) {
  platform::AdoptThreadLife(control->Life);
  {
    std::unique_lock<std::mutex> lock(control->Mutex);
    // A suspended worker waits here until it is resumed, freed or abandoned.
    control->Changed.wait(lock, [&] { return control->Launched && !control->Suspended; });
  }
  if (!control->Terminated.load()) {
    WatchForAbandonment(&control->Abandoned, control->Life->Id);
    try {
      Execute();
    } catch (const EThreadAbandoned&) {
      // The unwinding has given the worker's locks back; nothing to report.
    } catch (const std::exception& e) {
      Log(kLogService, FClassName + " ended with an error: " + e.what(), 5, true);
    } catch (...) {
      Log(kLogService, FClassName + " ended with an unknown error", 5, true);
    }
    WatchForAbandonment(nullptr, 0);
    try {
      DoTerminate();
    } catch (const std::exception& e) {
      Log(kLogService, FClassName + " failed in its clean-up: " + e.what(), 5, true);
    } catch (...) {
      Log(kLogService, FClassName + " failed in its clean-up with an unknown error", 5, true);
    }
  }
  bool freeSelf = false;
  {
    std::lock_guard<std::mutex> lock(control->Mutex);
    control->Finished = true;
    freeSelf = control->FreeSelf;
  }
  // From here on, unless it frees itself, the object may be freed by another
  // thread at any moment: only `control` is used.
  control->Changed.notify_all();
  NotifyStateChange();
  if (freeSelf) DeleteSelf();
}

void TQuorThread::DeleteSelf() {
  for (int attempt = 0; attempt < 5; ++attempt) {
    try {
      Unregister();
      delete this;
      return;
    } catch (const std::exception& e) {
      Log(kLogService, "Could not unregister " + FClassName + ": " + e.what(), 5, true);
    }
  }
  // Freeing it while the list still points at it would be worse than the leak.
  Log(kLogService, FClassName + " left in memory: the thread list stayed locked", 5, true);
}

void TQuorThread::Unregister() {
  ThreadList& list = List();
  TCriticalSectionGuard guard(list.Lock);
  if (!FControl->Registered) return;
  std::ptrdiff_t i = FindEntryLocked(list, this);
  if (i >= 0) {
    DropEntryLocked(list, static_cast<std::size_t>(i));
  } else {
    FControl->Registered = false;
  }
}

void TQuorThread::Free(TQuorThread* thread) {
  if (thread == nullptr) return;
  TThreadHandle control = thread->FControl;
  if (OnOwnThread(*control)) {
    {
      std::lock_guard<std::mutex> lock(control->Mutex);
      if (!control->FreeSelf) {
        control->FreeSelf = true;
        if (thread->FThread.joinable()) thread->FThread.detach();
      }
    }
    thread->Terminate();
    return;
  }
  thread->Unregister();
  FinishFree(control);
}

void TQuorThread::FinishFree(const TThreadHandle& control) {
  TQuorThread* thread = nullptr;
  bool abandoned = false;
  {
    std::unique_lock<std::mutex> lock(control->Mutex);
    if (control->FreeSelf || control->Object == nullptr) {
      // Its thread frees it; just make sure it ends.
      control->Terminated = true;
      control->Suspended = false;
      lock.unlock();
      control->Changed.notify_all();
      return;
    }
    thread = control->Object;
    control->Terminated = true;
    control->Suspended = false;
    control->Changed.notify_all();
    if (thread->FThread.joinable()) {
      control->Changed.wait_for(lock, std::chrono::milliseconds(kFreeWaitMs),
                                [&] { return control->Finished || control->FreeSelf; });
      if (control->FreeSelf) return;
      if (!control->Finished) {
        control->FreeSelf = true;
        control->Abandoned = true;
        thread->FThread.detach();
        abandoned = true;
      }
    }
  }
  if (abandoned) {
    Log(kLogService, "Abandoned " + thread->FClassName + ": it did not end when freed", 5, true);
    return;
  }
  if (thread->FThread.joinable()) thread->FThread.join();
  delete thread;
}

void TQuorThread::Terminate() {
  FControl->Terminated.store(true);
}

bool TQuorThread::Terminated() const {
  return FControl->Terminated.load();
}

const std::atomic<bool>* TQuorThread::TerminatedFlag() const {
  return &FControl->Terminated;
}

bool TQuorThread::Suspended() const {
  std::lock_guard<std::mutex> lock(FControl->Mutex);
  return FControl->Suspended;
}

void TQuorThread::Resume() {
  // Taken while the worker is still suspended: once it runs, a worker that
  // frees itself may be gone before this function returns, so only the
  // local handle is used after the flag is cleared.
  TThreadHandle control = FControl;
  {
    std::lock_guard<std::mutex> lock(control->Mutex);
    if (!control->Suspended) return;
    control->Suspended = false;
  }
  control->Changed.notify_all();
  NotifyStateChange();
}

void TQuorThread::Suspend() {
  TThreadHandle control = FControl;
  if (!OnOwnThread(*control)) return;
  CheckAbandoned();
  {
    std::unique_lock<std::mutex> lock(control->Mutex);
    control->Suspended = true;
    lock.unlock();
    NotifyStateChange();
    lock.lock();
    // Idle until Resume, Free or KillThread clears the flag.
    control->Changed.wait(lock, [&] { return !control->Suspended; });
  }
  CheckAbandoned();
}

void TQuorThread::Wake() {
  WakeThread(FControl);
}

bool TQuorThread::SuspendUnlessWoken() {
  TThreadHandle control = FControl;
  if (!OnOwnThread(*control)) return false;
  CheckAbandoned();
  {
    std::unique_lock<std::mutex> lock(control->Mutex);
    // Checked and cleared under the lock that Wake takes: a wake-up between
    // the worker's last look for work and its suspension is never lost.
    if (control->WakePending) {
      control->WakePending = false;
      return false;
    }
    control->Suspended = true;
    lock.unlock();
    NotifyStateChange();
    lock.lock();
    control->Changed.wait(lock, [&] { return !control->Suspended; });
    control->WakePending = false;
  }
  CheckAbandoned();
  return true;
}

void WakeThread(const TThreadHandle& handle) {
  if (!handle) return;
  {
    std::lock_guard<std::mutex> lock(handle->Mutex);
    if (handle->Finished) return;
    if (!handle->Suspended) {
      handle->WakePending = true;
      return;
    }
    handle->Suspended = false;
  }
  handle->Changed.notify_all();
  NotifyStateChange();
}

bool TQuorThread::FreeOnTerminate() const {
  std::lock_guard<std::mutex> lock(FControl->Mutex);
  return FControl->FreeOnTerminate;
}

void TQuorThread::SetFreeOnTerminate(bool value) {
  std::lock_guard<std::mutex> lock(FControl->Mutex);
  FControl->FreeOnTerminate = value;
  if (value && FControl->Launched && !FControl->Finished && !FControl->FreeSelf) {
    FControl->FreeSelf = true;
    if (FThread.joinable()) FThread.detach();
  }
}

bool TQuorThread::CheckTerminated() {
  CheckAbandoned();
  StampAlive();
  return FControl->Terminated.load() || ShuttingDown.load();
}

bool TQuorThread::HasFinished() const {
  std::lock_guard<std::mutex> lock(FControl->Mutex);
  return FControl->Finished;
}

bool TQuorThread::IsRunning() const {
  std::lock_guard<std::mutex> lock(FControl->Mutex);
  return !FControl->Suspended && !FControl->Finished;
}

bool TQuorThread::Abandoned() const {
  return FControl->Abandoned.load();
}

void TQuorThread::StampAlive() {
  FLastAlive.store(Now());
}

void FreeThreadByHandle(const TThreadHandle& handle) {
  if (!handle) return;
  {
    // Under the list's lock the object cannot free itself: that needs the lock.
    ThreadList& list = List();
    TCriticalSectionGuard guard(list.Lock);
    TQuorThread* thread = nullptr;
    {
      std::lock_guard<std::mutex> lock(handle->Mutex);
      if (!handle->FreeSelf) thread = handle->Object;
    }
    if (thread == nullptr) {
      handle->Terminated = true;
      return;
    }
    if (OnOwnThread(*handle)) {
      TQuorThread::Free(thread);
      return;
    }
    thread->Unregister();
  }
  TQuorThread::FinishFree(handle);
}

// ---------------------------------------------------------------------------
// The thread list

TMutexCriticalSection& ThreadListLock() {
  return List().Lock;
}

void FinalizeThreadList() {
  StopThreadsOfClassWait(1000);
  KillThreadsOfClass();
  ThreadList& list = List();
  TCriticalSectionGuard guard(list.Lock);
  list.Active = false;
  for (TThreadRec& rec : list.Entries) rec.Handle->Registered = false;
  list.Entries.clear();
}

void InitializeThreadList() {
  ThreadList& list = List();
  TCriticalSectionGuard guard(list.Lock);
  list.Active = true;
}

bool ThreadHandleAlive(const TThreadHandle& handle) {
  return !HandleDead(handle);
}

bool ThreadIsRunning(const TThreadHandle& handle) {
  try {
    if (HandleDead(handle)) return false;
    ThreadList& list = List();
    TCriticalSectionGuard guard(list.Lock);
    TQuorThread* thread = nullptr;
    return FindThreadByHandle(handle, thread) && thread->IsRunning();
  } catch (...) {
    return false;
  }
}

TQuorThread* CurrentQuorThread() {
  TQuorThread* thread = nullptr;
  return FindThreadById(platform::CurrentThreadId(), thread) ? thread : nullptr;
}

bool FindThreadById(platform::ThreadId id, TQuorThread*& thread) {
  thread = nullptr;
  ThreadList& list = List();
  TCriticalSectionGuard guard(list.Lock);
  if (!list.Active) return false;
  bool found = false;
  for (std::size_t i = list.Entries.size(); i-- > 0;) {
    if (list.Entries[i].ThreadId == id) {
      thread = list.Entries[i].Thread;
      found = true;
    }
  }
  return found;
}

bool FindThreadByHandle(const TThreadHandle& handle, TQuorThread*& thread) {
  thread = nullptr;
  ThreadList& list = List();
  TCriticalSectionGuard guard(list.Lock);
  if (!list.Active || !handle) return false;
  bool found = false;
  for (std::size_t i = list.Entries.size(); i-- > 0;) {
    if (HandleDead(list.Entries[i].Handle)) {
      DropEntryLocked(list, i);
      continue;
    }
    if (list.Entries[i].Handle == handle) {
      thread = list.Entries[i].Thread;
      found = true;
    }
  }
  return found;
}

std::vector<TQuorThread*> ListThreadsOfClass(TThreadClass threadClass) {
  std::vector<TQuorThread*> result;
  ThreadList& list = List();
  TCriticalSectionGuard guard(list.Lock);
  if (!list.Active) return result;
  DropDeadLocked(list);
  for (const TThreadRec& rec : list.Entries) {
    if (threadClass.Matches(rec.Thread)) result.push_back(rec.Thread);
  }
  return result;
}

int CountRunningThreadsOfClass(TThreadClass threadClass) {
  ThreadList& list = List();
  TCriticalSectionGuard guard(list.Lock);
  if (!list.Active) return 0;
  DropDeadLocked(list);
  if (threadClass.IsAny()) return static_cast<int>(list.Entries.size());
  int count = 0;
  for (const TThreadRec& rec : list.Entries) {
    if (threadClass.Matches(rec.Thread) && rec.Thread->IsRunning()) ++count;
  }
  return count;
}

int CountHungThreads(double seconds, bool terminate) {
  std::vector<TThreadHandle> hung;
  int count = 0;
  {
    ThreadList& list = List();
    TCriticalSectionGuard guard(list.Lock);
    if (!list.Active) return 0;
    const TDateTime now = Now();
    for (std::size_t i = list.Entries.size(); i-- > 0;) {
      if (HandleDead(list.Entries[i].Handle)) {
        DropEntryLocked(list, i);
        continue;
      }
      TQuorThread* thread = list.Entries[i].Thread;
      if (!thread->IsRunning()) continue;  // suspended workers are never hung
      if ((now - thread->LastAlive()) * 86400.0 > seconds) {
        ++count;
        if (terminate) {
          thread->Terminate();
          hung.push_back(list.Entries[i].Handle);
        }
      }
    }
  }
  // Waited for outside the list's lock, so that the workers can unregister.
  for (const TThreadHandle& handle : hung) {
    if (WaitThreadWithTimeout(handle, kHungWaitMs, true)) continue;
    ThreadList& list = List();
    TCriticalSectionGuard guard(list.Lock);
    TQuorThread* thread = nullptr;
    if (FindThreadByHandle(handle, thread)) KillThread(thread);
  }
  return count;
}

bool StopThread(TQuorThread* thread) {
  ThreadList& list = List();
  TCriticalSectionGuard guard(list.Lock);
  if (!list.Active) return false;
  for (std::size_t i = list.Entries.size(); i-- > 0;) {
    if (HandleDead(list.Entries[i].Handle)) {
      DropEntryLocked(list, i);
      continue;
    }
    if (list.Entries[i].Thread != thread) continue;
    try {
      if (thread->HasFinished()) return false;
      if (thread->Priority() < TThreadPriority::tpNormal) {
        thread->SetPriority(TThreadPriority::tpNormal);
      }
      thread->Terminate();
      thread->Resume();  // a suspended worker must run to see the request
      return true;
    } catch (...) {
      DropEntryLocked(list, i);
      return false;
    }
  }
  return false;
}

int StopThreadsOfClassWait(int timeoutMs, TThreadClass threadClass) {
  const std::int64_t deadline = SteadyMilliseconds() + std::max(0, timeoutMs);
  {
    ThreadList& list = List();
    TCriticalSectionGuard guard(list.Lock);
    if (!list.Active) return 0;
    for (TQuorThread* thread : ListThreadsOfClass(threadClass)) StopThread(thread);
  }
  for (;;) {
    std::uint64_t seen = StateSerial();
    int count = CountRunningThreadsOfClass(threadClass);
    std::int64_t left = deadline - SteadyMilliseconds();
    if (count == 0 || left <= 0) return count;
    WaitStateChange(seen, std::min<std::int64_t>(left, kPollMs));
  }
}

bool KillThread(TQuorThread* thread) {
  ThreadList& list = List();
  TCriticalSectionGuard guard(list.Lock);
  if (!list.Active) return false;
  std::ptrdiff_t i = FindEntryLocked(list, thread);
  if (i < 0) return false;
  TThreadHandle control = list.Entries[static_cast<std::size_t>(i)].Handle;
  bool abandoned = false;
  {
    std::lock_guard<std::mutex> lock(control->Mutex);
    if (!control->Closed && !control->Finished) {
      control->Abandoned = true;
      control->Terminated = true;
      control->Suspended = false;  // a suspended worker wakes and unwinds
      if (!control->FreeSelf) {
        control->FreeSelf = true;
        if (thread->FThread.joinable()) thread->FThread.detach();
      }
      abandoned = true;
    }
  }
  if (abandoned) {
    control->Changed.notify_all();
    DropEntryLocked(list, static_cast<std::size_t>(i));
    Log(kLogService,
        "Abandoned " + thread->FClassName + " (Thread " + std::to_string(control->Life->Id) + ")",
        5, true);
    return true;
  }
  try {
    TQuorThread::Free(thread);  // finished: its destructor removes the entry
  } catch (...) {
    std::ptrdiff_t j = FindEntryLocked(list, thread);
    if (j >= 0) DropEntryLocked(list, static_cast<std::size_t>(j));
  }
  return false;
}

bool KillThreadById(platform::ThreadId id) {
  ThreadList& list = List();
  TCriticalSectionGuard guard(list.Lock);
  TQuorThread* thread = nullptr;
  return FindThreadById(id, thread) && KillThread(thread);
}

int KillThreadsOfClass(TThreadClass threadClass) {
  ThreadList& list = List();
  TCriticalSectionGuard guard(list.Lock);
  int killed = 0;
  for (TQuorThread* thread : ListThreadsOfClass(threadClass)) {
    if (KillThread(thread)) ++killed;
  }
  return killed;
}

bool WaitThreadWithTimeout(const TThreadHandle& handle, int timeoutMs, bool freeWhenEnded) {
  const std::int64_t deadline = SteadyMilliseconds() + std::max(0, timeoutMs);
  if (HandleDead(handle)) return true;
  {
    ThreadList& list = List();
    TCriticalSectionGuard guard(list.Lock);
    if (!list.Active) return false;
    TQuorThread* thread = nullptr;
    if (!FindThreadByHandle(handle, thread)) return true;
    thread->Terminate();
    if (thread->HasFinished()) {
      FreeThreadByHandle(handle);
    } else if (thread->Suspended()) {
      thread->Resume();
    }
  }
  for (;;) {
    if (HandleDead(handle)) return true;
    bool freeNow = false;
    {
      std::lock_guard<std::mutex> lock(handle->Mutex);
      freeNow = freeWhenEnded && handle->Finished && !handle->FreeSelf;
    }
    if (freeNow) {
      try {
        FreeThreadByHandle(handle);
      } catch (...) {
      }
      if (HandleDead(handle)) return true;
    }
    std::int64_t left = deadline - SteadyMilliseconds();
    if (left <= 0) return false;
    std::unique_lock<std::mutex> lock(handle->Mutex);
    handle->Changed.wait_for(
        lock, std::chrono::milliseconds(std::min<std::int64_t>(left, kPollMs)), [&] {
          return handle->Closed.load() || (freeWhenEnded && handle->Finished && !handle->FreeSelf);
        });
  }
}

}  // namespace halvorn
