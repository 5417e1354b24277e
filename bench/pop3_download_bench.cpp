// 1 000 corpus messages read by a plain POP3 client straight from Dovecot
// (the reference), against the road through the program: the download
// thread fetches them from Dovecot ("LimitDownloadCount" off) into the
// unprocessed-incoming queue, a mover puts them into the processed-incoming
// queue, and the same client reads them from the local POP3 server. Also the
// download alone against a client that fetches them with RETR and writes
// each to a file of its own with one flush for the whole batch, with the
// flushes the download makes per message. Reported as ratios, with the peak
// resident memory. Traffic stays on 127.0.0.1. Needs root (Dovecot drops to
// "nobody") and the corpus. The data folders lie where bench_folder.h says:
// HALVORN_BENCH_DIR=/dev/shm gives the figures on tmpfs.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>
#include <QCoreApplication>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_folder.h"
#include "bench/loopback_client.h"
#include "bench/ratio_reporter.h"
#include "foundation/files/durability_batch.h"
#include "foundation/files/install_folders.h"
#include "foundation/threads/quor_thread.h"
#include "message/accounts.h"
#include "message/email_msg_list.h"
#include "message/message_repository.h"
#include "platform/main_thread.h"
#include "platform/qt_main_thread.h"
#include "support/dns_test_servers.h"
#include "support/dovecot_server.h"
#include "support/test_support.h"
#include "transport/download_remote_mail_thread.h"
#include "transport/pop3_server.h"

namespace halvorn {
namespace {

constexpr int kMessages = 1000;

QCoreApplication* App() {
  static int argc = 1;
  static char name[] = "pop3_download_bench";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app = new QCoreApplication(argc, argv);
  return app;
}

// The plain client: logs in, lists, retrieves every message, QUITs without
// deleting. With a folder, writes each message to a file of its own there
// and flushes the file system once at the end. Answers the bytes of the
// messages read, -1 on a failure.
std::int64_t ReadMailbox(std::uint16_t port, const std::string& user, const std::string& password,
                         const std::string& folder = {}) {
  const int fd = bench::ConnectLoopback(port, 60);
  if (fd < 0) return -1;
  std::string buffer;
  std::size_t at = 0;
  auto line = [&](std::string& out) {
    for (;;) {
      const std::size_t end = buffer.find("\r\n", at);
      if (end != std::string::npos) {
        out.assign(buffer, at, end - at);
        at = end + 2;
        if (at > (1 << 20)) {
          buffer.erase(0, at);
          at = 0;
        }
        return true;
      }
      char chunk[65536];
      const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) return false;
      buffer.append(chunk, static_cast<std::size_t>(n));
    }
  };
  auto command = [&](const std::string& text, std::string& reply) {
    const std::string data = text + "\r\n";
    return send(fd, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size()) &&
           line(reply) && reply.rfind("+OK", 0) == 0;
  };
  std::int64_t bytes = 0;
  std::string reply;
  int count = 0;
  bool ok = line(reply) && command("USER " + user, reply) && command("PASS " + password, reply) &&
            command("LIST", reply);
  while (ok && line(reply) && reply != ".") ++count;
  for (int n = 1; ok && n <= count; ++n) {
    ok = command("RETR " + std::to_string(n), reply);
    std::string text;
    while (ok && (ok = line(reply)) && reply != ".") {
      bytes += static_cast<std::int64_t>(reply.size()) + 2;
      if (!folder.empty()) text += (reply.rfind("..", 0) == 0 ? reply.substr(1) : reply) + "\r\n";
    }
    if (ok && !folder.empty()) {
      const int out = open((folder + "/" + std::to_string(n) + ".eml").c_str(),
                           O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
      ok = out >= 0 && write(out, text.data(), text.size()) == static_cast<ssize_t>(text.size());
      if (out >= 0) close(out);
    }
  }
  if (ok) command("QUIT", reply);
  close(fd);
  if (ok && !folder.empty()) {
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ok = dir >= 0 && syncfs(dir) == 0;
    if (dir >= 0) close(dir);
  }
  return ok ? bytes : -1;
}

// Runs the client on a thread of its own while this thread handles events
// (the local server lives here). Answers its result.
std::int64_t ReadHandlingEvents(std::uint16_t port, const std::string& user,
                                const std::string& password) {
  std::atomic<bool> done{false};
  std::int64_t bytes = -1;
  std::thread client([&] {
    bytes = ReadMailbox(port, user, password);
    done = true;
  });
  while (!done) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  client.join();
  return bytes;
}

struct World {
  std::unique_ptr<test::TempFolder> Home;
  std::unique_ptr<test::DovecotServer> Dovecot;
  std::unique_ptr<TPop3Server> Server;
  TRemoteAccountRef Remote;
  std::string Error;
};

World& Setup() {
  static World world = [] {
    World w;
    App();
    platform::MarkMainThread();
    platform::InstallQtMainThreadHooks();
    const std::vector<std::string> corpus = test::CorpusFiles();
    if (corpus.size() < static_cast<std::size_t>(kMessages)) {
      w.Error = "no mail corpus";
      return w;
    }
    w.Home = bench::NewBenchFolder();
    setenv("HALVORN_HOME", w.Home->Path().c_str(), 1);
    ResetFolderCachesForTests();
    w.Dovecot = std::make_unique<test::DovecotServer>(test::FreeLocalPort(),
                                                      std::vector<test::DovecotServer::User>{
                                                          {"benchuser", "pw"}});
    if (!w.Dovecot->Ok()) {
      w.Error = "Dovecot: " + w.Dovecot->Error();
      return w;
    }
    for (int i = 0; i < kMessages; ++i) {
      std::string text = test::ReadFileBytes(corpus[static_cast<std::size_t>(i)]);
      if (text.rfind("From ", 0) == 0) text.erase(0, text.find('\n') + 1);
      w.Dovecot->AddMessage("benchuser", std::to_string(10000 + i) + ".bench", text);
    }
    StartAccountsModule();
    StartMessageRepositoryModule();
    SetLimitDownloadCount(false);
    TLocalAccountRef local = GlobalLocalAccounts().Add();
    local->SetUserId("bob");
    local->SetPassword("secret");
    w.Remote = local->RemoteAccounts->Add();
    w.Remote->SetHost("127.0.0.1", false);
    w.Remote->SetUserId("benchuser");
    w.Remote->SetPassword("pw");
    w.Remote->Port = w.Dovecot->Port();
    w.Server = std::make_unique<TPop3Server>();
    w.Server->SetPort(0);
    w.Server->SetAcceptAnyLocal(true);
    w.Server->OnLog = [](TQuorServer*, TQuorServerSpawnedSocket*, const std::string&,
                         std::uint8_t, bool) { return false; };
    const std::string error = w.Server->SetActive(true);
    if (!error.empty()) w.Error = error;
    return w;
  }();
  return world;
}

}  // namespace

// Frees the servers and the modules while Qt is still whole.
void Teardown() {
  World& w = Setup();
  w.Server.reset();
  w.Remote.reset();
  EndMessageRepositoryModule();
  EndAccountsModule();
  w.Dovecot.reset();
  w.Home.reset();
}

namespace {

long PeakKilobytes() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

void BM_ClientFromDovecot(benchmark::State& state) {
  World& w = Setup();
  if (!w.Error.empty()) return state.SkipWithError(w.Error.c_str());
  std::int64_t bytes = 0;
  for (auto _ : state) bytes = ReadMailbox(w.Dovecot->Port(), "benchuser", "pw");
  if (bytes <= 0) state.SkipWithError("reading from Dovecot failed");
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_ClientFromDovecot)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

// Empties the queues and forgets the UIDLs, so the next download fetches
// everything again.
void ForgetEverything(World& w) {
  TMessageRepository& repository = *GetMessageRepository(kSingleUserName);
  for (TEmailMsgList* queue : repository.Queues())
    for (const TEmailMsgRef& msg : queue->Snapshot()) {
      queue->Remove(msg);
      msg->DiskDelete();
      msg->FSetFlaggedDeleted(true);
    }
  for (const auto& [uidl, status] : w.Remote->Uidls()) w.Remote->SetUidlStatus(uidl, us_NonExistant);
}

// One pass of the download thread over the account; false when it failed.
bool DownloadOnce() {
  auto* thread = CreateQuorThread<TDownloadRemoteMailThread>(true);
  const TThreadHandle handle = thread->Handle();
  thread->SetTimeOut(60000);
  thread->StartWithMode(dmCheckNow);
  while (!(thread->Suspended() && !thread->Finished()))
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  thread->FStopRequested = true;
  thread->StartWithMode(dmShutDown);
  return WaitThreadWithTimeout(handle, 20000, false);
}

// The reference of the download: RETR and a file each, one flush at the end.
void BM_ClientToFiles(benchmark::State& state) {
  World& w = Setup();
  if (!w.Error.empty()) return state.SkipWithError(w.Error.c_str());
  std::int64_t bytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto folder = bench::NewBenchFolder();
    state.ResumeTiming();
    bytes = ReadMailbox(w.Dovecot->Port(), "benchuser", "pw", folder->Path());
    state.PauseTiming();
    folder.reset();
    state.ResumeTiming();
  }
  if (bytes <= 0) state.SkipWithError("reading from Dovecot failed");
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_ClientToFiles)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

// The download alone, into the unprocessed-incoming queue, with its flushes
// per message.
void BM_DownloadIntoQueue(benchmark::State& state) {
  World& w = Setup();
  if (!w.Error.empty()) return state.SkipWithError(w.Error.c_str());
  TMessageRepository& repository = *GetMessageRepository(kSingleUserName);
  std::uint64_t flushes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    ForgetEverything(w);
    const std::uint64_t before = DurabilityFlushCount();
    state.ResumeTiming();
    if (!DownloadOnce()) state.SkipWithError("the download did not end");
    state.PauseTiming();
    flushes += DurabilityFlushCount() - before;
    state.ResumeTiming();
  }
  const int stored = repository.UnProcessedIncoming()->Count();
  if (stored != kMessages) state.SkipWithError("not every message was stored");
  state.counters["messages"] = stored;
  state.counters["flushes/msg"] =
      static_cast<double>(flushes) / static_cast<double>(kMessages * state.iterations());
}
BENCHMARK(BM_DownloadIntoQueue)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DownloadThenClientFromLocalServer(benchmark::State& state) {
  World& w = Setup();
  if (!w.Error.empty()) return state.SkipWithError(w.Error.c_str());
  TMessageRepository& repository = *GetMessageRepository(kSingleUserName);
  std::int64_t bytes = 0;
  double downloadMs = 0, moveMs = 0, readMs = 0;
  for (auto _ : state) {
    state.PauseTiming();
    ForgetEverything(w);
    state.ResumeTiming();
    const auto start = std::chrono::steady_clock::now();
    DownloadOnce();
    const auto downloaded = std::chrono::steady_clock::now();
    for (const TEmailMsgRef& msg : repository.UnProcessedIncoming()->Snapshot())
      repository.MoveMailMessage(msg, repository.UnProcessedIncoming(),
                                 repository.ProcessedIncoming());
    const auto moved = std::chrono::steady_clock::now();
    downloadMs += std::chrono::duration<double, std::milli>(downloaded - start).count();
    moveMs += std::chrono::duration<double, std::milli>(moved - downloaded).count();
    bytes = ReadHandlingEvents(static_cast<std::uint16_t>(w.Server->BoundPort()), "bob", "secret");
    readMs += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - moved)
                  .count();
  }
  if (bytes <= 0) state.SkipWithError("reading from the local server failed");
  state.counters["bytes"] = static_cast<double>(bytes);
  state.counters["messages"] = static_cast<double>(repository.ProcessedIncoming()->Count());
  state.counters["peak_KB"] = static_cast<double>(PeakKilobytes());
  state.counters["download_ms"] = downloadMs / static_cast<double>(state.iterations());
  state.counters["move_ms"] = moveMs / static_cast<double>(state.iterations());
  state.counters["read_ms"] = readMs / static_cast<double>(state.iterations());
}
BENCHMARK(BM_DownloadThenClientFromLocalServer)
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace halvorn

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  halvorn::bench::TPairRatioReporter reporter(
      "Times relative to their references:",
      {{"BM_DownloadThenClientFromLocalServer/iterations:2/real_time",
        "BM_ClientFromDovecot/iterations:3/real_time"},
       {"BM_DownloadIntoQueue/iterations:3/real_time", "BM_ClientToFiles/iterations:3/real_time"}});
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  halvorn::Teardown();
  return 0;
}
