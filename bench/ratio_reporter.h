// The console table of a benchmark program, followed by each named run's time
// per iteration divided by that of its reference run in the same process.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace halvorn::bench {

class TRatioReporter : public benchmark::ConsoleReporter {
 public:
  // Pairs of (run, its reference run), printed in this order under the title.
  TRatioReporter(std::string title, std::vector<std::pair<std::string, std::string>> pairs)
      : FTitle(std::move(title)), FPairs(std::move(pairs)) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
        FTimes[run.benchmark_name()] = run.GetAdjustedRealTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
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
  std::map<std::string, double> FTimes;
};

}  // namespace halvorn::bench
