// Statistics hooks. Traced operations call StatEnter and StatLeave around
// their work; the hooks, and the statistics view's reset, do nothing. The
// view's two switches remain.
#pragma once

#include <cstdint>
#include <string>

namespace halvorn {

// Entering and leaving a traced section; both do nothing. Any thread.
void StatEnter(const std::string& section);
void StatLeave(const std::string& section, int code);
// The statistics view's reset; does nothing.
void StatReset();

// One node of the (always empty) statistics lists.
struct TStatNode {
  std::string Name;
  std::uint64_t FUserMicroseconds = 0;
  std::uint64_t FKernelMicroseconds = 0;
  // The two counters' sum in seconds.
  double StatCpuSeconds() const;
};

// Keep statistics: on in developer mode, read when first asked. Any thread.
bool KeepStatistics();
void SetKeepStatistics(bool keep);
// Keep data points: off.
bool KeepDataPoints();
void SetKeepDataPoints(bool keep);

}  // namespace halvorn
