// Named, recursive locks that never block forever.
//
// Every shared object of the program owns one TMutexCriticalSection, named
// after what it guards ("EmailMsg_CS", "ThreadList_CS", ...). A thread that
// cannot take the lock within the lock's time-out either takes it over from an
// owner thread that has ended, or gets an ECriticalSectionException that names
// the lock and the owner's thread id.
//
// The lock is a small monitor of its own (a mutex, a condition variable, the
// owner's life record, the nesting count and a renewal generation), so that the
// owner can be identified and its end detected (platform/thread_identity.h).
//
// Call sites take the lock with TCriticalSectionGuard (or Enter, then the
// guarded work in a block whose clean-up calls Leave), so that an exception
// never leaves a lock held.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>

#include "platform/thread_identity.h"

namespace halvorn {

// Raised when a wait for a lock times out while its owner still runs.
class ECriticalSectionException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The wait time-out every lock starts with, in milliseconds.
inline constexpr int kDefaultLockTimeOut = 2000;

// The base of all locks.
class TAbstractCriticalSection {
 public:
  // The name is used in time-out errors. The time-out starts at 2000 ms.
  explicit TAbstractCriticalSection(std::string name);
  virtual ~TAbstractCriticalSection() = default;
  TAbstractCriticalSection(const TAbstractCriticalSection&) = delete;
  TAbstractCriticalSection& operator=(const TAbstractCriticalSection&) = delete;

  virtual void Enter() = 0;
  virtual bool IsLocked() = 0;
  virtual bool IsEntered() const = 0;
  virtual void Leave() = 0;
  virtual void Acquire() { Enter(); }
  virtual void Release() { Leave(); }
  // The base takes the lock with Enter and answers true.
  virtual bool TryEnter() {
    Enter();
    return true;
  }

  const std::string& Name() const { return FName; }
  // The wait time-out in milliseconds. An owner sets it right after creating
  // the lock (the DNS resolver uses 4000); safe from any thread.
  int TimeOut() const { return FTimeOut.load(); }
  void SetTimeOut(int milliseconds) { FTimeOut.store(milliseconds); }

 protected:
  const std::string FName;
  std::atomic<int> FTimeOut{kDefaultLockTimeOut};
};

// The program's lock. Any thread may call any operation. Free a lock only when
// no thread can still use it.
class TMutexCriticalSection : public TAbstractCriticalSection {
 public:
  explicit TMutexCriticalSection(std::string name);
  ~TMutexCriticalSection() override;

  // Takes the lock; re-entrant for the thread that holds it. Waits at most the
  // time-out on the main thread, and the time-out plus a random 0 .. time-out
  // - 1 ms on any other thread (drawn anew for every wait). A lock whose owner
  // thread has ended is taken over at once, also in the middle of a wait.
  // Raises ECriticalSectionException with "Timed out waiting on critial
  // section <name> Owned by Thread <id>" (spelt so, byte for byte) when the
  // time passes and the owner still runs; the caller does not hold the lock
  // then. A time-out that finds
  // no recorded owner is retried once and raises the second time.
  // Raises EThreadAbandoned (abandonment.h) when the calling worker thread has
  // been abandoned, so that it unwinds and gives its locks back.
  void Enter() override;

  // Gives one level of the lock back. The bookkeeping is updated while the
  // lock is still held, then waiters are woken. A Leave by a thread that does
  // not hold the lock (an unbalanced call, or one whose lock was taken over
  // after it ended) changes nothing and is logged.
  void Leave() override;

  // Takes the lock without waiting: true when taken (the caller must Leave).
  // A lock held by an ended owner is renewed (freed) and answers false this
  // once; the next TryEnter takes it. Raises EThreadAbandoned as Enter does.
  bool TryEnter() override;

  // True when another thread that still runs holds the lock; false when it is
  // free or held by the caller. A lock held by an ended owner is renewed and
  // answers false.
  bool IsLocked() override;

  // Some thread holds the lock through this object (whichever thread).
  bool IsEntered() const override;

  // Introspection, mainly for tests and diagnostics; each is a snapshot.
  // The id of the thread that last took the lock; 0 after construction and
  // after a renewal; Leave does not clear it.
  platform::ThreadId OwnerThreadId() const;
  // The nesting count over all entries.
  int Count() const;
  // An owner's life record is kept while the lock is held (the stand-in for
  // the owner's thread handle; "-1" when this answers false).
  bool HasOwnerHandle() const;
  // How often the lock was renewed after its owner ended.
  std::uint64_t Generation() const;

  // Test seam: when above 0, every lock of the process waits this many ms in
  // place of its own time-out. 0 restores the locks' own time-outs.
  static void SetTimeOutForTests(int milliseconds);

 private:
  bool OwnerEndedLocked() const;
  void RenewLocked();
  void TakeLocked(const platform::ThreadLifeRef& me);
  int EffectiveTimeOut() const;

  mutable std::mutex FMonitor;
  std::condition_variable FChanged;
  platform::ThreadId FOwnerThreadId = 0;
  platform::ThreadLifeRef FOwnerThreadHandle;  // null while nobody holds the lock
  int FCount = 0;
  std::uint64_t FGeneration = 0;
};

// Holds a lock for one scope: Enter in the constructor, Leave in the
// destructor. Not copyable.
class TCriticalSectionGuard {
 public:
  explicit TCriticalSectionGuard(TAbstractCriticalSection& lock) : FLock(lock) { FLock.Enter(); }
  // Takes over a lock the caller has entered already (a TryEnter that
  // answered true): only the Leave is the guard's.
  TCriticalSectionGuard(TAbstractCriticalSection& lock, std::adopt_lock_t) : FLock(lock) {}
  ~TCriticalSectionGuard() { FLock.Leave(); }
  TCriticalSectionGuard(const TCriticalSectionGuard&) = delete;
  TCriticalSectionGuard& operator=(const TCriticalSectionGuard&) = delete;

 private:
  TAbstractCriticalSection& FLock;
};

// Tries a lock for one scope: TryEnter in the constructor (raising as
// TryEnter does), Leave in the destructor when it was taken. Not copyable.
class TTryEnterGuard {
 public:
  explicit TTryEnterGuard(TAbstractCriticalSection& lock) : FLock(lock), FTaken(lock.TryEnter()) {}
  ~TTryEnterGuard() {
    if (FTaken) FLock.Leave();
  }
  TTryEnterGuard(const TTryEnterGuard&) = delete;
  TTryEnterGuard& operator=(const TTryEnterGuard&) = delete;
  bool Taken() const { return FTaken; }

 private:
  TAbstractCriticalSection& FLock;
  const bool FTaken;
};

}  // namespace halvorn
