#include "classify/combine_probabilities.h"

#include <cmath>

namespace halvorn {

namespace {

constexpr long double kSmallest = 5e-324L;

long double ClampProbability(long double p) {
  if (std::isnan(p) || p < kSmallest) return kSmallest;
  return p > 1 ? 1 : p;
}

}  // namespace

long double CombineProbabilities(long double a, long double b, long double c, long double d) {
  const long double x = ClampProbability(a) * ClampProbability(b);
  const long double y = ClampProbability(c) * ClampProbability(d);
  const long double v = x / (x + y);
  const long double w = y / (x + y);
  const long double r = v <= w ? v : 1 - w;
  // The sharpening ((2r - 1)^3 + 1) / 2, factored as r (s^2 - s + 1) with s
  // = 2r - 1: the cube's form loses every digit of a tiny r (2r - 1 rounds
  // to -1), this one keeps them. In long double, unlike the numbers
  // module's helper: the extra precision is the point.
  const long double s = 2 * r - 1;
  return ClampProbability(r * (s * s - s + 1));
}

long double CombineTwoProbabilities(long double a, long double b) {
  return CombineProbabilities(a, 0.5L, b, 0.5L);
}

}  // namespace halvorn
