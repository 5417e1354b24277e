// What the benchmark process holds in memory, for the memory figures.
#pragma once

#include <sys/resource.h>
#include <unistd.h>

#include <fstream>

namespace halvorn::bench {

// The most the process has held resident since it started.
inline double PeakResidentMegabytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// What it holds resident now.
inline double ResidentMegabytes() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1048576.0;
}

}  // namespace halvorn::bench
