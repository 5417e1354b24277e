#include "foundation/app/statistics_hooks.h"

#include <atomic>

#include "foundation/app/developer_mode.h"

namespace halvorn {
namespace {

// -1: not decided yet (developer mode is read on first use).
std::atomic<int> GKeepStatistics{-1};
std::atomic<bool> GKeepDataPoints{false};

}  // namespace

void StatEnter(const std::string& /*section*/) {}
void StatLeave(const std::string& /*section*/, int /*code*/) {}
void StatReset() {}

double TStatNode::StatCpuSeconds() const {
  return static_cast<double>(FUserMicroseconds + FKernelMicroseconds) * 0.000001;
}

bool KeepStatistics() {
  int keep = GKeepStatistics.load();
  if (keep < 0) {
    keep = IsDeveloperMode() ? 1 : 0;
    GKeepStatistics.store(keep);
  }
  return keep == 1;
}

void SetKeepStatistics(bool keep) {
  GKeepStatistics.store(keep ? 1 : 0);
}

bool KeepDataPoints() {
  return GKeepDataPoints.load();
}

void SetKeepDataPoints(bool keep) {
  GKeepDataPoints.store(keep);
}

}  // namespace halvorn
