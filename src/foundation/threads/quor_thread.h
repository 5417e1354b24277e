// Worker threads and the thread list.
//
// Every worker derives from TQuorThread and overrides Execute. The thread list
// knows every live worker; around it lies the toolkit with which the main
// thread finds, counts, stops, waits for and abandons workers.
//
// Linux stand-ins:
//   - A worker is a std::thread started only after its object is fully
//     constructed (CreateQuorThread), so Execute and the class name are the
//     derived ones. "Created suspended", self-suspension and Resume are a start
//     gate and a condition variable.
//   - The thread handle is TThreadHandle, a shared reference to the worker's
//     control record: it stays valid for whoever keeps it and reads as "dead"
//     once the worker's object has been freed. The thread id is the
//     process-unique id of platform/thread_identity.h.
//   - A thread cannot be killed on Linux, so KillThread abandons it: the thread
//     is marked abandoned and terminated, dropped from the list and left to
//     free its own object when it ends. Its next CheckTerminated, Suspend or
//     lock call (and socket call, through CheckAbandoned) raises
//     EThreadAbandoned, which unwinds it and gives its locks back on the way
//     out. Until then its locks stay held: taking them over while it still
//     runs would put two threads in one critical section.
//   - Priorities are stored but not applied: the program runs its threads at
//     the scheduler's normal priority.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "foundation/threads/abandonment.h"  // EThreadAbandoned, CheckAbandoned
#include "foundation/threads/mutex_critical_section.h"
#include "foundation/threads/on_idle_object.h"
#include "foundation/time/date_time.h"
#include "platform/thread_identity.h"

namespace halvorn {

// The global shut-down flag: once set, every worker's CheckTerminated answers
// true. Written by the main window's shut-down (and the utility module's end),
// read by every thread.
extern std::atomic<bool> ShuttingDown;

enum class TThreadPriority {
  tpIdle,
  tpLowest,
  tpLower,
  tpNormal,
  tpHigher,
  tpHighest,
  tpTimeCritical
};

// The worker's control record, shared by its object, its thread and every
// handle. Opaque outside this unit.
struct TThreadControl;
using TThreadHandle = std::shared_ptr<TThreadControl>;

class TQuorThread;

// Names a class of workers for the list operations: it matches workers of
// that class or of a class derived from it. The default matches every worker
// (the "none" of the list operations).
class TThreadClass {
 public:
  TThreadClass() = default;
  template <class T>
  static TThreadClass Of() {
    TThreadClass c;
    c.FMatch = [](const TQuorThread* t) { return dynamic_cast<const T*>(t) != nullptr; };
    return c;
  }
  bool IsAny() const { return FMatch == nullptr; }
  bool Matches(const TQuorThread* t) const { return FMatch == nullptr || FMatch(t); }

 private:
  bool (*FMatch)(const TQuorThread*) = nullptr;
};

// The base of every worker thread.
//
// Lifetime: make workers with CreateQuorThread and free them with
// FreeThreadByHandle (or TQuorThread::Free), never with delete. A worker with
// FreeOnTerminate set, and an abandoned one, frees itself when its thread ends;
// KillThread, CountHungThreads and WaitThreadWithTimeout may free or abandon a
// worker. So an owner keeps the worker's Handle and checks ThreadHandleAlive
// (or uses FreeThreadByHandle) before it touches the pointer again.
class TQuorThread {
 public:
  TQuorThread(const TQuorThread&) = delete;
  TQuorThread& operator=(const TQuorThread&) = delete;

  // Frees a worker: drops its list entry, asks it to terminate, wakes it when
  // suspended (a worker never resumed skips Execute), waits up to 5000 ms for
  // it to end and deletes it. A worker that does not end in time is abandoned
  // instead and frees itself when it ends. Called on the worker's own thread,
  // it only arranges for the object to be freed when Execute returns. A null
  // pointer does nothing. Raises what the thread list's lock raises.
  static void Free(TQuorThread* thread);

  // The handle and id, fixed at creation. Safe from any thread.
  TThreadHandle Handle() const { return FControl; }
  platform::ThreadId ThreadId() const;
  // The class name recorded at registration (e.g. "TDownloadThread").
  const std::string& ClassName() const { return FClassName; }

  // Sets the terminate flag; the worker sees it at its next CheckTerminated.
  void Terminate();
  bool Terminated() const;
  // The terminate flag itself, for waits that poll a flag (the DNS
  // look-ups); a kill sets it too. Valid while the worker's object lives.
  const std::atomic<bool>* TerminatedFlag() const;

  // True while created suspended and not yet resumed, or self-suspended.
  bool Suspended() const;
  // Lets a suspended worker go on (or start). Safe from any thread.
  void Resume();
  // Suspends the calling worker until another thread calls Resume. Only the
  // worker's own thread may call it (elsewhere it does nothing). Raises
  // EThreadAbandoned when the worker was abandoned meanwhile.
  void Suspend();
  // A wake-up: resumes the worker when it suspended itself with
  // SuspendUnlessWoken, and otherwise makes its next SuspendUnlessWoken return
  // at once. Repeated wake-ups before that collapse into one. Safe from any
  // thread (WakeThread does the same through the handle).
  void Wake();
  // Suspend, unless a wake-up came since the last one was taken: the worker
  // calls it when it has found no work, and a wake-up sent after that look
  // is never lost. Answers whether it slept. Raises as Suspend does.
  bool SuspendUnlessWoken();

  // The object frees itself when Execute returns. Set it before the worker
  // can end; set after the worker has finished it has no effect.
  bool FreeOnTerminate() const;
  void SetFreeOnTerminate(bool value);

  // Stored, not applied (see above).
  TThreadPriority Priority() const { return FPriority.load(); }
  void SetPriority(TThreadPriority priority) { FPriority.store(priority); }

  // Stamps LastAlive with now and answers whether the worker must stop:
  // Terminated or ShuttingDown. Raises EThreadAbandoned on an abandoned
  // worker's own thread. Every worker loop calls it between steps.
  bool CheckTerminated();
  // Execute has returned (or will never run).
  bool HasFinished() const;
  // Neither suspended nor finished.
  bool IsRunning() const;
  // The worker was abandoned by KillThread (or by a Free that timed out).
  bool Abandoned() const;

  // The last moment the worker showed life, in the program clock's time: set
  // at creation and by every CheckTerminated and heartbeat. Written by the
  // worker's thread, read by any.
  TDateTime LastAlive() const { return FLastAlive.load(); }
  void StampAlive();

  // The worker's own idle dispatcher.
  TOnIdleObject& OnIdle() { return FOnIdle; }

  template <class T, class... Args>
  friend T* CreateQuorThread(bool createSuspended, Args&&... args);

 protected:
  TQuorThread();
  // Runs after the worker's thread has ended (or right away when it never
  // ran); see Free.
  virtual ~TQuorThread();

  // The worker's work. Runs on the worker's thread. Exceptions that escape it
  // are logged and end the thread.
  virtual void Execute() = 0;
  // Runs on the worker's thread after Execute, also after it raised (not when
  // Execute never ran).
  virtual void DoTerminate() {}

 private:
  void Start(bool createSuspended);
  void ThreadMain(TThreadHandle control);
  void DeleteSelf();
  void Unregister();
  static void FinishFree(const TThreadHandle& control);

  TThreadHandle FControl;
  std::thread FThread;  // detached once the object frees itself
  std::string FClassName;
  std::atomic<TDateTime> FLastAlive{0};
  std::atomic<TThreadPriority> FPriority{TThreadPriority::tpNormal};
  TOnIdleObject FOnIdle;

  friend bool KillThread(TQuorThread* thread);
  friend void FreeThreadByHandle(const TThreadHandle& handle);
};

// Makes a T (constructed with args), registers it in the thread list (when the
// list exists) and starts its thread, suspended or not. Registration and the
// first LastAlive stamp are complete before Execute begins. With
// FreeOnTerminate set by T's constructor, the returned pointer may already be
// gone when the worker was started running: keep its Handle then. Raises
// std::system_error when no thread can be started (nothing is left behind).
template <class T, class... Args>
T* CreateQuorThread(bool createSuspended, Args&&... args) {
  T* thread = new T(std::forward<Args>(args)...);
  static_cast<TQuorThread*>(thread)->Start(createSuspended);
  return thread;
}

// Frees the worker of the handle as TQuorThread::Free does, unless its object
// is already gone or frees itself (FreeOnTerminate, abandoned); then it only
// asks it to terminate. The safe way for an owner to free its worker. A null
// handle does nothing. Raises what the thread list's lock raises.
void FreeThreadByHandle(const TThreadHandle& handle);

// One entry of the thread list.
struct TThreadRec {
  TQuorThread* Thread = nullptr;
  TThreadHandle Handle;
  platform::ThreadId ThreadId = 0;
  std::string ClassName;
};

// ---------------------------------------------------------------------------
// The thread list. Every operation takes "ThreadList_CS" while it reads or
// changes the list (the lock is recursive, so they may call each other) and
// raises what that lock raises on a time-out. Thread pointers they hand out
// stay valid only while the caller holds ThreadListLock(), except the calling
// worker's own (CurrentQuorThread). The list exists from program start; after
// FinalizeThreadList every operation answers false, 0 or none and a new
// worker is not registered.

// The list's lock, for callers that use handed-out pointers.
TMutexCriticalSection& ThreadListLock();

// Module end: StopThreadsOfClassWait(1000) for all classes, then
// KillThreadsOfClass for all, then the list is closed.
void FinalizeThreadList();
// Opens the list again after FinalizeThreadList (tests).
void InitializeThreadList();

// TQuorThread::Wake through the handle: safe also when the worker object is
// gone (then nothing happens). Any thread.
void WakeThread(const TThreadHandle& handle);

// The handle is still valid: its worker object has not been freed. False for
// a null handle.
bool ThreadHandleAlive(const TThreadHandle& handle);
// Handle alive, registered, and its worker neither suspended nor finished.
// Never raises: any error answers false.
bool ThreadIsRunning(const TThreadHandle& handle);
// The registered worker whose id is the calling thread's; null on the main
// thread and on threads that are not registered workers.
TQuorThread* CurrentQuorThread();
// Scans from the last entry to the first; the earliest match wins.
bool FindThreadById(platform::ThreadId id, TQuorThread*& thread);
bool FindThreadByHandle(const TThreadHandle& handle, TQuorThread*& thread);
// Every registered worker of the class (or derived), in list order.
std::vector<TQuorThread*> ListThreadsOfClass(TThreadClass threadClass = {});
// With a class: registered workers of it that are neither suspended nor
// finished. For all classes: every registered entry, finished or not.
int CountRunningThreadsOfClass(TThreadClass threadClass = {});

// Counts the workers, neither suspended nor finished, whose LastAlive is more
// than `seconds` old. With `terminate`, each is asked to stop, given 750 ms
// (waited for outside the list's lock) and abandoned when still running.
int CountHungThreads(double seconds, bool terminate);
// Asks a registered, unfinished worker to stop (Terminate, and Resume when
// suspended): true. False when it is not registered or has finished.
bool StopThread(TQuorThread* thread);
// Stops every worker of the class, then waits until none of them runs or
// `timeoutMs` has passed, polling without the list's lock. Answers how many
// still run (CountRunningThreadsOfClass). Does not handle window messages.
int StopThreadsOfClassWait(int timeoutMs, TThreadClass threadClass = {});
// Abandons a registered worker that has not finished (true), or frees one that
// has (false). False when it is not registered.
bool KillThread(TQuorThread* thread);
bool KillThreadById(platform::ThreadId id);
// KillThread on every worker of the class; answers how many answered true.
int KillThreadsOfClass(TThreadClass threadClass = {});
// Asks the worker to terminate (resuming it when suspended; freeing it when it
// has finished) and waits up to `timeoutMs` for its object to be freed. With
// `freeWhenEnded`, a worker that ends meanwhile is freed here. True when the
// worker is gone, or the handle is dead or not registered; false at the
// time-out.
bool WaitThreadWithTimeout(const TThreadHandle& handle, int timeoutMs, bool freeWhenEnded);

}  // namespace halvorn
