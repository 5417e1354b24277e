// The UDP client against a peer socket of the test's own on 127.0.0.1:
// datagrams both ways byte for byte, other senders dropped, bounded waits,
// and errors that raise.
#include "foundation/net/udp_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "foundation/time/clock.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

// A bound UDP socket on 127.0.0.1 and a free port.
class Peer {
 public:
  Peer() {
    FFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(FFd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t size = sizeof a;
    ::getsockname(FFd, reinterpret_cast<sockaddr*>(&a), &size);
    FPort = ntohs(a.sin_port);
  }
  ~Peer() { Close(); }
  void Close() {
    if (FFd >= 0) ::close(FFd);
    FFd = -1;
  }
  int Port() const { return FPort; }
  std::string Receive() {
    char buffer[2048];
    timeval wait{2, 0};
    ::setsockopt(FFd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    const ssize_t n = ::recv(FFd, buffer, sizeof buffer, 0);
    return n < 0 ? std::string() : std::string(buffer, static_cast<std::size_t>(n));
  }
  void SendTo(int port, const std::string& bytes) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    ::sendto(FFd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }

 private:
  int FFd = -1;
  int FPort = 0;
};

TEST(UdpClient, DatagramsBothWaysByteForByteFromThePeerOnly) {
  Peer peer;
  Peer stranger;
  TUdpClient client("127.0.0.1", peer.Port());
  const std::string out("\0query\r\n\xff", 9);
  client.Send(out);
  EXPECT_EQ(peer.Receive(), out);
  // Another port's datagram never shows; the peer's does.
  stranger.SendTo(client.LocalPort(), "stranger");
  peer.SendTo(client.LocalPort(), std::string("\0answer", 7));
  const auto got = client.Receive(2000);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, std::string("\0answer", 7));
  EXPECT_FALSE(client.Receive(0));
}

TEST(UdpClient, AReceiveWaitsAtMostItsTime) {
  Peer peer;
  TUdpClient client("127.0.0.1", peer.Port());
  const std::int64_t start = SteadyMilliseconds();
  EXPECT_FALSE(client.Receive(200));
  EXPECT_GE(test::ElapsedSince(start), 190);
  EXPECT_LT(test::ElapsedSince(start), 3000);
}

TEST(UdpClient, ErrorsRaise) {
  EXPECT_THROW(TUdpClient("qch.halvorn.invalid", 6778), EUdpClientError);
  EXPECT_THROW(TUdpClient("127.0.0.1", 0), EUdpClientError);
  EXPECT_THROW(TUdpClient("127.0.0.1", 70000), EUdpClientError);
  // A peer that refuses (nobody on its port) shows at the next read.
  Peer gone;
  const int port = gone.Port();
  gone.Close();
  TUdpClient client("127.0.0.1", port);
  client.Send("hello");
  EXPECT_THROW(client.Receive(1000), EUdpClientError);
}

}  // namespace
}  // namespace halvorn
