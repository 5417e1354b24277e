#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

extern char** environ;

namespace halvorn::test {
namespace {

// The test's environment with the entries of `extra` put in (replacing
// variables of the same name).
std::vector<std::string> EnvironmentWith(const std::vector<std::string>& extra) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('=') + 1);
    bool replaced = false;
    for (const auto& x : extra) replaced = replaced || x.compare(0, name.size(), name) == 0;
    if (!replaced) result.push_back(text);
  }
  result.insert(result.end(), extra.begin(), extra.end());
  return result;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (auto& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

ChildProcess::~ChildProcess() {
  Stop();
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const ChildOptions& options) {
  if (Running()) {
    FError = "a child runs already";
    return false;
  }
  if (argv.empty()) {
    FError = "no program";
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!options.WorkingFolder.empty())
    posix_spawn_file_actions_addchdir_np(&actions, options.WorkingFolder.c_str());
  if (options.StdinFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, options.StdinFd, 0);
  } else {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  }
  if (options.StdoutFd >= 0) posix_spawn_file_actions_adddup2(&actions, options.StdoutFd, 1);
  if (options.StderrFd >= 0) posix_spawn_file_actions_adddup2(&actions, options.StderrFd, 2);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  if (options.OwnProcessGroup) {
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
  }
  std::vector<std::string> args = argv;
  std::vector<std::string> environment = options.Environment.empty()
                                             ? std::vector<std::string>()
                                             : EnvironmentWith(options.Environment);
  std::vector<char*> argp = Pointers(args);
  std::vector<char*> envp = Pointers(environment);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, argp[0], &actions, &attributes, argp.data(),
                              options.Environment.empty() ? environ : envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    FError = "cannot start " + argv[0] + ": " + std::strerror(rc);
    return false;
  }
  FPid = pid;
  FReaped = false;
  FOwnGroup = options.OwnProcessGroup;
  FExitCode = -1;
  FError.clear();
  return true;
}

bool ChildProcess::Reap(bool block) {
  if (FReaped) return true;
  int status = 0;
  pid_t got;
  do {
    got = ::waitpid(FPid, &status, block ? 0 : WNOHANG);
  } while (got < 0 && errno == EINTR);
  if (got == 0) return false;
  FReaped = true;
  if (got == FPid) FExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return true;
}

bool ChildProcess::Running() {
  return FPid > 0 && !Reap(false);
}

bool ChildProcess::Wait(int timeoutMs) {
  if (FPid <= 0) return true;
  if (timeoutMs < 0) return Reap(true);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!Reap(false)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void ChildProcess::Signal(int signal) {
  ::kill(FOwnGroup ? -FPid : FPid, signal);
}

void ChildProcess::Stop(int graceMs) {
  if (!Running()) return;
  Signal(SIGTERM);
  if (Wait(graceMs)) return;
  Signal(SIGKILL);
  Reap(true);
}

std::string StartAndReadFirstLine(ChildProcess& child, const std::vector<std::string>& argv,
                                  ChildOptions options, std::string& error, int timeoutMs) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    error = "no pipe";
    return {};
  }
  options.StdoutFd = out[1];
  const bool started = child.Start(argv, options);
  ::close(out[1]);
  if (!started) {
    ::close(out[0]);
    error = child.Error();
    return {};
  }
  std::string text;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (text.find('\n') == std::string::npos && std::chrono::steady_clock::now() < until) {
    pollfd p{out[0], POLLIN, 0};
    if (::poll(&p, 1, 100) != 1) continue;
    char chunk[256];
    const ssize_t n = ::read(out[0], chunk, sizeof chunk);
    if (n <= 0) break;
    text.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(out[0]);
  const std::size_t end = text.find('\n');
  if (end == std::string::npos) {
    error = "no line came: " + text;
    return {};
  }
  return text.substr(0, end);
}

}  // namespace halvorn::test
