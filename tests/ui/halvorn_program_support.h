// The halvorn program run as a user runs it, for the program's own tests: a
// data folder of the test's own, no display (so the program chooses
// offscreen itself), its output in a file, its daily log read on demand,
// stopped by a signal. The program is the test build's (HALVORN_PROGRAM).
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/files/install_folders.h"
#include "platform/lsp/lsp_protocol.h"
#include "support/child_process.h"
#include "support/test_support.h"

namespace halvorn::test {

class HalvornRun {
 public:
  // Names the data folder; starts nothing.
  explicit HalvornRun(std::string home) : FHome(std::move(home)) {}
  ~HalvornRun() { FProcess.Stop(2000); }
  HalvornRun(const HalvornRun&) = delete;
  HalvornRun& operator=(const HalvornRun&) = delete;

  // Starts the program with the arguments; its standard output and error go
  // to <home>.out (appended).
  bool Start(const std::vector<std::string>& arguments = {},
             const std::vector<std::string>& environment = {}) {
    std::filesystem::create_directories(FHome);
    // The log of earlier runs of the same day stays out of this run's.
    FLogOffset = LogText(true).size();
    std::vector<std::string> argv = {
        "env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM", HALVORN_PROGRAM};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const int out = ::open(OutputPath().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    ChildOptions options;
    options.StdoutFd = out;
    options.StderrFd = out;
    options.Environment = {"HALVORN_HOME=" + FHome};
    // Sanitizer reports of the program must not hide in its exit code only.
    options.Environment.insert(options.Environment.end(), environment.begin(), environment.end());
    const bool started = FProcess.Start(argv, options);
    ::close(out);
    return started;
  }

  pid_t Pid() const { return FProcess.Pid(); }
  bool Running() { return FProcess.Running(); }

  // Sends the signal and waits for the end; the exit code (128 + signal when
  // a signal ended it), -1 when it did not end in time.
  int Signal(int signal, int timeoutMs) {
    if (!FProcess.Running()) return FProcess.ExitCode();
    ::kill(FProcess.Pid(), signal);
    if (!FProcess.Wait(timeoutMs)) return -1;
    return FProcess.ExitCode();
  }
  int Wait(int timeoutMs) {
    if (!FProcess.Wait(timeoutMs)) return -1;
    return FProcess.ExitCode();
  }

  std::string OutputPath() const { return FHome + ".out"; }
  std::string Output() const { return ReadFileBytes(OutputPath()); }

  // What this run wrote to the log of the data folder (with `all`, earlier
  // runs' records too).
  std::string LogText(bool all = false) const {
    std::string text;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(FHome + "/Log", error))
      text += ReadFileBytes(entry.path().string());
    return all || FLogOffset > text.size() ? text : text.substr(FLogOffset);
  }
  // Waits until the log holds the text (the log is flushed as it goes).
  bool WaitForLog(const std::string& text, int timeoutMs = 60000) {
    return Eventually([&] { return LogText().find(text) != std::string::npos || !Running(); },
                      timeoutMs) &&
           LogText().find(text) != std::string::npos;
  }

  const std::string& Home() const { return FHome; }

 private:
  std::string FHome;
  std::size_t FLogOffset = 0;
  ChildProcess FProcess;
};

// Every file under the folder (but its Log folder) with its content, by
// path relative to the folder.
inline std::map<std::string, std::string> FolderSnapshot(const std::string& folder) {
  std::map<std::string, std::string> files;
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(folder, error);
       it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    const std::string relative = std::filesystem::relative(it->path(), folder).string();
    if (relative == "Log" || relative.rfind("Log/", 0) == 0) continue;
    files[relative] = it->is_directory() ? "<folder>" : ReadFileBytes(it->path().string());
  }
  return files;
}

// A local account "bob" with the password "secret" and, when a remote port is
// given, a remote account "alice"/"pw" on 127.0.0.1 at that port, marked as
// used in the last run (so the check at start-up takes it), in the form of a
// hand-written accounts file.
inline std::string AccountsFileText(int remotePort = 0) {
  std::string text =
      "[LocalAccounts]\r\nUniqueIds=LOCAL1\r\n\r\n"
      "[LOCAL1]\r\nUserId=bob\r\nPassWord=secret\r\n";
  if (remotePort == 0) return text + "\r\n";
  return text +
         "RemoteAccounts=REMOTE1\r\n\r\n"
         "[REMOTE1]\r\nUserId=alice\r\nPassWord=pw\r\nHosts=127.0.0.1\r\nPort=" +
         std::to_string(remotePort) + "\r\nInterceptedLastRun=1\r\n\r\n";
}

// A mail reader (Python's poplib) that logs in as bob/secret on the port and
// prints "STAT <count>" and, for each message, its subject; with "dele" it
// deletes every message before QUIT.
inline const char* kReaderScript = R"PY(
import email, poplib, sys
p = poplib.POP3("127.0.0.1", int(sys.argv[1]), timeout=60)
p.user("bob")
print("LOGIN", p.pass_("secret").decode("latin-1"))
count = p.stat()[0]
print("STAT", count)
for n in range(1, count + 1):
    text = b"\r\n".join(p.retr(n)[1])
    print("SUBJECT", email.message_from_bytes(text).get("Subject", ""))
    if len(sys.argv) > 2 and sys.argv[2] == "dele":
        p.dele(n)
p.quit()
)PY";

inline CommandResult RunReader(int port, const std::string& mode = "") {
  std::vector<std::string> argv = {PythonPath(), "-c", kReaderScript, std::to_string(port)};
  if (!mode.empty()) argv.push_back(mode);
  return RunCommand(argv, {}, 120000);
}

// The process id in the interception library's ignore record of the data
// folder; 0 when none is recorded (or the record does not exist).
inline std::uint32_t IgnoreRecord(const std::string& home) {
  ScopedEnv env("HALVORN_HOME", home);
  ResetFolderCachesForTests();
  const std::string name = lsp::IgnorePidName(GetInstallDirKey());
  ResetFolderCachesForTests();
  const int fd = ::shm_open(name.c_str(), O_RDONLY, 0);
  if (fd < 0) return 0;
  std::uint32_t pid = 0;
  if (::read(fd, &pid, sizeof pid) != static_cast<ssize_t>(sizeof pid)) pid = 0;
  ::close(fd);
  return pid;
}

inline void RemoveIgnoreRecord(const std::string& home) {
  ScopedEnv env("HALVORN_HOME", home);
  ResetFolderCachesForTests();
  ::shm_unlink(lsp::IgnorePidName(GetInstallDirKey()).c_str());
  ResetFolderCachesForTests();
}

}  // namespace halvorn::test
