// The one Bayes step with sharpening that the Bayesian tests and the
// network-backed tests' choice of training examples share.
//
// Computed in long double (80-bit on x86-64): products of small
// probabilities (far below 1e-308) still compare. Pure functions; any thread.
#pragma once

namespace halvorn {

// Each input is clamped to 5e-324 .. 1 (NaN counts as the lower end), then
// X = a * b, Y = c * d, V = X / (X + Y), W = Y / (X + Y); R = V when V <= W,
// else 1 - W; the result is R sharpened (((2R - 1)^3 + 1) / 2, computed so
// that a tiny R keeps its digits) and clamped to 5e-324 .. 1. With a = P(feature | spam), b = the prior spam probability,
// c = P(feature | personal) and d = 1 - b this is one Bayes step. Never NaN:
// all four 0 give 0.5.
long double CombineProbabilities(long double a, long double b, long double c, long double d);

// CombineProbabilities(a, 0.5, b, 0.5): 0.9 and 0.1 give 0.756.
long double CombineTwoProbabilities(long double a, long double b);

}  // namespace halvorn
