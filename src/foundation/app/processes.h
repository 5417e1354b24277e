// Other processes and their windows, child programs, console commands with
// captured output, the restart launcher and the help viewer.
//
// Linux stand-ins:
//   - Process facts come from /proc. A zombie counts as ended.
//   - The "close request" to a process is SIGTERM; terminating it is SIGKILL.
//   - Other programs' windows (the foreground window, their captions and
//     icons) have no portable source on Linux: the window operations answer
//     "no window" and "unknown" (empty lists, 0, false, empty texts), so
//     callers take their no-window paths.
//   - Child programs run in a process group of their own, with every
//     descriptor the program holds closed, SIGPIPE and the signal mask back
//     at their defaults, and at normal priority. Every child is reaped: a
//     child that is not waited for is started through a short-lived
//     intermediate, so it is never left as the program's zombie.
//   - A command line without a program path runs through "/bin/sh -c"; with a
//     program path it is split into arguments by SplitCommandLine.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "foundation/app/window_handle.h"

namespace halvorn {

using TProcessId = pid_t;
// No other program's window is ever known (see above): the window facts
// answer 0, "no window".
// An icon; never 0 where an operation promises one.
using TIconHandle = std::intptr_t;
// The platform's standard application icon.
constexpr TIconHandle kStandardApplicationIcon = 1;

// What GetProcessWindowInfo and GetForegroundWindowInfo find.
struct TProcessWindowInfo {
  TWindowHandle Window = 0;
  std::uint32_t ThreadId = 0;
  std::string ClassName;  // up to 128 characters
  std::string Caption;    // up to 128 characters
  bool Visible = false;
  bool Foreground = false;
  std::string ProgramFile;
  TIconHandle Icon = kStandardApplicationIcon;
};

// The help viewer ShowHtmlHelp started last; 0 before the first.
extern std::atomic<TProcessId> HelpViewerProcessId;

// ---------------------------------------------------------------------------
// Processes and windows. Safe from any thread.

// No window is known: these add nothing, and answer no window.
void ListWindowProcesses(std::vector<TProcessId>& list);
void ListAppWindows(std::vector<TWindowHandle>& list);
TWindowHandle FirstAppWindowOfProcess(TProcessId pid);
// Always false: the foreground window's owner is unknown.
bool IsProcessInForeground(TProcessId pid);

// False for 0 (and negative ids); true while the process exists and is not
// a zombie.
bool IsProcessRunning(TProcessId pid);

// Asks the process to close (SIGTERM) and answers true. Ids of 0 and below
// and the program's own id are left alone.
bool CloseProcessWindows(TProcessId pid);

// Ends a process: 0 is true at once. Otherwise asks it to close, waits for it
// in steps of 100 ms (timeoutMs / 100 + 1 steps), and then kills it. True
// when it ended or is gone; false when it could not be killed (no
// permission), and for a negative id or the program's own.
bool EndProcess(TProcessId pid, int timeoutMs);

// Facts of a window: none is known, so zeroes and empty texts.
void GetWindowFacts(TWindowHandle window, std::uint32_t& threadId, TProcessId& pid,
                    std::string& caption, std::string& className);

// The program file of the process (the target of /proc/<pid>/exe), else its
// short name from /proc/<pid>/comm, else empty.
std::string GetProcessFileName(TProcessId pid);

// Never 0: no window's own icon is known, so the standard application icon.
TIconHandle GetWindowIcon(TWindowHandle window);

// The window facts of the process (none known) and its program file.
void GetProcessWindowInfo(TProcessId pid, TProcessWindowInfo& info);
// The foreground window is unknown: no window, not visible, no program file.
void GetForegroundWindowInfo(TProcessWindowInfo& info);

// The first process with a top-level window whose program file matches the
// pattern: none is known, so always 0.
TProcessId FindProcessIdByFileName(const std::string& pattern);

// ---------------------------------------------------------------------------
// Running programs.

// Splits a command line into arguments the way Windows programs read theirs:
// blanks separate arguments, double quotes group (and are removed), 2n
// backslashes before a quote give n backslashes, 2n + 1 give n and a literal
// quote; other backslashes stand for themselves.
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

// The command line quoted as one argument that SplitCommandLine gives back
// unchanged.
std::string QuoteCommandArgument(const std::string& argument);

// Starts a program: `programPath` with the arguments of `commandLine`, or,
// with no program path, the command line through "/bin/sh -c". A working
// folder, when given, applies to the child only. `show` has no meaning here
// (there is no console to show). With `wait` the call returns when the child
// has ended: `ownerEnable` (when set) is called with false before and true
// after, and on the main thread window messages are handled while it waits.
// Answers the child's process id, 0 when it could not be started (a missing
// program included).
TProcessId RunProgram(const std::function<void(bool)>& ownerEnable,
                      const std::string& workingFolder, const std::string& programPath,
                      const std::string& commandLine, bool wait, bool show);

// Runs the command line through "/bin/sh -c" with the three descriptors as
// its standard input, output and error, and waits for it: without limit when
// timeoutMs is 0. Clears `errorText`; on failure sets it and answers false:
// "Failed to create process", or "Timed out waiting for process to complete"
// (the child's whole process group is killed and reaped first), or
// "CreateDOSProcessRedirected 1 excepted with: " and the error's message.
bool CreateDOSProcessRedirected(const std::string& commandLine, int input, int output, int error,
                                std::string& errorText, int timeoutMs);

// Runs the command line with `input` as its standard input and collects its
// standard output and error stream, through three temporary files
// ("QuorvantisIn", "QuorvantisOut", "QuorvantisErr" + random + ".tmp" in the
// temporary folder, deleted afterwards in every case). Answers the result of
// CreateDOSProcessRedirected and sets `errorText` as it does, or to the
// file errors ("WinApi function CreateFile returned an invalid file handle
// for " + path, "Error writing to input file", "Wrote N bytes to input file
// rather than M bytes", "Error reseting input file pointer", "Error reseting
// Output file pointer", "Error reading output file"; the last two leave the
// result of the run). Each output is read up to 64 MiB.
bool RunConsoleProcess(const std::string& commandLine, const std::string& input,
                       std::string& output, std::string& errorOutput, std::string& errorText,
                       int timeoutMs);

// Starts the launcher "Launch" from the running program's folder, else from
// the install folder, so that it waits for this process to end and then
// starts the running program again with the command text as its arguments.
// The launcher's command line: " - PID=" + this process's id + " Exe=\"" +
// the program file + "\" CmdLine=\"" + the command text + "\"" (quotes and
// backslashes in the texts escaped for SplitCommandLine). False when no
// launcher exists or it could not be started.
bool RunLauncher(const std::string& commandText);

// The launcher's command line that RunLauncher builds (see above).
std::string LauncherCommandLine(TProcessId pid, const std::string& programFile,
                                const std::string& commandText);

// Opens a help file (with a topic when given) with the desktop's opener
// (xdg-open). With `closePrevious`, first ends the viewer started last time
// when it still runs. `errorText`: "Help file not found", "Help not
// installed" when no opener could be started, else empty.
void ShowHtmlHelp(const std::string& helpFile, const std::string& topic, bool closePrevious,
                  std::string& errorText);

// ---------------------------------------------------------------------------
// Screen resolution.

// False: Qt scales every window to the screen's resolution itself, so the
// program never needs to.
bool IsNonStandardDpi();

// The running program's file (/proc/self/exe); empty when unknown.
std::string RunningProgramFile();

}  // namespace halvorn
