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

}  // namespace halvorn::bench
