// The line client against real peers on 127.0.0.1: Python servers that cut
// their lines into awkward packets, stay silent, send over-long lines or
// never accept.
#include "foundation/net/quor_client_socket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "foundation/time/clock.h"
#include "foundation/threads/heartbeat.h"
#include "platform/main_thread.h"
#include "support/scripted_tcp_server.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::ScriptedTcpServer;

struct Errors {
  std::vector<std::string> Texts;
  void Attach(TQuorClientSocket& client) {
    client.SetOnError(
        [this](TQuorAbstractClientSocket*, const std::string& text) { Texts.push_back(text); });
  }
};

void Prepare(TQuorClientSocket& client, std::uint16_t port, int timeOut = 5000) {
  client.SetHost("127.0.0.1");
  client.SetPort(port);
  client.TimeOut = timeOut;
  client.ConnectRetries = 1;
}

// A port on 127.0.0.1 with nothing listening.
std::uint16_t ClosedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t size = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
  ::close(fd);
  return ntohs(a.sin_port);
}

TEST(QuorClientSocket, LinesCutAcrossPacketsComeOutWholeWithEmptyLinesKept) {
  // Two lines in one packet, a CR and its LF in different packets, the empty
  // line between header and body, a bare LF, and a last line without a line
  // end before the peer closes.
  ScriptedTcpServer server(R"(
def handle(conn):
    for piece in [b'A\r\nB\r\n', b'Subject: x\r', b'\n\r\n', b'Body\r\n', b'E\n', b'tail']:
        conn.sendall(piece)
        time.sleep(0.05)
)");
  ASSERT_TRUE(server.Ok()) << server.Error();
  TQuorClientSocket client("Test");
  Errors errors;
  errors.Attach(client);
  Prepare(client, server.Port());
  LastNetworkSuccess.store(0);
  ASSERT_TRUE(client.Connect());
  EXPECT_NE(LastNetworkSuccess.load(), 0);
  std::vector<std::string> lines;
  std::string line;
  while (client.ReadLn(line)) lines.push_back(line);
  EXPECT_EQ(lines, (std::vector<std::string>{"A", "B", "Subject: x", "", "Body", "E", "tail"}));
  EXPECT_EQ(errors.Texts,
            (std::vector<std::string>{"Readln excepted with Connection Closed Gracefully."}));
  EXPECT_FALSE(client.Connected());
}

TEST(QuorClientSocket, WritesLinesAndStreams) {
  // The server answers each line with its length, and after "DATA" counts
  // the bytes up to the end mark.
  ScriptedTcpServer server(R"(
def handle(conn):
    f = conn.makefile('rb')
    while True:
        line = f.readline()
        if not line:
            return
        if line == b'DATA\r\n':
            data = b''
            while not data.endswith(b'.\r\n'):
                data += f.read1(65536)
            conn.sendall(b'GOT %d\r\n' % len(data))
        else:
            conn.sendall(b'LEN %d\r\n' % len(line))
)");
  ASSERT_TRUE(server.Ok()) << server.Error();
  TQuorClientSocket client("Test");
  Prepare(client, server.Port());
  ASSERT_TRUE(client.Connect());
  std::string line;
  ASSERT_TRUE(client.WriteLn("hello"));
  ASSERT_TRUE(client.ReadLn(line));
  EXPECT_EQ(line, "LEN 7");

  ASSERT_TRUE(client.WriteLn("DATA"));
  const std::string body = std::string(2497, 'x') + ".\r\n";
  std::vector<std::string> progress;
  ASSERT_TRUE(client.WriteStream(body, [&](const std::string& text, std::int64_t, std::int64_t) {
    progress.push_back(text);
  }));
  EXPECT_EQ(progress,
            (std::vector<std::string>{"wrote 1024 of 2500 bytes", "wrote 2048 of 2500 bytes",
                                      "wrote 2500 of 2500 bytes"}));
  ASSERT_TRUE(client.ReadLn(line));
  EXPECT_EQ(line, "GOT 2500");
  EXPECT_TRUE(client.Close());
  EXPECT_FALSE(client.Connected());
}

TEST(QuorClientSocket, DottedAnyAddressReachesTheLocalHost) {
  // The interception self-test connects to 0.0.0.0: its number is 0, which
  // must not read as a failed look-up.
  ScriptedTcpServer server(R"(
def handle(conn):
    conn.sendall(b'here\r\n')
)");
  ASSERT_TRUE(server.Ok()) << server.Error();
  TQuorClientSocket client("Test");
  Prepare(client, server.Port());
  client.SetHost("0.0.0.0");
  ASSERT_TRUE(client.Connect());
  std::string line;
  ASSERT_TRUE(client.ReadLn(line));
  EXPECT_EQ(line, "here");
}

TEST(QuorClientSocket, ReadAvailableKeepsLineEndsOfBufferedLines) {
  ScriptedTcpServer server(R"(
def handle(conn):
    conn.sendall(b'first\r\nsecond\r\nthird\r\npart')
    conn.recv(10)
)");
  ASSERT_TRUE(server.Ok()) << server.Error();
  TQuorClientSocket client("Test");
  Prepare(client, server.Port());
  ASSERT_TRUE(client.Connect());
  std::string line;
  ASSERT_TRUE(client.ReadLn(line));
  EXPECT_EQ(line, "first");
  std::string stream;
  // The rest may come in more than one read.
  while (stream.size() < 19 && client.ReadAvailable(stream)) {
  }
  EXPECT_EQ(stream, "second\r\nthird\r\npart");
  client.WriteLn("x");
}

TEST(QuorClientSocket, BinaryModeKeepsEveryByteAsItCame) {
  // Zero bytes, bare CR and LF, a CR LF cut between two packets, and the
  // peer closing after the last byte.
  ScriptedTcpServer server(R"(
def handle(conn):
    for piece in [b'\x00\x01\r', b'\n\x00\n\r', b'\r\n\x00end']:
        conn.sendall(piece)
        time.sleep(0.05)
)");
  ASSERT_TRUE(server.Ok()) << server.Error();
  TQuorClientSocket client("Test");
  Errors errors;
  errors.Attach(client);
  client.SetBinaryMode(true);
  Prepare(client, server.Port());
  ASSERT_TRUE(client.Connect());
  const std::string expected("\x00\x01\r\n\x00\n\r\r\n\x00" "end", 13);
  std::string stream;
  // Probing the connection reads too, and keeps what it read.
  for (int i = 0; i < 2000 && stream.size() < expected.size(); ++i) {
    client.Connected();
    client.ReadAvailable(stream);
  }
  EXPECT_EQ(test::HexOf(stream), test::HexOf(expected));
  std::string line;
  EXPECT_FALSE(client.ReadLn(line));
  EXPECT_EQ(errors.Texts, (std::vector<std::string>{"Readln excepted with binary mode"}));
}

TEST(QuorClientSocket, ReadTimeOutsReportOnlyAbove100Ms) {
  ScriptedTcpServer server(R"(
def handle(conn):
    conn.recv(10)
)");
  ASSERT_TRUE(server.Ok()) << server.Error();
  struct Row {
    int TimeOut;
    std::vector<std::string> Errors;
  };
  for (const Row& row : {Row{100, {}}, Row{300, {"Readln Timed Out."}}}) {
    SCOPED_TRACE(row.TimeOut);
    TQuorClientSocket client("Test");
    Errors errors;
    errors.Attach(client);
    Prepare(client, server.Port(), 5000);
    ASSERT_TRUE(client.Connect());
    client.TimeOut = row.TimeOut;
    std::string line = "stale";
    const std::int64_t start = SteadyMilliseconds();
    EXPECT_FALSE(client.ReadLn(line));
    EXPECT_GE(SteadyMilliseconds() - start, row.TimeOut);
    EXPECT_EQ(line, "");
    EXPECT_EQ(errors.Texts, row.Errors);
    client.WriteLn("x");
  }
}

TEST(QuorClientSocket, OverLongLineFailsAfterTheLinesBeforeIt) {
  ScriptedTcpServer server(R"(
def handle(conn):
    conn.sendall(b'ok\r\n' + b'x' * 10000001 + b'\r\nafter\r\n')
    time.sleep(1)
)");
  ASSERT_TRUE(server.Ok()) << server.Error();
  TQuorClientSocket client("Test");
  Errors errors;
  errors.Attach(client);
  Prepare(client, server.Port());
  ASSERT_TRUE(client.Connect());
  std::string line;
  ASSERT_TRUE(client.ReadLn(line));
  EXPECT_EQ(line, "ok");
  EXPECT_FALSE(client.ReadLn(line));
  EXPECT_EQ(errors.Texts, (std::vector<std::string>{"Readln excepted with line too long"}));
  // The stream is out of step: nothing after the over-long line is handed out.
  EXPECT_FALSE(client.Connected());
  EXPECT_FALSE(client.ReadLn(line));
}

TEST(QuorClientSocket, ConnectFailures) {
  const std::uint16_t closed = ClosedPort();
  {
    SCOPED_TRACE("port 0: no attempt, no error");
    TQuorClientSocket client("Test");
    Errors errors;
    errors.Attach(client);
    Prepare(client, 0);
    EXPECT_FALSE(client.Connect());
    EXPECT_TRUE(errors.Texts.empty());
  }
  {
    SCOPED_TRACE("refused five times: one error with the last message");
    TQuorClientSocket client("Test");
    Errors errors;
    errors.Attach(client);
    Prepare(client, closed, 60000);
    client.ConnectRetries = 5;
    EXPECT_FALSE(client.Connect());
    EXPECT_EQ(
        errors.Texts,
        (std::vector<std::string>{"TIndyClientSocket.Connect excepted with Connection refused"}));
    EXPECT_EQ(client.LastConnectAttempts(), 5);
    EXPECT_FALSE(client.PollTimerRunning());
  }
  {
    SCOPED_TRACE("a set terminated flag: no attempt");
    TQuorClientSocket client("Test");
    Errors errors;
    errors.Attach(client);
    Prepare(client, closed);
    client.SetTerminatedFlag([] { return true; });
    EXPECT_FALSE(client.Connect());
    EXPECT_TRUE(errors.Texts.empty());
    EXPECT_TRUE(client.WriteLn("ignored"));  // terminated: true without writing
    std::string stream;
    EXPECT_FALSE(client.ReadAvailable(stream));
  }
}

TEST(QuorClientSocket, HangingConnectEndsAtTheAttemptTimeOutOrTheStopFlag) {
  test::HangingTcpListener listener;
  {
    SCOPED_TRACE("no retries: the attempt takes TimeOut");
    TQuorClientSocket client("Test");
    Errors errors;
    errors.Attach(client);
    Prepare(client, listener.Port(), 300);
    client.ConnectRetries = 0;
    const std::int64_t start = SteadyMilliseconds();
    EXPECT_FALSE(client.Connect());
    const std::int64_t took = SteadyMilliseconds() - start;
    EXPECT_GE(took, 300);
    EXPECT_LT(took, 5000);
    EXPECT_EQ(
        errors.Texts,
        (std::vector<std::string>{"TIndyClientSocket.Connect excepted with Connect timed out."}));
  }
  {
    SCOPED_TRACE("the stop flag ends a long wait without an error");
    TQuorClientSocket client("Test");
    Errors errors;
    errors.Attach(client);
    Prepare(client, listener.Port(), 60000);
    int probes = 0;
    client.SetStopFlag([&] { return ++probes > 5; });
    const std::int64_t start = SteadyMilliseconds();
    EXPECT_FALSE(client.Connect());
    EXPECT_LT(SteadyMilliseconds() - start, 5000);
    EXPECT_GE(probes, 6);
    EXPECT_EQ(client.LastConnectAttempts(), 1);
    EXPECT_TRUE(errors.Texts.empty());
  }
}

TEST(QuorClientSocket, DestroyNotificationAndDisconnectEvent) {
  ScriptedTcpServer server(R"(
def handle(conn):
    conn.sendall(b'bye\r\n')
)");
  ASSERT_TRUE(server.Ok()) << server.Error();
  int destroyed = 0;
  int disconnects = 0;
  {
    TQuorClientSocket client("Test");
    client.SetDestroyNotification([&](TQuorAbstractClientSocket* c) {
      EXPECT_EQ(c->Name(), "Test");
      ++destroyed;
    });
    client.SetOnDisconnect([&](TQuorAbstractClientSocket*) { ++disconnects; });
    Prepare(client, server.Port());
    ASSERT_TRUE(client.Connect());
    EXPECT_TRUE(client.PollTimerRunning());
    std::string line;
    ASSERT_TRUE(client.ReadLn(line));
    // The peer has closed: the poll check notices once, and stops.
    while (client.PollTimerRunning()) client.PollTimer();
    client.PollTimer();
    EXPECT_EQ(disconnects, 1);
  }
  EXPECT_EQ(destroyed, 1);
}

TEST(QuorClientSocket, WaitsOnTheMainThreadKeepItsMessagesFlowing) {
  // The peer is served by the main thread's own message handling, as the
  // program's local servers are: the read can only succeed when the client's
  // wait handles messages.
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  socklen_t size = sizeof a;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &size);
  std::vector<int> accepted;
  int pumps = 0;
  platform::MarkMainThread();
  platform::SetMainThreadHooks({[&] {
                                  ++pumps;
                                  const int c =
                                      ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK);
                                  if (c < 0) return;
                                  accepted.push_back(c);
                                  ::send(c, "pong\r\n", 6, MSG_NOSIGNAL);
                                },
                                {}});
  {
    TQuorClientSocket client("Test");
    Prepare(client, ntohs(a.sin_port), 3000);
    ASSERT_TRUE(client.Connect());
    std::string line;
    EXPECT_TRUE(client.ReadLn(line));
    EXPECT_EQ(line, "pong");
  }
  platform::SetMainThreadHooks({});
  EXPECT_GT(pumps, 0);
  EXPECT_EQ(accepted.size(), 1u);
  for (int c : accepted) ::close(c);
  ::close(listener);
}

}  // namespace
}  // namespace halvorn
