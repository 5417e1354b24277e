// The line-server base driven by real sockets: Python clients on 127.0.0.1
// (and, for the restriction to local peers, on a second address inside a
// network namespace of the test's own) talk to an echo server while the test
// runs the event loop.
#include "foundation/net/quor_server.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <QCoreApplication>
#include <atomic>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "foundation/time/clock.h"
#include "foundation/net/host_names.h"
#include "platform/tcp_line_server.h"
#include "support/network_namespace.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

QCoreApplication* App() {
  static int argc = 1;
  static char name[] = "quor_server_test";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app = QCoreApplication::instance() ? QCoreApplication::instance()
                                                              : new QCoreApplication(argc, argv);
  return app;
}

class EchoConnection : public TQuorServerSpawnedSocket {
 public:
  EchoConnection(TQuorServer* server, std::unique_ptr<platform::TcpConnection> socket,
                 std::vector<std::string>* lines)
      : TQuorServerSpawnedSocket(server, std::move(socket)), FLines(lines) {}

  void ProcessLine(const std::string& line) override {
    FLines->push_back(line);
    if (line == "QUIT") {
      SignOff("Bye");
    } else if (line == "COUNT") {
      SendLine(std::to_string(Server()->CountConnectionsFrom(PeerAddress())) + " " +
               std::to_string(Server()->ActiveConnections()));
    } else if (line == "ENDS") {
      SendLine("pre\r\n");  // already ended: sent unchanged
      SendLine("");         // an empty line is a bare CR LF
    } else if (line == "PAUSE") {
      // Lines that come meanwhile wait and are handled on resume, in order.
      SetPaused(true);
      SendLine("paused");
      FResume = std::make_unique<platform::Timer>([this] {
        FResume->Stop();
        SetPaused(false);
      });
      FResume->Start(150);
    } else if (line == "FLOOD") {
      SendLines(std::vector<std::string>(20000, std::string(1000, 'F')));
    } else if (line == "BREAKTICK") {
      FBreakTick = true;
      SendLine("breaking");
    } else if (line == "DELAY") {
      SendLineDelayed("first", 200);
      SendLineDelayed("second", 0);
      SignOff("Bye");
    } else {
      SendLine("echo:" + line);
    }
  }

  // Raises once when asked to, in place of a normal tick.
  void TickTimer() override {
    if (FBreakTick) {
      FBreakTick = false;
      throw std::runtime_error("the tick broke");
    }
    TQuorServerSpawnedSocket::TickTimer();
  }

  // Refuses peers that are not this machine when the server is restricted.
  bool AcceptPeer() override {
    if (RestrictToLocalHost() && !IsLocalHost(PeerAddress())) {
      SignOff("Access denied.");
      return false;
    }
    return true;
  }

 private:
  std::vector<std::string>* FLines;
  std::unique_ptr<platform::Timer> FResume;
  bool FBreakTick = false;
};

class EchoServer : public TQuorServer {
 public:
  EchoServer() {
    SetTranscriptFileName("TEchoServer");
    SetPort(0);
    OnLog = [this](TQuorServer*, TQuorServerSpawnedSocket* c, const std::string& text,
                   std::uint8_t detail, bool error) {
      Records.push_back("(" + std::to_string(c->ConnectionNumber()) + ") " + text + "|" +
                        std::to_string(detail) + (error ? "|E" : ""));
      return true;
    };
  }
  std::vector<std::string> Lines;
  std::vector<std::string> Records;

  bool HasRecord(const std::string& r) const {
    return std::find(Records.begin(), Records.end(), r) != Records.end();
  }

 protected:
  std::unique_ptr<TQuorServerSpawnedSocket> CreateConnection(
      std::unique_ptr<platform::TcpConnection> socket) override {
    return std::make_unique<EchoConnection>(this, std::move(socket), &Lines);
  }
};

// The timers of the server need the application object before any server
// exists.
class QuorServer : public testing::Test {
 protected:
  static void SetUpTestSuite() { App(); }
};

// Common part of the client scripts: connect, send pieces, read to the end.
const char* kClientHelpers = R"PY(
import socket, sys, time
PORT = int(sys.argv[1]) if len(sys.argv) > 1 else 0
def conn(host="127.0.0.1", source=None):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.settimeout(10)
    if source:
        s.bind((source, 0))
    s.connect((host, PORT))
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s
def pieces(s, *parts):
    for p in parts:
        s.sendall(p)
        time.sleep(0.05)
def readall(s):
    data = b""
    while True:
        try:
            d = s.recv(65536)
        except socket.timeout:
            return data + b"<TIMEOUT>"
        except ConnectionResetError:
            return data + b"<RESET>"
        if not d:
            return data + b"<EOF>"
        data += d
def readline(s):
    data = b""
    while not data.endswith(b"\n"):
        d = s.recv(1)
        if not d:
            return data + b"<EOF>"
        data += d
    return data
def out(tag, data):
    sys.stdout.buffer.write(tag.encode() + b"=" + data.replace(b"\r", b"\\r").replace(b"\n", b"\\n") + b"\n")
)PY";

// Runs the Python client on a thread while this thread runs the event loop;
// answers its standard output. Gives up (and fails) after 60 s.
std::string RunClient(EchoServer& server, const std::string& script) {
  App();
  std::string port = std::to_string(server.BoundPort());
  std::atomic<bool> done{false};
  test::CommandResult result;
  std::thread client([&] {
    result =
        test::RunCommand({test::PythonPath(), "-c", std::string(kClientHelpers) + script, port});
    done = true;
  });
  const std::int64_t start = SteadyMilliseconds();
  while (!done && SteadyMilliseconds() - start < 60000)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  client.join();
  // Let the ended connections be freed.
  for (int i = 0; i < 20; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  EXPECT_EQ(result.ExitCode, 0) << result.Output;
  return result.Output;
}

void StartServer(EchoServer& server) {
  App();
  ASSERT_EQ(server.SetActive(true), "");
  ASSERT_NE(server.BoundPort(), 0);
}

TEST_F(QuorServer, SplitsLinesWhateverThePackets) {
  EchoServer server;
  StartServer(server);
  std::string out = RunClient(server, R"PY(
s = conn()
pieces(s, b"HEL", b"LO\r", b"\nTWO\r\n", b"a\nb\n", b"x\x00y\r\n\r\n", b"QUIT\r\n")
out("one", readall(s))
s = conn()
s.sendall(b"last\r\nQUIT\r\n")
out("two", readall(s))
)PY");
  EXPECT_NE(out.find("one=echo:HELLO\\r\\necho:TWO\\r\\necho:a\\r\\necho:b\\r\\necho:xy\\r\\necho:"
                     "\\r\\nBye Halvorn server signing off\\r\\n<EOF>"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("two=echo:last\\r\\nBye Halvorn server signing off\\r\\n<EOF>"),
            std::string::npos)
      << out;
  EXPECT_EQ(server.Lines,
            (std::vector<std::string>{"HELLO", "TWO", "a", "b", "xy", "", "QUIT", "last", "QUIT"}));
  // Log records: numbered per server from 1, under the server's name.
  EXPECT_TRUE(server.HasRecord("(1) User connected. IP = 127.0.0.1|8")) << server.Records[0];
  EXPECT_TRUE(server.HasRecord("(1) Sent: \"echo:HELLO\"|2"));
  EXPECT_TRUE(server.HasRecord("(1) Disconnected. IP = 127.0.0.1|4"));
  EXPECT_TRUE(server.HasRecord("(2) User connected. IP = 127.0.0.1|8"));
  EXPECT_EQ(server.ActiveConnections(), 0);
  EXPECT_EQ(server.CountConnectionsFrom(StrToIP("127.0.0.1")), 0);
}

TEST_F(QuorServer, InterceptCheckAnsweredBeforeTheBanner) {
  EchoServer server;
  server.SetBanner("+OK ready");
  StartServer(server);
  std::string out = RunClient(server, R"PY(
s = conn()
s.sendall(b"~~Intercept check~~\r\n")
out("first", readline(s))
out("second", readline(s))
s.sendall(b" ~~Intercept check~~\r\n~~Intercept check~~ \r\nQUIT\r\n")
out("rest", readall(s))
)PY");
  EXPECT_NE(out.find("first=~~Intercept confirmed~~\\r\\n"), std::string::npos) << out;
  EXPECT_NE(out.find("second=+OK ready\\r\\n"), std::string::npos) << out;
  EXPECT_NE(out.find("rest=echo: ~~Intercept check~~\\r\\necho:~~Intercept check~~ \\r\\n"),
            std::string::npos)
      << out;
  // Only the near-misses reach the protocol.
  EXPECT_EQ(server.Lines,
            (std::vector<std::string>{" ~~Intercept check~~", "~~Intercept check~~ ", "QUIT"}));
}

TEST_F(QuorServer, TimesOutIdleAndHalfLineClients) {
  EchoServer server;
  server.SetTimeOut(300);
  server.SetTickInterval(50);
  StartServer(server);
  std::string out = RunClient(server, R"PY(
s = conn()
out("idle", readall(s))
s = conn()
s.sendall(b"PING\r\nHALF")
out("half", readall(s))
)PY");
  EXPECT_NE(out.find("idle=Sorry user timed out. Halvorn server signing off\\r\\n<EOF>"),
            std::string::npos)
      << out;
  EXPECT_NE(
      out.find("half=echo:PING\\r\\nSorry user timed out. Halvorn server signing off\\r\\n<EOF>"),
      std::string::npos)
      << out;
  EXPECT_EQ(server.Lines, (std::vector<std::string>{"PING"}));
  EXPECT_TRUE(server.HasRecord("(1) User connection timed out.|9|E"));
}

// A tick that raises: its error is logged, and the next tick ends the
// connection.
TEST_F(QuorServer, AFailedTickIsLoggedAndEndsTheConnection) {
  EchoServer server;
  server.SetTickInterval(50);
  StartServer(server);
  std::string out = RunClient(server, R"PY(
s = conn()
s.sendall(b"BREAKTICK\r\n")
out("broken", readall(s))
)PY");
  EXPECT_NE(out.find("broken=breaking\\r\\n<EOF>"), std::string::npos) << out;
  EXPECT_TRUE(server.HasRecord("(1) Tick failed: the tick broke|8|E"));
}

TEST_F(QuorServer, ClosesALineBeyondTheCap) {
  EchoServer server;
  server.SetMaxLineLength(4000);
  StartServer(server);
  std::string out = RunClient(server, R"PY(
s = conn()
s.sendall(b"ok\r\n" + b"L" * 1500 + b"\r\n")
out("long", readline(s) + readline(s)[-6:])
s.sendall(b"x" * 20000)
out("over", readall(s))
)PY");
  // A long complete line is handled (and logged); a line beyond the cap ends
  // the connection without reaching the protocol.
  EXPECT_NE(out.find("long=echo:ok\\r\\nLLLL\\r\\n"), std::string::npos) << out;
  EXPECT_TRUE(out.find("over=<EOF>") != std::string::npos ||
              out.find("over=<RESET>") != std::string::npos)
      << out;
  ASSERT_EQ(server.Lines.size(), 2u);
  EXPECT_EQ(server.Lines[1], std::string(1500, 'L'));
  EXPECT_TRUE(server.HasRecord(
      "(1) Line read exceding 1000 characters.  Possible buffer overflow attempt.|10|E"));
  EXPECT_TRUE(server.HasRecord(
      "(1) Line without line end exceeding 4000 characters.  Connection closed.|10|E"));
}

TEST_F(QuorServer, DelayedLinesKeepTheirOrderBeforeTheSignOff) {
  EchoServer server;
  StartServer(server);
  std::string out = RunClient(server, R"PY(
s = conn()
s.sendall(b"DELAY\r\nNEVER\r\n")
out("delayed", readall(s))
)PY");
  EXPECT_NE(out.find("delayed=first\\r\\nsecond\\r\\nBye Halvorn server signing off\\r\\n<EOF>"),
            std::string::npos)
      << out;
  // Once the connection is ending, later lines are not handled.
  EXPECT_EQ(server.Lines, (std::vector<std::string>{"DELAY"}));
}

TEST_F(QuorServer, PausesCountsAndLineEnds) {
  EchoServer server;
  StartServer(server);
  std::string out = RunClient(server, R"PY(
a = conn()
a.sendall(b"COUNT\r\n")
out("one", readline(a))
b = conn()
b.sendall(b"COUNT\r\nENDS\r\nPAUSE\r\nA\r\nB\r\n")
out("two", readline(b) + readline(b) + readline(b) + readline(b) + readline(b) + readline(b))
a.close()
time.sleep(0.3)
b.sendall(b"COUNT\r\nQUIT\r\n")
out("after", readall(b))
)PY");
  EXPECT_NE(out.find("one=1 1\\r\\n"), std::string::npos) << out;
  EXPECT_NE(out.find("two=2 2\\r\\npre\\r\\n\\r\\npaused\\r\\necho:A\\r\\necho:B\\r\\n"),
            std::string::npos)
      << out;
  // The first connection is gone once its object was freed.
  EXPECT_NE(out.find("after=1 1\\r\\n"), std::string::npos) << out;
  EXPECT_EQ(server.Lines, (std::vector<std::string>{"COUNT", "COUNT", "ENDS", "PAUSE", "A", "B",
                                                    "COUNT", "QUIT"}));
  EXPECT_EQ(server.ActiveConnections(), 0);
}

// A client that stops reading while the server sends is timed out, and the
// close that cannot flush is cut off after the time-out: the connection does
// not hang on with its unsent data.
TEST_F(QuorServer, PeerThatStopsReadingIsCutOff) {
  EchoServer server;
  server.SetTimeOut(300);
  server.SetTickInterval(50);
  StartServer(server);
  std::string out = RunClient(server, R"PY(
s = conn()
s.sendall(b"FLOOD\r\n")
time.sleep(2)
data = readall(s)
out("end", data[-7:])
out("size", str(len(data)).encode())
)PY");
  EXPECT_TRUE(out.find("<RESET>") != std::string::npos || out.find("<EOF>") != std::string::npos)
      << out;
  EXPECT_EQ(out.find("size=20000"), std::string::npos) << out;  // not everything went out
  EXPECT_TRUE(server.HasRecord("(1) User connection timed out.|9|E"));
  EXPECT_EQ(server.ActiveConnections(), 0);
}

// Freeing the server while a client is connected ends the connection without
// calling into the freed subclass (its log hook included).
TEST_F(QuorServer, FreeingTheServerEndsLiveConnections) {
  auto server = std::make_unique<EchoServer>();
  StartServer(*server);
  std::string script = std::string(kClientHelpers) + R"PY(
s = conn()
s.sendall(b"HELLO\r\n")
out("first", readline(s))
s.sendall(b"READY\r\n")
out("rest", readall(s))
)PY";
  std::atomic<bool> done{false};
  test::CommandResult result;
  std::thread client([&] {
    result =
        test::RunCommand({test::PythonPath(), "-c", script, std::to_string(server->BoundPort())});
    done = true;
  });
  const std::int64_t start = SteadyMilliseconds();
  while (!done && SteadyMilliseconds() - start < 60000) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    if (server && server->Lines.size() == 2) server.reset();
  }
  client.join();
  EXPECT_EQ(server, nullptr);
  EXPECT_NE(result.Output.find("first=echo:HELLO\\r\\n"), std::string::npos) << result.Output;
  // The connection ends (the echo of READY may or may not get out first).
  EXPECT_TRUE(result.Output.find("<EOF>") != std::string::npos ||
              result.Output.find("<RESET>") != std::string::npos)
      << result.Output;
}

// Runs inside a network namespace of its own (the test reruns itself there):
// the loopback device gets a second address, 10.200.0.1, which is not this
// machine's for the server.
TEST_F(QuorServer, RestrictedServerRefusesNonLocalPeer) {
  HALVORN_IN_OWN_NETWORK_NAMESPACE(false);
  ASSERT_EQ(test::RunCommand({"ip", "addr", "add", "10.200.0.1/32", "dev", "lo"}).ExitCode, 0);
  EchoServer server;
  server.SetRestrictToLocalHost(true);
  server.SetBanner("+OK ready");
  StartServer(server);
  std::string out = RunClient(server, R"PY(
s = conn("10.200.0.1", "10.200.0.1")
s.sendall(b"~~Intercept check~~\r\nHELLO\r\n")
out("far", readall(s))
s = conn()
s.sendall(b"HELLO\r\nQUIT\r\n")
out("near", readall(s))
)PY");
  // The far peer gets neither the interception answer nor the banner, and
  // nothing it sent reaches the protocol.
  // What the far peer sent stays unread, so its close may come as a reset.
  EXPECT_NE(out.find("far=Access denied. Halvorn server signing off\\r\\n<"), std::string::npos)
      << out;
  EXPECT_NE(out.find("near=echo:HELLO\\r\\n"), std::string::npos) << out;
  EXPECT_EQ(server.Lines, (std::vector<std::string>{"HELLO", "QUIT"}));
  EXPECT_TRUE(server.HasRecord("(1) User connected. IP = 10.200.0.1|8"));
}

}  // namespace
}  // namespace halvorn
