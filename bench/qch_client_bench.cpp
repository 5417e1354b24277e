// What the central service costs the incoming processing per message when
// the service cannot be reached, and when it answers. For each corpus
// message, on one socket on a worker thread, the calls processing makes: the
// external address while it is unknown, a match query with the message's
// checksums and digests, the wait for its answer, a test report, and the UDP
// reports the stop codes ask for (here: both, and probabilities by TCP).
// Conditions: the service host unresolved (no hosts line), a refused port, a
// black-holed connect, a service that accepts but never answers its
// handshake, and the fake service answering on 127.0.0.1.
//
// Per condition the counters give the mean, 99th percentile and longest
// wall time per message in ms, and messages per CPU-second of the worker;
// the benchmark's own time is the worker's CPU time per message, and after
// the table each is printed as a ratio to parsing the same messages (the
// reference run). The goal: unresolved and refused at most 2 ms mean and
// 10 ms p99; black-holed one connect budget (2 s) in 60 s and nothing
// between.
//
// HALVORN_QCH_BENCH_MESSAGES limits the number of corpus messages (all by
// default).
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/corpus_messages.h"
#include "bench/ratio_reporter.h"
#include "lists/qch/qch_client_socket.h"
#include "lists/qch/qch_service.h"
#include "lists/qch/qch_udp.h"
#include "message/email_msg.h"
#include "support/dns_test_servers.h"
#include "support/qch_fake_service.h"
#include "support/scripted_tcp_server.h"

namespace {

using namespace halvorn;

struct TPrepared {
  TCheckSumArray CheckSums;
  TDigest16 Body{}, Fuz1{}, Fuz2{};
};

const std::vector<std::string>& Messages() {
  static const std::vector<std::string> messages = [] {
    std::vector<std::string> all = bench::CorpusMessages().Messages;
    if (const char* limit = std::getenv("HALVORN_QCH_BENCH_MESSAGES"))
      all.resize(std::min(all.size(), static_cast<std::size_t>(std::atoi(limit))));
    return all;
  }();
  return messages;
}

// Checksums and digests of every message, made once, outside the timing.
const std::vector<TPrepared>& Prepared() {
  static const std::vector<TPrepared> prepared = [] {
    std::vector<TPrepared> all;
    for (const std::string& text : Messages()) {
      auto msg = TEmailMsg::Create();
      msg->LoadFromStream(text);
      msg->FSetFlaggedDeleted(true);
      TPrepared p;
      msg->GetCheckSums(p.CheckSums, false);
      TDccChecksums dcc{};
      if (msg->GetDccChecksums(dcc)) {
        GetDccSum(DCC_CK_BODY, dcc, p.Body);
        GetDccSum(DCC_CK_FUZ1, dcc, p.Fuz1);
        GetDccSum(DCC_CK_FUZ2, dcc, p.Fuz2);
      }
      all.push_back(std::move(p));
    }
    return all;
  }();
  return prepared;
}

double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct TRun {
  std::vector<double> Ms;  // wall time per message
  double CpuSeconds = 0;
};

// The stop codes processing meets: both reports over UDP, probabilities
// asked by TCP.
void AskForEverything() {
  auto codes = std::make_shared<TStopCodesQchUdpMsg>();
  for (int bit : {TStopCodesQchUdpMsg::kRepStandTestArrayOnDoneProcessing,
                  TStopCodesQchUdpMsg::kRepQuorTestStatDataOnDoneProcessing,
                  TStopCodesQchUdpMsg::kReturnProbOnTestReport})
    codes->SetBit(bit, true);
  SetQchStopCodes(codes);
}

TRun RunMessages() {
  TRun run;
  std::thread worker([&run] {
    TQCHClientSocket socket("ProcessIncQchSocket");
    socket.UserName = kSingleUserName;
    const TTriteArray trites = TriteArrayFromText(std::string(700, 'n') + "yyny");
    const std::string statData = "Id1=\"Pa=y\",Id2=\"Pa=n,Sc=12\"";
    std::uint32_t external = 0;
    const double cpuStart = ThreadCpuSeconds();
    for (const TPrepared& p : Prepared()) {
      const auto t0 = std::chrono::steady_clock::now();
      if (external == 0) socket.GetExternalIp(external);
      const std::int32_t id = socket.SendAddAndMatchMsg(p.CheckSums, p.Body, p.Fuz1, p.Fuz2);
      if (id != 0 && socket.IsAwaitingReply(id)) {
        std::int32_t number = 0, item = 0;
        std::string extra;
        TMsgSearchRecArray records;
        socket.ReceiveAddAndMatchMsg(id, number, item, extra, records);
      }
      TCategoryProbability probabilities;
      socket.SubmitTests(trites, statData, 0, probabilities);
      const auto codes = QchStopCodes();
      if (codes->GetBit(TStopCodesQchUdpMsg::kRepStandTestArrayOnDoneProcessing) &&
          codes->GetBit(TStopCodesQchUdpMsg::kRepStandTestArrayOnDoneProcessingUDP))
        QchUdpSend(MakeQchUdpReport(kQchUdpTestsDone, TriteArrayToCompressedText(trites)));
      if (codes->GetBit(TStopCodesQchUdpMsg::kRepQuorTestStatDataOnDoneProcessing) &&
          codes->GetBit(TStopCodesQchUdpMsg::kRepQuorStatDataOnDoneProcessingUDP))
        QchUdpSend(MakeQchUdpReport(kQchUdpStatDataDone, statData));
      run.Ms.push_back(
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    }
    run.CpuSeconds = ThreadCpuSeconds() - cpuStart;
  });
  worker.join();
  return run;
}

void Report(benchmark::State& state, TRun run) {
  const double n = static_cast<double>(run.Ms.size());
  state.SetIterationTime(run.CpuSeconds / n);
  double sum = 0;
  for (double ms : run.Ms) sum += ms;
  std::sort(run.Ms.begin(), run.Ms.end());
  state.counters["mean_ms"] = sum / n;
  state.counters["p99_ms"] = run.Ms[static_cast<std::size_t>(0.99 * (n - 1))];
  state.counters["max_ms"] = run.Ms.back();
  state.counters["msgs_per_cpu_s"] = run.CpuSeconds > 0 ? n / run.CpuSeconds : 0;
}

// Runs the messages against a service at the host and ports.
void RunCondition(benchmark::State& state, const std::string& host, int tcpPort, int udpPort) {
  if (Prepared().empty()) {
    state.SkipWithError("no mail corpus");
    return;
  }
  for (auto _ : state) {
    ScopedQchServiceForTests scope(host, tcpPort, udpPort);
    AskForEverything();
    Report(state, RunMessages());
  }
}

void BM_Parse(benchmark::State& state) {
  if (Messages().empty()) {
    state.SkipWithError("no mail corpus");
    return;
  }
  for (auto _ : state) {
    TRun run;
    std::thread worker([&run] {
      const double cpuStart = ThreadCpuSeconds();
      for (const std::string& text : Messages()) {
        const auto t0 = std::chrono::steady_clock::now();
        auto msg = TEmailMsg::Create();
        msg->LoadFromStream(text);
        msg->FSetFlaggedDeleted(true);
        TCriticalSectionGuard guard(msg->MessageLock());
        benchmark::DoNotOptimize(msg->GetParts().Count());
        run.Ms.push_back(std::chrono::duration<double, std::milli>(
                             std::chrono::steady_clock::now() - t0)
                             .count());
      }
      run.CpuSeconds = ThreadCpuSeconds() - cpuStart;
    });
    worker.join();
    Report(state, std::move(run));
  }
}

void BM_Unresolved(benchmark::State& state) {
  RunCondition(state, kQchServiceHost, kQchServicePort, kQchServicePort);
}

void BM_Refused(benchmark::State& state) {
  const std::uint16_t port = test::FreeLocalPort();
  RunCondition(state, "127.0.0.1", port, port);
}

void BM_BlackHoled(benchmark::State& state) {
  test::HangingTcpListener blackHole;
  RunCondition(state, "127.0.0.1", blackHole.Port(), test::FreeLocalPort());
}

void BM_SilentService(benchmark::State& state) {
  test::QchFakeService fake(R"({"handshake_always": [{"silent": true}]})");
  if (!fake.Ok()) {
    state.SkipWithError(fake.Error().c_str());
    return;
  }
  RunCondition(state, fake.Host(), fake.TcpPort(), fake.UdpPort());
}

void BM_Answering(benchmark::State& state) {
  test::QchFakeService fake(R"({"stop_codes": {"bits": {"160": 1, "163": 1, "172": 1}}})");
  if (!fake.Ok()) {
    state.SkipWithError(fake.Error().c_str());
    return;
  }
  RunCondition(state, fake.Host(), fake.TcpPort(), fake.UdpPort());
}

BENCHMARK(BM_Parse)->Iterations(1)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Unresolved)->Iterations(1)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Refused)->Iterations(1)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BlackHoled)->Iterations(1)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SilentService)->Iterations(1)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Answering)->Iterations(1)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  return halvorn::bench::RunBenchmarksWithRatios(argc, argv, "BM_Parse/iterations:1/manual_time",
                                                 "CPU time per message, as a ratio to parsing the message");
}
