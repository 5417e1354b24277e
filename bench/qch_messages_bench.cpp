// The central service's TCP messages: encoding and decoding per class; the
// frame factory's cost per frame with 10 and with 10 000 frames buffered
// (equal when taking a frame off the front is independent of what follows);
// a match query's round trip to the fake service on 127.0.0.1; and the
// memory a flood of 100 000 replies for other requests leaves behind (the
// pending entries are capped).
#include <benchmark/benchmark.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "bench/ratio_reporter.h"
#include "foundation/files/version_info.h"
#include "lists/qch/qch_client_socket.h"
#include "lists/qch/qch_messages.h"
#include "lists/qch/qch_service.h"
#include "support/qch_fake_service.h"

namespace {

using namespace halvorn;

// A populated message of the type, in this program's layout.
std::unique_ptr<TQchMsg> Sample(int type) {
  std::unique_ptr<TQchMsg> msg = MakeQchMsg(static_cast<std::uint8_t>(type));
  msg->Version = GetPackedVersion();
  msg->MsgId = 1234;
  if (auto* m = dynamic_cast<TQchClientMsg*>(msg.get())) m->Key = "K3y-with-16char!";
  if (auto* m = dynamic_cast<TQchMatchQueryMsg*>(msg.get())) m->CheckSums.assign(40, 0x12345678);
  if (auto* m = dynamic_cast<TQchSubmitTextMsg*>(msg.get())) {
    m->CheckSums.assign(40, 7);
    m->Text.assign(2000, 'x');
  }
  if (auto* m = dynamic_cast<TQchSubmitTestsMsg*>(msg.get())) {
    m->Trites = TriteArrayFromText(std::string(700, 'n') + "yyny");
    m->StatData.assign(1500, 'y');
  }
  if (auto* m = dynamic_cast<TQchMatchResponseMsg*>(msg.get())) {
    m->Records.resize(5);
    m->ExtraInfo = "HT=1,T=some text";
  }
  if (auto* m = dynamic_cast<TQchMsgRecResponseMsg*>(msg.get())) {
    m->Rec.ExtraInfo.assign(300, 't');
    m->Rec.CheckSums.assign(40, 9);
  }
  return msg;
}

void BM_Encode(benchmark::State& state) {
  auto msg = Sample(static_cast<int>(state.range(0)));
  std::string frame;
  for (auto _ : state) {
    frame.clear();
    msg->WriteTo(frame);
    benchmark::DoNotOptimize(frame.data());
  }
}

void BM_Decode(benchmark::State& state) {
  auto msg = Sample(static_cast<int>(state.range(0)));
  std::string frame;
  msg->WriteTo(frame);
  for (auto _ : state) {
    TQchBuffer buffer;
    buffer.Append(frame);
    auto decoded = CreateQchMsgFromStream(buffer);
    benchmark::DoNotOptimize(decoded.get());
  }
}

// Time per frame taken, with `frames` buffered at the start.
void BM_Factory(benchmark::State& state) {
  const auto frames = static_cast<int>(state.range(0));
  std::string frame;
  Sample(Qch_MatchResponse)->WriteTo(frame);
  std::string all;
  for (int i = 0; i < frames; ++i) all += frame;
  for (auto _ : state) {
    TQchBuffer buffer;
    buffer.Append(all);
    const auto start = std::chrono::steady_clock::now();
    while (auto msg = CreateQchMsgFromStream(buffer)) benchmark::DoNotOptimize(msg.get());
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    state.SetIterationTime(took.count() / frames);
  }
}

void BM_MatchRoundTrip(benchmark::State& state) {
  test::QchFakeService fake("{}");
  if (!fake.Ok()) {
    state.SkipWithError(fake.Error().c_str());
    return;
  }
  ScopedQchServiceForTests scope(fake.Host(), fake.TcpPort(), fake.UdpPort());
  TQCHClientSocket socket("bench");
  if (!socket.Open()) {
    state.SkipWithError("cannot open");
    return;
  }
  const TCheckSumArray sums(30, 77);
  for (auto _ : state) {
    const std::int32_t id = socket.SendAddAndMatchMsg(sums, {}, {}, {});
    std::int32_t number = 0, item = 0;
    std::string extra;
    TMsgSearchRecArray records;
    if (!socket.ReceiveAddAndMatchMsg(id, number, item, extra, records)) {
      state.SkipWithError("no reply");
      return;
    }
  }
}

long ResidentKiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

void BM_MemoryAfterFlood(benchmark::State& state) {
  test::QchFakeService fake(R"({"requests": {"9": [[{"flood": 100000}]]}})");
  if (!fake.Ok()) {
    state.SkipWithError(fake.Error().c_str());
    return;
  }
  ScopedQchServiceForTests scope(fake.Host(), fake.TcpPort(), fake.UdpPort());
  for (auto _ : state) {
    TQCHClientSocket socket("bench");
    socket.ReplyWait = 10000;
    socket.IdleLimit = 10000;
    const long before = ResidentKiB();
    TMessageRec rec;
    socket.GetMsgInfo(1, rec);
    state.counters["pending"] = static_cast<double>(socket.PendingCount());
    state.counters["rss_growth_KiB"] = static_cast<double>(ResidentKiB() - before);
  }
}

BENCHMARK(BM_Encode)->DenseRange(1, 18);
BENCHMARK(BM_Decode)->DenseRange(1, 18);
// The manual time is per frame; the iterations are fixed so both drain the
// same number of frames.
BENCHMARK(BM_Factory)->Arg(10)->Iterations(20000)->UseManualTime();
BENCHMARK(BM_Factory)->Arg(10000)->Iterations(20)->UseManualTime();
BENCHMARK(BM_MatchRoundTrip)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MemoryAfterFlood)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  halvorn::bench::TPairRatioReporter reporter(
      "Factory cost per frame, 10 000 frames buffered against 10:",
      {{"BM_Factory/10000/iterations:20/manual_time", "BM_Factory/10/iterations:20000/manual_time"}});
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
