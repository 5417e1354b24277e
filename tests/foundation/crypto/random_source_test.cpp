#include "foundation/crypto/random_source.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <set>
#include <thread>
#include <vector>

namespace halvorn {
namespace {

TEST(RandomSource, RandomIntStaysInRangeAndReachesBothEnds) {
  std::array<int, 7> seen{};
  for (int i = 0; i < 5000; ++i) {
    int x = RandomInt(7);
    ASSERT_GE(x, 0);
    ASSERT_LT(x, 7);
    ++seen[x];
  }
  for (int count : seen) EXPECT_GT(count, 0);
  // Degenerate bounds give 0 instead of failing.
  EXPECT_EQ(RandomInt(0), 0);
  EXPECT_EQ(RandomInt(-5), 0);
  EXPECT_EQ(RandomInt(1), 0);
}

TEST(RandomSource, RandomRangeIncludesBothBoundsAndSwapsReversedOnes) {
  bool sawLo = false, sawHi = false;
  for (int i = 0; i < 2000; ++i) {
    std::int64_t x = RandomRange(-3, 3);
    ASSERT_GE(x, -3);
    ASSERT_LE(x, 3);
    sawLo |= x == -3;
    sawHi |= x == 3;
    std::int64_t y = RandomRange(10, 8);
    ASSERT_GE(y, 8);
    ASSERT_LE(y, 10);
  }
  EXPECT_TRUE(sawLo);
  EXPECT_TRUE(sawHi);
  EXPECT_EQ(RandomRange(5, 5), 5);
}

TEST(RandomSource, RandomBytesCoverAllValuesAndLengths) {
  EXPECT_TRUE(RandomBytes(0).empty());
  // Lengths that are not a multiple of the generator's 8-byte word.
  for (std::size_t n : {1u, 7u, 9u, 13u}) EXPECT_EQ(RandomBytes(n).size(), n);
  std::string big = RandomBytes(1 << 16);
  std::set<unsigned char> values(big.begin(), big.end());
  EXPECT_EQ(values.size(), 256u);
}

TEST(RandomSource, RandomDoubleIsInHalfOpenUnitInterval) {
  double lo = 1, hi = 0;
  for (int i = 0; i < 10000; ++i) {
    double x = RandomDouble();
    ASSERT_GE(x, 0.0);
    ASSERT_LT(x, 1.0);
    lo = std::min(lo, x);
    hi = std::max(hi, x);
  }
  EXPECT_LT(lo, 0.01);
  EXPECT_GT(hi, 0.99);
}

TEST(RandomSource, SeedingReplaysOnlyTheCallingThread) {
  SeedRandomForThisThread(42);
  std::vector<int> first;
  for (int i = 0; i < 20; ++i) first.push_back(RandomInt(1000000));
  SeedRandomForThisThread(42);
  std::vector<int> second;
  for (int i = 0; i < 20; ++i) second.push_back(RandomInt(1000000));
  EXPECT_EQ(first, second);

  // A new thread is seeded afresh, not with the seed set here: two threads
  // must not hand out the same DNS ids or file names.
  SeedRandomForThisThread(42);
  std::vector<int> other;
  std::thread worker([&] {
    for (int i = 0; i < 20; ++i) other.push_back(RandomInt(1000000));
  });
  worker.join();
  EXPECT_NE(first, other);
}

}  // namespace
}  // namespace halvorn
