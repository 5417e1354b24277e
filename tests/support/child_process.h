// The one way tests start and stop programs of their own: servers (dnsmasq,
// Dovecot, scripted Python servers), outside oracles (RunCommand) and this
// test program again inside a namespace.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace halvorn::test {

// How a child is started. Descriptors are the test's own; -1 keeps the
// default (standard input from /dev/null, output shared with the test).
struct ChildOptions {
  std::string WorkingFolder;  // empty: the test's own
  int StdinFd = -1;
  int StdoutFd = -1;
  int StderrFd = -1;
  // "NAME=value" entries added to the test's environment (replacing a
  // variable of that name).
  std::vector<std::string> Environment;
  // Starts the child in a process group of its own, so that Stop also ends
  // whatever it started in turn.
  bool OwnProcessGroup = false;
};

// One child process. Stopped (SIGTERM, then SIGKILL) and reaped when the
// object goes, so a failing test never leaves a program running. Not
// copyable; use from one thread.
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts argv[0] (looked up on PATH when it holds no "/") with the rest as
  // its arguments. False when it cannot be started or one runs already;
  // Error() says why.
  bool Start(const std::vector<std::string>& argv, const ChildOptions& options = {});

  pid_t Pid() const { return FPid; }
  const std::string& Error() const { return FError; }
  // Started and not yet seen to end.
  bool Running();
  // Waits up to `timeoutMs` (below 0: without limit) for the child to end;
  // true when it has ended (then ExitCode holds its result).
  bool Wait(int timeoutMs);
  // The exit code, or 128 + the signal that ended it; -1 while it runs or
  // when it never started.
  int ExitCode() const { return FExitCode; }

  // Ends the child: SIGTERM, up to `graceMs` for it to end, then SIGKILL; it
  // is reaped either way. Does nothing when it is not running.
  void Stop(int graceMs = 2000);

 private:
  bool Reap(bool block);
  void Signal(int signal);

  pid_t FPid = -1;
  bool FReaped = true;
  bool FOwnGroup = false;
  int FExitCode = -1;
  std::string FError;
};

// Starts the child with its standard output on a pipe and reads that up to
// the first line end (a server's "PORT ..." line once it listens), waiting
// at most `timeoutMs`. Answers the line without its end; empty when the child
// did not start (`error` says why) or gave no line in time. Later output
// of the child finds the pipe closed.
std::string StartAndReadFirstLine(ChildProcess& child, const std::vector<std::string>& argv,
                                  ChildOptions options, std::string& error,
                                  int timeoutMs = 10000);

}  // namespace halvorn::test
