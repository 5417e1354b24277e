// A listening socket that holds a TCP port of every local address for the
// test's scope, so that the program under test finds the port taken.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>

namespace halvorn::test {

class HeldPort {
 public:
  explicit HeldPort(int port) {
    FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // An earlier run's connections may linger in TIME_WAIT on the port.
    const int one = 1;
    ::setsockopt(FFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(FFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(FFd, 1) != 0)
      ADD_FAILURE() << "cannot hold port " << port;
  }
  ~HeldPort() { ::close(FFd); }
  HeldPort(const HeldPort&) = delete;
  HeldPort& operator=(const HeldPort&) = delete;

 private:
  int FFd = -1;
};

}  // namespace halvorn::test
