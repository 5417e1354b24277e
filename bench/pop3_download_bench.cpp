// 1 000 corpus messages read by a plain POP3 client straight from Dovecot
// (the reference), against the road through the program: the download
// thread fetches them from Dovecot ("LimitDownloadCount" off) into the
// unprocessed-incoming queue, a mover puts them into the processed-incoming
// queue, and the same client reads them from the local POP3 server. Reported
// as a ratio, with the peak resident memory. Traffic stays on 127.0.0.1.
// Needs root (Dovecot drops to "nobody") and the corpus.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
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

#include "bench/ratio_reporter.h"
#include "foundation/files/install_folders.h"
#include "foundation/threads/quor_thread.h"
#include "message/accounts.h"
#include "message/email_msg_list.h"
#include "message/message_repository.h"
#include "platform/main_thread.h"
#include "platform/qt_main_thread.h"
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

std::uint16_t FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
  close(fd);
  return ntohs(a.sin_port);
}

// The plain client: logs in, lists, retrieves every message, QUITs without
// deleting. Answers the bytes of the messages read, -1 on a failure.
std::int64_t ReadMailbox(std::uint16_t port, const std::string& user, const std::string& password) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval tv{60, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
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
    while (ok && (ok = line(reply)) && reply != ".") bytes += static_cast<std::int64_t>(reply.size()) + 2;
  }
  if (ok) command("QUIT", reply);
  close(fd);
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
    w.Home = std::make_unique<test::TempFolder>();
    setenv("HALVORN_HOME", w.Home->Path().c_str(), 1);
    ResetFolderCachesForTests();
    w.Dovecot = std::make_unique<test::DovecotServer>(FreePort(),
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

void BM_DownloadThenClientFromLocalServer(benchmark::State& state) {
  World& w = Setup();
  if (!w.Error.empty()) return state.SkipWithError(w.Error.c_str());
  TMessageRepository& repository = *GetMessageRepository(kSingleUserName);
  std::int64_t bytes = 0;
  double downloadMs = 0, moveMs = 0, readMs = 0;
  for (auto _ : state) {
    state.PauseTiming();
    for (TEmailMsgList* queue : repository.Queues())
      for (const TEmailMsgRef& msg : queue->Snapshot()) {
        queue->Remove(msg);
        msg->DiskDelete();
        msg->FSetFlaggedDeleted(true);
      }
    for (const auto& [uidl, status] : w.Remote->Uidls()) w.Remote->SetUidlStatus(uidl, us_NonExistant);
    state.ResumeTiming();
    const auto start = std::chrono::steady_clock::now();
    auto* thread = CreateQuorThread<TDownloadRemoteMailThread>(true);
    const TThreadHandle handle = thread->Handle();
    thread->SetTimeOut(60000);
    thread->StartWithMode(dmCheckNow);
    while (!(thread->Suspended() && !thread->Finished()))
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    thread->FStopRequested = true;
    thread->StartWithMode(dmShutDown);
    WaitThreadWithTimeout(handle, 20000, false);
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
  halvorn::bench::TRatioReporter reporter(
      "BM_ClientFromDovecot/iterations:3/real_time",
      "Time relative to a plain client reading the same mail from Dovecot");
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  halvorn::Teardown();
  return 0;
}
