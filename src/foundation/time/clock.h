// The program's one clock.
//
// Every read of the date and time goes through Now() / NowUtc(), and every
// conversion between UTC and local time asks UtcOffsetSecondsAt(), so a test
// can set both the time and the zone and get the same answers on any machine.
// Waits and time-outs do not use this clock: they measure with
// SteadyMilliseconds(), which the user's clock changes never move.
#pragma once

#include <cstdint>
#include <functional>

#include "foundation/time/date_time.h"

namespace halvorn {

// The local date and time now. Safe from any thread.
TDateTime Now();

// The UTC date and time now. Safe from any thread.
TDateTime NowUtc();

// Local time minus UTC in seconds at the given moment (seconds since 1 Jan
// 1970, UTC), daylight saving included. 0 when the zone cannot be read. Under a
// test zone (SetZoneForTests) the fixed test offset. Safe from any thread.
long UtcOffsetSecondsAt(std::int64_t unixSeconds);

// Milliseconds of a monotonic clock with an arbitrary origin: only differences
// mean anything. Use it for every wait, time-out and "last alive" interval that
// must not jump when the user sets the clock. Safe from any thread.
std::int64_t SteadyMilliseconds();

// Test seams. Each replaces the real source for the whole process until
// ResetClock(); safe from any thread, but tests that set the clock should not
// run in parallel within one process.
//
// A fixed local date-time: Now() answers it until it is set again.
void SetClockForTests(TDateTime localNow);
// A function that answers the local date-time at every call (for a clock that
// moves); it is called without the clock's lock held.
void SetClockForTests(std::function<TDateTime()> localNow);
// A fixed zone: local time = UTC + bias (in days) at every moment.
void SetZoneForTests(TDateTime bias);
// Back to the system's clock and zone.
void ResetClock();

// Sets the clock (and optionally the zone) for one scope and restores the real
// ones when it goes. Not copyable.
class ScopedClockForTests {
 public:
  explicit ScopedClockForTests(TDateTime localNow) { SetClockForTests(localNow); }
  ScopedClockForTests(TDateTime localNow, TDateTime zoneBias) {
    SetZoneForTests(zoneBias);
    SetClockForTests(localNow);
  }
  ~ScopedClockForTests() { ResetClock(); }
  ScopedClockForTests(const ScopedClockForTests&) = delete;
  ScopedClockForTests& operator=(const ScopedClockForTests&) = delete;
};

}  // namespace halvorn
