// The central service's answer in the tests, and the user's categorisations.
//
// Answer tests: every corpus message read from its bytes and judged by the
// category check (a virus test, which also looks at the attachments) or the
// uniqueness check, with 0, 10 or 100 match records on it; messages per
// CPU-second, and after the table the time of each pass as a ratio to
// parsing the same messages (BM_ParseCorpus).
//
// Categorisations: 1 000 spam categorisations applied to a list of 50
// scripted tests, each message's side record holding the 50 tests' result
// codes and 700 standard tests, its reports going over UDP or over TCP (as
// the stop codes say) to the fake service on 127.0.0.1, or to the default
// host, which no name resolves here. The counters give the mean, 99th
// percentile and longest wall time per categorisation in ms. Goal: at most
// 2 ms mean with the host unresolved, on both paths. Each categorisation
// saves its side record durably, so the "Disk" runs hold one flush to disk
// (the corpus passes' records go to the run's scratch folder as well); the
// "Memory" runs keep the install folder in /dev/shm, where the flush costs
// nothing, and show the program's own share.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench/corpus_messages.h"
#include "bench/ratio_reporter.h"
#include "classify/qch_tests.h"
#include "classify/test_list.h"
#include "foundation/files/install_folders.h"
#include "lists/qch/qch_records.h"
#include "lists/qch/qch_service.h"
#include "lists/qch/qch_udp.h"
#include "message/email_info.h"
#include "message/email_msg.h"
#include "support/qch_fake_service.h"
#include "support/scripted_test.h"
#include "support/test_support.h"

namespace {

using namespace halvorn;

// n records of the kinds a service sends: message matches of falling
// overlap with votes and sightings, attachments, one repetition record.
TMsgSearchRecArray Records(int n) {
  TMsgSearchRecArray records;
  for (int i = 0; i < n; ++i) {
    TMsgSearchRec r;
    InitMsgSearchRec(r);
    r.Kind = i % 10 == 9 ? kMatchRepetition : i % 5 == 4 ? kMatchAttachment : kMatchMessage;
    r.CommonCount = 100 - i % 100;
    r.ExtraCount = i % 100;
    r.TimesEncountered = 10 * i + 1;
    r.ItemId = 1000 + i;
    SetCategoryCount(r.Counts, static_cast<std::uint8_t>(1 + i % 9), static_cast<std::uint16_t>(i));
    r.Counts.StaffCategory = static_cast<std::uint8_t>(i % 3 == 0 ? 8 : 0);
    records.push_back(r);
  }
  SortMsgSearchRecs(records);
  return records;
}

void CorpusPass(benchmark::State& state, const std::function<std::shared_ptr<TTest>()>& make) {
  const auto& messages = bench::CorpusMessages().Messages;
  if (messages.empty()) {
    state.SkipWithError("no mail corpus");
    return;
  }
  const TMsgSearchRecArray records = Records(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    std::shared_ptr<TTest> test = make ? make() : nullptr;
    int passed = 0;
    for (const std::string& bytes : messages) {
      auto msg = TEmailMsg::Create();
      msg->LoadFromStream(bytes);
      msg->FSetFlaggedDeleted(true);
      {
        TCriticalSectionGuard guard(msg->MessageLock());
        if (!test) {
          benchmark::DoNotOptimize(msg->GetParts().Count());
          continue;
        }
        msg->SearchRecs() = records;
      }
      if (test->Evaluate(*msg, nullptr)) ++passed;
    }
    benchmark::DoNotOptimize(passed);
  }
  state.counters["messages/s"] = benchmark::Counter(
      static_cast<double>(messages.size()) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
}

void BM_ParseCorpus(benchmark::State& state) {
  CorpusPass(state, nullptr);
}
void BM_CategoryCheck(benchmark::State& state) {
  CorpusPass(state, [] {
    auto test = std::make_shared<TQCHCategoryTest>();
    test->SetName("Virus");
    return test;
  });
}
void BM_UniquenessCheck(benchmark::State& state) {
  CorpusPass(state, [] {
    auto test = std::make_shared<TQCHUniquenessTest>();
    test->SetName("Seen");
    return test;
  });
}
BENCHMARK(BM_ParseCorpus)->Arg(0)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_CategoryCheck)->Arg(0)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_UniquenessCheck)->Arg(0)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond)->MinTime(2);

// ---------------------------------------------------------------------------
// Categorisations

constexpr int kCategorisations = 1000;
constexpr int kTests = 50;

// The side records of n messages as processing leaves them.
std::vector<std::int32_t> SideRecords(int n) {
  TStringList codes;
  for (int t = 0; t < kTests; ++t)
    codes.SetValue("Uid" + std::to_string(t), t % 2 ? "Pa=y" : "Pa=n");
  const std::string statData = codes.CommaText();
  const TTriteArray trites = TriteArrayFromText(std::string(696, 'n') + "yyny");
  std::vector<std::int32_t> ids;
  for (int i = 0; i < n; ++i) {
    TBorrowedEmailInfo record;
    AcquireNewEmailInfo(record.Ref(), {});
    record.Ref()->SetValue(TEmailInfoKey::StatData, statData);
    record.Ref()->SetStandardTests(trites);
    ids.push_back(record.Ref()->Id());
  }
  return ids;
}

void Categorise(benchmark::State& state, const std::string& host, int tcpPort, int udpPort,
                bool overTcp, bool inMemory) {
  if (inMemory && !std::filesystem::is_directory("/dev/shm")) {
    state.SkipWithError("no /dev/shm");
    return;
  }
  test::TempFolder scratch;
  std::string home = scratch.Path();
  if (inMemory) {
    std::string pattern = "/dev/shm/halvorn-bench-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      state.SkipWithError("mkdtemp failed in /dev/shm");
      return;
    }
    home = pattern;
  }
  test::ScopedEnv env("HALVORN_HOME", home);
  ResetFolderCachesForTests();
  for (auto _ : state) {
    ScopedQchServiceForTests scope(host, tcpPort, udpPort);
    auto codes = std::make_shared<TStopCodesQchUdpMsg>();
    codes->SetBit(TStopCodesQchUdpMsg::kRepStandTestArrayOnCatSpam, true);
    codes->SetBit(TStopCodesQchUdpMsg::kRepStandTestArrayOnCatSpamUDP, !overTcp);
    SetQchStopCodes(codes);
    auto list = std::make_shared<TTestList>();
    for (int t = 0; t < kTests; ++t) {
      auto test = test::MakeScriptedTest("T" + std::to_string(t));
      test->SetUniqueId("Uid" + std::to_string(t));
      list->AddTest(test);
    }
    const std::vector<std::int32_t> ids = SideRecords(kCategorisations);
    std::vector<double> ms;
    double total = 0;
    for (const std::int32_t id : ids) {
      const auto t0 = std::chrono::steady_clock::now();
      list->QueueUserCategorisation(id, Mc_CommercialSpam);
      ms.push_back(
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
      total += ms.back();
    }
    state.SetIterationTime(total / 1000.0 / kCategorisations);
    std::sort(ms.begin(), ms.end());
    state.counters["mean_ms"] = total / kCategorisations;
    state.counters["p99_ms"] = ms[static_cast<std::size_t>(0.99 * (kCategorisations - 1))];
    state.counters["max_ms"] = ms.back();
  }
  SetQchStopCodes(nullptr);
  ResetFolderCachesForTests();
  if (inMemory) {
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
  }
}

void Unresolved(benchmark::State& state, bool overTcp, bool inMemory) {
  Categorise(state, kQchServiceHost, kQchServicePort, kQchServicePort, overTcp, inMemory);
}

void Answering(benchmark::State& state, bool overTcp, bool inMemory) {
  test::QchFakeService fake("{}");
  if (!fake.Ok()) {
    state.SkipWithError(fake.Error().c_str());
    return;
  }
  Categorise(state, fake.Host(), fake.TcpPort(), fake.UdpPort(), overTcp, inMemory);
}

#define CATEGORISE_BENCH(name, how, tcp, memory)       \
  void name(benchmark::State& state) {                 \
    how(state, tcp, memory);                           \
  }                                                    \
  BENCHMARK(name)->Iterations(1)->UseManualTime()->Unit(benchmark::kMicrosecond)
CATEGORISE_BENCH(BM_CategoriseUnresolvedUdpDisk, Unresolved, false, false);
CATEGORISE_BENCH(BM_CategoriseUnresolvedTcpDisk, Unresolved, true, false);
CATEGORISE_BENCH(BM_CategoriseAnsweringUdpDisk, Answering, false, false);
CATEGORISE_BENCH(BM_CategoriseAnsweringTcpDisk, Answering, true, false);
CATEGORISE_BENCH(BM_CategoriseUnresolvedUdpMemory, Unresolved, false, true);
CATEGORISE_BENCH(BM_CategoriseUnresolvedTcpMemory, Unresolved, true, true);
CATEGORISE_BENCH(BM_CategoriseAnsweringUdpMemory, Answering, false, true);
CATEGORISE_BENCH(BM_CategoriseAnsweringTcpMemory, Answering, true, true);

}  // namespace

int main(int argc, char** argv) {
  // The side records of the corpus passes go to a folder of the run's own.
  halvorn::test::TempFolder home;
  setenv("HALVORN_HOME", home.Path().c_str(), 1);
  halvorn::ResetFolderCachesForTests();
  benchmark::Initialize(&argc, argv);
  bench::TPairRatioReporter reporter(
      "Corpus pass relative to parsing the same messages:",
      {{"BM_CategoryCheck/0/min_time:2.000", "BM_ParseCorpus/0/min_time:2.000"},
       {"BM_CategoryCheck/10/min_time:2.000", "BM_ParseCorpus/0/min_time:2.000"},
       {"BM_CategoryCheck/100/min_time:2.000", "BM_ParseCorpus/0/min_time:2.000"},
       {"BM_UniquenessCheck/0/min_time:2.000", "BM_ParseCorpus/0/min_time:2.000"},
       {"BM_UniquenessCheck/10/min_time:2.000", "BM_ParseCorpus/0/min_time:2.000"},
       {"BM_UniquenessCheck/100/min_time:2.000", "BM_ParseCorpus/0/min_time:2.000"}});
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
