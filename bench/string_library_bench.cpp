// Substring search on a 1 MB text: BoyerMoorePos, PosFrom and PosMaskFrom
// against the standard library's find, the reference run. After the usual
// table, each search's time is printed as a ratio to the reference's.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "foundation/text/string_library.h"

namespace {

// Mail-like text of lower-case letters, spaces and line ends, in which the
// needle's first character is common. The needle itself stands only at the
// very end, so every search walks the whole megabyte.
const std::string& Haystack() {
  static const std::string text = [] {
    std::mt19937 random(1);
    const std::string alphabet = "abcdefghijklmnopqrstuvwxyz    \r\n";
    std::string t(1 << 20, ' ');
    for (char& c : t) c = alphabet[random() % alphabet.size()];
    t.replace(t.size() - 24, 24, "x-spam-checker-version: ");
    return t;
  }();
  return text;
}

const std::string kNeedle = "x-spam-checker-version: ";

void BM_StdFind(benchmark::State& state) {
  const std::string& text = Haystack();
  for (auto _ : state) benchmark::DoNotOptimize(text.find(kNeedle));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_StdFind);

void BM_PosFrom(benchmark::State& state) {
  const std::string& text = Haystack();
  for (auto _ : state) benchmark::DoNotOptimize(halvorn::PosFrom(text, kNeedle, 1));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_PosFrom);

void BM_BoyerMoorePos(benchmark::State& state) {
  const std::string& text = Haystack();
  for (auto _ : state) benchmark::DoNotOptimize(halvorn::BoyerMoorePos(text, kNeedle, 1));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_BoyerMoorePos);

void BM_BoyerMoorePosIgnoreCase(benchmark::State& state) {
  const std::string& text = Haystack();
  for (auto _ : state) benchmark::DoNotOptimize(halvorn::BoyerMoorePos(text, kNeedle, -1));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_BoyerMoorePosIgnoreCase);

void BM_PosMaskFromIgnoreCase(benchmark::State& state) {
  const std::string& text = Haystack();
  for (auto _ : state) benchmark::DoNotOptimize(halvorn::PosMaskFrom(text, kNeedle, -1));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_PosMaskFromIgnoreCase);

}  // namespace

int main(int argc, char** argv) {
  return halvorn::bench::RunBenchmarksWithRatios(argc, argv, "BM_StdFind",
                                                 "Time relative to std::string::find");
}
