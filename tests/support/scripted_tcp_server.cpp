#include "support/scripted_tcp_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "support/test_support.h"

extern char** environ;

namespace halvorn::test {

ScriptedTcpServer::ScriptedTcpServer(const std::string& handler, std::uint16_t port,
                                     const std::string& host) {
  const std::string script = "import socket, sys, time\n" + handler +
                             "\n"
                             "s = socket.socket()\n"
                             "s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
                             "s.bind(('" +
                             host + "', " + std::to_string(port) +
                             "))\n"
                             "s.listen(16)\n"
                             "print('PORT', s.getsockname()[1], flush=True)\n"
                             "while True:\n"
                             "    c, _ = s.accept()\n"
                             "    c.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)\n"
                             "    try:\n"
                             "        handle(c)\n"
                             "    except Exception as e:\n"
                             "        print('handler:', e, file=sys.stderr, flush=True)\n"
                             "    finally:\n"
                             "        c.close()\n";
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    FError = "pipe failed";
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  std::vector<std::string> argv{PythonPath(), "-c", script};
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  if (rc != 0) {
    ::close(pipeFds[0]);
    FError = "could not start python";
    return;
  }
  FPid = pid;
  std::string out;
  pollfd p{pipeFds[0], POLLIN, 0};
  while (out.find('\n') == std::string::npos && ::poll(&p, 1, 10000) > 0) {
    char buf[128];
    const ssize_t n = ::read(pipeFds[0], buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  ::close(pipeFds[0]);
  if (out.rfind("PORT ", 0) == 0)
    FPort = static_cast<std::uint16_t>(std::stoi(out.substr(5)));
  else
    FError = "server did not start: " + out;
}

ScriptedTcpServer::~ScriptedTcpServer() {
  if (FPid <= 0) return;
  ::kill(FPid, SIGTERM);
  for (int i = 0; i < 200; ++i) {
    if (::waitpid(FPid, nullptr, WNOHANG) == FPid) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(FPid, SIGKILL);
  ::waitpid(FPid, nullptr, 0);
}

HangingTcpListener::HangingTcpListener() {
  FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(FListen, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::listen(FListen, 0);
  socklen_t size = sizeof a;
  ::getsockname(FListen, reinterpret_cast<sockaddr*>(&a), &size);
  FPort = ntohs(a.sin_port);
  for (int& fd : FFill) {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
}

HangingTcpListener::~HangingTcpListener() {
  for (int fd : FFill) ::close(fd);
  ::close(FListen);
}

}  // namespace halvorn::test
