// The probe Halvorn starts with the interception library preloaded, to see
// the library at work from outside its own process (Halvorn itself is never
// intercepted). Plain sockets only; built without sanitizers like the
// library.
//
//   halvorn-lsp-probe ack    connect to 0.0.0.0:110 and close: the library
//                            acknowledges the test to the program
//   halvorn-lsp-probe check  connect to 0.0.0.0:110, send the intercept check
//                            line and expect the confirmation; prints the
//                            failure text (nothing on success)
//
// Exit code 0 when the probe ran (the outcome of "check" is on the output),
// 2 on a usage error.

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/lsp/lsp_protocol.h"

namespace {

using halvorn::lsp::MonotonicMs;
using halvorn::lsp::ReceiveBefore;

int ConnectToAnyAddress110() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  struct sockaddr_in address {};
  address.sin_family = AF_INET;
  address.sin_port = htons(110);
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// One line without its CR LF, read within the time; false when none came.
bool ReadLine(int fd, std::string& line, int timeOutMs) {
  line.clear();
  std::int64_t deadline = MonotonicMs() + timeOutMs;
  while (line.size() < 4096) {
    char c = 0;
    if (ReceiveBefore(fd, &c, 1, deadline) <= 0) return false;
    if (c == '\n') {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return true;
    }
    line.push_back(c);
  }
  return false;
}

std::string Check() {
  int fd = ConnectToAnyAddress110();
  if (fd < 0) return "Could not make connection";
  const char request[] = "~~Intercept check~~\r\n";
  if (send(fd, request, sizeof(request) - 1, MSG_NOSIGNAL) !=
      static_cast<ssize_t>(sizeof(request) - 1)) {
    close(fd);
    return "Write Failed";
  }
  // Up to 11 reads of about 100 ms: the server may greet first, but answers
  // the check line before its banner.
  std::string line;
  bool got = ReadLine(fd, line, 1100);
  close(fd);
  if (!got) return "Read Failed";
  if (line != "~~Intercept confirmed~~") return "Read bad value";
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s ack|check\n", argv[0]);
    return 2;
  }
  std::string mode = argv[1];
  if (mode == "ack") {
    int fd = ConnectToAnyAddress110();
    if (fd >= 0) close(fd);
    return 0;
  }
  if (mode == "check") {
    std::string failure = Check();
    std::fputs(failure.c_str(), stdout);
    return 0;
  }
  std::fprintf(stderr, "usage: %s ack|check\n", argv[0]);
  return 2;
}
