// The mail store with 10 000 queued messages (200 remote accounts with 50
// messages each, in processed-incoming, as the store writes them: property
// line, side record with UIDL and account):
//  - the load of the repository, the resident memory with them queued, and a
//    presence walk over all of them (the UIDLs of an account, as the
//    download asks once per connection), with the read calls the walk makes
//    (none: the index answers);
//  - 200 mail readers logging in to the local POP3 server at once, each as
//    an intercepted session of its own account, listing, retrieving and
//    deleting its 50 messages and QUITting: every message served whole,
//    none lost or served twice; the median and 99th-percentile session
//    time, and the flushes per message of QUIT;
//  - a commit of 100 staged files of 5 KB flushed with one syncfs, against
//    one fsync per file and folder (the durability mechanism's choice).
// The data folder lies where bench_folder.h says: HALVORN_BENCH_DIR=/dev/shm
// gives the figures on tmpfs.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>
#include <QCoreApplication>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_folder.h"
#include "bench/process_memory.h"
#include "bench/ratio_reporter.h"
#include "foundation/files/durability_batch.h"
#include "foundation/files/install_folders.h"
#include "foundation/intercept/ip_mapping.h"
#include "message/accounts.h"
#include "message/email_info.h"
#include "message/email_msg_list.h"
#include "message/mail_store.h"
#include "message/message_repository.h"
#include "platform/main_thread.h"
#include "platform/qt_main_thread.h"
#include "support/test_support.h"
#include "transport/pop3_server.h"

namespace halvorn {
namespace {

constexpr int kAccounts = 200;
constexpr int kPerAccount = 50;

QCoreApplication* App() {
  static int argc = 1;
  static char name[] = "mail_store_bench";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app = new QCoreApplication(argc, argv);
  return app;
}

std::string MessageText(int account, int n) {
  std::string text = "Subject: account " + std::to_string(account) + " message " +
                     std::to_string(n) + "\r\nMessage-Id: <" + std::to_string(account) + "." +
                     std::to_string(n) + "@bench>\r\n\r\n";
  for (int line = 0; line < 30; ++line)
    text += "Line " + std::to_string(line) + " of a queued message of the benchmark.\r\n";
  return text;
}

std::string Uidl(int account, int n) {
  return "r" + std::to_string(account) + "-" + std::to_string(n);
}

// The original destination of account k's intercepted sessions.
std::uint32_t ServerAddress(int k) {
  return (10u << 24) | (200u << 16) | (static_cast<std::uint32_t>(k / 250) << 8) |
         static_cast<std::uint32_t>(k % 250 + 1);
}

// The source address of reader k.
std::uint32_t ReaderAddress(int k) {
  return (127u << 24) | (9u << 16) | (static_cast<std::uint32_t>(k / 250) << 8) |
         static_cast<std::uint32_t>(k % 250 + 1);
}

// The read calls the process has made.
long ReadCalls() {
  std::ifstream io("/proc/self/io");
  std::string line;
  while (std::getline(io, line))
    if (line.rfind("syscr:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

struct TWorld {
  std::unique_ptr<test::TempFolder> Root;
  std::unique_ptr<test::ScopedEnv> Home;
  std::vector<TRemoteAccountRef> Remotes;
  bool Ready = false;
};

// The accounts, and the queued messages written as the store writes them.
TWorld& World() {
  static TWorld world;
  if (world.Ready) return world;
  world.Root = bench::NewBenchFolder();
  world.Home = std::make_unique<test::ScopedEnv>("HALVORN_HOME", world.Root->Sub("home"));
  ResetFolderCachesForTests();
  StartAccountsModule();
  TLocalAccountRef local = GlobalLocalAccounts().Add();
  local->SetUserId("bob");
  local->SetPassword("secret");
  const std::string folder = GetProcessedIncomingDir(kSingleUserName);
  CreateFolderTree(folder);
  CreateFolderTree(EmailInfoDir());
  std::int32_t id = 1000;
  for (int k = 0; k < kAccounts; ++k) {
    TRemoteAccountRef remote = local->RemoteAccounts->Add();
    in_addr address{htonl(ServerAddress(k))};
    remote->SetHost(inet_ntoa(address), false);
    remote->SetUserId("reader" + std::to_string(k));
    remote->SetPassword("pw");
    remote->NewThisRun = false;
    world.Remotes.push_back(remote);
    for (int n = 0; n < kPerAccount; ++n) {
      ++id;
      test::WriteFileBytes(folder + "/m" + std::to_string(id) + ".eml",
                           std::string(kPropertyLinePrefix) + "ContentId=" + std::to_string(id) +
                               "\r\n" + MessageText(k, n));
      test::WriteFileBytes(EmailInfoDir() + "/" + std::to_string(id) + ".dat",
                           "UIDL=" + Uidl(k, n) + "\r\nRemoteAccountId=" + remote->UniqueId() +
                               "\r\n");
      remote->SetUidlStatus(Uidl(k, n), us_Downloaded);
    }
  }
  world.Ready = true;
  return world;
}

void BM_QueuedMessagesAndPresenceWalk(benchmark::State& state) {
  TWorld& world = World();
  bool wrong = false;
  for (auto _ : state) {
    state.PauseTiming();
    StartMessageRepositoryModule();
    const double before = bench::ResidentMegabytes();
    const auto start = std::chrono::steady_clock::now();
    state.ResumeTiming();
    TMessageRepository* repository = GetMessageRepository(kSingleUserName);
    state.PauseTiming();
    const double loadMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    const double queued = bench::ResidentMegabytes();
    const long readsBefore = ReadCalls();
    const auto walkStart = std::chrono::steady_clock::now();
    std::size_t found = 0;
    for (const TRemoteAccountRef& remote : world.Remotes) {
      found += GetMailStore().UidlsOfAccount(remote->UniqueId()).size();
      if (found >= static_cast<std::size_t>(kPerAccount)) break;  // one full walk is enough
    }
    const bool missing = GetMailStore().HoldsUidl(world.Remotes[0]->UniqueId(), "no such UIDL");
    const double walkMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - walkStart)
            .count();
    const long reads = ReadCalls() - readsBefore - 1;  // the look at /proc itself
    if (repository->ProcessedIncoming()->Count() != kAccounts * kPerAccount || missing ||
        found != static_cast<std::size_t>(kPerAccount))
      wrong = true;
    state.counters["messages"] = repository->ProcessedIncoming()->Count();
    state.counters["load ms"] = loadMs;
    state.counters["walk ms"] = walkMs;
    state.counters["reads in walk"] = static_cast<double>(std::max(0L, reads));
    state.counters["RSS MB"] = queued;
    state.counters["RSS growth MB"] = queued - before;
    state.counters["peak RSS MB"] = bench::PeakResidentMegabytes();
    EndMessageRepositoryModule();
    state.ResumeTiming();
  }
  if (wrong) state.SkipWithError("the store does not hold what was written");
}
BENCHMARK(BM_QueuedMessagesAndPresenceWalk)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// One reader: logs in as account k's intercepted session, lists, retrieves
// and deletes every message, QUITs. Answers the UIDLs of the messages it got
// whole (those served otherwise make `error` true).
std::vector<std::string> ReadAccount(int k, std::uint16_t port, bool& error) {
  std::vector<std::string> got;
  error = true;
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return got;
  sockaddr_in source{};
  source.sin_family = AF_INET;
  source.sin_addr.s_addr = htonl(ReaderAddress(k));
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(port);
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval tv{300, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
    ::close(fd);
    return got;
  }
  std::string buffer;
  auto line = [&](std::string& out) {
    for (;;) {
      const std::size_t end = buffer.find("\r\n");
      if (end != std::string::npos) {
        out = buffer.substr(0, end);
        buffer.erase(0, end + 2);
        return true;
      }
      char chunk[16384];
      const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) return false;
      buffer.append(chunk, static_cast<std::size_t>(n));
    }
  };
  auto command = [&](const std::string& text, std::string& reply) {
    const std::string data = text + "\r\n";
    return ::send(fd, data.data(), data.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(data.size()) &&
           line(reply) && reply.rfind("+OK", 0) == 0;
  };
  std::string reply;
  std::map<int, std::string> uidls;
  bool ok = line(reply) && command("USER reader" + std::to_string(k), reply) &&
            command("PASS pw", reply) && command("UIDL", reply);
  while (ok && (ok = line(reply)) && reply != ".") {
    const std::size_t blank = reply.find(' ');
    uidls[std::atoi(reply.c_str())] = reply.substr(blank + 1);
  }
  bool whole = true;
  for (const auto& [n, uidl] : uidls) {
    if (!ok) break;
    ok = command("RETR " + std::to_string(n), reply);
    std::string text;
    while (ok && (ok = line(reply)) && reply != ".")
      text += (reply.rfind("..", 0) == 0 ? reply.substr(1) : reply) + "\r\n";
    const std::size_t dash = uidl.find('-');
    if (ok && uidl.size() > 1 && dash != std::string::npos &&
        text == MessageText(std::atoi(uidl.c_str() + 1), std::atoi(uidl.c_str() + dash + 1)))
      got.push_back(uidl);
    else
      whole = false;
    ok = ok && command("DELE " + std::to_string(n), reply);
  }
  ok = ok && command("QUIT", reply);
  ::close(fd);
  error = !ok || !whole;
  return got;
}

void BM_Pop3Readers(benchmark::State& state) {
  std::string failure;
  World();  // the accounts and the queued messages
  App();
  platform::MarkMainThread();
  platform::InstallQtMainThreadHooks();
  for (auto _ : state) {
    state.PauseTiming();
    StartMessageRepositoryModule();
    GetMessageRepository(kSingleUserName);
    TPop3Server server;
    server.SetPort(0);
    server.SetMaxConnections(kAccounts + 10);
    server.OnLog = [](TQuorServer*, TQuorServerSpawnedSocket*, const std::string&, std::uint8_t,
                      bool) { return false; };
    if (!server.SetActive(true).empty()) {
      failure = "the POP3 server did not start";
      EndMessageRepositoryModule();
      state.ResumeTiming();
      break;
    }
    for (int k = 0; k < kAccounts; ++k) {
      TIPMappingEntry entry;
      entry.Redirected = MakeSockAddrIn(ReaderAddress(k), 0);
      entry.Original = MakeSockAddrIn(ServerAddress(k), 110);
      IPMapping().Add(entry);
    }
    const std::uint64_t flushesBefore = DurabilityFlushCount();
    state.ResumeTiming();
    std::vector<double> sessions(kAccounts, 0);
    std::vector<std::vector<std::string>> got(kAccounts);
    std::atomic<int> done{0};
    std::atomic<int> errors{0};
    std::vector<std::thread> readers;
    const std::uint16_t port = static_cast<std::uint16_t>(server.BoundPort());
    for (int k = 0; k < kAccounts; ++k) {
      readers.emplace_back([&, k] {
        const auto start = std::chrono::steady_clock::now();
        bool error = false;
        got[k] = ReadAccount(k, port, error);
        sessions[k] = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() -
                                                                start)
                          .count();
        if (error) ++errors;
        ++done;
      });
    }
    while (done.load() < kAccounts) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    for (std::thread& reader : readers) reader.join();
    state.PauseTiming();
    // Let the server see every connection end.
    for (int i = 0; i < 200 && server.ActiveConnections() > 0; ++i)
      QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    std::set<std::string> served;
    int count = 0;
    bool own = true;
    for (int k = 0; k < kAccounts; ++k) {
      for (const std::string& uidl : got[k]) {
        ++count;
        served.insert(uidl);
        own = own && uidl.rfind("r" + std::to_string(k) + "-", 0) == 0;
      }
    }
    std::sort(sessions.begin(), sessions.end());
    const int total = kAccounts * kPerAccount;
    if (errors.load() != 0 || count != total || static_cast<int>(served.size()) != total || !own)
      failure = "a message was lost, broken or served twice: " + std::to_string(errors.load()) +
                " sessions failed, " + std::to_string(count) + " messages served, " +
                std::to_string(served.size()) + " distinct";
    state.counters["messages served"] = count;
    state.counters["distinct"] = static_cast<double>(served.size());
    state.counters["errors"] = errors.load();
    state.counters["median session ms"] = sessions[sessions.size() / 2];
    state.counters["p99 session ms"] = sessions[sessions.size() * 99 / 100];
    state.counters["QUIT flushes/msg"] =
        static_cast<double>(DurabilityFlushCount() - flushesBefore) / total;
    state.counters["left queued"] =
        GetMessageRepository(kSingleUserName)->ProcessedIncoming()->Count();
    EndMessageRepositoryModule();
    state.ResumeTiming();
  }
  if (!failure.empty()) state.SkipWithError(failure.c_str());
}
BENCHMARK(BM_Pop3Readers)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// A commit of 100 staged files of 5 KB.
void Commit100(benchmark::State& state, TSyncMethod method) {
  const TSyncMethod old = GetSyncMethod();
  SetSyncMethod(method);
  const auto folder = bench::NewBenchFolder();
  const std::string bytes(5000, 'x');
  std::uint64_t flushes = 0;
  int round = 0;
  for (auto _ : state) {
    state.PauseTiming();
    TDurabilityBatch batch;
    std::string error;
    for (int i = 0; i < 100; ++i)
      batch.StageWrite(folder->Sub("f" + std::to_string(round) + "-" + std::to_string(i)), bytes,
                       0600, false, nullptr, error);
    ++round;
    const std::uint64_t before = DurabilityFlushCount();
    state.ResumeTiming();
    if (!batch.Commit().empty()) state.SkipWithError("the commit failed");
    state.PauseTiming();
    flushes += DurabilityFlushCount() - before;
    state.ResumeTiming();
  }
  state.counters["flushes"] =
      static_cast<double>(flushes) / static_cast<double>(state.iterations());
  SetSyncMethod(old);
}

void BM_Commit100SyncFileSystem(benchmark::State& state) {
  Commit100(state, TSyncMethod::FileSystem);
}
BENCHMARK(BM_Commit100SyncFileSystem)->Iterations(10)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Commit100FsyncEach(benchmark::State& state) {
  Commit100(state, TSyncMethod::EachFile);
}
BENCHMARK(BM_Commit100FsyncEach)->Iterations(10)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace halvorn

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  halvorn::bench::TPairRatioReporter reporter(
      "One fsync per file and folder, relative to one syncfs:",
      {{"BM_Commit100FsyncEach/iterations:10/real_time",
        "BM_Commit100SyncFileSystem/iterations:10/real_time"}});
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
