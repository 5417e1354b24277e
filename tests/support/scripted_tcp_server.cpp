#include "support/scripted_tcp_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/test_support.h"

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
  std::string error;
  const std::string line = StartAndReadFirstLine(FServer, {PythonPath(), "-c", script}, {}, error);
  if (line.rfind("PORT ", 0) == 0)
    FPort = static_cast<std::uint16_t>(std::stoi(line.substr(5)));
  else
    FError = "server did not start: " + error;
}

ScriptedTcpServer::~ScriptedTcpServer() = default;

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

SilentListener::SilentListener(const std::string& host, std::uint16_t port) {
  FSocket = ::socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  ::setsockopt(FSocket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  ::inet_pton(AF_INET, host.c_str(), &a.sin_addr);
  FOk = ::bind(FSocket, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::listen(FSocket, 8) == 0;
  socklen_t size = sizeof a;
  ::getsockname(FSocket, reinterpret_cast<sockaddr*>(&a), &size);
  FPort = ntohs(a.sin_port);
}

SilentListener::~SilentListener() {
  ::close(FSocket);
}

}  // namespace halvorn::test
