// What stands in for a thread's handle and id on Linux.
//
// Windows gives every thread a 32-bit id and a handle through which anyone can
// ask, even after the thread has ended, whether it still runs. Linux thread ids
// are reused as soon as a thread is reaped, so they cannot tell a dead owner
// from a new thread that happens to get the same number. Instead every thread
// gets, on first use, a ThreadLife record shared by reference count:
//   - Id: a process-unique 32-bit number (1, 2, 3, ... in order of first use),
//     never 0 and never given to a second thread;
//   - Ended: set when the thread has really ended (its thread-local storage is
//     being torn down), so nothing of it can run any more.
// Holding a ThreadLifeRef is what holding a thread handle was: the record stays
// readable for as long as someone keeps it, whatever became of the thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace halvorn::platform {

using ThreadId = std::uint32_t;

struct ThreadLife {
  explicit ThreadLife(ThreadId id) : Id(id) {}
  const ThreadId Id;
  std::atomic<bool> Ended{false};
};

using ThreadLifeRef = std::shared_ptr<ThreadLife>;

// The calling thread's id (see above). Safe from any thread.
ThreadId CurrentThreadId();

// The calling thread's life record, made on first use. Safe from any thread.
// Called while the thread's own storage is being torn down, it answers a
// record that already reads as ended.
ThreadLifeRef CurrentThreadLife();

// A fresh record with a new id, for a thread about to be started: its starter
// can publish the id before the thread runs. The new thread must call
// AdoptThreadLife with it before anything else.
ThreadLifeRef NewThreadLife();

// Makes the record the calling thread's own; it is marked ended when the
// thread ends. Call once, first thing on a new thread; a thread that already
// has a record keeps it and the call does nothing (answers false).
bool AdoptThreadLife(ThreadLifeRef life);

}  // namespace halvorn::platform
