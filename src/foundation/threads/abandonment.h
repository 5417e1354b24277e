// Abandoned workers and how they learn of it.
//
// A thread cannot be killed on Linux, so a worker that must go is abandoned
// instead (KillThread, quor_thread.h): it is marked, and its next blocking
// call raises EThreadAbandoned on its own thread, which unwinds it and gives
// its locks back on the way out. The locks, the heartbeat and the sockets ask
// CheckAbandoned before and while they block. This unit lies below all of
// them: it knows only the flag of the worker that runs on the calling thread.
#pragma once

#include <atomic>
#include <exception>
#include <stdexcept>
#include <string>
#include <type_traits>

#include "platform/thread_identity.h"

namespace halvorn {

// Raised on an abandoned worker's own thread by its next CheckTerminated,
// Suspend or lock call, so that it unwinds. The worker's thread function
// catches it; workers that catch everything should let it pass.
class EThreadAbandoned : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Raises EThreadAbandoned when the calling thread is a worker that has been
// abandoned and is running its Execute, unless an exception is already
// unwinding (a destructor must not raise). Cheap; for every blocking call a
// worker makes (locks, sockets, the heartbeat). Safe from any thread.
void CheckAbandoned();

// The program's one way to catch everything but an abandoned worker's
// unwinding, which must always pass.
//
// Runs `work` and answers its answer. Any exception but EThreadAbandoned (and
// the types named in `Passed`, which pass as well) goes to `failed` with its
// text ("unknown error" for one that is no std::exception) and no further;
// `failed` answers in place of `work`. A `work` that answers nothing makes
// the answer true when it returned without an exception, false otherwise
// (`failed` then answers nothing either).
template <class... Passed, class Work, class Failed>
auto CatchAllButAbandonment(Work&& work, Failed&& failed) {
  using TResult = std::invoke_result_t<Work&>;
  if constexpr (std::is_void_v<TResult>) {
    try {
      work();
      return true;
    } catch (const EThreadAbandoned&) {
      throw;
    } catch (const std::exception& e) {
      if ((... || (dynamic_cast<const Passed*>(&e) != nullptr))) throw;
      failed(std::string(e.what()));
    } catch (...) {
      failed(std::string("unknown error"));
    }
    return false;
  } else {
    try {
      return work();
    } catch (const EThreadAbandoned&) {
      throw;
    } catch (const std::exception& e) {
      if ((... || (dynamic_cast<const Passed*>(&e) != nullptr))) throw;
      return static_cast<TResult>(failed(std::string(e.what())));
    } catch (...) {
      return static_cast<TResult>(failed(std::string("unknown error")));
    }
  }
}

// Runs `work` and answers its answer; when it raises anything but an
// abandoned worker's unwinding, `undo` runs before the exception goes on.
template <class Work, class Undo>
auto UndoOnFailure(Work&& work, Undo&& undo) -> std::invoke_result_t<Work&> {
  try {
    return work();
  } catch (const EThreadAbandoned&) {
    throw;
  } catch (...) {
    undo();
    throw;
  }
}

// Called by a worker's thread function on its own thread: from now on
// CheckAbandoned raises there once `abandoned` is set, naming the thread by
// `id`. A null flag stops the watch (before the worker's clean-up runs). The
// flag must outlive the watch.
void WatchForAbandonment(const std::atomic<bool>* abandoned, platform::ThreadId id);

}  // namespace halvorn
