// The utility module's start-up and end, the application title, and the
// handling of a stack overflow.
//
// On Linux a real stack overflow is a fault signal that ends the process; it
// cannot be caught per thread. The program guards against it instead (no
// recursion on outside data without a bound). What remains here is the path
// for an error whose text says "Stack overflow": it ends the main thread's
// event loop, or abandons the worker that raised it.
#pragma once

#include <functional>
#include <string>

namespace halvorn {

// "Halvorn": the log file names and the single-instance guard carry it.
std::string ApplicationTitle();

// Module start-up, once, first thing in main() (tests may call it again), in
// this order: the application title; the program-wide handler of unhandled
// errors; SIGPIPE ignored (a peer that drops the line gives an error, not
// the end of the program); the cached folders and the shared values reset
// (CategoryRequestPort 6173, RelayedProbeLimit 10, RelayedProbeDay now, UiMode
// Lite, the others 0 or false) and the progress-callback slots cleared; the log told
// where to find the title and the open-relay option; FirstTimeRun true when
// an argument (argv[1] on) equals "-FirstTimeRun" ignoring case, else when
// the settings file does not exist. An error on the way ends the start-up
// there.
void InitializeUtilityModule(int argc, const char* const* argv);

// Module end, once: drops the shared host look-up, sets ShuttingDown, ends
// the help viewer when it still runs (2000 ms), and forgets the cached host
// name and folders.
void FinalizeUtilityModule();

// What ends the application from the main thread (the event loop installs
// it, e.g. asking Qt's loop to quit). Without one, HandleStackOverflow on the
// main thread does nothing.
void SetApplicationTerminateHook(std::function<void()> hook);

// Handed every error text that nothing else handled; a text containing
// "Stack overflow" goes to HandleStackOverflow. Texts longer than 1024
// characters are cut first.
void StackOverflowHook(const std::string& errorText);

// On the main thread: asks the application to end (the terminate hook). On a
// registered worker: abandons it and raises EThreadAbandoned so it unwinds.
// Elsewhere nothing happens.
void HandleStackOverflow();

}  // namespace halvorn
