// The benchmark program's resident memory, for figures of what a structure
// or a run keeps.
#pragma once

#include <unistd.h>

#include <fstream>

namespace halvorn::bench {

// Resident memory now, in megabytes (0 where /proc cannot be read).
inline double ResidentMegabytes() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1048576.0;
}

}  // namespace halvorn::bench
