// The rule program over the mail corpus, without header evaluations:
// messages per CPU-second of parsing alone (BM_ParseCorpus, the reference of
// the ratios printed after the table) against parsing and running the
// program, with the pattern caches on and off. After the table: each area's
// share of the program's time, the slowest message, the budget hits, and the
// compiled patterns the cache keeps with their memory.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "bench/corpus_messages.h"
#include "bench/ratio_reporter.h"
#include "classify/rule_program.h"
#include "foundation/regex/regex_cache.h"
#include "message/email_msg.h"

namespace {

using namespace halvorn;

class CountingSink : public IRuleResultSink {
 public:
  void HandleTestResult(bool outcome, std::uint16_t) override { Fired += outcome; }
  void AddRuleNote(std::uint16_t, const std::string&) override {}
  long Fired = 0;
};

TRuleProgramStats gStats;
double gSlowestMs = 0;
std::string gSlowestFile;

void CorpusPass(benchmark::State& state, bool program, bool caches) {
  const auto& corpus = bench::CorpusMessages();
  if (corpus.Messages.empty()) {
    state.SkipWithError("no mail corpus");
    return;
  }
  SetRegexCachesEnabled(caches);
  TPcreRegExpr matcher;
  CountingSink sink;
  for (auto _ : state) {
    for (std::size_t i = 0; i < corpus.Messages.size(); ++i) {
      const auto started = std::chrono::steady_clock::now();
      auto msg = TEmailMsg::Create();
      msg->LoadFromStream(corpus.Messages[i]);
      msg->FSetFlaggedDeleted(true);
      msg->GetParts();
      if (!program) continue;
      TRuleProgramRun run;
      if (caches) run.Stats = &gStats;
      RunRuleProgram(*msg, sink, matcher, run);
      const double ms = std::chrono::duration<double, std::milli>(
                            std::chrono::steady_clock::now() - started)
                            .count();
      if (caches && ms > gSlowestMs) {
        gSlowestMs = ms;
        gSlowestFile = corpus.Files[i];
      }
    }
  }
  SetRegexCachesEnabled(true);
  benchmark::DoNotOptimize(sink.Fired);
  state.counters["messages/s"] = benchmark::Counter(
      static_cast<double>(corpus.Messages.size()) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
}

void BM_ParseCorpus(benchmark::State& state) { CorpusPass(state, false, true); }
void BM_ParseAndProgram(benchmark::State& state) { CorpusPass(state, true, true); }
void BM_ParseAndProgramCachesOff(benchmark::State& state) { CorpusPass(state, true, false); }
BENCHMARK(BM_ParseCorpus)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_ParseAndProgram)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_ParseAndProgramCachesOff)->Unit(benchmark::kMillisecond)->Iterations(1);

void PrintFigures() {
  std::int64_t total = 0;
  for (std::int64_t ns : gStats.AreaNanoseconds) total += ns;
  if (total == 0) return;
  std::printf("\nShare of the program's time by area:\n");
  for (int area = 0; area < kRuleAreaCount; ++area) {
    const std::int64_t ns = gStats.AreaNanoseconds[static_cast<std::size_t>(area)];
    if (ns > 0)
      std::printf("  %-16s %6.2f %%\n", RuleAreaName(static_cast<TRuleArea>(area)),
                  100.0 * static_cast<double>(ns) / static_cast<double>(total));
  }
  std::printf("Slowest message: %s (%.2f ms with parsing)\n", gSlowestFile.c_str(), gSlowestMs);
  std::printf("Budget hits: %d\n", gStats.BudgetHits);
  const TRegexCacheStats cache = RegexCacheStats();
  std::printf("Compiled patterns kept: %zu (%zu failures), %zu bytes, %llu compilations\n",
              cache.Entries, cache.Failures, cache.Bytes,
              static_cast<unsigned long long>(cache.Compiles));
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  bench::TRatioReporter reporter("BM_ParseCorpus/min_time:2.000",
                                 "Time of a corpus pass relative to parsing alone");
  benchmark::RunSpecifiedBenchmarks(&reporter);
  PrintFigures();
  benchmark::Shutdown();
  return 0;
}
