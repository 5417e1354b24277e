// Shared by the interception tests: a fixture that runs the request listener
// on this thread with a stand-in handler, programs started under the
// preloaded library, a scripted TCP server on 127.0.0.1, and running a test
// inside a network namespace of its own (only loopback up, so a connection
// that is not redirected fails at once and nothing leaves the machine).
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "foundation/files/install_folders.h"
#include "foundation/intercept/lsp_binding.h"
#include "foundation/intercept/lsp_requests.h"
#include "platform/lsp/lsp_protocol.h"
#include "platform/main_thread.h"
#include "platform/qt_main_thread.h"
#include "platform/qt_test_app.h"
#include "platform/qt_window_messages.h"
#include "support/child_process.h"
#include "support/network_namespace.h"
#include "support/test_support.h"

namespace halvorn::test {

// What a program started under the library printed, and how it ended.
struct ProgramRun {
  int ExitCode = -1;
  std::string Output;
};

// Runs argv with the environment plus `extra`, handling this thread's events
// while it runs (the listener answers the program's requests here). Kills it
// after the time-out.
inline ProgramRun RunHandlingEvents(const std::vector<std::string>& argv,
                                    const std::vector<std::string>& extra, int timeoutMs = 20000) {
  ProgramRun run;
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return run;
  ChildProcess program;
  ChildOptions options;
  options.StdoutFd = out[1];
  options.StderrFd = out[1];
  options.Environment = extra;
  const bool started = program.Start(argv, options);
  close(out[1]);
  if (!started) {
    close(out[0]);
    run.Output = program.Error();
    return run;
  }
  fcntl(out[0], F_SETFL, O_NONBLOCK);
  auto drain = [&] {
    char buffer[4096];
    ssize_t got;
    while ((got = read(out[0], buffer, sizeof(buffer))) > 0)
      run.Output.append(buffer, static_cast<std::size_t>(got));
  };
  const bool ended = RunEventsUntil(
      [&] {
        drain();
        return !program.Running();
      },
      timeoutMs);
  if (!ended) program.Stop(0);
  drain();
  close(out[0]);
  const int code = program.ExitCode();
  run.ExitCode = ended && code < 128 ? code : -1;
  if (ended && code >= 128) run.Output += "killed by signal " + std::to_string(code - 128);
  return run;
}

// A TCP server on 127.0.0.1 (a port of the system's choice) that serves one
// connection at a time on its own thread with the given script. The script
// gets the connected socket and its peer address (host byte order).
class ScriptedServer {
 public:
  using Script = std::function<void(int fd, std::uint32_t peer)>;
  explicit ScriptedServer(Script script) : FScript(std::move(script)) {
    FListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(FListen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (bind(FListen, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(FListen, 8) != 0 ||
        getsockname(FListen, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      ADD_FAILURE() << "test server cannot listen";
    FPort = ntohs(address.sin_port);
    FThread = std::thread([this] { Serve(); });
  }
  ~ScriptedServer() {
    FStop.store(true);
    FThread.join();
    close(FListen);
  }
  std::uint16_t Port() const { return FPort; }
  int Served() const { return FServed.load(); }

 private:
  void Serve() {
    while (!FStop.load()) {
      pollfd pfd{FListen, POLLIN, 0};
      if (poll(&pfd, 1, 20) <= 0) continue;
      sockaddr_in peer{};
      socklen_t length = sizeof(peer);
      int fd = accept4(FListen, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
      if (fd < 0) continue;
      timeval limit{5, 0};
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
      FScript(fd, ntohl(peer.sin_addr.s_addr));
      close(fd);
      FServed.fetch_add(1);
    }
  }

  Script FScript;
  int FListen = -1;
  std::uint16_t FPort = 0;
  std::atomic<bool> FStop{false};
  std::atomic<int> FServed{0};
  std::thread FThread;
};

// Reads one line (without CR LF) from a blocking socket; empty on end.
inline std::string ReadSocketLine(int fd) {
  std::string line;
  char c;
  while (line.size() < 1000 && recv(fd, &c, 1, 0) == 1) {
    if (c == '\n') break;
    if (c != '\r') line.push_back(c);
  }
  return line;
}

inline void SendText(int fd, const std::string& text) {
  send(fd, text.data(), text.size(), MSG_NOSIGNAL);
}

// The listener on this thread with an install folder of the test's own (so
// tests running at the same time never share a socket), a registered main
// window for the self-test, and the library from the build folder.
class InterceptFixture : public testing::Test {
 protected:
  void SetUp() override {
    EnsureQtApplication();
    platform::MarkMainThread();
    platform::InstallQtMainThreadHooks();
    FHome = std::make_unique<ScopedEnv>("HALVORN_HOME", FHomeFolder.Path());
    ResetFolderCachesForTests();
    SetLspFolderForTests(HALVORN_LSP_FOLDER);
    FWindowObject = std::make_unique<QObject>();
    FWindow = platform::RegisterWindow(FWindowObject.get(), "TMainQuorForm");
  }
  void TearDown() override {
    StopLspListener();
    SetLspRequestHandler({});
    SetLspProbePreloadForTests(true);
    shm_unlink(lsp::IgnorePidName(GetInstallDirKey()).c_str());
    platform::UnregisterWindow(FWindow);
    SetLspFolderForTests("");
    FHome.reset();
    ResetFolderCachesForTests();
  }

  // The environment a program needs to run under the library: the wrapper
  // command preloads it, the key names this test's listener.
  std::vector<std::string> KeyEnvironment() const {
    return {std::string(lsp::kKeyVariable) + "=" + GetInstallDirKey()};
  }
  static std::string Wrapper() {
    return std::string(HALVORN_LSP_FOLDER) + "/" + lsp::kWrapperFileName;
  }

  TempFolder FHomeFolder;
  std::unique_ptr<ScopedEnv> FHome;
  std::unique_ptr<QObject> FWindowObject;
  platform::WindowHandle FWindow = 0;
};

}  // namespace halvorn::test
