// Console reporters that print, after Google Benchmark's usual table, each
// run's time as a ratio to a reference run of the same program.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace halvorn::bench {

// Keeps every run's real time per iteration, in nanoseconds, by name.
class TTimesReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && run.iterations > 0)
        FTimes[run.benchmark_name()] =
            run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
    }
    ConsoleReporter::ReportRuns(runs);
  }

 protected:
  std::map<std::string, double> FTimes;
};

// Prints every run's time divided by that of the run named `reference`.
class TRatioReporter : public TTimesReporter {
 public:
  TRatioReporter(std::string reference, std::string title)
      : FReference(std::move(reference)), FTitle(std::move(title)) {}

  void Finalize() override {
    ConsoleReporter::Finalize();
    auto reference = FTimes.find(FReference);
    if (reference == FTimes.end() || reference->second <= 0) return;
    std::printf("\n%s:\n", FTitle.c_str());
    for (const auto& [name, time] : FTimes)
      std::printf("  %-32s %10.2f\n", name.c_str(), time / reference->second);
  }

 private:
  std::string FReference;
  std::string FTitle;
};

// Prints, for each pair (run, its reference run) in the order given, the
// run's time divided by its reference's.
class TPairRatioReporter : public TTimesReporter {
 public:
  TPairRatioReporter(std::string title, std::vector<std::pair<std::string, std::string>> pairs)
      : FTitle(std::move(title)), FPairs(std::move(pairs)) {}

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n%s\n", FTitle.c_str());
    for (const auto& [name, reference] : FPairs) {
      const auto run = FTimes.find(name);
      const auto base = FTimes.find(reference);
      if (run == FTimes.end() || base == FTimes.end() || base->second <= 0) continue;
      std::printf("  %-24s / %-30s %8.3f\n", name.c_str(), reference.c_str(),
                  run->second / base->second);
    }
  }

 private:
  std::string FTitle;
  std::vector<std::pair<std::string, std::string>> FPairs;
};

// A benchmark program's whole main: runs the benchmarks the command line
// picks and prints their times as ratios to the run named `reference`.
inline int RunBenchmarksWithRatios(int argc, char** argv, const std::string& reference,
                                   const std::string& title) {
  benchmark::Initialize(&argc, argv);
  TRatioReporter reporter(reference, title);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}

}  // namespace halvorn::bench
