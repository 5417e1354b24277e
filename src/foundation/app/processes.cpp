#include "foundation/files/file_helpers.h"
#include "foundation/app/processes.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <thread>

#include "foundation/crypto/random_source.h"
#include "foundation/files/install_folders.h"
#include "foundation/text/environment_texts.h"
#include "foundation/text/numbers.h"
#include "foundation/threads/message_loop.h"
#include "foundation/time/clock.h"

extern char** environ;

namespace halvorn {

std::atomic<TProcessId> HelpViewerProcessId{0};

namespace {

void SleepMs(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool IsOwnOrInvalid(TProcessId pid) {
  return pid <= 0 || pid == getpid();
}

// ---------------------------------------------------------------------------
// Starting children.

// What a child is started with. Every text is made ready before the fork, so
// the child only makes async-signal-safe calls.
struct SpawnSpec {
  std::vector<std::string> Argv;  // Argv[0] is the program file
  std::string WorkingFolder;      // empty: the program's own
  int Stdin = -1;                 // -1: /dev/null
  int Stdout = -1;                // -1: inherited
  int Stderr = -1;                // -1: inherited
  bool NewGroup = false;          // the child leads a process group of its own
  bool Detach = false;            // through an intermediate, in a session of its own
};

// One record on the report pipe: 'P' with the detached child's id, or 'E'
// with the errno of a failed set-up or exec.
struct SpawnReport {
  char Kind;
  int Value;
};

void WriteReport(int fd, char kind, int value) {
  SpawnReport report{kind, value};
  ssize_t ignored = write(fd, &report, sizeof(report));
  (void)ignored;
}

// Runs in the forked child: sets it up and replaces it with the program.
// Never returns.
[[noreturn]] void ExecChild(const SpawnSpec& spec, char* const* argv, int reportFd, int devNull) {
  if (spec.Detach) {
    setsid();
  } else if (spec.NewGroup) {
    setpgid(0, 0);
  }
  if (!spec.WorkingFolder.empty() && chdir(spec.WorkingFolder.c_str()) != 0) {
    WriteReport(reportFd, 'E', errno);
    _exit(127);
  }
  // Move the sources out of 0..2 first so that one dup2 cannot overwrite
  // another's source.
  int sources[3] = {spec.Stdin < 0 ? devNull : spec.Stdin, spec.Stdout, spec.Stderr};
  for (int& fd : sources) {
    if (fd >= 0 && fd <= 2) fd = fcntl(fd, F_DUPFD, 3);
  }
  for (int target = 0; target < 3; ++target) {
    if (sources[target] >= 0 && dup2(sources[target], target) < 0) {
      WriteReport(reportFd, 'E', errno);
      _exit(127);
    }
  }
  // Ignored signals (SIGPIPE) stay ignored across exec: give the child the
  // defaults and an empty mask.
  struct sigaction defaultAction;
  std::memset(&defaultAction, 0, sizeof(defaultAction));
  defaultAction.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig != SIGKILL && sig != SIGSTOP) sigaction(sig, &defaultAction, nullptr);
  }
  sigset_t empty;
  sigemptyset(&empty);
  sigprocmask(SIG_SETMASK, &empty, nullptr);
  // Close every other descriptor, whoever opened it, so that no child holds
  // a lock file or a listening socket of the program. The report pipe is
  // close-on-exec and stays until the exec.
  if (reportFd > 3) syscall(SYS_close_range, 3u, static_cast<unsigned>(reportFd - 1), 0u);
  syscall(SYS_close_range, static_cast<unsigned>(reportFd + 1), ~0u, 0u);
  execve(argv[0], argv, environ);
  WriteReport(reportFd, 'E', errno);
  _exit(127);
}

void WaitForChildReaped(TProcessId pid, int* status) {
  while (waitpid(pid, status, 0) < 0 && errno == EINTR) {
  }
}

// Starts the child that the SpawnSpec describes. Answers its id, or -1 with errno set. A
// detached child is reaped by the system, any other by the caller.
TProcessId SpawnChild(const SpawnSpec& spec) {
  if (spec.Argv.empty()) {
    errno = EINVAL;
    return -1;
  }
  std::vector<char*> argv;
  for (const auto& arg : spec.Argv) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  int devNull = open("/dev/null", O_RDWR | O_CLOEXEC);
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) {
    const int saved = errno;
    if (devNull >= 0) close(devNull);
    errno = saved;
    return -1;
  }
  const TProcessId forked = fork();
  if (forked < 0) {
    const int saved = errno;
    close(pipeFds[0]);
    close(pipeFds[1]);
    if (devNull >= 0) close(devNull);
    errno = saved;
    return -1;
  }
  if (forked == 0) {
    close(pipeFds[0]);
    if (spec.Detach) {
      const TProcessId grandchild = fork();
      if (grandchild == 0) ExecChild(spec, argv.data(), pipeFds[1], devNull);
      if (grandchild < 0) {
        WriteReport(pipeFds[1], 'E', errno);
        _exit(127);
      }
      WriteReport(pipeFds[1], 'P', grandchild);
      _exit(0);
    }
    ExecChild(spec, argv.data(), pipeFds[1], devNull);
  }

  close(pipeFds[1]);
  if (devNull >= 0) close(devNull);
  // Closes the race in which the caller signals the group before the child
  // has made it (fails harmlessly once the child has exec'd).
  if (spec.NewGroup && !spec.Detach) setpgid(forked, forked);

  // Read the reports until every writer has closed the pipe (by exec or by
  // exit). Bounded: a child that neither execs nor exits in time is taken
  // as failed.
  TProcessId result = spec.Detach ? -1 : forked;
  int failure = 0;
  const std::int64_t deadline = SteadyMilliseconds() + 10000;
  SpawnReport report;
  std::size_t have = 0;
  while (true) {
    const std::int64_t left = deadline - SteadyMilliseconds();
    if (left <= 0) {
      failure = ETIMEDOUT;
      break;
    }
    pollfd p{pipeFds[0], POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    const ssize_t n =
        read(pipeFds[0], reinterpret_cast<char*>(&report) + have, sizeof(report) - have);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    have += static_cast<std::size_t>(n);
    if (have < sizeof(report)) continue;
    have = 0;
    if (report.Kind == 'P') result = report.Value;
    if (report.Kind == 'E') failure = report.Value;
  }
  close(pipeFds[0]);

  if (spec.Detach) {
    int status = 0;
    WaitForChildReaped(forked, &status);  // the intermediate exits at once
  }
  if (failure != 0) {
    if (!spec.Detach) {
      if (failure == ETIMEDOUT) kill(forked, SIGKILL);
      int status = 0;
      WaitForChildReaped(forked, &status);
    }
    errno = failure;
    return -1;
  }
  if (result <= 0) {
    errno = ECHILD;
    return -1;
  }
  return result;
}

// Waits for an own child to end, at most timeoutMs (no limit when below 0).
// True when it ended and was reaped.
bool WaitForChild(TProcessId pid, int timeoutMs) {
  int status = 0;
  if (timeoutMs < 0) {
    WaitForChildReaped(pid, &status);
    return true;
  }
  const std::int64_t deadline = SteadyMilliseconds() + timeoutMs;
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  while (true) {
    const TProcessId done = waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) break;
    const std::int64_t left = deadline - SteadyMilliseconds();
    if (left <= 0) {
      if (pidfd >= 0) close(pidfd);
      return false;
    }
    if (pidfd >= 0) {
      pollfd p{pidfd, POLLIN, 0};
      poll(&p, 1, static_cast<int>(left));
    } else {
      SleepMs(static_cast<int>(left < 10 ? left : 10));
    }
  }
  if (pidfd >= 0) close(pidfd);
  return true;
}

// The child's process group is ended with it: a shell's own children must
// not outlive a command that timed out.
void KillChildGroup(TProcessId pid) {
  if (kill(-pid, SIGKILL) != 0) kill(pid, SIGKILL);
  int status = 0;
  WaitForChildReaped(pid, &status);
}

bool IsExecutableFile(const std::string& path) {
  return FileExists(path) && access(path.c_str(), X_OK) == 0;
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string FindOnPath(const std::string& program) {
  const std::string path = GetEnvironmentVar("PATH");
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    const std::string folder = path.substr(start, end - start);
    if (!folder.empty()) {
      const std::string candidate = folder + "/" + program;
      if (IsExecutableFile(candidate)) return candidate;
    }
    start = end + 1;
  }
  return {};
}

// ---------------------------------------------------------------------------
// The temporary files of RunConsoleProcess.

struct TempFile {
  std::string Path;
  int Fd = -1;
};

// Creates a new file named after `name` in the temporary folder, readable
// and writable by the user only. False with the path it last tried.
bool CreateTempFile(const std::string& name, TempFile& file) {
  const std::string folder = GetTempDir();
  for (int attempt = 0; attempt < 100; ++attempt) {
    file.Path = folder + name +
                IntToHexDigits(static_cast<std::uint32_t>(RandomInt(0x7FFFFFFF)), 8) + ".tmp";
    file.Fd = open(file.Path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (file.Fd >= 0) return true;
    if (errno != EEXIST) return false;
  }
  return false;
}

void RemoveTempFile(TempFile& file) {
  if (file.Fd >= 0) close(file.Fd);
  file.Fd = -1;
  if (!file.Path.empty()) unlink(file.Path.c_str());
}

constexpr std::size_t kMaxCapturedOutput = 64u << 20;

// Reads the whole file from its start into `text` (up to the cap). False on
// a read error.
bool ReadBackFile(int fd, std::string& text) {
  char buffer[65536];
  while (text.size() < kMaxCapturedOutput) {
    const std::size_t want = std::min(sizeof(buffer), kMaxCapturedOutput - text.size());
    const ssize_t n = read(fd, buffer, want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------

void ListWindowProcesses(std::vector<TProcessId>&) {}

void ListAppWindows(std::vector<TWindowHandle>&) {}

TWindowHandle FirstAppWindowOfProcess(TProcessId) {
  return 0;
}

bool IsProcessInForeground(TProcessId) {
  return false;
}

bool IsProcessRunning(TProcessId pid) {
  if (pid <= 0) return false;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!stat || !std::getline(stat, line)) return false;
  // "pid (comm) S ...": the state follows the last ")" (the name may hold
  // parentheses and blanks).
  const std::size_t close = line.rfind(')');
  if (close == std::string::npos || close + 2 >= line.size()) return false;
  const char state = line[close + 2];
  return state != 'Z' && state != 'X' && state != 'x';
}

bool CloseProcessWindows(TProcessId pid) {
  if (!IsOwnOrInvalid(pid)) kill(pid, SIGTERM);
  return true;
}

bool EndProcess(TProcessId pid, int timeoutMs) {
  if (pid == 0) return true;
  if (IsOwnOrInvalid(pid)) return false;
  CloseProcessWindows(pid);
  const int steps = (timeoutMs < 0 ? 0 : timeoutMs / 100) + 1;
  for (int step = 0; step < steps; ++step) {
    // An own child is reaped here, so that its end shows.
    int status = 0;
    waitpid(pid, &status, WNOHANG);
    if (!IsProcessRunning(pid)) return true;
    SleepMs(100);
  }
  if (kill(pid, SIGKILL) == 0) {
    int status = 0;
    waitpid(pid, &status, WNOHANG);
    return true;
  }
  return errno == ESRCH;
}

void GetWindowFacts(TWindowHandle, std::uint32_t& threadId, TProcessId& pid, std::string& caption,
                    std::string& className) {
  threadId = 0;
  pid = 0;
  caption.clear();
  className.clear();
}

std::string GetProcessFileName(TProcessId pid) {
  if (pid <= 0) return {};
  const std::string base = "/proc/" + std::to_string(pid);
  char buffer[4096];
  const ssize_t n = readlink((base + "/exe").c_str(), buffer, sizeof(buffer));
  if (n > 0 && static_cast<std::size_t>(n) < sizeof(buffer)) {
    return std::string(buffer, static_cast<std::size_t>(n));
  }
  std::ifstream comm(base + "/comm");
  std::string name;
  if (comm && std::getline(comm, name)) return name;
  return {};
}

TIconHandle GetWindowIcon(TWindowHandle) {
  return kStandardApplicationIcon;
}

void GetProcessWindowInfo(TProcessId pid, TProcessWindowInfo& info) {
  info = TProcessWindowInfo{};
  info.Window = FirstAppWindowOfProcess(pid);
  TProcessId ignored = 0;
  GetWindowFacts(info.Window, info.ThreadId, ignored, info.Caption, info.ClassName);
  info.Foreground = IsProcessInForeground(pid);
  info.Visible = info.Foreground;
  info.ProgramFile = GetProcessFileName(pid);
  info.Icon = GetWindowIcon(info.Window);
}

void GetForegroundWindowInfo(TProcessWindowInfo& info) {
  info = TProcessWindowInfo{};
}

TProcessId FindProcessIdByFileName(const std::string&) {
  return 0;
}

// ---------------------------------------------------------------------------

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
  std::vector<std::string> args;
  std::string current;
  bool inArgument = false;
  bool inQuotes = false;
  std::size_t i = 0;
  while (i < commandLine.size()) {
    const char c = commandLine[i];
    if ((c == ' ' || c == '\t') && !inQuotes) {
      if (inArgument) args.push_back(std::move(current));
      current.clear();
      inArgument = false;
      ++i;
      continue;
    }
    inArgument = true;
    if (c == '\\') {
      std::size_t count = 0;
      while (i < commandLine.size() && commandLine[i] == '\\') {
        ++count;
        ++i;
      }
      if (i < commandLine.size() && commandLine[i] == '"') {
        current.append(count / 2, '\\');
        if (count % 2 == 1) {
          current += '"';
          ++i;
        }
      } else {
        current.append(count, '\\');
      }
      continue;
    }
    if (c == '"') {
      inQuotes = !inQuotes;
      ++i;
      continue;
    }
    current += c;
    ++i;
  }
  if (inArgument) args.push_back(std::move(current));
  return args;
}

std::string QuoteCommandArgument(const std::string& argument) {
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (const char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      quoted.append(backslashes * 2 + 1, '\\');
    } else {
      quoted.append(backslashes, '\\');
    }
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, '\\');
  quoted += '"';
  return quoted;
}

TProcessId RunProgram(const std::function<void(bool)>& ownerEnable,
                      const std::string& workingFolder, const std::string& programPath,
                      const std::string& commandLine, bool wait, bool /*show*/) {
  SpawnSpec spec;
  if (programPath.empty()) {
    spec.Argv = {"/bin/sh", "-c", commandLine};
  } else {
    spec.Argv = SplitCommandLine(commandLine);
    spec.Argv.insert(spec.Argv.begin(), programPath);
  }
  spec.WorkingFolder = workingFolder;
  spec.Detach = !wait;
  spec.NewGroup = wait;
  const TProcessId pid = SpawnChild(spec);
  if (pid <= 0) return 0;
  if (wait) {
    if (ownerEnable) ownerEnable(false);
    while (!WaitForChild(pid, 100)) ProcessMessagesIfMain();
    if (ownerEnable) ownerEnable(true);
  }
  return pid;
}

bool CreateDOSProcessRedirected(const std::string& commandLine, int input, int output, int error,
                                std::string& errorText, int timeoutMs) {
  errorText.clear();
  try {
    SpawnSpec spec;
    spec.Argv = {"/bin/sh", "-c", commandLine};
    spec.Stdin = input;
    spec.Stdout = output;
    spec.Stderr = error;
    spec.NewGroup = true;
    const TProcessId pid = SpawnChild(spec);
    if (pid <= 0) {
      errorText = "Failed to create process";
      return false;
    }
    if (!WaitForChild(pid, timeoutMs == 0 ? -1 : timeoutMs)) {
      KillChildGroup(pid);
      errorText = "Timed out waiting for process to complete";
      return false;
    }
    return true;
  } catch (const std::exception& e) {
    errorText = std::string("CreateDOSProcessRedirected 1 excepted with: ") + e.what();
    return false;
  }
}

bool RunConsoleProcess(const std::string& commandLine, const std::string& input,
                       std::string& output, std::string& errorOutput, std::string& errorText,
                       int timeoutMs) {
  output.clear();
  errorOutput.clear();
  errorText.clear();
  TempFile files[3];
  const char* const names[3] = {"QuorvantisIn", "QuorvantisOut", "QuorvantisErr"};
  auto cleanUp = [&files] {
    for (auto& file : files) RemoveTempFile(file);
  };
  for (int i = 0; i < 3; ++i) {
    if (!CreateTempFile(names[i], files[i])) {
      errorText = "WinApi function CreateFile returned an invalid file handle for " + files[i].Path;
      files[i].Path.clear();  // not ours: never delete what another made
      cleanUp();
      return false;
    }
  }

  std::size_t written = 0;
  while (written < input.size()) {
    const ssize_t n = write(files[0].Fd, input.data() + written, input.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      errorText = "Error writing to input file";
      cleanUp();
      return false;
    }
    if (n == 0) break;
    written += static_cast<std::size_t>(n);
  }
  if (written < input.size()) {
    errorText = "Wrote " + std::to_string(written) + " bytes to input file rather than " +
                std::to_string(input.size()) + " bytes";
    cleanUp();
    return false;
  }
  if (lseek(files[0].Fd, 0, SEEK_SET) != 0) {
    errorText = "Error reseting input file pointer";
    cleanUp();
    return false;
  }

  const bool result = CreateDOSProcessRedirected(commandLine, files[0].Fd, files[1].Fd, files[2].Fd,
                                                 errorText, timeoutMs);
  // After a time-out the child's group is already gone, so nothing writes to
  // the files any more.
  std::string* targets[2] = {&output, &errorOutput};
  for (int i = 1; i < 3; ++i) {
    if (lseek(files[i].Fd, 0, SEEK_SET) != 0) {
      errorText = "Error reseting Output file pointer";
      continue;
    }
    if (!ReadBackFile(files[i].Fd, *targets[i - 1])) errorText = "Error reading output file";
  }
  cleanUp();
  return result;
}

std::string RunningProgramFile() {
  char buffer[4096];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer));
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof(buffer)) return {};
  return std::string(buffer, static_cast<std::size_t>(n));
}

bool RunLauncher(const std::string& commandText) {
  const std::string program = RunningProgramFile();
  std::string launcher = FolderOf(program) + "/Launch";
  if (program.empty() || !IsExecutableFile(launcher)) {
    const std::string install = GetInstallDir();
    launcher = install.empty() ? std::string() : AddTrailingBackslash(install) + "Launch";
    if (!IsExecutableFile(launcher)) return false;
  }
  return RunProgram(nullptr, "", launcher, LauncherCommandLine(getpid(), program, commandText),
                    false, false) != 0;
}

std::string LauncherCommandLine(TProcessId pid, const std::string& programFile,
                                const std::string& commandText) {
  return " - PID=" + std::to_string(pid) + " Exe=" + QuoteCommandArgument(programFile) +
         " CmdLine=" + QuoteCommandArgument(commandText);
}

void ShowHtmlHelp(const std::string& helpFile, const std::string& topic, bool closePrevious,
                  std::string& errorText) {
  errorText.clear();
  if (!FileExists(helpFile)) {
    errorText = "Help file not found";
    return;
  }
  const std::string target = topic.empty() ? helpFile : "file://" + helpFile + "#" + topic;
  const TProcessId previous = HelpViewerProcessId.load();
  if (closePrevious && IsProcessRunning(previous)) EndProcess(previous, 2000);
  const std::string opener = FindOnPath("xdg-open");
  const TProcessId pid =
      opener.empty() ? 0
                     : RunProgram(nullptr, "", opener, QuoteCommandArgument(target), false, true);
  HelpViewerProcessId.store(pid);
  if (pid == 0) errorText = "Help not installed";
}

bool IsNonStandardDpi() {
  return false;
}

}  // namespace halvorn
