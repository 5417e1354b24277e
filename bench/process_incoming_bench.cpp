// Messages of the mail corpus taken through the incoming processing thread,
// from unprocessed-incoming into processed-incoming, with the thread driven
// as the status tick drives it:
//  - with no rules, and with a few rules of both phases (tests judged,
//    actions performed, a rule table written into each message);
//  - with no rules while 10 000 messages already lie in processed-incoming
//    (the duplicate check walks them for every new message);
// each against reading, parsing and saving the same files in place. After
// the table each run's time is printed as a ratio to that reference.
// The data folders lie where bench_folder.h says (HALVORN_BENCH_DIR=/dev/shm
// for tmpfs). Each also counts its flushes per message: the thread commits batches of up
// to 50 messages, the reference saves each message on its own.
// Memory: the peak resident size of the program, and how much the resident
// size grows while the thread takes several batches of mail in a row (a
// processed message keeps its queue entry, not its text).
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_folder.h"
#include "bench/corpus_messages.h"
#include "bench/process_memory.h"
#include "bench/ratio_reporter.h"
#include "foundation/files/durability_batch.h"
#include "foundation/files/file_helpers.h"
#include "processing/processing_test_support.h"

namespace {

using namespace halvorn;

constexpr int kBatch = 1000;         // messages per run
constexpr int kProcessedBefore = 10000;
constexpr int kGrowthBatches = 4;    // batches of the memory run

// A throw-away install folder with every module the thread needs started,
// the test action classes and the scripted test class bound, and the
// rules of the run.
class TWorld {
 public:
  explicit TWorld(bool withRules)
      : FRoot(bench::NewBenchFolder()),
        FHome("HALVORN_HOME", FRoot->Sub("home")),
        FTemp("TMPDIR", FRoot->Sub("tmp")) {
    std::filesystem::create_directories(FRoot->Sub("tmp"));
    ResetFolderCachesForTests();
    StartAccountsModule();
    StartMessageRepositoryModule();
    TProcessingOptions defaults;
    SetProcessingOptions(kSingleUserName, defaults);
    InitializeListsModule();
    InitializeClassifyModule();
    StartProcessingModule();
    if (withRules) AddRules();
  }
  ~TWorld() {
    EndProcessingModule();
    FinalizeClassifyModule();
    FinalizeListsModule();
    EndMessageRepositoryModule();
    EndAccountsModule();
    ResetFolderCachesForTests();
  }
  TWorld(const TWorld&) = delete;
  TWorld& operator=(const TWorld&) = delete;

  // Writes `count` corpus messages into the folder, under names that start
  // with `prefix`; false without a corpus.
  static bool WriteMessages(const std::string& folder, const std::string& prefix, int count) {
    const std::vector<std::string>& messages = bench::CorpusMessages().Messages;
    if (messages.empty()) return false;
    std::filesystem::create_directories(folder);
    for (int i = 0; i < count; ++i) {
      char name[48];
      std::snprintf(name, sizeof name, "/%s-%05d.eml", prefix.c_str(), i);
      test::WriteFileBytes(folder + name, messages[i % messages.size()]);
    }
    return true;
  }

 private:
  // A test that passes everything tags it in phase 1; one that fails
  // everything would hold it in phase 0 and delete it in phase 1; a rule
  // regardless of outcome tags again (repeatable actions are not, so the
  // second tag is reported as not applied).
  static void AddRules() {
    auto always = test::MakeScriptedTest("Always", true);
    auto never = test::MakeScriptedTest("Never", false);
    GlobalTestList()->AddTest(always);
    GlobalTestList()->AddTest(never);
    GlobalActionList()->Add(test::MakeAction<test::TTagAction>("Tag", "[T] "));
    GlobalActionList()->Add(test::MakeAction<test::THoldAction>("Hold"));
    GlobalActionList()->Add(test::MakeAction<test::TDeleteTestAction>("Delete"));
    for (TRuleRef rule :
         {test::MakeRule("Hold early", "Never", "Hold", Rt_ReceiveBeforeProcessing),
          test::MakeRule("Tag", "Always", "Tag"), test::MakeRule("Delete", "Never", "Delete"),
          test::MakeRule("Tag again", "Never", "Tag", Rt_ReceiveAfterProcessing, po_Regardless)})
      GlobalRuleList()->Add(rule);
  }

  std::unique_ptr<test::TempFolder> FRoot;
  test::ScopedEnv FHome;
  test::ScopedEnv FTemp;
  test::TScriptedTestBinding FScripted;
  test::TTestActionBindings FActions;
};

// Each iteration: a fresh install folder with kBatch messages waiting (and
// kProcessedBefore processed ones, when asked), the queues loaded, then the
// thread until nothing waits (timed).
void RunThrough(benchmark::State& state, bool withRules, bool processedBefore) {
  double growth = 0;
  std::uint64_t flushes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto world = std::make_unique<TWorld>(withRules);
    if (!TWorld::WriteMessages(GetUnprocessedIncomingDir(kSingleUserName), "new", kBatch)) {
      state.SkipWithError("no mail corpus");
      state.ResumeTiming();
      break;
    }
    if (processedBefore)
      TWorld::WriteMessages(GetProcessedIncomingDir(kSingleUserName), "old", kProcessedBefore);
    TMessageRepository* repo = GetMessageRepository(kSingleUserName);
    const double before = bench::ResidentMegabytes();
    const std::uint64_t flushesBefore = DurabilityFlushCount();
    state.ResumeTiming();

    test::IncomingThreadHarness harness;
    harness.Thread().Resume();
    const bool idle = harness.RunUntilIdle(3600000);
    harness.Stop();

    state.PauseTiming();
    flushes += DurabilityFlushCount() - flushesBefore;
    growth = bench::ResidentMegabytes() - before;
    if (!idle || repo->UnProcessedIncoming()->Count() != 0)
      state.SkipWithError("the thread did not take every message");
    world.reset();
    state.ResumeTiming();
  }
  state.counters["messages/s"] = benchmark::Counter(
      static_cast<double>(kBatch) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
  state.counters["RSS growth MB"] = growth;
  state.counters["peak RSS MB"] = bench::PeakResidentMegabytes();
  state.counters["flushes/msg"] =
      static_cast<double>(flushes) / static_cast<double>(kBatch * state.iterations());
}

void BM_ReadParseSave(benchmark::State& state) {
  std::uint64_t flushes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto world = std::make_unique<TWorld>(false);
    const std::string folder = GetUnprocessedIncomingDir(kSingleUserName);
    if (!TWorld::WriteMessages(folder, "new", kBatch)) {
      state.SkipWithError("no mail corpus");
      state.ResumeTiming();
      break;
    }
    TStringList files;
    ListFilesInDir(folder, "*.eml", false, INT_MAX, files);
    const std::uint64_t flushesBefore = DurabilityFlushCount();
    state.ResumeTiming();

    for (int i = 0; i < files.Count(); ++i) {
      TEmailMsgRef msg = TEmailMsg::Create();
      msg->ReadFromFile(files[i]);
      {
        TCriticalSectionGuard guard(msg->MessageLock());
        benchmark::DoNotOptimize(msg->GetParts().Count());
      }
      msg->SaveToFile();
    }

    state.PauseTiming();
    flushes += DurabilityFlushCount() - flushesBefore;
    world.reset();
    state.ResumeTiming();
  }
  state.counters["messages/s"] = benchmark::Counter(
      static_cast<double>(kBatch) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
  state.counters["flushes/msg"] =
      static_cast<double>(flushes) / static_cast<double>(kBatch * state.iterations());
}
BENCHMARK(BM_ReadParseSave)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_ThreadNoRules(benchmark::State& state) { RunThrough(state, false, false); }
BENCHMARK(BM_ThreadNoRules)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_ThreadFewRules(benchmark::State& state) { RunThrough(state, true, false); }
BENCHMARK(BM_ThreadFewRules)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_ThreadNoRules10000Processed(benchmark::State& state) { RunThrough(state, false, true); }
BENCHMARK(BM_ThreadNoRules10000Processed)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseRealTime();

// Several batches through one thread: the resident size after the first
// and after the last batch. What grows is the queue's entries, not the
// texts of the messages processed.
void BM_MemoryOverBatches(benchmark::State& state) {
  for (auto _ : state) {
    TWorld world(true);
    TMessageRepository* repo = GetMessageRepository(kSingleUserName);
    test::IncomingThreadHarness harness;
    double afterFirst = 0;
    for (int batch = 0; batch < kGrowthBatches; ++batch) {
      // New mail arrives as a download stores it: a message of the queue,
      // saved to a file of its own.
      const std::vector<std::string>& messages = bench::CorpusMessages().Messages;
      if (messages.empty()) {
        state.SkipWithError("no mail corpus");
        return;
      }
      for (int i = 0; i < kBatch; ++i) {
        TEmailMsgRef msg = TEmailMsg::Create(repo->UnProcessedIncoming());
        msg->LoadFromStream(messages[(batch * kBatch + i) % messages.size()]);
        msg->SaveToFile();
      }
      harness.Thread().Resume();
      if (!harness.RunUntilIdle(3600000)) state.SkipWithError("the thread did not finish");
      if (batch == 0) afterFirst = bench::ResidentMegabytes();
    }
    const double afterLast = bench::ResidentMegabytes();
    harness.Stop();
    int loaded = 0;
    for (TEmailMsgList* queue : repo->Queues())
      for (const TEmailMsgRef& msg : queue->Snapshot()) loaded += msg->IsLoaded() ? 1 : 0;
    state.counters["texts kept"] = loaded;
    state.counters["RSS after first MB"] = afterFirst;
    state.counters["RSS after last MB"] = afterLast;
    state.counters["growth KB/1000 msgs"] =
        (afterLast - afterFirst) * 1024.0 / (kGrowthBatches - 1);
    state.counters["peak RSS MB"] = bench::PeakResidentMegabytes();
  }
}
BENCHMARK(BM_MemoryOverBatches)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  halvorn::bench::TRatioReporter reporter("BM_ReadParseSave/iterations:3/real_time",
                                          "time per batch / reading, parsing and saving it");
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
