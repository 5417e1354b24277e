// A UDP client of one peer: the central service's reports and stop codes,
// the DCC client's queries.
//
// One IPv4 UDP socket, bound once to an ephemeral port of this machine and
// connected to one peer (a dotted address and a port). Being connected, the
// socket takes datagrams from that peer only: the system drops those from any
// other address or port. The peer's "port unreachable" answer to an earlier
// datagram surfaces as an error of a later Send or Receive.
//
// Sends never block and receives wait at most the time asked. Errors raise
// EUdpClientError; nothing is retried. One thread at a time uses a client
// (callers that share one guard it); not copyable.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace halvorn {

// A socket call failed; the text names the call, the peer and the reason.
class EUdpClientError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TUdpClient {
 public:
  // The largest datagram Receive hands out whole (a longer one is cut).
  static constexpr std::size_t kMaxDatagram = 65536;

  // Makes the socket, binds it to an ephemeral port and connects it to the
  // peer. Raises EUdpClientError for an address that is not a dotted IPv4
  // address, a port outside 1 to 65535, or a failing socket call.
  TUdpClient(const std::string& dottedAddress, int port);
  ~TUdpClient();
  TUdpClient(const TUdpClient&) = delete;
  TUdpClient& operator=(const TUdpClient&) = delete;

  // Sends the bytes as one datagram without waiting. Raises EUdpClientError
  // when the system refuses it: a full send queue, a refusal the peer
  // reported for an earlier datagram, a datagram too large.
  void Send(std::string_view bytes);

  // One datagram from the peer, waiting up to `waitMs` (0: only what has
  // arrived); nothing when none came in time. Raises EUdpClientError for a
  // failing receive, a refusal the peer reported included.
  std::optional<std::string> Receive(int waitMs);

  const std::string& Address() const { return FAddress; }
  int Port() const { return FPort; }
  // The local port the socket is bound to.
  int LocalPort() const { return FLocalPort; }

 private:
  [[noreturn]] void Fail(const std::string& call, int code) const;

  std::string FAddress;
  int FPort = 0;
  int FLocalPort = 0;
  int FSocket = -1;
};

}  // namespace halvorn
