// Start-up scans of TRegExpr: byte filters that find the few positions of a
// text worth a backtracking search, a whole vector of bytes at a time.
//
// A probe tests the byte at a fixed offset from the candidate position. A
// set of one byte, or of two bytes that differ in one bit (a letter and its
// other case), is tested as (byte | mask) == value; any other set through
// two 16-entry tables looked up by the byte's low and high nibble, whose
// entries share a bit exactly for the members of the set (when the set
// needs more than eight such buckets, some are merged and the probe lets a
// few more bytes through; the candidate's exact test stops them).
#include <algorithm>
#include <cstring>

#include "foundation/regex/reg_expr_program.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define HALVORN_REGEX_AVX2 1
#endif

namespace halvorn::regexpr_internal {
namespace {

// Rough frequency of each byte per thousand bytes of English mail text,
// only to rank probes against each other.
int ByteWeight(unsigned char c) {
  static const int* const table = [] {
    static int w[256];
    for (int& x : w) x = 1;
    for (int c = 0x21; c < 0x7F; ++c) w[c] = 2;
    const char* letters = "etaoinsrhldcumfpgwybvkxjqz";
    const int freq[] = {100, 75, 65, 60, 58, 56, 52, 50, 45, 33, 32, 23, 23,
                        20,  18, 16, 16, 15, 15, 12, 8,  5,  2,  2,  1,  1};
    for (int k = 0; letters[k]; ++k) {
      w[static_cast<unsigned char>(letters[k])] = freq[k];
      w[letters[k] - 'a' + 'A'] = 2 + freq[k] / 8;
    }
    for (int c = '0'; c <= '9'; ++c) w[c] = 6;
    auto at = [](char c) -> int& { return w[static_cast<unsigned char>(c)]; };
    at(' ') = 160;
    at('\r') = at('\n') = 14;
    at('.') = at(',') = 9;
    at('-') = at('\'') = at('"') = 3;
    return w;
  }();
  return table[c];
}

int Score(const CharSet& set) {
  int sum = 0;
  for (int w = 0; w < 4; ++w)
    for (std::uint64_t bits = set.Bits[w]; bits != 0; bits &= bits - 1)
      sum += ByteWeight(static_cast<unsigned char>(w * 64 + __builtin_ctzll(bits)));
  return sum;
}

// The 16 members of a set whose high nibble is `high`, as a mask of their
// low nibbles.
std::uint16_t LowNibbles(const CharSet& set, int high) {
  return static_cast<std::uint16_t>(set.Bits[high >> 2] >> ((high & 3) * 16));
}

// A probe whose set takes a fraction of ordinary text above this (per
// thousand) finds candidates too often to pay for a scan; a second probe
// must rule out at least half the first one's hits.
constexpr int kWorthScanning = 250;
constexpr int kWorthSecondProbe = 500;

ByteProbe MakeProbe(std::int32_t offset, const CharSet& wanted) {
  ByteProbe p;
  p.Offset = offset;
  const int n = wanted.Count();
  int members[2] = {0, 0};
  for (int w = 0, k = 0; w < 4 && n <= 2; ++w)
    for (std::uint64_t bits = wanted.Bits[w]; bits != 0; bits &= bits - 1)
      members[k++] = w * 64 + __builtin_ctzll(bits);
  if (n == 1 || (n == 2 && __builtin_popcount(members[0] ^ members[1]) == 1)) {
    p.Masked = true;
    p.OrMask = n == 1 ? 0 : static_cast<unsigned char>(members[0] ^ members[1]);
    p.Equal = static_cast<unsigned char>(members[0] | p.OrMask);
    p.Set = wanted;
    return p;
  }
  // Buckets of the nibble tables: high nibbles that share one set of low
  // nibbles.
  struct Bucket {
    std::uint16_t High = 0, Low = 0;
  };
  std::vector<Bucket> buckets;
  for (int h = 0; h < 16; ++h) {
    const std::uint16_t low = LowNibbles(wanted, h);
    if (low == 0) continue;
    auto same = std::find_if(buckets.begin(), buckets.end(),
                             [&](const Bucket& b) { return b.Low == low; });
    if (same != buckets.end())
      same->High |= std::uint16_t(1u << h);
    else
      buckets.push_back({std::uint16_t(1u << h), low});
  }
  auto size = [](std::uint16_t high, std::uint16_t low) {
    return __builtin_popcount(high) * __builtin_popcount(low);
  };
  while (buckets.size() > 8) {
    // Merge the two buckets whose union lets the fewest extra bytes in.
    std::size_t bi = 0, bj = 1;
    int best = 1 << 30;
    for (std::size_t i = 0; i < buckets.size(); ++i)
      for (std::size_t j = i + 1; j < buckets.size(); ++j) {
        const Bucket &a = buckets[i], &b = buckets[j];
        int extra = size(a.High | b.High, a.Low | b.Low) - size(a.High, a.Low) -
                    size(b.High, b.Low);
        if (extra < best) best = extra, bi = i, bj = j;
      }
    buckets[bi].High |= buckets[bj].High;
    buckets[bi].Low |= buckets[bj].Low;
    buckets.erase(buckets.begin() + static_cast<std::ptrdiff_t>(bj));
  }
  for (std::size_t b = 0; b < buckets.size(); ++b)
    for (int k = 0; k < 16; ++k) {
      if (buckets[b].Low >> k & 1) p.LowNibble[k] |= static_cast<unsigned char>(1u << b);
      if (buckets[b].High >> k & 1) {
        p.HighNibble[k] |= static_cast<unsigned char>(1u << b);
        p.Set.Bits[k >> 2] |= std::uint64_t{buckets[b].Low} << ((k & 3) * 16);
      }
    }
  return p;
}

bool Passes(const ByteFilter& f, const unsigned char* text, std::int32_t q) {
  for (int i = 0; i < f.Count; ++i)
    if (!f.Probes[i].Set.Has(text[q + f.Probes[i].Offset])) return false;
  return true;
}

std::int32_t FindScalar(const ByteFilter& f, const unsigned char* text, std::int32_t q,
                        std::int32_t last) {
  for (; q <= last; ++q)
    if (Passes(f, text, q)) return q;
  return -1;
}

#ifdef HALVORN_REGEX_AVX2

template <bool Masked>
__attribute__((target("avx2"))) inline std::uint32_t Hits(const unsigned char* at, __m256i a,
                                                          __m256i b) {
  __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
  if constexpr (Masked) {
    return static_cast<std::uint32_t>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_or_si256(v, a), b)));
  } else {
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    __m256i low = _mm256_shuffle_epi8(a, _mm256_and_si256(v, nibble));
    __m256i high = _mm256_shuffle_epi8(b, _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble));
    __m256i none = _mm256_cmpeq_epi8(_mm256_and_si256(low, high), _mm256_setzero_si256());
    return ~static_cast<std::uint32_t>(_mm256_movemask_epi8(none));
  }
}

__attribute__((target("avx2"))) inline void ProbeVectors(const ByteProbe& p, __m256i& a,
                                                          __m256i& b) {
  if (p.Masked) {
    a = _mm256_set1_epi8(static_cast<char>(p.OrMask));
    b = _mm256_set1_epi8(static_cast<char>(p.Equal));
  } else {
    a = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p.LowNibble)));
    b = _mm256_broadcastsi128_si256(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(p.HighNibble)));
  }
}

template <bool Masked0, bool Masked1, bool Two>
__attribute__((target("avx2"))) std::int32_t FindAvx2(const ByteFilter& f,
                                                      const unsigned char* text, std::int32_t q,
                                                      std::int32_t last) {
  __m256i a0, b0, a1, b1;
  ProbeVectors(f.Probes[0], a0, b0);
  ProbeVectors(f.Probes[Two ? 1 : 0], a1, b1);
  const unsigned char* t0 = text + f.Probes[0].Offset;
  const unsigned char* t1 = text + f.Probes[Two ? 1 : 0].Offset;
  // Both probes are tested on every block: a branch on the first one alone
  // would be mispredicted wherever its byte is merely uncommon.
  for (; q + 63 <= last; q += 64) {
    std::uint64_t bits = Hits<Masked0>(t0 + q, a0, b0) |
                         std::uint64_t{Hits<Masked0>(t0 + q + 32, a0, b0)} << 32;
    if constexpr (Two)
      bits &= Hits<Masked1>(t1 + q, a1, b1) | std::uint64_t{Hits<Masked1>(t1 + q + 32, a1, b1)}
                                                   << 32;
    if (bits) return q + static_cast<std::int32_t>(__builtin_ctzll(bits));
  }
  return FindScalar(f, text, q, last);
}

using FindFunction = std::int32_t (*)(const ByteFilter&, const unsigned char*, std::int32_t,
                                      std::int32_t);

FindFunction VectorFind(const ByteFilter& f) {
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (!avx2) return nullptr;
  bool m0 = f.Probes[0].Masked, m1 = f.Probes[1].Masked;
  if (f.Count == 1) return m0 ? FindAvx2<true, true, false> : FindAvx2<false, true, false>;
  if (m0) return m1 ? FindAvx2<true, true, true> : FindAvx2<true, false, true>;
  return m1 ? FindAvx2<false, true, true> : FindAvx2<false, false, true>;
}

#else

using FindFunction = std::int32_t (*)(const ByteFilter&, const unsigned char*, std::int32_t,
                                      std::int32_t);
FindFunction VectorFind(const ByteFilter&) { return nullptr; }

#endif

}  // namespace

ByteFilter ChooseByteFilter(const std::vector<std::pair<std::int32_t, CharSet>>& tests,
                            bool evenIfCommon) {
  // The rarer probe first: the vector scan tests the second one only where
  // the first one hits. Among equal scores the earlier test wins.
  std::vector<std::pair<int, std::size_t>> ranked;  // score, index
  for (std::size_t i = 0; i < tests.size(); ++i) ranked.emplace_back(Score(tests[i].second), i);
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  ByteFilter f;
  if (ranked.empty() || (!evenIfCommon && ranked[0].first > kWorthScanning)) return f;
  const auto& [offset, set] = tests[ranked[0].second];
  f.Probes[f.Count++] = MakeProbe(offset, set);
  for (std::size_t i = 1; i < ranked.size(); ++i) {
    const auto& [nextOffset, nextSet] = tests[ranked[i].second];
    if (nextOffset == offset) continue;
    if (ranked[i].first <= kWorthSecondProbe) f.Probes[f.Count++] = MakeProbe(nextOffset, nextSet);
    break;
  }
  return f;
}

std::int32_t FindFiltered(const ByteFilter& f, const unsigned char* text, std::int32_t from,
                          std::int32_t last) {
  if (from > last) return -1;
  const ByteProbe& p = f.Probes[0];
  if (f.Count == 1 && p.Masked && p.OrMask == 0) {
    const void* hit = std::memchr(text + from + p.Offset, p.Equal,
                                  static_cast<std::size_t>(last - from) + 1);
    if (!hit) return -1;
    return static_cast<std::int32_t>(static_cast<const unsigned char*>(hit) - text) - p.Offset;
  }
  if (FindFunction find = VectorFind(f)) return find(f, text, from, last);
  return FindScalar(f, text, from, last);
}

}  // namespace halvorn::regexpr_internal
