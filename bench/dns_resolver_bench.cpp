// 10 000 distinct questions against a local dnsmasq through one resolver,
// against the reference run: the same questions sent and collected over a
// bare UDP socket. Reports questions per second, the ratio of the two rates,
// the datagrams sent and questions lost, and the peak memory (maximum
// resident set) after each run.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "foundation/dns/dns_packet.h"
#include "foundation/dns/dns_resolver.h"
#include "support/dns_test_servers.h"

namespace {

constexpr int kQuestions = 10000;

halvorn::test::DnsmasqServer& Server() {
  // Every name under bench.test answers one address. Log queries stay on:
  // dnsmasq writes them to a file.
  static halvorn::test::DnsmasqServer server(
      {"address=/bench.test/10.7.7.7", "local-ttl=300", "cache-size=0"});
  return server;
}

std::string NameOf(int run, int i) {
  // Appended piece by piece: g++ 12 warns falsely about "q" + std::string.
  std::string name = "q";
  name += std::to_string(i);
  name += ".r";
  name += std::to_string(run);
  name += ".bench.test";
  return name;
}

long PeakKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

double GRawRate = 0;
int GRun = 0;

// The reference: a bare socket, 10 000 queries kept in flight at most 200 at
// a time, lost ones sent again after 500 ms.
void BM_RawSocket(benchmark::State& state) {
  if (!Server().Ok()) {
    state.SkipWithError(Server().Error().c_str());
    return;
  }
  for (auto _ : state) {
    int run = ++GRun;
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(Server().Port());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    auto start = std::chrono::steady_clock::now();
    std::vector<std::int64_t> sentAt(kQuestions + 1, 0);
    std::set<int> open;
    int next = 0, done = 0;
    char buffer[2000];
    while (done < kQuestions) {
      std::int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
      while (static_cast<int>(open.size()) < 200 && next < kQuestions) open.insert(++next);
      for (int id : open) {
        if (sentAt[id] != 0 && now - sentAt[id] < 500) continue;
        std::string p = halvorn::BuildQueryPacket(NameOf(run, id), {halvorn::qA}, true,
                                                  static_cast<std::uint16_t>(id));
        ::sendto(fd, p.data(), p.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        sentAt[id] = now + 1;
      }
      pollfd pfd{fd, POLLIN, 0};
      ::poll(&pfd, 1, 50);
      ssize_t n;
      while ((n = ::recv(fd, buffer, sizeof buffer, 0)) >= 2) {
        int id =
            (static_cast<unsigned char>(buffer[0]) << 8) | static_cast<unsigned char>(buffer[1]);
        if (open.erase(id) != 0) ++done;
      }
    }
    ::close(fd);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    GRawRate = kQuestions / seconds;
  }
  state.counters["questions_per_s"] = GRawRate;
  state.counters["peak_rss_kb"] = static_cast<double>(PeakKb());
}
BENCHMARK(BM_RawSocket)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Resolver(benchmark::State& state) {
  if (!Server().Ok()) {
    state.SkipWithError(Server().Error().c_str());
    return;
  }
  double rate = 0;
  for (auto _ : state) {
    int run = ++GRun;
    halvorn::TMultiDNSResolver resolver(false);
    resolver.SetPort(Server().Port());
    resolver.SetServers(halvorn::TStringList{"127.0.0.1"});
    auto start = std::chrono::steady_clock::now();
    std::vector<std::uint16_t> ids;
    ids.reserve(kQuestions);
    int answered = 0;
    int lost = 0;  // refused, or dropped before an answer came
    std::unique_ptr<halvorn::TQueryResults> results;
    std::vector<bool> done(kQuestions, false);
    // Post in batches and collect between them, as many callers would.
    for (int i = 0; i < kQuestions; ++i) {
      ids.push_back(resolver.AddQuery(NameOf(run, i), {halvorn::qA}, true));
      if (ids.back() == 0) done[i] = true, ++answered, ++lost;
    }
    while (answered < kQuestions) {
      for (int i = 0; i < kQuestions; ++i) {
        if (done[i]) continue;
        int r = resolver.GetResult(ids[i], results);
        if (r < 0) done[i] = true, ++answered, lost += r == -2 ? 1 : 0;
      }
      if (std::chrono::steady_clock::now() - start > std::chrono::seconds(120)) break;
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    rate = answered / seconds;
    state.counters["datagrams"] = static_cast<double>(resolver.DatagramsSent());
    state.counters["lost"] = lost;
  }
  state.counters["questions_per_s"] = rate;
  state.counters["ratio_to_raw"] = GRawRate > 0 ? rate / GRawRate : 0;
  state.counters["peak_rss_kb"] = static_cast<double>(PeakKb());
}
BENCHMARK(BM_Resolver)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
