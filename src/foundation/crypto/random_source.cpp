#include "foundation/crypto/random_source.h"

#include <utility>

namespace halvorn {

namespace {

std::uint64_t FreshSeed() {
  std::random_device device;
  // Two draws: random_device yields 32 bits at a time.
  return (static_cast<std::uint64_t>(device()) << 32) ^ device();
}

}  // namespace

std::mt19937_64& RandomGenerator() {
  thread_local std::mt19937_64 generator(FreshSeed());
  return generator;
}

void SeedRandomForThisThread(std::uint64_t seed) {
  RandomGenerator().seed(seed);
}

int RandomInt(int n) {
  if (n <= 0) return 0;
  std::uniform_int_distribution<int> distribution(0, n - 1);
  return distribution(RandomGenerator());
}

std::int64_t RandomRange(std::int64_t lo, std::int64_t hi) {
  if (hi < lo) std::swap(lo, hi);
  std::uniform_int_distribution<std::int64_t> distribution(lo, hi);
  return distribution(RandomGenerator());
}

std::string RandomBytes(std::size_t n) {
  std::string bytes(n, '\0');
  auto& generator = RandomGenerator();
  std::size_t i = 0;
  while (i < n) {
    std::uint64_t word = generator();
    for (int k = 0; k < 8 && i < n; ++k, ++i) {
      bytes[i] = static_cast<char>(word & 0xFF);
      word >>= 8;
    }
  }
  return bytes;
}

double RandomDouble() {
  // The top 53 bits scaled by 2^-53: every value is exact and below 1
  // (uniform_real_distribution may round up to 1.0 on some libraries).
  return static_cast<double>(RandomGenerator()() >> 11) * 0x1.0p-53;
}

}  // namespace halvorn
