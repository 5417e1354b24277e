// The program's one source of random numbers. Every random need (lock wait
// jitter, DNS query ids, unique names, random texts) draws from here.
//
// Each thread has a generator of its own (a 64-bit Mersenne twister seeded
// from std::random_device the first time the thread draws), so the functions
// below need no lock and may be called from any thread at once. The numbers
// are not fit for cryptography: no key or secret is drawn from here. It sits
// with the cipher because both lie below everything else that needs them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>

namespace halvorn {

// The calling thread's generator, for callers that need a distribution of
// their own. Valid for the life of the calling thread; never share it with
// another thread.
std::mt19937_64& RandomGenerator();

// Reseeds the calling thread's generator, so that a test can replay the same
// sequence. Other threads are not affected.
void SeedRandomForThisThread(std::uint64_t seed);

// A uniformly drawn integer from 0 to n - 1. An n of 0 or less gives 0.
int RandomInt(int n);

// A uniformly drawn integer from lo to hi, both included. When hi is below lo
// the two are swapped, so the call never fails.
std::int64_t RandomRange(std::int64_t lo, std::int64_t hi);

// n uniformly drawn bytes (any of the 256 values).
std::string RandomBytes(std::size_t n);

// A uniformly drawn number with 0 <= x < 1.
double RandomDouble();

}  // namespace halvorn
