// The connection checks against real peers: loopback listeners, scripted
// Python servers and, for the POP3 login on port 110, a real Dovecot inside a
// network namespace of the test's own (the test runs itself again under
// "unshare -n"), so nothing ever leaves the machine.
#include "foundation/net/connection_checks.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/net/own_connections.h"
#include "foundation/net/quor_client_socket.h"
#include "foundation/threads/heartbeat.h"
#include "foundation/time/clock.h"
#include "platform/main_thread.h"
#include "support/dovecot_server.h"
#include "support/network_namespace.h"
#include "support/scripted_tcp_server.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::DovecotServer;
using test::ScriptedTcpServer;

// A listening socket on a loopback address that never accepts: connects
// succeed (the kernel queues them) and then nothing is ever said.
class SilentListener {
 public:
  SilentListener(const std::string& host, std::uint16_t port) {
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
  ~SilentListener() { ::close(FSocket); }
  bool Ok() const { return FOk; }
  std::uint16_t Port() const { return FPort; }

 private:
  int FSocket = -1;
  bool FOk = false;
  std::uint16_t FPort = 0;
};

std::uint16_t ClosedPort() {
  SilentListener probe("127.0.0.1", 0);
  return probe.Port();  // closed again when probe goes
}

// Resets the shared stamps PingInternet reads, before and after a test.
class PingStamps {
 public:
  PingStamps() { Reset(); }
  ~PingStamps() {
    Reset();
    SetPingSettings(TPingSettings{});
  }
  static void Reset() {
    LastNetworkSuccess.store(0);
    LastPingFailure.store(0);
  }
};

TEST(ConnectionChecks, CheckConnectOffTheMainThread) {
  SilentListener open("127.0.0.1", 0);
  ASSERT_TRUE(open.Ok());
  EXPECT_TRUE(CheckConnect("127.0.0.1", open.Port(), 2000));
  EXPECT_FALSE(CheckConnect("127.0.0.1", ClosedPort(), 2000));
  EXPECT_FALSE(CheckConnect("127.0.0.1", 0, 2000));
  // A peer that never completes the handshake: the check keeps to its own
  // time-out.
  test::HangingTcpListener hanging;
  const std::int64_t start = SteadyMilliseconds();
  EXPECT_FALSE(CheckConnect("127.0.0.1", hanging.Port(), 300));
  EXPECT_LT(SteadyMilliseconds() - start, 3000);
}

TEST(ConnectionChecks, PingAnswersFromItsStampsWithoutAsking) {
  PingStamps stamps;
  const TDateTime now = Now();
  ScopedClockForTests clock(now);
  // No host to ask: any answer but the stamps' would be false.
  TPingSettings settings;
  settings.Hosts.clear();
  SetPingSettings(settings);

  LastNetworkSuccess.store(now - SecondsToDateTime(30));
  EXPECT_TRUE(PingInternet(60));
  EXPECT_EQ(LastPingFailure.load(), 0);

  // Too old a success: the hosts are asked (none), the failure is stamped.
  LastNetworkSuccess.store(now - SecondsToDateTime(90));
  EXPECT_FALSE(PingInternet(60));
  EXPECT_EQ(LastPingFailure.load(), now);

  // Within 5 s of the failure the answer is false even with a host that
  // answers; after that the host is asked.
  SilentListener open("127.0.0.1", 0);
  settings.Hosts = {"127.0.0.1"};
  settings.UseIcmp = false;
  settings.TcpPort = open.Port();
  SetPingSettings(settings);
  LastPingFailure.store(now - SecondsToDateTime(3));
  EXPECT_FALSE(PingInternet(60));
  LastPingFailure.store(now - SecondsToDateTime(6));
  EXPECT_TRUE(PingInternet(60));
  EXPECT_EQ(LastNetworkSuccess.load(), now);
  EXPECT_EQ(LastPingMethod(), TPingMethod::Tcp);
}

TEST(ConnectionChecks, PingByTcpCountsARefusalAsAnAnswer) {
  PingStamps stamps;
  TPingSettings settings;
  settings.Hosts = {"127.0.0.1"};
  settings.UseIcmp = false;
  settings.TcpPort = ClosedPort();
  SetPingSettings(settings);
  EXPECT_TRUE(PingInternet(60));
  EXPECT_EQ(LastPingMethod(), TPingMethod::Tcp);
}

TEST(ConnectionChecks, UdpHelloReachesItsAddress) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(6173);
  ::inet_pton(AF_INET, "127.230.232.112", &a.sin_addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    GTEST_SKIP() << "127.230.232.112:6173 is taken";
  }
  EXPECT_TRUE(SendUdpHello());
  char buf[32] = {};
  timeval tv{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
  ::close(fd);
  EXPECT_EQ(std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0), "hello?");
}

// ---------------------------------------------------------------------------
// Port 110 inside a network namespace of the test's own.

TEST(ConnectionChecksInNamespace, PopLoginConnectAndPingOnPort110) {
  if (test::DovecotBinary().empty()) GTEST_SKIP() << "dovecot-pop3d is not installed";
  if (::getuid() != 0) GTEST_SKIP() << "needs root for a network namespace and port 110";
  HALVORN_IN_OWN_NETWORK_NAMESPACE(true);

  DovecotServer dovecot(110, {{"alice", "secret"}});
  ASSERT_TRUE(dovecot.Ok()) << dovecot.Error();
  // USER refused by a scripted server on another loopback address.
  ScriptedTcpServer refusesUser(R"(
def handle(conn):
    conn.sendall(b'+OK ready\r\n')
    conn.recv(100)
    conn.sendall(b'-ERR no such mailbox\r\n')
    conn.recv(100)
)",
                                110, "127.0.0.4");
  ASSERT_TRUE(refusesUser.Ok()) << refusesUser.Error();
  SilentListener silent("127.0.0.3", 110);
  ASSERT_TRUE(silent.Ok());

  struct Row {
    const char* User;
    const char* Password;
    const char* Host;
    std::string Expected;  // a prefix for server texts
  };
  const Row rows[] = {
      {"alice", "secret", "127.0.0.1", ""},
      {"alice", "wrong", "127.0.0.1", "server rejected pass with -ERR"},
      {"bob", "secret", "127.0.0.1", "server rejected pass with -ERR"},
      {"alice", "secret", "127.0.0.2", "Could not connect to 127.0.0.2"},
      {"alice", "secret", "127.0.0.3", "Timed out waiting on banner"},
      {"alice", "secret", "127.0.0.4", "server rejected userid with -ERR no such mailbox"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.User) + "/" + row.Password + "@" + row.Host);
    const std::int64_t start = SteadyMilliseconds();
    const std::string text = CheckPopLogin(row.User, row.Password, row.Host, 1500);
    if (row.Expected.empty())
      EXPECT_EQ(text, "");
    else
      EXPECT_EQ(text.substr(0, row.Expected.size()), row.Expected) << text;
    EXPECT_LT(SteadyMilliseconds() - start, 5000);
  }

  {
    SCOPED_TRACE("own POP3 connection registered while connecting, exactly removed after");
    const std::uint32_t loopback = htonl(INADDR_LOOPBACK);
    TQuorClientSocket client("POPClient");
    client.SetHost("127.0.0.1");
    client.SetPort(110);
    client.ConnectRetries = 1;
    bool registered = false;
    client.SetStopFlag([&] {
      registered = registered || IsOutgoingPopConnection(loopback);
      return false;
    });
    ASSERT_TRUE(client.Connect());
    EXPECT_TRUE(registered);
    EXPECT_FALSE(IsOutgoingPopConnection(loopback));
    client.Close();
  }

  {
    SCOPED_TRACE("on the main thread the checks run on a worker");
    platform::MarkMainThread();
    EXPECT_EQ(CheckPopLogin("alice", "secret", "127.0.0.1", 3000), "");
    EXPECT_TRUE(CheckConnect("127.0.0.1", 110, 3000));
    EXPECT_FALSE(CheckConnect("127.0.0.2", 110, 3000));
    // A check that runs out of time never reads as success.
    const std::string text = CheckPopLogin("alice", "secret", "127.0.0.3", 400);
    EXPECT_FALSE(text.empty());
  }

  {
    SCOPED_TRACE("ICMP echo where the namespace allows unprivileged ping");
    PingStamps stamps;
    if (!test::WriteFileBytes("/proc/sys/net/ipv4/ping_group_range", "0 2147483647\n")) {
      GTEST_SKIP() << "cannot allow ICMP datagram sockets here";
    }
    TPingSettings settings;
    settings.Hosts = {"127.0.0.1"};
    SetPingSettings(settings);
    EXPECT_TRUE(PingInternet(60));
    EXPECT_EQ(LastPingMethod(), TPingMethod::Icmp);
  }
}

}  // namespace
}  // namespace halvorn
