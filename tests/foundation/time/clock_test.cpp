#include "foundation/time/clock.h"

#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace halvorn {
namespace {

constexpr double kOneMs = 1.0 / 86400000.0;
constexpr double kHour = 1.0 / 24.0;
constexpr double kMinute = 1.0 / 1440.0;

// Restores the system's clock and zone after every test.
class Clock : public ::testing::Test {
 protected:
  void TearDown() override { ResetClock(); }
};

TEST_F(Clock, RealClockAgreesWithTheSystem) {
  const TDateTime utc = NowUtc();
  const double system = static_cast<double>(time(nullptr)) / 86400.0 + kUnixEpochDateTime;
  EXPECT_NEAR(utc, system, 5.0 / 86400.0);
  EXPECT_NEAR(Now() - utc, LocalTimeZoneBias(), 5.0 / 86400.0);
  const std::int64_t a = SteadyMilliseconds();
  const std::int64_t b = SteadyMilliseconds();
  EXPECT_LE(a, b);
}

TEST_F(Clock, TestClockAndZoneAreWhatEveryReaderSees) {
  const TDateTime local = EncodeDateTime(2002, 12, 3, 10, 15, 0);
  SetZoneForTests(kHour);
  SetClockForTests(local);
  EXPECT_EQ(Now(), local);
  EXPECT_NEAR(NowUtc(), local - kHour, kOneMs);
  EXPECT_NEAR(LocalTimeZoneBias(), kHour, kOneMs);
  EXPECT_EQ(UtcOffsetSecondsAt(0), 3600);
  EXPECT_EQ(DateTimeToRfc822(LocalTimeZoneBias(), Now()), "Tue, 3 Dec 2002 10:15:00 +0100");
  EXPECT_NEAR(UtcToLocal(local - kHour), local, kOneMs);
  EXPECT_NEAR(LocalToUtc(local), local - kHour, kOneMs);

  // A moving clock.
  TDateTime t = local;
  SetClockForTests([&t] { return t += kMinute; });
  EXPECT_NEAR(Now(), local + kMinute, kOneMs);
  EXPECT_NEAR(Now(), local + 2 * kMinute, kOneMs);

  ResetClock();
  EXPECT_GT(Now(), EncodeDateTime(2020, 1, 1));
}

TEST_F(Clock, ScopedClockRestoresTheRealOne) {
  {
    ScopedClockForTests clock(EncodeDateTime(1999, 1, 1), -5 * kHour);
    EXPECT_EQ(Now(), EncodeDateTime(1999, 1, 1));
    EXPECT_EQ(UtcOffsetSecondsAt(123456), -5 * 3600);
  }
  EXPECT_GT(Now(), EncodeDateTime(2020, 1, 1));
}

TEST_F(Clock, RealZoneFollowsDaylightSavingAtEachMoment) {
  struct TzReset {
    ~TzReset() { tzset(); }
  } resetAfterwards;
  test::ScopedEnv tz("TZ", "America/New_York");
  tzset();
  EXPECT_EQ(UtcOffsetSecondsAt(1768478400), -5 * 3600);  // January 2026
  EXPECT_EQ(UtcOffsetSecondsAt(1784116800), -4 * 3600);  // July 2026
  // Local 2026-07-15 08:00 is 12:00 UTC.
  EXPECT_NEAR(LocalToUtc(EncodeDateTime(2026, 7, 15, 8, 0, 0)),
              EncodeDateTime(2026, 7, 15, 12, 0, 0), kOneMs);
  EXPECT_NEAR(UtcToLocal(EncodeDateTime(2026, 1, 15, 12, 0, 0)),
              EncodeDateTime(2026, 1, 15, 7, 0, 0), kOneMs);
  SetClockForTests(EncodeDateTime(2026, 7, 15, 8, 0, 0));
  EXPECT_NEAR(LocalTimeZoneBias(), -4 * kHour, kOneMs);
  SetClockForTests(EncodeDateTime(2026, 1, 15, 8, 0, 0));
  EXPECT_NEAR(LocalTimeZoneBias(), -5 * kHour, kOneMs);
}

TEST_F(Clock, ElapsedSinceRestampsWhenTheClockGoesBack) {
  const TDateTime now = EncodeDateTime(2002, 12, 3, 10, 15, 0);
  SetClockForTests(now);
  TDateTime stored = now - 2 * kMinute;
  EXPECT_NEAR(ElapsedSince(stored), 2 * kMinute, kOneMs);
  EXPECT_EQ(stored, now - 2 * kMinute);
  stored = now + kHour;  // stamped before the clock was set back
  EXPECT_EQ(ElapsedSince(stored), 0);
  EXPECT_EQ(stored, now);
}

TEST_F(Clock, TimerElapsedSurvivesClockChanges) {
  const TDateTime now = EncodeDateTime(2002, 12, 3, 10, 15, 0);
  SetClockForTests(now);
  struct Row {
    const char* what;
    TDateTime deadline;
    std::int64_t periodMs;
    bool elapsed;
    bool restamped;
  } rows[] = {
      {"two hours ahead, clock set back", now + 2 * kHour, 60000, true, true},
      {"two hours behind, clock set forward", now - 2 * kHour, 60000, true, true},
      {"within the period", now + 30 * kOneMs * 1000, 60000, false, false},
      {"just past", now - kOneMs * 1000, 60000, true, false},
      {"ahead by less than period + 1 s", now + 60500 * kOneMs, 60000, false, false},
      {"short periods are not checked", now + 2 * kHour, 999, false, false},
      {"short period, past", now - 2 * kHour, 500, true, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    TDateTime deadline = r.deadline;
    EXPECT_EQ(TimerElapsed(deadline, r.periodMs), r.elapsed);
    EXPECT_NEAR(deadline, r.restamped ? now : r.deadline, kOneMs / 10);
  }
}

TEST_F(Clock, ReadersAndSettersOnManyThreads) {
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 4; ++i) {
    readers.emplace_back([&] {
      while (!stop) {
        const TDateTime now = Now();
        if (!std::isfinite(now) || now < 0) ++bad;
        (void)NowUtc();
        (void)LocalTimeZoneBias();
      }
    });
  }
  for (int i = 0; i < 2000; ++i) {
    if (i % 3 == 0) {
      SetClockForTests(EncodeDateTime(2002, 12, 3) + i * kMinute);
    } else if (i % 3 == 1) {
      SetZoneForTests((i % 24) * kHour);
    } else {
      ResetClock();
    }
  }
  stop = true;
  for (std::thread& t : readers) t.join();
  EXPECT_EQ(bad, 0);
}

TEST_F(Clock, ThreadCpuTimeCountsTheCallingThreadOnly) {
  // Spin on this thread until its CPU time moves; a new thread starts near 0.
  const std::int32_t start = ThreadCpuTime();
  EXPECT_GE(start, 0);
  const std::int64_t giveUp = SteadyMilliseconds() + 10000;
  volatile std::uint64_t sink = 0;
  while (ThreadCpuTime() < start + 100 && SteadyMilliseconds() < giveUp) {
    for (int i = 0; i < 100000; ++i) sink = sink + static_cast<std::uint64_t>(i);
  }
  const std::int32_t spent = ThreadCpuTime();
  EXPECT_GE(spent, start + 100);  // at least 10 ms of CPU
  std::int32_t fresh = -1;
  std::thread([&fresh] { fresh = ThreadCpuTime(); }).join();
  EXPECT_GE(fresh, 0);
  EXPECT_LT(fresh, spent - start);
}

}  // namespace
}  // namespace halvorn
