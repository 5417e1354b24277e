// The owner of a connection's other end, from the kernel's socket table: a
// table of hand-made lines for the parsing, real connections of this process
// and of a child running as another user for the look-up.
#include "platform/socket_owner.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "support/child_process.h"
#include "support/test_support.h"

namespace halvorn::platform {
namespace {

// 127.0.0.1 as in_addr.s_addr.
std::uint32_t Loopback(std::uint8_t last = 1) {
  return htonl((127u << 24) | last);
}

TEST(SocketOwner, FindsTheEntryWhoseEndsAreTheConnectionsReversed) {
  const std::string table =
      "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
      "timeout inode\n"
      "   0: 0100007F:0050 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 "
      "1 1 0000000000000000 100 0 0 10 0\n"
      "   1: 0100007F:A001 0100007F:0050 01 00000000:00000000 00:00000000 00000000  1000        0 "
      "2 1 0000000000000000 20 4 30 10 -1\n"
      "   2: 0100007F:0050 0100007F:A001 01 00000000:00000000 00:00000000 00000000     0        0 "
      "3 1 0000000000000000 20 4 30 10 -1\n"
      "   3: 0200007F:A002 0100007F:0050 01 00000000:00000000 00:00000000 00000000 65534        0 "
      "4 1 0000000000000000 20 4 30 10 -1\n"
      "   4: garbage line\n"
      "   5: 0100007F:A00 0100007F:0050 01 00000000:00000000 00:00000000 00000000  7 0 5\n";
  struct Row {
    const char* Case;
    std::uint32_t PeerAddress;
    std::uint16_t PeerPort;
    std::uint32_t LocalAddress;
    std::uint16_t LocalPort;
    bool Found;
    std::uint32_t Uid;
  } rows[] = {
      {"the client's end", Loopback(), 0xA001, Loopback(), 0x50, true, 1000},
      {"the server's own end is not the peer", Loopback(), 0x50, Loopback(), 0xA001, true, 0},
      {"another loopback address", Loopback(2), 0xA002, Loopback(), 0x50, true, 65534},
      {"no such port", Loopback(), 0xA003, Loopback(), 0x50, false, 0},
      {"a malformed port is skipped", Loopback(), 0xA00, Loopback(), 0x50, false, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Case);
    std::uint32_t uid = 12345;
    EXPECT_EQ(FindTcpSocketOwnerInTable(table, row.PeerAddress, row.PeerPort, row.LocalAddress,
                                        row.LocalPort, uid),
              row.Found);
    if (row.Found) {
      EXPECT_EQ(uid, row.Uid);
    }
  }
}

// A listener on 127.0.0.1 and a free port.
class Listener {
 public:
  Listener() {
    FFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = Loopback();
    socklen_t length = sizeof(address);
    if (bind(FFd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(FFd, 4) != 0 || getsockname(FFd, reinterpret_cast<sockaddr*>(&address), &length))
      ADD_FAILURE() << "cannot listen";
    FPort = ntohs(address.sin_port);
  }
  ~Listener() { close(FFd); }
  std::uint16_t Port() const { return FPort; }
  // The next connection within 10 s; -1 when none came.
  int Accept() {
    pollfd p{FFd, POLLIN, 0};
    if (poll(&p, 1, 10000) != 1) return -1;
    return accept4(FFd, nullptr, nullptr, SOCK_CLOEXEC);
  }

 private:
  int FFd = -1;
  std::uint16_t FPort = 0;
};

TEST(SocketOwner, AConnectionOfThisProcessIsOwnedByItsUser) {
  Listener listener;
  int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = Loopback();
  to.sin_port = htons(listener.Port());
  ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&to), sizeof(to)), 0);
  const int accepted = listener.Accept();
  ASSERT_GE(accepted, 0);
  std::uint32_t uid = 12345;
  EXPECT_TRUE(FindTcpPeerOwner(accepted, uid));
  EXPECT_EQ(uid, CurrentUserId());
  std::uint32_t local = 0;
  EXPECT_TRUE(GetLocalSocketAddress(accepted, local));
  EXPECT_EQ(local, Loopback());
  // The listening socket has no peer.
  EXPECT_FALSE(FindTcpPeerOwner(-1, uid));
  close(accepted);
  close(client);
}

TEST(SocketOwner, AConnectionOfAnotherUserIsOwnedByThatUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run a client as another user";
  Listener listener;
  test::ChildProcess child;
  ASSERT_TRUE(child.Start({"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                           test::PythonPath(), "-c",
                           "import socket,sys,time\n"
                           "s=socket.create_connection(('127.0.0.1'," +
                               std::to_string(listener.Port()) +
                               "))\n"
                               "s.recv(1)\n"}))
      << child.Error();
  const int accepted = listener.Accept();
  ASSERT_GE(accepted, 0);
  std::uint32_t uid = 0;
  EXPECT_TRUE(FindTcpPeerOwner(accepted, uid));
  EXPECT_EQ(uid, 65534u);
  EXPECT_NE(uid, CurrentUserId());
  close(accepted);
  child.Wait(5000);
}

}  // namespace
}  // namespace halvorn::platform
