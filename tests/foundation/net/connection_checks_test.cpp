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
using test::SilentListener;

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

TEST(ConnectionChecksInNamespace, ConnectAndPingOnPort110) {
  if (test::DovecotBinary().empty()) GTEST_SKIP() << "dovecot-pop3d is not installed";
  if (::getuid() != 0) GTEST_SKIP() << "needs root for a network namespace and port 110";
  HALVORN_IN_OWN_NETWORK_NAMESPACE(true);

  DovecotServer dovecot(110, {{"alice", "secret"}});
  ASSERT_TRUE(dovecot.Ok()) << dovecot.Error();

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
    EXPECT_TRUE(CheckConnect("127.0.0.1", 110, 3000));
    EXPECT_FALSE(CheckConnect("127.0.0.2", 110, 3000));
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
