// Growth of the header decoder of encoded words and of the address
// extraction with the size of their input: DecodeMimeWords on 5 000 and
// 50 000 encoded words, ExtractEmailAddresses on 1 MB and 10 MB of text full
// of "@". After the usual table, each run's time per input byte is printed
// as a ratio to that of the smaller run of its kind: linear work stays near
// 1, quadratic work grows with the size (about 10 here).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "foundation/text/string_list.h"
#include "message/email_address.h"
#include "message/mime_words.h"

namespace {

// Words of the least favoured prefix, with one winning word at the end: a
// decoder that searches the rest again for every prefix at every word reads
// the whole text once per word.
std::string Header(int words) {
  std::string text;
  for (int i = 0; i < words; ++i) text += "=?UTF-8?Q?w_" + std::to_string(i) + "?= ";
  return text + "=?ISO-8859-1?Q?last?=";
}

// A body of single "@" between words, and one run of many "@".
std::string Body(std::size_t size) {
  std::string text;
  while (text.size() < size / 2) text += "mail @ home ";
  text += std::string(size - text.size(), '@');
  return text;
}

void BM_DecodeMimeWords(benchmark::State& state) {
  const std::string text = Header(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(halvorn::DecodeMimeWords(text));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
  state.counters["bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_DecodeMimeWords)->Arg(5000)->Arg(50000)->Unit(benchmark::kMillisecond);

void BM_ExtractEmailAddresses(benchmark::State& state) {
  const std::string body = Body(static_cast<std::size_t>(state.range(0)) << 20);
  for (auto _ : state) {
    state.PauseTiming();
    std::string text = body;
    halvorn::TStringList list;
    state.ResumeTiming();
    halvorn::ExtractEmailAddresses(text, list);
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(body.size()));
  state.counters["bytes"] = static_cast<double>(body.size());
}
BENCHMARK(BM_ExtractEmailAddresses)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);

// Prints the console table and then, per benchmark, each run's time per
// byte divided by that of its first (smallest) run.
class TGrowthReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
      const auto bytes = run.counters.find("bytes");
      if (bytes == run.counters.end() || bytes->second.value <= 0) continue;
      FRuns[run.run_name.function_name].push_back(
          {run.benchmark_name(), run.GetAdjustedRealTime() / bytes->second.value});
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\nTime per byte relative to the smallest run:\n");
    for (const auto& [function, runs] : FRuns) {
      for (const auto& [name, perByte] : runs) {
        std::printf("  %-36s %6.2f\n", name.c_str(), perByte / runs.front().second);
      }
    }
  }

 private:
  std::map<std::string, std::vector<std::pair<std::string, double>>> FRuns;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  TGrowthReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
