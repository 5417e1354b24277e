// What the benchmark process holds in memory, for the memory figures.
#pragma once

#include <sys/resource.h>

#include "bench/resident_memory.h"

namespace halvorn::bench {

// The most the process has held resident since it started.
inline double PeakResidentMegabytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

}  // namespace halvorn::bench
