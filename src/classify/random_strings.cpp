#include "classify/random_strings.h"

#include <cmath>

namespace halvorn {

namespace {

constexpr double kBigramDivisor = 9025.0;

int MapBigramChar(unsigned char c) {
  if (c == '\t' || c == '\n' || c == '\r') return 32;
  if (c < 32 || c > 126) return 127;
  return c;
}

struct TPairTally {
  std::int64_t Pairs = 0;
  std::int64_t Scored = 0;
  std::int64_t Unseen = 0;
  double LogSum = 0;
};

TPairTally TallyPairs(std::string_view text, const TBigramTable& table) {
  TPairTally tally;
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    const auto a = static_cast<unsigned char>(text[i]);
    const auto b = static_cast<unsigned char>(text[i + 1]);
    if (a == '\r' && b == '\r') continue;
    ++tally.Pairs;
    const int ma = MapBigramChar(a);
    const int mb = MapBigramChar(b);
    if (ma == 32 || ma == 127 || mb == 32 || mb == 127) continue;
    const std::uint16_t v = table[static_cast<std::size_t>((ma - 32) * 96 + (mb - 32))];
    ++tally.Scored;
    if (v == 0) ++tally.Unseen;
    tally.LogSum += std::log(static_cast<double>(v) + 1.0);
  }
  return tally;
}

// The built-in table's constants, computed once (a function-local static is
// initialised by one thread while the others wait).
double BuiltInMean() {
  static const double mean = BigramTableMean(BigramCounts);
  return mean;
}
double BuiltInLogMean() {
  static const double logMean = BigramTableLogMean(BigramCounts);
  return logMean;
}

double MeanOf(const TBigramTable& table) {
  return &table == &BigramCounts ? BuiltInMean() : BigramTableMean(table);
}
double LogMeanOf(const TBigramTable& table) {
  return &table == &BigramCounts ? BuiltInLogMean() : BigramTableLogMean(table);
}

}  // namespace

double BigramTableMean(const TBigramTable& table) {
  double sum = 0;
  for (std::uint16_t v : table) sum += v;
  return sum / kBigramDivisor;
}

double BigramTableLogMean(const TBigramTable& table) {
  double sum = 0;
  for (std::uint16_t v : table) sum += std::log(static_cast<double>(v) + 1.0);
  return sum / kBigramDivisor;
}

double LogBigramScore(std::string_view text, const TBigramTable& table) {
  const TPairTally tally = TallyPairs(text, table);
  if (tally.Pairs == 0 || tally.Scored == 0) return -1;
  const double l = LogMeanOf(table);
  if (!(l > 0)) return -1;
  return (tally.LogSum / static_cast<double>(tally.Pairs)) / l;
}

double UnseenBigramScore(std::string_view text, const TBigramTable& table) {
  const TPairTally tally = TallyPairs(text, table);
  if (tally.Pairs == 0) return -1;
  const double m = MeanOf(table);
  const double x =
      (static_cast<double>(tally.Unseen) / static_cast<double>(tally.Pairs)) * m * m + 1.0;
  return x * x > 10.0 ? 1.0 : 0.0;
}

bool IsRandomLogScore(std::string_view text) {
  const double score = LogBigramScore(text, BigramCounts);
  return score != -1 && score < 1;
}

bool IsRandomUnseenScore(std::string_view text) {
  const double score = UnseenBigramScore(text, BigramCounts);
  return score != -1 && score > 0;
}

}  // namespace halvorn
