// The local link server driven by real clients on 127.0.0.1 (Python's
// http.client and raw sockets, curl) while the test runs the event loop: the
// HTTP core's parsing, replies and limits, and the checks that keep other
// machines, other pages and clients without the installation's key out.
#include "processing/link_server.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>

#include <QCoreApplication>
#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "foundation/files/version_info.h"
#include "foundation/time/clock.h"
#include "message/link_key.h"
#include "support/network_namespace.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

constexpr char kKey[] = "0123456789abcdef0123456789abcdef";

QCoreApplication* App() {
  static int argc = 1;
  static char name[] = "link_server_test";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app = QCoreApplication::instance() ? QCoreApplication::instance()
                                                              : new QCoreApplication(argc, argv);
  return app;
}

// A link server whose every command records its call and answers a page
// naming the command and the values it saw.
class RecordingServer : public TCategorizeHttpServer {
 public:
  RecordingServer() {
    SetPort(0);
    for (const std::string& name : LinkCommandNames())
      BindCommand(name, [this, name](TCategorizeHttpServerSpawnedSocket& c, const TQuorUrl& link,
                                     const TStringList& form) {
        Calls.push_back(name + "|" + link.Values("CId") + "|" + link.Values("Hint") + "|" +
                        form.Text());
        c.SendHtml(200, name, "done " + name);
      });
    OnWriteToLog = [this](TMiniHttpServerSpawnedSocket*, const std::string& text, bool) {
      Logs.push_back(text);
    };
  }
  std::vector<std::string> Calls;
  std::vector<std::string> Logs;
};

class LinkServer : public testing::Test {
 protected:
  void SetUp() override {
    App();
    SetLinkKeyForTesting(kKey);
    ASSERT_EQ(Server.SetActive(true), "");
    ASSERT_NE(Server.BoundPort(), 0);
  }
  void TearDown() override { SetLinkKeyForTesting(""); }

  // Runs the command on a thread while this thread runs the event loop;
  // answers its standard output.
  std::string Run(const std::vector<std::string>& argv) {
    std::atomic<bool> done{false};
    test::CommandResult result;
    std::thread client([&] {
      result = test::RunCommand(argv);
      done = true;
    });
    const std::int64_t start = SteadyMilliseconds();
    while (!done && SteadyMilliseconds() - start < 90000)
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    client.join();
    for (int i = 0; i < 20; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    EXPECT_EQ(result.ExitCode, 0) << result.Output;
    return result.Output;
  }
  std::string RunPython(const std::string& script) {
    return Run({test::PythonPath(), "-c", std::string(kHelpers) + script,
                std::to_string(Server.BoundPort()), kKey});
  }
  bool HasLog(const std::string& part) const {
    for (const std::string& l : Server.Logs)
      if (l.find(part) != std::string::npos) return true;
    return false;
  }

  RecordingServer Server;

  static constexpr const char* kHelpers = R"PY(
import socket, sys, time, http.client, email.utils
PORT = int(sys.argv[1]); KEY = sys.argv[2]
def conn():
    s = socket.create_connection(("127.0.0.1", PORT), timeout=20)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s
def response(s):
    """One reply: (status line, header lines, body); None at EOF."""
    data = b""
    while b"\r\n\r\n" not in data:
        d = s.recv(1)
        if not d:
            return None if not data else (data, [], b"")
        data += d
    lines = data[:-4].split(b"\r\n")
    length = 0
    for l in lines[1:]:
        if l.lower().startswith(b"content-length:"):
            length = int(l.split(b":", 1)[1])
    body = b""
    while len(body) < length:
        d = s.recv(length - len(body))
        if not d:
            break
        body += d
    return lines[0], lines[1:], body
def rest(s):
    data = b""
    try:
        while True:
            d = s.recv(65536)
            if not d:
                return data + b"<EOF>"
            data += d
    except socket.timeout:
        return data + b"<OPEN>"
    except ConnectionResetError:
        return data + b"<EOF>"
def out(tag, value):
    if isinstance(value, bytes):
        value = value.decode("latin-1")
    print(tag + "=" + str(value).replace("\r", "\\r").replace("\n", "\\n"))
)PY";
};

std::map<std::string, std::string> Tagged(const std::string& output) {
  std::map<std::string, std::string> values;
  for (const std::string& line : test::OutputLines(output)) {
    const std::size_t eq = line.find('=');
    if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return values;
}

TEST(LinkServerChecks, HostAndOriginHeaders) {
  struct Row {
    const char* Value;
    bool Host;
    bool Origin;
  } rows[] = {
      {"localhost:6173", true, false},        {"LocalHost:6173", true, false},
      {"127.0.0.1:6173", true, false},        {"127.1.2.3:6173", true, false},
      {"[::1]:6173", true, false},            {" localhost:6173 ", true, false},
      {"localhost", false, false},            {"localhost:6174", false, false},
      {"attacker.example:6173", false, false}, {"128.0.0.1:6173", false, false},
      {"127.0.0.256:6173", false, false},     {"127.0.0:6173", false, false},
      {"127.0.0.1.5:6173", false, false},     {"localhost.attacker.example:6173", false, false},
      {"http://localhost:6173", false, true}, {"HTTP://127.0.0.1:6173", false, true},
      {"http://[::1]:6173", false, true},     {"null", false, true},
      {"https://localhost:6173", false, false}, {"http://localhost:8080", false, false},
      {"http://attacker.example", false, false}, {"http://localhost:6173/x", false, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Value);
    EXPECT_EQ(IsOwnHostHeader(row.Value, 6173), row.Host);
    EXPECT_EQ(IsOwnOrigin(row.Value, 6173), row.Origin);
  }
}

TEST(LinkServerChecks, CategorizedPagesNeverKeepContentIdZero) {
  App();
  TCategorizeHttpServer server;
  server.AddCategorizedPage(0, "first");
  EXPECT_EQ(server.FindCategorizedPage(0), nullptr);
  server.AddCategorizedPage(7, "seven");
  server.AddCategorizedPage(7, "again");
  ASSERT_NE(server.FindCategorizedPage(7), nullptr);
  EXPECT_EQ(*server.FindCategorizedPage(7), "seven");
  EXPECT_EQ(server.MaxConnections, 999);
  EXPECT_EQ(server.Templates[lptConfirmPrompt], kTemplateFallbackPage);
  EXPECT_FALSE(server.BindCommand("categorize", nullptr));
}

// Status line and headers byte for byte (Date read by Python's own parser),
// the standard page, NOOP without a handler, keep-alive and Close.
TEST_F(LinkServer, RepliesHeadersAndKeepAlive) {
  const std::string out = RunPython(R"PY(
s = conn()
s.sendall(b"GET NOOP HTTP/1.1\r\n\r\n")
st, hs, body = response(s)
out("noop", st); out("noopbody", body)
date = [h for h in hs if h.startswith(b"Date: ")][0][6:].decode()
out("date", email.utils.parsedate_to_datetime(date).year == time.gmtime().tm_year)
out("headers", b"|".join(h for h in hs if not h.startswith(b"Date: ")))
s.sendall(b"GET /GetUserId?LinkKey=" + KEY.encode() + b" HTTP/1.1\r\nConnection: keep-alive\r\n\r\n")
st, hs, body = response(s)
out("second", st); out("secondbody", body)
s.sendall(b"GET /GetUserId?LinkKey=" + KEY.encode() + b" HTTP/1.1\r\nConnection: close\r\nConnection: Keep-Alive\r\n\r\n")
out("keepbeats", response(s)[0])
s.sendall(b"GET /GetUserId?LinkKey=" + KEY.encode() + b" HTTP/1.1\r\nConnection: close\r\n\r\n")
out("closed", response(s)[0]); out("after", rest(s))
c = http.client.HTTPConnection("127.0.0.1", PORT, timeout=20)
c.request("HEAD", "/ListAddress?LinkKey=" + KEY)
r = c.getresponse(); out("head", r.status); out("headlen", r.getheader("Content-Length")); out("headbody", r.read())
c.request("GET", "/ListAddress?LinkKey=" + KEY + "&Hint=SPAM")
r = c.getresponse(); out("afterhead", r.read())
)PY");
  auto v = Tagged(out);
  EXPECT_EQ(v["noop"], "HTTP/1.1 201 Created");
  EXPECT_EQ(v["noopbody"],
            "<html><head><meta name=\"GENERATOR\" content=\"Quorvantis\"><title></title></head>"
            "<body></body></html>");
  EXPECT_EQ(v["date"], "True");
  EXPECT_EQ(v["headers"], std::string("Server: Quorvantis Halvorn") + GetVersionText() +
                              "|Content-Type: text/html|Content-Length: " +
                              std::to_string(v["noopbody"].size()) +
                              "|Accept-Ranges: none|Referrer-Policy: no-referrer");
  EXPECT_EQ(v["second"], "HTTP/1.1 200 OK");
  EXPECT_NE(v["secondbody"].find("done GetUserId"), std::string::npos);
  EXPECT_EQ(v["keepbeats"], "HTTP/1.1 200 OK");
  EXPECT_EQ(v["closed"], "HTTP/1.1 200 OK");
  EXPECT_EQ(v["after"], "<EOF>");
  // HEAD: the header (with the length the body would have) and nothing else,
  // so the next reply on the connection is read whole.
  EXPECT_EQ(v["head"], "200");
  EXPECT_NE(v["headlen"], "0");
  EXPECT_EQ(v["headbody"], "");
  EXPECT_NE(v["afterhead"].find("done ListAddress"), std::string::npos);
  // "Hint" is dropped before the command sees the link.
  EXPECT_EQ(Server.Calls.back(), "ListAddress|||");
}

// Requests split at every byte, a body in a later read, a body holding
// CR LF CR LF, a POST of a form, and malformed requests.
TEST_F(LinkServer, ParsesSplitRequestsAndBodies) {
  const std::string out = RunPython(R"PY(
s = conn()
for b in b"GET /MsgInfo?MsgId=5&LinkKey=" + KEY.encode() + b" HTTP/1.1\r\nHost: localhost:%d\r\n\r\n" % PORT:
    s.sendall(bytes([b]))
out("bytewise", response(s)[2])
form = b"NewUserId=a%20b&LinkKey=" + KEY.encode() + b"&X=1\r\n\r\nY=2"
s.sendall(b"POST /PopUserInfo?LinkKey=wrong HTTP/1.1\r\nContent-Length: %d\r\n\r\n" % len(form))
time.sleep(0.2)
s.sendall(form)
out("post", response(s)[2])
s.sendall(b"POST /Categorize?LinkKey=" + KEY.encode() + b" HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc")
out("postother", response(s)[2])
s.sendall(b"GET /categorize?LinkKey=" + KEY.encode() + b" HTTP/1.1\r\n\r\n")
out("case", response(s)[2])
s.sendall(b"GET /Nothing?LinkKey=" + KEY.encode() + b" HTTP/1.1\r\n\r\n")
out("unknown", response(s)[2])
s.sendall(b"GET /Categorize\r\n\r\n")
out("noversion", response(s)[2])
s2 = conn(); s2.sendall(b"x\r\n\r\n\r\n\r\n")
out("garbage", response(s2)[2])
s3 = conn(); s3.sendall(b"\r\n\r\n\r\n\r\n")
r = response(s3); out("empty", r[0]); out("emptybody", r[2]); out("emptyafter", rest(s3))
)PY");
  auto v = Tagged(out);
  EXPECT_NE(v["bytewise"].find("done MsgInfo"), std::string::npos);
  EXPECT_NE(v["post"].find("done PopUserInfo"), std::string::npos);
  const std::string bad = std::string("<html><head><meta name=\"GENERATOR\" content=\"Quorvantis\">"
                                      "<title>Bad URL error</title></head><body>") +
                          kBadUrlBody + "</body></html>";
  EXPECT_EQ(v["postother"], bad);
  EXPECT_EQ(v["case"], bad);
  EXPECT_EQ(v["unknown"], bad);
  EXPECT_EQ(v["noversion"], bad);
  EXPECT_EQ(v["garbage"], bad);
  EXPECT_EQ(v["empty"], "HTTP/1.1 404 Not found");
  EXPECT_NE(v["emptybody"].find(kMalformedHeaderBody), std::string::npos);
  EXPECT_EQ(v["emptyafter"], "<EOF>");
  ASSERT_EQ(Server.Calls.size(), 2u);
  EXPECT_EQ(Server.Calls[0], "MsgInfo|||");
  // The whole body, CR LF CR LF and all, reaches the account command.
  EXPECT_EQ(Server.Calls[1], std::string("PopUserInfo|||NewUserId=a%20b&LinkKey=") + kKey +
                                 "&X=1\r\n\r\nY=2\r\n");
}

// Every command refuses a missing or wrong key, a foreign Host and another
// port's Origin: 403, and the command never runs. Pictures need no key but
// lose what they would record.
TEST_F(LinkServer, RefusesLinksWithoutThisInstallationsKey) {
  const std::string out = RunPython(std::string("names = [") + [] {
    std::string list;
    for (const std::string& n : LinkCommandNames()) list += "\"" + n + "\",";
    return list;
  }() + R"PY(]
c = http.client.HTTPConnection("127.0.0.1", PORT, timeout=20)
def status(path, headers={}, method="GET", body=None):
    c.request(method, path, body=body, headers=headers)
    r = c.getresponse(); data = r.read()
    return r.status, data
good = "LinkKey=" + KEY
for n in names:
    if n == "Image":
        continue
    out(n + ".nokey", status("/" + n + "?A=1")[0])
    out(n + ".wrong", status("/" + n + "?LinkKey=" + KEY[:-1] + "0")[0])
    out(n + ".host", status("/" + n + "?" + good, {"Host": "attacker.example"})[0])
    out(n + ".origin", status("/" + n + "?" + good, {"Origin": "http://127.0.0.1:%d" % (PORT + 1)})[0])
out("post.nokey", status("/PopUserInfo?" + good, method="POST", body="NewUserId=x")[0])
out("page", status("/Categorize?A=1")[1])
out("image", status("/Image?Name=Quor.jpg&CId=12&OrigUrl=http://x/")[0])
out("imagehost", status("/Image?Name=Quor.jpg", {"Host": "attacker.example:%d" % PORT})[0])
out("imagekey", status("/Image?Name=Quor.jpg&CId=12&" + good)[0])
)PY");
  auto v = Tagged(out);
  for (const std::string& name : LinkCommandNames()) {
    if (name == "Image") continue;
    SCOPED_TRACE(name);
    EXPECT_EQ(v[name + ".nokey"], "403");
    EXPECT_EQ(v[name + ".wrong"], "403");
    EXPECT_EQ(v[name + ".host"], "403");
    EXPECT_EQ(v[name + ".origin"], "403");
  }
  EXPECT_EQ(v["post.nokey"], "403");
  EXPECT_EQ(v["page"], std::string("<html><head><meta name=\"GENERATOR\" content=\"Quorvantis\">"
                                   "<title>403 Error</title></head><body>") +
                           kForbiddenBody + "</body></html>");
  EXPECT_EQ(v["image"], "200");
  EXPECT_EQ(v["imagehost"], "403");
  EXPECT_EQ(v["imagekey"], "200");
  ASSERT_EQ(Server.Calls.size(), 2u);
  EXPECT_EQ(Server.Calls[0], "Image|||");
  EXPECT_EQ(Server.Calls[1], "Image|12||");
  // Refusals are logged without the query.
  EXPECT_TRUE(HasLog("Refused a request for \"Categorize\""));
  for (const std::string& l : Server.Logs) EXPECT_EQ(l.find(kKey), std::string::npos) << l;
}

// Oversized requests are answered once and closed; a client that drips its
// request is cut off after the request time.
TEST_F(LinkServer, BoundsRequests) {
  Server.RequestTimeOut = 1500;
  Server.TickInterval = 100;
  const std::string out = RunPython(R"PY(
def one(data):
    s = conn()
    try:
        s.sendall(data)
    except (BrokenPipeError, ConnectionResetError):
        pass
    r = response(s)
    return (r[0] + b" " + r[2]) if r else b"none", rest(s)
q = b"GET /GetUserId?LinkKey=" + KEY.encode() + b"&A=" + b"x" * 10000 + b" HTTP/1.1\r\n\r\n"
out("query", b"|".join(one(q)))
ok = b"GET /GetUserId?LinkKey=" + KEY.encode() + b"&A=" + b"x" * 9900 + b" HTTP/1.1\r\nConnection: close\r\n\r\n"
out("querylimit", one(ok)[0][:15])
out("header", b"|".join(one(b"GET /x HTTP/1.1\r\nX: " + b"y" * 70000 + b"\r\n\r\n")))
out("length", b"|".join(one(b"POST /PopUserInfo HTTP/1.1\r\nContent-Length: 99999999999\r\n\r\n")))
out("length2", b"|".join(one(b"POST /PopUserInfo HTTP/1.1\r\nContent-Length: 70000\r\n\r\n")))
s = conn()
start = time.time()
# Drip for a while (each byte well inside the idle time), then fall silent
# before the request time ends, so the close is the server's doing.
for b in b"GET /GetUserId HTTP/1.1\r\nX: " + b"y" * 100:
    if time.time() - start > 1.0:
        break
    s.sendall(bytes([b])); time.sleep(0.05)
r = response(s)
out("drip", r[0] + b" " + r[2] if r else b"none")
)PY");
  auto v = Tagged(out);
  EXPECT_NE(v["query"].find("HTTP/1.1 414 Request-URL Too Large <html>"), std::string::npos);
  EXPECT_NE(v["query"].find(HttpErrorBody("414 Error", "the requested URL was too long.")),
            std::string::npos);
  EXPECT_NE(v["query"].find("|<EOF>"), std::string::npos);
  EXPECT_EQ(v["querylimit"], "HTTP/1.1 200 OK");
  EXPECT_NE(v["header"].find("HTTP/1.1 413 Request Entity Too Large"), std::string::npos);
  EXPECT_NE(v["header"].find("your request was too large."), std::string::npos);
  EXPECT_NE(v["length"].find("HTTP/1.1 413"), std::string::npos);
  EXPECT_NE(v["length2"].find("HTTP/1.1 413"), std::string::npos);
  EXPECT_NE(v["drip"].find("HTTP/1.1 408 Request Time-Out"), std::string::npos);
  EXPECT_NE(v["drip"].find("your request took too long."), std::string::npos);
  EXPECT_TRUE(HasLog("Request not complete in time"));
}

// Past MaxConnections a client gets the page and is closed; once the crowd
// leaves, a later client is served.
TEST_F(LinkServer, ClosesConnectionsPastTheLimit) {
  Server.MaxConnections = 40;
  const std::string out = RunPython(R"PY(
crowd = [conn() for _ in range(40)]
extra = conn()
r = response(extra)
out("extra", r[0] + b" " + r[2]); out("extraafter", rest(extra))
for s in crowd:
    s.close()
time.sleep(0.5)
c = http.client.HTTPConnection("127.0.0.1", PORT, timeout=20)
c.request("GET", "/GetUserId?LinkKey=" + KEY)
out("later", c.getresponse().status)
)PY");
  auto v = Tagged(out);
  EXPECT_EQ(v["extra"], std::string("HTTP/1.1 200 OK <html><head><meta name=\"GENERATOR\" "
                                    "content=\"Quorvantis\"><title>Maximum Connections "
                                    "Exceeded</title></head><body>") +
                            kMaxConnectionsBody + "</body></html>");
  EXPECT_EQ(v["extraafter"], "<EOF>");
  EXPECT_EQ(v["later"], "200");
}

// Out of descriptors, the listener does not go deaf: once descriptors come
// back, clients are served again.
TEST_F(LinkServer, RecoversFromRunningOutOfDescriptors) {
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  int open = 0;
  for (int fd = 0; fd < 4096; ++fd)
    if (fcntl(fd, F_GETFD) != -1) ++open;
  rlimit low = old;
  low.rlim_cur = static_cast<rlim_t>(open + 8);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  // The client is a child process: the limit above is this process's, and
  // the client runs with its own (restored below before it starts).
  std::atomic<bool> done{false};
  test::CommandResult result;
  const std::string script = std::string(kHelpers) + R"PY(
crowd = []
for _ in range(30):
    crowd.append(conn())
time.sleep(1.0)
for s in crowd:
    s.close()
time.sleep(2.5)
c = http.client.HTTPConnection("127.0.0.1", PORT, timeout=20)
c.request("GET", "/GetUserId?LinkKey=" + KEY)
out("later", c.getresponse().status)
)PY";
  const std::string port = std::to_string(Server.BoundPort());
  std::thread client([&] {
    result = test::RunCommand(
        {"prlimit", "--nofile=1024", test::PythonPath(), "-c", script, port, kKey});
    done = true;
  });
  const std::int64_t start = SteadyMilliseconds();
  while (!done && SteadyMilliseconds() - start < 60000) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    if (SteadyMilliseconds() - start > 2000) setrlimit(RLIMIT_NOFILE, &old);
  }
  client.join();
  setrlimit(RLIMIT_NOFILE, &old);
  EXPECT_EQ(result.ExitCode, 0) << result.Output;
  EXPECT_EQ(Tagged(result.Output)["later"], "200") << result.Output;
  EXPECT_TRUE(HasLog("Accepting a connection failed")) << result.Output;
}

TEST_F(LinkServer, CurlAndSelfTest) {
  EXPECT_TRUE(Server.CheckAlive());
  const std::string port = std::to_string(Server.BoundPort());
  const std::string out =
      Run({"curl", "-sS", "-i", "http://127.0.0.1:" + port + "/MsgInfo?LinkKey=" + kKey,
           "http://localhost:" + port + "/MsgInfo", "-H", "Origin: http://localhost:" + port});
  EXPECT_NE(out.find("HTTP/1.1 200 OK"), std::string::npos) << out;
  EXPECT_NE(out.find("HTTP/1.1 403 Forbidden"), std::string::npos) << out;
  EXPECT_EQ(out.find("Access-Control"), std::string::npos);
}

// Pictures fetched from elsewhere (here a Python server on 127.0.0.1) come
// back as plain pictures: no script type, no other scheme, no unbounded wait.
TEST_F(LinkServer, RepliesWithFetchedPictures) {
  Server.BindCommand("ImagePrompt", [](TCategorizeHttpServerSpawnedSocket& c, const TQuorUrl& link,
                                       const TStringList&) {
    c.ReplyWithUrlContent(link.Values("EncUrl"));
  });
  const std::string out = RunPython(R"PY(
import http.server, threading, urllib.parse
class H(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        if self.path == "/moved.png":
            self.send_response(302); self.send_header("Location", "/a.png"); self.end_headers(); return
        if self.path.startswith("/missing"):
            self.send_error(404); return
        self.send_response(200); self.end_headers()
        self.wfile.write(b"PIC" + self.path.encode() + b"|" + self.headers.get("User-Agent", "").encode())
    def log_message(self, *a): pass
srv = http.server.HTTPServer(("127.0.0.1", 0), H)
threading.Thread(target=srv.serve_forever, daemon=True).start()
base = "http://127.0.0.1:%d" % srv.server_address[1]
c = http.client.HTTPConnection("127.0.0.1", PORT, timeout=40)
for tag, url in [("png", base + "/a.png"), ("svg", base + "/x.svg+xml"), ("moved", base + "/moved.png"),
                 ("none", base + "/dir/"), ("missing", base + "/missing.gif"), ("file", "file:///etc/passwd")]:
    c.request("GET", "/ImagePrompt?LinkKey=" + KEY + "&EncUrl=" + urllib.parse.quote(url, safe=""))
    r = c.getresponse()
    out(tag, "%d %s %s" % (r.status, r.getheader("Content-Type"), r.read()[:60].decode("latin-1")))
)PY");
  auto v = Tagged(out);
  EXPECT_EQ(v["png"], "200 image/png PIC/a.png|Quorvantis");
  EXPECT_EQ(v["svg"], "200 image/jpg PIC/x.svg+xml|Quorvantis");
  EXPECT_EQ(v["moved"], "200 image/png PIC/a.png|Quorvantis");
  EXPECT_EQ(v["none"], "200 image/jpg PIC/dir/|Quorvantis");
  EXPECT_EQ(v["missing"].substr(0, 18), "404 text/html <htm");
  EXPECT_EQ(v["file"].substr(0, 18), "404 text/html <htm");
}

// Only loopback peers: inside a namespace of its own, a second address of
// this machine reaches nothing.
TEST_F(LinkServer, SecondAddressIsRefused) {
  HALVORN_IN_OWN_NETWORK_NAMESPACE(false);
  ASSERT_EQ(test::RunCommand({"ip", "addr", "add", "10.91.0.1/24", "dev", "lo"}).ExitCode, 0);
  const std::string out = RunPython(R"PY(
try:
    socket.create_connection(("10.91.0.1", PORT), timeout=5).recv(10)
    out("second", "connected")
except OSError:
    out("second", "refused")
try:
    s = socket.create_connection(("::1", PORT), timeout=5)
    s.sendall(b"GET NOOP HTTP/1.1\r\n\r\n"); out("v6", response(s)[0])
except OSError as e:
    out("v6", "noipv6")
)PY");
  auto v = Tagged(out);
  EXPECT_EQ(v["second"], "refused");
  EXPECT_TRUE(v["v6"] == "HTTP/1.1 201 Created" || v["v6"] == "noipv6") << v["v6"];
}

}  // namespace
}  // namespace halvorn
