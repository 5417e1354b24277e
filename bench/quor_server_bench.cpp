// 200 concurrent clients each send 1 000 lines to an echo server and read the
// echoes. The line server (one event loop on this thread) is compared with a
// reference echo server of plain blocking sockets, one thread per client, in
// the same process; counters give lines per second and the peak resident
// memory.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>
#include <QCoreApplication>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "bench/loopback_client.h"
#include "foundation/time/clock.h"
#include "foundation/net/line_buffer.h"
#include "foundation/net/quor_server.h"
#include "platform/tcp_line_server.h"

namespace halvorn {
namespace {

constexpr int kClients = 200;
constexpr int kLinesPerClient = 1000;

QCoreApplication* App() {
  static int argc = 1;
  static char name[] = "quor_server_bench";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app = new QCoreApplication(argc, argv);
  return app;
}

class EchoConnection : public TQuorServerSpawnedSocket {
 public:
  using TQuorServerSpawnedSocket::TQuorServerSpawnedSocket;
  void ProcessLine(const std::string& line) override { SendLine(line); }
};

class EchoServer : public TQuorServer {
 public:
  EchoServer() {
    SetPort(0);
    OnLog = [](TQuorServer*, TQuorServerSpawnedSocket*, const std::string&, std::uint8_t, bool) {
      return false;
    };
  }

 protected:
  std::unique_ptr<TQuorServerSpawnedSocket> CreateConnection(
      std::unique_ptr<platform::TcpConnection> socket) override {
    auto c = std::make_unique<EchoConnection>(this, std::move(socket));
    c->SetLogSentLines(false);
    return c;
  }
};

// One client: sends its lines in batches of 100 and reads the echoes of each
// batch. Answers the number of lines echoed.
int RunClient(int port, int id) {
  int fd = bench::ConnectLoopback(static_cast<std::uint16_t>(port), 30);
  if (fd < 0) return 0;
  int echoed = 0;
  TLineBuffer in;
  std::string line;
  char buf[65536];
  for (int batch = 0; batch < kLinesPerClient / 100; ++batch) {
    std::string out;
    for (int i = 0; i < 100; ++i)
      out += "client " + std::to_string(id) + " line " + std::to_string(batch * 100 + i) +
             " some text to make it longer\r\n";
    if (send(fd, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size())) break;
    int want = (batch + 1) * 100;
    while (echoed < want) {
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) {
        close(fd);
        return echoed;
      }
      in.Append(std::string_view(buf, static_cast<std::size_t>(n)));
      while (in.TakeLine(line)) ++echoed;
    }
  }
  close(fd);
  return echoed;
}

long PeakKb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

int RunAllClients(int port, const std::function<void()>& pump, std::atomic<bool>* done) {
  std::atomic<int> total{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) clients.emplace_back([&, i] { total += RunClient(port, i); });
  std::thread joiner([&] {
    for (auto& t : clients) t.join();
    *done = true;
  });
  while (!*done) pump();
  joiner.join();
  return total;
}

void BM_QuorServerEcho(benchmark::State& state) {
  App();
  EchoServer server;
  server.SetMaxConnections(kClients);
  if (!server.SetActive(true).empty()) {
    state.SkipWithError("cannot listen");
    return;
  }
  std::int64_t lines = 0;
  for (auto _ : state) {
    std::atomic<bool> done{false};
    lines += RunAllClients(
        server.BoundPort(), [] { QCoreApplication::processEvents(QEventLoop::AllEvents, 10); },
        &done);
    for (int i = 0; i < 20; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  state.counters["lines_per_s"] =
      benchmark::Counter(static_cast<double>(lines), benchmark::Counter::kIsRate);
  state.counters["peak_rss_kb"] = static_cast<double>(PeakKb());
  if (lines != static_cast<std::int64_t>(state.iterations()) * kClients * kLinesPerClient)
    state.SkipWithError("lines lost");
}
BENCHMARK(BM_QuorServerEcho)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// Reference: a blocking echo server, one thread per accepted client.
void BM_ReferenceThreadEcho(benchmark::State& state) {
  int lfd = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(lfd, 512) != 0) {
    state.SkipWithError("cannot listen");
    return;
  }
  getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len);
  int port = ntohs(a.sin_port);
  std::int64_t lines = 0;
  for (auto _ : state) {
    std::atomic<bool> done{false};
    std::vector<std::thread> servers;
    std::thread acceptor([&] {
      for (int i = 0; i < kClients; ++i) {
        int fd = accept(lfd, nullptr, nullptr);
        if (fd < 0) break;
        servers.emplace_back([fd] {
          TLineBuffer in;
          std::string line;
          char buf[65536];
          for (;;) {
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            in.Append(std::string_view(buf, static_cast<std::size_t>(n)));
            std::string out;
            while (in.TakeLine(line)) out += line + "\r\n";
            if (!out.empty() && send(fd, out.data(), out.size(), MSG_NOSIGNAL) < 0) break;
          }
          close(fd);
        });
      }
    });
    lines += RunAllClients(
        port, [] { std::this_thread::yield(); }, &done);
    acceptor.join();
    for (auto& t : servers) t.join();
  }
  close(lfd);
  state.counters["lines_per_s"] =
      benchmark::Counter(static_cast<double>(lines), benchmark::Counter::kIsRate);
  state.counters["peak_rss_kb"] = static_cast<double>(PeakKb());
}
BENCHMARK(BM_ReferenceThreadEcho)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace
}  // namespace halvorn
