#include "foundation/net/udp_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "foundation/time/clock.h"

namespace halvorn {

TUdpClient::TUdpClient(const std::string& dottedAddress, int port)
    : FAddress(dottedAddress), FPort(port) {
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  if (::inet_pton(AF_INET, dottedAddress.c_str(), &peer.sin_addr) != 1)
    throw EUdpClientError("UDP client: not a dotted IPv4 address: \"" + dottedAddress + "\"");
  if (port < 1 || port > 65535)
    throw EUdpClientError("UDP client: port out of range: " + std::to_string(port));
  peer.sin_port = htons(static_cast<std::uint16_t>(port));

  FSocket = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (FSocket < 0) Fail("socket", errno);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  socklen_t size = sizeof local;
  if (::bind(FSocket, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      ::connect(FSocket, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0 ||
      ::getsockname(FSocket, reinterpret_cast<sockaddr*>(&local), &size) != 0) {
    const int code = errno;
    ::close(FSocket);
    FSocket = -1;
    Fail("bind/connect", code);
  }
  FLocalPort = ntohs(local.sin_port);
}

TUdpClient::~TUdpClient() {
  if (FSocket >= 0) ::close(FSocket);
}

void TUdpClient::Fail(const std::string& call, int code) const {
  throw EUdpClientError("UDP client " + call + " to " + FAddress + ":" + std::to_string(FPort) +
                        " failed: " + std::strerror(code));
}

void TUdpClient::Send(std::string_view bytes) {
  for (;;) {
    const ssize_t n = ::send(FSocket, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n >= 0) return;
    if (errno == EINTR) continue;
    Fail("send", errno);
  }
}

std::optional<std::string> TUdpClient::Receive(int waitMs) {
  const std::int64_t deadline = SteadyMilliseconds() + std::max(waitMs, 0);
  std::string buffer(kMaxDatagram, '\0');
  for (;;) {
    const ssize_t n = ::recv(FSocket, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n >= 0) {
      buffer.resize(static_cast<std::size_t>(n));
      return buffer;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) Fail("receive", errno);
    const std::int64_t left = deadline - SteadyMilliseconds();
    if (left <= 0) return std::nullopt;
    pollfd p{FSocket, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) Fail("poll", errno);
  }
}

}  // namespace halvorn
