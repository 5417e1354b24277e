// SIGTERM, SIGINT and SIGHUP as events of the main thread's event loop.
//
// A signal handler may do almost nothing safely, so the handler only writes
// the signal's number into a pipe (the self-pipe); a watch on the pipe's other
// end, on the thread that runs the event loop, reads the numbers and hands
// each to the program's callback there, where anything may be done. A signal
// that comes before the watch exists waits in the pipe and is handed on once
// the watch is made.
#pragma once

#include <functional>
#include <memory>

namespace halvorn::platform {

// Opens the pipe (both ends close-on-exec and non-blocking) and installs the
// handlers of SIGTERM, SIGINT and SIGHUP. Call once, on the main thread,
// before any other thread starts. False when the pipe or a handler could not
// be set up (the signals then keep their default action: the process ends).
// A second call answers the first call's result.
bool InstallTerminationSignals();

// Hands every caught signal's number to the callback, from the event loop of
// the thread that made the watch (the main thread). At most one watch at a
// time; a second one takes the signals over. Destroying the watch leaves the
// handlers installed: later signals wait in the pipe.
class TerminationSignalWatch {
 public:
  explicit TerminationSignalWatch(std::function<void(int signal)> onSignal);
  ~TerminationSignalWatch();
  TerminationSignalWatch(const TerminationSignalWatch&) = delete;
  TerminationSignalWatch& operator=(const TerminationSignalWatch&) = delete;

 private:
  struct Impl;
  std::unique_ptr<Impl> FImpl;
};

}  // namespace halvorn::platform
