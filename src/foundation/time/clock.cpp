#include "foundation/time/clock.h"

#include <time.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <mutex>
#include <optional>

namespace halvorn {

namespace {

struct TClockState {
  std::mutex Lock;
  // Shared so a caller can run the function after letting go of the lock.
  std::shared_ptr<const std::function<TDateTime()>> Source;
  std::optional<long> ZoneSeconds;
};

TClockState& State() {
  static TClockState state;
  return state;
}

TDateTime RealLocalNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  const long offset = UtcOffsetSecondsAt(ts.tv_sec);
  return UnixToDateTime(static_cast<std::int64_t>(ts.tv_sec) + offset) +
         static_cast<double>(ts.tv_nsec) / 86400e9;
}

}  // namespace

long UtcOffsetSecondsAt(std::int64_t unixSeconds) {
  {
    TClockState& state = State();
    std::lock_guard<std::mutex> guard(state.Lock);
    if (state.ZoneSeconds) return *state.ZoneSeconds;
  }
  const time_t t = static_cast<time_t>(unixSeconds);
  tm local{};
  if (localtime_r(&t, &local) == nullptr) return 0;
  return local.tm_gmtoff;
}

TDateTime Now() {
  std::shared_ptr<const std::function<TDateTime()>> source;
  {
    TClockState& state = State();
    std::lock_guard<std::mutex> guard(state.Lock);
    source = state.Source;
  }
  if (source) return (*source)();
  return RealLocalNow();
}

TDateTime NowUtc() {
  bool testClock;
  {
    TClockState& state = State();
    std::lock_guard<std::mutex> guard(state.Lock);
    testClock = static_cast<bool>(state.Source);
  }
  if (testClock) return LocalToUtc(Now());
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return UnixToDateTime(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 86400e9;
}

std::int64_t SteadyMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void SetClockForTests(TDateTime localNow) {
  SetClockForTests(std::function<TDateTime()>([localNow] { return localNow; }));
}

void SetClockForTests(std::function<TDateTime()> localNow) {
  auto source = std::make_shared<const std::function<TDateTime()>>(std::move(localNow));
  TClockState& state = State();
  std::lock_guard<std::mutex> guard(state.Lock);
  state.Source = std::move(source);
}

void SetZoneForTests(TDateTime bias) {
  TClockState& state = State();
  std::lock_guard<std::mutex> guard(state.Lock);
  state.ZoneSeconds = std::lround(bias * 86400.0);
}

void ResetClock() {
  TClockState& state = State();
  std::lock_guard<std::mutex> guard(state.Lock);
  state.Source.reset();
  state.ZoneSeconds.reset();
}

}  // namespace halvorn
